// ComplexTensor, shared by the complex functions and the gate constructors.
#pragma once
#include "../core/runtime.hpp"

namespace zel {

PyTypeObject* complex_type();
// isinstance(o, ComplexTensor), subclasses included.
bool is_complex(PyObject* o);

}  // namespace zel
