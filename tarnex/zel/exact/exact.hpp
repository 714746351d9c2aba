// The exact rational algebra subsystem: the Fraction bridge and Gauss-Jordan
// family (gauss.cpp), then the exact special values (special.cpp).
#pragma once
#include <Python.h>

#include "../core/gmp.hpp"

namespace zel {

// float(Decimal(num) / Decimal(den)) in the thread's current decimal context:
// how the exact determinants are rounded once.
py::Ref decimal_quotient(mpz_srcptr num, mpz_srcptr den);

void define_exact_values(PyObject* m);  // hilbert_matrix ... cross_exact

}  // namespace zel
