// The subsystems in import order; each binds its functions, classes and
// values into the module namespace.
#pragma once
#include <Python.h>

namespace zel {

void define_core(PyObject* m);    // kernel access, conversions, transfer
void define_tensor(PyObject* m);  // the Tensor class
void define_binary(PyObject* m);  // broadcasting, add, sub, mul, div
void define_shape(PyObject* m);   // creation and shape functions
void define_random(PyObject* m);    // the generator, rand, randn
void define_checksum(PyObject* m);  // checksums and verification

using DefineFn = void (*)(PyObject*);
inline constexpr DefineFn kSubsystems[] = {
    define_core,
    define_tensor,
    define_binary,
    define_shape,
    define_random,
    define_checksum,
};

}  // namespace zel
