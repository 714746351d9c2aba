// The host kernel library: the same kernel bodies as the CUDA build, compiled
// for the CPU and exposed as `_host_kernels.get_kernel(name)`, whose objects
// are called like CuPy kernels: kernel(grid, block, args).  Large launches are
// spread over the machine's cores with the interpreter lock released.
#include "../core/py.hpp"
#include "host_launch.hpp"
#include "kernels/all.cuh"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
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

// Below this many threads a launch runs on the calling thread alone: waking
// the workers costs a few microseconds, more than a small launch takes.
constexpr unsigned long long kParallelThreshold = 2048;

// A persistent pool of workers that share out the blocks of one launch at a
// time in small chunks (blocks are independent, as on the GPU).  The calling
// thread works too.  Created on first use, re-created in a forked child, and
// never destroyed: its threads are detached and simply end with the process.
class Pool {
public:
    using Work = void (*)(void* ctx, unsigned long long b0, unsigned long long b1);

    static Pool* instance() {
        static Pool* pool = nullptr;
        static pid_t owner = 0;
        if (!pool || owner != getpid()) {
            pool = new Pool(std::max(1u, std::thread::hardware_concurrency()));
            owner = getpid();
        }
        return pool;
    }

    unsigned size() const { return nworkers_ + 1; }

    // Runs work(ctx, b0, b1) over [0, nblocks) and returns when all is done.
    void run(Work work, void* ctx, unsigned long long nblocks) {
        {
            std::lock_guard<std::mutex> lock(m_);
            work_ = work;
            ctx_ = ctx;
            nblocks_ = nblocks;
            chunk_ = std::max<unsigned long long>(1, nblocks / (8ull * size()));
            next_.store(0);
            pending_ = nworkers_;
            ++generation_;
        }
        wake_.notify_all();
        drain();
        std::unique_lock<std::mutex> lock(m_);
        done_.wait(lock, [&] { return pending_ == 0; });
    }

private:
    explicit Pool(unsigned threads) : nworkers_(threads - 1) {
        for (unsigned i = 0; i < nworkers_; ++i) std::thread([this] { loop(); }).detach();
    }

    void drain() {
        for (;;) {
            const unsigned long long b0 = next_.fetch_add(chunk_);
            if (b0 >= nblocks_) return;
            work_(ctx_, b0, std::min(nblocks_, b0 + chunk_));
        }
    }

    void loop() {
        unsigned long long seen = 0;
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(m_);
                wake_.wait(lock, [&] { return generation_ != seen; });
                seen = generation_;
            }
            drain();
            std::lock_guard<std::mutex> lock(m_);
            if (--pending_ == 0) done_.notify_one();
        }
    }

    const unsigned nworkers_;
    std::mutex m_;
    std::condition_variable wake_, done_;
    unsigned long long generation_ = 0;
    unsigned pending_ = 0;
    Work work_ = nullptr;
    void* ctx_ = nullptr;
    unsigned long long nblocks_ = 0, chunk_ = 1;
    std::atomic<unsigned long long> next_{0};
};

// One launch at a time uses the pool; a launch from another thread meanwhile
// runs on its own thread rather than waiting.
std::mutex g_pool_mutex;

struct LaunchCtx {
    const HostKernelInfo* info;
    Dim3 grid, block;
    const RawArg* args;
};

void run_blocks(void* raw_ctx, unsigned long long b0, unsigned long long b1) {
    const LaunchCtx& lc = *static_cast<const LaunchCtx*>(raw_ctx);
    ThreadCtx ctx{};
    ctx.blockDim = lc.block;
    ctx.gridDim = lc.grid;
    const Dim3 g = lc.grid;
    for (unsigned long long b = b0; b < b1; ++b) {
        ctx.blockIdx = {static_cast<unsigned>(b % g.x), static_cast<unsigned>((b / g.x) % g.y),
                        static_cast<unsigned>(b / (1ull * g.x * g.y))};
        lc.info->run_block(lc.info->fn, ctx, lc.args);
    }
}

void run_launch(const HostKernelInfo& info, Dim3 grid, Dim3 block, const RawArg* args) {
    const unsigned long long nblocks = 1ull * grid.x * grid.y * grid.z;
    const unsigned long long nthreads = nblocks * block.x * block.y * block.z;
    if (nblocks == 0 || nthreads == 0) return;
    LaunchCtx lc{&info, grid, block, args};
    if (nthreads >= kParallelThreshold && nblocks > 1 && std::thread::hardware_concurrency() > 1) {
        std::unique_lock<std::mutex> lock(g_pool_mutex, std::try_to_lock);
        if (lock.owns_lock()) {
            Pool::instance()->run(run_blocks, &lc, nblocks);
            return;
        }
    }
    run_blocks(&lc, 0, nblocks);
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
