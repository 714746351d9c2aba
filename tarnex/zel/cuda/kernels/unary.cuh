// One-operand element-wise kernels: out[i] = f(a[i]) for i < n, all with the
// argument order (a, out, n).
#pragma once
#include "../include/zel/fp_math.cuh"
#include "../include/zel/kernel.cuh"

#define ZEL_UNARY_KERNEL(name, fn)                                         \
    ZEL_KERNEL(name, (const zel::fp_t* a, zel::fp_t* out, int n)) {        \
        const long long i = ZEL_GLOBAL_X;                                  \
        if (i < n) fn(out[i], a[i]);                                       \
    }

ZEL_UNARY_KERNEL(fp_neg_kernel, zel::fp_neg)
ZEL_UNARY_KERNEL(fp_abs_kernel, zel::fp_abs)
ZEL_UNARY_KERNEL(fp_relu_kernel, zel::fp_relu)
ZEL_UNARY_KERNEL(fp_sigmoid_kernel, zel::fp_sigmoid)
ZEL_UNARY_KERNEL(fp_tanh_kernel, zel::fp_tanh)
ZEL_UNARY_KERNEL(fp_gelu_kernel, zel::fp_gelu)
ZEL_UNARY_KERNEL(fp_silu_kernel, zel::fp_silu)
ZEL_UNARY_KERNEL(fp_exp_kernel, zel::fp_exp)
ZEL_UNARY_KERNEL(fp_log_kernel, zel::fp_log)
ZEL_UNARY_KERNEL(fp_sin_kernel, zel::fp_sin)
ZEL_UNARY_KERNEL(fp_cos_kernel, zel::fp_cos)
ZEL_UNARY_KERNEL(fp_sqrt_kernel, zel::fp_sqrt)
ZEL_UNARY_KERNEL(fp_sign_kernel, zel::fp_sign)
ZEL_UNARY_KERNEL(fp_asin_kernel, zel::fp_asin)
ZEL_UNARY_KERNEL(fp_acos_kernel, zel::fp_acos)
ZEL_UNARY_KERNEL(fp_atan_kernel, zel::fp_atan)
