// The subsystems in import order; each binds its functions, classes and
// values into the module namespace.
#pragma once
#include <Python.h>

namespace zel {

void define_core(PyObject* m);  // kernel access, conversions, transfer

using DefineFn = void (*)(PyObject*);
inline constexpr DefineFn kSubsystems[] = {
    define_core,
};

}  // namespace zel
