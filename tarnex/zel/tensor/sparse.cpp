// SparseTensor, a CSR matrix on the device (values, column indices, row
// pointers), built from a dense Tensor by a count-and-extract kernel pair or
// from a host CSR matrix, and sparse_mv.  Every structure is validated on
// the host before a kernel indexes through it, so a malformed one is refused
// instead of read past its end.
#include <cstdint>
#include <limits>

#include "../core/convert.hpp"
#include "../core/pytype.hpp"
#include "tensor.hpp"

namespace zel {
namespace {

struct SparseObject {
    PyObject_HEAD
    PyObject* values;       // _values
    PyObject* col_indices;  // _col_indices
    PyObject* row_ptrs;     // _row_ptrs
    PyObject* shape;        // _shape
    PyObject* nnz;          // _nnz
};

PyTypeObject* g_sparse_type = nullptr;

SparseObject* as_sparse(PyObject* o) { return reinterpret_cast<SparseObject*>(o); }

constexpr long long kIndexMax = std::numeric_limits<int32_t>::max();

// rows, cols = shape, with the interpreter's unpacking errors.
std::pair<Py_ssize_t, Py_ssize_t> unpack_shape(PyObject* shape) {
    Ref it = Ref::steal(PyObject_GetIter(shape));
    if (!it) {
        PyErr_Clear();
        py::raisef(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(shape)->tp_name);
    }
    Ref items[2];
    for (int i = 0; i < 2; ++i) {
        items[i] = Ref::steal(PyIter_Next(it.get()));
        if (!items[i]) {
            if (PyErr_Occurred()) py::fail();
            py::raisef(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
        }
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) py::raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    if (PyErr_Occurred()) py::fail();
    return {py::as_ssize(items[0].get()), py::as_ssize(items[1].get())};
}

[[noreturn]] void bad_csr(const char* what) { py::raisef(PyExc_ValueError, "Invalid CSR structure: %s", what); }

void check_dims(Py_ssize_t rows, Py_ssize_t cols) {
    if (rows < 0 || cols < 0) bad_csr("negative dimension in shape");
    if (rows >= kIndexMax || cols > kIndexMax) bad_csr("shape exceeds 32-bit indices");
}

// The CSR invariants every kernel relies on: rows + 1 row pointers running
// from 0 to nnz without decreasing, one column index per value, each inside
// [0, cols).
template <class I>
void validate_csr(Py_ssize_t rows, Py_ssize_t cols, const I* indptr, Py_ssize_t n_indptr, const I* indices,
                  Py_ssize_t n_indices, Py_ssize_t n_values) {
    check_dims(rows, cols);
    if (n_values > kIndexMax) bad_csr("more than 2**31 - 1 stored entries");
    if (n_indptr != rows + 1) {
        py::raisef(PyExc_ValueError, "Invalid CSR structure: %zd row pointers for %zd rows", n_indptr, rows);
    }
    if (n_indices != n_values) {
        py::raisef(PyExc_ValueError, "Invalid CSR structure: %zd column indices for %zd values", n_indices,
                   n_values);
    }
    if (indptr[0] != 0) bad_csr("row pointers must start at 0");
    for (Py_ssize_t r = 0; r < rows; ++r) {
        if (indptr[r + 1] < indptr[r]) bad_csr("row pointers must not decrease");
    }
    if (static_cast<long long>(indptr[rows]) != n_values) {
        py::raisef(PyExc_ValueError, "Invalid CSR structure: row pointers end at %lld, not at nnz %zd",
                   static_cast<long long>(indptr[rows]), n_values);
    }
    for (Py_ssize_t k = 0; k < n_indices; ++k) {
        if (indices[k] < 0 || static_cast<long long>(indices[k]) >= cols) {
            py::raisef(PyExc_ValueError, "Invalid CSR structure: column index %lld out of range for %zd columns",
                       static_cast<long long>(indices[k]), cols);
        }
    }
}

// `arr` as a one-dimensional, contiguous host array, which must be of the
// NumPy scalar type `type`.
Ref host_vector(PyObject* arr, PyObject* type, const char* what, const char* type_name) {
    Ref contiguous = py::call(py::getattr(S().np, "ascontiguousarray").get(), arr);
    Ref ndim = py::getattr(contiguous.get(), "ndim");
    if (py::as_ssize(ndim.get()) != 1) py::raisef(PyExc_ValueError, "Invalid CSR structure: %s must be 1-D", what);
    Ref dtype = py::getattr(contiguous.get(), "dtype");
    const int same = PyObject_RichCompareBool(dtype.get(), type, Py_EQ);
    if (same < 0) py::fail();
    if (!same) py::raisef(PyExc_ValueError, "Invalid CSR structure: %s must be %s", what, type_name);
    return contiguous;
}

Ref build(PyObject* cls, Ref values, Ref col_indices, Ref row_ptrs, Py_ssize_t rows, Py_ssize_t cols) {
    Ref kwargs = py::check(PyDict_New());
    py::check_int(PyDict_SetItemString(kwargs.get(), "values", values.get()));
    py::check_int(PyDict_SetItemString(kwargs.get(), "col_indices", col_indices.get()));
    py::check_int(PyDict_SetItemString(kwargs.get(), "row_ptrs", row_ptrs.get()));
    py::check_int(PyDict_SetItemString(kwargs.get(), "shape", shape_tuple({rows, cols}).get()));
    Ref empty = py::check(PyTuple_New(0));
    return py::check(PyObject_Call(cls, empty.get(), kwargs.get()));
}

// --- the class ---------------------------------------------------------------

int sparse_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"values", "col_indices", "row_ptrs", "shape"};
    auto [values, cols, ptrs, shape] = parse_init_args("__init__", names, 0, args, kwargs);
    auto given = [](PyObject* o) { return Ref::borrow(o ? o : Py_None); };
    Ref nnz = py::from_ssize(values && values != Py_None ? py::length(values) : 0);
    SparseObject* s = as_sparse(self);
    Py_XSETREF(s->values, given(values).release());
    Py_XSETREF(s->col_indices, given(cols).release());
    Py_XSETREF(s->row_ptrs, given(ptrs).release());
    Py_XSETREF(s->shape, given(shape).release());
    Py_XSETREF(s->nnz, nnz.release());
    return 0;
}

PyObject* field(PyObject* self, PyObject* SparseObject::*f, const char* name) {
    return slot_or_raise(self, as_sparse(self)->*f, name);
}

Ref get_shape(PyObject* self, void*) {
    return Ref::borrow(field(self, &SparseObject::shape, "_shape"));
}

Ref get_nnz(PyObject* self, void*) {
    return Ref::borrow(field(self, &SparseObject::nnz, "_nnz"));
}

Ref sparse_repr(PyObject* self) {
    return py::check(PyUnicode_FromFormat("SparseTensor(shape=%S, nnz=%S)", field(self, &SparseObject::shape, "_shape"),
                                field(self, &SparseObject::nnz, "_nnz")));
}

// Two passes on the device: count each row's non-zeros, prefix-sum the
// counts into row pointers, then extract values and columns.
Ref from_dense(PyObject* cls, PyObject* dense) {
    Ref shape = tensor_shape(dense);
    if (py::length(shape.get()) != 2) py::raise(PyExc_ValueError, "SparseTensor requires 2D input");
    checked_dims(dense);
    auto [rows, cols] = unpack_shape(shape.get());
    check_dims(rows, cols);
    Ref data = tensor_data(dense);
    const Py_ssize_t n = rows * cols;
    check_inputs(KernelId::fp_dense_to_csr_count_kernel, {LaunchArg::in(data.get(), n)});
    Ref counts = dev_empty(rows, S().np_int32);
    launch_1d(KernelId::fp_dense_to_csr_count_kernel, rows,
              {LaunchArg::checked(data.get()), LaunchArg::out(counts.get()), LaunchArg::i32(rows), LaunchArg::i32(cols)});
    Ref row_ptrs = dev_zeros(rows + 1, S().np_int32);
    Ref prefix = py::call(py::getattr(S().cp, "cumsum").get(), counts.get());
    Ref one = py::from_long(1);
    Ref tail = py::check(PySlice_New(one.get(), Py_None, Py_None));
    py::check_int(PyObject_SetItem(row_ptrs.get(), tail.get(), prefix.get()));
    // The last pointer, read through a one-element slice (a device array on
    // every backend).
    Ref minus1 = py::from_long(-1);
    Ref last_slice = py::check(PySlice_New(minus1.get(), Py_None, Py_None));
    Ref last = py::check(PyObject_GetItem(row_ptrs.get(), last_slice.get()));
    Ref last_host = download(last.get());
    Ref nnz_obj = py::check(PySequence_GetItem(last_host.get(), 0));
    const Py_ssize_t nnz = py::as_ssize(nnz_obj.get());
    Ref values = dev_empty(nnz);
    Ref col_indices = dev_empty(nnz, S().np_int32);
    if (nnz > 0) {
        launch_1d(KernelId::fp_dense_to_csr_extract_kernel, rows,
                  {LaunchArg::in(data.get(), n), LaunchArg::out(values.get()), LaunchArg::out(col_indices.get()),
                   LaunchArg::in(row_ptrs.get(), rows + 1, 4), LaunchArg::i32(rows), LaunchArg::i32(cols)});
    }
    return build(cls, std::move(values), std::move(col_indices), std::move(row_ptrs), rows, cols);
}

// Any object with shape, data, indices and indptr; the structure is checked
// in 64-bit integers before it is narrowed to the kernels' 32-bit indices.
Ref from_scipy(PyObject* cls, PyObject* csr) {
    Ref shape = py::getattr(csr, "shape");
    auto [rows, cols] = unpack_shape(shape.get());
    Ref np_int64 = py::getattr(S().np, "int64");
    Ref data = host_vector(py::call_method(py::getattr(csr, "data").get(), "astype", S().np_float64).get(),
                           S().np_float64, "data", "float64");
    Ref indices = host_vector(py::call_method(py::getattr(csr, "indices").get(), "astype", np_int64.get()).get(),
                              np_int64.get(), "indices", "int64");
    Ref indptr = host_vector(py::call_method(py::getattr(csr, "indptr").get(), "astype", np_int64.get()).get(),
                             np_int64.get(), "indptr", "int64");
    {
        Buffer bi(indices.get(), false), bp(indptr.get(), false);
        const Py_ssize_t n_ptr = bp.bytes() / 8;
        if (n_ptr == 0) bad_csr("no row pointers");
        validate_csr(rows, cols, static_cast<const int64_t*>(bp.data()), n_ptr,
                     static_cast<const int64_t*>(bi.data()), bi.bytes() / 8, py::length(data.get()));
    }
    Ref values = upload_doubles(data.get());
    Ref asarray = py::getattr(S().cp, "asarray");
    Ref idx32 = py::call_method(indices.get(), "astype", S().np_int32);
    Ref ptr32 = py::call_method(indptr.get(), "astype", S().np_int32);
    Ref col_indices = py::call(asarray.get(), idx32.get());
    Ref row_ptrs = py::call(asarray.get(), ptr32.get());
    return build(cls, std::move(values), std::move(col_indices), std::move(row_ptrs), rows, cols);
}

Ref m_from_dense(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"dense"};
    auto [dense] = parse_args("from_dense", names, 1, args, nargs, kwnames);
    return from_dense(cls, dense);
}

Ref m_from_scipy(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"scipy_csr"};
    auto [csr] = parse_args("from_scipy", names, 1, args, nargs, kwnames);
    return from_scipy(cls, csr);
}

PyMethodDef sparse_methods[] = {
    type_method<m_from_dense>("from_dense", R"doc(from_dense($cls, /, dense)
--

Convert dense tensor to sparse CSR.

The CSR form of a 2-D Tensor: its non-zero records, row by row, with their
column indices and the row pointers, found by two kernels (count, then
extract). The records are kept as they are.

Args:
    dense: a 2-D Tensor.

Returns:
    A new SparseTensor of the same shape.

Raises:
    ValueError: ``dense`` is not 2-D, or has more rows, columns or non-zeros
        than 32-bit indices hold.

Example:
    >>> s = zel.SparseTensor.from_dense(zel.eye(3))
    >>> s, s.nnz
    (SparseTensor(shape=(3, 3), nnz=3), 3)
)doc",
                              METH_CLASS),
    type_method<m_from_scipy>("from_scipy",
                              R"doc(from_scipy($cls, /, scipy_csr)
--

Create from scipy.sparse.csr_matrix.

A SparseTensor from a host CSR matrix (``scipy.sparse.csr_matrix`` or any
object with ``data``, ``indices``, ``indptr`` and ``shape``). The values are
taken as float64 and each double is stored exactly; the structure is checked
before anything is uploaded.

Args:
    scipy_csr: the CSR matrix.

Returns:
    A new SparseTensor of the same shape.

Raises:
    ValueError: the structure is invalid (row pointers that decrease or do
        not end at the number of values, column indices out of range).

Example:
    >>> import scipy.sparse
    >>> s = zel.SparseTensor.from_scipy(scipy.sparse.csr_matrix([[0, 1.5], [2, 0]]))
    >>> zel.sparse_mv(s, zel.tensor([2, 4])).to_fractions()
    [Fraction(6, 1), Fraction(4, 1)]
)doc",
                              METH_CLASS),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef sparse_getset[] = {
    {"shape", entry_of<get_shape>, nullptr, "The shape (rows, cols).", nullptr},
    {"nnz", entry_of<get_nnz>, nullptr, "Number of non-zeros.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef sparse_members[] = {
    {"_values", Py_T_OBJECT_EX, offsetof(SparseObject, values), 0, nullptr},
    {"_col_indices", Py_T_OBJECT_EX, offsetof(SparseObject, col_indices), 0, nullptr},
    {"_row_ptrs", Py_T_OBJECT_EX, offsetof(SparseObject, row_ptrs), 0, nullptr},
    {"_shape", Py_T_OBJECT_EX, offsetof(SparseObject, shape), 0, nullptr},
    {"_nnz", Py_T_OBJECT_EX, offsetof(SparseObject, nnz), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot sparse_slots[] = {
    {Py_tp_doc, const_cast<char*>(R"doc(SparseTensor(values=None, col_indices=None, row_ptrs=None, shape=None)
--

GPU Fixed-Point Sparse Tensor in CSR format.

A 2-D matrix in compressed sparse row form on the device: the stored
FixedPoint records row by row, their int32 column indices, and rows + 1
int32 row pointers (row r holds entries ``row_ptrs[r]`` to
``row_ptrs[r + 1] - 1``). Build one with ``SparseTensor.from_dense`` or
``SparseTensor.from_scipy``; its one operation is ``sparse_mv``, and
``save``/``load`` keep it exactly. There is no conversion back to a dense
Tensor.

The constructor stores device arrays as given, without checks; ``shape`` is
then as given and ``nnz`` the number of values. ``sparse_mv`` validates the
structure before any kernel reads it, so a malformed one is refused there.

Args:
    values: a device array of records, or None.
    col_indices: a device int32 array, or None.
    row_ptrs: a device int32 array, or None.
    shape: ``(rows, cols)``, or None.

Example:
    >>> s = zel.SparseTensor.from_dense(zel.tensor([[Fraction(1, 2), 0], [0, 2]]))
    >>> s.shape, s.nnz
    ((2, 2), 2)
    >>> zel.sparse_mv(s, zel.tensor([3, 1])).to_fractions()
    [Fraction(3, 2), Fraction(2, 1)]
)doc")},
    {Py_tp_init, reinterpret_cast<void*>(entry_of<sparse_init>)},
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    ZEL_SLOT_TYPE_GC(SparseObject),
    {Py_tp_repr, reinterpret_cast<void*>(entry_of<sparse_repr>)},
    {Py_tp_methods, sparse_methods},
    {Py_tp_getset, sparse_getset},
    {Py_tp_members, sparse_members},
    {0, nullptr},
};

PyType_Spec sparse_spec = {"tarnex.zel.zel.SparseTensor", sizeof(SparseObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, sparse_slots};

// --- sparse_mv -------------------------------------------------------------------

Ref fn_sparse_mv(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"A", "x"};
    auto [A, x] = parse_args("sparse_mv", names, 2, args, nargs, kwnames);
    Ref shape = py::getattr(A, "_shape");
    auto [rows, cols] = unpack_shape(shape.get());
    Ref numel = py::getattr(x, "numel");
    if (py::as_ssize(numel.get()) != cols) {
        py::raisef(PyExc_ValueError, "Dimension mismatch: A is %U, x has %S elements",
                   py::check(PyObject_Str(shape.get())).get(), numel.get());
    }
    // The kernel trusts the row pointers and column indices: check them
    // here, on a host copy, for structures built by hand or changed since.
    Ref values = py::getattr(A, "_values");
    Ref col_dev = py::getattr(A, "_col_indices");
    Ref ptr_dev = py::getattr(A, "_row_ptrs");
    if (values.get() == Py_None || col_dev.get() == Py_None || ptr_dev.get() == Py_None) {
        bad_csr("values, column indices and row pointers are required");
    }
    Ref ptr_host = host_vector(download(ptr_dev.get()).get(), S().np_int32, "row pointers", "int32");
    Ref col_host = host_vector(download(col_dev.get()).get(), S().np_int32, "column indices", "int32");
    const Py_ssize_t nnz = py::length(values.get());
    {
        Buffer bp(ptr_host.get(), false), bc(col_host.get(), false);
        const Py_ssize_t n_ptr = bp.bytes() / 4;
        if (n_ptr == 0) bad_csr("no row pointers");
        validate_csr(rows, cols, static_cast<const int32_t*>(bp.data()), n_ptr, static_cast<const int32_t*>(bc.data()),
                     bc.bytes() / 4, nnz);
    }
    Ref xdata = tensor_data(x);
    check_inputs(KernelId::fp_spmv_kernel, {LaunchArg::in(values.get(), nnz), LaunchArg::in(xdata.get(), cols)});
    Ref out = dev_empty(rows);
    launch_1d(KernelId::fp_spmv_kernel, rows,
              {LaunchArg::checked(values.get()), LaunchArg::in(col_dev.get(), nnz, 4),
               LaunchArg::in(ptr_dev.get(), rows + 1, 4), LaunchArg::checked(xdata.get()),
               LaunchArg::out(out.get()), LaunchArg::i32(rows)});
    return make_tensor(std::move(out), shape_tuple({rows}));
}

PyMethodDef sparse_functions[] = {
    method<fn_sparse_mv>("sparse_mv", "sparse_mv($module, /, A, x)\n--\n\nSparse matrix-vector multiply."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void define_sparse(PyObject* m) {
    if (!g_sparse_type) {
        g_sparse_type = reinterpret_cast<PyTypeObject*>(py::check(PyType_FromSpec(&sparse_spec)).release());
        PyObject* t = reinterpret_cast<PyObject*>(g_sparse_type);
        Ref slots = py::check(Py_BuildValue("[sssss]", "_values", "_col_indices", "_row_ptrs", "_shape", "_nnz"));
        py::check_int(PyObject_SetAttrString(t, "__slots__", slots.get()));
        Ref modname = py::from_str("tarnex.zel.zel");
        py::check_int(PyObject_SetAttrString(t, "__module__", modname.get()));
    }
    bind("SparseTensor", reinterpret_cast<PyObject*>(g_sparse_type));
    add_functions(m, sparse_functions);
}

}  // namespace zel
