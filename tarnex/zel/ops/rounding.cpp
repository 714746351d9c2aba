// Integer extraction on the records (ceil, floor, round, trunc, frac), the
// floor remainder mod, and reciprocal.  The kernels work on the limbs
// directly, so every result here is exact; round shadows the built-in.
#include "elementwise.hpp"

namespace zel {
namespace {

Ref rounding(const char* fname, KernelId kernel, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return apply_unary(kernel, unary_arg(fname, args, nargs, kwnames));
}

Ref fn_ceil(PyObject* const* a, Py_ssize_t n, PyObject* k) { return rounding("ceil", KernelId::fp_ceil_kernel, a, n, k); }
Ref fn_floor(PyObject* const* a, Py_ssize_t n, PyObject* k) { return rounding("floor", KernelId::fp_floor_kernel, a, n, k); }
Ref fn_round(PyObject* const* a, Py_ssize_t n, PyObject* k) { return rounding("round", KernelId::fp_round_kernel, a, n, k); }
Ref fn_trunc(PyObject* const* a, Py_ssize_t n, PyObject* k) { return rounding("trunc", KernelId::fp_trunc_kernel, a, n, k); }
Ref fn_frac(PyObject* const* a, Py_ssize_t n, PyObject* k) { return rounding("frac", KernelId::fp_frac_kernel, a, n, k); }

// One divisor record against many dividends (mod(a, 3)) is repeated to a's
// length; otherwise the records pair in flat order and the divisor must
// hold at least as many as a.
Ref fn_mod(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"a", "b"};
    auto [a, b_in] = parse_args("mod", names, 2, args, nargs, kwnames);
    Ref b = as_tensor(b_in);
    Ref da = tensor_data(a), db = tensor_data(b.get());
    const Py_ssize_t n = py::length(da.get());
    check_inputs(KernelId::fp_mod_kernel, {LaunchArg::in(da.get(), n)});
    if (n > 1 && py::length(db.get()) == 1) {
        Ref one = make_tensor(std::move(db), shape_tuple({1}));
        Ref wide = call_global("_broadcast_to", one.get(), shape_tuple({n}).get());
        db = tensor_data(wide.get());
    }
    check_inputs(KernelId::fp_mod_kernel, {LaunchArg::in(db.get(), n)});
    Ref out = dev_empty(n);
    launch_1d(KernelId::fp_mod_kernel, n, {LaunchArg::in(da.get(), n), LaunchArg::checked(db.get()), LaunchArg::out(out.get()),
                                   LaunchArg::i32(n)});
    return make_tensor(std::move(out), tensor_shape(a));
}

// div(ones(a._shape), a)
Ref fn_reciprocal(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a = unary_arg("reciprocal", args, nargs, kwnames);
    Ref shape = tensor_shape(a);
    Ref one = call_global("ones", shape.get());
    return call_global("div", one.get(), a);
}

PyMethodDef rounding_methods[] = {
    method<fn_ceil>("ceil", "ceil($module, /, a)\n--\n\nCeiling: exact 512-bit integer extraction."),
    method<fn_floor>("floor", "floor($module, /, a)\n--\n\nFloor: exact 512-bit integer extraction."),
    method<fn_round>("round", "round($module, /, a)\n--\n\nRound to nearest, ties to even: exact 512-bit arithmetic."),
    method<fn_trunc>("trunc", "trunc($module, /, a)\n--\n\nTruncate toward zero: exact 512-bit arithmetic."),
    method<fn_frac>("frac", "frac($module, /, a)\n--\n\nFractional part x - trunc(x): exact 512-bit arithmetic."),
    method<fn_mod>("mod", "mod($module, /, a, b)\n--\n\nFloor remainder with the divisor's sign: exact 512-bit "
                          "arithmetic."),
    method<fn_reciprocal>("reciprocal", "reciprocal($module, /, a)\n--\n\nReciprocal 1 / a."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void define_rounding(PyObject* m) { add_functions(m, rounding_methods); }

}  // namespace zel
