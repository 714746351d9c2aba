// Transfers between tensors and host doubles for the decompositions, and the
// binding of their functions (qr, eig, eigh, svd, expm) in import order.
#include "host.hpp"

namespace zel::decomp {

std::vector<double> read_doubles(PyObject* t, Py_ssize_t need) {
    std::vector<double> out;
    checked_dims(t);
    if (need <= 0) return out;
    Ref data = tensor_data(t);
    const Py_ssize_t have = py::length(data.get());
    if (have < need) py::raise(PyExc_IndexError, "list index out of range");
    if (have > need) {
        Ref stop = py::from_ssize(need);
        Ref slice = py::check(PySlice_New(nullptr, stop.get(), nullptr));
        data = py::check(PyObject_GetItem(data.get(), slice.get()));
    }
    Ref list = call_global("from_gpu", data.get());
    Ref seq = py::check(PySequence_Fast(list.get(), "from_gpu must return a sequence"));
    if (PySequence_Fast_GET_SIZE(seq.get()) < need) py::raise(PyExc_IndexError, "list index out of range");
    out.resize(static_cast<size_t>(need));
    PyObject** items = PySequence_Fast_ITEMS(seq.get());
    for (Py_ssize_t i = 0; i < need; ++i) {
        const double v = PyFloat_AsDouble(items[i]);
        if (v == -1.0 && PyErr_Occurred()) py::fail();
        out[static_cast<size_t>(i)] = v;
    }
    return out;
}

Py_ssize_t square_size(PyObject* A, const char* message) {
    const std::vector<Py_ssize_t> dims = checked_dims(A);
    Ref shape = tensor_shape(A);
    bool square = py::length(shape.get()) == 2;
    if (square) {
        Ref d0 = py::check(PySequence_GetItem(shape.get(), 0));
        Ref d1 = py::check(PySequence_GetItem(shape.get(), 1));
        const int ne = PyObject_RichCompareBool(d0.get(), d1.get(), Py_NE);
        if (ne < 0) py::fail();
        square = !ne;
    }
    if (!square) py::raise(PyExc_ValueError, message);
    return dims[0];
}

Ref matrix_tensor(const std::vector<double>& x, Py_ssize_t rows, Py_ssize_t cols) {
    Ref flat = doubles_tensor(x.data(), static_cast<Py_ssize_t>(x.size()));
    return make_tensor(tensor_data(flat.get()), shape_tuple({rows, cols}));
}

}  // namespace zel::decomp

namespace zel {

void define_decomp(PyObject* m) {
    add_functions(m, decomp::qr_methods);
    add_functions(m, decomp::eig_methods);
    add_functions(m, decomp::svd_methods);
    add_functions(m, decomp::expm_methods);
}

}  // namespace zel
