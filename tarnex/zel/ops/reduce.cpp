// Reductions: the whole-tensor sum, prod, max, min (the pairwise tree, a few
// passes per launch), mean and dot, and the row-wise cumsum, cumprod, argmax, argmin and softmax.
#include <vector>

#include "../core/convert.hpp"
#include "../tensor/tensor.hpp"
#include "elementwise.hpp"

namespace zel {
namespace {

Ref scalar_shape() { return py::check(PyTuple_New(0)); }

// Passes one launch of the tree kernels takes at most (their kTreeLevels).
constexpr int kTreeLevels = 4;

// Record count after one pass of the tree (the kernels' tree_next).
Py_ssize_t tree_next(Py_ssize_t n, bool carry) {
    const Py_ssize_t half = n / 2;
    return carry && n % 2 == 1 && half > 0 ? half + 1 : half;
}

// The pairwise tree over all records of `a`, kTreeLevels passes per launch:
// the first launch reads the input itself and every launch writes a fresh,
// smaller array, so no copy of the input is made and the one-record result
// is an array of its own.  Launches on one stream run in order, so the host
// waits for none of them.
Ref reduce_tree(PyObject* a, KernelId kernel, bool carry, long long empty_value) {
    checked_dims(a);
    Ref src = tensor_data(a);
    Py_ssize_t n = dev_length(src.get());
    if (n == 0) {
        if (carry) return make_tensor(dev_empty(0), scalar_shape());
        Ref v = py::from_long(empty_value);
        return call_global("tensor", v.get());
    }
    check_inputs(kernel, {LaunchArg::in(src.get(), n)});
    if (n == 1) return make_tensor(copy_records(src.get()), scalar_shape());
    Ref data = std::move(src);
    while (n > 1) {
        int levels = 0;
        Py_ssize_t m = n;
        while (levels < kTreeLevels && m > 1) {
            m = tree_next(m, carry);
            ++levels;
        }
        Ref out = dev_empty(m);
        // The input was checked above; later passes read our own outputs.
        launch_1d(kernel, m, {LaunchArg::checked(data.get()), LaunchArg::out(out.get()), LaunchArg::i32(n),
                              LaunchArg::i32(levels)});
        data = std::move(out);
        n = m;
    }
    return make_tensor(std::move(data), scalar_shape());
}

Ref fn_sum(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return reduce_tree(unary_arg("sum", args, nargs, kwnames), KernelId::fp_sum_tree_kernel, false, 0);
}

Ref fn_prod(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return reduce_tree(unary_arg("prod", args, nargs, kwnames), KernelId::fp_prod_tree_kernel, false, 1);
}

Ref fn_max(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return reduce_tree(unary_arg("max", args, nargs, kwnames), KernelId::fp_max_tree_kernel, true, 0);
}

Ref fn_min(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return reduce_tree(unary_arg("min", args, nargs, kwnames), KernelId::fp_min_tree_kernel, true, 0);
}

Ref fn_mean(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a = unary_arg("mean", args, nargs, kwnames);
    Ref s = call_global("sum", a);
    Ref numel = py::getattr(a, "numel");
    Ref n_tensor = call_global("tensor", numel.get());
    return call_global("div", s.get(), n_tensor.get());
}

Ref fn_dot(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"a", "b"};
    auto [a, b] = parse_args("dot", names, 2, args, nargs, kwnames);
    checked_dims(a);
    checked_dims(b);
    Ref da = tensor_data(a), db = tensor_data(b);
    const Py_ssize_t n = py::length(da.get()), nb = py::length(db.get());
    if (n != nb) py::raisef(PyExc_ValueError, "Size mismatch: %zd and %zd elements", n, nb);
    check_inputs(KernelId::fp_dot_kernel, {LaunchArg::in(da.get(), n), LaunchArg::in(db.get(), n)});
    Ref products = dev_empty(n);
    launch_1d(KernelId::fp_dot_kernel, n, {LaunchArg::checked(da.get()), LaunchArg::checked(db.get()),
                                   LaunchArg::out(products.get()), LaunchArg::i32(n)});
    Ref t = make_tensor(std::move(products), shape_tuple({n}));
    return call_global("sum", t.get());
}

// ---------------------------------------------------------------------------
// Row-wise operations.  Rows run along the last dimension: cols = the last
// size, rows = the product of the others (a 1-D tensor is one row).  dim 0
// of a 2-D tensor is served through the transpose; other axes are refused
// rather than silently replaced by the last one.

enum class Axis { Last, Columns };

struct RowView {
    Py_ssize_t rows = 0, cols = 0;
};

Axis row_axis(const char* fname, const std::vector<Py_ssize_t>& dims, PyObject* dim_obj) {
    const long long given = dim_obj ? arg_long(dim_obj, "dim") : -1;
    const long long ndim = static_cast<long long>(dims.size());
    if (ndim == 0) py::raise(PyExc_IndexError, "tuple index out of range");
    long long d = given < 0 ? given + ndim : given;
    if (d < 0 || d >= ndim) py::raise(PyExc_ValueError, "Dimension out of range");
    if (d == ndim - 1) return Axis::Last;
    if (ndim == 2) return Axis::Columns;
    py::raisef(PyExc_ValueError, "%s supports only the last dimension of a tensor of rank %lld", fname, ndim);
}

RowView row_view(const std::vector<Py_ssize_t>& dims) {
    RowView v;
    v.cols = dims.back();
    v.rows = 1;
    for (size_t i = 0; i + 1 < dims.size(); ++i) v.rows *= dims[i];
    return v;
}

Ref transposed(PyObject* a) {
    Ref d0 = py::from_long(0), d1 = py::from_long(1);
    return call_global("transpose", a, d0.get(), d1.get());
}

// The (a, dim) arguments of a row-wise function, with a's shape and the
// axis the rows run along.
struct RowArgs {
    PyObject* a;
    Ref shape;
    std::vector<Py_ssize_t> dims;
    Axis axis;
};

RowArgs row_args(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"a", "dim"};
    auto [a, dim_obj] = parse_args(fname, names, 1, args, nargs, kwnames);
    Ref shape = tensor_shape(a);
    std::vector<Py_ssize_t> dims = checked_dims(tensor_data(a).get(), shape.get());
    const Axis axis = row_axis(fname, dims, dim_obj);
    return {a, std::move(shape), std::move(dims), axis};
}

// One thread per row: kernel(a._data, out, rows, cols) into a fresh array of
// out_n elements of `dtype` (records when null).
Ref launch_rows(KernelId kernel, PyObject* a, const RowView& v, Py_ssize_t out_n, PyObject* dtype) {
    Ref data = tensor_data(a);
    const Py_ssize_t n = v.rows * v.cols;
    check_inputs(kernel, {LaunchArg::in(data.get(), n)});
    Ref out = dev_empty(out_n, dtype);
    launch_1d(kernel, v.rows, {LaunchArg::checked(data.get()), LaunchArg::out(out.get()), LaunchArg::i32(v.rows),
                               LaunchArg::i32(v.cols)});
    return out;
}

// cumsum, cumprod, softmax: out has the input's shape and one record per
// element it describes, every one written by the kernel.
Ref row_map(const char* fname, KernelId kernel, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    RowArgs r = row_args(fname, args, nargs, kwnames);
    if (r.axis == Axis::Columns) {
        Ref t = transposed(r.a);
        Ref mapped = call_global(fname, t.get());
        return transposed(mapped.get());
    }
    const RowView v = row_view(r.dims);
    return make_tensor(launch_rows(kernel, r.a, v, v.rows * v.cols, nullptr), r.shape);
}

// argmax, argmin: one int32 index per row (per column for dim 0 of a 2-D
// tensor), returned as the bare device array.
Ref row_search(const char* fname, KernelId kernel, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames) {
    RowArgs r = row_args(fname, args, nargs, kwnames);
    if (r.axis == Axis::Columns) {
        Ref t = transposed(r.a);
        return call_global(fname, t.get());
    }
    const RowView v = row_view(r.dims);
    if (v.cols == 0 && v.rows > 0) py::raisef(PyExc_ValueError, "%s of an empty sequence", fname);
    return launch_rows(kernel, r.a, v, v.rows, S().np_int32);
}

Ref fn_cumsum(PyObject* const* a, Py_ssize_t n, PyObject* k) { return row_map("cumsum", KernelId::fp_cumsum_kernel, a, n, k); }
Ref fn_cumprod(PyObject* const* a, Py_ssize_t n, PyObject* k) {
    return row_map("cumprod", KernelId::fp_cumprod_kernel, a, n, k);
}
Ref fn_softmax(PyObject* const* a, Py_ssize_t n, PyObject* k) {
    return row_map("softmax", KernelId::fp_softmax_kernel, a, n, k);
}
Ref fn_argmax(PyObject* const* a, Py_ssize_t n, PyObject* k) {
    return row_search("argmax", KernelId::fp_argmax_kernel, a, n, k);
}
Ref fn_argmin(PyObject* const* a, Py_ssize_t n, PyObject* k) {
    return row_search("argmin", KernelId::fp_argmin_kernel, a, n, k);
}

PyMethodDef reduce_methods[] = {
    method<fn_sum>("sum", "sum($module, /, a)\n--\n\nSum all elements."),
    method<fn_prod>("prod", "prod($module, /, a)\n--\n\nProduct of all elements."),
    method<fn_max>("max", "max($module, /, a)\n--\n\nMaximum element."),
    method<fn_min>("min", "min($module, /, a)\n--\n\nMinimum element."),
    method<fn_mean>("mean", "mean($module, /, a)\n--\n\nMean of all elements."),
    method<fn_dot>("dot", "dot($module, /, a, b)\n--\n\nDot product."),
    method<fn_cumsum>("cumsum", "cumsum($module, /, a, dim=-1)\n--\n\nCumulative sum."),
    method<fn_cumprod>("cumprod", "cumprod($module, /, a, dim=-1)\n--\n\nCumulative product."),
    method<fn_argmax>("argmax", "argmax($module, /, a, dim=-1)\n--\n\nArgmax."),
    method<fn_argmin>("argmin", "argmin($module, /, a, dim=-1)\n--\n\nArgmin."),
    method<fn_softmax>("softmax", "softmax($module, /, a, dim=-1)\n--\n\nSoftmax."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void define_reduce(PyObject* m) { add_functions(m, reduce_methods); }

}  // namespace zel
