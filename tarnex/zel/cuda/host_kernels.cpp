// The host kernel library: the same kernel bodies as the CUDA build, compiled
// for the CPU and exposed as `_host_kernels.get_kernel(name)`, whose objects
// are called like CuPy kernels: kernel(grid, block, args).  Large launches are
// spread over the machine's cores with the interpreter lock released.
#include "../core/py.hpp"
#include "host_launch.hpp"
#include "kernels/all.cuh"

#include <algorithm>
#include <thread>

namespace zel {
namespace {

using py::Ref;

struct HostKernelObject {
    PyObject_HEAD
    const HostKernelInfo* info;
    PyObject* name;
};

PyTypeObject* g_kernel_type = nullptr;
PyObject* g_cache = nullptr;  // name -> kernel object

Dim3 parse_dim3(PyObject* o, const char* what) {
    Dim3 d{1, 1, 1};
    Ref seq = py::check(PySequence_Fast(o, what));
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    if (n < 1 || n > 3) py::raisef(PyExc_ValueError, "%s must have 1 to 3 dimensions", what);
    unsigned* out[3] = {&d.x, &d.y, &d.z};
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_ssize_t v = py::as_ssize(PySequence_Fast_GET_ITEM(seq.get(), i));
        if (v < 0 || v > 0x7fffffff) py::raisef(PyExc_ValueError, "invalid %s dimension", what);
        *out[i] = static_cast<unsigned>(v);
    }
    return d;
}

// Owns the buffers of one launch's array arguments.
struct Buffers {
    std::vector<Py_buffer> views;
    ~Buffers() {
        for (auto& v : views) PyBuffer_Release(&v);
    }
};

void convert_args(const HostKernelInfo& info, PyObject* args, std::vector<RawArg>& raw, Buffers& bufs,
                  PyObject* name) {
    Ref seq = py::check(PySequence_Fast(args, "kernel arguments must be a sequence"));
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    if (n != static_cast<Py_ssize_t>(info.params.size())) {
        py::raisef(PyExc_TypeError, "%U takes %zd arguments (%zd given)", name,
                   static_cast<Py_ssize_t>(info.params.size()), n);
    }
    raw.resize(n);
    bufs.views.reserve(n);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* a = PySequence_Fast_GET_ITEM(seq.get(), i);
        switch (info.params[i]) {
            case ParamKind::ConstPtr:
            case ParamKind::MutPtr: {
                Py_buffer view;
                const int flags = info.params[i] == ParamKind::MutPtr ? (PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE)
                                                                       : PyBUF_C_CONTIGUOUS;
                if (PyObject_GetBuffer(a, &view, flags) < 0) py::fail();
                bufs.views.push_back(view);
                raw[i].ptr = view.buf;
                break;
            }
            case ParamKind::Int: {
                long long v = PyLong_AsLongLong(Ref::check(PyNumber_Index(a)).get());
                if (v == -1 && PyErr_Occurred()) py::fail();
                raw[i].i = v;
                break;
            }
            case ParamKind::Double: {
                double v = PyFloat_AsDouble(a);
                if (v == -1.0 && PyErr_Occurred()) py::fail();
                raw[i].d = v;
                break;
            }
        }
    }
}

// Below this many threads a launch runs on the calling thread alone.
constexpr unsigned long long kParallelThreshold = 8192;

void run_launch(const HostKernelInfo& info, Dim3 grid, Dim3 block, const RawArg* args) {
    const unsigned long long nblocks = 1ull * grid.x * grid.y * grid.z;
    const unsigned long long nthreads = nblocks * block.x * block.y * block.z;
    if (nblocks == 0 || nthreads == 0) return;
    auto work = [&](unsigned long long b0, unsigned long long b1) {
        ThreadCtx ctx{};
        ctx.blockDim = block;
        ctx.gridDim = grid;
        for (unsigned long long b = b0; b < b1; ++b) {
            ctx.blockIdx = {static_cast<unsigned>(b % grid.x), static_cast<unsigned>((b / grid.x) % grid.y),
                            static_cast<unsigned>(b / (1ull * grid.x * grid.y))};
            info.run_block(info.fn, ctx, args);
        }
    };
    unsigned workers = std::max(1u, std::thread::hardware_concurrency());
    if (nthreads < kParallelThreshold || workers == 1 || nblocks == 1) {
        work(0, nblocks);
        return;
    }
    workers = static_cast<unsigned>(std::min<unsigned long long>(workers, nblocks));
    std::vector<std::thread> pool;
    pool.reserve(workers - 1);
    const unsigned long long per = (nblocks + workers - 1) / workers;
    for (unsigned w = 1; w < workers; ++w) {
        const unsigned long long b0 = w * per, b1 = std::min(nblocks, b0 + per);
        if (b0 < b1) pool.emplace_back(work, b0, b1);
    }
    work(0, std::min(nblocks, per));
    for (auto& t : pool) t.join();
}

PyObject* kernel_call(PyObject* self_obj, PyObject* args, PyObject* kwargs) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        auto* self = reinterpret_cast<HostKernelObject*>(self_obj);
        PyObject *grid_o, *block_o, *args_o;
        Py_ssize_t shared_mem = 0;
        static const char* kws[] = {"grid", "block", "args", "shared_mem", nullptr};
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|$n:__call__", const_cast<char**>(kws), &grid_o,
                                         &block_o, &args_o, &shared_mem))
            py::fail();
        const Dim3 grid = parse_dim3(grid_o, "grid");
        const Dim3 block = parse_dim3(block_o, "block");
        std::vector<RawArg> raw;
        Buffers bufs;
        convert_args(*self->info, args_o, raw, bufs, self->name);
        Py_BEGIN_ALLOW_THREADS
        run_launch(*self->info, grid, block, raw.data());
        Py_END_ALLOW_THREADS
        Py_RETURN_NONE;
    });
}

void kernel_dealloc(PyObject* self) {
    Py_XDECREF(reinterpret_cast<HostKernelObject*>(self)->name);
    PyTypeObject* tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* kernel_repr(PyObject* self) {
    return PyUnicode_FromFormat("<host kernel %U>", reinterpret_cast<HostKernelObject*>(self)->name);
}

PyMemberDef kernel_members[] = {
    {"name", Py_T_OBJECT_EX, offsetof(HostKernelObject, name), Py_READONLY, "kernel name"},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot kernel_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(kernel_call)},
    {Py_tp_dealloc, reinterpret_cast<void*>(kernel_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(kernel_repr)},
    {Py_tp_members, kernel_members},
    {Py_tp_doc, const_cast<char*>("A kernel of the host library, launched as kernel(grid, block, args).")},
    {0, nullptr},
};

PyType_Spec kernel_spec = {"tarnex.zel.cuda._host_kernels.HostKernel", sizeof(HostKernelObject), 0,
                           Py_TPFLAGS_DEFAULT, kernel_slots};

PyObject* get_kernel(PyObject*, PyObject* name) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!PyUnicode_Check(name)) py::raise(PyExc_TypeError, "kernel name must be a str");
        if (PyObject* hit = PyDict_GetItemWithError(g_cache, name)) return Py_NewRef(hit);
        if (PyErr_Occurred()) py::fail();
        const char* cname = PyUnicode_AsUTF8(name);
        if (!cname) py::fail();
        auto it = host_registry().find(cname);
        if (it == host_registry().end()) py::raisef(PyExc_AttributeError, "no host kernel named '%s'", cname);
        auto* k = PyObject_New(HostKernelObject, g_kernel_type);
        if (!k) py::fail();
        Py_INCREF(g_kernel_type);
        k->info = &it->second;
        k->name = Py_NewRef(name);
        Ref obj = Ref::steal(reinterpret_cast<PyObject*>(k));
        py::check_int(PyDict_SetItem(g_cache, name, obj.get()));
        return obj.release();
    });
}

PyObject* kernel_names(PyObject*, PyObject*) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        std::vector<std::string> names;
        for (auto& kv : host_registry()) names.push_back(kv.first);
        std::sort(names.begin(), names.end());
        Ref out = py::check(PyList_New(0));
        for (auto& s : names) py::check_int(PyList_Append(out.get(), py::from_str(s.c_str()).get()));
        return out.release();
    });
}

PyMethodDef methods[] = {
    {"get_kernel", get_kernel, METH_O, "get_kernel($module, name, /)\n--\n\nThe host kernel of that name."},
    {"kernel_names", kernel_names, METH_NOARGS, "kernel_names($module, /)\n--\n\nNames of all host kernels."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* m) {
    return py::guard<int>(-1, [&]() -> int {
        if (!g_kernel_type) {
            g_kernel_type = reinterpret_cast<PyTypeObject*>(py::check(PyType_FromSpec(&kernel_spec)).release());
            g_cache = py::check(PyDict_New()).release();
        }
        py::check_int(PyModule_AddObjectRef(m, "HostKernel", reinterpret_cast<PyObject*>(g_kernel_type)));
        return 0;
    });
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef moduledef = {PyModuleDef_HEAD_INIT, "_host_kernels",
                         "CPU builds of the fixed-point kernels, launched like CUDA kernels.", 0, methods, slots,
                         nullptr, nullptr, nullptr};

}  // namespace
}  // namespace zel

PyMODINIT_FUNC PyInit__host_kernels() { return PyModuleDef_Init(&zel::moduledef); }
