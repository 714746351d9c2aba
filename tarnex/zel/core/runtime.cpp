// Module state, argument parsing and the checked launch helper.
#include "runtime.hpp"

#include "backend.hpp"
#include "docstrings.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace zel {

State& S() {
    static State s;
    return s;
}

PyObject* global(const char* name) {
    PyObject* v = PyDict_GetItemString(S().globals, name);
    if (!v) py::raisef(PyExc_NameError, "name '%s' is not defined", name);
    return v;
}

void bind(const char* name, PyObject* value) { py::check_int(PyDict_SetItemString(S().globals, name, value)); }

// ---------------------------------------------------------------------------

static Py_ssize_t find_keyword(const char* const* names, size_t n, PyObject* key) {
    for (size_t i = 0; i < n; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) return static_cast<Py_ssize_t>(i);
    }
    return -1;
}

static void raise_count(const char* fname, size_t n, int required, Py_ssize_t given) {
    const bool exact = static_cast<size_t>(required) == n;
    const char* more_or_less;
    Py_ssize_t count;
    if (given < required) {
        more_or_less = exact ? "exactly" : "at least";
        count = required;
    } else {
        more_or_less = exact ? "exactly" : "at most";
        count = static_cast<Py_ssize_t>(n);
    }
    py::raisef(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", fname, more_or_less,
               count, count == 1 ? "" : "s", given);
}

void parse_args_impl(const char* fname, const char* const* names, size_t n, int required, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    if (nargs > static_cast<Py_ssize_t>(n)) raise_count(fname, n, required, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            const Py_ssize_t idx = find_keyword(names, n, key);
            if (idx < 0) py::raisef(PyExc_TypeError, "%.200s() got an unexpected keyword argument '%U'", fname, key);
            if (out[idx]) {
                py::raisef(PyExc_TypeError, "%.200s() got multiple values for keyword argument '%U'", fname, key);
            }
            out[idx] = args[nargs + k];
        }
    }
    for (int i = 0; i < required; ++i) {
        if (!out[i]) raise_count(fname, n, required, nargs);
    }
}

void no_keywords(const char* fname, PyObject* kwnames) {
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
        py::raisef(PyExc_TypeError, "%.200s() got an unexpected keyword argument '%U'", fname,
                   PyTuple_GET_ITEM(kwnames, 0));
    }
}

void bad_arg_type(const char* param, const char* expected, PyObject* got) {
    py::raisef(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param, expected,
               Py_TYPE(got)->tp_name);
}

Ref arg_int(PyObject* o, const char* param) {
    if (PyLong_Check(o)) return Ref::borrow(o);
    if (!PyNumber_Check(o)) bad_arg_type(param, "int", o);
    return py::check(PyNumber_Long(o));
}

long long arg_long(PyObject* o, const char* param) {
    Ref v = arg_int(o, param);
    const long long r = PyLong_AsLongLong(v.get());
    if (r == -1 && PyErr_Occurred()) py::fail();
    return r;
}

void arg_exact(PyObject* o, PyTypeObject* type, const char* param, const char* type_name) {
    if (Py_TYPE(o) != type) bad_arg_type(param, type_name, o);
}

double arg_double(PyObject* o) {
    const double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) py::fail();
    return v;
}

// ---------------------------------------------------------------------------

Ref call_with_dtype(PyObject* f, PyObject* arg, PyObject* dtype) {
    static PyObject* kw = py::check(Py_BuildValue("(s)", "dtype")).release();
    PyObject* argv[] = {nullptr, arg, dtype};
    return py::check(PyObject_Vectorcall(f, argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kw));
}

// Physical memory, or the address-space limit where one is set.
static unsigned long long memory_limit() {
    static const unsigned long long physical = [] {
        const long pages = sysconf(_SC_PHYS_PAGES), size = sysconf(_SC_PAGESIZE);
        return pages > 0 && size > 0 ? static_cast<unsigned long long>(pages) * size : ~0ull;
    }();
    rlimit lim{};
    if (getrlimit(RLIMIT_AS, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY) {
        return std::min<unsigned long long>(physical, lim.rlim_cur);
    }
    return physical;
}

// Requests below this size are never refused: no process that has started
// an interpreter runs under a smaller memory limit, and the limit costs a
// system call to read.
constexpr Py_ssize_t kAlwaysFits = 1 << 20;

void check_fits(Py_ssize_t count, Py_ssize_t item_bytes) {
    if (count <= 0) return;
    Py_ssize_t bytes = 0;
    const bool overflow = __builtin_mul_overflow(count, item_bytes, &bytes);
    if (!overflow && bytes < kAlwaysFits) return;
    if (overflow || static_cast<unsigned long long>(bytes) > memory_limit()) {
        py::raisef(PyExc_MemoryError, "cannot allocate %zd items of %zd bytes: more than this machine's memory", count,
                   item_bytes);
    }
}

static Ref dev_alloc(bool zeroed, Py_ssize_t n, PyObject* dtype) {
    // Narrower element types are counted as doubles: a bound, not a size.
    check_fits(n, dtype && dtype != S().dtype ? 8 : kRecordBytes);
    return backend().allocate(n, dtype, zeroed);
}

Py_ssize_t dev_length(PyObject* array) { return backend().length(array); }

Ref dev_empty(Py_ssize_t n, PyObject* dtype) { return dev_alloc(false, n, dtype); }
Ref dev_zeros(Py_ssize_t n, PyObject* dtype) { return dev_alloc(true, n, dtype); }

Ref np_int32(long long v) {
    Ref i = py::from_long(v);
    return py::call(S().np_int32, i.get());
}

Ref np_int64(long long v) {
    static PyObject* type = py::getattr(S().np, "int64").release();
    Ref i = py::from_long(v);
    return py::call(type, i.get());
}

Py_ssize_t grid_for(Py_ssize_t n) { return (n + kBlockSize - 1) / kBlockSize; }

Dims tile_grid(Py_ssize_t rows, Py_ssize_t cols) {
    return Dims{(cols + 15) / 16, std::min<Py_ssize_t>((rows + 15) / 16, kMaxGridY)};
}

namespace {

const char* const kKernelNames[kKernelCount] = {
#define ZEL_KERNEL_NAME(name, params, shape) #name,
    ZEL_KERNEL_LIST(ZEL_KERNEL_NAME)
#undef ZEL_KERNEL_NAME
};
const char* const kKernelParams[kKernelCount] = {
#define ZEL_KERNEL_PARAMS(name, params, shape) params,
    ZEL_KERNEL_LIST(ZEL_KERNEL_PARAMS)
#undef ZEL_KERNEL_PARAMS
};
const LaunchShape kKernelShapes[kKernelCount] = {
#define ZEL_KERNEL_SHAPE(name, params, shape) LaunchShape::shape,
    ZEL_KERNEL_LIST(ZEL_KERNEL_SHAPE)
#undef ZEL_KERNEL_SHAPE
};

// The arguments must be what the list gives the kernel: an array for each
// pointer, an int32 for each i and an int64 for each l.  A mismatch is a
// fault in the caller, reported as such rather than launched.
void check_signature(KernelId kernel, std::initializer_list<LaunchArg> args) {
    const char* letters = kKernelParams[static_cast<int>(kernel)];
    size_t i = 0;
    for (const LaunchArg& a : args) {
        const char want = letters[i];
        const bool ok = want == '\0' ? false
                        : a.array    ? (want == 'c' || want == 'm')
                                     : (want == (a.wide ? 'l' : 'i'));
        if (!ok) break;
        ++i;
    }
    if (i != args.size() || letters[i] != '\0') {
        py::raisef(PyExc_SystemError, "%s launched with arguments other than its parameters (%s)",
                   kKernelNames[static_cast<int>(kernel)], letters);
    }
}

void check_shape(KernelId kernel, LaunchShape shape) {
    if (kKernelShapes[static_cast<int>(kernel)] != shape) {
        py::raisef(PyExc_SystemError, "%s launched in a shape other than its own", kKernelNames[static_cast<int>(kernel)]);
    }
}

}  // namespace

const char* kernel_name(KernelId kernel) { return kKernelNames[static_cast<int>(kernel)]; }

void check_inputs(KernelId kernel, std::initializer_list<LaunchArg> args) {
    for (const LaunchArg& a : args) {
        if (a.array && a.need > 0) backend().check(kernel, a);
    }
}

void launch(KernelId kernel, Dims grid, Dims block, std::initializer_list<LaunchArg> args) {
    check_signature(kernel, args);
    if (block.x == 16 && block.y == 16 && block.z == 1) check_shape(kernel, LaunchShape::Tile);
    else if (grid.count() == 1 && block.count() == 1) check_shape(kernel, LaunchShape::Single);
    if (grid.count() == 0 || block.count() == 0) {
        check_inputs(kernel, args);
        return;
    }
    backend().launch(kernel, grid, block, args);
}

void launch_1d(KernelId kernel, Py_ssize_t n, std::initializer_list<LaunchArg> args) {
    check_shape(kernel, LaunchShape::Line);
    launch(kernel, Dims{grid_for(n)}, Dims{kBlockSize}, args);
}

void add_functions(PyObject* m, PyMethodDef* table) {
    attach_docstrings(table);
    py::check_int(PyModule_AddFunctions(m, table));
}

Buffer::Buffer(PyObject* o, bool writable) {
    const int flags = writable ? (PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE) : PyBUF_C_CONTIGUOUS;
    if (PyObject_GetBuffer(o, &view, flags) < 0) py::fail();
    held = true;
}

}  // namespace zel
