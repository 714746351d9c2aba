// Two-operand element-wise kernels: out[i] = a[i] op b[i] for i < n.
#pragma once
#include "../include/zel/fp_math.cuh"
#include "../include/zel/kernel.cuh"

ZEL_KERNEL(fp_add_kernel, (const zel::fp_t* a, const zel::fp_t* b, zel::fp_t* out, int n)) {
    const long long i = ZEL_GLOBAL_X;
    if (i < n) zel::fp_add(out[i], a[i], b[i]);
}

ZEL_KERNEL(fp_sub_kernel, (const zel::fp_t* a, const zel::fp_t* b, zel::fp_t* out, int n)) {
    const long long i = ZEL_GLOBAL_X;
    if (i < n) zel::fp_sub(out[i], a[i], b[i]);
}

ZEL_KERNEL(fp_mul_kernel, (const zel::fp_t* a, const zel::fp_t* b, zel::fp_t* out, int n)) {
    const long long i = ZEL_GLOBAL_X;
    if (i < n) zel::fp_mul(out[i], a[i], b[i]);
}

ZEL_KERNEL(fp_div_kernel, (const zel::fp_t* a, const zel::fp_t* b, zel::fp_t* out, int n)) {
    const long long i = ZEL_GLOBAL_X;
    if (i < n) zel::fp_div(out[i], a[i], b[i]);
}
