// Single-qubit gates and CNOT as ComplexTensors.  The fixed gates are exact
// integer matrices; the parameterised ones evaluate cos and sin (and the
// Hadamard 1/sqrt(2)) with the module's kernels, read the values back as
// doubles and build the matrices from them, so those entries carry double
// precision, converted exactly.
#include "complex.hpp"

#include "../tensor/tensor.hpp"

namespace zel {
namespace {

Ref neg_float(PyObject* x) { return py::check(PyNumber_Negative(x)); }

Ref num(long v) { return py::from_long(v); }

// A nested list from rows of owned entries.
Ref matrix(std::initializer_list<std::initializer_list<PyObject*>> rows) {
    Ref out = py::check(PyList_New(0));
    for (auto row : rows) {
        Ref r = py::check(PyList_New(0));
        for (PyObject* v : row) py::check_int(PyList_Append(r.get(), v));
        py::check_int(PyList_Append(out.get(), r.get()));
    }
    return out;
}

Ref tensor_of(const Ref& list) { return call_global("tensor", list.get()); }

Ref gate(const Ref& real) { return call_global("ComplexTensor", tensor_of(real).get()); }

Ref gate(const Ref& real, const Ref& imag) {
    Ref r = tensor_of(real);
    Ref i = tensor_of(imag);
    return call_global("ComplexTensor", r.get(), i.get());
}

// The first value of a tensor as a host double (to_list, then its first
// entry when it is a list): only the first element of an angle is used.
Ref first_value(PyObject* t) {
    Ref v = py::call_method(t, "to_list");
    if (PyList_Check(v.get())) return py::check(PySequence_GetItem(v.get(), 0));
    return v;
}

// (cos x, sin x) as doubles, x = theta/2 for the rotations, theta itself
// for the phase gate.
std::pair<Ref, Ref> cos_sin(PyObject* theta, bool half) {
    Ref t = as_tensor(theta);
    if (half) {
        Ref h = py::from_double(0.5);
        Ref ht = call_global("tensor", h.get());
        t = call_global("mul", t.get(), ht.get());
    }
    Ref c = call_global("cos", t.get());
    Ref s = call_global("sin", t.get());
    return {first_value(c.get()), first_value(s.get())};
}

PyObject* angle_arg(const char* fname, const char* param, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {
    const char* const names[] = {param};
    auto [theta] = parse_args(fname, names, 1, args, nargs, kwnames);
    return theta;
}

// Refuses any argument with the parser's count and keyword messages.
void no_args(const char* fname, Py_ssize_t nargs, PyObject* kwnames) {
    parse_args_impl(fname, nullptr, 0, 0, nullptr, nargs, kwnames, nullptr);
}

Ref fn_rotation_x(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto [c, s] = cos_sin(angle_arg("rotation_x", "theta", args, nargs, kwnames), true);
    Ref ms = neg_float(s.get());
    Ref zero = num(0);
    return gate(matrix({{c.get(), zero.get()}, {zero.get(), c.get()}}),
                matrix({{zero.get(), ms.get()}, {ms.get(), zero.get()}}));
}

Ref fn_rotation_y(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto [c, s] = cos_sin(angle_arg("rotation_y", "theta", args, nargs, kwnames), true);
    Ref ms = neg_float(s.get());
    return gate(matrix({{c.get(), ms.get()}, {s.get(), c.get()}}));
}

Ref fn_rotation_z(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto [c, s] = cos_sin(angle_arg("rotation_z", "theta", args, nargs, kwnames), true);
    Ref ms = neg_float(s.get());
    Ref zero = num(0);
    return gate(matrix({{c.get(), zero.get()}, {zero.get(), c.get()}}),
                matrix({{ms.get(), zero.get()}, {zero.get(), s.get()}}));
}

Ref fn_phase_gate(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto [c, s] = cos_sin(angle_arg("phase_gate", "phi", args, nargs, kwnames), false);
    Ref zero = num(0), one = num(1);
    return gate(matrix({{one.get(), zero.get()}, {zero.get(), c.get()}}),
                matrix({{zero.get(), zero.get()}, {zero.get(), s.get()}}));
}

Ref fn_pauli_x(PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    no_args("pauli_x", nargs, kwnames);
    Ref zero = num(0), one = num(1);
    return gate(matrix({{zero.get(), one.get()}, {one.get(), zero.get()}}));
}

Ref fn_pauli_y(PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    no_args("pauli_y", nargs, kwnames);
    Ref zero = num(0), one = num(1), mone = num(-1);
    return gate(matrix({{zero.get(), zero.get()}, {zero.get(), zero.get()}}),
                matrix({{zero.get(), mone.get()}, {one.get(), zero.get()}}));
}

Ref fn_pauli_z(PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    no_args("pauli_z", nargs, kwnames);
    Ref zero = num(0), one = num(1), mone = num(-1);
    return gate(matrix({{one.get(), zero.get()}, {zero.get(), mone.get()}}));
}

// h = 1/sqrt(2) in fixed point on the device, then rounded to a double.
Ref fn_hadamard_gate(PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    no_args("hadamard_gate", nargs, kwnames);
    Ref two = py::from_double(2.0), one = py::from_double(1.0);
    Ref sqrt2 = call_global("sqrt", call_global("tensor", two.get()).get());
    Ref h = call_global("div", call_global("tensor", one.get()).get(), sqrt2.get());
    Ref hv = first_value(h.get());
    Ref mh = neg_float(hv.get());
    return gate(matrix({{hv.get(), hv.get()}, {hv.get(), mh.get()}}));
}

Ref fn_t_gate(PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    no_args("t_gate", nargs, kwnames);
    Ref four = num(4);
    Ref angle = call_global("pi_over", four.get());
    return call_global("phase_gate", angle.get());
}

Ref fn_s_gate(PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    no_args("s_gate", nargs, kwnames);
    Ref zero = num(0), one = num(1);
    return gate(matrix({{one.get(), zero.get()}, {zero.get(), zero.get()}}),
                matrix({{zero.get(), zero.get()}, {zero.get(), one.get()}}));
}

Ref fn_cnot(PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    no_args("cnot", nargs, kwnames);
    Ref o = num(0), l = num(1);
    PyObject *z = o.get(), *e = l.get();
    return gate(matrix({{e, z, z, z}, {z, e, z, z}, {z, z, z, e}, {z, z, e, z}}));
}

PyMethodDef gate_functions[] = {
    method<fn_rotation_x>("rotation_x", "rotation_x($module, /, theta)\n--\n\n"
                                        "Rotation about X: [[cos(t/2), -i sin(t/2)], [-i sin(t/2), cos(t/2)]]."),
    method<fn_rotation_y>("rotation_y", "rotation_y($module, /, theta)\n--\n\n"
                                        "Rotation about Y: [[cos(t/2), -sin(t/2)], [sin(t/2), cos(t/2)]]."),
    method<fn_rotation_z>("rotation_z", "rotation_z($module, /, theta)\n--\n\n"
                                        "Rotation about Z: diag(exp(-i t/2), exp(i t/2))."),
    method<fn_phase_gate>("phase_gate", "phase_gate($module, /, phi)\n--\n\nPhase gate: diag(1, exp(i phi))."),
    method<fn_pauli_x>("pauli_x", "pauli_x($module, /)\n--\n\nPauli X gate."),
    method<fn_pauli_y>("pauli_y", "pauli_y($module, /)\n--\n\nPauli Y gate."),
    method<fn_pauli_z>("pauli_z", "pauli_z($module, /)\n--\n\nPauli Z gate."),
    method<fn_hadamard_gate>("hadamard_gate", "hadamard_gate($module, /)\n--\n\nHadamard gate."),
    method<fn_t_gate>("t_gate", "t_gate($module, /)\n--\n\nT gate: phase_gate(pi/4)."),
    method<fn_s_gate>("s_gate", "s_gate($module, /)\n--\n\nS gate: diag(1, i)."),
    method<fn_cnot>("cnot", "cnot($module, /)\n--\n\nControlled-NOT gate (4x4)."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void define_gates(PyObject* m) { add_functions(m, gate_functions); }

}  // namespace zel
