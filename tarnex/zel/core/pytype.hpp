// Helpers for our heap types whose instance state is a fixed run of object
// slots right after the object header (Tensor, SparseTensor, ComplexTensor):
// the garbage-collector hooks, slot reads with the interpreter's message,
// and tp_init argument parsing with the same messages as module functions.
#pragma once
#include <type_traits>

#include "runtime.hpp"

namespace zel {

template <class T>
constexpr Py_ssize_t slot_count() {
    static_assert(std::is_standard_layout_v<T>, "slot objects are plain structs");
    static_assert((sizeof(T) - sizeof(PyObject)) % sizeof(PyObject*) == 0, "only object slots follow the header");
    return static_cast<Py_ssize_t>((sizeof(T) - sizeof(PyObject)) / sizeof(PyObject*));
}

inline PyObject** slots_of(PyObject* self) {
    return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + sizeof(PyObject));
}

template <class T>
int slots_traverse(PyObject* self, visitproc visit, void* arg) {
    PyObject** s = slots_of(self);
    for (Py_ssize_t i = 0; i < slot_count<T>(); ++i) Py_VISIT(s[i]);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

template <class T>
int slots_clear(PyObject* self) {
    PyObject** s = slots_of(self);
    for (Py_ssize_t i = 0; i < slot_count<T>(); ++i) Py_CLEAR(s[i]);
    return 0;
}

template <class T>
void slots_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    slots_clear<T>(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

// The three garbage-collector entries of a slot type's PyType_Slot table.
#define ZEL_SLOT_TYPE_GC(T)                                                   \
    {Py_tp_dealloc, reinterpret_cast<void*>(::zel::slots_dealloc<T>)},       \
        {Py_tp_traverse, reinterpret_cast<void*>(::zel::slots_traverse<T>)}, \
        {Py_tp_clear, reinterpret_cast<void*>(::zel::slots_clear<T>)}

// A slot's value (borrowed), or AttributeError as for an unset slot.
inline PyObject* slot_or_raise(PyObject* self, PyObject* value, const char* name) {
    if (!value) py::raisef(PyExc_AttributeError, "'%.100s' object has no attribute '%s'", Py_TYPE(self)->tp_name, name);
    return value;
}

// tp_init's (args, kwargs) parsed like a fast call, with the same messages.
template <size_t N>
std::array<PyObject*, N> parse_init_args(const char* fname, const char* const (&names)[N], int required,
                                         PyObject* args, PyObject* kwargs) {
    std::vector<PyObject*> argv;
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    for (Py_ssize_t i = 0; i < nargs; ++i) argv.push_back(PyTuple_GET_ITEM(args, i));
    Ref kwnames;
    if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
        kwnames = py::check(PyTuple_New(PyDict_GET_SIZE(kwargs)));
        Py_ssize_t pos = 0, i = 0;
        PyObject *k, *v;
        while (PyDict_Next(kwargs, &pos, &k, &v)) {
            PyTuple_SET_ITEM(kwnames.get(), i++, Py_NewRef(k));
            argv.push_back(v);
        }
    }
    return parse_args(fname, names, required, argv.data(), nargs, kwnames.get());
}

}  // namespace zel
