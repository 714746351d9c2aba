// expm: scaling and squaring with the diagonal Padé approximant (Moler & Van
// Loan, "Nineteen dubious ways", method 3).  The host works in doubles with
// the interpreter's rounding; the quotient D⁻¹N is taken one column at a time
// with the module's solve.
#include <algorithm>
#include <cmath>

#include "host.hpp"

namespace zel::decomp {
namespace {

using Matrix = std::vector<double>;  // n x n, row-major

// C = A·B, each entry the interpreter's sum() of the n products.
Matrix host_product(const Matrix& A, const Matrix& B, Py_ssize_t n) {
    Matrix C(A.size());
    for (Py_ssize_t i = 0; i < n; ++i) {
        poll_interrupt();
        for (Py_ssize_t j = 0; j < n; ++j) {
            FloatSum s;
            for (Py_ssize_t l = 0; l < n; ++l) s.add(A[i * n + l] * B[l * n + j]);
            C[i * n + j] = s.value();
        }
    }
    return C;
}

// Orders beyond this have Padé coefficients that underflow long before
// (c_k < 4^-k): they add work, never accuracy.
constexpr long long kMaxOrder = 1000000;

Ref fn_expm(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"A", "order"};
    auto [A, order_obj] = parse_args("expm", names, 1, args, nargs, kwnames);
    const long long order = order_obj ? arg_long(order_obj, "order") : 6;
    if (order > kMaxOrder) py::raisef(PyExc_ValueError, "expm order must be at most %lld, got %lld", kMaxOrder, order);
    const Py_ssize_t n = square_size(A, "expm requires square matrix");

    const Matrix A_data = read_doubles(A, n * n);
    // Infinity norm, then the number of squarings that brings it below 1.
    if (n == 0) py::raise(PyExc_ValueError, "max() iterable argument is empty");
    double norm_A = 0.0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        FloatSum row;
        for (Py_ssize_t j = 0; j < n; ++j) row.add(std::fabs(A_data[i * n + j]));
        if (i == 0 || row.value() > norm_A) norm_A = row.value();
    }
    const double lg = std::ceil(std::log2(norm_A + 1));
    if (std::isnan(lg)) py::raise(PyExc_ValueError, "cannot convert float NaN to integer");
    if (std::isinf(lg)) py::raise(PyExc_OverflowError, "cannot convert float infinity to integer");
    const long long s = std::max(0LL, static_cast<long long>(lg));
    const double scale_factor = std::ldexp(1.0, static_cast<int>(s));
    Matrix A_scaled(A_data.size());
    for (size_t i = 0; i < A_data.size(); ++i) A_scaled[i] = A_data[i] / scale_factor;

    // c_k = c_{k-1}·(p - k + 1) / (k·(2p - k + 1)), left to right in doubles.
    std::vector<double> pade_c{1.0};
    for (long long k = 1; k <= order; ++k) {
        const double num = static_cast<double>(order - k + 1);
        const double den = static_cast<double>(k * (2 * order - k + 1));
        pade_c.push_back(pade_c.back() * num / den);
    }
    // N = Σ c_k A^k and D = Σ (-1)^k c_k A^k, accumulated term by term as
    // each power is formed (every entry sums its terms in order of k).
    Matrix P(static_cast<size_t>(n * n), 0.0);
    for (Py_ssize_t i = 0; i < n; ++i) P[i * n + i] = 1.0;
    Matrix N(static_cast<size_t>(n * n), 0.0), D(static_cast<size_t>(n * n), 0.0);
    for (long long k = 0; k <= order; ++k) {
        if (k > 0) P = host_product(P, A_scaled, n);
        const double c = pade_c[static_cast<size_t>(k)];
        const double signed_c = k % 2 == 0 ? c : -c;
        for (size_t e = 0; e < N.size(); ++e) {
            N[e] += c * P[e];
            D[e] += signed_c * P[e];
        }
    }

    Ref D_tensor = matrix_tensor(D, n, n);
    Matrix E(static_cast<size_t>(n * n), 0.0);
    std::vector<double> column(static_cast<size_t>(n));
    for (Py_ssize_t col = 0; col < n; ++col) {
        for (Py_ssize_t i = 0; i < n; ++i) column[i] = N[i * n + col];
        Ref b = doubles_tensor(column.data(), n);
        Ref x = call_global("solve", D_tensor.get(), b.get());
        const std::vector<double> xs = read_doubles(x.get(), n);
        for (Py_ssize_t i = 0; i < n; ++i) E[i * n + col] = xs[i];
    }
    for (long long k = 0; k < s; ++k) E = host_product(E, E, n);
    return matrix_tensor(E, n, n);
}

}  // namespace

PyMethodDef expm_methods[] = {
    method<fn_expm>("expm", "expm($module, /, A, order=6)\n--\n\n"
                            "Matrix exponential by scaling and squaring with a Pade approximant.\n\n"
                            "For a Hamiltonian H, exp(-i H t) gives the time evolution U(t) of a\n"
                            "quantum system; this function takes real square matrices, for example\n"
                            "the rotation generator [[0, 1], [-1, 0]]."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace zel::decomp
