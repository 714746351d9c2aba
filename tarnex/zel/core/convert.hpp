// Exact conversions between Python values and records, and the bulk moves of
// record arrays between the host and the device.
#pragma once
#include "gmp.hpp"
#include "runtime.hpp"

namespace zel {

// The record of a Python value under the floor rule (ints, floats through
// limit_denominator(10**15), Decimal, decimal strings, Fractions, other
// rationals); OverflowError("Value out of FixedPoint range") beyond 2^256.
void value_to_record(PyObject* v, fp_t& out);
// The record of a Python value by its exact value: as value_to_record, but
// floats (and NumPy floating scalars) by their binary value, the record
// fp_from_double_kernel gives, and NumPy integers as ints.
void exact_value_to_record(PyObject* v, fp_t& out);
// record = scaled / 2^256 for an integer `scaled`; OverflowError("Value out
// of FixedPoint range") unless |scaled| < 2^512.
void record_from_scaled(fp_t& out, mpz_srcptr scaled);
// The exact Fraction of a record (sign field used as a multiplier).
Ref record_to_fraction(const fp_t& r);
// The record of (negative ? -num : num) / den under the same floor rule,
// for 64-bit operands (den > 0): exact long division, no GMP.
void small_ratio_to_record(fp_t& out, bool negative, uint64_t num, uint64_t den);

// Refuses NaN (ValueError), infinities and |x| >= 2^256 (OverflowError), the
// errors the exact path raises, before doubles reach a conversion kernel.
void check_doubles(const double* x, Py_ssize_t n);

// A device record array converted from a host float64 array by
// fp_from_double_kernel, after check_doubles.
Ref upload_doubles(PyObject* host_float64);
// A device array holding a copy of host records.
Ref upload_records(const fp_t* records, Py_ssize_t n);
// A host NumPy copy of a device array (arr.get()).
Ref download(PyObject* dev);

// A fresh record array with the same records as `arr` (one bulk copy).
Ref copy_records(PyObject* arr);
// dst[i] = src[j] for contiguous record arrays, as one device-to-device copy
// of the record's bytes (records are not assigned element-wise on a GPU).
void copy_record(PyObject* dst, Py_ssize_t i, PyObject* src, Py_ssize_t j);

// The record arrays of a list joined end to end on the device, through byte
// views (the array library need not support record dtypes for this).
Ref concat_records(PyObject* arrays);

// The host records of a device array, read into `out`.
void read_records(PyObject* dev, std::vector<fp_t>& out);

}  // namespace zel
