// Reduction kernels: one pass of the host-driven pairwise tree (sum, prod,
// max, min), the element products of dot, and the row-wise scans, arg
// searches and softmax (one thread per row of `cols` records).
#pragma once
#include "../include/zel/fp_math.cuh"
#include "../include/zel/kernel.cuh"
#include "elementwise.cuh"

// One pass of the tree over data[0 .. n): data[i] op= data[i + n/2] for
// i < n/2.  Thread i reads only records i and i + half and writes only i, so
// the pass is race-free in place; an odd last record is left for the host.
#define ZEL_REDUCE_PASS(name, combine)                                     \
    ZEL_KERNEL(name, (zel::fp_t * data, int n)) {                          \
        const long long i = ZEL_GLOBAL_X;                                  \
        const long long half = n / 2;                                      \
        if (i < half) combine(data[i], data[i], data[i + half]);           \
    }

namespace zel {

ZEL_HD void fp_max_of(fp_t& r, const fp_t& a, const fp_t& b) { fp_copy(r, fp_cmp(b, a) > 0 ? b : a); }

ZEL_HD void fp_min_of(fp_t& r, const fp_t& a, const fp_t& b) { fp_copy(r, fp_cmp(b, a) < 0 ? b : a); }

}  // namespace zel

ZEL_REDUCE_PASS(fp_sum_reduce_kernel, zel::fp_add)
ZEL_REDUCE_PASS(fp_prod_reduce_kernel, zel::fp_mul)
ZEL_REDUCE_PASS(fp_max_reduce_kernel, zel::fp_max_of)
ZEL_REDUCE_PASS(fp_min_reduce_kernel, zel::fp_min_of)

#undef ZEL_REDUCE_PASS

// products[i] = floor(a[i] * b[i]) (out); the host sums them with the tree
// above.
ZEL_BINARY_KERNEL(fp_dot_kernel, zel::fp_mul)

// Running sum along each row, kept in the exact accumulator: each output is
// the exact prefix sum, saturated only where that prefix itself is out of
// range, so a saturated prefix does not distort the ones after it.
ZEL_KERNEL(fp_cumsum_kernel, (const zel::fp_t* a, zel::fp_t* out, int rows, int cols)) {
    const long long r = ZEL_GLOBAL_X;
    if (r >= rows) return;
    const zel::fp_t* row = a + r * cols;
    zel::fp_t* dst = out + r * cols;
    zel::acc_t acc;
    zel::acc_zero(acc);
    for (int j = 0; j < cols; ++j) {
        zel::acc_add_fp(acc, row[j]);
        zel::acc_round(dst[j], acc);
    }
}

// Running product along each row, each step rounded by the floor rule.
ZEL_KERNEL(fp_cumprod_kernel, (const zel::fp_t* a, zel::fp_t* out, int rows, int cols)) {
    const long long r = ZEL_GLOBAL_X;
    if (r >= rows || cols <= 0) return;
    const zel::fp_t* row = a + r * cols;
    zel::fp_t* dst = out + r * cols;
    zel::fp_t acc;
    zel::fp_copy(acc, row[0]);
    dst[0] = acc;
    for (int j = 1; j < cols; ++j) {
        zel::fp_mul(acc, acc, row[j]);
        dst[j] = acc;
    }
}

// Index of the first largest (smallest) record of each row: a later record
// replaces the best only when strictly larger (smaller), so ties report the
// lowest index.  Rows without columns are refused by the host.
#define ZEL_ARG_SEARCH(name, better)                                             \
    ZEL_KERNEL(name, (const zel::fp_t* a, int* out, int rows, int cols)) {       \
        const long long r = ZEL_GLOBAL_X;                                        \
        if (r >= rows) return;                                                   \
        const zel::fp_t* row = a + r * cols;                                     \
        int best = 0;                                                            \
        for (int j = 1; j < cols; ++j) {                                         \
            if (zel::fp_cmp(row[j], row[best]) better 0) best = j;               \
        }                                                                        \
        out[r] = best;                                                           \
    }

ZEL_ARG_SEARCH(fp_argmax_kernel, >)
ZEL_ARG_SEARCH(fp_argmin_kernel, <)

#undef ZEL_ARG_SEARCH

// Softmax of each row: e_j = exp(a_j - max) lies in (0, 1] (the shift by the
// row maximum keeps every exponential in range), their sum S in [1, cols] is
// exact, and out_j = floor(e_j / S).  The exponentials are staged in out.
ZEL_KERNEL(fp_softmax_kernel, (const zel::fp_t* a, zel::fp_t* out, int rows, int cols)) {
    const long long r = ZEL_GLOBAL_X;
    if (r >= rows || cols <= 0) return;
    const zel::fp_t* row = a + r * cols;
    zel::fp_t* dst = out + r * cols;
    zel::fp_t top = row[0];
    for (int j = 1; j < cols; ++j) zel::fp_max_of(top, top, row[j]);
    zel::fp_t total;
    zel::fp_set_zero(total);
    for (int j = 0; j < cols; ++j) {
        zel::fp_t d;
        zel::fp_sub(d, row[j], top);
        zel::fp_exp(dst[j], d);
        zel::fp_add(total, total, dst[j]);
    }
    for (int j = 0; j < cols; ++j) zel::fp_div(dst[j], dst[j], total);
}
