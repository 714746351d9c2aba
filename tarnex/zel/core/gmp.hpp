// GMP integers and rationals at the boundary with Python ints and Fractions.
#pragma once
#include <gmp.h>

#include "py.hpp"

namespace zel {

// RAII mpz_t.
struct Mpz {
    mpz_t v;
    Mpz() { mpz_init(v); }
    explicit Mpz(long n) { mpz_init_set_si(v, n); }
    Mpz(const Mpz& o) { mpz_init_set(v, o.v); }
    Mpz& operator=(const Mpz& o) {
        mpz_set(v, o.v);
        return *this;
    }
    ~Mpz() { mpz_clear(v); }
    mpz_ptr get() { return v; }
    mpz_srcptr get() const { return v; }
};

// RAII mpq_t (kept canonical by every operation that produces one).
struct Mpq {
    mpq_t v;
    Mpq() { mpq_init(v); }
    Mpq(const Mpq& o) {
        mpq_init(v);
        mpq_set(v, o.v);
    }
    Mpq& operator=(const Mpq& o) {
        mpq_set(v, o.v);
        return *this;
    }
    ~Mpq() { mpq_clear(v); }
    mpq_ptr get() { return v; }
    mpq_srcptr get() const { return v; }
};

// z = the Python int `o` (any size).
void mpz_from_pylong(mpz_ptr z, PyObject* o);
// A new Python int equal to z.
py::Ref pylong_from_mpz(mpz_srcptr z);
// q = the exact value of a Fraction (or any object with integer
// numerator/denominator attributes).
void mpq_from_fraction(mpq_ptr q, PyObject* frac);
// A new Fraction equal to q (already in lowest terms).
py::Ref fraction_from_mpq(mpq_srcptr q);
// The double nearest q, ties to even: float(Fraction) exactly, including its
// OverflowError ("integer division result too large for a float").
double mpq_to_double_exact(mpq_srcptr q);
// The same without raising: false where the value is too large for a double.
bool mpq_to_double_checked(mpq_srcptr q, double& out);
// Makes GMP's allocation failures throw std::bad_alloc (MemoryError at the
// entry point) instead of aborting the process.  Called once at import.
void install_gmp_allocator();
// Fraction(x).limit_denominator(max_den) for a finite double x, with the
// interpreter's continued-fraction algorithm and tie rule.
void limit_denominator(mpq_ptr out, mpq_srcptr x, mpz_srcptr max_den);

}  // namespace zel
