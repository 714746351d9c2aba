// qr: Householder QR (Golub & Van Loan, Algorithm 5.2.1 with the reflector
// normalised to unit length) in exact rationals on GMP.  Only the two norms
// of each step leave the rationals: each is the libm pow(x, 0.5) of the
// nearest double, brought back as the closest fraction with denominator at
// most 10^15, which keeps the denominators bounded across steps.
#include <algorithm>
#include <cmath>

#include "../core/gmp.hpp"
#include "host.hpp"

namespace zel::decomp {
namespace {

// Fraction(float(q) ** 0.5).limit_denominator(10**15) for q > 0.  pow with
// exponent 0.5 is what the interpreter's float power calls; it may differ
// from a correctly rounded sqrt in the last bit, so sqrt is not a substitute.
void rounded_root(mpq_ptr out, mpq_srcptr q, mpz_srcptr bound) {
    const double root = std::pow(mpq_to_double_exact(q), 0.5);
    Mpq exact;
    mpq_set_d(exact.v, root);
    limit_denominator(out, exact.v, bound);
}

void set_exact(mpq_ptr q, double x) {
    if (std::isnan(x)) py::raise(PyExc_ValueError, "cannot convert NaN to integer ratio");
    if (std::isinf(x)) py::raise(PyExc_OverflowError, "cannot convert Infinity to integer ratio");
    mpq_set_d(q, x);
}

Ref fn_qr(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"A"};
    auto [A] = parse_args("qr", names, 1, args, nargs, kwnames);
    Ref shape = tensor_shape(A);
    if (py::length(shape.get()) != 2) py::raise(PyExc_ValueError, "qr requires 2D matrix");
    const std::vector<Py_ssize_t> dims = shape_dims(shape.get());
    const Py_ssize_t m = std::max<Py_ssize_t>(dims[0], 0), n = std::max<Py_ssize_t>(dims[1], 0);

    const std::vector<double> a = read_doubles(A, m * n);
    std::vector<Mpq> R(static_cast<size_t>(m * n)), Q(static_cast<size_t>(m * m));
    for (Py_ssize_t i = 0; i < m * n; ++i) set_exact(R[i].v, a[i]);
    for (Py_ssize_t i = 0; i < m; ++i) mpq_set_ui(Q[i * m + i].v, 1, 1);
    auto r = [&](Py_ssize_t i, Py_ssize_t k) { return R[i * n + k].v; };
    auto q = [&](Py_ssize_t i, Py_ssize_t k) { return Q[i * m + k].v; };

    Mpz bound;
    mpz_ui_pow_ui(bound.v, 10, 15);
    Mpq norm_sq, norm, t;
    std::vector<Mpq> x(m), w(m), vTR(n), Qv(m);
    const Py_ssize_t steps = std::min(m - 1, n);
    for (Py_ssize_t j = 0; j < steps; ++j) {
        const Py_ssize_t len = m - j;
        mpq_set_ui(norm_sq.v, 0, 1);
        for (Py_ssize_t i = 0; i < len; ++i) {
            mpq_set(x[i].v, r(j + i, j));
            mpq_mul(t.v, x[i].v, x[i].v);
            mpq_add(norm_sq.v, norm_sq.v, t.v);
        }
        if (mpq_sgn(norm_sq.v) == 0) continue;
        rounded_root(norm.v, norm_sq.v, bound.v);
        // Reflect x onto -sign(x0)·|x| e1, adding rather than cancelling.
        if (mpq_sgn(x[0].v) >= 0) mpq_add(x[0].v, x[0].v, norm.v);
        else mpq_sub(x[0].v, x[0].v, norm.v);
        mpq_set_ui(norm_sq.v, 0, 1);
        for (Py_ssize_t i = 0; i < len; ++i) {
            mpq_mul(t.v, x[i].v, x[i].v);
            mpq_add(norm_sq.v, norm_sq.v, t.v);
        }
        if (mpq_sgn(norm_sq.v) == 0) continue;
        rounded_root(norm.v, norm_sq.v, bound.v);
        // A norm below the bound's resolution rounds to 0; dividing by it
        // would be meaningless, so the column is left as it is, like a zero
        // column.
        if (mpq_sgn(norm.v) == 0) continue;
        // v = x / |x|; w = 2v carries the reflector's factor 2 once.
        for (Py_ssize_t i = 0; i < len; ++i) mpq_div(x[i].v, x[i].v, norm.v);
        for (Py_ssize_t i = 0; i < len; ++i) mpq_mul_2exp(w[i].v, x[i].v, 1);

        // R <- (I - 2vvᵀ) R on rows j.., columns j..
        for (Py_ssize_t k = j; k < n; ++k) {
            mpq_ptr acc = vTR[k - j].v;
            mpq_set_ui(acc, 0, 1);
            for (Py_ssize_t i = 0; i < len; ++i) {
                mpq_mul(t.v, x[i].v, r(j + i, k));
                mpq_add(acc, acc, t.v);
            }
        }
        for (Py_ssize_t i = 0; i < len; ++i) {
            for (Py_ssize_t k = j; k < n; ++k) {
                mpq_mul(t.v, w[i].v, vTR[k - j].v);
                mpq_sub(r(j + i, k), r(j + i, k), t.v);
            }
        }
        // Q <- Q (I - 2vvᵀ) on columns j..
        for (Py_ssize_t i = 0; i < m; ++i) {
            mpq_ptr acc = Qv[i].v;
            mpq_set_ui(acc, 0, 1);
            for (Py_ssize_t k = 0; k < len; ++k) {
                mpq_mul(t.v, q(i, j + k), x[k].v);
                mpq_add(acc, acc, t.v);
            }
            mpq_mul_2exp(acc, acc, 1);
        }
        for (Py_ssize_t i = 0; i < m; ++i) {
            for (Py_ssize_t k = 0; k < len; ++k) {
                mpq_mul(t.v, Qv[i].v, x[k].v);
                mpq_sub(q(i, j + k), q(i, j + k), t.v);
            }
        }
    }

    std::vector<double> q_flat(Q.size()), r_flat(R.size());
    for (size_t i = 0; i < Q.size(); ++i) q_flat[i] = mpq_to_double_exact(Q[i].v);
    for (size_t i = 0; i < R.size(); ++i) r_flat[i] = mpq_to_double_exact(R[i].v);
    Ref Qt = matrix_tensor(q_flat, dims[0], dims[0]);
    Ref Rt = matrix_tensor(r_flat, dims[0], dims[1]);
    return py::tuple(std::move(Qt), std::move(Rt));
}

}  // namespace

PyMethodDef qr_methods[] = {
    method<fn_qr>("qr", "qr($module, /, A)\n--\n\n"
                        "QR decomposition by Householder reflections, computed in exact rationals.\n\n"
                        "Returns (Q, R) with Q of shape (m, m) orthogonal and R of shape (m, n)\n"
                        "upper triangular up to rounding; both pass through doubles."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace zel::decomp
