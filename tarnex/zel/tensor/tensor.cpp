// The dense Tensor class: construction from numbers, nested lists and NumPy
// arrays, nested-list flattening, and the small accessors.  Results of every
// operation are built with make_tensor (Tensor(_raw=..., shape=...)).
#include "tensor.hpp"

#include <unordered_set>

#include "../core/convert.hpp"
#include "../core/pytype.hpp"

namespace zel {
namespace {

struct TensorObject {
    PyObject_HEAD
    PyObject* data;   // _data
    PyObject* shape;  // _shape
};

PyTypeObject* g_tensor_type = nullptr;

TensorObject* tensor_obj(PyObject* o) { return reinterpret_cast<TensorObject*>(o); }

// Leaves of a nested list: int (bool too), float, Fraction, Decimal, str.
bool is_scalar_leaf(PyObject* o) {
    return PyLong_Check(o) || PyFloat_Check(o) || PyUnicode_Check(o) || py::isinstance(o, S().Fraction) ||
           py::isinstance(o, S().Decimal);
}

// (flat list, shape tuple) of nested data, the shape following the first
// branch at every level.  A level whose first item is a leaf contributes its
// items as they stand; any other level contributes the flattening of each
// item.  Iterative, so nesting depth is bounded by memory alone, and each
// item is visited once; a list that contains itself is refused.
std::pair<Ref, Ref> flatten(PyObject* data) {
    Ref flat = py::check(PyList_New(0));
    std::vector<Py_ssize_t> shape;
    auto is_branch = [](PyObject* o) { return !is_scalar_leaf(o) && (PyList_Check(o) || PyTuple_Check(o)); };
    if (!is_branch(data)) {
        py::check_int(PyList_Append(flat.get(), data));
        return {std::move(flat), py::check(PyTuple_New(0))};
    }
    // The shape: lengths down the chain of first items.
    {
        Ref node = Ref::borrow(data);
        std::unordered_set<PyObject*> seen;
        while (is_branch(node.get())) {
            if (!seen.insert(node.get()).second) py::raise(PyExc_ValueError, "nested list contains itself");
            const Py_ssize_t n = PySequence_Size(node.get());
            if (n < 0) py::fail();
            shape.push_back(n);
            if (n == 0) break;
            Ref first = py::check(PySequence_GetItem(node.get(), 0));
            if (is_scalar_leaf(first.get())) break;
            node = std::move(first);
        }
    }
    // The leaves, depth first, with the open branches on an explicit stack.
    struct Frame {
        Ref seq;
        Py_ssize_t next, size;
    };
    std::vector<Frame> stack;
    std::unordered_set<PyObject*> open;
    auto enter = [&](Ref seq) {
        const Py_ssize_t n = PySequence_Size(seq.get());
        if (n < 0) py::fail();
        if (n == 0) return;
        Ref first = py::check(PySequence_GetItem(seq.get(), 0));
        if (is_scalar_leaf(first.get())) {
            Ref items = py::check(PySequence_List(seq.get()));
            const Py_ssize_t end = PyList_GET_SIZE(flat.get());
            py::check_int(PyList_SetSlice(flat.get(), end, end, items.get()));
            return;
        }
        if (!open.insert(seq.get()).second) py::raise(PyExc_ValueError, "nested list contains itself");
        stack.push_back({std::move(seq), 0, n});
    };
    enter(Ref::borrow(data));
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next >= top.size) {
            open.erase(top.seq.get());
            stack.pop_back();
            continue;
        }
        Ref item = py::check(PySequence_GetItem(top.seq.get(), top.next++));
        if (is_branch(item.get())) {
            enter(std::move(item));
        } else {
            py::check_int(PyList_Append(flat.get(), item.get()));
        }
    }
    return {std::move(flat), shape_tuple(shape)};
}

// Python's slice bounds [lo, hi) of seq[a:b] for a sequence of length len.
std::pair<Py_ssize_t, Py_ssize_t> slice_bounds(Py_ssize_t a, Py_ssize_t b, Py_ssize_t len) {
    auto clamp = [len](Py_ssize_t i) {
        if (i < 0) i = i < -len ? 0 : i + len;
        return std::min(i, len);
    };
    const Py_ssize_t lo = clamp(a), hi = clamp(b);
    return {lo, std::max(lo, hi)};
}

Py_ssize_t sat_mul(Py_ssize_t a, Py_ssize_t b) {
    Py_ssize_t r = 0;
    if (!__builtin_mul_overflow(a, b, &r)) return r;
    return (a < 0) != (b < 0) ? PY_SSIZE_T_MIN / 2 : PY_SSIZE_T_MAX / 2;
}

// The nested lists of shape over flat: level k splits its run of flat into
// shape[k] runs of stride prod(shape[k+1:]) (Python slices, so short data
// gives short lists), the last level is the run cut to shape[-1].  Built
// with an explicit stack: linear in the output and safe at any depth.
Ref unflatten(PyObject* flat, PyObject* shape) {
    const std::vector<Py_ssize_t> dims = shape_dims(shape);
    const Py_ssize_t ndim = static_cast<Py_ssize_t>(dims.size());
    if (ndim == 0) {
        if (py::length(flat) == 0) return py::from_double(0.0);
        return py::check(PySequence_GetItem(flat, 0));
    }
    const Py_ssize_t total = py::length(flat);
    // The lists above the last level are made whatever the data: refuse a
    // shape that asks for more of them than memory could hold.
    {
        Py_ssize_t level = 1, lists = 0;
        for (Py_ssize_t k = 0; k + 1 < ndim; ++k) {
            level = sat_mul(level, std::max<Py_ssize_t>(dims[k], 0));
            lists = std::min(lists + level, PY_SSIZE_T_MAX / 2);
        }
        check_fits(lists, 64);
    }
    std::vector<Py_ssize_t> stride(dims.size(), 1);
    for (Py_ssize_t k = ndim - 2; k >= 0; --k) stride[k] = sat_mul(stride[k + 1], dims[k + 1]);
    auto leaf = [&](Py_ssize_t lo, Py_ssize_t hi) {
        const auto [a, b] = slice_bounds(0, dims[ndim - 1], hi - lo);
        return py::check(PySequence_GetSlice(flat, lo + a, lo + b));
    };
    if (ndim == 1) return py::check(PySequence_GetSlice(flat, 0, dims[0]));
    struct Frame {
        Ref out;
        Py_ssize_t lo, hi, i;
    };
    std::vector<Frame> stack;
    stack.push_back({py::check(PyList_New(0)), 0, total, 0});
    for (;;) {
        Frame& f = stack.back();
        const Py_ssize_t k = static_cast<Py_ssize_t>(stack.size()) - 1;
        if (f.i >= dims[k]) {
            Ref done = std::move(f.out);
            stack.pop_back();
            if (stack.empty()) return done;
            py::check_int(PyList_Append(stack.back().out.get(), done.get()));
            continue;
        }
        const auto [a, b] = slice_bounds(sat_mul(f.i, stride[k]), sat_mul(f.i + 1, stride[k]), f.hi - f.lo);
        ++f.i;
        if (k + 2 == ndim) {
            Ref part = leaf(f.lo + a, f.lo + b);
            py::check_int(PyList_Append(f.out.get(), part.get()));
        } else {
            const Py_ssize_t lo = f.lo;
            stack.push_back({py::check(PyList_New(0)), lo + a, lo + b, 0});
        }
    }
}

// (device records, shape) of data converted element by element by exact
// value.  Float arrays take the kernel, which stores each double's own
// value; other arrays are read element by element.
std::pair<Ref, Ref> exact_records(PyObject* data) {
    Ref flat, shape;
    if (py::isinstance(data, S().np_ndarray)) {
        shape = py::getattr(data, "shape");
        Ref dtype = py::getattr(data, "dtype");
        Ref kind = py::getattr(dtype.get(), "kind");
        Ref itemsize = py::getattr(dtype.get(), "itemsize");
        if (PyUnicode_CompareWithASCIIString(kind.get(), "f") == 0 && py::as_ssize(itemsize.get()) <= 8) {
            Ref floats = py::call_method(data, "astype", S().np_float64);
            Ref raveled = py::call_method(floats.get(), "ravel");
            return {upload_doubles(raveled.get()), std::move(shape)};
        }
        Ref raveled = py::call_method(data, "ravel");
        // tolist() gives ints for integer arrays and the objects of object
        // arrays; other kinds keep their NumPy scalars, read exactly below.
        flat = PyUnicode_CompareWithASCIIString(kind.get(), "f") == 0 ? py::check(PySequence_List(raveled.get()))
                                                                      : py::call_method(raveled.get(), "tolist");
    } else {
        auto parts = flatten(data);
        flat = std::move(parts.first);
        shape = std::move(parts.second);
    }
    const Py_ssize_t n = py::length(flat.get());
    std::vector<fp_t> recs(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref item = py::check(PySequence_GetItem(flat.get(), i));
        exact_value_to_record(item.get(), recs[i]);
    }
    return {upload_records(recs.data(), n), std::move(shape)};
}

bool shape_given(PyObject* shape) { return shape && shape != Py_None && py::truthy(shape); }

void set_fields(PyObject* self, Ref data, Ref shape) {
    TensorObject* t = tensor_obj(self);
    Py_XSETREF(t->data, data.release());
    Py_XSETREF(t->shape, shape.release());
}

int tensor_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"data", "shape", "_raw", "exact"};
    if (PyTuple_GET_SIZE(args) > 3) {  // `exact` is keyword-only
        py::raisef(PyExc_TypeError, "__init__() takes at most 3 positional arguments (%zd given)",
                   PyTuple_GET_SIZE(args));
    }
    auto [data, shape, raw, exact] = parse_init_args("__init__", names, 0, args, kwargs);
    if (raw && raw != Py_None) {
        Ref s = shape_given(shape) ? Ref::borrow(shape) : shape_tuple({py::length(raw)});
        set_fields(self, Ref::borrow(raw), std::move(s));
        return 0;
    }
    if (!data || data == Py_None) {
        set_fields(self, dev_zeros(1), py::check(PyTuple_New(0)));
        return 0;
    }
    if (exact && py::truthy(exact)) {
        auto [arr, inferred] = exact_records(data);
        set_fields(self, std::move(arr), shape_given(shape) ? Ref::borrow(shape) : std::move(inferred));
        return 0;
    }
    if (py::isinstance(data, S().np_ndarray)) {
        Ref inferred = py::getattr(data, "shape");
        Ref floats = py::call_method(data, "astype", S().np_float64);
        Ref flat = py::call_method(floats.get(), "ravel");
        Ref arr = upload_doubles(flat.get());
        set_fields(self, std::move(arr), shape_given(shape) ? Ref::borrow(shape) : std::move(inferred));
        return 0;
    }
    auto [flat, inferred] = flatten(data);
    Ref arr = call_global("to_gpu", flat.get());
    set_fields(self, std::move(arr), shape_given(shape) ? Ref::borrow(shape) : std::move(inferred));
    return 0;
}

PyObject* field_or_raise(PyObject* self, PyObject* TensorObject::*field, const char* name) {
    return slot_or_raise(self, tensor_obj(self)->*field, name);
}

Ref self_to_list(PyObject* self) {
    PyObject* data = field_or_raise(self, &TensorObject::data, "_data");
    PyObject* shape = field_or_raise(self, &TensorObject::shape, "_shape");
    Ref flat = call_global("from_gpu", data, Py_True);
    if (!PyList_Check(flat.get()) && !PyTuple_Check(flat.get())) {
        Ref wrapped = py::check(PyList_New(1));
        PyList_SET_ITEM(wrapped.get(), 0, flat.release());
        flat = std::move(wrapped);
    }
    Ref as_list = py::check(PySequence_List(flat.get()));
    return unflatten(as_list.get(), shape);
}

Py_ssize_t self_numel(PyObject* self) { return py::length(field_or_raise(self, &TensorObject::data, "_data")); }

// --- methods -----------------------------------------------------------------

Ref m_flatten(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"data"};
    auto [data] = parse_args("_flatten", names, 1, args, nargs, kwnames);
    auto [flat, shape] = flatten(data);
    return py::tuple(std::move(flat), std::move(shape));
}

Ref m_unflatten(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"flat", "shape"};
    auto [flat, shape] = parse_args("_unflatten", names, 2, args, nargs, kwnames);
    return unflatten(flat, shape);
}

Ref m_clone(PyObject* self) {
    Ref copy = copy_records(field_or_raise(self, &TensorObject::data, "_data"));
    return make_tensor(std::move(copy), field_or_raise(self, &TensorObject::shape, "_shape"));
}

Ref m_to_list(PyObject* self) {
    return self_to_list(self);
}

Ref m_item(PyObject* self) {
    if (self_numel(self) != 1) py::raise(PyExc_ValueError, "item() requires single element");
    Ref flat = call_global("from_gpu", tensor_obj(self)->data);
    return py::check(PySequence_GetItem(flat.get(), 0));
}

Ref tensor_repr(PyObject* self) {
    if (self_numel(self) <= 10) {
        Ref list = self_to_list(self);
        return py::check(PyUnicode_FromFormat("Tensor(%S)", list.get()));
    }
    return py::check(PyUnicode_FromFormat("Tensor(shape=%S)", field_or_raise(self, &TensorObject::shape, "_shape")));
}

Ref get_shape(PyObject* self, void*) {
    return Ref::borrow(field_or_raise(self, &TensorObject::shape, "_shape"));
}

Ref get_numel(PyObject* self, void*) {
    return py::from_ssize(self_numel(self));
}

Ref get_T(PyObject* self, void*) {
    if (py::length(field_or_raise(self, &TensorObject::shape, "_shape")) < 2) return Ref::borrow(self);
    Ref d0 = py::from_long(-2), d1 = py::from_long(-1);
    return call_global("transpose", self, d0.get(), d1.get());
}

PyMethodDef tensor_methods[] = {
    type_method<m_flatten>("_flatten", "_flatten(data)\n--\n\nFlatten nested list.", METH_STATIC),
    noargs_method<m_clone>("clone", "clone($self, /)\n--\n\nIndependent copy of the tensor's records."),
    noargs_method<m_to_list>("to_list", "to_list($self, /)\n--\n\nConvert to Python list."),
    type_method<m_unflatten>("_unflatten", "_unflatten(flat, shape)\n--\n\nRebuild nested lists.", METH_STATIC),
    noargs_method<m_item>("item", "item($self, /)\n--\n\nGet scalar value."),
    noargs_method<tensor_to_fractions>(
        "to_fractions",
        "to_fractions($self, /)\n--\n\nExact values as nested lists of Fraction (a Fraction for a 0-d tensor)."),
    noargs_method<tensor_numpy>(
        "numpy", "numpy($self, /)\n--\n\nA float64 NumPy array in the tensor's shape, rounded as to_list rounds."),
    type_method<tensor_array>("__array__",
                              "__array__($self, /, dtype=None, copy=None)\n--\n\nThe array of numpy()."),
    noargs_method<tensor_reduce>(
        "__reduce__", "__reduce__($self, /)\n--\n\nPickle as host records and the shape, loadable on either device."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef tensor_getset[] = {
    {"shape", entry_of<get_shape>, nullptr, "The shape.", nullptr},
    {"numel", entry_of<get_numel>, nullptr, "Number of records.", nullptr},
    {"T", entry_of<get_T>, nullptr, "Transpose (swap last two dimensions).", nullptr},
    {"ndim", entry_of<tensor_ndim>, nullptr, "Number of dimensions, len(shape).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef tensor_members[] = {
    {"_data", Py_T_OBJECT_EX, offsetof(TensorObject, data), 0, nullptr},
    {"_shape", Py_T_OBJECT_EX, offsetof(TensorObject, shape), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// The class docstring: the summary line, then the long text (Google style,
// with an example that runs as a doctest).
constexpr const char kTensorDoc[] = "Tensor(data=None, shape=None, _raw=None, *, exact=False)\n--\n\n"
                                    "GPU Fixed-Point Tensor." R"doc(

A dense tensor of 512-bit signed fixed-point numbers (256 integer bits, 256
fraction bits): a flat device array of 72-byte records in row-major order
and a shape. Operations never modify their operands; each returns a new
tensor.

``Tensor(data)`` is ``tensor(data)``: numbers, decimal strings, Fractions,
Decimals, nested lists and NumPy arrays, converted as ``tensor`` documents
(a list whose first element is an int or a float goes through doubles; with
``exact=True`` every element is converted by its exact value). ``Tensor()``
is a zero of shape ``()``. A ``shape`` given with the data replaces the
inferred one without a check; operations that read records through the
shape refuse a tensor whose shape does not match its records.

Operators: ``+ - * /`` (a number or list on either side is converted with
``tensor`` first), unary ``-``, ``@`` (``matmul``) and ``**`` (``pow``, an
integral exponent). ``==`` is identity, as for any object: compare values
with ``eq`` or ``checksums_match``. Indexing takes NumPy's basic indices
(ints, slices, ``...``, ``None``) and returns a new tensor; assignment
through an index writes records in place. ``len``, iteration over rows and
``sum()``, ``mean()``, ``max()``, ``min()`` follow the module functions.

Reading back: ``to_fractions()`` gives the exact values, ``to_list()``,
``item()`` and ``numpy()`` give doubles (each record rounded to nearest),
``repr`` shows doubles for up to ten elements.

Args:
    data: the values; None gives a zero of shape ``()``.
    shape: a shape to use instead of the inferred one.
    exact: convert every element by its exact value (keyword only).

Raises:
    OverflowError: a value of magnitude 2^256 or more, or an infinity.
    ValueError: a NaN.
    TypeError: an element that is not a number.

Example:
    >>> t = zel.Tensor([[1, 2], [3, 4]])
    >>> t.shape, (t + 1).to_list(), (2 - t)[0].to_list()
    ((2, 2), [[2.0, 3.0], [4.0, 5.0]], [1.0, 0.0])
    >>> zel.Tensor([Fraction(1, 3)]).to_fractions() == [Fraction(1, 3)]
    False
)doc";

PyType_Slot tensor_slots[] = {
    {Py_tp_doc, const_cast<char*>(kTensorDoc)},
    {Py_tp_init, reinterpret_cast<void*>(entry_of<tensor_init>)},
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    ZEL_SLOT_TYPE_GC(TensorObject),
    {Py_tp_repr, reinterpret_cast<void*>(entry_of<tensor_repr>)},
    {Py_tp_methods, tensor_methods},
    {Py_tp_getset, tensor_getset},
    {Py_tp_members, tensor_members},
    {Py_mp_subscript, reinterpret_cast<void*>(entry_of<tensor_getitem>)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(entry_of<tensor_setitem>)},
    {Py_mp_length, reinterpret_cast<void*>(entry_of<tensor_len>)},
    {Py_tp_iter, reinterpret_cast<void*>(entry_of<tensor_iter>)},
    {Py_nb_bool, reinterpret_cast<void*>(tensor_bool)},
    {0, nullptr},
};

PyType_Spec tensor_spec = {"tarnex.zel.zel.Tensor", sizeof(TensorObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, tensor_slots};

}  // namespace

PyTypeObject* tensor_type() { return g_tensor_type; }

bool is_tensor(PyObject* o) { return PyObject_TypeCheck(o, g_tensor_type); }

Ref make_tensor(Ref data, PyObject* shape) {
    Ref s = shape_given(shape) ? Ref::borrow(shape) : shape_tuple({py::length(data.get())});
    Ref t = py::check(PyType_GenericAlloc(g_tensor_type, 0));
    set_fields(t.get(), std::move(data), std::move(s));
    return t;
}

Ref make_tensor_as(Ref data, Ref shape) {
    Ref t = py::check(PyType_GenericAlloc(g_tensor_type, 0));
    set_fields(t.get(), std::move(data), std::move(shape));
    return t;
}

Ref as_tensor(PyObject* o) { return is_tensor(o) ? Ref::borrow(o) : call_global("tensor", o); }

Ref tensor_data(PyObject* t) {
    if (is_tensor(t) && tensor_obj(t)->data) return Ref::borrow(tensor_obj(t)->data);
    return py::getattr(t, "_data");
}

Ref tensor_shape(PyObject* t) {
    if (is_tensor(t) && tensor_obj(t)->shape) return Ref::borrow(tensor_obj(t)->shape);
    return py::getattr(t, "_shape");
}

Ref doubles_tensor(const double* x, Py_ssize_t n) {
    Ref list = py::float_list(x, n);
    return call_global("tensor", list.get());
}

Ref shape_tuple(std::initializer_list<Py_ssize_t> dims) { return shape_tuple(std::vector<Py_ssize_t>(dims)); }

Ref shape_tuple(const std::vector<Py_ssize_t>& dims) {
    Ref t = py::check(PyTuple_New(static_cast<Py_ssize_t>(dims.size())));
    for (size_t i = 0; i < dims.size(); ++i) {
        PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), py::from_ssize(dims[i]).release());
    }
    return t;
}

std::vector<Py_ssize_t> shape_dims(PyObject* shape) {
    Ref seq = py::check(PySequence_Fast(shape, "shape must be a sequence"));
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    std::vector<Py_ssize_t> dims(n);
    for (Py_ssize_t i = 0; i < n; ++i) dims[i] = py::as_ssize(PySequence_Fast_GET_ITEM(seq.get(), i));
    return dims;
}

Py_ssize_t shape_count(const std::vector<Py_ssize_t>& dims) {
    Py_ssize_t n = 1;
    bool zero = false;
    for (Py_ssize_t d : dims) zero |= d == 0;
    if (zero) return 0;
    for (Py_ssize_t d : dims) {
        if (__builtin_mul_overflow(n, d, &n)) {
            py::raise(PyExc_MemoryError, "shape describes more records than can be allocated");
        }
    }
    check_fits(n, kRecordBytes);
    return n;
}

std::vector<Py_ssize_t> checked_dims(PyObject* data, PyObject* shape) {
    const Py_ssize_t have = dev_length(data);
    std::vector<Py_ssize_t> dims;
    bool valid = PyTuple_Check(shape) || PyList_Check(shape);
    Py_ssize_t count = 1;
    if (valid) {
        Ref seq = py::check(PySequence_Tuple(shape));
        for (Py_ssize_t i = 0; valid && i < PyTuple_GET_SIZE(seq.get()); ++i) {
            PyObject* item = PyTuple_GET_ITEM(seq.get(), i);
            const Py_ssize_t d = PyLong_Check(item) ? PyLong_AsSsize_t(item) : -1;
            if (d == -1 && PyErr_Occurred()) PyErr_Clear();
            valid = d >= 0;
            dims.push_back(d);
            if (valid && count >= 0 && __builtin_mul_overflow(count, d, &count)) count = -1;
        }
    }
    if (!valid) {
        py::raisef(PyExc_ValueError,
                   "Size mismatch: tensor shape %R is not a shape of non-negative ints (the tensor holds %zd records)",
                   shape, have);
    }
    if (count != have) {
        py::raisef(PyExc_ValueError, "Size mismatch: tensor shape %R does not match its %zd records", shape, have);
    }
    return dims;
}

std::vector<Py_ssize_t> checked_dims(PyObject* t) {
    Ref data = tensor_data(t), shape = tensor_shape(t);
    return checked_dims(data.get(), shape.get());
}

void define_tensor(PyObject* m) {
    if (!g_tensor_type) {
        g_tensor_type = reinterpret_cast<PyTypeObject*>(py::check(PyType_FromSpec(&tensor_spec)).release());
        // Instances carry exactly these two slots and no __dict__.
        Ref slots = py::check(Py_BuildValue("[ss]", "_data", "_shape"));
        py::check_int(PyObject_SetAttrString(reinterpret_cast<PyObject*>(g_tensor_type), "__slots__", slots.get()));
        Ref modname = py::from_str("tarnex.zel.zel");
        py::check_int(PyObject_SetAttrString(reinterpret_cast<PyObject*>(g_tensor_type), "__module__", modname.get()));
        // Above NumPy's own priority, so `ndarray + t` calls t.__radd__ and
        // stays exact instead of converting t through __array__ to doubles.
        Ref priority = py::from_double(1000.0);
        py::check_int(
            PyObject_SetAttrString(reinterpret_cast<PyObject*>(g_tensor_type), "__array_priority__", priority.get()));
    }
    bind("Tensor", reinterpret_cast<PyObject*>(g_tensor_type));
    (void)m;
}

}  // namespace zel
