// CSR kernels: the count-and-extract pair that builds a CSR matrix from
// row-major dense records, and the sparse matrix-vector product.  One thread
// per row.  The host validates the structure (row pointers inside the value
// array, column indices inside x) before any launch, so the kernels index
// without bounds checks of their own beyond the row count.
#pragma once
#include "../../arith/fp.cuh"
#include "../../arith/fp_mul.cuh"
#include "kernel.cuh"

// row_counts[r] = number of non-zero records of row r.  A record of zero
// magnitude is zero whatever its sign field says.
ZEL_KERNEL(fp_dense_to_csr_count_kernel, (const zel::fp_t* dense, int* row_counts, int rows, int cols)) {
    const long long r = ZEL_GLOBAL_X;
    if (r >= rows) return;
    const zel::fp_t* row = dense + r * static_cast<long long>(cols);
    int count = 0;
    for (int c = 0; c < cols; ++c) count += zel::fp_is_zero(row[c]) ? 0 : 1;
    row_counts[r] = count;
}

// The non-zero records of row r, left to right, with their columns, at
// positions row_ptrs[r] .. row_ptrs[r+1] - 1 (the prefix sum of the counts).
ZEL_KERNEL(fp_dense_to_csr_extract_kernel, (const zel::fp_t* dense, zel::fp_t* values, int* col_indices,
                                             const int* row_ptrs, int rows, int cols)) {
    const long long r = ZEL_GLOBAL_X;
    if (r >= rows) return;
    const zel::fp_t* row = dense + r * static_cast<long long>(cols);
    int k = row_ptrs[r];
    for (int c = 0; c < cols; ++c) {
        if (zel::fp_is_zero(row[c])) continue;
        values[k] = row[c];
        col_indices[k] = c;
        ++k;
    }
}

// out[r] = sum_k values[k] * x[col_indices[k]] over the entries of row r,
// summed exactly and rounded once by the floor rule, as mv does.
ZEL_KERNEL(fp_spmv_kernel, (const zel::fp_t* values, const int* col_indices, const int* row_ptrs,
                            const zel::fp_t* x, zel::fp_t* out, int rows)) {
    const long long r = ZEL_GLOBAL_X;
    if (r >= rows) return;
    zel::acc_t acc;
    zel::acc_zero(acc);
    const int end = row_ptrs[r + 1];
    for (int k = row_ptrs[r]; k < end; ++k) zel::acc_add_product(acc, values[k], x[col_indices[k]]);
    zel::acc_round(out[r], acc);
}
