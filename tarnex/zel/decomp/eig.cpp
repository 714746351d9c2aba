// eig and eigh: the unshifted QR algorithm (Francis; Golub & Van Loan 7.3).
// Each iteration factors the iterate with qr, forms R·Q and the accumulated
// orthogonal factor with the device mm, and reads both back as doubles.
#include <algorithm>
#include <cstdio>

#include "host.hpp"

namespace zel::decomp {
namespace {

constexpr long long kDefaultMaxIter = 100;
constexpr double kTolerance = 1e-12;

long long max_iter_arg(PyObject* o) { return o ? arg_long(o, "max_iter") : kDefaultMaxIter; }

Ref eig_impl(PyObject* A, long long max_iter) {
    const Py_ssize_t n = square_size(A, "eig requires square matrix");

    std::vector<double> Ak = read_doubles(A, n * n);
    std::vector<double> Q_total(static_cast<size_t>(n * n), 0.0);
    for (Py_ssize_t i = 0; i < n; ++i) Q_total[i * n + i] = 1.0;

    for (long long iteration = 0; iteration < max_iter; ++iteration) {
        poll_interrupt();
        Ref Ak_tensor = matrix_tensor(Ak, n, n);
        auto [Q, R] = unpack2(call_global("qr", Ak_tensor.get()).get());
        Ref Ak_new = call_global("mm", R.get(), Q.get());
        Ref Q_total_tensor = matrix_tensor(Q_total, n, n);
        Ref Q_total_new = call_global("mm", Q_total_tensor.get(), Q.get());
        Ak = read_doubles(Ak_new.get(), n * n);
        Q_total = read_doubles(Q_total_new.get(), n * n);
        // Only the strict lower triangle measures convergence to upper
        // triangular (Schur) form.
        FloatSum off_diag;
        for (Py_ssize_t i = 0; i < n; ++i) {
            for (Py_ssize_t j = 0; j < i; ++j) off_diag.add(std::fabs(Ak[i * n + j]));
        }
        if (off_diag.value() < kTolerance) break;
    }
    // The criterion once more on the final iterate: max_iter ran out (or was
    // 0) short of the Schur form, e.g. for complex eigenvalues, which the
    // real iteration never separates.
    FloatSum off_diag;
    for (Py_ssize_t i = 0; i < n; ++i) {
        for (Py_ssize_t j = 0; j < i; ++j) off_diag.add(std::fabs(Ak[i * n + j]));
    }
    if (!(off_diag.value() < kTolerance)) {
        char text[200];
        std::snprintf(text, sizeof text,
                      "eig: the QR iteration stopped after %lld iterations with the strict lower triangle "
                      "summing to %.3g in absolute value (tolerance 1e-12); the results are not converged",
                      max_iter, off_diag.value());
        py::check_int(PyErr_WarnEx(PyExc_RuntimeWarning, text, 1));
    }

    std::vector<double> eigenvalues(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) eigenvalues[i] = Ak[i * n + i];
    Ref vals = doubles_tensor(eigenvalues.data(), n);
    Ref vecs = matrix_tensor(Q_total, n, n);
    return py::tuple(std::move(vals), std::move(vecs));
}

Ref fn_eig(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"A", "max_iter"};
    auto [A, max_iter] = parse_args("eig", names, 1, args, nargs, kwnames);
    return eig_impl(A, max_iter_arg(max_iter));
}

Ref fn_eigh(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"A", "max_iter"};
    auto [A, max_iter] = parse_args("eigh", names, 1, args, nargs, kwnames);
    Ref iters = py::from_long(max_iter_arg(max_iter));
    return call_global("eig", A, iters.get());
}

}  // namespace

PyMethodDef eig_methods[] = {
    method<fn_eig>("eig", "eig($module, /, A, max_iter=100)\n--\n\n"
                          "Eigendecomposition by the QR algorithm.\n\n"
                          "Returns (eigenvalues, eigenvectors): the diagonal of the final iterate, in\n"
                          "diagonal order, and the accumulated orthogonal factor, whose columns are\n"
                          "the eigenvectors.  Stops when the strict lower triangle sums below 1e-12\n"
                          "in absolute value, or after max_iter iterations; then, short of that\n"
                          "tolerance, with a RuntimeWarning (results unchanged)."),
    method<fn_eigh>("eigh", "eigh($module, /, A, max_iter=100)\n--\n\n"
                            "Eigendecomposition of a symmetric matrix (the same computation as eig,\n"
                            "with its RuntimeWarning when not converged)."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace zel::decomp
