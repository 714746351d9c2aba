// Norms and statistics: norm, var, std, composed from the module's own
// element-wise operations and reductions (looked up at call time); no kernel
// of their own.
#include "../core/convert.hpp"
#include "../tensor/tensor.hpp"

namespace zel {
namespace {

bool record_is_zero(PyObject* t) {
    Ref data = tensor_data(t);
    std::vector<fp_t> recs;
    read_records(data.get(), recs);
    return recs.empty() || fp_is_zero(recs[0]);
}

Ref fn_norm(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"a", "p"};
    auto [a, p_obj] = parse_args("norm", names, 1, args, nargs, kwnames);
    const long long p = p_obj ? arg_long(p_obj, "p") : 2;
    if (p == 2) {
        Ref sq = call_global("mul", a, a);
        Ref s = call_global("sum", sq.get());
        return call_global("sqrt", s.get());
    }
    if (p == 1) {
        Ref m = call_global("abs", a);
        return call_global("sum", m.get());
    }
    if (p <= 0) py::raise(PyExc_ValueError, "norm requires p >= 1");
    // (sum |x|^p)^(1/p): the root as exp(log(s) / p), from the module's
    // exp and log; a zero sum has the zero norm and never reaches log.
    Ref m = call_global("abs", a);
    Ref p_int = py::from_long(p);
    Ref powered = call_global("pow", m.get(), p_int.get());
    Ref s = call_global("sum", powered.get());
    if (record_is_zero(s.get())) return s;
    Ref l = call_global("log", s.get());
    Ref p_tensor = call_global("tensor", p_int.get());
    Ref scaled = call_global("div", l.get(), p_tensor.get());
    return call_global("exp", scaled.get());
}

// dim and unbiased as var and std take them: dim an int or None, unbiased by
// its truth value.
struct VarArgs {
    PyObject* a;
    Ref dim;  // None or an int
    bool unbiased;
};

VarArgs var_args(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"a", "dim", "unbiased"};
    auto [a, dim_obj, unbiased_obj] = parse_args(fname, names, 1, args, nargs, kwnames);
    Ref dim = (!dim_obj || dim_obj == Py_None) ? Ref::borrow(Py_None) : arg_int(dim_obj, "dim");
    const bool unbiased = unbiased_obj ? py::truthy(unbiased_obj) : true;
    return {a, std::move(dim), unbiased};
}

Ref fn_var(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    VarArgs v = var_args("var", args, nargs, kwnames);
    // The variance is always over all elements; a dimension of a tensor of
    // rank 2 or more is refused rather than ignored.
    if (v.dim.get() != Py_None) {
        Ref shape = tensor_shape(v.a);
        if (py::length(shape.get()) >= 2) py::raise(PyExc_ValueError, "var supports only dim=None");
    }
    Ref m = call_global("mean", v.a);
    Ref diff = call_global("sub", v.a, m.get());
    Ref sq = call_global("mul", diff.get(), diff.get());
    Ref var = call_global("mean", sq.get());
    Ref numel = py::getattr(v.a, "numel");
    const Py_ssize_t n = py::as_ssize(numel.get());
    if (v.unbiased && n > 1) {
        // Bessel's factor passes through a double, as n / (n - 1) is written.
        Ref factor = py::from_double(static_cast<double>(n) / static_cast<double>(n - 1));
        Ref f = call_global("tensor", factor.get());
        var = call_global("mul", var.get(), f.get());
    }
    return var;
}

Ref fn_std(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    VarArgs v = var_args("std", args, nargs, kwnames);
    Ref v_fn = Ref::borrow(global("var"));
    Ref var = py::call(v_fn.get(), v.a, v.dim.get(), v.unbiased ? Py_True : Py_False);
    return call_global("sqrt", var.get());
}

PyMethodDef stats_methods[] = {
    method<fn_norm>("norm", "norm($module, /, a, p=2)\n--\n\nVector norm."),
    method<fn_var>("var", "var($module, /, a, dim=None, unbiased=True)\n--\n\nVariance."),
    method<fn_std>("std", "std($module, /, a, dim=None, unbiased=True)\n--\n\nStandard deviation."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void define_stats(PyObject* m) { add_functions(m, stats_methods); }

}  // namespace zel
