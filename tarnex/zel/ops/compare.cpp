// Comparisons to int32 masks, the array library's logical functions on
// masks, selection by a mask, and the element-wise operations with a scalar
// parameter (clamp, pow, leaky_relu, lerp).  Operands pair in flat record
// order; every operand is checked to hold the records the kernel reads.
#include "../core/convert.hpp"
#include "elementwise.hpp"

namespace zel {
namespace {

// out[i] = (a[i] rel b[i]) as an int32 mask of len(a._data) entries.
Ref compare(const char* fname, KernelId kernel, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"a", "b"};
    auto [a, b] = parse_args(fname, names, 2, args, nargs, kwnames);
    Ref da = tensor_data(a), db = tensor_data(b);
    const Py_ssize_t n = py::length(da.get());
    check_inputs(kernel, {LaunchArg::in(da.get(), n), LaunchArg::in(db.get(), n)});
    Ref out = dev_empty(n, S().np_int32);
    launch_1d(kernel, n, {LaunchArg::checked(da.get()), LaunchArg::checked(db.get()), LaunchArg::out(out.get()),
                          LaunchArg::i32(n)});
    return out;
}

Ref fn_eq(PyObject* const* a, Py_ssize_t n, PyObject* k) { return compare("eq", KernelId::fp_eq_kernel, a, n, k); }
Ref fn_lt(PyObject* const* a, Py_ssize_t n, PyObject* k) { return compare("lt", KernelId::fp_lt_kernel, a, n, k); }
Ref fn_gt(PyObject* const* a, Py_ssize_t n, PyObject* k) { return compare("gt", KernelId::fp_gt_kernel, a, n, k); }
Ref fn_le(PyObject* const* a, Py_ssize_t n, PyObject* k) { return compare("le", KernelId::fp_le_kernel, a, n, k); }
Ref fn_ge(PyObject* const* a, Py_ssize_t n, PyObject* k) { return compare("ge", KernelId::fp_ge_kernel, a, n, k); }
Ref fn_ne(PyObject* const* a, Py_ssize_t n, PyObject* k) { return compare("ne", KernelId::fp_ne_kernel, a, n, k); }

// The array library's function of the same name, its result unchanged.
Ref logical2(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"a", "b"};
    auto [a, b] = parse_args(fname, names, 2, args, nargs, kwnames);
    Ref f = py::getattr(S().cp, fname);
    return py::call(f.get(), a, b);
}

Ref fn_logical_and(PyObject* const* a, Py_ssize_t n, PyObject* k) { return logical2("logical_and", a, n, k); }
Ref fn_logical_or(PyObject* const* a, Py_ssize_t n, PyObject* k) { return logical2("logical_or", a, n, k); }
Ref fn_logical_xor(PyObject* const* a, Py_ssize_t n, PyObject* k) { return logical2("logical_xor", a, n, k); }

Ref fn_logical_not(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a = unary_arg("logical_not", args, nargs, kwnames);
    Ref f = py::getattr(S().cp, "logical_not");
    return py::call(f.get(), a);
}

// The kernel reads four-byte entries.  Masks from the logical functions are
// one-byte booleans, and read as int32 they would select by the wrong
// entries; any other mask becomes the int32 of its non-zero test first.
Ref as_int32_mask(PyObject* cond) {
    Ref ndarray = py::getattr(S().cp, "ndarray");
    Ref dev;
    if (py::isinstance(cond, ndarray.get())) {
        Ref dtype = py::getattr(cond, "dtype");
        const int same = PyObject_RichCompareBool(dtype.get(), S().np_int32, Py_EQ);
        if (same < 0) py::fail();
        Ref flags = py::getattr(cond, "flags");
        if (same && py::truthy(py::getattr(flags.get(), "c_contiguous").get())) return Ref::borrow(cond);
        dev = Ref::borrow(cond);
    } else {
        dev = py::call(py::getattr(S().cp, "asarray").get(), cond);
    }
    Ref zero = py::from_long(0);
    Ref nonzero = py::check(PyObject_RichCompare(dev.get(), zero.get(), Py_NE));
    return py::call_method(nonzero.get(), "astype", S().np_int32);
}

Ref fn_where(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"cond", "a", "b"};
    auto [cond_in, a, b] = parse_args("where", names, 3, args, nargs, kwnames);
    Ref da = tensor_data(a), db = tensor_data(b);
    const Py_ssize_t n = py::length(da.get());
    check_inputs(KernelId::fp_where_kernel, {LaunchArg::in(da.get(), n), LaunchArg::in(db.get(), n)});
    Ref cond = as_int32_mask(cond_in);
    check_inputs(KernelId::fp_where_kernel, {LaunchArg::in(cond.get(), n, 4)});
    Ref out = dev_empty(n);
    launch_1d(KernelId::fp_where_kernel, n,
              {LaunchArg::checked(cond.get()), LaunchArg::in(da.get(), n), LaunchArg::in(db.get(), n),
               LaunchArg::out(out.get()), LaunchArg::i32(n)});
    return make_tensor(std::move(out), tensor_shape(a));
}

// A clamp bound as a one-record tensor.  A bound of several records would
// be read as its first record only, and None would become the zero of
// tensor(None); both are refused rather than clamping by a value the caller
// did not give.
Ref clamp_bound(PyObject* v) {
    if (v == Py_None) py::raise(PyExc_TypeError, "clamp bounds must be numbers, not None");
    Ref t = as_tensor(v);
    Ref data = tensor_data(t.get());
    if (py::length(data.get()) != 1) py::raise(PyExc_ValueError, "clamp bounds must be scalars");
    return data;
}

Ref fn_clamp(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"a", "min_val", "max_val"};
    auto [a, min_val, max_val] = parse_args("clamp", names, 3, args, nargs, kwnames);
    Ref da = tensor_data(a);
    const Py_ssize_t n = py::length(da.get());
    check_inputs(KernelId::fp_clamp_kernel, {LaunchArg::in(da.get(), n)});
    Ref lo = clamp_bound(min_val);
    Ref hi = clamp_bound(max_val);
    Ref out = dev_empty(n);
    launch_1d(KernelId::fp_clamp_kernel, n,
              {LaunchArg::in(da.get(), n), LaunchArg::out(out.get()), LaunchArg::in(lo.get(), 1),
               LaunchArg::in(hi.get(), 1), LaunchArg::i32(n)});
    return make_tensor(std::move(out), tensor_shape(a));
}

Ref fn_pow(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"a", "exp"};
    auto [a, exp_in] = parse_args("pow", names, 2, args, nargs, kwnames);
    Ref exp = arg_int(exp_in, "exp");
    // int() truncates: an exponent such as 0.5 would silently become 0.
    // Integral values of other types (2.0, Fraction(4, 2)) stay welcome.
    if (!PyLong_Check(exp_in)) {
        const int same = PyObject_RichCompareBool(exp_in, exp.get(), Py_EQ);
        if (same < 0) py::fail();
        if (!same) py::raise(PyExc_ValueError, "pow requires an integer exponent");
    }
    Ref da = tensor_data(a);
    const Py_ssize_t n = py::length(da.get());
    check_inputs(KernelId::fp_pow_int_kernel, {LaunchArg::in(da.get(), n)});
    // The kernel takes a 32-bit exponent; anything wider is refused before
    // the allocation.
    int overflow = 0;
    const long long e = PyLong_AsLongLongAndOverflow(exp.get(), &overflow);
    if (e == -1 && PyErr_Occurred()) py::fail();
    if (overflow || e < INT32_MIN || e > INT32_MAX) {
        py::raisef(PyExc_OverflowError,
                   "pow exponent %R is out of range: it must lie between -2147483648 and 2147483647", exp.get());
    }
    Ref out = dev_empty(n);
    launch_1d(KernelId::fp_pow_int_kernel, n,
              {LaunchArg::checked(da.get()), LaunchArg::out(out.get()), LaunchArg::i32(e), LaunchArg::i32(n)});
    return make_tensor(std::move(out), tensor_shape(a));
}

Ref fn_leaky_relu(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"a", "negative_slope"};
    auto [a, slope_in] = parse_args("leaky_relu", names, 1, args, nargs, kwnames);
    const double slope = slope_in ? arg_double(slope_in) : 0.01;
    Ref da = tensor_data(a);
    const Py_ssize_t n = py::length(da.get());
    check_inputs(KernelId::fp_leaky_relu_kernel, {LaunchArg::in(da.get(), n)});
    Ref alpha = call_global("tensor", py::from_double(slope).get());
    Ref dalpha = tensor_data(alpha.get());
    Ref out = dev_empty(n);
    launch_1d(KernelId::fp_leaky_relu_kernel, n,
              {LaunchArg::in(da.get(), n), LaunchArg::out(out.get()), LaunchArg::in(dalpha.get(), 1),
               LaunchArg::i32(n)});
    return make_tensor(std::move(out), tensor_shape(a));
}

// a * (1 - w) + b * w, with 1 - w taken in double precision.
Ref fn_lerp(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"a", "b", "weight"};
    auto [a, b, weight_in] = parse_args("lerp", names, 3, args, nargs, kwnames);
    const double weight = arg_double(weight_in);
    Ref w = call_global("tensor", py::from_double(weight).get());
    Ref one_minus_w = call_global("tensor", py::from_double(1.0 - weight).get());
    Ref left = call_global("mul", a, one_minus_w.get());
    Ref right = call_global("mul", b, w.get());
    return call_global("add", left.get(), right.get());
}

PyMethodDef compare_methods[] = {
    method<fn_eq>("eq", "eq($module, /, a, b)\n--\n\nElement-wise equality."),
    method<fn_lt>("lt", "lt($module, /, a, b)\n--\n\nElement-wise less than."),
    method<fn_gt>("gt", "gt($module, /, a, b)\n--\n\nElement-wise greater than."),
    method<fn_le>("le", "le($module, /, a, b)\n--\n\nElement-wise less than or equal."),
    method<fn_ge>("ge", "ge($module, /, a, b)\n--\n\nElement-wise greater than or equal."),
    method<fn_ne>("ne", "ne($module, /, a, b)\n--\n\nElement-wise inequality."),
    method<fn_logical_and>("logical_and", "logical_and($module, /, a, b)\n--\n\nElement-wise logical AND."),
    method<fn_logical_or>("logical_or", "logical_or($module, /, a, b)\n--\n\nElement-wise logical OR."),
    method<fn_logical_not>("logical_not", "logical_not($module, /, a)\n--\n\nElement-wise logical NOT."),
    method<fn_logical_xor>("logical_xor", "logical_xor($module, /, a, b)\n--\n\nElement-wise logical XOR."),
    method<fn_where>("where", "where($module, /, cond, a, b)\n--\n\nConditional select."),
    method<fn_clamp>("clamp", "clamp($module, /, a, min_val, max_val)\n--\n\nClamp values."),
    method<fn_pow>("pow", "pow($module, /, a, exp)\n--\n\nInteger power."),
    method<fn_leaky_relu>("leaky_relu", "leaky_relu($module, /, a, negative_slope=0.01)\n--\n\nLeaky ReLU."),
    method<fn_lerp>("lerp", "lerp($module, /, a, b, weight)\n--\n\nLinear interpolation."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void define_compare(PyObject* m) { add_functions(m, compare_methods); }

}  // namespace zel
