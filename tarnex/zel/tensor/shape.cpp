// Creation and shape functions: tensor, zeros, ones, eye, arange, linspace,
// reshape, squeeze, unsqueeze, transpose, cat, stack, diff.  Shape changes
// copy the record array and never reorder it; joins move bytes on the device.
#include <string>

#include "../core/convert.hpp"
#include "../core/interrupt.hpp"
#include "tensor.hpp"

namespace zel {
namespace {

Ref shape_text(PyObject* shape) { return py::check(PyObject_Str(shape)); }


Ref byte_view(PyObject* arr) {
    Ref u8 = py::getattr(S().cp, "uint8");
    return py::call_method(arr, "view", u8.get());
}

Ref fn_tensor(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"data", "exact"};
    if (nargs > 1) py::raisef(PyExc_TypeError, "tensor() takes exactly 1 positional argument (%zd given)", nargs);
    auto [data, exact] = parse_args("tensor", names, 1, args, nargs, kwnames);
    if (!exact || !py::truthy(exact)) return call_global("Tensor", data);
    Ref pos = py::tuple(Ref::borrow(data));
    Ref kw = py::check(PyDict_New());
    py::check_int(PyDict_SetItemString(kw.get(), "exact", Py_True));
    return py::check(PyObject_Call(global("Tensor"), pos.get(), kw.get()));
}

// zeros(*shape) / ones(*shape): one tuple or list argument is the shape.
Ref filled(const char* fname, KernelId kernel, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    no_keywords(fname, kwnames);
    Ref shape;
    if (nargs == 1 && (PyTuple_Check(args[0]) || PyList_Check(args[0]))) {
        shape = py::check(PySequence_Tuple(args[0]));
    } else {
        shape = py::check(PyTuple_New(nargs));
        for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(shape.get(), i, Py_NewRef(args[i]));
    }
    const std::vector<Py_ssize_t> dims = shape_dims(shape.get());
    for (Py_ssize_t d : dims) {
        if (d < 0) py::raisef(PyExc_ValueError, "Negative dimension in shape %U", shape_text(shape.get()).get());
    }
    const Py_ssize_t n = shape_count(dims);
    Ref out = dev_empty(n);
    launch_1d(kernel, n, {LaunchArg::out(out.get()), LaunchArg::i32(n)});
    return make_tensor(std::move(out), shape);
}

Ref fn_zeros(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return filled("zeros", KernelId::fp_zeros_kernel, args, nargs, kwnames);
}

Ref fn_ones(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return filled("ones", KernelId::fp_ones_kernel, args, nargs, kwnames);
}

Ref fn_eye(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"n"};
    auto [n_obj] = parse_args("eye", names, 1, args, nargs, kwnames);
    const long long n = arg_long(n_obj, "n");
    if (n < 0) py::raise(PyExc_ValueError, "eye requires n >= 0");
    const Py_ssize_t count = shape_count({static_cast<Py_ssize_t>(n), static_cast<Py_ssize_t>(n)});
    // The kernel indexes with 32-bit ints.
    if (n > INT32_MAX) py::raise(PyExc_MemoryError, "eye size is too large");
    Ref out = dev_empty(count);
    launch_1d(KernelId::fp_eye_kernel, count, {LaunchArg::out(out.get()), LaunchArg::i32(n)});
    return make_tensor(std::move(out), shape_tuple({static_cast<Py_ssize_t>(n), static_cast<Py_ssize_t>(n)}));
}

// A NumPy float64 array of n entries filled by fill(double*): handed to
// tensor() it gives the records and the shape (n,) of the list of the same
// floats, without a Python object per entry.
template <class F>
Ref doubles_array(Py_ssize_t n, F fill) {
    check_fits(n, 8 + kRecordBytes);
    Ref empty = py::getattr(S().np, "empty");
    Ref arr = call_with_dtype(empty.get(), py::from_ssize(n).get(), S().np_float64);
    Buffer buf(arr.get(), true);
    fill(static_cast<double*>(buf.data()));
    return arr;
}

Ref fn_arange(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"start", "end", "step"};
    auto [start, end, step] = parse_args("arange", names, 1, args, nargs, kwnames);
    Ref zero = py::from_long(0), one = py::from_long(1);
    if (!end || end == Py_None) {
        end = start;
        start = zero.get();
    }
    Ref range = py::call(reinterpret_cast<PyObject*>(&PyRange_Type), start, end, step ? step : one.get());
    const Py_ssize_t n = py::length(range.get());
    check_fits(n, 8 + kRecordBytes);
    // The list of ints takes the double path of tensor(): each value is the
    // double nearest it, as the int64 conversion below gives.
    Ref first = py::getattr(range.get(), "start"), stride = py::getattr(range.get(), "step");
    int o1 = 0, o2 = 0;
    const long long a0 = PyLong_AsLongLongAndOverflow(first.get(), &o1);
    const long long d = PyLong_AsLongLongAndOverflow(stride.get(), &o2);
    if (PyErr_Occurred()) py::fail();
    long long last = 0;
    if (n > 0 && !o1 && !o2 && !__builtin_mul_overflow(d, static_cast<long long>(n - 1), &last) &&
        !__builtin_add_overflow(a0, last, &last)) {
        Ref arr = doubles_array(n, [&](double* x) {
            for (Py_ssize_t i = 0; i < n; ++i) x[i] = static_cast<double>(a0 + d * static_cast<long long>(i));
        });
        return call_global("tensor", arr.get());
    }
    Ref vals = py::check(PySequence_List(range.get()));
    return call_global("tensor", vals.get());
}

Ref fn_linspace(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"start", "end", "steps"};
    auto [start, end, steps_obj] = parse_args("linspace", names, 3, args, nargs, kwnames);
    const long long steps = arg_long(steps_obj, "steps");
    if (steps == 1) {
        Ref vals = py::check(PyList_New(1));
        PyList_SET_ITEM(vals.get(), 0, Py_NewRef(start));
        return call_global("tensor", vals.get());
    }
    if (steps > PY_SSIZE_T_MAX) py::raise(PyExc_MemoryError, "linspace steps is too large");
    check_fits(static_cast<Py_ssize_t>(steps), 8 + kRecordBytes);
    Ref span = py::check(PyNumber_Subtract(end, start));
    // steps - 1 as a Python int: steps may be the most negative long long.
    Ref denom = py::check(PyNumber_Subtract(py::from_long(steps).get(), py::from_long(1).get()));
    Ref delta = py::check(PyNumber_TrueDivide(span.get(), denom.get()));
    // start + i * delta for a float or int start and a float delta is the
    // double arithmetic below, entry for entry.
    if (steps > 0 && (PyFloat_Check(start) || PyLong_Check(start)) && PyFloat_CheckExact(delta.get())) {
        const double a = PyFloat_Check(start) ? PyFloat_AS_DOUBLE(start) : PyLong_AsDouble(start);
        if (a == -1.0 && PyErr_Occurred()) py::fail();
        const double step = PyFloat_AS_DOUBLE(delta.get());
        Ref arr = doubles_array(static_cast<Py_ssize_t>(steps), [&](double* x) {
            for (long long i = 0; i < steps; ++i) x[i] = a + static_cast<double>(i) * step;
        });
        return call_global("tensor", arr.get());
    }
    Ref vals = py::check(PyList_New(0));
    for (long long i = 0; i < steps; ++i) {
        poll_interrupt();
        Ref idx = py::from_long(i);
        Ref off = py::check(PyNumber_Multiply(idx.get(), delta.get()));
        Ref v = py::check(PyNumber_Add(start, off.get()));
        py::check_int(PyList_Append(vals.get(), v.get()));
    }
    return call_global("tensor", vals.get());
}

Ref fn_reshape(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"a", "shape"};
    auto [a, shape] = parse_args("reshape", names, 2, args, nargs, kwnames);
    checked_dims(a);
    Ref data = tensor_data(a);
    const Py_ssize_t n = py::length(data.get());
    std::vector<Py_ssize_t> dims;
    if (PyLong_Check(shape)) dims.push_back(py::as_ssize(shape));
    else dims = shape_dims(shape);
    bool negative = false;
    for (Py_ssize_t d : dims) negative |= d < 0;
    Py_ssize_t count = 1;
    bool overflow = false;
    for (Py_ssize_t d : dims) overflow |= __builtin_mul_overflow(count, d, &count);
    if (negative || overflow || count != n) {
        py::raisef(PyExc_ValueError, "Cannot reshape %zd elements into shape %U", n, shape_text(shape).get());
    }
    return make_tensor(copy_records(data.get()), shape);
}

Ref fn_squeeze(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"a", "dim"};
    auto [a, dim_obj] = parse_args("squeeze", names, 1, args, nargs, kwnames);
    checked_dims(a);
    Ref shape = tensor_shape(a);
    Ref dims = py::check(PySequence_Tuple(shape.get()));
    Ref kept = py::check(PyList_New(0));
    if (dim_obj && dim_obj != Py_None) {
        Ref dim = arg_int(dim_obj, "dim");
        Ref size = py::check(PyObject_GetItem(shape.get(), dim.get()));  // IndexError outside the shape
        if (py::as_ssize(size.get()) != 1) return py::call_method(a, "clone");
        Py_ssize_t d = py::as_ssize(dim.get());
        const Py_ssize_t ndim = PyTuple_GET_SIZE(dims.get());
        if (d < 0) d += ndim;
        for (Py_ssize_t i = 0; i < ndim; ++i) {
            if (i != d) py::check_int(PyList_Append(kept.get(), PyTuple_GET_ITEM(dims.get(), i)));
        }
    } else {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(dims.get()); ++i) {
            PyObject* s = PyTuple_GET_ITEM(dims.get(), i);
            if (py::as_ssize(s) != 1) py::check_int(PyList_Append(kept.get(), s));
        }
    }
    Ref new_shape = py::check(PyList_AsTuple(kept.get()));
    Ref data = tensor_data(a);
    return make_tensor(copy_records(data.get()), new_shape);
}

Ref fn_unsqueeze(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"a", "dim"};
    auto [a, dim_obj] = parse_args("unsqueeze", names, 2, args, nargs, kwnames);
    long long dim = arg_long(dim_obj, "dim");
    checked_dims(a);
    Ref shape = tensor_shape(a);
    Ref dims = py::check(PySequence_Tuple(shape.get()));
    const Py_ssize_t ndim = PyTuple_GET_SIZE(dims.get());
    if (dim < 0) dim = ndim + dim + 1;
    Ref head = py::check(PySequence_GetSlice(dims.get(), dim, PY_SSIZE_T_MAX));
    Ref lead = py::check(PySequence_GetSlice(dims.get(), 0, dim));
    Ref one = shape_tuple({1});
    Ref t1 = py::check(PySequence_Concat(lead.get(), one.get()));
    Ref new_shape = py::check(PySequence_Concat(t1.get(), head.get()));
    Ref data = tensor_data(a);
    return make_tensor(copy_records(data.get()), new_shape);
}

Ref fn_transpose(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"a", "dim0", "dim1"};
    auto [a, dim0, dim1] = parse_args("transpose", names, 3, args, nargs, kwnames);
    arg_int(dim0, "dim0");
    arg_int(dim1, "dim1");
    Ref shape = tensor_shape(a);
    if (py::length(shape.get()) != 2) py::raise(PyExc_ValueError, "transpose requires 2D tensor");
    const std::vector<Py_ssize_t> dims = checked_dims(a);
    const Py_ssize_t rows = dims[0], cols = dims[1];
    Ref data = tensor_data(a);
    // Sized by the shape, so no record of the result is left unwritten.
    Ref out = dev_empty(rows * cols);
    launch(KernelId::fp_transpose_kernel, tile_grid(rows, cols), Dims{16, 16},
           {LaunchArg::in(data.get(), rows * cols), LaunchArg::out(out.get()), LaunchArg::i32(rows),
            LaunchArg::i32(cols)});
    return make_tensor(std::move(out), shape_tuple({cols, rows}));
}

// Joins along `dim`: each operand contributes, for every index of the
// dimensions before `dim`, one contiguous run of its records; the runs are
// interleaved on the device as rows of bytes.
Ref fn_cat(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"tensors", "dim"};
    auto [tensors, dim_obj] = parse_args("cat", names, 1, args, nargs, kwnames);
    arg_exact(tensors, &PyList_Type, "tensors", "list");
    long long dim = dim_obj ? arg_long(dim_obj, "dim") : 0;
    const Py_ssize_t count = PyList_GET_SIZE(tensors);
    if (count == 0) py::raise(PyExc_ValueError, "cat requires at least one tensor");
    if (count == 1) return py::call_method(PyList_GET_ITEM(tensors, 0), "clone");
    std::vector<std::vector<Py_ssize_t>> shapes;
    std::vector<Ref> datas;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* t = PyList_GET_ITEM(tensors, i);
        Ref shape = tensor_shape(t);
        datas.push_back(tensor_data(t));
        shapes.push_back(checked_dims(datas.back().get(), shape.get()));
    }
    const Py_ssize_t rank = static_cast<Py_ssize_t>(shapes[0].size());
    if (dim < 0) dim += rank;
    if (dim < 0 || dim >= rank) py::raise(PyExc_IndexError, "list assignment index out of range");
    std::vector<Py_ssize_t> new_shape = shapes[0];
    new_shape[dim] = 0;
    for (const auto& s : shapes) {
        bool same = static_cast<Py_ssize_t>(s.size()) == rank;
        for (Py_ssize_t k = 0; same && k < rank; ++k) same = k == dim || s[k] == shapes[0][k];
        if (!same) py::raise(PyExc_ValueError, "cat requires equal shapes except in dim");
        if (__builtin_add_overflow(new_shape[dim], s[dim], &new_shape[dim])) {
            py::raise(PyExc_MemoryError, "cat result is too large");
        }
    }
    Py_ssize_t outer = 1;
    for (Py_ssize_t k = 0; k < dim; ++k) outer *= shapes[0][k];
    Ref pieces = py::check(PyList_New(0));
    for (Py_ssize_t i = 0; i < count; ++i) {
        const Py_ssize_t n = shape_count(shapes[i]);
        Ref bytes = byte_view(datas[i].get());
        const Py_ssize_t row = outer ? n / outer * kRecordBytes : 0;
        Ref as_rows = py::call_method(bytes.get(), "reshape", py::from_ssize(outer).get(), py::from_ssize(row).get());
        py::check_int(PyList_Append(pieces.get(), as_rows.get()));
    }
    Ref concatenate = py::getattr(S().cp, "concatenate");
    Ref axis = py::from_long(1);
    Ref joined = py::call(concatenate.get(), pieces.get(), axis.get());
    Ref flat = py::call_method(joined.get(), "reshape", py::from_long(-1).get());
    Ref records = py::call_method(flat.get(), "view", S().dtype);
    return make_tensor(std::move(records), shape_tuple(new_shape));
}

Ref fn_stack(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"tensors", "dim"};
    auto [tensors, dim_obj] = parse_args("stack", names, 1, args, nargs, kwnames);
    arg_exact(tensors, &PyList_Type, "tensors", "list");
    Ref dim = dim_obj ? arg_int(dim_obj, "dim") : py::from_long(0);
    Ref expanded = py::check(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(tensors); ++i) {
        Ref u = call_global("unsqueeze", PyList_GET_ITEM(tensors, i), dim.get());
        py::check_int(PyList_Append(expanded.get(), u.get()));
    }
    return call_global("cat", expanded.get(), dim.get());
}

// Differences of consecutive values in doubles, along the last dimension
// (each row on its own for tensors of rank above 1).
Ref fn_diff(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"a", "n"};
    auto [a, n_obj] = parse_args("diff", names, 1, args, nargs, kwnames);
    if (n_obj && arg_long(n_obj, "n") != 1) py::raise(PyExc_ValueError, "Only n=1 supported");
    Ref data = tensor_data(a);
    Ref shape = tensor_shape(a);
    const std::vector<Py_ssize_t> dims = checked_dims(data.get(), shape.get());
    Ref vals = call_global("from_gpu", data.get());
    const Py_ssize_t total = py::length(vals.get());
    const bool rows_apart = dims.size() > 1;
    const Py_ssize_t last = rows_apart ? dims.back() : total;
    Ref result = py::check(PyList_New(0));
    auto diff_run = [&](Py_ssize_t begin, Py_ssize_t len) {
        for (Py_ssize_t i = 0; i + 1 < len && begin + i + 1 < total; ++i) {
            const double lo = PyFloat_AsDouble(PyList_GET_ITEM(vals.get(), begin + i));
            const double hi = PyFloat_AsDouble(PyList_GET_ITEM(vals.get(), begin + i + 1));
            py::check_int(PyList_Append(result.get(), py::from_double(hi - lo).get()));
        }
    };
    if (!rows_apart) {
        diff_run(0, total);
        return call_global("tensor", result.get());
    }
    for (Py_ssize_t begin = 0; last > 0 && begin < total; begin += last) diff_run(begin, last);
    std::vector<Py_ssize_t> new_dims(dims.begin(), dims.end() - 1);
    new_dims.push_back(last > 0 ? last - 1 : 0);
    Ref t = call_global("tensor", result.get());
    return make_tensor(tensor_data(t.get()), shape_tuple(new_dims));
}

PyMethodDef shape_methods[] = {
    method<fn_tensor>("tensor", "tensor($module, /, data, *, exact=False)\n--\n\nCreate tensor.\n\n"
                                "exact=True converts every element by its exact value: floats by their binary\n"
                                "value, ints, Fractions, Decimals and decimal strings exactly."),
    method<fn_zeros>("zeros", "zeros($module, /, *shape)\n--\n\nCreate zeros tensor."),
    method<fn_ones>("ones", "ones($module, /, *shape)\n--\n\nCreate ones tensor."),
    method<fn_eye>("eye", "eye($module, /, n)\n--\n\nCreate identity matrix."),
    method<fn_arange>("arange", "arange($module, /, start, end=None, step=1)\n--\n\nCreate range tensor."),
    method<fn_linspace>("linspace", "linspace($module, /, start, end, steps)\n--\n\nCreate linearly spaced tensor."),
    method<fn_reshape>("reshape", "reshape($module, /, a, shape)\n--\n\nReshape tensor."),
    method<fn_squeeze>("squeeze", "squeeze($module, /, a, dim=None)\n--\n\nRemove size-1 dimensions."),
    method<fn_unsqueeze>("unsqueeze", "unsqueeze($module, /, a, dim)\n--\n\nAdd size-1 dimension."),
    method<fn_transpose>("transpose", "transpose($module, /, a, dim0, dim1)\n--\n\nTranspose dimensions."),
    method<fn_cat>("cat", "cat($module, /, tensors, dim=0)\n--\n\nConcatenate tensors."),
    method<fn_stack>("stack", "stack($module, /, tensors, dim=0)\n--\n\nStack tensors along new dimension."),
    method<fn_diff>("diff", "diff($module, /, a, n=1)\n--\n\nDifference along last dim."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void define_shape(PyObject* m) { add_functions(m, shape_methods); }

}  // namespace zel
