// Exact sums of products by multi-modular arithmetic, for the matrix
// products of the host backend.  The result is, record for record, what
// the classical loop of fp_mm_kernel writes: both round the same exact
// integer with acc_round.
#pragma once
#include "../core/runtime.hpp"

namespace zel {

// out[b] = A[b] B[b] for b < batch (A[b]: M x K, B[b]: K x N, row-major and
// stored one after another), each output the floor of the exact sum of
// products.  Called with the interpreter lock held; it is released while
// the limb work runs.
void mm_multimodular(const fp_t* a, const fp_t* b, fp_t* out, Py_ssize_t batch, Py_ssize_t M, Py_ssize_t N,
                     Py_ssize_t K);

// Whether the multi-modular product beats the classical loop at this size
// (measured on the host backend; small products keep the loop).
bool mm_multimodular_pays(Py_ssize_t M, Py_ssize_t N, Py_ssize_t K);

}  // namespace zel
