// The reproducible generator and the random tensors built on it: the
// minimal-standard multiplicative congruential generator (Park-Miller,
// multiplier 48271, modulus 2^31 - 1) whose state lives in the module
// namespace as `_lcg_state`, and rand/randn, whose exact fractions k / M and
// (K - 6M) / M become records by the floor rule of the host conversion.
#include <memory>

#include "../core/convert.hpp"
#include "../tensor/tensor.hpp"

namespace zel {
namespace {

constexpr uint64_t kLcgA = 48271;
constexpr uint64_t kLcgM = 2147483647;  // 2^31 - 1, prime
constexpr int kNormalTerms = 12;        // uniforms summed per normal value

// The state as bound in the namespace, reduced mod M.  (A * s) mod M depends
// only on s mod M, so one reduction of whatever integer a caller bound
// (negative, or wider than 64 bits) lets every step run in 64-bit
// arithmetic, where A * s < 2^47.  Non-integers are refused as the
// interpreter refuses them where an integer is needed.
uint64_t read_state() {
    PyObject* bound = global("_lcg_state");
    Ref s = PyLong_Check(bound) ? Ref::borrow(bound) : py::check(PyNumber_Index(bound));
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(s.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) py::fail();
    if (!overflow) {
        const long long r = v % static_cast<long long>(kLcgM);
        return static_cast<uint64_t>(r < 0 ? r + static_cast<long long>(kLcgM) : r);
    }
    Ref m = py::from_long(kLcgM);
    Ref r = py::check(PyNumber_Remainder(s.get(), m.get()));  // floor modulo: 0 <= r < M
    return PyLong_AsUnsignedLongLong(r.get());
}

void write_state(uint64_t s) {
    Ref v = py::from_long(static_cast<long long>(s));
    bind("_lcg_state", v.get());
}

inline uint64_t lcg_step(uint64_t s) { return kLcgA * s % kLcgM; }

// The sum K of twelve draws; the normal value is (K - 6M) / M.
inline uint64_t normal_sum(uint64_t& s) {
    uint64_t k = 0;
    for (int t = 0; t < kNormalTerms; ++t) {
        s = lcg_step(s);
        k += s;
    }
    return k;
}

// (K - 6M) / M as a sign and magnitude: |K - 6M| < 6M < 2^34.
inline void normal_record(fp_t& out, uint64_t k) {
    constexpr uint64_t kMean = 6 * kLcgM;
    const bool negative = k < kMean;
    small_ratio_to_record(out, negative, negative ? kMean - k : k - kMean, kLcgM);
}

Ref fraction(long long num, uint64_t den) {
    Ref n = py::from_long(num), d = py::from_long(static_cast<long long>(den));
    return py::call(S().Fraction, n.get(), d.get());
}

// The shape of rand/randn: one tuple or list argument is the shape itself,
// otherwise the arguments are.  Every entry must be an integer (the
// interpreter's TypeError otherwise) and none negative; all of it is decided
// before any state is read.
struct DrawShape {
    Ref shape;
    Py_ssize_t n = 1;
};

DrawShape draw_shape(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    no_keywords(fname, kwnames);
    DrawShape d;
    if (nargs == 1 && (PyTuple_Check(args[0]) || PyList_Check(args[0]))) {
        d.shape = py::check(PySequence_Tuple(args[0]));
    } else {
        d.shape = py::check(PyTuple_New(nargs));
        for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(d.shape.get(), i, Py_NewRef(args[i]));
    }
    Ref count = py::from_long(1);
    bool negative = false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(d.shape.get()); ++i) {
        Ref dim = py::check(PyNumber_Index(PyTuple_GET_ITEM(d.shape.get(), i)));
        negative |= _PyLong_Sign(dim.get()) < 0;
        count = py::check(PyNumber_Multiply(count.get(), dim.get()));
    }
    if (negative) py::raisef(PyExc_ValueError, "Negative dimension in shape %S", d.shape.get());
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(count.get(), &overflow);
    if (n == -1 && PyErr_Occurred()) py::fail();
    if (overflow || n > PY_SSIZE_T_MAX / kRecordBytes) {
        PyErr_NoMemory();
        py::fail();
    }
    // The host buffer and the device array, refused before the draws.
    check_fits(static_cast<Py_ssize_t>(n), 2 * kRecordBytes);
    d.n = static_cast<Py_ssize_t>(n);
    return d;
}

// rand/randn: all draws in row-major order, the state written back as soon as
// they are done (so it has advanced even if the upload fails), then one
// upload of the records.  A shape of more than one entry is kept as given;
// otherwise the tensor is 1-D of length n.
template <bool Normal>
Ref draw_tensor(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    DrawShape d = draw_shape(fname, args, nargs, kwnames);
    const Py_ssize_t n = d.n;
    std::unique_ptr<fp_t[]> recs(new fp_t[n > 0 ? n : 1]);
    if (n > 0) {
        uint64_t s = read_state();
        for (Py_ssize_t i = 0; i < n; ++i) {
            if constexpr (Normal) {
                normal_record(recs[i], normal_sum(s));
            } else {
                s = lcg_step(s);
                small_ratio_to_record(recs[i], false, s, kLcgM);
            }
            recs[i].pad = 0;
        }
        write_state(s);
    }
    Ref data = upload_records(recs.get(), n);
    const bool keep_shape = PyTuple_GET_SIZE(d.shape.get()) > 1;
    return make_tensor(std::move(data), keep_shape ? d.shape.get() : Py_None);
}

// ---------------------------------------------------------------------------
// Module functions.

Ref fn_manual_seed(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"seed"};
    auto [seed] = parse_args("manual_seed", names, 1, args, nargs, kwnames);
    Ref v = arg_int(seed, "seed");
    // Floor modulo of any integer, then + 1: the state lies in 1 .. M - 1.
    Ref period = py::from_long(kLcgM - 1), one = py::from_long(1);
    Ref r = py::check(PyNumber_Remainder(v.get(), period.get()));
    Ref state = py::check(PyNumber_Add(r.get(), one.get()));
    bind("_lcg_state", state.get());
    return Ref::borrow(Py_None);
}

// The generator steps take no arguments, refused with the interpreter's
// messages for argument-less functions.
void no_args(const char* fname, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs > 0) py::raisef(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", fname, nargs);
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
        py::raisef(PyExc_TypeError, "%.200s() takes no keyword arguments", fname);
    }
}

Ref fn_lcg_next(PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    no_args("_lcg_next", nargs, kwnames);
    const uint64_t s = lcg_step(read_state());
    write_state(s);
    return py::from_long(static_cast<long long>(s));
}

Ref fn_lcg_uniform(PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    no_args("_lcg_uniform", nargs, kwnames);
    const uint64_t s = lcg_step(read_state());
    write_state(s);
    return fraction(static_cast<long long>(s), kLcgM);
}

Ref fn_lcg_normal(PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    no_args("_lcg_normal", nargs, kwnames);
    uint64_t s = read_state();
    const uint64_t k = normal_sum(s);
    write_state(s);
    return fraction(static_cast<long long>(k) - 6 * static_cast<long long>(kLcgM), kLcgM);
}

Ref fn_rand(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return draw_tensor<false>("rand", args, nargs, kwnames);
}

Ref fn_randn(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return draw_tensor<true>("randn", args, nargs, kwnames);
}

PyMethodDef random_methods[] = {
    method<fn_manual_seed>("manual_seed", "manual_seed($module, /, seed)\n--\n\n"
                                          "Set the random seed: the state becomes seed mod 2147483646, plus 1."),
    method<fn_lcg_next>("_lcg_next", "_lcg_next($module, /)\n--\n\nAdvance the generator; return the new state."),
    method<fn_lcg_uniform>("_lcg_uniform", "_lcg_uniform($module, /)\n--\n\n"
                                           "Next uniform value: the exact Fraction state / 2147483647."),
    method<fn_lcg_normal>("_lcg_normal", "_lcg_normal($module, /)\n--\n\n"
                                         "Next approximately normal value: the sum of twelve uniforms, minus 6."),
    method<fn_rand>("rand", "rand($module, /, *shape)\n--\n\nRandom uniform tensor in (0, 1)."),
    method<fn_randn>("randn", "randn($module, /, *shape)\n--\n\nRandom approximately standard-normal tensor."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void define_random(PyObject* m) {
    bind("_LCG_A", py::from_long(kLcgA).get());
    bind("_LCG_M", py::from_long(kLcgM).get());
    bind("_lcg_state", py::from_long(1).get());
    add_functions(m, random_methods);
}

}  // namespace zel
