// The subsystems in import order; each binds its functions, classes and
// values into the module namespace.
#pragma once
#include <Python.h>

namespace zel {

void define_core(PyObject* m);    // kernel access, conversions, transfer
void define_tensor(PyObject* m);  // the Tensor class
void define_sparse(PyObject* m);  // SparseTensor (CSR) and sparse_mv
void define_binary(PyObject* m);  // broadcasting, add, sub, mul, div
void define_unary(PyObject* m);           // neg, abs, activations, exp, log, sin, cos, sqrt, sign
void define_compare(PyObject* m);         // comparisons, logical functions, where, clamp, pow, leaky_relu, lerp
void define_transcendental(PyObject* m);  // tan, hyperbolic and inverse functions, atan, log2, log10
void define_rounding(PyObject* m);        // ceil, floor, round, trunc, frac, mod, reciprocal
void define_reduce(PyObject* m);    // sum, prod, max, min, mean, dot, row-wise scans, softmax
void define_products(PyObject* m);  // mm, mv, matmul, bmm, outer, kron, trace, diag, conv2d
void define_shape(PyObject* m);   // creation and shape functions
void define_stats(PyObject* m);   // norm, var, std
void define_exact(PyObject* m);   // Fraction bridge, Gauss-Jordan family, exact special values
void define_decomp(PyObject* m);  // qr, eig, eigh, svd, expm
void define_random(PyObject* m);    // the generator, rand, randn
void define_checksum(PyObject* m);  // checksums and verification
void define_complex(PyObject* m);   // ComplexTensor and the complex functions
void define_pi(PyObject* m);  // PI_STR and the pi functions; after complex_ones, before the gates
void define_gates(PyObject* m);  // rotation, phase, Pauli/Clifford gates; after the pi functions
void define_files(PyObject* m);  // save, load and the unpickling of tensors
void define_operators(PyObject* m);  // Tensor operators; after every function, before the NumPy table
void define_numpy_patch(PyObject* m);  // NumPy patch table and patch/unpatch; last

using DefineFn = void (*)(PyObject*);
inline constexpr DefineFn kSubsystems[] = {
    define_core,
    define_tensor,
    define_sparse,
    define_binary,
    define_unary,
    define_compare,
    define_transcendental,
    define_rounding,
    define_reduce,
    define_products,
    define_shape,
    define_stats,
    define_exact,
    define_decomp,
    define_random,
    define_checksum,
    define_complex,
    define_pi,  // after the complex functions, before the gates
    define_gates,
    define_files,
    define_operators,
    define_numpy_patch,
};

}  // namespace zel
