// Comparison masks, selection and the element-wise operations with a scalar
// parameter.  Masks are int32, 1 where the relation holds.  Scalar
// parameters arrive as one-record arrays, read at index 0.
#pragma once
#include "../../arith/fp_math.cuh"
#include "kernel.cuh"

#define ZEL_COMPARE_KERNEL(name, rel)                                                      \
    ZEL_KERNEL(name, (const zel::fp_t* a, const zel::fp_t* b, int* out, int n)) {          \
        const long long i = ZEL_GLOBAL_X;                                                  \
        if (i < n) out[i] = zel::fp_cmp(a[i], b[i]) rel 0 ? 1 : 0;                         \
    }

ZEL_COMPARE_KERNEL(fp_eq_kernel, ==)
ZEL_COMPARE_KERNEL(fp_lt_kernel, <)
ZEL_COMPARE_KERNEL(fp_gt_kernel, >)
ZEL_COMPARE_KERNEL(fp_le_kernel, <=)
ZEL_COMPARE_KERNEL(fp_ge_kernel, >=)
ZEL_COMPARE_KERNEL(fp_ne_kernel, !=)

ZEL_KERNEL(fp_where_kernel, (const int* cond, const zel::fp_t* a, const zel::fp_t* b, zel::fp_t* out, int n)) {
    const long long i = ZEL_GLOBAL_X;
    if (i < n) zel::fp_copy(out[i], cond[i] != 0 ? a[i] : b[i]);
}

ZEL_KERNEL(fp_clamp_kernel, (const zel::fp_t* a, zel::fp_t* out, const zel::fp_t* lo, const zel::fp_t* hi, int n)) {
    const long long i = ZEL_GLOBAL_X;
    if (i < n) zel::fp_clamp(out[i], a[i], lo[0], hi[0]);
}

ZEL_KERNEL(fp_pow_int_kernel, (const zel::fp_t* a, zel::fp_t* out, int exponent, int n)) {
    const long long i = ZEL_GLOBAL_X;
    if (i < n) zel::fp_pow_int(out[i], a[i], exponent);
}

ZEL_KERNEL(fp_leaky_relu_kernel, (const zel::fp_t* a, zel::fp_t* out, const zel::fp_t* alpha, int n)) {
    const long long i = ZEL_GLOBAL_X;
    if (i < n) zel::fp_leaky_relu(out[i], a[i], alpha[0]);
}
