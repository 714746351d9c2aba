// The dense Tensor: a flat device array of records (`_data`) and a shape
// (`_shape`).  Other subsystems build results with make_tensor, the C++ form
// of Tensor(_raw=data, shape=shape).
#pragma once
#include "../core/runtime.hpp"

namespace zel {

PyTypeObject* tensor_type();
bool is_tensor(PyObject* o);

// Tensor(_raw=data, shape=shape): the array is stored without a copy; a
// falsy shape (None, (), []) becomes (len(data),).
Ref make_tensor(Ref data, PyObject* shape);
inline Ref make_tensor(Ref data, const Ref& shape) { return make_tensor(std::move(data), shape.get()); }

// An operand as a tensor: a Tensor (or subclass) as it stands, anything
// else through the module's current `tensor`.
Ref as_tensor(PyObject* o);

// `t._data` and `t._shape` as attribute reads (AttributeError for
// non-tensors, as the interpreter reports it); new references.
Ref tensor_data(PyObject* t);
Ref tensor_shape(PyObject* t);

// tensor(list of the doubles): the one-dimensional tensor of the values,
// through the module's `tensor`.
Ref doubles_tensor(const double* x, Py_ssize_t n);

// A shape tuple from C++ sizes.
Ref shape_tuple(std::initializer_list<Py_ssize_t> dims);
Ref shape_tuple(const std::vector<Py_ssize_t>& dims);
// The dims of a shape object (a tuple or list of ints).
std::vector<Py_ssize_t> shape_dims(PyObject* shape);

void define_tensor(PyObject* m);

}  // namespace zel
