// The one-launch shape shared by the element-wise families: out[i] = f(a[i])
// for every record of a tensor, the result keeping the argument's shape.
#pragma once
#include "../tensor/tensor.hpp"

namespace zel {

// Launches `kernel` as (a._data, out, n) over all records of `a`.
inline Ref apply_unary(KernelId kernel, PyObject* a) {
    Ref data = tensor_data(a);
    const Py_ssize_t n = dev_length(data.get());
    check_inputs(kernel, {LaunchArg::in(data.get(), n)});
    Ref out = dev_empty(n);
    launch_1d(kernel, n, {LaunchArg::checked(data.get()), LaunchArg::out(out.get()), LaunchArg::i32(n)});
    return make_tensor(std::move(out), tensor_shape(a));
}

// The one argument `a` of a unary module function, parsed with the
// interpreter's messages.
inline PyObject* unary_arg(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"a"};
    auto [a] = parse_args(fname, names, 1, args, nargs, kwnames);
    return a;
}

}  // namespace zel
