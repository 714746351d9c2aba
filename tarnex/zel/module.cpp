// Assembles the module namespace in import order: standard imports and saved
// built-ins, the decimal precision, the host vector level (refusing an
// unknown ZEL_CPU_LEVEL), the number-format constants, the array library,
// the record type, the kernel loader and the backend, then each subsystem's
// functions and classes, and last __all__.
#include "core/backend.hpp"
#include "core/cpu.hpp"
#include "core/gmp.hpp"
#include "core/interrupt.hpp"
#include "core/runtime.hpp"
#include "subsystems.hpp"

#include <cstdlib>
#include <cstdio>
#include <cstring>

namespace zel {
namespace {

constexpr const char* kDoc =
    "\nTarnex ZEL - GPU Fixed-Point Operations\n"
    "========================================\n"
    "\nGPU-accelerated exact arithmetic. All operations on CUDA.\n";

// The public names, in the order __all__ lists them (public_names.inc);
// names not (yet) bound in the namespace are left out.
constexpr const char* kAll[] = {
#include "public_names.inc"
};

// One interpreter and one module object per process.
int64_t g_interp_id = -1;
PyObject* g_module = nullptr;
bool g_initialised = false;

Ref import(const char* name) { return py::check(PyImport_ImportModule(name)); }

Ref from_import(const char* module, const char* name) {
    Ref m = import(module);
    return py::getattr(m.get(), name);
}

void bind_ref(const char* name, const Ref& v) { bind(name, v.get()); }

// Keeps a strong reference in the state for the process lifetime.
PyObject* keep(Ref r) { return r.release(); }

void bind_standard_imports() {
    State& s = S();
    s.np = keep(import("numpy"));
    bind("np", s.np);
    s.Fraction = keep(from_import("fractions", "Fraction"));
    bind("Fraction", s.Fraction);
    s.Decimal = keep(from_import("decimal", "Decimal"));
    bind("Decimal", s.Decimal);
    bind_ref("getcontext", from_import("decimal", "getcontext"));
    for (const char* t : {"Union", "List", "Tuple", "Optional"}) bind_ref(t, from_import("typing", t));
    Ref builtins = import("builtins");
    bind("_builtins", builtins.get());
    for (const char* b : {"abs", "min", "max", "sum", "pow", "round"}) {
        const std::string saved = std::string("_") + b;
        bind_ref(saved.c_str(), py::getattr(builtins.get(), b));
    }
    s.from_coprime = keep(py::getattr(s.Fraction, "_from_coprime_ints"));
    s.np_int32 = keep(py::getattr(s.np, "int32"));
    s.np_float64 = keep(py::getattr(s.np, "float64"));
    s.np_uint64 = keep(py::getattr(s.np, "uint64"));
    s.np_floating = keep(py::getattr(s.np, "floating"));
    s.np_integer = keep(py::getattr(s.np, "integer"));
    s.np_ndarray = keep(py::getattr(s.np, "ndarray"));
}

void set_decimal_precision() {
    Ref ctx = py::call(global("getcontext"));
    Ref prec = py::from_long(100);
    py::check_int(PyObject_SetAttrString(ctx.get(), "prec", prec.get()));
}

void bind_constants() {
    bind_ref("SCALE_BITS", py::from_long(kFracBits));
    bind_ref("NUM_LIMBS", py::from_long(kLimbs));
    Ref two = py::from_long(2), bits = py::from_long(kFracBits);
    S().scale = keep(py::check(PyNumber_Power(two.get(), bits.get(), Py_None)));
    bind("SCALE", S().scale);
    bind_ref("BLOCK_SIZE", py::from_long(kBlockSize));
}

// Copies and `.get()` of strided record arrays, which the module relies on,
// work from CuPy 14.1 on; an older CuPy is refused at import, by name,
// rather than failing later on the first strided copy.
void check_cupy_version(PyObject* cp) {
    Ref version = py::getattr(cp, "__version__");
    const char* v = PyUnicode_AsUTF8(version.get());
    if (!v) py::fail();
    int major = 0, minor = 0;
    if (std::sscanf(v, "%d.%d", &major, &minor) < 1 || major < 14 || (major == 14 && minor < 1)) {
        py::raisef(PyExc_RuntimeError,
                   "CuPy 14.1 or later required (found %s). Install: pip install 'cupy-cuda12x>=14.1'", v);
    }
}

// The array library: CuPy on the GPU, or the NumPy-backed stand-in.
void bind_array_library() {
    Ref device = py::call(from_import("tarnex.zel.cuda", "selected_device").get());
    const char* dev = PyUnicode_AsUTF8(device.get());
    if (!dev) py::fail();
    Ref cp, raw_module;
    if (std::strcmp(dev, "host") == 0) {
        S().host_device = true;
        cp = import("tarnex.zel.host.array");
        raw_module = py::getattr(cp.get(), "RawModule");
    } else {
        cp = Ref::steal(PyImport_ImportModule("cupy"));
        if (cp) raw_module = Ref::steal(PyObject_GetAttrString(cp.get(), "RawModule"));
        if (!cp || !raw_module) {
            if (!PyErr_ExceptionMatches(PyExc_ImportError) && !PyErr_ExceptionMatches(PyExc_AttributeError)) {
                py::fail();
            }
            PyErr_Clear();
            bind("HAS_CUPY", Py_False);
            bind("cp", Py_None);
            py::raise(PyExc_RuntimeError, "CuPy required. Install: pip install cupy-cuda12x");
        }
        check_cupy_version(cp.get());
    }
    bind("device", device.get());
    S().cp = cp.dup().release();
    bind_ref("cp", cp);
    bind_ref("RawModule", raw_module);
    bind("HAS_CUPY", Py_True);
}

void bind_record_type() {
    Ref fields = py::check(PyList_New(0));
    auto add_field = [&](const char* name, PyObject* type) {
        Ref f = py::tuple(py::from_str(name), Ref::borrow(type));
        py::check_int(PyList_Append(fields.get(), f.get()));
    };
    add_field("sign", S().np_int32);
    add_field("pad", S().np_int32);
    for (int i = 0; i < kLimbs; ++i) add_field(("limb" + std::to_string(i)).c_str(), S().np_uint64);
    Ref dtype = py::call(py::getattr(S().np, "dtype").get(), fields.get());
    S().dtype = dtype.dup().release();
    bind_ref("FIXEDPOINT_DTYPE", dtype);
}

void bind_loader() {
    Ref loader = import("tarnex.zel.cuda.cubin_loader");
    bind_ref("_get_cubin_module", py::getattr(loader.get(), "get_module"));
    bind_ref("_get_cubin_kernel", py::getattr(loader.get(), "get_kernel"));
}

// The host kernels' vector level, as _cpu_level; an unrecognised
// ZEL_CPU_LEVEL stops the import rather than run at a level nobody asked for.
void bind_cpu_level() {
    const char* problem = cpu_level_check();
    if (*problem) py::raise(PyExc_ImportError, problem);
    bind_ref("_cpu_level", py::from_str(cpu_level_name(cpu_level())));
}

void bind_all() {
    Ref all = py::check(PyList_New(0));
    for (const char* name : kAll) {
        if (PyDict_GetItemString(S().globals, name)) py::check_int(PyList_Append(all.get(), py::from_str(name).get()));
    }
    bind_ref("__all__", all);
}

PyObject* create_module(PyObject* spec, PyModuleDef*) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (id < 0) py::fail();
        if (g_interp_id == -1) {
            g_interp_id = id;
        } else if (g_interp_id != id) {
            py::raise(PyExc_ImportError,
                      "Interpreter change detected - this module can only be loaded into one interpreter per "
                      "process.");
        }
        if (g_module) return Py_NewRef(g_module);
        Ref name = py::getattr(spec, "name");
        g_module = py::check(PyModule_NewObject(name.get())).release();
        return Py_NewRef(g_module);
    });
}

int exec_module(PyObject* m) {
    return py::guard<int>(-1, [&]() -> int {
        if (m != g_module) {
            py::raise(PyExc_RuntimeError, "Module 'zel' has already been imported. Re-initialisation is not supported.");
        }
        if (g_initialised) return 0;
        State& s = S();
        s.module = m;
        s.globals = PyModule_GetDict(m);
        py::check_int(PyModule_SetDocString(m, kDoc));
        bind_standard_imports();
        set_decimal_precision();
        install_gmp_allocator();
        init_interrupts();
        bind_cpu_level();
        bind_constants();
        bind_array_library();
        bind_record_type();
        bind_loader();
        select_backend();
        for (auto define : kSubsystems) define(m);
        bind_all();
        g_initialised = true;
        return 0;
    });
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    // The interpreter lets every interpreter reach create_module, which then
    // refuses all but the first with this module's own message.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef moduledef = {PyModuleDef_HEAD_INIT, "zel", nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace zel

PyMODINIT_FUNC PyInit_zel() { return PyModuleDef_Init(&zel::moduledef); }
