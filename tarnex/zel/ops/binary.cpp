// Broadcasting (the NumPy rule) and the element-wise add, sub, mul, div.
// Expansion runs in the array library on a byte view of the records, so it
// stays on the device; each operation is then one kernel launch.
#include <vector>

#include "../core/convert.hpp"
#include "../tensor/tensor.hpp"

namespace zel {
namespace {

Ref fn_broadcast_shapes(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"shape1", "shape2"};
    auto [shape1, shape2] = parse_args("_broadcast_shapes", names, 2, args, nargs, kwnames);
    arg_exact(shape1, &PyTuple_Type, "shape1", "tuple");
    arg_exact(shape2, &PyTuple_Type, "shape2", "tuple");
    std::vector<Py_ssize_t> s1 = shape_dims(shape1), s2 = shape_dims(shape2);
    while (s1.size() < s2.size()) s1.insert(s1.begin(), 1);
    while (s2.size() < s1.size()) s2.insert(s2.begin(), 1);
    std::vector<Py_ssize_t> out;
    for (size_t i = 0; i < s1.size(); ++i) {
        if (s1[i] == s2[i] || s2[i] == 1) out.push_back(s1[i]);
        else if (s1[i] == 1) out.push_back(s2[i]);
        else {
            Ref t1 = py::check(PyObject_Str(shape1)), t2 = py::check(PyObject_Str(shape2));
            py::raisef(PyExc_ValueError, "Cannot broadcast shapes %U and %U", t1.get(), t2.get());
        }
    }
    return shape_tuple(out);
}

Ref fn_broadcast_to(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"t", "target_shape"};
    auto [t, target] = parse_args("_broadcast_to", names, 2, args, nargs, kwnames);
    arg_exact(target, &PyTuple_Type, "target_shape", "tuple");
    Ref shape = tensor_shape(t);
    const int same = PyObject_RichCompareBool(shape.get(), target, Py_EQ);
    if (same < 0) py::fail();
    if (same) return Ref::borrow(t);
    Ref data = tensor_data(t);
    std::vector<Py_ssize_t> padded = checked_dims(data.get(), shape.get());
    const std::vector<Py_ssize_t> dims = shape_dims(target);
    for (Py_ssize_t d : dims) {
        if (d < 0) py::raisef(PyExc_ValueError, "Negative dimension in shape %R", target);
    }
    while (padded.size() < dims.size()) padded.insert(padded.begin(), 1);
    const Py_ssize_t total = shape_count(dims);
    // Each record is a row of 72 bytes; broadcasting the leading dimensions
    // repeats whole records, exactly as tiling the record array would.
    padded.push_back(kRecordBytes);
    std::vector<Py_ssize_t> wide = dims;
    wide.push_back(kRecordBytes);
    for (size_t i = 0; i + 1 < padded.size(); ++i) {
        if (padded[i] != 1 && padded[i] != wide[i]) {
            Ref t1 = py::check(PyObject_Str(shape.get()));
            py::raisef(PyExc_ValueError, "Cannot broadcast shapes %U and %U", t1.get(),
                       py::check(PyObject_Str(target)).get());
        }
    }
    Ref u8 = py::getattr(S().cp, "uint8");
    Ref bytes = py::call_method(data.get(), "view", u8.get());
    Ref shaped = py::call_method(bytes.get(), "reshape", shape_tuple(padded).get());
    Ref broadcast_to = py::getattr(S().cp, "broadcast_to");
    Ref expanded = py::call(broadcast_to.get(), shaped.get(), shape_tuple(wide).get());
    Ref contiguous = py::call(py::getattr(S().cp, "ascontiguousarray").get(), expanded.get());
    Ref flat = py::call_method(contiguous.get(), "reshape", py::from_ssize(total * kRecordBytes).get());
    Ref records = py::call_method(flat.get(), "view", S().dtype);
    return make_tensor(std::move(records), target);
}

Ref fn_broadcast_tensors(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"a", "b"};
    auto [a, b] = parse_args("broadcast_tensors", names, 2, args, nargs, kwnames);
    Ref sa = tensor_shape(a), sb = tensor_shape(b);
    Ref target = call_global("_broadcast_shapes", sa.get(), sb.get());
    Ref ea = call_global("_broadcast_to", a, target.get());
    Ref eb = call_global("_broadcast_to", b, target.get());
    return py::tuple(std::move(ea), std::move(eb));
}

// out[i] = a[i] op b[i] for the common shape; both operands must hold the
// n records the kernel reads.
Ref binary(const char* fname, KernelId kernel, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"a", "b"};
    auto [a_in, b_in] = parse_args(fname, names, 2, args, nargs, kwnames);
    Ref a = Ref::borrow(a_in), b = Ref::borrow(b_in);
    Ref sa = tensor_shape(a.get()), sb = tensor_shape(b.get());
    checked_dims(tensor_data(a.get()).get(), sa.get());
    checked_dims(tensor_data(b.get()).get(), sb.get());
    const int same = PyObject_RichCompareBool(sa.get(), sb.get(), Py_NE);
    if (same < 0) py::fail();
    if (same) {
        Ref pair = call_global("broadcast_tensors", a.get(), b.get());
        a = py::check(PySequence_GetItem(pair.get(), 0));
        b = py::check(PySequence_GetItem(pair.get(), 1));
    }
    Ref da = tensor_data(a.get()), db = tensor_data(b.get());
    const Py_ssize_t n = dev_length(da.get());
    check_inputs(kernel, {LaunchArg::in(db.get(), n)});
    Ref out = dev_empty(n);
    launch_1d(kernel, n, {LaunchArg::in(da.get(), n), LaunchArg::checked(db.get()), LaunchArg::out(out.get()),
                          LaunchArg::i32(n)});
    return make_tensor(std::move(out), tensor_shape(a.get()));
}

Ref fn_add(PyObject* const* a, Py_ssize_t n, PyObject* k) { return binary("add", KernelId::fp_add_kernel, a, n, k); }
Ref fn_sub(PyObject* const* a, Py_ssize_t n, PyObject* k) { return binary("sub", KernelId::fp_sub_kernel, a, n, k); }
Ref fn_mul(PyObject* const* a, Py_ssize_t n, PyObject* k) { return binary("mul", KernelId::fp_mul_kernel, a, n, k); }
Ref fn_div(PyObject* const* a, Py_ssize_t n, PyObject* k) { return binary("div", KernelId::fp_div_kernel, a, n, k); }

PyMethodDef binary_methods[] = {
    method<fn_broadcast_shapes>("_broadcast_shapes", "_broadcast_shapes($module, /, shape1, shape2)\n--\n\n"
                                                     "Compute broadcast shape following NumPy rules."),
    method<fn_broadcast_to>("_broadcast_to", "_broadcast_to($module, /, t, target_shape)\n--\n\n"
                                             "Expand tensor to target shape via broadcasting."),
    method<fn_broadcast_tensors>("broadcast_tensors", "broadcast_tensors($module, /, a, b)\n--\n\n"
                                                      "Broadcast two tensors to compatible shapes."),
    method<fn_add>("add", "add($module, /, a, b)\n--\n\nElement-wise add with NumPy-style broadcasting."),
    method<fn_sub>("sub", "sub($module, /, a, b)\n--\n\nElement-wise subtract with NumPy-style broadcasting."),
    method<fn_mul>("mul", "mul($module, /, a, b)\n--\n\nElement-wise multiply with NumPy-style broadcasting."),
    method<fn_div>("div", "div($module, /, a, b)\n--\n\nElement-wise divide with NumPy-style broadcasting."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void define_binary(PyObject* m) { add_functions(m, binary_methods); }

}  // namespace zel
