// Replacement of 24 NumPy functions, process-wide, by wrappers that convert
// array arguments to Tensors, call the module's exact function and convert
// the result back; and their restoration.  The bookkeeping lives in module
// globals (_numpy_originals, _numpy_patched, _NUMPY_TO_ZEL).
#include "../tensor/tensor.hpp"

namespace zel {
namespace {

// NumPy attribute name -> module function, in the order patch_numpy visits.
constexpr std::pair<const char*, const char*> kNumpyToZel[] = {
    {"add", "add"},   {"subtract", "sub"}, {"multiply", "mul"}, {"divide", "div"},      {"negative", "neg"},
    {"absolute", "abs"}, {"sign", "sign"}, {"power", "pow"},    {"mod", "mod"},         {"sum", "sum"},
    {"prod", "prod"}, {"max", "max"},      {"min", "min"},      {"mean", "mean"},       {"std", "std"},
    {"var", "var"},   {"dot", "dot"},      {"matmul", "matmul"}, {"exp", "exp"},        {"log", "log"},
    {"sqrt", "sqrt"}, {"sin", "sin"},      {"cos", "cos"},      {"tan", "tan"},
};
static_assert(std::size(kNumpyToZel) == 24);

// Names whose results are always returned as a Python scalar.
constexpr const char* kScalarResults[] = {"sum", "prod", "max", "min", "mean", "std", "var"};

// What one wrapper is bound to.  Its type's qualified name makes the
// wrapper's own "_make_numpy_wrapper.<locals>.wrapper".
struct WrapperState {
    PyObject_HEAD
    PyObject* zel_func;
    PyObject* original;  // the NumPy function it replaces, or NULL
    bool returns_scalar;
    bool dot;  // zel_func is the module's flat dot
};

PyTypeObject* g_state_type = nullptr;

WrapperState* as_state(PyObject* o) { return reinterpret_cast<WrapperState*>(o); }

int state_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_state(self)->zel_func);
    Py_VISIT(as_state(self)->original);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int state_clear(PyObject* self) {
    Py_CLEAR(as_state(self)->zel_func);
    Py_CLEAR(as_state(self)->original);
    return 0;
}

void state_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    state_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyType_Slot state_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(state_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(state_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(state_clear)},
    {0, nullptr},
};

PyType_Spec state_spec = {"tarnex.zel.zel._numpy_wrapper_state", sizeof(WrapperState), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, state_slots};

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

Ref wrapper_call(WrapperState* st, PyObject* args, PyObject* kwargs) {
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
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* { return wrapper_call(as_state(self), args, kwargs).release(); });
}

PyMethodDef wrapper_def = {"wrapper", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(wrapper_entry)),
                           METH_VARARGS | METH_KEYWORDS, "wrapper($self, /, *args, **kwargs)\n--\n\n"};

Ref fn_make_numpy_wrapper(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"zel_func", "returns_scalar", "original"};
    auto [zel_func, returns_scalar, original] = parse_args("_make_numpy_wrapper", names, 1, args, nargs, kwnames);
    Ref state = py::check(PyType_GenericAlloc(g_state_type, 0));
    WrapperState* st = as_state(state.get());
    st->zel_func = Py_NewRef(zel_func);
    st->original = original && original != Py_None ? Py_NewRef(original) : nullptr;
    st->returns_scalar = returns_scalar && py::truthy(returns_scalar);
    PyObject* dot = PyDict_GetItemString(S().globals, "dot");
    st->dot = dot && dot == zel_func;
    Ref modname = py::from_str("tarnex.zel.zel");
    return py::check(PyCFunction_NewEx(&wrapper_def, state.get(), modname.get()));
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
    if (!g_state_type) {
        Ref type = py::check(PyType_FromSpec(&state_spec));
        Ref qualname = py::from_str("_make_numpy_wrapper.<locals>");
        py::check_int(PyObject_SetAttrString(type.get(), "__qualname__", qualname.get()));
        g_state_type = reinterpret_cast<PyTypeObject*>(type.release());
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
