// Two-operand element-wise kernels: out[i] = a[i] op b[i] for i < n.
#pragma once
#include "../../arith/fp_math.cuh"
#include "kernel.cuh"

#define ZEL_BINARY_KERNEL(name, fn)                                                        \
    ZEL_KERNEL(name, (const zel::fp_t* a, const zel::fp_t* b, zel::fp_t* out, int n)) {    \
        const long long i = ZEL_GLOBAL_X;                                                  \
        if (i < n) fn(out[i], a[i], b[i]);                                                 \
    }

ZEL_BINARY_KERNEL(fp_add_kernel, zel::fp_add)
ZEL_BINARY_KERNEL(fp_sub_kernel, zel::fp_sub)
ZEL_BINARY_KERNEL(fp_mul_kernel, zel::fp_mul)
ZEL_BINARY_KERNEL(fp_div_kernel, zel::fp_div)
