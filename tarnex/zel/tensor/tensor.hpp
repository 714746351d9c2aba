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
// A tensor whose shape is stored as given, `()` included: indexing and
// loading produce 0-d tensors, which the _raw path would widen to (n,).
Ref make_tensor_as(Ref data, Ref shape);

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

// The number of records non-negative dims describe; MemoryError when the
// product overflows or exceeds what this machine could allocate.
Py_ssize_t shape_count(const std::vector<Py_ssize_t>& dims);

// The dims of t's shape, once t is known to hold exactly the records they
// describe.  The constructor lets a shape disagree with the data (ragged
// lists, caller shapes); every operation that reads a tensor's records
// through its shape calls this first, so such a tensor fails at use with a
// ValueError naming the shape and the count instead of giving an answer
// from part of its records.
std::vector<Py_ssize_t> checked_dims(PyObject* t);
// The same for an operand already split into its data and shape.
std::vector<Py_ssize_t> checked_dims(PyObject* data, PyObject* shape);

// Methods and slots of Tensor defined beside their subsystems (access.cpp:
// read-back and indexing; files.cpp: pickling).
Ref tensor_to_fractions(PyObject* self);
Ref tensor_numpy(PyObject* self);
Ref tensor_array(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
Ref tensor_getitem(PyObject* self, PyObject* key);
int tensor_setitem(PyObject* self, PyObject* key, PyObject* value);
Py_ssize_t tensor_len(PyObject* self);
Ref tensor_iter(PyObject* self);
// An iterator over self[0] .. self[len(self) - 1]; TypeError for a 0-d shape.
Ref iterate_rows(PyObject* self, PyObject* shape);
int tensor_bool(PyObject* self);
Ref tensor_ndim(PyObject* self, void*);
Ref tensor_reduce(PyObject* self);

// Row-major strides of a shape (in records).
std::vector<Py_ssize_t> row_major_strides(const std::vector<Py_ssize_t>& dims);
// The product of dims, or -1 when a dimension is negative or it overflows.
Py_ssize_t checked_product(const std::vector<Py_ssize_t>& dims);
// The tensor's records as a host NumPy array in its shape; ValueError when
// the shape does not describe the records.
Ref host_records_shaped(PyObject* t);
// A tensor of the host records `arr` (FIXEDPOINT_DTYPE, or the same fields
// in another byte order) with `shape` stored as given.
Ref tensor_from_host_records(PyObject* arr, PyObject* shape);

}  // namespace zel
