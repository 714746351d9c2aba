// Conversion kernels between float64 arrays and record arrays.
#pragma once
#include "../../arith/fp.cuh"
#include "kernel.cuh"

ZEL_KERNEL(fp_from_double_kernel, (const double* src, zel::fp_t* dst, int n)) {
    const long long i = ZEL_GLOBAL_X;
    if (i < n) zel::fp_from_double(dst[i], src[i]);
}

ZEL_KERNEL(fp_to_double_kernel, (const zel::fp_t* src, double* dst, int n)) {
    const long long i = ZEL_GLOBAL_X;
    if (i < n) dst[i] = zel::fp_to_double(src[i]);
}
