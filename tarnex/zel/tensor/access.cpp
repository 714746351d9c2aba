// Reading a tensor back (exact Fractions, float64 NumPy arrays) and NumPy's
// basic indexing: integers, slices with steps, Ellipsis, None and tuples of
// these.  A selection is a base offset plus one stride per output dimension,
// so every gather and scatter is one launch of fp_strided_copy_kernel; the
// records never pass through the host.  Results are new tensors (copies),
// as for every other operation of the module.
#include "../core/convert.hpp"
#include "tensor.hpp"

namespace zel {

std::vector<Py_ssize_t> row_major_strides(const std::vector<Py_ssize_t>& dims) {
    std::vector<Py_ssize_t> strides(dims.size());
    Py_ssize_t s = 1;
    for (size_t j = dims.size(); j-- > 0;) {
        strides[j] = s;
        s *= dims[j];
    }
    return strides;
}

Py_ssize_t checked_product(const std::vector<Py_ssize_t>& dims) {
    Py_ssize_t n = 1;
    for (Py_ssize_t d : dims) {
        if (d < 0 || __builtin_mul_overflow(n, d, &n)) return -1;
    }
    return n;
}

namespace {

Ref shape_text(const std::vector<Py_ssize_t>& dims) { return py::check(PyObject_Str(shape_tuple(dims).get())); }

// The dims of a tensor whose shape must describe its records (the shared
// check), and their product.
std::vector<Py_ssize_t> checked_dims(PyObject* shape, PyObject* data, Py_ssize_t* total) {
    std::vector<Py_ssize_t> dims = zel::checked_dims(data, shape);
    *total = py::length(data);
    return dims;
}

// A device array holding a copy of host int64 values.
Ref upload_plan(const std::vector<long long>& plan) {
    static PyObject* int64 = py::getattr(S().np, "int64").release();
    const Py_ssize_t n = static_cast<Py_ssize_t>(plan.size());
    Ref out = dev_empty(n, int64);
    Ref data = py::getattr(out.get(), "data");
    Ref ptr = py::check(PyLong_FromVoidPtr(const_cast<long long*>(plan.data())));
    Ref nbytes = py::from_ssize(n * static_cast<Py_ssize_t>(sizeof(long long)));
    py::call_method(data.get(), "copy_from_host", ptr.get(), nbytes.get());
    return out;
}

// The records a basic index selects: output dimension j has dims[j] entries
// at source offsets base + c * strides[j].
struct Selection {
    std::vector<Py_ssize_t> dims;
    std::vector<Py_ssize_t> strides;
    Py_ssize_t base = 0;
    Py_ssize_t count() const { return checked_product(dims); }
};

[[noreturn]] void bad_index() {
    py::raise(PyExc_IndexError,
              "only integers, slices (`:`), ellipsis (`...`), None and tuples of these are valid tensor indices");
}

bool is_int_index(PyObject* item) { return !PyBool_Check(item) && PyIndex_Check(item); }

// NumPy's basic indexing over a row-major shape, with NumPy's messages.
Selection select(PyObject* key, const std::vector<Py_ssize_t>& shape) {
    Ref items = PyTuple_Check(key) ? Ref::borrow(key) : py::tuple(Ref::borrow(key));
    const Py_ssize_t nitems = PyTuple_GET_SIZE(items.get());
    const Py_ssize_t ndim = static_cast<Py_ssize_t>(shape.size());
    Py_ssize_t consumed = 0, ellipses = 0;
    for (Py_ssize_t k = 0; k < nitems; ++k) {
        PyObject* item = PyTuple_GET_ITEM(items.get(), k);
        if (item == Py_Ellipsis) ++ellipses;
        else if (PySlice_Check(item) || is_int_index(item)) ++consumed;
        else if (item != Py_None) bad_index();
    }
    if (ellipses > 1) py::raise(PyExc_IndexError, "an index can only have a single ellipsis ('...')");
    if (consumed > ndim) {
        py::raisef(PyExc_IndexError, "too many indices for tensor: tensor is %zd-dimensional, but %zd were indexed",
                   ndim, consumed);
    }
    const std::vector<Py_ssize_t> src_strides = row_major_strides(shape);
    Selection sel;
    Py_ssize_t axis = 0;
    auto keep_axis = [&]() {
        sel.dims.push_back(shape[axis]);
        sel.strides.push_back(src_strides[axis]);
        ++axis;
    };
    for (Py_ssize_t k = 0; k < nitems; ++k) {
        PyObject* item = PyTuple_GET_ITEM(items.get(), k);
        if (item == Py_Ellipsis) {
            for (Py_ssize_t r = ndim - consumed; r > 0; --r) keep_axis();
        } else if (item == Py_None) {
            sel.dims.push_back(1);
            sel.strides.push_back(0);
        } else if (PySlice_Check(item)) {
            Py_ssize_t start, stop, step;
            if (PySlice_Unpack(item, &start, &stop, &step) < 0) py::fail();
            const Py_ssize_t len = PySlice_AdjustIndices(shape[axis], &start, &stop, step);
            sel.dims.push_back(len);
            // With two or more entries |step| < shape[axis], so the product
            // stays within the tensor; a lone entry's stride is never used.
            sel.strides.push_back(len > 1 ? step * src_strides[axis] : 0);
            if (len > 0) sel.base += start * src_strides[axis];
            ++axis;
        } else {
            const Py_ssize_t given = PyNumber_AsSsize_t(item, PyExc_IndexError);
            if (given == -1 && PyErr_Occurred()) {
                // Integer arrays offer __index__ but refuse it: advanced indexing is not offered.
                if (!PyErr_ExceptionMatches(PyExc_TypeError)) py::fail();
                PyErr_Clear();
                bad_index();
            }
            const Py_ssize_t i = given < 0 ? given + shape[axis] : given;
            if (i < 0 || i >= shape[axis]) {
                py::raisef(PyExc_IndexError, "index %zd is out of bounds for axis %zd with size %zd", given, axis,
                           shape[axis]);
            }
            sel.base += i * src_strides[axis];
            ++axis;
        }
    }
    while (axis < ndim) keep_axis();
    return sel;
}

// plan = [k, dst_base, src_base, dims, dst_strides, src_strides], the layout
// fp_strided_copy_kernel reads.
std::vector<long long> make_plan(const std::vector<Py_ssize_t>& dims, Py_ssize_t dst_base,
                                 const std::vector<Py_ssize_t>& dst_strides, Py_ssize_t src_base,
                                 const std::vector<Py_ssize_t>& src_strides) {
    std::vector<long long> plan{static_cast<long long>(dims.size()), dst_base, src_base};
    plan.insert(plan.end(), dims.begin(), dims.end());
    plan.insert(plan.end(), dst_strides.begin(), dst_strides.end());
    plan.insert(plan.end(), src_strides.begin(), src_strides.end());
    return plan;
}

void strided_copy(PyObject* src, Py_ssize_t src_need, PyObject* dst, Py_ssize_t dst_need,
                  const std::vector<long long>& plan, Py_ssize_t n) {
    KernelId kernel = KernelId::fp_strided_copy_kernel;
    check_inputs(kernel, {LaunchArg::in(src, src_need), LaunchArg::in(dst, dst_need)});
    if (n == 0) return;
    Ref dev_plan = upload_plan(plan);
    const Py_ssize_t plan_len = static_cast<Py_ssize_t>(plan.size());
    launch_1d(kernel, n,
              {LaunchArg::in(src, src_need), LaunchArg::in(dst, dst_need),
               LaunchArg::in(dev_plan.get(), plan_len, sizeof(long long)), LaunchArg::i32(n)});
}

// Device address range [lo, hi) of an array's bytes.
std::pair<uintptr_t, uintptr_t> byte_range(PyObject* arr) {
    Ref data = py::getattr(arr, "data");
    Ref ptr = py::getattr(data.get(), "ptr");
    Ref nbytes = py::getattr(arr, "nbytes");
    const uintptr_t lo = static_cast<uintptr_t>(PyLong_AsUnsignedLongLong(ptr.get()));
    if (PyErr_Occurred()) py::fail();
    return {lo, lo + static_cast<uintptr_t>(py::as_ssize(nbytes.get()))};
}

bool overlaps(PyObject* a, PyObject* b) {
    if (a == b) return true;
    auto [alo, ahi] = byte_range(a);
    auto [blo, bhi] = byte_range(b);
    return alo < bhi && blo < ahi;
}

// Value strides for writing a value of shape `vdims` into a selection of
// shape `dims`, broadcast as NumPy assigns: leading unit dimensions of the
// value may be dropped, then dimensions align from the right and a value
// dimension of 1 repeats (stride 0).
std::vector<Py_ssize_t> broadcast_strides(std::vector<Py_ssize_t> vdims, const std::vector<Py_ssize_t>& dims) {
    const std::vector<Py_ssize_t> original = vdims;
    while (vdims.size() > dims.size() && vdims.front() == 1) vdims.erase(vdims.begin());
    auto refuse = [&]() {
        py::raisef(PyExc_ValueError, "could not broadcast value of shape %U into shape %U",
                   shape_text(original).get(), shape_text(dims).get());
    };
    if (vdims.size() > dims.size()) refuse();
    const std::vector<Py_ssize_t> vstrides = row_major_strides(vdims);
    const size_t lead = dims.size() - vdims.size();
    std::vector<Py_ssize_t> strides(dims.size(), 0);
    for (size_t j = lead; j < dims.size(); ++j) {
        const Py_ssize_t v = vdims[j - lead];
        if (v == dims[j]) strides[j] = vstrides[j - lead];
        else if (v != 1) refuse();
    }
    return strides;
}

Ref getitem(PyObject* self, PyObject* key) {
    Ref data = tensor_data(self);
    Ref shape = tensor_shape(self);
    Py_ssize_t total = 0;
    const std::vector<Py_ssize_t> dims = checked_dims(shape.get(), data.get(), &total);
    const Selection sel = select(key, dims);
    const Py_ssize_t n = sel.count();
    Ref out = dev_empty(n);
    strided_copy(data.get(), total, out.get(), n,
                 make_plan(sel.dims, 0, row_major_strides(sel.dims), sel.base, sel.strides), n);
    return make_tensor_as(std::move(out), shape_tuple(sel.dims));
}

void setitem(PyObject* self, PyObject* key, PyObject* value) {
    Ref data = tensor_data(self);
    Ref shape = tensor_shape(self);
    Py_ssize_t total = 0;
    const std::vector<Py_ssize_t> dims = checked_dims(shape.get(), data.get(), &total);
    const Selection sel = select(key, dims);
    Ref v = as_tensor(value);
    Ref vdata = tensor_data(v.get());
    Ref vshape = tensor_shape(v.get());
    Py_ssize_t vtotal = 0;
    const std::vector<Py_ssize_t> vdims = checked_dims(vshape.get(), vdata.get(), &vtotal);
    const std::vector<Py_ssize_t> vstrides = broadcast_strides(vdims, sel.dims);
    const Py_ssize_t n = sel.count();
    if (n == 0) return;
    // The threads of one launch run in no set order: a value sharing memory
    // with the destination (t[1:] = t[:-1]) is copied first, as NumPy does.
    if (vtotal > 0 && overlaps(vdata.get(), data.get())) vdata = copy_records(vdata.get());
    strided_copy(vdata.get(), vtotal, data.get(), total, make_plan(sel.dims, sel.base, sel.strides, 0, vstrides), n);
}

}  // namespace

// --- read-back -------------------------------------------------------------------

Ref tensor_to_fractions(PyObject* self) {
    Ref data = tensor_data(self);
    Ref shape = tensor_shape(self);
    std::vector<fp_t> recs;
    read_records(data.get(), recs);
    Ref flat = py::check(PyList_New(static_cast<Py_ssize_t>(recs.size())));
    for (size_t i = 0; i < recs.size(); ++i) {
        PyList_SET_ITEM(flat.get(), static_cast<Py_ssize_t>(i), record_to_fraction(recs[i]).release());
    }
    Ref unflatten = py::getattr(reinterpret_cast<PyObject*>(tensor_type()), "_unflatten");
    return py::call(unflatten.get(), flat.get(), shape.get());
}

Ref tensor_numpy(PyObject* self) {
    Ref data = tensor_data(self);
    Ref shape = tensor_shape(self);
    std::vector<Py_ssize_t> dims = zel::checked_dims(data.get(), shape.get());
    const Py_ssize_t n = py::length(data.get());
    Ref doubles = dev_empty(n, S().np_float64);
    launch_1d(KernelId::fp_to_double_kernel, n,
              {LaunchArg::in(data.get(), n), LaunchArg::out(doubles.get()), LaunchArg::i32(n)});
    Ref host = download(doubles.get());
    Ref dims_obj = shape_tuple(dims);
    return py::call_method(host.get(), "reshape", dims_obj.get());
}

Ref tensor_array(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"dtype", "copy"};
    auto [dtype, copy] = parse_args("__array__", names, 0, args, nargs, kwnames);
    // The records are never float64, so a copy cannot be avoided.
    if (copy && copy != Py_None && !py::truthy(copy)) {
        py::raise(PyExc_ValueError, "Unable to avoid copy while creating an array as requested.");
    }
    Ref arr = py::call_method(self, "numpy");
    if (!dtype || dtype == Py_None) return arr;
    Ref astype = py::getattr(arr.get(), "astype");
    Ref kw = py::check(Py_BuildValue("{sO}", "copy", Py_False));
    Ref pos = py::tuple(Ref::borrow(dtype));
    return py::check(PyObject_Call(astype.get(), pos.get(), kw.get()));
}

// --- indexing ----------------------------------------------------------------------

Ref tensor_getitem(PyObject* self, PyObject* key) {
    return getitem(self, key);
}

int tensor_setitem(PyObject* self, PyObject* key, PyObject* value) {
    if (!value) py::raise(PyExc_ValueError, "cannot delete tensor elements");
    setitem(self, key, value);
    return 0;
}

Py_ssize_t tensor_len(PyObject* self) {
    Ref shape = tensor_shape(self);
    if (py::length(shape.get()) == 0) py::raise(PyExc_TypeError, "len() of unsized object");
    Ref first = py::check(PySequence_GetItem(shape.get(), 0));
    return py::as_ssize(first.get());
}

// Rows are taken one at a time, through the type's current __getitem__:
// map(self.__getitem__, range(len(self))).
Ref iterate_rows(PyObject* self, PyObject* shape) {
    if (py::length(shape) == 0) py::raise(PyExc_TypeError, "iteration over a 0-d tensor");
    Ref getitem = py::getattr(self, "__getitem__");
    Ref count = py::from_ssize(py::length(self));
    Ref indices = py::call(reinterpret_cast<PyObject*>(&PyRange_Type), count.get());
    Ref rows = py::call(reinterpret_cast<PyObject*>(&PyMap_Type), getitem.get(), indices.get());
    return py::check(PyObject_GetIter(rows.get()));
}

Ref tensor_iter(PyObject* self) {
    Ref shape = tensor_shape(self);
    return iterate_rows(self, shape.get());
}

// A tensor is true as it always was: having a length must not make empty or
// zero tensors false, nor a 0-d tensor's truth raise.
int tensor_bool(PyObject*) { return 1; }

Ref tensor_ndim(PyObject* self, void*) {
    Ref shape = tensor_shape(self);
    return py::from_ssize(py::length(shape.get()));
}

}  // namespace zel
