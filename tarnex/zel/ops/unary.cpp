// The unary kernel family: neg, abs, the activations, exp, log, sin, cos,
// sqrt and sign, one launch each.  The numerics (and their edge rules: log of
// x <= 0, sqrt of x < 0) live in the kernels; abs shadows the built-in here.
#include "elementwise.hpp"

namespace zel {
namespace {

Ref unary(const char* fname, KernelId kernel, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return apply_unary(kernel, unary_arg(fname, args, nargs, kwnames));
}

Ref fn_neg(PyObject* const* a, Py_ssize_t n, PyObject* k) { return unary("neg", KernelId::fp_neg_kernel, a, n, k); }
Ref fn_abs(PyObject* const* a, Py_ssize_t n, PyObject* k) { return unary("abs", KernelId::fp_abs_kernel, a, n, k); }
Ref fn_relu(PyObject* const* a, Py_ssize_t n, PyObject* k) { return unary("relu", KernelId::fp_relu_kernel, a, n, k); }
Ref fn_sigmoid(PyObject* const* a, Py_ssize_t n, PyObject* k) { return unary("sigmoid", KernelId::fp_sigmoid_kernel, a, n, k); }
Ref fn_tanh(PyObject* const* a, Py_ssize_t n, PyObject* k) { return unary("tanh", KernelId::fp_tanh_kernel, a, n, k); }
Ref fn_gelu(PyObject* const* a, Py_ssize_t n, PyObject* k) { return unary("gelu", KernelId::fp_gelu_kernel, a, n, k); }
Ref fn_silu(PyObject* const* a, Py_ssize_t n, PyObject* k) { return unary("silu", KernelId::fp_silu_kernel, a, n, k); }
Ref fn_exp(PyObject* const* a, Py_ssize_t n, PyObject* k) { return unary("exp", KernelId::fp_exp_kernel, a, n, k); }
Ref fn_log(PyObject* const* a, Py_ssize_t n, PyObject* k) { return unary("log", KernelId::fp_log_kernel, a, n, k); }
Ref fn_sin(PyObject* const* a, Py_ssize_t n, PyObject* k) { return unary("sin", KernelId::fp_sin_kernel, a, n, k); }
Ref fn_cos(PyObject* const* a, Py_ssize_t n, PyObject* k) { return unary("cos", KernelId::fp_cos_kernel, a, n, k); }
Ref fn_sqrt(PyObject* const* a, Py_ssize_t n, PyObject* k) { return unary("sqrt", KernelId::fp_sqrt_kernel, a, n, k); }
Ref fn_sign(PyObject* const* a, Py_ssize_t n, PyObject* k) { return unary("sign", KernelId::fp_sign_kernel, a, n, k); }

PyMethodDef unary_methods[] = {
    method<fn_neg>("neg", "neg($module, /, a)\n--\n\nNegate."),
    method<fn_abs>("abs", "abs($module, /, a)\n--\n\nAbsolute value."),
    method<fn_relu>("relu", "relu($module, /, a)\n--\n\nReLU activation."),
    method<fn_sigmoid>("sigmoid", "sigmoid($module, /, a)\n--\n\nSigmoid activation."),
    method<fn_tanh>("tanh", "tanh($module, /, a)\n--\n\nTanh activation."),
    method<fn_gelu>("gelu", "gelu($module, /, a)\n--\n\nGELU activation."),
    method<fn_silu>("silu", "silu($module, /, a)\n--\n\nSiLU activation."),
    method<fn_exp>("exp", "exp($module, /, a)\n--\n\nExponential."),
    method<fn_log>("log", "log($module, /, a)\n--\n\nNatural logarithm."),
    method<fn_sin>("sin", "sin($module, /, a)\n--\n\nSine."),
    method<fn_cos>("cos", "cos($module, /, a)\n--\n\nCosine."),
    method<fn_sqrt>("sqrt", "sqrt($module, /, a)\n--\n\nSquare root."),
    method<fn_sign>("sign", "sign($module, /, a)\n--\n\nSign function."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void define_unary(PyObject* m) { add_functions(m, unary_methods); }

}  // namespace zel
