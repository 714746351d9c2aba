// Integer extraction and remainder kernels, all exact.
#pragma once
#include "../include/zel/fp_math.cuh"
#include "../include/zel/kernel.cuh"
#include "unary.cuh"

ZEL_UNARY_KERNEL(fp_ceil_kernel, zel::fp_ceil)
ZEL_UNARY_KERNEL(fp_floor_kernel, zel::fp_floor)
ZEL_UNARY_KERNEL(fp_round_kernel, zel::fp_round)
ZEL_UNARY_KERNEL(fp_trunc_kernel, zel::fp_trunc)
ZEL_UNARY_KERNEL(fp_frac_kernel, zel::fp_frac)

ZEL_KERNEL(fp_mod_kernel, (const zel::fp_t* a, const zel::fp_t* b, zel::fp_t* out, int n)) {
    const long long i = ZEL_GLOBAL_X;
    if (i < n) zel::fp_mod(out[i], a[i], b[i]);
}
