// ComplexTensor, a pair of equal-shape real Tensors, and the complex
// functions built on it.  There is no complex record format: every operation
// is a fixed sequence of calls to the module's real functions (add, mul, mm,
// ...), looked up at call time, so each step keeps that function's checks.
#include "complex.hpp"

#include <algorithm>
#include <vector>

#include "../core/pytype.hpp"
#include "../tensor/tensor.hpp"

namespace zel {
namespace {

struct ComplexObject {
    PyObject_HEAD
    PyObject* real;  // _real
    PyObject* imag;  // _imag
};

PyTypeObject* g_complex_type = nullptr;

ComplexObject* as_complex(PyObject* o) { return reinterpret_cast<ComplexObject*>(o); }

PyObject* re(PyObject* self) { return slot_or_raise(self, as_complex(self)->real, "_real"); }
PyObject* im(PyObject* self) { return slot_or_raise(self, as_complex(self)->imag, "_imag"); }

// A new complex tensor through the current binding of ComplexTensor, so the
// constructor's shape check runs on every result.
Ref make(const Ref& real, const Ref& imag) { return call_global("ComplexTensor", real.get(), imag.get()); }

Ref real_op(const char* name, PyObject* a, PyObject* b) { return call_global(name, a, b); }

Ref str_of(PyObject* o) { return py::check(PyObject_Str(o)); }

Ref shape_of(PyObject* t) { return py::getattr(t, "shape"); }

// --- construction ----------------------------------------------------------

int complex_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"real", "imag"};
    auto [real_in, imag_in] = parse_init_args("__init__", names, 1, args, kwargs);
    Ref real = as_tensor(real_in);
    Ref imag;
    if (!imag_in || imag_in == Py_None) {
        Ref dims = py::check(PySequence_Tuple(shape_of(real.get()).get()));
        imag = py::check(PyObject_Call(global("zeros"), dims.get(), nullptr));
    } else {
        imag = as_tensor(imag_in);
    }
    Ref rs = shape_of(real.get()), is = shape_of(imag.get());
    const int differ = PyObject_RichCompareBool(rs.get(), is.get(), Py_NE);
    if (differ < 0) py::fail();
    if (differ) {
        py::raisef(PyExc_ValueError, "Real shape %U != imag shape %U", str_of(rs.get()).get(),
                   str_of(is.get()).get());
    }
    ComplexObject* c = as_complex(self);
    Py_XSETREF(c->real, real.release());
    Py_XSETREF(c->imag, imag.release());
    return 0;
}

// --- arithmetic --------------------------------------------------------------

Ref conj_of(PyObject* self) { return make(Ref::borrow(re(self)), call_global("neg", im(self))); }

Ref add_of(PyObject* self, PyObject* other) {
    if (is_complex(other)) {
        Ref r = real_op("add", re(self), re(other));
        Ref i = real_op("add", im(self), im(other));
        return make(r, i);
    }
    Ref t = as_tensor(other);
    return make(real_op("add", re(self), t.get()), Ref::borrow(im(self)));
}

Ref sub_of(PyObject* self, PyObject* other) {
    if (is_complex(other)) {
        Ref r = real_op("sub", re(self), re(other));
        Ref i = real_op("sub", im(self), im(other));
        return make(r, i);
    }
    Ref t = as_tensor(other);
    return make(real_op("sub", re(self), t.get()), Ref::borrow(im(self)));
}

// other - self for a real left operand; a complex one is served by its own
// __sub__.
Ref rsub_of(PyObject* self, PyObject* other) {
    Ref t = as_tensor(other);
    Ref r = real_op("sub", t.get(), re(self));
    Ref i = call_global("neg", im(self));
    return make(r, i);
}

// (a + bi)(c + di) = (ac - bd) + (ad + bc)i, the four products in this order.
Ref mul_of(PyObject* self, PyObject* other) {
    if (is_complex(other)) {
        PyObject *a = re(self), *b = im(self), *c = re(other), *d = im(other);
        Ref ac = real_op("mul", a, c);
        Ref bd = real_op("mul", b, d);
        Ref ad = real_op("mul", a, d);
        Ref bc = real_op("mul", b, c);
        Ref r = real_op("sub", ac.get(), bd.get());
        Ref i = real_op("add", ad.get(), bc.get());
        return make(r, i);
    }
    Ref t = as_tensor(other);
    Ref r = real_op("mul", re(self), t.get());
    Ref i = real_op("mul", im(self), t.get());
    return make(r, i);
}

// (a + bi)/(c + di) = ((ac + bd) + (bc - ad)i) / (c^2 + d^2); a zero
// denominator gets whatever div gives for a zero divisor.
Ref div_of(PyObject* self, PyObject* other) {
    if (is_complex(other)) {
        PyObject *a = re(self), *b = im(self), *c = re(other), *d = im(other);
        Ref c2 = real_op("mul", c, c);
        Ref d2 = real_op("mul", d, d);
        Ref denom = real_op("add", c2.get(), d2.get());
        Ref ac = real_op("mul", a, c);
        Ref bd = real_op("mul", b, d);
        Ref bc = real_op("mul", b, c);
        Ref ad = real_op("mul", a, d);
        Ref real_num = real_op("add", ac.get(), bd.get());
        Ref imag_num = real_op("sub", bc.get(), ad.get());
        Ref r = real_op("div", real_num.get(), denom.get());
        Ref i = real_op("div", imag_num.get(), denom.get());
        return make(r, i);
    }
    Ref t = as_tensor(other);
    Ref r = real_op("div", re(self), t.get());
    Ref i = real_op("div", im(self), t.get());
    return make(r, i);
}

Ref abs2_of(PyObject* self) {
    Ref aa = real_op("mul", re(self), re(self));
    Ref bb = real_op("mul", im(self), im(self));
    return real_op("add", aa.get(), bb.get());
}

Ref abs_of(PyObject* self) { return call_global("sqrt", abs2_of(self).get()); }

Ref transpose_of(PyObject* self) {
    Ref shape = shape_of(re(self));
    if (py::length(shape.get()) != 2) py::raise(PyExc_ValueError, "Transpose only for 2D");
    Ref d0 = py::from_long(0), d1 = py::from_long(1);
    Ref r = call_global("transpose", re(self), d0.get(), d1.get());
    Ref i = call_global("transpose", im(self), d0.get(), d1.get());
    return make(r, i);
}

Ref hermitian_of(PyObject* self) {
    Ref t = py::call_method(self, "T");
    return py::call_method(t.get(), "conj");
}

Ref complex_of(PyObject* r, PyObject* i) {
    return py::call(reinterpret_cast<PyObject*>(&PyComplex_Type), r, i);
}

// The parts' own to_list results.
std::pair<Ref, Ref> part_lists(PyObject* self) {
    Ref r = py::call_method(re(self), "to_list");
    Ref i = py::call_method(im(self), "to_list");
    return {std::move(r), std::move(i)};
}

// complex(rv, iv) for each pair of leaves, the nesting of the parts' lists
// kept at every rank (pairs run to the shorter list, as zip does).  An
// explicit stack rather than recursion: a shape may be arbitrarily deep.
Ref to_list_of(PyObject* self) {
    auto [r, i] = part_lists(self);
    auto is_list = [](PyObject* o) { return PyList_Check(o) || PyTuple_Check(o); };
    if (!is_list(r.get())) return complex_of(r.get(), i.get());
    struct Frame {
        Ref r, i, out;
        Py_ssize_t next = 0;
    };
    std::vector<Frame> stack;
    stack.push_back({std::move(r), std::move(i), py::check(PyList_New(0))});
    for (;;) {
        Frame& f = stack.back();
        const Py_ssize_t n = std::min(py::length(f.r.get()), py::length(f.i.get()));
        if (f.next >= n) {
            Ref done = std::move(f.out);
            stack.pop_back();
            if (stack.empty()) return done;
            py::check_int(PyList_Append(stack.back().out.get(), done.get()));
            continue;
        }
        Ref rv = py::check(PySequence_GetItem(f.r.get(), f.next));
        Ref iv = py::check(PySequence_GetItem(f.i.get(), f.next));
        ++f.next;
        if (is_list(rv.get()) && is_list(iv.get())) {
            stack.push_back({std::move(rv), std::move(iv), py::check(PyList_New(0))});
        } else {
            Ref z = complex_of(rv.get(), iv.get());
            py::check_int(PyList_Append(f.out.get(), z.get()));
        }
    }
}

// --- read-back and indexing, part by part -----------------------------------------

Ref to_fractions_of(PyObject* self) {
    Ref r = py::call_method(re(self), "to_fractions");
    Ref i = py::call_method(im(self), "to_fractions");
    return py::tuple(std::move(r), std::move(i));
}

// complex128 in the parts' shape: each part rounded to a double as its own
// numpy() rounds it.
Ref numpy_of(PyObject* self) {
    Ref r = py::call_method(re(self), "numpy");
    Ref i = py::call_method(im(self), "numpy");
    Ref shape = py::getattr(r.get(), "shape");
    Ref c128 = py::getattr(S().np, "complex128");
    Ref out = call_with_dtype(py::getattr(S().np, "empty").get(), shape.get(), c128.get());
    py::check_int(PyObject_SetAttrString(out.get(), "real", r.get()));
    py::check_int(PyObject_SetAttrString(out.get(), "imag", i.get()));
    return out;
}

Ref m_array(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"dtype", "copy"};
    auto [dtype, copy] = parse_args("__array__", names, 0, args, nargs, kwnames);
    if (copy && copy != Py_None && !py::truthy(copy)) {
        py::raise(PyExc_ValueError, "Unable to avoid copy while creating an array as requested.");
    }
    Ref arr = numpy_of(self);
    if (!dtype || dtype == Py_None) return arr;
    Ref astype = py::getattr(arr.get(), "astype");
    Ref kw = py::check(Py_BuildValue("{sO}", "copy", Py_False));
    Ref pos = py::tuple(Ref::borrow(dtype));
    return py::check(PyObject_Call(astype.get(), pos.get(), kw.get()));
}

Ref complex_getitem(PyObject* self, PyObject* key) {
    Ref r = py::check(PyObject_GetItem(re(self), key));
    Ref i = py::check(PyObject_GetItem(im(self), key));
    return make(r, i);
}

// The value's parts: a ComplexTensor's own, a Python complex or a complex
// NumPy array split in two, anything else real with a zero imaginary part.
// Both parts are converted before either is written.
std::pair<Ref, Ref> value_parts(PyObject* value) {
    if (is_complex(value)) return {Ref::borrow(re(value)), Ref::borrow(im(value))};
    bool split = PyComplex_Check(value);
    if (!split && py::isinstance(value, S().np_ndarray)) {
        Ref iscomplex = py::call(py::getattr(S().np, "iscomplexobj").get(), value);
        split = py::truthy(iscomplex.get());
    }
    if (split) {
        Ref r = as_tensor(py::getattr(value, "real").get());
        Ref i = as_tensor(py::getattr(value, "imag").get());
        return {std::move(r), std::move(i)};
    }
    Ref r = as_tensor(value);
    return {std::move(r), call_global("tensor", py::from_long(0).get())};
}

int complex_setitem(PyObject* self, PyObject* key, PyObject* value) {
    if (!value) py::raise(PyExc_ValueError, "cannot delete tensor elements");
    auto [r, i] = value_parts(value);
    py::check_int(PyObject_SetItem(re(self), key, r.get()));
    py::check_int(PyObject_SetItem(im(self), key, i.get()));
    return 0;
}

Py_ssize_t complex_len(PyObject* self) {
    return py::length(re(self));
}

Ref complex_iter(PyObject* self) {
    Ref shape = shape_of(re(self));
    return iterate_rows(self, shape.get());
}

int complex_bool(PyObject*) { return 1; }

Ref get_ndim(PyObject* self, void*) {
    return py::from_ssize(py::length(shape_of(re(self)).get()));
}

// ComplexTensor(real, imag) of the pickled parts, which pickle themselves.
Ref reduce_of(PyObject* self) {
    return py::tuple(Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(self))),
                     py::tuple(Ref::borrow(re(self)), Ref::borrow(im(self))));
}

// --- Python entry points -------------------------------------------------------

Ref complex_repr(PyObject* self) {
    Ref shape = shape_of(re(self));
    return py::check(PyUnicode_FromFormat("ComplexTensor(shape=%U)", str_of(shape.get()).get()));
}

Ref complex_str(PyObject* self) {
    auto [r, i] = part_lists(self);
    if (PyList_Check(r.get()) && PyList_GET_SIZE(r.get()) > 10) {
        Ref shape = py::getattr(self, "shape");
        return py::check(PyUnicode_FromFormat("ComplexTensor(%U)", str_of(shape.get()).get()));
    }
    return py::check(PyUnicode_FromFormat("ComplexTensor(%U + %Uj)", str_of(r.get()).get(), str_of(i.get()).get()));
}

Ref get_real(PyObject* self, void*) {
    return Ref::borrow(re(self));
}
Ref get_imag(PyObject* self, void*) {
    return Ref::borrow(im(self));
}
Ref get_shape(PyObject* self, void*) {
    return shape_of(re(self));
}

Ref radd_of(PyObject* self, PyObject* other) { return add_of(self, other); }
Ref rmul_of(PyObject* self, PyObject* other) { return mul_of(self, other); }
Ref neg_of(PyObject* self) {
    Ref r = call_global("neg", re(self));
    Ref i = call_global("neg", im(self));
    return make(r, i);
}

#define ZEL_METH_O(name, fn, doc) onearg_method<fn>(name, name "($self, other, /)\n--\n\n" doc)
#define ZEL_METH_0(name, fn, doc) noargs_method<fn>(name, name "($self, /)\n--\n\n" doc)

PyMethodDef complex_methods[] = {
    ZEL_METH_0("conj", conj_of, "Complex conjugate."),
    ZEL_METH_0("__neg__", neg_of, "-self"),
    ZEL_METH_O("__add__", add_of, "Return self+other."),
    ZEL_METH_O("__radd__", radd_of, "Return other+self."),
    ZEL_METH_O("__sub__", sub_of, "Return self-other."),
    ZEL_METH_O("__rsub__", rsub_of, "Return other-self."),
    ZEL_METH_O("__mul__", mul_of, "Return self*other."),
    ZEL_METH_O("__rmul__", rmul_of, "Return other*self."),
    ZEL_METH_O("__truediv__", div_of, "Return self/other."),
    ZEL_METH_0("__abs__", abs_of, "Magnitude sqrt(re^2 + im^2)."),
    ZEL_METH_0("abs2", abs2_of, "Squared magnitude re^2 + im^2, without the square root."),
    ZEL_METH_0("T", transpose_of, "Transpose (2D only)."),
    ZEL_METH_0("H", hermitian_of, "Conjugate transpose (2D only)."),
    ZEL_METH_0("to_list", to_list_of, "Convert to Python complex numbers."),
    ZEL_METH_0("to_fractions", to_fractions_of, "Exact values: (real.to_fractions(), imag.to_fractions())."),
    ZEL_METH_0("numpy", numpy_of, "A complex128 NumPy array in the tensor's shape."),
    type_method<m_array>("__array__", "__array__($self, /, dtype=None, copy=None)\n--\n\nThe array of numpy()."),
    ZEL_METH_0("__reduce__", reduce_of, "Pickle as ComplexTensor(real, imag)."),
    {nullptr, nullptr, 0, nullptr},
};

#undef ZEL_METH_O
#undef ZEL_METH_0

// The dunder methods above become the type's operator slots once set as
// attributes (the interpreter then dispatches + - * / abs and unary minus,
// reflected forms included, through them).
constexpr const char* kOperatorNames[] = {"__neg__", "__add__",     "__radd__", "__sub__", "__rsub__",
                                          "__mul__", "__rmul__", "__truediv__", "__abs__"};

PyGetSetDef complex_getset[] = {
    {"real", entry_of<get_real>, nullptr, "Real part (a Tensor).", nullptr},
    {"imag", entry_of<get_imag>, nullptr, "Imaginary part (a Tensor).", nullptr},
    {"shape", entry_of<get_shape>, nullptr, "The shape of the parts.", nullptr},
    {"ndim", entry_of<get_ndim>, nullptr, "Number of dimensions of the parts.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef complex_members[] = {
    {"_real", Py_T_OBJECT_EX, offsetof(ComplexObject, real), 0, nullptr},
    {"_imag", Py_T_OBJECT_EX, offsetof(ComplexObject, imag), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot complex_slots[] = {
    {Py_tp_doc, const_cast<char*>(R"doc(ComplexTensor(real, imag=None)
--

Complex tensor: a pair of equal-shape real tensors.

There is no complex record: ``real`` and ``imag`` are ordinary Tensors, and
every operation is a short composition of the real ones, so it is exact, or
floored to the record, exactly as those are (a product is four real
products, a sum two exact additions). Parts that are not Tensors are
converted by ``tensor``; a missing ``imag`` is zeros of the real part's
shape. No operation changes a ComplexTensor in place.

Operators: ``+``, ``-`` and ``*`` with another ComplexTensor, a Tensor or a
number (a real operand touches both parts for ``*`` and ``/``, the real part
only for ``+`` and ``-``), ``/`` by any of them (no check for a zero
divisor), unary ``-`` and ``abs`` (the magnitude, a real Tensor). Methods:
``conj()``, ``abs2()`` (a*a + b*b without the root), ``T()`` and ``H()`` (the
transpose and conjugate transpose of a 2-D tensor; methods, not
properties), ``to_fractions()`` (both parts exactly), ``to_list()`` (Python
complex numbers, rounded through doubles), ``numpy()``, indexing and
iteration over the first dimension. Matrix products are ``cmm`` and ``cmv``.

Args:
    real: a Tensor or anything ``tensor`` accepts.
    imag: the same, or None for zeros.

Raises:
    ValueError: the parts have different shapes, also when an operation
        would give them different shapes (a broadcast real operand).

Example:
    >>> c = zel.ComplexTensor([1, 2], [3, 4])
    >>> (c * c.conj()).to_fractions()
    ([Fraction(10, 1), Fraction(20, 1)], [Fraction(0, 1), Fraction(0, 1)])
    >>> (c / c).to_fractions()
    ([Fraction(1, 1), Fraction(1, 1)], [Fraction(0, 1), Fraction(0, 1)])
)doc")},
    {Py_tp_init, reinterpret_cast<void*>(entry_of<complex_init>)},
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    ZEL_SLOT_TYPE_GC(ComplexObject),
    {Py_tp_repr, reinterpret_cast<void*>(entry_of<complex_repr>)},
    {Py_tp_str, reinterpret_cast<void*>(entry_of<complex_str>)},
    {Py_tp_methods, complex_methods},
    {Py_tp_getset, complex_getset},
    {Py_tp_members, complex_members},
    {Py_mp_subscript, reinterpret_cast<void*>(entry_of<complex_getitem>)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(entry_of<complex_setitem>)},
    {Py_mp_length, reinterpret_cast<void*>(entry_of<complex_len>)},
    {Py_tp_iter, reinterpret_cast<void*>(entry_of<complex_iter>)},
    {Py_nb_bool, reinterpret_cast<void*>(complex_bool)},
    {0, nullptr},
};

PyType_Spec complex_spec = {"tarnex.zel.zel.ComplexTensor", sizeof(ComplexObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, complex_slots};

// --- module functions ----------------------------------------------------------

Ref fn_complex_tensor(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"real", "imag"};
    auto [real, imag] = parse_args("complex_tensor", names, 1, args, nargs, kwnames);
    return call_global("ComplexTensor", real, imag ? imag : Py_None);
}

Ref as_complex_operand(PyObject* o) {
    if (is_complex(o)) return Ref::borrow(o);
    return call_global("ComplexTensor", o);
}

// (A + Bi)(C + Di) with the real product `prod` (mm or mv): AC, BD, AD, BC.
Ref complex_product(const char* prod, PyObject* x, PyObject* y) {
    Ref a = as_complex_operand(x), b = as_complex_operand(y);
    PyObject *A = re(a.get()), *B = im(a.get()), *C = re(b.get()), *D = im(b.get());
    Ref ac = call_global(prod, A, C);
    Ref bd = call_global(prod, B, D);
    Ref ad = call_global(prod, A, D);
    Ref bc = call_global(prod, B, C);
    Ref r = real_op("sub", ac.get(), bd.get());
    Ref i = real_op("add", ad.get(), bc.get());
    return make(r, i);
}

Ref fn_cmm(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"a", "b"};
    auto [a, b] = parse_args("cmm", names, 2, args, nargs, kwnames);
    return complex_product("mm", a, b);
}

Ref fn_cmv(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"A", "x"};
    auto [A, x] = parse_args("cmv", names, 2, args, nargs, kwnames);
    return complex_product("mv", A, x);
}

Ref fn_csum(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"c"};
    auto [c] = parse_args("csum", names, 1, args, nargs, kwnames);
    Ref real = py::getattr(c, "_real"), imag = py::getattr(c, "_imag");
    Ref r = call_global("sum", real.get());
    Ref i = call_global("sum", imag.get());
    return make(r, i);
}

Ref fn_cabs(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"c"};
    auto [c] = parse_args("cabs", names, 1, args, nargs, kwnames);
    return py::call_method(c, "__abs__");
}

Ref fn_conj(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"c"};
    auto [c] = parse_args("conj", names, 1, args, nargs, kwnames);
    return py::call_method(c, "conj");
}

Ref fn_complex_eye(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"n"};
    auto [n_in] = parse_args("complex_eye", names, 1, args, nargs, kwnames);
    Ref n = arg_int(n_in, "n");
    Ref real = call_global("eye", n.get());
    Ref imag = call_global("zeros", n.get(), n.get());
    return make(real, imag);
}

Ref shape_args(PyObject* const* args, Py_ssize_t nargs) {
    Ref t = py::check(PyTuple_New(nargs));
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(t.get(), i, Py_NewRef(args[i]));
    return t;
}

// real_fill(*shape) + zeros(*shape) i
Ref filled(const char* fname, const char* real_fill, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    no_keywords(fname, kwnames);
    Ref shape = shape_args(args, nargs);
    Ref real = py::check(PyObject_Call(global(real_fill), shape.get(), nullptr));
    Ref imag = py::check(PyObject_Call(global("zeros"), shape.get(), nullptr));
    return make(real, imag);
}

Ref fn_complex_zeros(PyObject* const* a, Py_ssize_t n, PyObject* k) {
    return filled("complex_zeros", "zeros", a, n, k);
}
Ref fn_complex_ones(PyObject* const* a, Py_ssize_t n, PyObject* k) { return filled("complex_ones", "ones", a, n, k); }

PyMethodDef complex_functions[] = {
    method<fn_complex_tensor>("complex_tensor", "complex_tensor($module, /, real, imag=None)\n--\n\n"
                                                "Create complex tensor."),
    method<fn_cmm>("cmm", "cmm($module, /, a, b)\n--\n\nComplex matrix multiply."),
    method<fn_cmv>("cmv", "cmv($module, /, A, x)\n--\n\nComplex matrix-vector multiply."),
    method<fn_csum>("csum", "csum($module, /, c)\n--\n\nSum of all complex elements."),
    method<fn_cabs>("cabs", "cabs($module, /, c)\n--\n\nComplex magnitude."),
    method<fn_conj>("conj", "conj($module, /, c)\n--\n\nComplex conjugate."),
    method<fn_complex_eye>("complex_eye", "complex_eye($module, /, n)\n--\n\nComplex identity matrix."),
    method<fn_complex_zeros>("complex_zeros", "complex_zeros($module, /, *shape)\n--\n\nComplex zeros tensor."),
    method<fn_complex_ones>("complex_ones", "complex_ones($module, /, *shape)\n--\n\n"
                                            "Complex ones tensor (ones in the real part)."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* complex_type() { return g_complex_type; }

bool is_complex(PyObject* o) { return g_complex_type && PyObject_TypeCheck(o, g_complex_type); }

void define_complex(PyObject* m) {
    if (!g_complex_type) {
        Ref type = py::check(PyType_FromSpec(&complex_spec));
        PyObject* t = type.get();
        Ref modname = py::from_str("tarnex.zel.zel");
        py::check_int(PyObject_SetAttrString(t, "__module__", modname.get()));
        // As for Tensor: `ndarray + c` reaches c's reflected method.
        Ref priority = py::from_double(1000.0);
        py::check_int(PyObject_SetAttrString(t, "__array_priority__", priority.get()));
        for (const char* name : kOperatorNames) {
            Ref descr = py::getattr(t, name);
            py::check_int(PyObject_SetAttrString(t, name, descr.get()));
        }
        g_complex_type = reinterpret_cast<PyTypeObject*>(type.release());
    }
    bind("ComplexTensor", reinterpret_cast<PyObject*>(g_complex_type));
    add_functions(m, complex_functions);
}

}  // namespace zel
