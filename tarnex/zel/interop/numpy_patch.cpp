// Replacement of 24 NumPy functions, process-wide, by wrappers that convert
// array arguments to Tensors, call the module's exact function and convert
// the result back; and their restoration.  The bookkeeping lives in module
// globals (_numpy_originals, _numpy_patched, _NUMPY_TO_ZEL).
//
// A wrapper keeps NumPy's calling conventions: it takes integer and float
// arrays (object arrays of ints and Fractions for ring arithmetic), NumPy
// scalars and Python numbers beside them, computes exactly, and returns what
// NumPy would return for the call (dtype, NumPy scalars), rounded once.
// Everything else goes to the saved NumPy function.
#include <cmath>
#include <iterator>
#include <utility>
#include <vector>

#include "../complex/complex.hpp"
#include "../core/convert.hpp"
#include "../core/gmp.hpp"
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

// The meaning of a wrapper, in the order of kNumpyToZel.
enum class Op {
    Add, Sub, Mul, Div, Neg, Abs, Sign, Pow, Mod, Sum, Prod, Max, Min, Mean, Std, Var,
    Dot, Matmul, Exp, Log, Sqrt, Sin, Cos, Tan, Unknown
};
static_assert(static_cast<size_t>(Op::Unknown) == std::size(kNumpyToZel));

// Names whose results are always returned as a scalar.
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
    Op op;     // which NumPy function zel_func stands in for
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
Ref get_signature(PyObject*, void*) {
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
    return Ref::borrow(sig);
}

PyGetSetDef wrapper_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__signature__", entry_of<get_signature>, nullptr, nullptr, nullptr},
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

// ---------------------------------------------------------------------------
// NumPy's calling conventions.  `take_*` functions return an empty Ref (or
// false) for a call the exact path cannot take; the wrapper then hands the
// call to the saved NumPy function, which answers it (or raises) as NumPy
// does.

// NumPy objects the exact path uses, looked up once.  None of them is a
// name the patch replaces.
struct NumpyApi {
    PyObject* generic;
    PyObject* asarray;
    PyObject* ascontiguousarray;
    PyObject* ones;
    PyObject* empty;
    PyObject* broadcast_shapes;
    PyObject* broadcast_to;
    PyObject* int64;
    PyObject* uint64;
};

const NumpyApi& npapi() {
    static NumpyApi api = [] {
        PyObject* np = S().np;
        auto get = [&](const char* name) { return py::getattr(np, name).release(); };
        return NumpyApi{get("generic"), get("asarray"), get("ascontiguousarray"), get("ones"), get("empty"),
                        get("broadcast_shapes"), get("broadcast_to"), get("int64"), get("uint64")};
    }();
    return api;
}

// f(*args), or an empty Ref when it raised an ordinary exception (cleared).
Ref attempt(PyObject* f, PyObject* args) {
    PyObject* r = PyObject_Call(f, args, nullptr);
    if (r) return Ref::steal(r);
    if (!PyErr_ExceptionMatches(PyExc_Exception)) py::fail();
    PyErr_Clear();
    return {};
}

template <class... A>
Ref attempt_call(PyObject* f, A... args) {
    Ref t = py::check(PyTuple_Pack(sizeof...(A), args...));
    return attempt(f, t.get());
}

Py_ssize_t attr_ssize(PyObject* o, const char* name) {
    Ref v = py::getattr(o, name);
    return py::as_ssize(v.get());
}

char dtype_kind(PyObject* dtype) {
    Ref kind = py::getattr(dtype, "kind");
    const char* k = PyUnicode_AsUTF8(kind.get());
    if (!k) py::fail();
    return k[0];
}

// Integers of up to 64 bits and binary floats of up to 64 bits are numbers
// the records hold exactly; bool, complex, extended precision and the rest
// are NumPy's.  Object arrays are taken when their elements are (below).
bool exact_dtype(PyObject* dtype) {
    const char k = dtype_kind(dtype);
    if (k == 'i' || k == 'u' || k == 'O') return true;
    return k == 'f' && attr_ssize(dtype, "itemsize") <= 8;
}

// An operand: a NumPy array (a scalar is a 0-d array) and what stands for it
// when NumPy is asked for the result's type.  Python ints and floats stand
// for themselves, so NumPy applies its rules for them (they adopt the other
// operand's type); arrays and NumPy scalars are stood for by ones of their
// dtype, which no NumPy rule treats differently from other values.
struct Operand {
    Ref arr;
    Ref probe;
    bool python_scalar = false;
    bool object = false;  // an object array of ints and Fractions
    bool ints = false;    // integers only (integer dtype, or ints in an object array)
};

// Elements of an object array the exact path takes: ints (not bool) and
// Fractions, the exact numbers NumPy's object arithmetic works with.
// Whether each lies on the grid is decided at conversion.
bool take_object_elements(PyObject* arr, bool& ints) {
    Ref flat = py::call_method(arr, "ravel");
    Ref items = py::call_method(flat.get(), "tolist");
    ints = true;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* v = PyList_GET_ITEM(items.get(), i);
        if (PyLong_Check(v) && !PyBool_Check(v)) continue;
        if (!py::isinstance(v, S().Fraction)) return false;
        ints = false;
    }
    return true;
}

bool take_operand(PyObject* a, Operand& out) {
    const NumpyApi& api = npapi();
    if (PyBool_Check(a)) return false;
    const bool generic = py::isinstance(a, api.generic);
    if (!generic && (PyLong_CheckExact(a) || PyFloat_CheckExact(a))) {
        out.arr = attempt_call(api.asarray, a);
        out.probe = Ref::borrow(a);
        out.python_scalar = true;
    } else if (generic || Py_TYPE(a) == reinterpret_cast<PyTypeObject*>(S().np_ndarray) || PyList_Check(a) ||
               PyTuple_Check(a)) {
        // Subclasses of ndarray (matrix, masked arrays) keep their own
        // meaning and go to NumPy.
        out.arr = Py_TYPE(a) == reinterpret_cast<PyTypeObject*>(S().np_ndarray) ? Ref::borrow(a)
                                                                                : attempt_call(api.asarray, a);
    } else {
        return false;
    }
    if (!out.arr || Py_TYPE(out.arr.get()) != reinterpret_cast<PyTypeObject*>(S().np_ndarray)) return false;
    Ref dtype = py::getattr(out.arr.get(), "dtype");
    if (!exact_dtype(dtype.get()) || attr_ssize(out.arr.get(), "size") == 0) return false;
    const char kind = dtype_kind(dtype.get());
    out.ints = kind == 'i' || kind == 'u';
    if (kind == 'O') {
        out.object = true;
        return take_object_elements(out.arr.get(), out.ints);
    }
    if (!out.python_scalar) {
        const Py_ssize_t ndim = attr_ssize(out.arr.get(), "ndim");
        Ref shape = py::check(PyTuple_New(ndim));
        for (Py_ssize_t i = 0; i < ndim; ++i) PyTuple_SET_ITEM(shape.get(), i, py::from_long(1).release());
        out.probe = py::call(api.ones, shape.get(), dtype.get());
    }
    return true;
}

// --- records of NumPy values -------------------------------------------------

// The record of a finite double when it lies on the grid of 2^-256 and below
// 2^256 in magnitude (every double of magnitude 2^-204 or more does);
// false otherwise.
bool double_record(double x, fp_t& r) {
    zero_n<kLimbs>(r.limb);
    if (!std::isfinite(x) || std::fabs(x) >= 0x1p256) return false;
    if (x != 0.0) {
        int e = 0;
        uint64_t m = static_cast<uint64_t>(std::ldexp(std::frexp(std::fabs(x), &e), 53));
        int shift = e - 53 + kFracBits;  // |x| * 2^256 = m * 2^shift
        if (shift < 0) {
            if (shift <= -53 || (m & ((uint64_t(1) << -shift) - 1))) return false;
            m >>= -shift;
            shift = 0;
        }
        const int word = shift / 64, off = shift % 64;
        r.limb[word] = m << off;
        if (off && word + 1 < kLimbs) r.limb[word + 1] = m >> (64 - off);
    }
    fp_set_sign(r, x < 0);
    return true;
}

void int_record(int64_t v, fp_t& r) {
    zero_n<kLimbs>(r.limb);
    r.limb[4] = v < 0 ? uint64_t(0) - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    fp_set_sign(r, v < 0);
}

// The record of an int or a Fraction when it is the exact value (a dyadic
// fraction on the grid, below 2^256); false otherwise.
bool object_record(PyObject* v, fp_t& r) {
    try {
        value_to_record(v, r);
    } catch (const py::Error&) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw;
        PyErr_Clear();
        return false;
    }
    if (PyLong_Check(v)) return true;
    Ref back = record_to_fraction(r);
    const int same = PyObject_RichCompareBool(back.get(), v, Py_EQ);
    if (same < 0) py::fail();
    return same == 1;
}

// The records of an array's elements in C order; false when one of them is
// not a record exactly (NaN, infinities, out of range, off the grid).
// Records have no negative zero: `negzero`, when given, marks the -0.0s.
bool array_records(PyObject* arr, std::vector<fp_t>& out, std::vector<uint8_t>* negzero = nullptr) {
    const NumpyApi& api = npapi();
    Ref dtype = py::getattr(arr, "dtype");
    const char kind = dtype_kind(dtype.get());
    if (kind == 'O') {
        Ref flat = py::call_method(arr, "ravel");
        Ref items = py::call_method(flat.get(), "tolist");
        const Py_ssize_t n = PyList_GET_SIZE(items.get());
        out.resize(n);
        if (negzero) negzero->assign(n, 0);
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (!object_record(PyList_GET_ITEM(items.get(), i), out[i])) return false;
        }
        return true;
    }
    PyObject* as = kind == 'f' ? S().np_float64 : kind == 'i' ? api.int64 : api.uint64;
    Ref contiguous = py::call(api.ascontiguousarray, arr, as);
    Ref flat = py::call_method(contiguous.get(), "ravel");
    const Py_ssize_t n = py::length(flat.get());
    Buffer buf(flat.get(), false);
    out.resize(n);
    if (negzero) negzero->assign(n, 0);
    if (kind == 'f') {
        const double* x = static_cast<const double*>(buf.data());
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (!double_record(x[i], out[i])) return false;
            if (negzero && x[i] == 0.0 && std::signbit(x[i])) (*negzero)[i] = 1;
        }
    } else if (kind == 'i') {
        const int64_t* x = static_cast<const int64_t*>(buf.data());
        for (Py_ssize_t i = 0; i < n; ++i) int_record(x[i], out[i]);
    } else {
        const uint64_t* x = static_cast<const uint64_t*>(buf.data());
        for (Py_ssize_t i = 0; i < n; ++i) {
            zero_n<kLimbs>(out[i].limb);
            out[i].limb[4] = x[i];
            fp_set_sign(out[i], false);
        }
    }
    return true;
}

Ref records_tensor(const std::vector<fp_t>& recs, PyObject* shape) {
    return make_tensor(upload_records(recs.data(), static_cast<Py_ssize_t>(recs.size())), shape);
}

std::vector<fp_t> tensor_records(PyObject* t) {
    std::vector<fp_t> out;
    Ref data = tensor_data(t);
    read_records(data.get(), out);
    return out;
}

bool is_saturated(const fp_t& r) {
    for (int i = 0; i < kLimbs; ++i) {
        if (r.limb[i] != ~uint64_t(0)) return false;
    }
    return true;
}

bool record_bit(const fp_t& r, int i) { return i >= 0 && i < kMagBits && ((r.limb[i / 64] >> (i % 64)) & 1); }

// Bits [s, s + 64) of the magnitude.
uint64_t record_window(const fp_t& r, int s) {
    const int word = s / 64, off = s % 64;
    if (word >= kLimbs) return 0;
    uint64_t v = r.limb[word] >> off;
    if (off && word + 1 < kLimbs) v |= r.limb[word + 1] << (64 - off);
    return v;
}

bool any_bit_below(const fp_t& r, int s) {
    for (int w = 0; w < kLimbs && 64 * w < s; ++w) {
        const uint64_t mask = s - 64 * w >= 64 ? ~uint64_t(0) : (uint64_t(1) << (s - 64 * w)) - 1;
        if (r.limb[w] & mask) return true;
    }
    return false;
}

// The record's value rounded to nearest, ties to even, in a binary format
// of p significant bits whose normal numbers start at 2^emin (subnormals
// below), returned as the double of the same value.  One rounding from the
// exact record: binary32 results are not rounded through binary64 first.
int top_bit(const fp_t& r);

double round_record(const fp_t& r, int p, int emin) {
    const int top = top_bit(r);
    if (top < 0) return 0.0;
    const int e = top - kFracBits;
    const int s = (e > emin ? e : emin) - p + 1 + kFracBits;  // weight of the last kept bit, in record units
    double v;
    if (s <= 0) {
        v = std::ldexp(static_cast<double>(r.limb[0]), -kFracBits);  // at most p <= 53 bits
    } else {
        uint64_t q = record_window(r, s);
        if (record_bit(r, s - 1) && ((q & 1) || any_bit_below(r, s - 1))) ++q;
        v = std::ldexp(static_cast<double>(q), s - kFracBits);
    }
    return fp_is_neg(r) ? -v : v;
}

int top_bit(const fp_t& r) {
    for (int w = kLimbs - 1; w >= 0; --w) {
        if (r.limb[w]) return 64 * w + 63 - __builtin_clzll(r.limb[w]);
    }
    return -1;
}

// NumPy's answer built from result records: an array of `dtype` in `shape`,
// or its first element as a scalar.  Empty where NumPy's own answer is the
// one to give: a record saturated (the exact result left the range), an
// integer dtype meets a value that is not an integer, a float result
// overflows its format or falls into its subnormal range or to zero (NumPy's
// overflow and underflow flags and errstate apply), or, for a result the
// grid had to round (`inexact`), the record keeps fewer significant bits
// than the format: there NumPy's float answer is the more precise one.  An
// object dtype gets the records' exact values: ints where `ints` (integer
// arithmetic on integers), Fractions otherwise.  Float zeros marked in
// `negative_zero` are written as -0.0.
Ref numpy_result(const std::vector<fp_t>& recs, PyObject* shape, PyObject* dtype, bool scalar, bool inexact,
                 bool ints, const std::vector<uint8_t>* negative_zero = nullptr) {
    const NumpyApi& api = npapi();
    const Py_ssize_t n = static_cast<Py_ssize_t>(recs.size());
    for (const fp_t& r : recs) {
        if (is_saturated(r)) return {};
    }
    const char kind = dtype_kind(dtype);
    Ref out;
    if (kind == 'O') {
        Ref items = py::check(PyList_New(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            Ref v = record_to_fraction(recs[i]);
            if (ints) v = py::getattr(v.get(), "numerator");
            PyList_SET_ITEM(items.get(), i, v.release());
        }
        if (scalar) return py::check(PySequence_GetItem(items.get(), 0));
        out = py::call(api.empty, py::from_ssize(n).get(), dtype);
        Ref all = py::check(PySlice_New(nullptr, nullptr, nullptr));
        py::check_int(PyObject_SetItem(out.get(), all.get(), items.get()));
        return py::call_method(out.get(), "reshape", shape);
    }
    if (kind == 'f') {
        const Py_ssize_t size = attr_ssize(dtype, "itemsize");
        const int p = size == 8 ? 53 : size == 4 ? 24 : 11;
        const int emin = size == 8 ? -1022 : size == 4 ? -126 : -14;
        const double largest = std::ldexp(2.0 - std::ldexp(1.0, 1 - p), size == 8 ? 1023 : size == 4 ? 127 : 15);
        const double smallest = std::ldexp(1.0, emin);
        out = py::call(api.empty, py::from_ssize(n).get(), S().np_float64);
        Buffer buf(out.get(), true);
        double* x = static_cast<double*>(buf.data());
        for (Py_ssize_t i = 0; i < n; ++i) {
            const int top = top_bit(recs[i]);
            if (inexact && top >= 0 && top < p - 1) return {};
            x[i] = round_record(recs[i], p, emin);
            const double mag = std::fabs(x[i]);
            if (mag > largest || (top >= 0 && mag < smallest)) return {};
            if (top < 0 && negative_zero && (*negative_zero)[i]) x[i] = -0.0;
        }
    } else {
        // Integer results wrap modulo 2^64 and then to the dtype's width, as
        // NumPy's integer arithmetic does.
        out = py::call(api.empty, py::from_ssize(n).get(), api.uint64);
        Buffer buf(out.get(), true);
        uint64_t* x = static_cast<uint64_t*>(buf.data());
        for (Py_ssize_t i = 0; i < n; ++i) {
            const fp_t& r = recs[i];
            if (r.limb[0] | r.limb[1] | r.limb[2] | r.limb[3]) return {};
            x[i] = fp_is_neg(r) ? uint64_t(0) - r.limb[4] : r.limb[4];
        }
        if (kind == 'i') out = py::call_method(out.get(), "view", api.int64);
    }
    out = py::call_method(out.get(), "astype", dtype);
    if (scalar) return py::check(PySequence_GetItem(out.get(), 0));
    return py::call_method(out.get(), "reshape", shape);
}

bool any_zero(const std::vector<fp_t>& recs) {
    for (const fp_t& r : recs) {
        if (fp_is_zero(r)) return true;
    }
    return false;
}

bool any_negative(const std::vector<fp_t>& recs, bool or_zero) {
    for (const fp_t& r : recs) {
        if (fp_is_zero(r) ? or_zero : fp_is_neg(r)) return true;
    }
    return false;
}

// --- the operations ------------------------------------------------------------

bool is_unary(Op op) {
    switch (op) {
        case Op::Add: case Op::Sub: case Op::Mul: case Op::Div: case Op::Pow: case Op::Mod: case Op::Dot:
        case Op::Matmul:
            return false;
        default:
            return true;
    }
}

bool is_reduction(Op op) { return op >= Op::Sum && op <= Op::Var; }

bool is_one(const fp_t& r) {
    for (int i = 0; i < kLimbs; ++i) {
        if (r.limb[i] != (i == 4 ? 1u : 0u)) return false;
    }
    return !fp_is_neg(r);
}

// Operations whose exact result the grid of 2^-256 may have to round.
bool rounds_to_grid(Op op) {
    switch (op) {
        case Op::Add: case Op::Sub: case Op::Neg: case Op::Abs: case Op::Sign: case Op::Mod: case Op::Sum:
        case Op::Max: case Op::Min:
            return false;
        default:
            return true;
    }
}

// A zero record where the exact result cannot be zero: a nonzero value fell
// below the grid (NumPy gives it).  Negative ones floor to -2^-256 and are
// caught with the other results of too few bits.
bool fell_below_grid(Op op, const std::vector<fp_t>& out, const std::vector<std::vector<fp_t>>& in) {
    for (size_t i = 0; i < out.size(); ++i) {
        if (!fp_is_zero(out[i])) continue;
        switch (op) {
            case Op::Mul: if (!fp_is_zero(in[0][i]) && !fp_is_zero(in[1][i])) return true; break;
            case Op::Div: case Op::Pow: case Op::Sin: case Op::Tan: case Op::Sqrt:
                if (!fp_is_zero(in[0][i])) return true;
                break;
            case Op::Exp: case Op::Cos: return true;
            case Op::Log: if (!is_one(in[0][i])) return true; break;
            default: break;
        }
    }
    return false;
}

// A value's sign, a zero's from the -0.0 marks.
bool negative_at(const std::vector<fp_t>& recs, const std::vector<uint8_t>& negzero, size_t i) {
    return fp_is_zero(recs[i]) ? negzero[i] != 0 : fp_is_neg(recs[i]);
}

// Which zero results IEEE arithmetic (and so NumPy) signs negative: a sum
// only of -0.0 and -0.0, a difference -0.0 - (+0.0), products and quotients
// by the signs' parity, -(+0.0), and the odd functions at -0.0; remainders
// take the divisor's sign.
std::vector<uint8_t> negative_zeros(Op op, const std::vector<fp_t>& out, const std::vector<std::vector<fp_t>>& in,
                                    const std::vector<std::vector<uint8_t>>& nz) {
    std::vector<uint8_t> neg(out.size(), 0);
    for (size_t i = 0; i < out.size(); ++i) {
        if (!fp_is_zero(out[i])) continue;
        switch (op) {
            case Op::Add: neg[i] = nz[0][i] && nz[1][i]; break;
            case Op::Sub: neg[i] = nz[0][i] && fp_is_zero(in[1][i]) && !nz[1][i]; break;
            case Op::Mul: case Op::Div:
                neg[i] = negative_at(in[0], nz[0], i) != negative_at(in[1], nz[1], i);
                break;
            case Op::Neg: neg[i] = !nz[0][i]; break;
            case Op::Mod: neg[i] = negative_at(in[1], nz[1], i); break;
            case Op::Sqrt: case Op::Sin: case Op::Tan: neg[i] = nz[0][i]; break;
            default: break;
        }
    }
    return neg;
}

// Element-wise operations, operands broadcast by NumPy's rules.
Ref take_elementwise(PyObject* func, Op op, std::vector<Operand>& ops, PyObject* dtype, bool returns_scalar,
                     bool ints) {
    const NumpyApi& api = npapi();
    Ref shape;
    if (ops.size() == 1) {
        shape = py::getattr(ops[0].arr.get(), "shape");
    } else {
        Ref sa = py::getattr(ops[0].arr.get(), "shape"), sb = py::getattr(ops[1].arr.get(), "shape");
        shape = attempt_call(api.broadcast_shapes, sa.get(), sb.get());
        if (!shape) return {};
    }
    std::vector<std::vector<fp_t>> recs(ops.size());
    std::vector<std::vector<uint8_t>> negzero(ops.size());
    Ref tensors = py::check(PyTuple_New(static_cast<Py_ssize_t>(ops.size())));
    for (size_t i = 0; i < ops.size(); ++i) {
        Ref full = py::call(api.broadcast_to, ops[i].arr.get(), shape.get());
        if (!array_records(full.get(), recs[i], &negzero[i])) return {};
    }
    // NumPy's answers off the module's domain (inf, NaN, its own warnings)
    // are NumPy's to give.
    if ((op == Op::Div || op == Op::Mod) && any_zero(recs[1])) return {};
    if (op == Op::Log && any_negative(recs[0], true)) return {};
    if (op == Op::Sqrt && any_negative(recs[0], false)) return {};
    for (size_t i = 0; i < ops.size(); ++i) {
        PyTuple_SET_ITEM(tensors.get(), static_cast<Py_ssize_t>(i), records_tensor(recs[i], shape.get()).release());
    }
    Ref result = py::check(PyObject_Call(func, tensors.get(), nullptr));
    std::vector<fp_t> out = tensor_records(result.get());
    if (fell_below_grid(op, out, recs)) return {};
    const std::vector<uint8_t> neg = negative_zeros(op, out, recs, negzero);
    return numpy_result(out, shape.get(), dtype, returns_scalar || out.size() == 1, rounds_to_grid(op), ints, &neg);
}

// power with one integral exponent (a scalar); array exponents and
// fractional ones are NumPy's.
Ref take_power(PyObject* func, std::vector<Operand>& ops, PyObject* dtype, bool returns_scalar, bool ints) {
    if (attr_ssize(ops[1].arr.get(), "ndim") != 0) return {};
    Ref item = py::call_method(ops[1].arr.get(), "item");
    long long e;
    if (PyFloat_Check(item.get())) {
        const double d = PyFloat_AS_DOUBLE(item.get());
        if (!(std::fabs(d) < 0x1p31) || d != std::trunc(d)) return {};
        e = static_cast<long long>(d);
    } else {
        int overflow = 0;
        e = PyLong_AsLongLongAndOverflow(item.get(), &overflow);
        if (e == -1 && PyErr_Occurred()) py::fail();
        if (overflow || e >= (1LL << 31) || e < -(1LL << 31)) return {};
    }
    // NumPy refuses negative powers of integers, whatever the base; in
    // object arrays Python's operator makes them floats.
    if (e < 0 && dtype_kind(dtype) != 'f') return {};
    Ref shape = py::getattr(ops[0].arr.get(), "shape");
    std::vector<fp_t> recs;
    std::vector<uint8_t> negzero;
    if (!array_records(ops[0].arr.get(), recs, &negzero)) return {};
    Ref t = records_tensor(recs, shape.get());
    Ref result = py::call(func, t.get(), py::from_long(e).get());
    std::vector<fp_t> out = tensor_records(result.get());
    if (e > 0 && fell_below_grid(Op::Pow, out, {recs})) return {};
    // (-0.0) ** odd is -0.0.
    std::vector<uint8_t> neg(out.size(), 0);
    for (size_t i = 0; i < out.size(); ++i) neg[i] = fp_is_zero(out[i]) && negzero[i] && (e & 1);
    return numpy_result(out, shape.get(), dtype, returns_scalar || out.size() == 1, true, ints, &neg);
}

// sum, prod, max, min and mean over all elements.
Ref take_reduction(PyObject* func, Op op, std::vector<Operand>& ops, PyObject* dtype, bool ints) {
    std::vector<fp_t> recs;
    std::vector<uint8_t> negzero;
    if (!array_records(ops[0].arr.get(), recs, &negzero)) return {};
    Ref t = records_tensor(recs, shape_tuple({static_cast<Py_ssize_t>(recs.size())}).get());
    Ref result = py::check(PyObject_CallOneArg(func, t.get()));
    std::vector<fp_t> out = tensor_records(result.get());
    // A zero product is signed by the factors' parity; a zero maximum or
    // minimum is NumPy's last zero of the input (its ties keep the later).
    std::vector<uint8_t> neg(1, 0);
    if (op == Op::Prod && fp_is_zero(out[0])) {
        if (!any_zero(recs)) return {};
        for (size_t i = 0; i < recs.size(); ++i) neg[0] ^= negative_at(recs, negzero, i);
    }
    if ((op == Op::Max || op == Op::Min) && fp_is_zero(out[0])) {
        for (size_t i = 0; i < recs.size(); ++i) {
            if (fp_is_zero(recs[i])) neg[0] = negzero[i];
        }
    }
    return numpy_result(out, Py_None, dtype, true, rounds_to_grid(op), ints, &neg);
}

// NumPy's var and std: sum((x - mean)^2) / (n - ddof), and its square root.
// With X = x * 2^256 (integers), S1 = sum X and S2 = sum X^2, that is
// (n S2 - S1^2) / (n (n - ddof)) / 2^512: one exact rational, floored once
// to the grid (for std, floor(sqrt(q)) = isqrt(floor(q)) for real q >= 0).
Ref take_var(bool std_dev, std::vector<Operand>& ops, long long ddof, PyObject* dtype) {
    std::vector<fp_t> recs;
    if (!array_records(ops[0].arr.get(), recs)) return {};
    const long long n = static_cast<long long>(recs.size());
    if (ddof >= n) return {};
    Mpz s1, s2, x, num, den;
    for (const fp_t& r : recs) {
        mpz_import(x.v, kLimbs, -1, sizeof(uint64_t), 0, 0, r.limb);
        if (fp_is_neg(r)) mpz_neg(x.v, x.v);
        mpz_add(s1.v, s1.v, x.v);
        mpz_addmul(s2.v, x.v, x.v);
    }
    mpz_mul_si(num.v, s2.v, static_cast<long>(n));
    mpz_submul(num.v, s1.v, s1.v);
    mpz_set_si(den.v, static_cast<long>(n));
    mpz_mul_si(den.v, den.v, static_cast<long>(n - ddof));
    if (std_dev) {
        mpz_fdiv_q(num.v, num.v, den.v);
        mpz_sqrt(num.v, num.v);
    } else {
        mpz_mul_2exp(den.v, den.v, kFracBits);
        mpz_fdiv_q(num.v, num.v, den.v);
    }
    if (mpz_sizeinbase(num.v, 2) > static_cast<size_t>(kMagBits)) return {};
    std::vector<fp_t> out(1);
    zero_n<kLimbs>(out[0].limb);
    size_t count = 0;
    mpz_export(out[0].limb, &count, -1, sizeof(uint64_t), 0, 0, num.v);
    fp_set_sign(out[0], false);
    return numpy_result(out, Py_None, dtype, true, true, false);
}

// dot and matmul of vectors and matrices, through mm and mv (each output
// the floor of its exact sum of products).  Stacks of matrices are NumPy's.
Ref take_product(Op op, std::vector<Operand>& ops, PyObject* dtype, bool returns_scalar, bool ints) {
    PyObject* a = ops[0].arr.get();
    PyObject* b = ops[1].arr.get();
    const Py_ssize_t na = attr_ssize(a, "ndim"), nb = attr_ssize(b, "ndim");
    if (na == 0 || nb == 0) {
        if (op == Op::Matmul) return {};
        return take_elementwise(global("mul"), Op::Mul, ops, dtype, returns_scalar, ints);
    }
    if (na > 2 || nb > 2) return {};
    Ref sa = py::getattr(a, "shape"), sb = py::getattr(b, "shape");
    std::vector<Py_ssize_t> da = shape_dims(sa.get()), db = shape_dims(sb.get());
    if (da.back() != db.front()) return {};
    std::vector<fp_t> ra, rb;
    Ref bt = nb == 2 && na == 1 ? py::getattr(b, "T") : Ref::borrow(b);
    if (!array_records(a, ra) || !array_records(bt.get(), rb)) return {};
    Ref result, shape;
    if (na == 2 && nb == 2) {
        Ref ta = records_tensor(ra, sa.get()), tb = records_tensor(rb, sb.get());
        result = call_global("mm", ta.get(), tb.get());
        shape = shape_tuple({da[0], db[1]});
    } else if (na == 2) {
        Ref ta = records_tensor(ra, sa.get()), tb = records_tensor(rb, sb.get());
        result = call_global("mv", ta.get(), tb.get());
        shape = shape_tuple({da[0]});
    } else if (nb == 2) {
        // a @ B = B^T a
        Ref ta = records_tensor(rb, shape_tuple({db[1], db[0]}).get()), tb = records_tensor(ra, sa.get());
        result = call_global("mv", ta.get(), tb.get());
        shape = shape_tuple({db[1]});
    } else {
        Ref ta = records_tensor(ra, shape_tuple({1, da[0]}).get()), tb = records_tensor(rb, sb.get());
        result = call_global("mv", ta.get(), tb.get());
        shape = shape_tuple({});
    }
    std::vector<fp_t> out = tensor_records(result.get());
    return numpy_result(out, shape.get(), dtype, returns_scalar || out.size() == 1, true, ints);
}

// Operations that take integers to integers (power with a non-negative
// exponent).
bool integer_preserving(Op op) {
    switch (op) {
        case Op::Add: case Op::Sub: case Op::Mul: case Op::Neg: case Op::Abs: case Op::Pow: case Op::Mod:
        case Op::Sum: case Op::Prod: case Op::Max: case Op::Min: case Op::Dot: case Op::Matmul:
            return true;
        default:
            return false;
    }
}

// The exact computation, once the result's dtype is known.
Ref take_typed(WrapperObject* st, Op op, std::vector<Operand>& ops, PyObject* dtype, long long ddof, bool ints) {
    switch (op) {
        case Op::Pow:
            return take_power(st->zel_func, ops, dtype, st->returns_scalar, ints);
        case Op::Var:
        case Op::Std:
            return take_var(op == Op::Std, ops, ddof, dtype);
        case Op::Dot:
        case Op::Matmul:
            return take_product(op, ops, dtype, st->returns_scalar, ints);
        default:
            if (is_reduction(op)) return take_reduction(st->zel_func, op, ops, dtype, ints);
            return take_elementwise(st->zel_func, op, ops, dtype, st->returns_scalar, ints);
    }
}

// ddof for var and std: an integer; anything else is NumPy's.
bool take_ddof(PyObject* v, long long& ddof) {
    if (PyBool_Check(v)) return false;
    if (!PyLong_Check(v) && !py::isinstance(v, py::getattr(S().np, "integer").get())) return false;
    Ref i = py::check(PyNumber_Index(v));
    int overflow = 0;
    ddof = PyLong_AsLongLongAndOverflow(i.get(), &overflow);
    if (ddof == -1 && PyErr_Occurred()) py::fail();
    return !overflow && ddof > -(1LL << 40);
}

// The call answered exactly, or an empty Ref for the saved NumPy function.
Ref take_call(WrapperObject* st, PyObject* args, PyObject* kwargs) {
    const Op op = st->op;
    long long ddof = 0;
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(kwargs, &pos, &k, &v)) {
            if ((op == Op::Var || op == Op::Std) && PyUnicode_Check(k) &&
                PyUnicode_CompareWithASCIIString(k, "ddof") == 0) {
                if (!take_ddof(v, ddof)) return {};
            } else if (!is_false_or_none(v)) {
                return {};
            }
        }
    }
    const Py_ssize_t n = PyTuple_GET_SIZE(args);
    if (n != (is_unary(op) ? 1 : 2)) return {};
    std::vector<Operand> ops(static_cast<size_t>(n));
    bool all_python = true, all_ints = true;
    PyObject* object = nullptr;  // an object operand
    Ref probes = py::check(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!take_operand(PyTuple_GET_ITEM(args, i), ops[i])) return {};
        all_python = all_python && ops[i].python_scalar;
        all_ints = all_ints && ops[i].ints;
        if (ops[i].object) object = ops[i].arr.get();
        PyTuple_SET_ITEM(probes.get(), i, Py_NewRef(ops[i].probe ? ops[i].probe.get() : Py_None));
    }
    if (all_python) return {};
    if (object) {
        // NumPy's object loops apply Python's operators to the elements: on
        // ints and Fractions, ring arithmetic gives ints where ints meet and
        // Fractions otherwise, which the records' exact values reproduce.
        // Other operations (true division, mean, the transcendental
        // functions) and floats beside the objects give NumPy's floats or
        // errors, so they are NumPy's.
        if (!integer_preserving(op)) return {};
        for (const Operand& o : ops) {
            if (!o.object && !(o.python_scalar && o.ints)) return {};
        }
        Ref dtype = py::getattr(object, "dtype");
        return take_typed(st, op, ops, dtype.get(), ddof, all_ints);
    }
    // NumPy's own answer on stand-ins gives the result's type (promotion,
    // int to float for divide and the transcendental functions, the wider
    // accumulator of sum and prod), and refuses what NumPy refuses.
    Ref probe = attempt(st->original, probes.get());
    if (!probe) return {};
    Ref dtype = Ref::steal(PyObject_GetAttrString(probe.get(), "dtype"));
    if (!dtype) {
        PyErr_Clear();
        return {};
    }
    if (!exact_dtype(dtype.get()) || dtype_kind(dtype.get()) == 'O') return {};
    return take_typed(st, op, ops, dtype.get(), ddof, false);
}

bool has_module_operand(PyObject* args) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); ++i) {
        PyObject* a = PyTuple_GET_ITEM(args, i);
        if (is_tensor(a) || is_complex(a)) return true;
    }
    return false;
}

// Calls with the module's own tensors, and wrappers with no NumPy function
// behind them, keep the module's meaning: arrays, lists and tuples become
// Tensors, the module function runs, a Tensor result comes back as a float
// array or a Python float.
Ref module_call(WrapperObject* st, PyObject* args, PyObject* kwargs) {
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

Ref wrapper_call(WrapperObject* st, PyObject* args, PyObject* kwargs) {
    if (!st->original || st->op == Op::Unknown || has_module_operand(args)) return module_call(st, args, kwargs);
    Ref result = take_call(st, args, kwargs);
    if (result) return result;
    return py::check(PyObject_Call(st->original, args, kwargs));
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
    st->op = Op::Unknown;
    for (size_t i = 0; i < std::size(kNumpyToZel); ++i) {
        if (PyDict_GetItemString(S().globals, kNumpyToZel[i].second) == zel_func) {
            st->op = static_cast<Op>(i);
            break;
        }
    }
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
