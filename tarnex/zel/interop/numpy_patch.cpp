// Replacement of 24 NumPy functions, process-wide, by wrappers that convert
// array arguments to Tensors, call the module's exact function and convert
// the result back; and their restoration.  The bookkeeping lives in module
// globals (_numpy_originals, _numpy_patched, _NUMPY_TO_ZEL).
#include <iterator>
#include <utility>
#include <vector>

#include "../tensor/tensor.hpp"

namespace zel {
namespace {

// NumPy attribute name -> module function, in the order patch_numpy visits.
constexpr std::pair<const char*, const char*> kNumpyToZel[] = {
    {"add", "add"},   {"subtract", "sub"}, {"multiply", "mul"}, {"divide", "div"},   {"negative", "neg"},
    {"absolute", "abs"}, {"sign", "sign"}, {"power", "pow"},    {"mod", "mod"},      {"sum", "sum"},
    {"prod", "prod"}, {"max", "max"},      {"min", "min"},      {"mean", "mean"},    {"std", "std"},
    {"var", "var"},   {"dot", "dot"},      {"matmul", "matmul"}, {"exp", "exp"},     {"log", "log"},
    {"sqrt", "sqrt"}, {"sin", "sin"},      {"cos", "cos"},      {"tan", "tan"},
};
static_assert(std::size(kNumpyToZel) == 24);

// Names whose results are always returned as a Python scalar.
constexpr const char* kScalarResults[] = {"sum", "prod", "max", "min", "mean", "std", "var"};

// A wrapper: called like the NumPy function it replaces, named "wrapper"
// with the qualified name "_make_numpy_wrapper.<locals>.wrapper".  Attributes
// it lacks come from the replaced NumPy function, so code that reaches
// through a patched name (np.add.reduce inside NumPy's own sum, np.multiply
// .outer elsewhere) still finds the ufunc methods it expects.
struct WrapperObject {
    PyObject_HEAD
    PyObject* zel_func;
    PyObject* original;  // the NumPy function it replaces, or NULL
    bool returns_scalar;
    bool dot;  // zel_func is the module's flat dot
};

PyTypeObject* g_wrapper_type = nullptr;

WrapperObject* as_wrapper(PyObject* o) { return reinterpret_cast<WrapperObject*>(o); }

int wrapper_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_wrapper(self)->zel_func);
    Py_VISIT(as_wrapper(self)->original);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int wrapper_clear(PyObject* self) {
    Py_CLEAR(as_wrapper(self)->zel_func);
    Py_CLEAR(as_wrapper(self)->original);
    return 0;
}

void wrapper_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    wrapper_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* wrapper_getattro(PyObject* self, PyObject* name) {
    PyObject* v = PyObject_GenericGetAttr(self, name);
    if (v || !as_wrapper(self)->original || !PyErr_ExceptionMatches(PyExc_AttributeError)) return v;
    // Dunder names stay the wrapper's own: it carries no name or
    // documentation of the function it replaces.
    const char* s = PyUnicode_AsUTF8(name);
    if (!s) return nullptr;
    if (s[0] == '_' && s[1] == '_') return nullptr;
    PyErr_Clear();
    return PyObject_GetAttr(as_wrapper(self)->original, name);
}

PyObject* wrapper_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function _make_numpy_wrapper.<locals>.wrapper at %p>", self);
}

PyObject* get_name(PyObject*, void*) { return PyUnicode_FromString("wrapper"); }
PyObject* get_qualname(PyObject*, void*) { return PyUnicode_FromString("_make_numpy_wrapper.<locals>.wrapper"); }
PyObject* get_doc(PyObject*, void*) { Py_RETURN_NONE; }

// (*args, **kwargs), built once through inspect.
PyObject* get_signature(PyObject*, void*) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        static PyObject* sig = nullptr;
        if (!sig) {
            Ref inspect = py::check(PyImport_ImportModule("inspect"));
            Ref param = py::getattr(inspect.get(), "Parameter");
            Ref var_pos = py::getattr(param.get(), "VAR_POSITIONAL"), var_kw = py::getattr(param.get(), "VAR_KEYWORD");
            Ref args = py::call(param.get(), py::from_str("args").get(), var_pos.get());
            Ref kwargs = py::call(param.get(), py::from_str("kwargs").get(), var_kw.get());
            Ref params = py::check(PyList_New(0));
            py::check_int(PyList_Append(params.get(), args.get()));
            py::check_int(PyList_Append(params.get(), kwargs.get()));
            sig = py::call(py::getattr(inspect.get(), "Signature").get(), params.get()).release();
        }
        return Py_NewRef(sig);
    });
}

PyGetSetDef wrapper_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* wrapper_entry(PyObject* self, PyObject* args, PyObject* kwargs);

PyType_Slot wrapper_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(wrapper_entry)},
    {Py_tp_getattro, reinterpret_cast<void*>(wrapper_getattro)},
    {Py_tp_repr, reinterpret_cast<void*>(wrapper_repr)},
    {Py_tp_getset, wrapper_getset},
    {Py_tp_dealloc, reinterpret_cast<void*>(wrapper_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(wrapper_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(wrapper_clear)},
    {0, nullptr},
};

PyType_Spec wrapper_spec = {"tarnex.zel.zel.numpy_wrapper", sizeof(WrapperObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                            wrapper_slots};

bool is_false_or_none(PyObject* v) { return v == Py_None || v == Py_False; }

Ref convert_arg(PyObject* arg) {
    if (py::isinstance(arg, S().np_ndarray)) {
        Ref nested = py::call_method(arg, "tolist");
        return call_global("tensor", nested.get());
    }
    if (PyList_Check(arg) || PyTuple_Check(arg)) return call_global("tensor", arg);
    return Ref::borrow(arg);
}

bool has_non_vector_tensor(PyObject* args) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); ++i) {
        PyObject* a = PyTuple_GET_ITEM(args, i);
        if (is_tensor(a) && py::length(tensor_shape(a).get()) != 1) return true;
    }
    return false;
}

Ref wrapper_call(WrapperObject* st, PyObject* args, PyObject* kwargs) {
    // Keywords at their defaults (None, False) carry nothing the module's
    // functions could honour and are dropped; any other keyword (axis=0,
    // keepdims=True, out=..., dtype=...) asks for a NumPy meaning the module
    // does not have, so the call goes to the NumPy function unchanged.
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(kwargs, &pos, &k, &v)) {
            if (is_false_or_none(v)) continue;
            if (!st->original) {
                py::raisef(PyExc_TypeError, "wrapper() got an unsupported keyword argument '%U'", k);
            }
            return py::check(PyObject_Call(st->original, args, kwargs));
        }
    }
    const Py_ssize_t n = PyTuple_GET_SIZE(args);
    Ref converted = py::check(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(converted.get(), i, convert_arg(PyTuple_GET_ITEM(args, i)).release());
    // NumPy's dot of matrices is the matrix product, not the flat sum of
    // products the module's dot computes.
    PyObject* func = st->zel_func;
    if (st->dot && has_non_vector_tensor(converted.get())) func = global("matmul");
    Ref result = py::check(PyObject_Call(func, converted.get(), nullptr));
    if (!is_tensor(result.get())) return result;
    Ref numel = py::getattr(result.get(), "numel");
    if (st->returns_scalar || py::as_ssize(numel.get()) == 1) return py::call_method(result.get(), "item");
    Ref nested = py::call_method(result.get(), "to_list");
    return py::call(py::getattr(global("np"), "array").get(), nested.get());
}

PyObject* wrapper_entry(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::guard<PyObject*>(nullptr,
                                [&]() -> PyObject* { return wrapper_call(as_wrapper(self), args, kwargs).release(); });
}

Ref fn_make_numpy_wrapper(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"zel_func", "returns_scalar", "original"};
    auto [zel_func, returns_scalar, original] = parse_args("_make_numpy_wrapper", names, 1, args, nargs, kwnames);
    Ref w = py::check(PyType_GenericAlloc(g_wrapper_type, 0));
    WrapperObject* st = as_wrapper(w.get());
    st->zel_func = Py_NewRef(zel_func);
    st->original = original && original != Py_None ? Py_NewRef(original) : nullptr;
    st->returns_scalar = returns_scalar && py::truthy(returns_scalar);
    PyObject* dot = PyDict_GetItemString(S().globals, "dot");
    st->dot = dot && dot == zel_func;
    return w;
}

void print_line(const Ref& text) {
    Ref print = py::getattr(global("_builtins"), "print");
    py::call(print.get(), text.get());
}

bool is_scalar_result(PyObject* name) {
    for (const char* s : kScalarResults) {
        if (PyUnicode_CompareWithASCIIString(name, s) == 0) return true;
    }
    return false;
}

Ref fn_patch_numpy(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    parse_args_impl("patch_numpy", nullptr, 0, 0, args, nargs, kwnames, nullptr);
    if (py::truthy(global("_numpy_patched"))) return Ref::borrow(Py_None);
    PyObject* table = global("_NUMPY_TO_ZEL");
    PyObject* originals = global("_numpy_originals");
    PyObject* np = global("np");
    Ref items = py::check(PyMapping_Items(table));
    std::vector<Ref> replaced;
    try {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
            PyObject* pair = PyList_GET_ITEM(items.get(), i);
            PyObject* name = PyTuple_GET_ITEM(pair, 0);
            PyObject* func = PyTuple_GET_ITEM(pair, 1);
            Ref current = Ref::steal(PyObject_GetAttr(np, name));
            if (!current) {
                if (!PyErr_ExceptionMatches(PyExc_AttributeError)) py::fail();
                PyErr_Clear();  // names this NumPy lacks are skipped
                continue;
            }
            py::check_int(PyObject_SetItem(originals, name, current.get()));
            PyObject* scalar = is_scalar_result(name) ? Py_True : Py_False;
            static PyObject* kw = py::check(Py_BuildValue("(s)", "original")).release();
            PyObject* argv[] = {nullptr, func, scalar, current.get()};
            Ref wrapper = py::check(
                PyObject_Vectorcall(global("_make_numpy_wrapper"), argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, kw));
            py::check_int(PyObject_SetAttr(np, name, wrapper.get()));
            replaced.push_back(Ref::borrow(name));
        }
    } catch (const py::Error&) {
        // Leave NumPy as it was: a half-patched module with the flag false
        // would make the next call save the wrappers as the originals.
        PyObject* exc = PyErr_GetRaisedException();
        for (const Ref& name : replaced) {
            PyObject* saved = PyObject_GetItem(originals, name.get());
            if (!saved || PyObject_SetAttr(np, name.get(), saved) < 0) PyErr_Clear();
            Py_XDECREF(saved);
        }
        Ref cleared = Ref::steal(PyObject_CallMethod(originals, "clear", nullptr));
        if (!cleared) PyErr_Clear();
        PyErr_SetRaisedException(exc);
        throw;
    }
    bind("_numpy_patched", Py_True);
    Ref count = py::from_ssize(py::length(table));
    print_line(py::check(PyUnicode_FromFormat("ZEL: Patched %S numpy functions with exact arithmetic", count.get())));
    return Ref::borrow(Py_None);
}

Ref fn_unpatch_numpy(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    parse_args_impl("unpatch_numpy", nullptr, 0, 0, args, nargs, kwnames, nullptr);
    if (!py::truthy(global("_numpy_patched"))) return Ref::borrow(Py_None);
    PyObject* originals = global("_numpy_originals");
    PyObject* np = global("np");
    Ref items = py::check(PyMapping_Items(originals));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* pair = PyList_GET_ITEM(items.get(), i);
        py::check_int(PyObject_SetAttr(np, PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1)));
    }
    py::call_method(originals, "clear");
    bind("_numpy_patched", Py_False);
    print_line(py::from_str("ZEL: Restored original numpy functions"));
    return Ref::borrow(Py_None);
}

PyMethodDef patch_functions[] = {
    method<fn_make_numpy_wrapper>("_make_numpy_wrapper",
                                  "_make_numpy_wrapper($module, /, zel_func, returns_scalar=False, original=None)\n"
                                  "--\n\nWrap a module function so it can stand in for a NumPy function."),
    method<fn_patch_numpy>("patch_numpy", "patch_numpy($module, /)\n--\n\n"
                                          "Replace NumPy functions with exact fixed-point versions."),
    method<fn_unpatch_numpy>("unpatch_numpy", "unpatch_numpy($module, /)\n--\n\nRestore original NumPy functions."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void define_numpy_patch(PyObject* m) {
    if (!g_wrapper_type) {
        g_wrapper_type = reinterpret_cast<PyTypeObject*>(py::check(PyType_FromSpec(&wrapper_spec)).release());
    }
    Ref originals = py::check(PyDict_New());
    bind("_numpy_originals", originals.get());
    bind("_numpy_patched", Py_False);
    // The table holds the function objects bound now; a module function not
    // (yet) defined has no entry.
    Ref table = py::check(PyDict_New());
    for (auto [np_name, zel_name] : kNumpyToZel) {
        PyObject* f = PyDict_GetItemString(S().globals, zel_name);
        if (f) py::check_int(PyDict_SetItemString(table.get(), np_name, f));
    }
    bind("_NUMPY_TO_ZEL", table.get());
    add_functions(m, patch_functions);
}

}  // namespace zel
