// Saving and loading: a Tensor is one .npy array of FixedPoint records in
// its shape; a ComplexTensor or a SparseTensor is an .npz archive of its
// parts.  Both are NumPy's own formats with a plain structured dtype, so
// numpy.load reads the files without unpickling anything.  Tensor pickles go
// through the same host records, so a pickle moves between devices.
#include <cstring>

#include "../complex/complex.hpp"
#include "../core/convert.hpp"
#include "tensor.hpp"

namespace zel {
namespace {

bool same_dtype(PyObject* arr, PyObject* dtype) {
    Ref have = py::getattr(arr, "dtype");
    const int same = PyObject_RichCompareBool(have.get(), dtype, Py_EQ);
    if (same < 0) py::fail();
    return same != 0;
}

// A host array as `dtype`, allowing only a change of byte order (a file
// written on a big-endian machine); ValueError naming `what` otherwise.
Ref as_host_dtype(PyObject* arr, PyObject* dtype, const char* what) {
    Ref a = py::call(py::getattr(S().np, "asarray").get(), arr);
    if (same_dtype(a.get(), dtype)) return a;
    Ref astype = py::getattr(a.get(), "astype");
    Ref kw = py::check(Py_BuildValue("{ss}", "casting", "equiv"));
    Ref pos = py::tuple(Ref::borrow(dtype));
    Ref cast = Ref::steal(PyObject_Call(astype.get(), pos.get(), kw.get()));
    if (!cast) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) py::fail();
        PyErr_Clear();
        Ref got = py::getattr(a.get(), "dtype");
        py::raisef(PyExc_ValueError, "expected %s, got an array of dtype %S", what, got.get());
    }
    return cast;
}

// A device array holding a copy of the host array's bytes (C order).
Ref upload_bytes(PyObject* host, PyObject* dtype) {
    Ref contiguous = py::call(py::getattr(S().np, "ascontiguousarray").get(), host);
    Ref size = py::getattr(contiguous.get(), "size");
    const Py_ssize_t n = py::as_ssize(size.get());
    Ref out = dev_empty(n, dtype);
    Buffer buf(contiguous.get(), false);
    if (buf.bytes() > 0) {
        Ref data = py::getattr(out.get(), "data");
        Ref ptr = py::check(PyLong_FromVoidPtr(buf.data()));
        Ref nbytes = py::from_ssize(buf.bytes());
        py::call_method(data.get(), "copy_from_host", ptr.get(), nbytes.get());
    }
    return out;
}

// A device record array from host records.  A negative zero (sign -1, zero
// magnitude), which no operation writes, is stored as +0; every other
// record keeps its bytes, so a round trip keeps the checksum.
Ref upload_host_records(PyObject* arr) {
    Ref a = as_host_dtype(arr, S().dtype, "an array of FixedPoint records");
    Ref contiguous = py::call(py::getattr(S().np, "ascontiguousarray").get(), a.get());
    std::vector<fp_t> recs;
    {
        Buffer buf(contiguous.get(), false);
        recs.resize(static_cast<size_t>(buf.bytes() / kRecordBytes));
        if (!recs.empty()) std::memcpy(recs.data(), buf.data(), recs.size() * kRecordBytes);
    }
    for (fp_t& r : recs) {
        if (r.sign == -1 && fp_is_zero(r)) r.sign = 1;
    }
    return upload_records(recs.data(), static_cast<Py_ssize_t>(recs.size()));
}

Ref host_array(PyObject* dev, PyObject* dtype, const char* what) {
    if (dev == Py_None) py::raisef(PyExc_ValueError, "cannot save a SparseTensor without %s", what);
    Ref host = download(dev);
    if (!same_dtype(host.get(), dtype)) py::raisef(PyExc_TypeError, "expected %s", what);
    return host;
}

Ref shape_of_records(const Ref& arr) {
    Ref shape = py::getattr(arr.get(), "shape");
    return py::check(PySequence_Tuple(shape.get()));
}

Ref call_with_kwargs(PyObject* f, PyObject* positional, PyObject* kwargs) {
    Ref pos = py::tuple(Ref::borrow(positional));
    return py::check(PyObject_Call(f, pos.get(), kwargs));
}

void save_sparse(PyObject* path, PyObject* s) {
    Ref values = py::getattr(s, "_values"), cols = py::getattr(s, "_col_indices"),
        ptrs = py::getattr(s, "_row_ptrs"), shape = py::getattr(s, "_shape");
    Ref kwargs = py::check(PyDict_New());
    auto put = [&](const char* key, const Ref& v) { py::check_int(PyDict_SetItemString(kwargs.get(), key, v.get())); };
    put("values", host_array(values.get(), S().dtype, "values as FixedPoint records"));
    put("col_indices", host_array(cols.get(), S().np_int32, "int32 column indices"));
    put("row_ptrs", host_array(ptrs.get(), S().np_int32, "int32 row pointers"));
    Ref np_int64 = py::getattr(S().np, "int64");
    put("shape", call_with_dtype(py::getattr(S().np, "asarray").get(), shape.get(), np_int64.get()));
    call_with_kwargs(py::getattr(S().np, "savez").get(), path, kwargs.get());
}

Ref load_sparse(PyObject* npz) {
    auto part = [&](const char* key) { return py::check(PyObject_GetItem(npz, py::from_str(key).get())); };
    Ref values = upload_host_records(part("values").get());
    Ref kwargs = py::check(PyDict_New());
    py::check_int(PyDict_SetItemString(kwargs.get(), "values", values.get()));
    for (const char* key : {"col_indices", "row_ptrs"}) {
        Ref host = as_host_dtype(part(key).get(), S().np_int32, "int32 CSR indices");
        Ref ndim = py::getattr(host.get(), "ndim");
        if (py::as_ssize(ndim.get()) != 1) py::raisef(PyExc_ValueError, "Invalid CSR structure: %s must be 1-D", key);
        py::check_int(PyDict_SetItemString(kwargs.get(), key, upload_bytes(host.get(), S().np_int32).get()));
    }
    Ref shape_arr = part("shape");
    Ref shape_list = py::call_method(shape_arr.get(), "tolist");
    Ref shape = py::check(PySequence_Tuple(shape_list.get()));
    if (PyTuple_GET_SIZE(shape.get()) != 2) py::raise(PyExc_ValueError, "Invalid CSR structure: shape must be (rows, cols)");
    py::check_int(PyDict_SetItemString(kwargs.get(), "shape", shape.get()));
    Ref empty = py::check(PyTuple_New(0));
    return py::check(PyObject_Call(global("SparseTensor"), empty.get(), kwargs.get()));
}

Ref load_complex(PyObject* npz) {
    Ref real_host = py::check(PyObject_GetItem(npz, py::from_str("real").get()));
    Ref imag_host = py::check(PyObject_GetItem(npz, py::from_str("imag").get()));
    Ref real = tensor_from_host_records(real_host.get(), nullptr);
    Ref imag = tensor_from_host_records(imag_host.get(), nullptr);
    return call_global("ComplexTensor", real.get(), imag.get());
}

Ref string_set(std::initializer_list<const char*> keys) {
    Ref set = py::check(PySet_New(nullptr));
    for (const char* k : keys) py::check_int(PySet_Add(set.get(), py::from_str(k).get()));
    return set;
}

// The archive's arrays decide what it holds.
Ref load_archive(PyObject* npz) {
    Ref files = py::getattr(npz, "files");
    Ref names = py::check(PySet_New(files.get()));
    auto holds = [&](const Ref& keys) {
        const int r = PyObject_RichCompareBool(names.get(), keys.get(), Py_EQ);
        if (r < 0) py::fail();
        return r != 0;
    };
    if (holds(string_set({"real", "imag"}))) return load_complex(npz);
    if (holds(string_set({"values", "col_indices", "row_ptrs", "shape"}))) return load_sparse(npz);
    py::raisef(PyExc_ValueError,
               "not an archive of a ComplexTensor (real, imag) or a SparseTensor (values, col_indices, row_ptrs, "
               "shape): it holds %S",
               files.get());
}

// Closes an opened archive on every path, keeping a pending exception.
struct Closer {
    PyObject* file;
    ~Closer() {
        PyObject* pending = PyErr_GetRaisedException();
        PyObject* r = PyObject_CallMethod(file, "close", nullptr);
        if (r) Py_DECREF(r);
        else PyErr_Clear();
        PyErr_SetRaisedException(pending);
    }
};

// --- module functions ------------------------------------------------------------

Ref fn_save(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"path", "t"};
    auto [path, t] = parse_args("save", names, 2, args, nargs, kwnames);
    if (is_tensor(t)) {
        Ref records = host_records_shaped(t);
        Ref kwargs = py::check(Py_BuildValue("{sO}", "allow_pickle", Py_False));
        Ref pos = py::tuple(Ref::borrow(path), std::move(records));
        py::check(PyObject_Call(py::getattr(S().np, "save").get(), pos.get(), kwargs.get()));
    } else if (is_complex(t)) {
        Ref real = py::getattr(t, "_real"), imag = py::getattr(t, "_imag");
        Ref kwargs = py::check(PyDict_New());
        py::check_int(PyDict_SetItemString(kwargs.get(), "real", host_records_shaped(real.get()).get()));
        py::check_int(PyDict_SetItemString(kwargs.get(), "imag", host_records_shaped(imag.get()).get()));
        call_with_kwargs(py::getattr(S().np, "savez").get(), path, kwargs.get());
    } else if (py::isinstance(t, global("SparseTensor"))) {
        save_sparse(path, t);
    } else {
        py::raisef(PyExc_TypeError, "save() expects a Tensor, ComplexTensor or SparseTensor, got %.200s",
                   Py_TYPE(t)->tp_name);
    }
    return Ref::borrow(Py_None);
}

Ref fn_load(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"path"};
    auto [path] = parse_args("load", names, 1, args, nargs, kwnames);
    Ref kwargs = py::check(Py_BuildValue("{sO}", "allow_pickle", Py_False));
    Ref loaded = call_with_kwargs(py::getattr(S().np, "load").get(), path, kwargs.get());
    if (py::isinstance(loaded.get(), S().np_ndarray)) return tensor_from_host_records(loaded.get(), nullptr);
    Closer closer{loaded.get()};
    return load_archive(loaded.get());
}

Ref fn_tensor_from_records(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"records", "shape"};
    auto [records, shape] = parse_args("_tensor_from_records", names, 1, args, nargs, kwnames);
    return tensor_from_host_records(records, shape && shape != Py_None ? shape : nullptr);
}

PyMethodDef file_methods[] = {
    method<fn_save>("save", "save($module, /, path, t)\n--\n\n"
                            "Save a Tensor as .npy (its records in its shape), or a ComplexTensor or SparseTensor "
                            "as .npz."),
    method<fn_load>("load", "load($module, /, path)\n--\n\nLoad what save wrote: a Tensor, ComplexTensor or "
                            "SparseTensor."),
    method<fn_tensor_from_records>("_tensor_from_records",
                                   "_tensor_from_records($module, /, records, shape=None)\n--\n\n"
                                   "A tensor of host FixedPoint records (unpickling)."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

Ref host_records_shaped(PyObject* t) {
    Ref data = tensor_data(t);
    Ref shape = tensor_shape(t);
    const std::vector<Py_ssize_t> dims = checked_dims(data.get(), shape.get());
    Ref host = download(data.get());
    if (!same_dtype(host.get(), S().dtype)) py::raise(PyExc_TypeError, "expected an array of FixedPoint records");
    Ref dims_obj = shape_tuple(dims);
    return py::call_method(host.get(), "reshape", dims_obj.get());
}

Ref tensor_from_host_records(PyObject* arr, PyObject* shape) {
    Ref a = py::call(py::getattr(S().np, "asarray").get(), arr);
    Ref s = shape ? Ref::borrow(shape) : shape_of_records(a);
    return make_tensor_as(upload_host_records(a.get()), std::move(s));
}

Ref tensor_reduce(PyObject* self) {
    Ref data = tensor_data(self);
    Ref host = download(data.get());
    if (!same_dtype(host.get(), S().dtype)) py::raise(PyExc_TypeError, "expected an array of FixedPoint records");
    return py::tuple(Ref::borrow(global("_tensor_from_records")),
                     py::tuple(std::move(host), tensor_shape(self)))
        ;
}

void define_files(PyObject* m) { add_functions(m, file_methods); }

}  // namespace zel
