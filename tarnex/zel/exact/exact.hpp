// The exact rational algebra subsystem: the Fraction bridge and Gauss-Jordan
// family (gauss.cpp), then the exact special values (special.cpp).
#pragma once
#include <Python.h>

namespace zel {

void define_exact(PyObject* m);         // bridge, rref ... verify_identity, then the special values
void define_exact_values(PyObject* m);  // hilbert_matrix ... cross_exact

}  // namespace zel
