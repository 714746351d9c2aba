// Creation and transposition kernels.
#pragma once
#include "../../arith/fp_ops.cuh"
#include "kernel.cuh"

ZEL_KERNEL(fp_zeros_kernel, (zel::fp_t* out, int n)) {
    const long long i = ZEL_GLOBAL_X;
    if (i < n) zel::fp_set_zero(out[i]);
}

ZEL_KERNEL(fp_ones_kernel, (zel::fp_t* out, int n)) {
    const long long i = ZEL_GLOBAL_X;
    if (i < n) zel::fp_from_int(out[i], 1);
}

// n is the matrix order: the launch covers n * n records, which need not fit
// an int.
ZEL_KERNEL(fp_eye_kernel, (zel::fp_t* out, int n)) {
    const long long i = ZEL_GLOBAL_X;
    const long long nn = static_cast<long long>(n) * n;
    if (n > 0 && i < nn) zel::fp_from_int(out[i], i / n == i % n ? 1 : 0);
}

// out (cols x rows) = transpose of a (rows x cols): x runs over columns of a,
// y over its rows, walking rows beyond grid.y (CUDA caps it at 65,535).
// Records are written canonically, like every output.
ZEL_KERNEL(fp_transpose_kernel, (const zel::fp_t* a, zel::fp_t* out, int rows, int cols)) {
    const long long j = ZEL_GLOBAL_X;
    const long long stride = static_cast<long long>(ZEL_GRID_DIM.y) * ZEL_BLOCK_DIM.y;
    for (long long i = ZEL_GLOBAL_Y; i < rows; i += stride) {
        if (j < cols) zel::fp_copy(out[j * rows + i], a[i * cols + j]);
    }
}

// dst[i] = the bytes of the record at byte offset i * stride from src: the
// contiguous copy of a strided view (negative strides included; src points at
// its first record).
ZEL_KERNEL(fp_copy_strided_kernel, (const zel::fp_t* src, zel::fp_t* dst, long long stride, int n)) {
    const long long i = ZEL_GLOBAL_X;
    if (i >= n) return;
    const char* base = reinterpret_cast<const char*>(src);
    dst[i] = *reinterpret_cast<const zel::fp_t*>(base + i * stride);
}
