// Process-wide state of the module (its namespace and the library objects it
// calls), the argument parser every entry point uses, and the one launch
// helper that checks operand lengths before any kernel runs.
#pragma once
#include "py.hpp"

#include <array>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "../arith/fp.cuh"
#include "../cuda/kernels/list.cuh"
#include "../subsystems.hpp"

namespace zel {

using py::Ref;

// Objects bound once at import; all references are strong and live for the
// process (the module refuses a second interpreter and a re-initialisation).
struct State {
    PyObject* module = nullptr;
    PyObject* globals = nullptr;  // the module's __dict__
    PyObject* np = nullptr;
    PyObject* cp = nullptr;
    PyObject* dtype = nullptr;  // FIXEDPOINT_DTYPE
    PyObject* Fraction = nullptr;
    PyObject* Decimal = nullptr;
    PyObject* np_int32 = nullptr;
    PyObject* np_float64 = nullptr;
    PyObject* np_uint64 = nullptr;
    PyObject* np_floating = nullptr;
    PyObject* np_integer = nullptr;
    PyObject* np_ndarray = nullptr;
    PyObject* from_coprime = nullptr;  // Fraction._from_coprime_ints
    PyObject* scale = nullptr;         // the int 2**256
    bool host_device = false;
};
State& S();

// A module global looked up at call time (borrowed); NameError when absent.
PyObject* global(const char* name);
// Calls a module global with positional arguments.
template <class... A>
Ref call_global(const char* name, A... args) {
    return py::call(global(name), args...);
}

// Binds name = value in the module namespace (steals nothing).
void bind(const char* name, PyObject* value);

// ---------------------------------------------------------------------------
// Argument parsing with the interpreter's messages.

// Positional-or-keyword parameters; the first `required` have no default.
// On return, slot i holds the borrowed argument or nullptr when not given.
template <size_t N>
std::array<PyObject*, N> parse_args(const char* fname, const char* const (&names)[N], int required,
                                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

void parse_args_impl(const char* fname, const char* const* names, size_t n, int required, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

template <size_t N>
std::array<PyObject*, N> parse_args(const char* fname, const char* const (&names)[N], int required,
                                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, N> out{};
    parse_args_impl(fname, names, N, required, args, nargs, kwnames, out.data());
    return out;
}

// *args functions: refuses keywords with the interpreter's message.
void no_keywords(const char* fname, PyObject* kwnames);

// Typed parameters: `int` (numbers through int(), others refused), `list`,
// `tuple`, `str` (exact types), each with the incorrect-type message.
[[noreturn]] void bad_arg_type(const char* param, const char* expected, PyObject* got);
Ref arg_int(PyObject* o, const char* param);
long long arg_long(PyObject* o, const char* param);
void arg_exact(PyObject* o, PyTypeObject* type, const char* param, const char* type_name);
double arg_double(PyObject* o);

// ---------------------------------------------------------------------------
// Device arrays and launches.

// MemoryError, before anything is allocated, where `count` items of
// `item_bytes` bytes exceed this machine's memory (or the process's
// address-space limit); a product that overflows is such a request.
void check_fits(Py_ssize_t count, Py_ssize_t item_bytes);

// f(arg, dtype=dtype): how the array constructors of NumPy and CuPy are called.
Ref call_with_dtype(PyObject* f, PyObject* arg, PyObject* dtype);
// cp.empty(n, dtype=...) and cp.zeros(n, dtype=...), records by default.
Ref dev_empty(Py_ssize_t n, PyObject* dtype = nullptr);
Ref dev_zeros(Py_ssize_t n, PyObject* dtype = nullptr);
// len() of a device array, without a Python-level call on the host backend.
Py_ssize_t dev_length(PyObject* array);
Ref np_int32(long long v);
Ref np_int64(long long v);
Py_ssize_t grid_for(Py_ssize_t n);  // (n + BLOCK_SIZE - 1) // BLOCK_SIZE
constexpr int kBlockSize = 256;
// CUDA's limit on grid.y and grid.z; kernels with rows on y walk the rows
// beyond it.
constexpr Py_ssize_t kMaxGridY = 65535;

constexpr Py_ssize_t kRecordBytes = 72;

// One launch argument: a device array the kernel reads `need` elements of
// `itemsize` bytes (need < 0: not checked, e.g. outputs we allocated, or
// operands `check_inputs` has checked), or an int32 or int64 scalar (the
// exact bytes of the kernel's parameter).
struct LaunchArg {
    PyObject* array = nullptr;
    Py_ssize_t need = -1;
    Py_ssize_t itemsize = kRecordBytes;
    long long scalar = 0;
    bool wide = false;
    static LaunchArg in(PyObject* a, Py_ssize_t need, Py_ssize_t itemsize = kRecordBytes) {
        return {a, need, itemsize, 0, false};
    }
    static LaunchArg out(PyObject* a) { return {a, -1, 0, 0, false}; }
    // An operand the caller has already checked with check_inputs.
    static LaunchArg checked(PyObject* a) { return {a, -1, 0, 0, false}; }
    static LaunchArg i32(long long v) { return {nullptr, -1, 0, v, false}; }
    static LaunchArg i64(long long v) { return {nullptr, -1, 0, v, true}; }
};

struct Dims {
    Py_ssize_t x = 1, y = 1, z = 1;
    long long count() const { return static_cast<long long>(x) * y * z; }
};

// The 16 x 16 launch of the matrix kernels: columns on x, rows on y (capped).
Dims tile_grid(Py_ssize_t rows, Py_ssize_t cols);

// The kernel's name as the loader knows it.
const char* kernel_name(KernelId kernel);

// Launches `kernel` on the backend chosen at import (backend.hpp) with the
// given geometry.  The arguments must be those the kernel list gives the
// kernel (SystemError otherwise: a fault of the caller, not of the input).
// Every input array is checked, once, to hold at least the records the
// kernel will read (ValueError otherwise), before anything runs; a launch
// with zero blocks is skipped.
void launch(KernelId kernel, Dims grid, Dims block, std::initializer_list<LaunchArg> args);
// The operand checks of `launch` alone, for callers that allocate outputs
// after validating their inputs; they then pass those operands to `launch`
// as LaunchArg::checked.
void check_inputs(KernelId kernel, std::initializer_list<LaunchArg> args);
// The standard geometry: _grid(n) blocks of BLOCK_SIZE threads.
void launch_1d(KernelId kernel, Py_ssize_t n, std::initializer_list<LaunchArg> args);

// Host buffer of a NumPy (or host device) array.
struct Buffer {
    Py_buffer view{};
    bool held = false;
    Buffer(PyObject* o, bool writable);
    ~Buffer() {
        if (held) PyBuffer_Release(&view);
    }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    void* data() const { return view.buf; }
    Py_ssize_t bytes() const { return view.len; }
};

// ---------------------------------------------------------------------------
// Entry points: METH_FASTCALL | METH_KEYWORDS functions written as
// `Ref impl(args, nargs, kwnames)`, wrapped so C++ errors become exceptions.

using FastImpl = Ref (*)(PyObject* const*, Py_ssize_t, PyObject*);

template <FastImpl F>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* { return F(args, nargs, kwnames).release(); });
}

template <FastImpl F>
constexpr PyMethodDef method(const char* name, const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&entry<F>)),
            METH_FASTCALL | METH_KEYWORDS, doc};
}

// Methods of the module's types in the same style: `Ref impl(self, args,
// nargs, kwnames)` (self is the class for class methods and unused for static
// ones) or `Ref impl(self)` for methods without arguments.
using MethodImpl = Ref (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
using NoArgsImpl = Ref (*)(PyObject*);
using OneArgImpl = Ref (*)(PyObject*, PyObject*);

template <MethodImpl F>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* { return F(self, args, nargs, kwnames).release(); });
}

template <NoArgsImpl F>
PyObject* noargs_entry(PyObject* self, PyObject*) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* { return F(self).release(); });
}

template <OneArgImpl F>
PyObject* onearg_entry(PyObject* self, PyObject* arg) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* { return F(self, arg).release(); });
}

// `binding` is METH_STATIC or METH_CLASS for those kinds of method.
template <MethodImpl F>
constexpr PyMethodDef type_method(const char* name, const char* doc, int binding = 0) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&method_entry<F>)),
            METH_FASTCALL | METH_KEYWORDS | binding, doc};
}

template <NoArgsImpl F>
constexpr PyMethodDef noargs_method(const char* name, const char* doc) {
    return {name, &noargs_entry<F>, METH_NOARGS, doc};
}

template <OneArgImpl F>
constexpr PyMethodDef onearg_method(const char* name, const char* doc) {
    return {name, &onearg_entry<F>, METH_O, doc};
}

// Slots and getters of the module's types in the same style: a function that
// returns a Ref and throws; entry_of<f> is the function the C API calls (a new
// reference, or NULL with the exception set).
template <auto F>
struct EntryOf;

template <class... A, Ref (*F)(A...)>
struct EntryOf<F> {
    static PyObject* call(A... a) {
        return py::guard<PyObject*>(nullptr, [&]() -> PyObject* { return F(a...).release(); });
    }
};

// Slots that return a status (0, or -1 with the exception set) or a size.
template <class... A, int (*F)(A...)>
struct EntryOf<F> {
    static int call(A... a) {
        return py::guard<int>(-1, [&]() -> int { return F(a...); });
    }
};

template <class... A, Py_ssize_t (*F)(A...)>
struct EntryOf<F> {
    static Py_ssize_t call(A... a) {
        return py::guard<Py_ssize_t>(-1, [&]() -> Py_ssize_t { return F(a...); });
    }
};

template <auto F>
constexpr auto entry_of = &EntryOf<F>::call;

// Adds functions to the module namespace in table order.
void add_functions(PyObject* m, PyMethodDef* table);

// ---------------------------------------------------------------------------
// Subsystems, each binding its functions and values in import order: their
// one declaration is subsystems.hpp, seen by every source through this header.

}  // namespace zel
