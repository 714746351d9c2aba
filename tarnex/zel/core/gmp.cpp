// Conversions between GMP numbers and Python ints/Fractions, the correctly
// rounded rational-to-double conversion, and limit_denominator.
#include "gmp.hpp"

#include <cmath>
#include <cstdlib>
#include <new>
#include <vector>

#include "runtime.hpp"

namespace zel {

void mpz_from_pylong(mpz_ptr z, PyObject* o) {
    int overflow = 0;
    const long small = PyLong_AsLongAndOverflow(o, &overflow);
    if (small == -1 && PyErr_Occurred()) py::fail();
    if (!overflow) {
        mpz_set_si(z, small);
        return;
    }
    // Two's complement bytes, then subtract 2^(8n) for a negative value.
    const size_t nbytes = _PyLong_NumBits(o) / 8 + 1;
    std::vector<unsigned char> buf(nbytes);
    if (_PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(o), buf.data(), nbytes, 1, 1) < 0) py::fail();
    mpz_import(z, nbytes, -1, 1, 0, 0, buf.data());
    if (overflow < 0) {
        Mpz wrap;
        mpz_setbit(wrap.v, 8 * nbytes);
        mpz_sub(z, z, wrap.v);
    }
}

py::Ref pylong_from_mpz(mpz_srcptr z) {
    if (mpz_fits_slong_p(z)) return py::from_long(mpz_get_si(z));
    const size_t nbytes = (mpz_sizeinbase(z, 2) + 7) / 8;
    std::vector<unsigned char> buf(nbytes);
    size_t count = 0;
    mpz_export(buf.data(), &count, -1, 1, 0, 0, z);
    py::Ref mag = py::check(_PyLong_FromByteArray(buf.data(), count, 1, 0));
    if (mpz_sgn(z) < 0) return py::check(PyNumber_Negative(mag.get()));
    return mag;
}

void mpq_from_fraction(mpq_ptr q, PyObject* frac) {
    py::Ref num = py::getattr(frac, "numerator");
    py::Ref den = py::getattr(frac, "denominator");
    if (!PyLong_Check(num.get()) || !PyLong_Check(den.get())) {
        py::raise(PyExc_TypeError, "rational value needs integer numerator and denominator");
    }
    mpz_from_pylong(mpq_numref(q), num.get());
    mpz_from_pylong(mpq_denref(q), den.get());
    if (mpz_sgn(mpq_denref(q)) == 0) py::raise(PyExc_ZeroDivisionError, "Fraction(1, 0)");
    mpq_canonicalize(q);
}

py::Ref fraction_from_mpq(mpq_srcptr q) {
    py::Ref num = pylong_from_mpz(mpq_numref(q));
    py::Ref den = pylong_from_mpz(mpq_denref(q));
    return py::call(S().from_coprime, num.get(), den.get());
}

double mpq_to_double_exact(mpq_srcptr q) {
    double v = 0.0;
    if (!mpq_to_double_checked(q, v)) py::raise(PyExc_OverflowError, "integer division result too large for a float");
    return v;
}

bool mpq_to_double_checked(mpq_srcptr q, double& out) {
    const int sgn = mpq_sgn(q);
    out = 0.0;
    if (sgn == 0) return true;
    Mpz a, b, t, r;
    mpz_abs(a.v, mpq_numref(q));
    mpz_set(b.v, mpq_denref(q));
    // e = floor(log2(a / b)).
    long e = static_cast<long>(mpz_sizeinbase(a.v, 2)) - static_cast<long>(mpz_sizeinbase(b.v, 2));
    if (e >= 0) {
        mpz_mul_2exp(t.v, b.v, e);
        if (mpz_cmp(a.v, t.v) < 0) --e;
    } else {
        mpz_mul_2exp(t.v, a.v, -e);
        if (mpz_cmp(t.v, b.v) < 0) --e;
    }
    if (e > 1023) return false;
    // Precision available at this exponent: 53 bits, fewer among subnormals.
    const long p = e >= -1022 ? 53 : 53 - (-1022 - e);
    if (p < 0) {
        out = sgn < 0 ? -0.0 : 0.0;
        return true;
    }
    // q2 = floor(a * 2^(s+1) / b) has p + 1 bits: p kept, one rounding bit.
    const long s = p - 1 - e;
    if (s + 1 >= 0) {
        mpz_mul_2exp(t.v, a.v, s + 1);
        mpz_fdiv_qr(t.v, r.v, t.v, b.v);
    } else {
        mpz_mul_2exp(r.v, b.v, -(s + 1));
        mpz_fdiv_qr(t.v, r.v, a.v, r.v);
    }
    const bool half = mpz_odd_p(t.v);
    const bool sticky = mpz_sgn(r.v) != 0;
    mpz_fdiv_q_2exp(t.v, t.v, 1);
    if (half && (sticky || mpz_odd_p(t.v))) mpz_add_ui(t.v, t.v, 1);
    const double mant = mpz_get_d(t.v);  // exact: at most 2^53
    const double v = std::ldexp(mant, static_cast<int>(-s));
    if (std::isinf(v)) return false;
    out = sgn < 0 ? -v : v;
    return true;
}

namespace {

// GMP cannot continue after a failed allocation, but it need not: the
// exception unwinds through its frames (built with unwind tables) to the
// entry point, leaving every mpz it was working on in its previous state.
void* gmp_alloc(size_t n) {
    void* p = std::malloc(n);
    if (!p) throw std::bad_alloc();
    return p;
}

void* gmp_realloc(void* p, size_t, size_t n) {
    void* q = std::realloc(p, n);
    if (!q) throw std::bad_alloc();
    return q;
}

void gmp_free(void* p, size_t) { std::free(p); }

}  // namespace

void install_gmp_allocator() { mp_set_memory_functions(gmp_alloc, gmp_realloc, gmp_free); }

void limit_denominator(mpq_ptr out, mpq_srcptr x, mpz_srcptr max_den) {
    if (mpz_cmp(mpq_denref(x), max_den) <= 0) {
        mpq_set(out, x);
        return;
    }
    // Convergents p0/q0, p1/q1 of the continued fraction of x, stopped before
    // the denominator exceeds max_den; then the best semiconvergent against
    // the last convergent, the tie going to the convergent p1/q1.
    Mpz p0(0), q0(1), p1(1), q1(0), n, d, a, q2, tmp;
    mpz_set(n.v, mpq_numref(x));
    mpz_set(d.v, mpq_denref(x));
    for (;;) {
        mpz_fdiv_q(a.v, n.v, d.v);
        mpz_mul(q2.v, a.v, q1.v);
        mpz_add(q2.v, q2.v, q0.v);
        if (mpz_cmp(q2.v, max_den) > 0) break;
        // p0, q0, p1, q1 = p1, q1, p0 + a*p1, q2
        mpz_mul(tmp.v, a.v, p1.v);
        mpz_add(tmp.v, tmp.v, p0.v);
        mpz_swap(p0.v, p1.v);
        mpz_swap(p1.v, tmp.v);
        mpz_swap(q0.v, q1.v);
        mpz_swap(q1.v, q2.v);
        // n, d = d, n - a*d
        mpz_mul(tmp.v, a.v, d.v);
        mpz_sub(tmp.v, n.v, tmp.v);
        mpz_swap(n.v, d.v);
        mpz_swap(d.v, tmp.v);
    }
    Mpz k, qk, lhs;
    mpz_sub(k.v, max_den, q0.v);
    mpz_fdiv_q(k.v, k.v, q1.v);
    mpz_mul(qk.v, k.v, q1.v);
    mpz_add(qk.v, qk.v, q0.v);  // q0 + k*q1
    mpz_mul(lhs.v, d.v, qk.v);
    mpz_mul_2exp(lhs.v, lhs.v, 1);  // 2*d*(q0 + k*q1)
    if (mpz_cmp(lhs.v, mpq_denref(x)) <= 0) {
        mpz_set(mpq_numref(out), p1.v);
        mpz_set(mpq_denref(out), q1.v);
    } else {
        mpz_mul(tmp.v, k.v, p1.v);
        mpz_add(mpq_numref(out), p0.v, tmp.v);
        mpz_set(mpq_denref(out), qk.v);
    }
}

}  // namespace zel
