// The arithmetic operators and reduction methods of Tensor, attached after
// every module function exists.  Each forwarder looks its target up in the
// module namespace at call time, so rebinding zel.add changes what t + 1
// does; none ever declines an operand.
#include "tensor.hpp"

namespace zel {
namespace {


PyObject* other_arg(const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    const char* param = "other") {
    const char* const names[] = {param};
    auto [other] = parse_args(name, names, 1, args, nargs, kwnames);
    return other;
}

void no_args(const char* name, Py_ssize_t nargs, PyObject* kwnames) {
    no_keywords(name, kwnames);
    if (nargs > 0) {
        py::raisef(PyExc_TypeError, "%.200s() takes 1 positional argument but %zd were given", name, nargs + 1);
    }
}

template <MethodImpl F>
constexpr PyMethodDef op(const char* name, const char* doc) {
    return type_method<F>(name, doc);
}

// self op as_tensor(other)
template <const char* Name, const char* Target>
Ref forward(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Ref o = as_tensor(other_arg(Name, args, nargs, kwnames));
    return call_global(Target, self, o.get());
}

// tensor(other) op self: the mathematical order of the reflected form.
template <const char* Name, const char* Target>
Ref reflect(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Ref o = call_global("tensor", other_arg(Name, args, nargs, kwnames));
    return call_global(Target, o.get(), self);
}

// Target(self, other) with other passed unchanged.
template <const char* Name, const char* Target, const char* Param>
Ref pass(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* other = other_arg(Name, args, nargs, kwnames, Param);
    return call_global(Target, self, other);
}

// Target(self)
template <const char* Name, const char* Target>
Ref unary(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    (void)args;
    no_args(Name, nargs, kwnames);
    return call_global(Target, self);
}

constexpr char kAdd[] = "add", kSub[] = "sub", kMul[] = "mul", kDiv[] = "div", kNeg[] = "neg";
constexpr char kMatmul[] = "matmul", kPow[] = "pow", kSum[] = "sum", kMean[] = "mean", kMax[] = "max",
               kMin[] = "min";
constexpr char kOther[] = "other", kExp[] = "exp";
constexpr char nAdd[] = "__add__", nRadd[] = "__radd__", nSub[] = "__sub__", nRsub[] = "__rsub__",
               nMul[] = "__mul__", nRmul[] = "__rmul__", nDiv[] = "__truediv__", nRdiv[] = "__rtruediv__",
               nNeg[] = "__neg__", nMatmul[] = "__matmul__", nPow[] = "__pow__";

// In the order of attachment.
PyMethodDef operator_defs[] = {
    op<forward<nAdd, kAdd>>("__add__", "__add__($self, other)\n--\n\nadd(self, other)."),
    op<reflect<nRadd, kAdd>>("__radd__", "__radd__($self, other)\n--\n\nadd(tensor(other), self)."),
    op<forward<nSub, kSub>>("__sub__", "__sub__($self, other)\n--\n\nsub(self, other)."),
    op<reflect<nRsub, kSub>>("__rsub__", "__rsub__($self, other)\n--\n\nsub(tensor(other), self)."),
    op<forward<nMul, kMul>>("__mul__", "__mul__($self, other)\n--\n\nmul(self, other)."),
    op<reflect<nRmul, kMul>>("__rmul__", "__rmul__($self, other)\n--\n\nmul(tensor(other), self)."),
    op<forward<nDiv, kDiv>>("__truediv__", "__truediv__($self, other)\n--\n\ndiv(self, other)."),
    op<reflect<nRdiv, kDiv>>("__rtruediv__",
                             "__rtruediv__($self, other)\n--\n\ndiv(tensor(other), self)."),
    op<unary<nNeg, kNeg>>("__neg__", "__neg__($self, /)\n--\n\nneg(self)."),
    op<pass<nMatmul, kMatmul, kOther>>("__matmul__", "__matmul__($self, other)\n--\n\nmatmul(self, other)."),
    op<pass<nPow, kPow, kExp>>("__pow__", "__pow__($self, exp)\n--\n\npow(self, exp)."),
    op<unary<kSum, kSum>>("sum", "sum($self, /)\n--\n\nSum all elements."),
    op<unary<kMean, kMean>>("mean", "mean($self, /)\n--\n\nMean of all elements."),
    op<unary<kMax, kMax>>("max", "max($self, /)\n--\n\nMaximum element."),
    op<unary<kMin, kMin>>("min", "min($self, /)\n--\n\nMinimum element."),
};

}  // namespace

// Method descriptors of the Tensor type, set as class attributes: setting a
// dunder on a heap type also fills its number slot, as for a Python class.
void define_operators(PyObject* m) {
    PyObject* type = reinterpret_cast<PyObject*>(tensor_type());
    for (PyMethodDef& def : operator_defs) {
        Ref descr = py::check(PyDescr_NewMethod(tensor_type(), &def));
        py::check_int(PyObject_SetAttrString(type, def.ml_name, descr.get()));
    }
    (void)m;
}

}  // namespace zel
