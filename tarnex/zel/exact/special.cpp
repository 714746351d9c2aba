// Exact special values: the Hilbert matrix and its determinant, Bernoulli
// numbers, zeta at the non-positive and the positive even integers, and the
// 3-D cross product through exact rationals.  All arithmetic is on GMP; the
// one decimal division and the float/Fraction results are the interpreter's.
#include <cmath>
#include <cstring>
#include <vector>

#include "../core/gmp.hpp"
#include "../core/interrupt.hpp"
#include "../core/runtime.hpp"
#include "exact.hpp"

namespace zel {

namespace {

bool is_negative(PyObject* n) {
    Ref zero = py::from_long(0);
    const int r = PyObject_RichCompareBool(n, zero.get(), Py_LT);
    if (r < 0) py::fail();
    return r != 0;
}

Ref fn_hilbert_matrix(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"n"};
    auto [n_in] = parse_args("hilbert_matrix", names, 1, args, nargs, kwnames);
    const long long n = arg_long(n_in, "n");
    if (n < 0) py::raise(PyExc_ValueError, "n must be non-negative");
    // tensor() of the empty list has shape (0,), which an array would not.
    if (n == 0) return call_global("tensor", py::check(PyList_New(0)).get());
    // The doubles go to tensor() as one NumPy array: the same records and
    // shape as the nested lists of floats, without an object per entry.
    if (n > (1LL << 31)) py::raise(PyExc_MemoryError, "hilbert_matrix size is too large");
    check_fits(static_cast<Py_ssize_t>(n * n), 8 + kRecordBytes);
    Ref dims = py::tuple(py::from_long(n), py::from_long(n));
    Ref empty = py::getattr(S().np, "empty");
    Ref arr = call_with_dtype(empty.get(), dims.get(), S().np_float64);
    {
        Buffer buf(arr.get(), true);
        double* h = static_cast<double*>(buf.data());
        for (long long i = 0; i < n; ++i) {
            for (long long j = 0; j < n; ++j) h[i * n + j] = 1.0 / static_cast<double>(i + j + 1);
        }
    }
    return call_global("tensor", arr.get());
}

// det H_n = c_n^4 / c_2n with c_m = 0! 1! ... (m-1)! (the Cauchy determinant
// of 1/(x_i + y_j) with x_i = i, y_j = j + 1): the exact value the rational
// elimination arrives at, without its O(n^3) fraction operations.
Ref fn_hilbert_det_exact(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"n"};
    auto [n_in] = parse_args("hilbert_det_exact", names, 1, args, nargs, kwnames);
    const long long n = arg_long(n_in, "n");
    if (n < 0) py::raise(PyExc_ValueError, "n must be non-negative");
    // c_2n has about (2n)^2 log2(2n) / 2 bits, and c_n^4 as many again.
    if (n > (1LL << 30)) py::raise(PyExc_MemoryError, "hilbert_det_exact size is too large");
    const double bits = 2.0 * n * n * std::log2(2.0 * n + 2);
    check_fits(static_cast<Py_ssize_t>(bits / 8) + 1, 4);
    Mpq det;
    {
        NoGil unlocked;
        Mpz fact(1), c(1), cn(1);
        for (long long k = 1; k < 2 * n; ++k) {
            poll_interrupt();
            if (k == n) mpz_set(cn.v, c.v);
            mpz_mul_ui(fact.v, fact.v, static_cast<unsigned long>(k));
            mpz_mul(c.v, c.v, fact.v);
        }
        if (n <= 1) mpz_set(cn.v, c.v);  // c_0 = c_1 = 1
        mpz_pow_ui(mpq_numref(det.v), cn.v, 4);
        mpz_set(mpq_denref(det.v), c.v);
        mpq_canonicalize(det.v);
    }
    return decimal_quotient(mpq_numref(det.v), mpq_denref(det.v));
}

// B_n with B_1 = +1/2, the value the Akiyama-Tanigawa recurrence yields.
// Even indices come from the tangent numbers (Brent and Harvey, "Fast
// computation of Bernoulli, Tangent and Secant numbers", 2011), an integer
// recurrence of O(n^2) small multiplications:
//   B_2m = (-1)^(m-1) 2m T_m / (2^2m (2^2m - 1)).
void bernoulli_number(mpq_ptr out, unsigned long n) {
    if (n == 0 || n == 1) {
        mpq_set_ui(out, 1, n + 1);
        return;
    }
    if (n % 2) {
        mpq_set_ui(out, 0, 1);
        return;
    }
    const unsigned long m = n / 2;
    std::vector<Mpz> t(m + 1);  // t[1..m]
    mpz_set_ui(t[1].v, 1);
    for (unsigned long k = 2; k <= m; ++k) mpz_mul_ui(t[k].v, t[k - 1].v, k - 1);
    for (unsigned long k = 2; k <= m; ++k) {
        for (unsigned long j = k; j <= m; ++j) {
            poll_interrupt();
            // T_j = (j - k) T_(j-1) + (j - k + 2) T_j
            mpz_mul_ui(t[j].v, t[j].v, j - k + 2);
            mpz_addmul_ui(t[j].v, t[j - 1].v, j - k);
        }
    }
    mpz_mul_ui(mpq_numref(out), t[m].v, n);
    if (m % 2 == 0) mpz_neg(mpq_numref(out), mpq_numref(out));
    Mpz p;
    mpz_setbit(p.v, n);  // 2^2m
    mpz_sub_ui(mpq_denref(out), p.v, 1);
    mpz_mul(mpq_denref(out), mpq_denref(out), p.v);
    mpq_canonicalize(out);
}

Ref fn_bernoulli(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"n"};
    auto [n_in] = parse_args("bernoulli", names, 1, args, nargs, kwnames);
    const long long n = arg_long(n_in, "n");
    // The recurrence's table is empty for a negative n: no A[0] to return.
    if (n < 0) py::raise(PyExc_IndexError, "bernoulli requires n >= 0");
    // The table holds T_1 .. T_m (m = n/2), T_j below (2j)! in size: about
    // m/2 numbers of log2((2m)!) bits at the end.
    const double m = static_cast<double>(n / 2);
    const double top_bytes = std::lgamma(2 * m + 2) / std::log(2.0) / 8 + 16;
    if (m / 2 * top_bytes > 0x1p62) py::raise(PyExc_MemoryError, "bernoulli index is too large");
    check_fits(static_cast<Py_ssize_t>(m / 2) + 1, static_cast<Py_ssize_t>(top_bytes));
    Mpq b;
    {
        NoGil unlocked;
        bernoulli_number(b.v, static_cast<unsigned long>(n));
    }
    return fraction_from_mpq(b.v);
}

Ref fn_zeta_exact(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"n"};
    auto [n_in] = parse_args("zeta_exact", names, 1, args, nargs, kwnames);
    Ref n = arg_int(n_in, "n");
    if (is_negative(n.get())) {
        py::raise(PyExc_ValueError,
                  "zeta_exact only works for non-negative integers (giving \xce\xb6 at negative integers)");
    }
    Ref one = py::from_long(1);
    Ref n1 = py::check(PyNumber_Add(n.get(), one.get()));
    Ref B = call_global("bernoulli", n1.get());
    Ref minus_b = py::check(PyNumber_Negative(B.get()));
    return py::check(PyNumber_TrueDivide(minus_b.get(), n1.get()));
}

Ref fn_zeta_at_even(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"n"};
    auto [n_in] = parse_args("zeta_at_even", names, 1, args, nargs, kwnames);
    Ref n = arg_int(n_in, "n");
    Ref zero = py::from_long(0);
    const int positive = PyObject_RichCompareBool(n.get(), zero.get(), Py_GT);
    if (positive < 0) py::fail();
    if (!positive) py::raise(PyExc_ValueError, "n must be positive");
    Ref two = py::from_long(2);
    Ref two_n = py::check(PyNumber_Multiply(two.get(), n.get()));
    Ref B = call_global("bernoulli", two_n.get());
    // zeta(2n) = 2^(2n-1) |B_2n| pi^2n / (2n)!
    const unsigned long k = static_cast<unsigned long>(py::as_ssize(two_n.get()));
    Mpq b, coef;
    mpq_from_fraction(b.v, B.get());
    mpz_abs(mpq_numref(coef.v), mpq_numref(b.v));
    mpz_mul_2exp(mpq_numref(coef.v), mpq_numref(coef.v), k - 1);
    mpz_fac_ui(mpq_denref(coef.v), k);
    mpz_mul(mpq_denref(coef.v), mpq_denref(coef.v), mpq_denref(b.v));
    mpq_canonicalize(coef.v);
    return py::tuple(fraction_from_mpq(coef.v), std::move(two_n));
}

// The rational a double's shortest decimal text denotes:
// Fraction(*Decimal(str(x)).as_integer_ratio()), so 0.1 reads as 1/10.
void decimal_text_value(mpq_ptr out, PyObject* x) {
    Ref text = py::check(PyObject_Str(x));
    Ref d = py::call(S().Decimal, text.get());
    Ref ratio = py::call_method(d.get(), "as_integer_ratio");
    Ref p = py::check(PySequence_GetItem(ratio.get(), 0));
    Ref q = py::check(PySequence_GetItem(ratio.get(), 1));
    mpz_from_pylong(mpq_numref(out), p.get());
    mpz_from_pylong(mpq_denref(out), q.get());
    mpq_canonicalize(out);
}

void read_decimal_values(PyObject* list, std::vector<Mpq>& out) {
    Ref it = py::check(PyObject_GetIter(list));
    while (Ref x = Ref::steal(PyIter_Next(it.get()))) {
        out.emplace_back();
        decimal_text_value(out.back().v, x.get());
    }
    if (PyErr_Occurred()) py::fail();
}

// The exact cross product of two 3-element tensors read through their
// doubles' decimal texts; sets the decimal precision to 50 on the way, a
// change the caller's later decimal divisions keep.
std::vector<Mpq> cross_fractions(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"a", "b"};
    auto [a, b] = parse_args(fname, names, 2, args, nargs, kwnames);
    Ref three = py::from_long(3);
    Ref na = py::getattr(a, "numel");
    int bad = PyObject_RichCompareBool(na.get(), three.get(), Py_NE);
    if (bad < 0) py::fail();
    Ref nb;
    if (!bad) {
        nb = py::getattr(b, "numel");
        bad = PyObject_RichCompareBool(nb.get(), three.get(), Py_NE);
        if (bad < 0) py::fail();
    }
    if (bad) {
        if (!nb) nb = py::getattr(b, "numel");
        Ref empty = py::from_str("");
        Ref ta = py::check(PyObject_Format(na.get(), empty.get()));
        Ref tb = py::check(PyObject_Format(nb.get(), empty.get()));
        py::raisef(PyExc_ValueError, "cross product requires 3D vectors, got %U and %U", ta.get(), tb.get());
    }
    // Both vectors are read before the precision changes.
    Ref la = py::call_method(a, "to_list");
    Ref lb = py::call_method(b, "to_list");
    Ref ctx = call_global("getcontext");
    Ref fifty = py::from_long(50);
    py::check_int(PyObject_SetAttrString(ctx.get(), "prec", fifty.get()));
    std::vector<Mpq> u, v;
    read_decimal_values(la.get(), u);
    read_decimal_values(lb.get(), v);
    if (u.size() < 3 || v.size() < 3) py::raise(PyExc_IndexError, "list index out of range");
    std::vector<Mpq> c(3);
    Mpq t;
    for (int i = 0; i < 3; ++i) {
        const int j = (i + 1) % 3, k = (i + 2) % 3;  // c_i = u_j v_k - u_k v_j
        mpq_mul(c[i].v, u[j].v, v[k].v);
        mpq_mul(t.v, u[k].v, v[j].v);
        mpq_sub(c[i].v, c[i].v, t.v);
    }
    return c;
}

Ref fn_cross(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const std::vector<Mpq> c = cross_fractions("cross", args, nargs, kwnames);
    Ref list = py::check(PyList_New(3));
    for (int i = 0; i < 3; ++i) PyList_SET_ITEM(list.get(), i, py::from_double(mpq_to_double_exact(c[i].v)).release());
    return call_global("tensor", list.get());
}

Ref fn_cross_exact(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const std::vector<Mpq> c = cross_fractions("cross_exact", args, nargs, kwnames);
    Ref list = py::check(PyList_New(3));
    for (int i = 0; i < 3; ++i) PyList_SET_ITEM(list.get(), i, fraction_from_mpq(c[i].v).release());
    return list;
}

PyMethodDef special_methods[] = {
    method<fn_hilbert_matrix>("hilbert_matrix", "hilbert_matrix($module, /, n)\n--\n\n"
                                                "Create the n x n Hilbert matrix.\n\nH[i,j] = 1/(i+j+1)"),
    method<fn_hilbert_det_exact>("hilbert_det_exact",
                                 "hilbert_det_exact($module, /, n)\n--\n\n"
                                 "Determinant of the n x n Hilbert matrix.\n\n"
                                 "Returns: float (but computed via exact Fraction arithmetic)"),
    method<fn_bernoulli>("bernoulli", "bernoulli($module, /, n)\n--\n\n"
                                      "Compute the n-th Bernoulli number B_n EXACTLY as a Fraction.\n\n"
                                      "Uses Akiyama-Tanigawa algorithm for exact rational arithmetic.\n"
                                      "Convention: B_1 = +1/2."),
    method<fn_zeta_exact>("zeta_exact", "zeta_exact($module, /, n)\n--\n\n"
                                        "Exact value of the Riemann zeta function at -n, as a Fraction.\n\n"
                                        "Uses the formula: \xce\xb6(-n) = -B_{n+1}/(n+1) for n >= 0"),
    method<fn_zeta_at_even>("zeta_at_even", "zeta_at_even($module, /, n)\n--\n\n"
                                            "zeta(2n) as (coefficient, power) with zeta(2n) = coefficient * pi**power.\n\n"
                                            "The coefficient is an exact Fraction and power is 2n."),
    method<fn_cross>("cross", "cross($module, /, a, b)\n--\n\n"
                              "3D cross product, computed with exact rationals."),
    method<fn_cross_exact>("cross_exact", "cross_exact($module, /, a, b)\n--\n\n"
                                          "Cross product returning exact Fractions (not floats)."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void define_exact_values(PyObject* m) { add_functions(m, special_methods); }

}  // namespace zel
