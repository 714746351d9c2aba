// The Fraction bridge and the Gauss-Jordan family: rref, rank, null_space,
// det, inv, solve, lu, verify_identity.  Tensors are read exactly as records,
// eliminated on GMP (matrix.hpp), and results leave through float(Fraction)
// and the module's `tensor`, as the rational algorithms define them.
#include <cmath>
#include <cstring>

#include "../core/convert.hpp"
#include "../core/interrupt.hpp"
#include "../tensor/tensor.hpp"
#include "exact.hpp"
#include "matrix.hpp"

namespace zel {

namespace {

using exact::IntMatrix;
using exact::ScaledMatrix;
using exact::record_scaled;

Ref shape_item(PyObject* shape, Py_ssize_t i) { return py::check(PySequence_GetItem(shape, i)); }

Py_ssize_t index_of(PyObject* o) {
    Ref i = py::check(PyNumber_Index(o));
    return py::as_ssize(i.get());
}

bool objects_differ(PyObject* a, PyObject* b) {
    const int r = PyObject_RichCompareBool(a, b, Py_NE);
    if (r < 0) py::fail();
    return r != 0;
}

// `M, N = A._shape` once the length is known to be 2; the sizes count the
// rows and columns the rational algorithms iterate over (range() of a
// negative size is empty), the objects make the result shapes.
struct Shape2 {
    Ref m_obj, n_obj;
    Py_ssize_t rows = 0, cols = 0;
    Ref tuple() const { return py::tuple(m_obj.dup(), n_obj.dup()); }
};

Shape2 shape2(PyObject* shape) {
    Shape2 s{shape_item(shape, 0), shape_item(shape, 1)};
    s.rows = std::max<Py_ssize_t>(0, index_of(s.m_obj.get()));
    s.cols = std::max<Py_ssize_t>(0, index_of(s.n_obj.get()));
    return s;
}

// The shape of matrix A: ValueError(not_2d) unless it is 2-D, then
// ValueError(not_square) unless its two sizes compare equal.
Shape2 square_shape(PyObject* A, const char* not_2d, const char* not_square) {
    checked_dims(A);
    Ref shape = tensor_shape(A);
    if (py::length(shape.get()) != 2) py::raise(PyExc_ValueError, not_2d);
    Shape2 s = shape2(shape.get());
    if (objects_differ(s.m_obj.get(), s.n_obj.get())) py::raise(PyExc_ValueError, not_square);
    return s;
}

// The records of a tensor, which must hold at least `need` of them; fewer is
// the IndexError the element-wise reading of the list would meet, raised
// before the device is read.
std::vector<fp_t> tensor_records(PyObject* t, Py_ssize_t rows, Py_ssize_t cols) {
    checked_dims(t);
    Ref data = tensor_data(t);
    Py_ssize_t need = 0;
    if (__builtin_mul_overflow(rows, cols, &need) || py::length(data.get()) < need) {
        py::raise(PyExc_IndexError, "list index out of range");
    }
    std::vector<fp_t> recs;
    read_records(data.get(), recs);
    if (static_cast<Py_ssize_t>(recs.size()) < need) py::raise(PyExc_IndexError, "list index out of range");
    return recs;
}

// tensor(list of doubles), then its _shape set as given.
Ref doubles_to_tensor(const double* v, Py_ssize_t n, PyObject* shape) {
    Ref t = doubles_tensor(v, n);
    if (shape) py::check_int(PyObject_SetAttrString(t.get(), "_shape", shape));
    return t;
}

Ref doubles_to_tensor(const std::vector<double>& v, PyObject* shape) {
    return doubles_to_tensor(v.data(), static_cast<Py_ssize_t>(v.size()), shape);
}

double record_to_double(const fp_t& r) {
    Mpz z, one(1);
    record_scaled(z.v, r);
    return exact::ratio_to_double(z.v, one.v, -kFracBits);
}

// `exact` is keyword-only: positional arguments beyond the named ones are
// refused as the interpreter refuses them, before the parser would bind one
// to the flag.
void refuse_extra_positional(const char* fname, Py_ssize_t positional, Py_ssize_t nargs) {
    if (nargs > positional) {
        py::raisef(PyExc_TypeError, "%.200s() takes exactly %zd positional argument%s (%zd given)", fname, positional,
                   positional == 1 ? "" : "s", nargs);
    }
}

bool flag_set(PyObject* flag) { return flag && py::truthy(flag); }

// A tensor holding the records, with the given shape (a 0-d tensor, as
// tensor(x) of one number makes, for an empty tuple).
Ref records_to_tensor(const std::vector<fp_t>& recs, PyObject* shape) {
    Ref t = make_tensor(upload_records(recs.data(), static_cast<Py_ssize_t>(recs.size())), shape);
    if (shape && PyTuple_Check(shape) && PyTuple_GET_SIZE(shape) == 0) {
        py::check_int(PyObject_SetAttrString(t.get(), "_shape", shape));
    }
    return t;
}

// From this size (rows and columns), remaindering beats fraction-free
// elimination on rank-deficient matrices (measured: 0.8 against 0.85 ms at
// 32 x 32 of rank 16, 3.1 against 9.6 ms at 48 x 48).
constexpr Py_ssize_t kRrefModularFrom = 32;

// The records of A's reduced row echelon form and its pivot columns, every
// entry the floor of the exact rational; the full-column-rank case is
// proved modulo a prime as in rref.
std::vector<Py_ssize_t> exact_rref(ScaledMatrix& m, Mpz& d, bool& identity) {
    const Py_ssize_t M = m.c.rows, N = m.c.cols;
    identity = N > 0 && M >= N && exact::rank_modular(m.c) == N;
    if (!identity) return exact::rref_fraction_free(m.c, d);
    std::vector<Py_ssize_t> pivots(static_cast<size_t>(N));
    for (Py_ssize_t j = 0; j < N; ++j) pivots[j] = j;
    return pivots;
}

// The reduced row echelon form of C as (its first pivots.size() rows) / d:
// by remaindering where that pays (into `modular`), else by fraction-free
// elimination in place (C is then the form itself).
const IntMatrix& reduced_form(IntMatrix& c, Mpz& d, std::vector<Py_ssize_t>& pivots, IntMatrix& modular) {
    if (std::min(c.rows, c.cols) >= kRrefModularFrom && exact::rref_multimodular(c, pivots, modular, d)) return modular;
    pivots = exact::rref_fraction_free(c, d);
    return c;
}

// ---------------------------------------------------------------------------
// The bridge.

Ref fn_tensor_to_fraction_matrix(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"A"};
    auto [A] = parse_args("_tensor_to_fraction_matrix", names, 1, args, nargs, kwnames);
    checked_dims(A);
    Ref shape = tensor_shape(A);
    if (py::length(shape.get()) != 2) py::raise(PyExc_ValueError, "Requires 2D tensor");
    const Shape2 s = shape2(shape.get());
    const std::vector<fp_t> recs = tensor_records(A, s.rows, s.cols);
    Ref out = py::check(PyList_New(s.rows));
    for (Py_ssize_t i = 0; i < s.rows; ++i) {
        Ref row = py::check(PyList_New(s.cols));
        for (Py_ssize_t j = 0; j < s.cols; ++j) {
            PyList_SET_ITEM(row.get(), j, record_to_fraction(recs[i * s.cols + j]).release());
        }
        PyList_SET_ITEM(out.get(), i, row.release());
    }
    return out;
}

Ref fn_tensor_to_fraction_vector(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"b"};
    auto [b] = parse_args("_tensor_to_fraction_vector", names, 1, args, nargs, kwnames);
    Ref shape = tensor_shape(b);
    if (py::length(shape.get()) != 1) py::raise(PyExc_ValueError, "Requires 1D tensor");
    checked_dims(b);
    Ref data = tensor_data(b);
    std::vector<fp_t> recs;
    read_records(data.get(), recs);
    Ref out = py::check(PyList_New(static_cast<Py_ssize_t>(recs.size())));
    for (size_t i = 0; i < recs.size(); ++i) {
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), record_to_fraction(recs[i]).release());
    }
    return out;
}

// float() of each item; the sequence is re-read at each step because a
// conversion may run Python code.
void append_floats(PyObject* seq, Py_ssize_t count, std::vector<double>& out) {
    for (Py_ssize_t j = 0; j < count; ++j) {
        Ref item = py::check(PySequence_GetItem(seq, j));
        Ref f = py::check(PyNumber_Float(item.get()));
        out.push_back(PyFloat_AS_DOUBLE(f.get()));
    }
}

Ref fn_fraction_matrix_to_tensor(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"matrix", "shape"};
    auto [matrix, shape] = parse_args("_fraction_matrix_to_tensor", names, 2, args, nargs, kwnames);
    arg_exact(matrix, &PyList_Type, "matrix", "list");
    arg_exact(shape, &PyTuple_Type, "shape", "tuple");
    std::vector<double> flat;
    const Py_ssize_t rows = PyList_GET_SIZE(matrix);
    for (Py_ssize_t i = 0; i < rows; ++i) {
        // Every row is read to the length of the first.
        Ref first = py::check(PySequence_GetItem(matrix, 0));
        const Py_ssize_t width = py::length(first.get());
        Ref row = py::check(PySequence_GetItem(matrix, i));
        append_floats(row.get(), width, flat);
    }
    return doubles_to_tensor(flat, shape);
}

Ref fn_fraction_vector_to_tensor(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"vec"};
    auto [vec] = parse_args("_fraction_vector_to_tensor", names, 1, args, nargs, kwnames);
    arg_exact(vec, &PyList_Type, "vec", "list");
    std::vector<double> flat;
    for (Py_ssize_t j = 0; j < PyList_GET_SIZE(vec); ++j) {
        Ref item = Ref::borrow(PyList_GET_ITEM(vec, j));
        Ref f = py::check(PyNumber_Float(item.get()));
        flat.push_back(PyFloat_AS_DOUBLE(f.get()));
    }
    return doubles_to_tensor(flat, nullptr);
}

// ---------------------------------------------------------------------------
// The Gauss-Jordan family.  With exact=True every entry of a result is the
// record of the exact rational (the floor rule) instead of a double.

Ref pivot_list(const std::vector<Py_ssize_t>& pivots) {
    Ref cols = py::check(PyList_New(static_cast<Py_ssize_t>(pivots.size())));
    for (size_t i = 0; i < pivots.size(); ++i) {
        PyList_SET_ITEM(cols.get(), static_cast<Py_ssize_t>(i), py::from_ssize(pivots[i]).release());
    }
    return cols;
}

Ref fn_rref(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"A", "exact"};
    refuse_extra_positional("rref", 1, nargs);
    auto [A, exact] = parse_args("rref", names, 1, args, nargs, kwnames);
    checked_dims(A);
    Ref shape = tensor_shape(A);
    if (py::length(shape.get()) != 2) py::raise(PyExc_ValueError, "rref requires 2D tensor");
    const Shape2 s = shape2(shape.get());
    const std::vector<fp_t> recs = tensor_records(A, s.rows, s.cols);
    const Py_ssize_t M = s.rows, N = s.cols;
    std::vector<Py_ssize_t> pivots;
    // An empty matrix is its own form, without pivots (and without a row
    // scale for each of perhaps 2^62 empty rows).
    if (M == 0 || N == 0) {
        Ref shape_out = s.tuple();
        if (flag_set(exact)) return py::tuple(records_to_tensor({}, shape_out.get()), pivot_list(pivots));
        return py::tuple(doubles_to_tensor(std::vector<double>{}, shape_out.get()), pivot_list(pivots));
    }
    if (flag_set(exact)) {
        std::vector<fp_t> out(static_cast<size_t>(M * N), exact::zero_record());
        {
            NoGil unlocked;
            Mpz d, one(1);
            if (M >= N && exact::rank_of_records(recs.data(), M, N) == N) {
                // Full column rank, proved modulo a prime: the form is [I; 0].
                for (Py_ssize_t j = 0; j < N; ++j) {
                    exact::ratio_to_record(out[j * N + j], one.v, one.v);
                    pivots.push_back(j);
                }
            } else {
                ScaledMatrix m = exact::from_records(recs.data(), M, N, true);
                IntMatrix holder;
                const IntMatrix& form = reduced_form(m.c, d, pivots, holder);
                for (size_t i = 0; i < pivots.size(); ++i) {
                    for (Py_ssize_t j = 0; j < N; ++j) {
                        if (mpz_sgn(form.at(i, j))) exact::ratio_to_record(out[i * N + j], form.at(i, j), d.v);
                    }
                }
            }
        }
        Ref shape_out = s.tuple();
        return py::tuple(records_to_tensor(out, shape_out.get()), pivot_list(pivots));
    }
    std::vector<double> out(static_cast<size_t>(M * N), 0.0);
    {
        NoGil unlocked;
        if (M >= N && exact::rank_of_records(recs.data(), M, N) == N) {
            // Full column rank, proved modulo a prime: the form is [I; 0].
            for (Py_ssize_t j = 0; j < N; ++j) {
                out[j * N + j] = 1.0;
                pivots.push_back(j);
            }
        } else {
            ScaledMatrix m = exact::from_records(recs.data(), M, N, true);
            Mpz d;
            IntMatrix holder;
            const IntMatrix& form = reduced_form(m.c, d, pivots, holder);
            const Py_ssize_t r = static_cast<Py_ssize_t>(pivots.size());
            for (Py_ssize_t i = 0; i < r; ++i) {
                for (Py_ssize_t j = 0; j < N; ++j) {
                    if (mpz_sgn(form.at(i, j))) out[i * N + j] = exact::ratio_to_double(form.at(i, j), d.v);
                }
            }
        }
    }
    Ref shape_out = s.tuple();
    Ref t = doubles_to_tensor(out, shape_out.get());
    return py::tuple(std::move(t), pivot_list(pivots));
}

Ref fn_rank(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"A"};
    auto [A] = parse_args("rank", names, 1, args, nargs, kwnames);
    Ref result = call_global("rref", A);
    auto [reduced, pivots] = py::unpack2(result.get());
    return py::from_ssize(py::length(pivots.get()));
}

// The basis from the exact reduced form itself: entry -r[i][free] of each
// vector is floored from the exact rational, not read back from a record.
Ref exact_null_space(PyObject* A, const Shape2& s) {
    const Py_ssize_t M = s.rows, N = s.cols;
    if (N == 0) return py::check(PyList_New(0));
    const std::vector<fp_t> recs = tensor_records(A, M, N);
    ScaledMatrix m = exact::from_records(recs.data(), M, N, true);
    Mpz d, one(1), neg;
    bool identity = false;
    std::vector<Py_ssize_t> pivots;
    {
        NoGil unlocked;
        pivots = exact_rref(m, d, identity);
    }
    std::vector<char> is_pivot(static_cast<size_t>(N), 0);
    for (Py_ssize_t p : pivots) is_pivot[p] = 1;
    Ref basis = py::check(PyList_New(0));
    std::vector<fp_t> vec(static_cast<size_t>(N));
    for (Py_ssize_t free_col = 0; free_col < N; ++free_col) {
        if (is_pivot[free_col]) continue;
        std::fill(vec.begin(), vec.end(), exact::zero_record());
        exact::ratio_to_record(vec[free_col], one.v, one.v);
        for (size_t i = 0; i < pivots.size(); ++i) {
            mpz_neg(neg.v, m.c.at(static_cast<Py_ssize_t>(i), free_col));
            exact::ratio_to_record(vec[pivots[i]], neg.v, d.v);
        }
        Ref t = records_to_tensor(vec, nullptr);
        py::check_int(PyList_Append(basis.get(), t.get()));
    }
    return basis;
}

Ref fn_null_space(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"A", "exact"};
    refuse_extra_positional("null_space", 1, nargs);
    auto [A, exact] = parse_args("null_space", names, 1, args, nargs, kwnames);
    checked_dims(A);
    Ref shape = tensor_shape(A);
    if (py::length(shape.get()) != 2) py::raise(PyExc_ValueError, "null_space requires 2D tensor");
    const Py_ssize_t N = shape2(shape.get()).cols;
    if (flag_set(exact)) return exact_null_space(A, shape2(shape.get()));
    Ref result = call_global("rref", A);
    auto [reduced, pivot_cols] = py::unpack2(result.get());
    // The reduced matrix is read back from its tensor, so the basis is built
    // from the fixed-point values of the doubles rref wrote.
    Ref rshape = tensor_shape(reduced.get());
    if (py::length(rshape.get()) != 2) py::raise(PyExc_ValueError, "Requires 2D tensor");
    const Shape2 rs = shape2(rshape.get());
    const std::vector<fp_t> recs = tensor_records(reduced.get(), rs.rows, rs.cols);
    std::vector<Py_ssize_t> pivots;
    {
        Ref it = py::check(PyObject_GetIter(pivot_cols.get()));
        while (Ref p = Ref::steal(PyIter_Next(it.get()))) pivots.push_back(index_of(p.get()));
        if (PyErr_Occurred()) py::fail();
    }
    Ref basis = py::check(PyList_New(0));
    std::vector<double> vec(static_cast<size_t>(N));
    for (Py_ssize_t free_col = 0; free_col < N; ++free_col) {
        Ref key = py::from_ssize(free_col);
        const int in = PySequence_Contains(pivot_cols.get(), key.get());
        if (in < 0) py::fail();
        if (in) continue;
        std::fill(vec.begin(), vec.end(), 0.0);
        vec[free_col] = 1.0;
        for (size_t i = 0; i < pivots.size(); ++i) {
            Py_ssize_t pc = pivots[i];
            if (pc < 0) pc += N;
            const Py_ssize_t row = static_cast<Py_ssize_t>(i);
            if (row >= rs.rows || free_col >= rs.cols) py::raise(PyExc_IndexError, "list index out of range");
            if (pc < 0 || pc >= N) py::raise(PyExc_IndexError, "list assignment index out of range");
            const double v = record_to_double(recs[row * rs.cols + free_col]);
            vec[pc] = v == 0.0 ? 0.0 : -v;  // float(-x) of a rational x; no negative zero
        }
        Ref t = doubles_to_tensor(vec, nullptr);
        py::check_int(PyList_Append(basis.get(), t.get()));
    }
    return basis;
}

Ref fn_det(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"A", "exact"};
    refuse_extra_positional("det", 1, nargs);
    auto [A, exact] = parse_args("det", names, 1, args, nargs, kwnames);
    const Shape2 s = square_shape(A, "det requires 2D tensor", "det requires square matrix");
    const std::vector<fp_t> recs = tensor_records(A, s.rows, s.rows);
    Mpz num, den(1);
    long e = 0;
    {
        NoGil unlocked;
        ScaledMatrix m = exact::from_records(recs.data(), s.rows, s.rows, true);
        exact::determinant(num.v, m.c);
        for (long x : m.exp) e += x;
    }
    if (flag_set(exact)) {
        // det A = det C * 2^-(sum of the row exponents): one floor.
        std::vector<fp_t> out(1);
        exact::ratio_to_record(out[0], num.v, den.v, -e);
        Ref scalar = py::check(PyTuple_New(0));
        return records_to_tensor(out, scalar.get());
    }
    if (mpz_sgn(num.v) == 0) return call_global("tensor", py::from_double(0.0).get());
    // det A = det C * 2^-(sum of the row exponents), in lowest terms.
    if (e <= 0) {
        mpz_mul_2exp(num.v, num.v, static_cast<mp_bitcnt_t>(-e));
    } else {
        const long k = std::min<long>(e, static_cast<long>(mpz_scan1(num.v, 0)));
        mpz_tdiv_q_2exp(num.v, num.v, static_cast<mp_bitcnt_t>(k));
        mpz_mul_2exp(den.v, den.v, static_cast<mp_bitcnt_t>(e - k));
    }
    Ref x = decimal_quotient(num.v, den.v);
    return call_global("tensor", x.get());
}

Ref fn_inv(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"A", "exact"};
    refuse_extra_positional("inv", 1, nargs);
    auto [A, exact] = parse_args("inv", names, 1, args, nargs, kwnames);
    const Shape2 s = square_shape(A, "inv requires 2D tensor", "inv requires square matrix");
    const std::vector<fp_t> recs = tensor_records(A, s.rows, s.rows);
    Ref shape_out = py::tuple(s.m_obj.dup(), s.m_obj.dup());
    if (flag_set(exact)) {
        std::vector<fp_t> out;
        bool regular = false;
        {
            NoGil unlocked;
            ScaledMatrix m = exact::from_records(recs.data(), s.rows, s.rows, true);
            regular = exact::inverse_records(m, out);
        }
        if (!regular) py::raise(PyExc_ValueError, "Matrix is singular");
        return records_to_tensor(out, shape_out.get());
    }
    std::vector<double> out;
    bool regular = false;
    {
        NoGil unlocked;
        ScaledMatrix m = exact::from_records(recs.data(), s.rows, s.rows, true);
        regular = exact::inverse_doubles(m, out);
    }
    if (!regular) py::raise(PyExc_ValueError, "Matrix is singular");
    return doubles_to_tensor(out, shape_out.get());
}

// x with A x = b solved as one system (no inverse), each entry the floor
// of the exact solution; b of shape (n,) or (n, 1), the result shaped alike.
Ref exact_solve(PyObject* A, PyObject* b) {
    const Shape2 s = square_shape(A, "inv requires 2D tensor", "inv requires square matrix");
    const Py_ssize_t n = s.rows;
    const std::vector<fp_t> recs = tensor_records(A, n, n);
    checked_dims(b);
    Ref bshape = tensor_shape(b);
    Ref bdata = tensor_data(b);
    const Py_ssize_t have = py::length(bdata.get());
    if (have != n) {
        Ref ashape = tensor_shape(A);
        Ref text = py::check(PyObject_Str(ashape.get()));
        py::raisef(PyExc_ValueError, "Dimension mismatch: A is %U, x has %zd elements", text.get(), have);
    }
    std::vector<fp_t> brecs;
    read_records(bdata.get(), brecs);
    // [A | b] row by row, read as one scaled matrix: C x = f exactly.
    std::vector<fp_t> aug(static_cast<size_t>(n * (n + 1)));
    for (Py_ssize_t i = 0; i < n; ++i) {
        std::copy(recs.begin() + i * n, recs.begin() + (i + 1) * n, aug.begin() + i * (n + 1));
        aug[i * (n + 1) + n] = brecs[i];
    }
    std::vector<fp_t> out;
    bool regular = false;
    {
        NoGil unlocked;
        ScaledMatrix m = exact::from_records(aug.data(), n, n + 1, true);
        regular = exact::solve_records(m, out);
    }
    if (!regular) py::raise(PyExc_ValueError, "Matrix is singular");
    bool column = false;
    if (py::length(bshape.get()) == 2) {
        Ref cols = shape_item(bshape.get(), 1);
        Ref one = py::from_long(1);
        column = !objects_differ(cols.get(), one.get());
    }
    Ref shape_out = column ? py::tuple(shape_item(bshape.get(), 0), py::from_long(1)) : py::tuple(py::from_ssize(n));
    return records_to_tensor(out, shape_out.get());
}

Ref fn_solve(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"A", "b", "exact"};
    refuse_extra_positional("solve", 2, nargs);
    auto [A, b, exact] = parse_args("solve", names, 2, args, nargs, kwnames);
    if (flag_set(exact)) return exact_solve(A, b);
    Ref A_inv = call_global("inv", A);
    Ref bshape = tensor_shape(b);
    if (py::length(bshape.get()) == 2) {
        Ref cols = shape_item(bshape.get(), 1);
        Ref one = py::from_long(1);
        if (!objects_differ(cols.get(), one.get())) {
            // A column b: multiply through a flat view of its records and
            // give the product the column shape back.
            Ref b_flat = make_tensor(tensor_data(b), py::tuple(shape_item(bshape.get(), 0)));
            Ref x = call_global("mv", A_inv.get(), b_flat.get());
            Ref xshape = tensor_shape(x.get());
            return make_tensor(tensor_data(x.get()), py::tuple(shape_item(xshape.get(), 0), std::move(one)));
        }
    }
    return call_global("mv", A_inv.get(), b);
}

Ref fn_lu(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"a", "exact"};
    refuse_extra_positional("lu", 1, nargs);
    auto [a, exact] = parse_args("lu", names, 1, args, nargs, kwnames);
    const bool records = flag_set(exact);
    const Shape2 s = square_shape(a, "LU requires square matrix", "LU requires square matrix");
    const Py_ssize_t n = s.rows;
    const std::vector<fp_t> recs = tensor_records(a, n, n);
    // One scale for the whole matrix: row scales would change the magnitude
    // comparisons that choose the pivots.
    exact::LuFactors f;
    {
        NoGil unlocked;
        ScaledMatrix m = exact::from_records(recs.data(), n, n, false);
        f = exact::lu_doolittle(m.c, n ? m.exp[0] : 0, records);
    }
    Ref shape_out = py::tuple(s.m_obj.dup(), s.m_obj.dup());
    Ref L = records ? records_to_tensor(f.Lr, shape_out.get()) : doubles_to_tensor(f.L, shape_out.get());
    Ref U = records ? records_to_tensor(f.Ur, shape_out.get()) : doubles_to_tensor(f.U, shape_out.get());
    Ref perm = py::check(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(perm.get(), i, py::from_long(f.perm[i]).release());
    Ref array = py::getattr(S().np, "array");
    Ref pos = py::tuple(std::move(perm));
    Ref kw = py::check(PyDict_New());
    py::check_int(PyDict_SetItemString(kw.get(), "dtype", S().np_int32));
    Ref P = py::check(PyObject_Call(array.get(), pos.get(), kw.get()));
    return py::tuple(std::move(L), std::move(U), std::move(P));
}

Ref fn_verify_identity(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"A", "tol"};
    auto [A, tol_in] = parse_args("verify_identity", names, 1, args, nargs, kwnames);
    const double tol = tol_in ? arg_double(tol_in) : 0.0;
    checked_dims(A);
    Ref shape = tensor_shape(A);
    if (py::length(shape.get()) != 2) return Ref::borrow(Py_False);
    Ref d0 = shape_item(shape.get(), 0), d1 = shape_item(shape.get(), 1);
    if (objects_differ(d0.get(), d1.get())) return Ref::borrow(Py_False);
    const Py_ssize_t n = std::max<Py_ssize_t>(0, index_of(d0.get()));
    Ref data = tensor_data(A);
    std::vector<fp_t> recs;
    read_records(data.get(), recs);
    Mpz z, unit;
    mpz_setbit(unit.v, kFracBits);
    for (Py_ssize_t i = 0; i < n; ++i) {
        for (Py_ssize_t j = 0; j < n; ++j) {
            const size_t k = static_cast<size_t>(i * n + j);
            if (k >= recs.size()) py::raise(PyExc_IndexError, "list index out of range");
            if (tol == 0.0) {
                record_scaled(z.v, recs[k]);
                if (i == j ? mpz_cmp(z.v, unit.v) != 0 : mpz_sgn(z.v) != 0) return Ref::borrow(Py_False);
            } else if (std::fabs(record_to_double(recs[k]) - (i == j ? 1.0 : 0.0)) > tol) {
                return Ref::borrow(Py_False);
            }
        }
    }
    return Ref::borrow(Py_True);
}

PyMethodDef gauss_methods[] = {
    method<fn_tensor_to_fraction_matrix>(
        "_tensor_to_fraction_matrix",
        "_tensor_to_fraction_matrix($module, /, A)\n--\n\nRead a 2D tensor as a list of rows of exact Fractions."),
    method<fn_tensor_to_fraction_vector>(
        "_tensor_to_fraction_vector",
        "_tensor_to_fraction_vector($module, /, b)\n--\n\nRead a 1D tensor as a list of exact Fractions."),
    method<fn_fraction_matrix_to_tensor>(
        "_fraction_matrix_to_tensor",
        "_fraction_matrix_to_tensor($module, /, matrix, shape)\n--\n\n"
        "Write a list of rows of Fractions to a tensor of the given shape (entries rounded through float)."),
    method<fn_fraction_vector_to_tensor>(
        "_fraction_vector_to_tensor",
        "_fraction_vector_to_tensor($module, /, vec)\n--\n\n"
        "Write a list of Fractions to a 1D tensor (entries rounded through float)."),
    method<fn_rref>("rref", "rref($module, /, A, *, exact=False)\n--\n\n"
                            "Reduced row echelon form, computed exactly.\n\n"
                            "Returns (rref_matrix, pivot_columns).  Entries pass through a double unless\n"
                            "exact=True, which gives the record of each exact entry (floor to 2^-256)."),
    method<fn_rank>("rank", "rank($module, /, A)\n--\n\nMatrix rank (exact)."),
    method<fn_null_space>("null_space", "null_space($module, /, A, *, exact=False)\n--\n\n"
                                        "Basis of the null space (exact elimination), one vector per free column.\n\n"
                                        "exact=True floors each exact entry instead of reading back rref's doubles."),
    method<fn_det>("det", "det($module, /, A, *, exact=False)\n--\n\n"
                          "Determinant, computed exactly and rounded once (to a double, or with\n"
                          "exact=True to the record of the exact value)."),
    method<fn_inv>("inv", "inv($module, /, A, *, exact=False)\n--\n\n"
                          "Matrix inverse by exact Gauss-Jordan elimination.\n\n"
                          "Entries pass through a double unless exact=True (the record of each exact entry)."),
    method<fn_solve>("solve", "solve($module, /, A, b, *, exact=False)\n--\n\n"
                              "Solve Ax = b through the exact inverse.\n\n"
                              "exact=True solves the system itself exactly and returns the record of each\n"
                              "exact entry of x."),
    method<fn_lu>("lu", "lu($module, /, a, *, exact=False)\n--\n\n"
                        "LU decomposition with partial pivoting, computed exactly.\n\n"
                        "Returns (L, U, perm) with P*a = L*U; entries pass through a double unless\n"
                        "exact=True (the record of each exact entry)."),
    method<fn_verify_identity>("verify_identity",
                               "verify_identity($module, /, A, tol=0.0)\n--\n\n"
                               "Check whether A is the identity matrix (exactly when tol is 0)."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

Ref decimal_quotient(mpz_srcptr num, mpz_srcptr den) {
    Ref n = pylong_from_mpz(num), d = pylong_from_mpz(den);
    Ref dn = py::call(S().Decimal, n.get()), dd = py::call(S().Decimal, d.get());
    Ref q = py::check(PyNumber_TrueDivide(dn.get(), dd.get()));
    return py::check(PyNumber_Float(q.get()));
}

void define_exact(PyObject* m) {
    add_functions(m, gauss_methods);
    define_exact_values(m);
}

}  // namespace zel
