// The two backends.  The host one launches through the host kernel library's
// in-process entry (host/api.hpp) with raw pointers taken from the stand-in's
// arrays by the buffer protocol; the CUDA one calls the loader's kernel
// objects, fetched once per kernel, with CuPy's argument tuple.
#include "backend.hpp"

#include "../host/api.hpp"

#include <cstring>

namespace zel {
namespace {

constexpr size_t kMaxKernelParams = 16;

Ref dims_tuple(const Dims& d, int ndim) {
    if (ndim == 1) return py::tuple(py::from_ssize(d.x));
    if (ndim == 2) return py::tuple(py::from_ssize(d.x), py::from_ssize(d.y));
    return py::tuple(py::from_ssize(d.x), py::from_ssize(d.y), py::from_ssize(d.z));
}

int dims_rank(const Dims& d) { return d.z != 1 ? 3 : (d.y != 1 ? 2 : 1); }

// ---------------------------------------------------------------------------

class CudaBackend final : public Backend {
public:
    Ref allocate(Py_ssize_t n, PyObject* dtype, bool zeroed) override {
        Ref alloc = py::getattr(S().cp, zeroed ? "zeros" : "empty");
        Ref count = py::from_ssize(n);
        return call_with_dtype(alloc.get(), count.get(), dtype ? dtype : S().dtype);
    }

    void launch(KernelId kernel, const Dims& grid, const Dims& block,
                std::initializer_list<LaunchArg> args) override {
        for (const LaunchArg& a : args) {
            if (a.array && a.need > 0) check(kernel, a);
        }
        Ref tup = py::check(PyTuple_New(static_cast<Py_ssize_t>(args.size())));
        Py_ssize_t i = 0;
        for (const LaunchArg& a : args) {
            Ref item = a.array ? Ref::borrow(a.array) : a.wide ? np_int64(a.scalar) : np_int32(a.scalar);
            PyTuple_SET_ITEM(tup.get(), i++, item.release());
        }
        const int rank = std::max(dims_rank(grid), dims_rank(block));
        Ref g = dims_tuple(grid, rank), b = dims_tuple(block, rank);
        py::call(kernel_object(kernel), g.get(), b.get(), tup.get());
    }

    void synchronize() override {
        static PyObject* device_type = [] {
            Ref cuda = py::getattr(S().cp, "cuda");
            return py::getattr(cuda.get(), "Device").release();
        }();
        Ref device = py::call(device_type);
        py::call_method(device.get(), "synchronize");
    }

    void copy(PyObject* dst, Py_ssize_t dst_at, PyObject* src, Py_ssize_t src_at, Py_ssize_t bytes) override {
        Ref dst_data = py::getattr(dst, "data"), src_data = py::getattr(src, "data");
        if (dst_at) dst_data = py::check(PyNumber_Add(dst_data.get(), py::from_ssize(dst_at).get()));
        if (src_at) src_data = py::check(PyNumber_Add(src_data.get(), py::from_ssize(src_at).get()));
        Ref size = py::from_ssize(bytes);
        py::call_method(dst_data.get(), "copy_from_device", src_data.get(), size.get());
    }

private:
    // The loader's kernel object, fetched through `_get_kernel` on first use.
    PyObject* kernel_object(KernelId kernel) {
        PyObject*& slot = kernels_[static_cast<int>(kernel)];
        if (!slot) {
            Ref name = py::from_str(kernel_name(kernel));
            slot = call_global("_get_kernel", name.get()).release();
        }
        return slot;
    }

public:
    Py_ssize_t length(PyObject* array) override { return py::length(array); }

    void check(KernelId kernel, const LaunchArg& a) override {
        const Py_ssize_t have = py::length(a.array);
        Ref nbytes = py::getattr(a.array, "nbytes");
        Ref flags = py::getattr(a.array, "flags");
        Ref contiguous = py::getattr(flags.get(), "c_contiguous");
        check_operand_facts(kernel, a, have, py::as_ssize(nbytes.get()), py::truthy(contiguous.get()));
    }

private:
    PyObject* kernels_[kKernelCount] = {};
};

// ---------------------------------------------------------------------------

// The stand-in's attribute holding its NumPy array.
PyObject* host_field() {
    static PyObject* field = PyUnicode_InternFromString("_a");
    return field;
}

// The head of NumPy's array object as its public headers lay it out
// (PyArrayObject_fields, which the inline accessors PyArray_DATA, _NDIM, _DIMS
// and _FLAGS of every compiled extension read, so NumPy keeps it as it is).
// Reading it costs nothing next to the buffer protocol, which builds a
// description of the array on every export.
struct NumpyArrayHead {
    PyObject_HEAD
    char* data;
    int nd;
    Py_ssize_t* dimensions;
    Py_ssize_t* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
};
constexpr int kNpyArrayCContiguous = 0x0001;

// The element size of a NumPy dtype, remembered for the last one asked about
// (held, so its address cannot be reused by another).
Py_ssize_t itemsize_of(PyObject* descr) {
    static PyObject* last = nullptr;
    static Py_ssize_t last_size = 0;
    if (descr != last) {
        Ref size = py::getattr(descr, "itemsize");
        last_size = py::as_ssize(size.get());
        Py_XSETREF(last, Py_NewRef(descr));
    }
    return last_size;
}

// The facts of a stand-in array: its NumPy array (held for the duration of
// one launch or copy), read through the array's head.
class HostView {
public:
    HostView() = default;
    HostView(PyObject* device_array, PyTypeObject* type, KernelId kernel, size_t index) {
        open(device_array, type, kernel, index);
    }
    explicit HostView(PyObject* device_array) { acquire(device_array); }

    void open(PyObject* device_array, PyTypeObject* type, KernelId kernel, size_t index) {
        if (Py_TYPE(device_array) != type) {
            py::raisef(PyExc_TypeError, "%s argument %zu: unsupported type %s (a device array is required)",
                       kernel_name(kernel), index, Py_TYPE(device_array)->tp_name);
        }
        acquire(device_array);
    }

    char* data() const { return head()->data; }
    Py_ssize_t nbytes() const {
        Py_ssize_t n = itemsize_of(head()->descr);
        for (int d = 0; d < head()->nd; ++d) n *= head()->dimensions[d];
        return n;
    }
    bool contiguous() const { return head()->flags & kNpyArrayCContiguous; }
    // len() of the array: its first dimension (TypeError for a 0-d array).
    Py_ssize_t length() const {
        if (head()->nd == 0) py::raise(PyExc_TypeError, "len() of unsized object");
        return head()->dimensions[0];
    }

private:
    const NumpyArrayHead* head() const { return reinterpret_cast<const NumpyArrayHead*>(host_.get()); }

    void acquire(PyObject* device_array) {
        host_ = py::check(PyObject_GetAttr(device_array, host_field()));
        // The stand-in wraps NumPy arrays only; anything else is a fault.
        if (Py_TYPE(host_.get()) != reinterpret_cast<PyTypeObject*>(S().np_ndarray)) {
            py::raisef(PyExc_SystemError, "a device array of the host backend wraps a %s, not a NumPy array",
                       Py_TYPE(host_.get())->tp_name);
        }
    }
    Ref host_;
};

#if defined(ZEL_GUARD_RECORDS)
// The debug build's guard: every array the host backend allocates is the
// front of a byte buffer one record longer, whose last record is poisoned,
// and every launch checks the guards of its array arguments afterwards.  The
// buffer has a dtype of its own (bytes with metadata), by which a guarded
// array is told from any other through its `base`.
constexpr unsigned char kPoison = 0xA5;

class Guards {
public:
    Guards() {
        Ref meta = py::check(Py_BuildValue("{s:O}", "zel_guard", Py_True));
        Ref u8 = py::getattr(S().np, "uint8");
        Ref dtype_type = py::getattr(S().np, "dtype");
        Ref kw = py::check(Py_BuildValue("{s:O}", "metadata", meta.get()));
        Ref args = py::tuple(std::move(u8));
        dtype_ = py::check(PyObject_Call(dtype_type.get(), args.get(), kw.get())).release();
    }

    // n elements of `dtype` at the front of a guarded buffer.
    Ref allocate(PyObject* np_empty, Py_ssize_t n, PyObject* dtype, Py_ssize_t itemsize) {
        Ref count = py::from_ssize(n * itemsize + kRecordBytes);
        Ref raw = call_with_dtype(np_empty, count.get(), dtype_);
        {
            Buffer b(raw.get(), true);
            std::memset(b.data(), kPoison, static_cast<size_t>(b.bytes()));
        }
        Ref front = py::check(PySequence_GetSlice(raw.get(), 0, n * itemsize));
        return py::call_method(front.get(), "view", dtype);
    }

    // SystemError, after a launch of `kernel`, where the guard record of its
    // argument `index` is no longer the poison it was made with.
    void check(KernelId kernel, PyObject* host_array, size_t index) const {
        Ref base = py::getattr(host_array, "base");
        if (base.get() == Py_None) return;
        Ref dtype = py::getattr(base.get(), "dtype");
        if (dtype.get() != dtype_) return;
        Buffer b(base.get(), false);
        const unsigned char* guard = static_cast<const unsigned char*>(b.data()) + b.bytes() - kRecordBytes;
        for (Py_ssize_t i = 0; i < kRecordBytes; ++i) {
            if (guard[i] != kPoison) {
                py::raisef(PyExc_SystemError,
                           "the guard record after argument %zu of %s is overwritten: a write past the end of "
                           "a device array",
                           index, kernel_name(kernel));
            }
        }
    }

private:
    PyObject* dtype_ = nullptr;
};
#endif

class HostBackend final : public Backend {
public:
    HostBackend() {
        // The loader picks the library (ZEL_HOST_KERNELS) and records where the
        // kernels came from, as it does for the kernel objects it hands out.
        Ref loader = py::check(PyImport_ImportModule("tarnex.zel.cuda.cubin_loader"));
        Ref host = py::call(py::getattr(loader.get(), "get_module").get());
        Ref capsule = py::getattr(host.get(), "_launch_api");
        api_ = static_cast<const HostLaunchApi*>(PyCapsule_GetPointer(capsule.get(), kHostLaunchApiCapsule));
        if (!api_) py::fail();
        if (api_->version != HostLaunchApi::kVersion || api_->count != kKernelCount) {
            py::raise(PyExc_ImportError, "the host kernel library was built from another kernel list");
        }
        for (int i = 0; i < kKernelCount; ++i) {
            if (std::strcmp(api_->names[i], kernel_name(static_cast<KernelId>(i))) != 0) {
                py::raise(PyExc_ImportError, "the host kernel library was built from another kernel list");
            }
        }
        array_type_ = reinterpret_cast<PyTypeObject*>(py::getattr(S().cp, "ndarray").release());
        np_empty_ = py::getattr(S().np, "empty").release();
        np_zeros_ = py::getattr(S().np, "zeros").release();
    }

    Ref allocate(Py_ssize_t n, PyObject* dtype, bool zeroed) override {
        if (!dtype) dtype = S().dtype;
#if defined(ZEL_GUARD_RECORDS)
        Ref descr = py::call(py::getattr(S().np, "dtype").get(), dtype);
        Ref itemsize = py::getattr(descr.get(), "itemsize");
        Ref host = guards_.allocate(np_empty_, n, descr.get(), py::as_ssize(itemsize.get()));
        if (zeroed) {
            Buffer b(host.get(), true);
            std::memset(b.data(), 0, static_cast<size_t>(b.bytes()));
        }
        return wrap(std::move(host));
#else
        // numpy.empty(n, dtype), positionally: NumPy parses keywords slower.
        Ref count = py::from_ssize(n);
        PyObject* argv[] = {nullptr, count.get(), dtype};
        Ref host = py::check(
            PyObject_Vectorcall(zeroed ? np_zeros_ : np_empty_, argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        return wrap(std::move(host));
#endif
    }

    void launch(KernelId kernel, const Dims& grid, const Dims& block,
                std::initializer_list<LaunchArg> args) override {
        RawArg raw[kMaxKernelParams];
        // Views are held until the launch returns.
        HostView views[kMaxKernelParams];
        size_t i = 0;
        for (const LaunchArg& a : args) {
            if (a.array) {
                HostView& v = views[i];
                v.open(a.array, array_type_, kernel, i);
                if (a.need > 0) check_operand_facts(kernel, a, v.length(), v.nbytes(), v.contiguous());
                raw[i].ptr = v.data();
            } else {
                raw[i].i = a.scalar;
            }
            ++i;
        }
        const unsigned long long g[3] = {static_cast<unsigned long long>(grid.x),
                                         static_cast<unsigned long long>(grid.y),
                                         static_cast<unsigned long long>(grid.z)};
        const unsigned long long b[3] = {static_cast<unsigned long long>(block.x),
                                         static_cast<unsigned long long>(block.y),
                                         static_cast<unsigned long long>(block.z)};
        if (api_->launch(static_cast<int>(kernel), g, b, raw) < 0) py::fail();
#if defined(ZEL_GUARD_RECORDS)
        i = 0;
        for (const LaunchArg& a : args) {
            if (a.array) {
                Ref host = py::check(PyObject_GetAttr(a.array, host_field()));
                guards_.check(kernel, host.get(), i);
            }
            ++i;
        }
#endif
    }

#if defined(ZEL_GUARD_RECORDS)
    bool guard_intact(PyObject* array) {
        Ref host = py::check(PyObject_GetAttr(array, host_field()));
        try {
            guards_.check(KernelId::fp_zeros_kernel, host.get(), 0);
        } catch (const py::Error&) {
            PyErr_Clear();
            return false;
        }
        return true;
    }
#endif

    Py_ssize_t length(PyObject* array) override {
        if (Py_TYPE(array) != array_type_) return py::length(array);
        Ref host = py::check(PyObject_GetAttr(array, host_field()));
        return py::length(host.get());
    }

    void check(KernelId kernel, const LaunchArg& a) override {
        HostView v(a.array, array_type_, kernel, 0);
        check_operand_facts(kernel, a, v.length(), v.nbytes(), v.contiguous());
    }

    void synchronize() override {}

    void copy(PyObject* dst, Py_ssize_t dst_at, PyObject* src, Py_ssize_t src_at, Py_ssize_t bytes) override {
        if (bytes <= 0) return;
        HostView d(dst), s(src);
        std::memmove(d.data() + dst_at, s.data() + src_at, static_cast<size_t>(bytes));
    }

private:
    // A stand-in array around a NumPy array, as its constructor makes them.
    Ref wrap(Ref host) {
        Ref obj = py::check(array_type_->tp_alloc(array_type_, 0));
        py::check_int(PyObject_SetAttr(obj.get(), host_field(), host.get()));
        return obj;
    }

    const HostLaunchApi* api_ = nullptr;
    PyTypeObject* array_type_ = nullptr;
    PyObject* np_empty_ = nullptr;
    PyObject* np_zeros_ = nullptr;
#if defined(ZEL_GUARD_RECORDS)
    Guards guards_;
#endif
};

Backend* g_backend = nullptr;

#if defined(ZEL_GUARD_RECORDS)
// _guard_intact(arr): whether the guard record after a host array the module
// allocated still holds its poison (True for arrays without a guard).  Only
// in the debug build, for its tests.
Ref fn_guard_intact(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"arr"};
    auto [arr] = parse_args("_guard_intact", names, 1, args, nargs, kwnames);
    if (!S().host_device) return Ref::borrow(Py_True);
    return Ref::borrow(static_cast<HostBackend&>(backend()).guard_intact(arr) ? Py_True : Py_False);
}

PyMethodDef guard_methods[] = {
    method<fn_guard_intact>("_guard_intact", "_guard_intact($module, /, arr)\n--\n\n"
                                             "Whether a host array's guard record is intact (debug build)."),
    {nullptr, nullptr, 0, nullptr},
};
#endif

}  // namespace

void check_operand_facts(KernelId kernel, const LaunchArg& a, Py_ssize_t length, Py_ssize_t nbytes, bool contiguous) {
    if (length < a.need) py::raisef(PyExc_ValueError, "Size mismatch: %zd and %zd elements", a.need, length);
    if (nbytes < a.need * a.itemsize) {
        py::raisef(PyExc_ValueError, "%s needs %zd-byte elements of an operand of another type", kernel_name(kernel),
                   a.itemsize);
    }
    if (!contiguous) py::raisef(PyExc_ValueError, "%s needs contiguous operands", kernel_name(kernel));
}

Backend& backend() {
    if (!g_backend) py::raise(PyExc_SystemError, "no backend selected");
    return *g_backend;
}

void select_backend() {
    if (g_backend) return;
    g_backend = S().host_device ? static_cast<Backend*>(new HostBackend) : new CudaBackend;
#if defined(ZEL_GUARD_RECORDS)
    add_functions(S().module, guard_methods);
#endif
}

}  // namespace zel
