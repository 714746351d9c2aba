// The functions composed from the unary family (tan, the hyperbolic and
// inverse hyperbolic functions, log2, log10), the inverse-trigonometric
// launches, atan (its argument reduction inside one launch), and pi from its
// decimal digits.  Compositions call the module's current bindings in a fixed
// order, since every intermediate is rounded and the results depend on it.
#include "../core/convert.hpp"
#include "elementwise.hpp"

namespace zel {
namespace {

constexpr const char* kPiDigits = "3.14159265358979323846264338327950288419716939937510";

// Natural logarithms as the double literals log2 and log10 divide by.
constexpr double kLn2 = 0.693147180559945;
constexpr double kLn10 = 2.302585092994046;

Ref tensor_of(double v) { return call_global("tensor", py::from_double(v).get()); }

// ones(*a._shape)
Ref ones_like(PyObject* a) {
    Ref shape = tensor_shape(a);
    Ref dims = py::check(PySequence_Tuple(shape.get()));
    return py::check(PyObject_Call(global("ones"), dims.get(), nullptr));
}

Ref fn_tan(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a = unary_arg("tan", args, nargs, kwnames);
    Ref s = call_global("sin", a);
    Ref c = call_global("cos", a);
    return call_global("div", s.get(), c.get());
}

// (exp(a) op exp(-a)) * 0.5
Ref hyperbolic(const char* fname, const char* combine, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a = unary_arg(fname, args, nargs, kwnames);
    Ref ep = call_global("exp", a);
    Ref na = call_global("neg", a);
    Ref en = call_global("exp", na.get());
    Ref both = call_global(combine, ep.get(), en.get());
    Ref half = tensor_of(0.5);
    return call_global("mul", both.get(), half.get());
}

Ref fn_sinh(PyObject* const* a, Py_ssize_t n, PyObject* k) { return hyperbolic("sinh", "sub", a, n, k); }
Ref fn_cosh(PyObject* const* a, Py_ssize_t n, PyObject* k) { return hyperbolic("cosh", "add", a, n, k); }

Ref fn_asin(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return apply_unary(KernelId::fp_asin_kernel, unary_arg("asin", args, nargs, kwnames));
}

Ref fn_acos(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return apply_unary(KernelId::fp_acos_kernel, unary_arg("acos", args, nargs, kwnames));
}

Ref fn_atan_taylor(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return apply_unary(KernelId::fp_atan_kernel, unary_arg("_atan_taylor", args, nargs, kwnames));
}

// atan in one launch: the kernel classifies each record by a double
// estimate and applies the argument reduction with the module's pi/4 and
// pi/2 (doubles made records by `tensor`), taken from the current bindings
// of pi_quarter and pi_half.
Ref fn_atan(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a = unary_arg("atan", args, nargs, kwnames);
    Ref data = tensor_data(a);
    Ref shape = tensor_shape(a);
    const Py_ssize_t n = py::length(data.get());
    // Nothing to join: the empty result keeps the argument's shape.
    if (n == 0) return make_tensor(dev_empty(0), shape);
    check_inputs(KernelId::fp_atan_reduced_kernel, {LaunchArg::in(data.get(), n)});
    Ref quarter = call_global("pi_quarter");
    Ref half = call_global("pi_half");
    Ref parts = py::check(PyList_New(2));
    PyList_SET_ITEM(parts.get(), 0, tensor_data(quarter.get()).release());
    PyList_SET_ITEM(parts.get(), 1, tensor_data(half.get()).release());
    Ref consts = concat_records(parts.get());
    Ref out = dev_empty(n);
    launch_1d(KernelId::fp_atan_reduced_kernel, n, {LaunchArg::in(data.get(), n), LaunchArg::in(consts.get(), 2),
                                            LaunchArg::out(out.get()), LaunchArg::i32(n)});
    return make_tensor(std::move(out), shape);
}

Ref fn_atan2(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"y", "x"};
    auto [y, x] = parse_args("atan2", names, 2, args, nargs, kwnames);
    Ref q = call_global("div", y, x);
    return call_global("atan", q.get());
}

// log(a + sqrt(a * a op 1))
Ref inverse_hyperbolic(const char* fname, const char* combine, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    PyObject* a = unary_arg(fname, args, nargs, kwnames);
    Ref sq = call_global("mul", a, a);
    Ref one = ones_like(a);
    Ref inner = call_global(combine, sq.get(), one.get());
    Ref root = call_global("sqrt", inner.get());
    Ref sum = call_global("add", a, root.get());
    return call_global("log", sum.get());
}

Ref fn_asinh(PyObject* const* a, Py_ssize_t n, PyObject* k) { return inverse_hyperbolic("asinh", "add", a, n, k); }
Ref fn_acosh(PyObject* const* a, Py_ssize_t n, PyObject* k) { return inverse_hyperbolic("acosh", "sub", a, n, k); }

// 0.5 * log((1 + a) / (1 - a))
Ref fn_atanh(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a = unary_arg("atanh", args, nargs, kwnames);
    Ref one = ones_like(a);
    Ref half = tensor_of(0.5);
    Ref num = call_global("add", one.get(), a);
    Ref den = call_global("sub", one.get(), a);
    Ref q = call_global("div", num.get(), den.get());
    Ref l = call_global("log", q.get());
    return call_global("mul", half.get(), l.get());
}

Ref log_base(const char* fname, double ln_base, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a = unary_arg(fname, args, nargs, kwnames);
    Ref l = call_global("log", a);
    Ref base = tensor_of(ln_base);
    return call_global("div", l.get(), base.get());
}

Ref fn_log2(PyObject* const* a, Py_ssize_t n, PyObject* k) { return log_base("log2", kLn2, a, n, k); }
Ref fn_log10(PyObject* const* a, Py_ssize_t n, PyObject* k) { return log_base("log10", kLn10, a, n, k); }

// ---------------------------------------------------------------------------
// pi from the 50 decimals of PI_STR, handed to tensor as the nearest double.
// The decimal steps run at 60 digits, and that precision stays set in the
// calling thread.

void set_precision_60() {
    Ref ctx = call_global("getcontext");
    Ref prec = py::from_long(60);
    py::check_int(PyObject_SetAttrString(ctx.get(), "prec", prec.get()));
}

void no_arguments(const char* fname, Py_ssize_t nargs, PyObject* kwnames) {
    no_keywords(fname, kwnames);
    if (nargs > 0) py::raisef(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", fname, nargs);
}

Ref fn_pi(PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    no_arguments("pi", nargs, kwnames);
    set_precision_60();
    Ref pi_dec = py::call(S().Decimal, global("PI_STR"));
    Ref pi_frac = py::call(S().Fraction, pi_dec.get());
    Ref ten = py::from_long(10), fifty = py::from_long(50);
    Ref max_den = py::check(PyNumber_Power(ten.get(), fifty.get(), Py_None));
    Ref limited = py::call_method(pi_frac.get(), "limit_denominator", max_den.get());
    Ref f = py::check(PyNumber_Float(limited.get()));
    return call_global("tensor", f.get());
}

Ref fn_pi_over(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"n"};
    auto [n_in] = parse_args("pi_over", names, 1, args, nargs, kwnames);
    Ref n = arg_int(n_in, "n");
    if (!py::truthy(n.get())) py::raise(PyExc_ZeroDivisionError, "pi_over(0): division by zero");
    set_precision_60();
    Ref pi_dec = py::call(S().Decimal, global("PI_STR"));
    Ref n_dec = py::call(S().Decimal, n.get());
    Ref q = py::check(PyNumber_TrueDivide(pi_dec.get(), n_dec.get()));
    Ref f = py::check(PyNumber_Float(q.get()));
    return call_global("tensor", f.get());
}

Ref pi_fraction(const char* fname, long long n, Py_ssize_t nargs, PyObject* kwnames) {
    no_arguments(fname, nargs, kwnames);
    return call_global("pi_over", py::from_long(n).get());
}

Ref fn_pi_half(PyObject* const*, Py_ssize_t n, PyObject* k) { return pi_fraction("pi_half", 2, n, k); }
Ref fn_pi_quarter(PyObject* const*, Py_ssize_t n, PyObject* k) { return pi_fraction("pi_quarter", 4, n, k); }

PyMethodDef transcendental_methods[] = {
    method<fn_tan>("tan", "tan($module, /, a)\n--\n\nTangent, sin(a) / cos(a)."),
    method<fn_sinh>("sinh", "sinh($module, /, a)\n--\n\nHyperbolic sine."),
    method<fn_cosh>("cosh", "cosh($module, /, a)\n--\n\nHyperbolic cosine."),
    method<fn_asin>("asin", "asin($module, /, a)\n--\n\nArcsine."),
    method<fn_acos>("acos", "acos($module, /, a)\n--\n\nArccosine."),
    method<fn_atan_taylor>("_atan_taylor",
                           "_atan_taylor($module, /, a)\n--\n\nArctangent by its Taylor series (|x| < 0.5)."),
    method<fn_atan>("atan", "atan($module, /, a)\n--\n\nArctangent with argument reduction."),
    method<fn_atan2>("atan2", "atan2($module, /, y, x)\n--\n\nArctangent of y / x (principal value)."),
    method<fn_asinh>("asinh", "asinh($module, /, a)\n--\n\nInverse hyperbolic sine."),
    method<fn_acosh>("acosh", "acosh($module, /, a)\n--\n\nInverse hyperbolic cosine."),
    method<fn_atanh>("atanh", "atanh($module, /, a)\n--\n\nInverse hyperbolic tangent."),
    method<fn_log2>("log2", "log2($module, /, a)\n--\n\nBase-2 logarithm."),
    method<fn_log10>("log10", "log10($module, /, a)\n--\n\nBase-10 logarithm."),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef pi_methods[] = {
    method<fn_pi>("pi", "pi($module, /)\n--\n\nPi as a tensor."),
    method<fn_pi_over>("pi_over", "pi_over($module, /, n)\n--\n\nPi divided by n."),
    method<fn_pi_half>("pi_half", "pi_half($module, /)\n--\n\nPi / 2."),
    method<fn_pi_quarter>("pi_quarter", "pi_quarter($module, /)\n--\n\nPi / 4."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void define_transcendental(PyObject* m) { add_functions(m, transcendental_methods); }

void define_pi(PyObject* m) {
    bind("PI_STR", py::from_str(kPiDigits).get());
    add_functions(m, pi_methods);
}

}  // namespace zel
