// The host kernel library: the same kernel bodies as the CUDA build, compiled
// for the CPU.  The module launches them by kernel id through `_launch_api`
// (api.hpp), in-process; `get_kernel(name)` gives objects called like CuPy
// kernels, kernel(grid, block, args), for the loader.  Large launches are
// spread over the machine's cores with the interpreter lock released, and
// poll for Ctrl-C.
//
// The launcher is as strict as CUDA and CuPy: it refuses the geometry CUDA
// refuses, takes pointers only from device arrays, and takes a scalar only
// when its bytes match the kernel's parameter (CuPy passes a Python int as 8
// bytes and a float as a double, whatever the parameter is, so a mismatch
// there is a fault on the GPU, not a conversion).
//
// Built twice: `_host_kernels` (the host code paths) and, with
// ZEL_DEVICE_SIM, `_sim_kernels`, whose kernels take the GPU's own code
// paths (see sim.hpp).
#include "../core/py.hpp"
#include "launch.hpp"
#include "../cuda/kernels/all.cuh"

#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <condition_variable>
#include <mutex>
#include <thread>

#if defined(ZEL_DEVICE_SIM)
#define ZEL_HOST_LIBRARY "_sim_kernels"
#else
#define ZEL_HOST_LIBRARY "_host_kernels"
#endif

namespace zel {
namespace {

using py::Ref;

// Every body's parameters are checked against the list at compile time.
#define ZEL_CHECK_SIGNATURE(name, params, shape) \
    static_assert(signature_is(&name##_host, params), #name ": its parameters differ from the kernel list");
ZEL_KERNEL_LIST(ZEL_CHECK_SIGNATURE)
#undef ZEL_CHECK_SIGNATURE

// The kernels by id.
const HostKernelInfo kKernels[kKernelCount] = {
#define ZEL_HOST_KERNEL_INFO(name, params, shape) host_kernel_info<&name##_host>(#name, params),
    ZEL_KERNEL_LIST(ZEL_HOST_KERNEL_INFO)
#undef ZEL_HOST_KERNEL_INFO
};
const char* kNames[kKernelCount] = {
#define ZEL_HOST_KERNEL_NAME(name, params, shape) #name,
    ZEL_KERNEL_LIST(ZEL_HOST_KERNEL_NAME)
#undef ZEL_HOST_KERNEL_NAME
};
const char* kParams[kKernelCount] = {
#define ZEL_HOST_KERNEL_PARAMS(name, params, shape) params,
    ZEL_KERNEL_LIST(ZEL_HOST_KERNEL_PARAMS)
#undef ZEL_HOST_KERNEL_PARAMS
};

struct HostKernelObject {
    PyObject_HEAD
    const HostKernelInfo* info;
    PyObject* name;
};

PyTypeObject* g_kernel_type = nullptr;
PyObject* g_cache = nullptr;  // name -> kernel object

struct Dims3 {
    unsigned long long x = 1, y = 1, z = 1;
};

Dims3 parse_dim3(PyObject* o, const char* what) {
    Dims3 d;
    Ref seq = py::check(PySequence_Fast(o, what));
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    if (n < 1 || n > 3) py::raisef(PyExc_ValueError, "%s must have 1 to 3 dimensions", what);
    unsigned long long* out[3] = {&d.x, &d.y, &d.z};
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref v = py::check(PyNumber_Index(PySequence_Fast_GET_ITEM(seq.get(), i)));
        const unsigned long long u = PyLong_AsUnsignedLongLong(v.get());
        if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            py::raisef(PyExc_ValueError, "invalid %s dimension", what);
        }
        *out[i] = u;
    }
    return d;
}

// CUDA's launch limits (compute capability 7.0 to 9.0): a launch beyond them
// fails on the GPU with CUDA_ERROR_INVALID_VALUE, so it fails here too.
constexpr unsigned long long kMaxGridX = 0x7fffffffull, kMaxGridYZ = 65535;
constexpr unsigned kMaxBlockXY = 1024, kMaxBlockZ = 64, kMaxBlockThreads = 1024;
constexpr Py_ssize_t kMaxSharedBytes = 48 * 1024;

// Returns the geometry as the kernels see it, once it is known to be valid.
void check_geometry(const char* name, const Dims3& g, const Dims3& b, Py_ssize_t shared_mem, Dim3& grid, Dim3& block) {
    const char* why = nullptr;
    if (g.x == 0 || g.y == 0 || g.z == 0 || b.x == 0 || b.y == 0 || b.z == 0) why = "a zero dimension";
    else if (g.x > kMaxGridX) why = "grid.x over 2^31 - 1";
    else if (g.y > kMaxGridYZ || g.z > kMaxGridYZ) why = "grid.y or grid.z over 65535";
    else if (b.x > kMaxBlockXY || b.y > kMaxBlockXY || b.z > kMaxBlockZ) why = "a block dimension over (1024, 1024, 64)";
    else if (b.x * b.y * b.z > kMaxBlockThreads) why = "over 1024 threads in a block";
    else if (shared_mem < 0 || shared_mem > kMaxSharedBytes) why = "over 48 KiB of shared memory";
    if (why) {
        py::raisef(PyExc_RuntimeError,
                   "CUDA_ERROR_INVALID_VALUE: invalid argument: launch of %s with grid (%llu, %llu, %llu) and block "
                   "(%llu, %llu, %llu) has %s",
                   name, g.x, g.y, g.z, b.x, b.y, b.z, why);
    }
    grid = {static_cast<unsigned>(g.x), static_cast<unsigned>(g.y), static_cast<unsigned>(g.z)};
    block = {static_cast<unsigned>(b.x), static_cast<unsigned>(b.y), static_cast<unsigned>(b.z)};
}

PyObject* g_device_array_type = nullptr;  // the stand-in's ndarray

// The device address of a stand-in array, as CuPy passes `arr.data.ptr`:
// strides are not looked at (contiguity is the caller's business).
void* device_pointer(PyObject* a, PyObject* name, Py_ssize_t index) {
    if (!g_device_array_type) {
        Ref host = py::check(PyImport_ImportModule("tarnex.zel.host.array"));
        g_device_array_type = py::getattr(host.get(), "ndarray").release();
    }
    if (Py_TYPE(a) != reinterpret_cast<PyTypeObject*>(g_device_array_type)) {
        py::raisef(PyExc_TypeError, "%U argument %zd: unsupported type %s (a device array is required)", name, index,
                   Py_TYPE(a)->tp_name);
    }
    Ref data = py::getattr(a, "data");
    Ref ptr = py::getattr(data.get(), "ptr");
    void* p = PyLong_AsVoidPtr(ptr.get());
    if (!p && PyErr_Occurred()) py::fail();
    return p;
}

// A scalar argument's kind ('i' integer, 'f' floating) and size in bytes, as
// CuPy would pass it.
void scalar_layout(PyObject* a, char& kind, unsigned& size) {
    if (PyBool_Check(a)) {
        kind = 'b';
        size = 1;
    } else if (PyLong_Check(a)) {
        kind = 'i';
        size = 8;
    } else if (PyFloat_Check(a)) {
        kind = 'f';
        size = 8;
    } else {
        Ref dtype = Ref::steal(PyObject_GetAttrString(a, "dtype"));
        if (!dtype) {
            PyErr_Clear();
            kind = '?';
            size = 0;
            return;
        }
        Ref k = py::getattr(dtype.get(), "kind"), itemsize = py::getattr(dtype.get(), "itemsize");
        const char* ks = PyUnicode_AsUTF8(k.get());
        if (!ks) py::fail();
        kind = ks[0] == 'u' ? 'i' : ks[0];
        size = static_cast<unsigned>(py::as_ssize(itemsize.get()));
    }
}

void convert_args(const HostKernelInfo& info, PyObject* args, std::vector<RawArg>& raw, PyObject* name) {
    Ref seq = py::check(PySequence_Fast(args, "kernel arguments must be a sequence"));
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    const Py_ssize_t nparams = static_cast<Py_ssize_t>(std::strlen(info.params));
    if (n != nparams) py::raisef(PyExc_TypeError, "%U takes %zd arguments (%zd given)", name, nparams, n);
    raw.resize(n);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* a = PySequence_Fast_GET_ITEM(seq.get(), i);
        const ParamKind kind = letter_kind(info.params[i]);
        const unsigned want_size = letter_size(info.params[i]);
        if (kind == ParamKind::ConstPtr || kind == ParamKind::MutPtr) {
            raw[i].ptr = device_pointer(a, name, i);
            continue;
        }
        char k;
        unsigned size;
        scalar_layout(a, k, size);
        const char want = kind == ParamKind::Int ? 'i' : 'f';
        if (k != want || size != want_size) {
            py::raisef(PyExc_TypeError,
                       "%U argument %zd: the kernel takes a %u-byte %s, got %s (%u bytes as passed to a GPU)", name,
                       i, want_size, want == 'i' ? "integer" : "floating-point value", Py_TYPE(a)->tp_name, size);
        }
        if (kind == ParamKind::Int) {
            Ref idx = py::check(PyNumber_Index(a));
            const long long v = PyLong_AsLongLong(idx.get());
            if (v == -1 && PyErr_Occurred()) py::fail();
            raw[i].i = v;
        } else {
            const double v = PyFloat_AsDouble(a);
            if (v == -1.0 && PyErr_Occurred()) py::fail();
            raw[i].d = v;
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

// One launch in flight.  The calling thread polls for signals (with the
// interpreter lock taken back briefly) every kPollInterval; a pending
// KeyboardInterrupt, or an error in any block, stops every worker at its next
// block.  The output is then partial, but the call raises, so no caller
// sees it.
constexpr auto kPollInterval = std::chrono::milliseconds(100);

struct LaunchCtx {
    const HostKernelInfo* info;
    Dim3 grid, block;
    const RawArg* args;
    std::thread::id caller;
    PyThreadState** tstate;  // the caller's saved thread state
    std::chrono::steady_clock::time_point next_poll;
    std::atomic<bool> stop{false};
    std::mutex error_mutex;
    std::exception_ptr error;
    bool interrupted = false;

    void fail(std::exception_ptr e) {
        std::lock_guard<std::mutex> lock(error_mutex);
        if (!error) error = e;
        stop.store(true, std::memory_order_relaxed);
    }

    // On the calling thread only: Ctrl-C reaches the interpreter's handler
    // here, which raises KeyboardInterrupt.
    void poll() {
        if (std::this_thread::get_id() != caller) return;
        const auto now = std::chrono::steady_clock::now();
        if (now < next_poll) return;
        next_poll = now + kPollInterval;
        PyEval_RestoreThread(*tstate);
        const bool raised = PyErr_CheckSignals() < 0;
        *tstate = PyEval_SaveThread();
        if (raised) {
            interrupted = true;
            stop.store(true, std::memory_order_relaxed);
        }
    }
};

void run_blocks(void* raw_ctx, unsigned long long b0, unsigned long long b1) {
    LaunchCtx& lc = *static_cast<LaunchCtx*>(raw_ctx);
    ThreadCtx ctx{};
    ctx.block_dim = lc.block;
    ctx.grid_dim = lc.grid;
    const Dim3 g = lc.grid;
    for (unsigned long long b = b0; b < b1; ++b) {
        if (lc.stop.load(std::memory_order_relaxed)) return;
        lc.poll();
        ctx.block_idx = {static_cast<unsigned>(b % g.x), static_cast<unsigned>((b / g.x) % g.y),
                         static_cast<unsigned>(b / (1ull * g.x * g.y))};
        try {
            lc.info->run_block(lc.info->fn, ctx, lc.args);
        } catch (...) {
            lc.fail(std::current_exception());
            return;
        }
    }
}

void run_launch(LaunchCtx& lc) {
    const unsigned long long nblocks = 1ull * lc.grid.x * lc.grid.y * lc.grid.z;
    const unsigned long long nthreads = nblocks * lc.block.x * lc.block.y * lc.block.z;
    if (nthreads >= kParallelThreshold && nblocks > 1 && std::thread::hardware_concurrency() > 1) {
        std::unique_lock<std::mutex> lock(g_pool_mutex, std::try_to_lock);
        if (lock.owns_lock()) {
            Pool::instance()->run(run_blocks, &lc, nblocks);
            return;
        }
    }
    run_blocks(&lc, 0, nblocks);
}

// Runs a launch whose geometry and arguments are checked, with the
// interpreter lock released meanwhile.
void run_checked(const HostKernelInfo& info, Dim3 grid, Dim3 block, const RawArg* args) {
    PyThreadState* tstate = nullptr;
    LaunchCtx lc;
    lc.info = &info;
    lc.grid = grid;
    lc.block = block;
    lc.args = args;
    lc.caller = std::this_thread::get_id();
    lc.tstate = &tstate;
    lc.next_poll = std::chrono::steady_clock::now() + kPollInterval;
    tstate = PyEval_SaveThread();
    run_launch(lc);
    PyEval_RestoreThread(tstate);
    if (lc.interrupted) py::fail();
    if (lc.error) {
        try {
            std::rethrow_exception(lc.error);
        } catch (const std::exception& e) {
            py::raisef(PyExc_RuntimeError, "kernel %s failed: %s", info.name, e.what());
        }
    }
}

// The in-process entry (api.hpp): the caller has converted the arguments
// by the list's letters.
int api_launch(int id, const unsigned long long g[3], const unsigned long long b[3], const RawArg* args) {
    return py::guard<int>(-1, [&]() -> int {
        if (id < 0 || id >= kKernelCount) py::raisef(PyExc_SystemError, "no kernel with id %d", id);
        const HostKernelInfo& info = kKernels[id];
        Dim3 grid, block;
        check_geometry(info.name, Dims3{g[0], g[1], g[2]}, Dims3{b[0], b[1], b[2]}, 0, grid, block);
        run_checked(info, grid, block, args);
        return 0;
    });
}

const HostLaunchApi kApi = {HostLaunchApi::kVersion, kKernelCount, kNames, kParams, api_launch};

PyObject* kernel_call(PyObject* self_obj, PyObject* args, PyObject* kwargs) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        auto* self = reinterpret_cast<HostKernelObject*>(self_obj);
        PyObject *grid_o, *block_o, *args_o;
        Py_ssize_t shared_mem = 0;
        static const char* kws[] = {"grid", "block", "args", "shared_mem", nullptr};
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|$n:__call__", const_cast<char**>(kws), &grid_o,
                                         &block_o, &args_o, &shared_mem))
            py::fail();
        Dim3 grid, block;
        check_geometry(self->info->name, parse_dim3(grid_o, "grid"), parse_dim3(block_o, "block"), shared_mem, grid,
                       block);
        std::vector<RawArg> raw;
        convert_args(*self->info, args_o, raw, self->name);
        run_checked(*self->info, grid, block, raw.data());
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

PyType_Spec kernel_spec = {"tarnex.zel.host." ZEL_HOST_LIBRARY ".HostKernel", sizeof(HostKernelObject), 0,
                           Py_TPFLAGS_DEFAULT, kernel_slots};

PyObject* get_kernel(PyObject*, PyObject* name) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!PyUnicode_Check(name)) py::raise(PyExc_TypeError, "kernel name must be a str");
        if (PyObject* hit = PyDict_GetItemWithError(g_cache, name)) return Py_NewRef(hit);
        if (PyErr_Occurred()) py::fail();
        const char* cname = PyUnicode_AsUTF8(name);
        if (!cname) py::fail();
        const HostKernelInfo* info = nullptr;
        for (const HostKernelInfo& k : kKernels) {
            if (std::strcmp(k.name, cname) == 0) info = &k;
        }
        if (!info) py::raisef(PyExc_AttributeError, "no host kernel named '%s'", cname);
        auto* k = PyObject_New(HostKernelObject, g_kernel_type);
        if (!k) py::fail();
        Py_INCREF(g_kernel_type);
        k->info = info;
        k->name = Py_NewRef(name);
        Ref obj = Ref::steal(reinterpret_cast<PyObject*>(k));
        py::check_int(PyDict_SetItem(g_cache, name, obj.get()));
        return obj.release();
    });
}

PyObject* kernel_names(PyObject*, PyObject*) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        std::vector<std::string> names(kNames, kNames + kKernelCount);
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
        Ref api = py::check(PyCapsule_New(const_cast<HostLaunchApi*>(&kApi), kHostLaunchApiCapsule, nullptr));
        py::check_int(PyModule_AddObjectRef(m, "_launch_api", api.get()));
        return 0;
    });
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef moduledef = {PyModuleDef_HEAD_INIT, ZEL_HOST_LIBRARY,
                         "CPU builds of the fixed-point kernels, launched like CUDA kernels.", 0, methods, slots,
                         nullptr, nullptr, nullptr};

}  // namespace
}  // namespace zel

#if defined(ZEL_DEVICE_SIM)
PyMODINIT_FUNC PyInit__sim_kernels() { return PyModuleDef_Init(&zel::moduledef); }
#else
PyMODINIT_FUNC PyInit__host_kernels() { return PyModuleDef_Init(&zel::moduledef); }
#endif
