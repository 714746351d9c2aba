// svd: the thin singular value decomposition through the eigendecomposition
// of the Gram matrix AᵀA (formed on the device): singular values are the
// square roots of its eigenvalues in decreasing order, V its eigenvectors,
// and each column of U is A·v / s.
#include <algorithm>
#include <cmath>
#include <numeric>

#include "host.hpp"

namespace zel::decomp {
namespace {

// Singular values at or below this are treated as zero: their U columns stay
// zero instead of dividing rounding noise by it.
constexpr double kZeroSingular = 1e-14;

Ref fn_svd(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"A", "max_iter"};
    auto [A, max_iter_obj] = parse_args("svd", names, 1, args, nargs, kwnames);
    const long long max_iter = max_iter_obj ? arg_long(max_iter_obj, "max_iter") : 100;
    const std::vector<Py_ssize_t> dims = checked_dims(A);
    if (dims.size() != 2) py::raise(PyExc_ValueError, "svd requires 2D matrix");
    const Py_ssize_t m = std::max<Py_ssize_t>(dims[0], 0), n = std::max<Py_ssize_t>(dims[1], 0);

    Ref zero = py::from_long(0), one = py::from_long(1);
    Ref At = call_global("transpose", A, zero.get(), one.get());
    Ref AtA = call_global("mm", At.get(), A);
    Ref iters = py::from_long(max_iter);
    auto [eigvals, V] = unpack2(call_global("eigh", AtA.get(), iters.get()).get());

    const std::vector<double> eigvals_list = read_doubles(eigvals.get(), n);
    // Decreasing order; equal eigenvalues keep their index order.
    std::vector<Py_ssize_t> idx(static_cast<size_t>(n));
    std::iota(idx.begin(), idx.end(), 0);
    std::stable_sort(idx.begin(), idx.end(),
                     [&](Py_ssize_t a, Py_ssize_t b) { return eigvals_list[a] > eigvals_list[b]; });
    // Rounding can leave eigenvalues of a positive semi-definite AᵀA slightly
    // negative; they count as zero singular values.
    std::vector<double> S_list(static_cast<size_t>(n));
    for (Py_ssize_t k = 0; k < n; ++k) {
        const double e = eigvals_list[idx[k]];
        S_list[k] = e > 0 ? std::pow(e, 0.5) : 0.0;
    }

    const std::vector<double> V_data = read_doubles(V.get(), n * n);
    std::vector<double> V_sorted(static_cast<size_t>(n * n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        for (Py_ssize_t j = 0; j < n; ++j) V_sorted[i * n + j] = V_data[i * n + idx[j]];
    }
    Ref V_tensor = matrix_tensor(V_sorted, dims[1], dims[1]);
    Ref AV = call_global("mm", A, V_tensor.get());

    std::vector<double> U_data(static_cast<size_t>(m * n), 0.0);
    const bool any = std::any_of(S_list.begin(), S_list.end(), [](double s) { return s > kZeroSingular; });
    if (any) {
        const std::vector<double> av = read_doubles(AV.get(), m * n);
        for (Py_ssize_t j = 0; j < n; ++j) {
            if (!(S_list[j] > kZeroSingular)) continue;
            for (Py_ssize_t i = 0; i < m; ++i) U_data[i * n + j] = av[i * n + j] / S_list[j];
        }
    }
    Ref U = matrix_tensor(U_data, dims[0], dims[1]);
    Ref S = doubles_tensor(S_list.data(), n);
    Ref Vt = call_global("transpose", V_tensor.get(), zero.get(), one.get());
    return py::tuple(std::move(U), std::move(S), std::move(Vt));
}

}  // namespace

PyMethodDef svd_methods[] = {
    method<fn_svd>("svd", "svd($module, /, A, max_iter=100)\n--\n\n"
                          "Thin singular value decomposition A = U diag(S) Vt.\n\n"
                          "Computed from the eigendecomposition of A^T A (eigh with max_iter);\n"
                          "S is in decreasing order, and columns of U whose singular value is at\n"
                          "most 1e-14 are zero.  Shapes: U (m, n), S (n,), Vt (n, n).  eigh's\n"
                          "RuntimeWarning reports an iteration that stopped short of its 1e-12 tolerance."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace zel::decomp
