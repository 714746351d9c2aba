// The thin layer between CPython and our C++: an owning reference, the one
// exception type that says "a Python error is set", and the bridge that turns
// C++ failures into Python exceptions at every entry point.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <stdexcept>
#include <utility>

namespace zel::py {

// Thrown after a Python exception has been set (or when a C API call that
// sets one returned NULL/-1).  Caught only by `guard`.
struct Error {};

[[noreturn]] inline void fail() { throw Error{}; }

// An error raised where the GIL is released (code inside a NoGil scope):
// `guard` sets it once the scope has given the GIL back.
struct Deferred {
    PyObject* type;
    const char* message;
};

// Sets `type(message)` and throws.
[[noreturn]] inline void raise(PyObject* type, const char* message) {
    if (!PyGILState_Check()) throw Deferred{type, message};
    PyErr_SetString(type, message);
    throw Error{};
}

template <class... A>
[[noreturn]] void raisef(PyObject* type, const char* fmt, A... a) {
    PyErr_Format(type, fmt, a...);
    throw Error{};
}

// Move-only owner of a strong reference.
class Ref {
public:
    Ref() = default;
    // Takes ownership of a new reference (which may be NULL).
    static Ref steal(PyObject* o) { return Ref(o); }
    // Takes ownership; throws if the call that produced `o` failed.
    static Ref check(PyObject* o) {
        if (!o) fail();
        return Ref(o);
    }
    static Ref borrow(PyObject* o) {
        Py_XINCREF(o);
        return Ref(o);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& r) noexcept : p_(r.p_) { r.p_ = nullptr; }
    Ref& operator=(Ref&& r) noexcept {
        if (this != &r) {
            Py_XDECREF(p_);
            p_ = r.p_;
            r.p_ = nullptr;
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    PyObject* release() {
        PyObject* o = p_;
        p_ = nullptr;
        return o;
    }
    Ref dup() const { return borrow(p_); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    explicit Ref(PyObject* o) : p_(o) {}
    PyObject* p_ = nullptr;
};

inline Ref check(PyObject* o) { return Ref::check(o); }
inline void check_int(int rc) {
    if (rc < 0) fail();
}

// Runs `body` and converts anything it throws into a set Python exception;
// returns `on_error` then.  Every entry point from the interpreter uses it.
template <class R, class F>
R guard(R on_error, F&& body) noexcept {
    try {
        return body();
    } catch (const Error&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error signalled without an exception");
    } catch (const Deferred& d) {
        PyErr_SetString(d.type, d.message);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        // A container asked to exceed its largest size: memory, not logic.
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
    return on_error;
}

// Attribute and call shorthands, each returning a new reference or throwing.
inline Ref getattr(PyObject* o, const char* name) { return check(PyObject_GetAttrString(o, name)); }
inline Ref getattr(PyObject* o, PyObject* name) { return check(PyObject_GetAttr(o, name)); }

template <class... A>
Ref call(PyObject* f, A... args) {
    PyObject* argv[] = {nullptr, args...};
    return check(PyObject_Vectorcall(f, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
inline Ref call(PyObject* f) { return check(PyObject_CallNoArgs(f)); }

template <class... A>
Ref call_method(PyObject* self, const char* name, A... args) {
    Ref meth = getattr(self, name);
    return call(meth.get(), args...);
}

inline Ref from_long(long long v) { return check(PyLong_FromLongLong(v)); }
inline Ref from_ssize(Py_ssize_t v) { return check(PyLong_FromSsize_t(v)); }
inline Ref from_double(double v) { return check(PyFloat_FromDouble(v)); }
inline Ref from_str(const char* s) { return check(PyUnicode_FromString(s)); }

inline Py_ssize_t as_ssize(PyObject* o) {
    Py_ssize_t v = PyNumber_AsSsize_t(o, PyExc_OverflowError);
    if (v == -1 && PyErr_Occurred()) fail();
    return v;
}
inline Py_ssize_t length(PyObject* o) {
    Py_ssize_t n = PyObject_Length(o);
    if (n < 0) fail();
    return n;
}
inline bool truthy(PyObject* o) {
    int r = PyObject_IsTrue(o);
    if (r < 0) fail();
    return r != 0;
}
inline bool isinstance(PyObject* o, PyObject* cls) {
    int r = PyObject_IsInstance(o, cls);
    if (r < 0) fail();
    return r != 0;
}

// `x, y = value`, with the interpreter's unpacking messages.
inline std::pair<Ref, Ref> unpack2(PyObject* value) {
    Ref seq = check(PySequence_Tuple(value));
    const Py_ssize_t n = PyTuple_GET_SIZE(seq.get());
    if (n > 2) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    if (n < 2) raisef(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
    return {Ref::borrow(PyTuple_GET_ITEM(seq.get(), 0)), Ref::borrow(PyTuple_GET_ITEM(seq.get(), 1))};
}

// A list of Python floats.
inline Ref float_list(const double* x, Py_ssize_t n) {
    Ref list = check(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(list.get(), i, from_double(x[i]).release());
    return list;
}

// Tuple built from owned parts.
template <class... R>
Ref tuple(R&&... items) {
    Ref t = check(PyTuple_New(sizeof...(R)));
    Py_ssize_t i = 0;
    ((PyTuple_SET_ITEM(t.get(), i++, items.release())), ...);
    return t;
}

}  // namespace zel::py
