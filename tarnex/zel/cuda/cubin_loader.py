"""Loads the fixed-point kernels by name for the selected device.

On ``cuda`` the kernels come from the fatbin compiled at build time, or, where
the build had no nvcc, from the shipped kernel sources compiled once through
NVRTC (CuPy caches the result on disk).  On ``host`` they come from the CPU
build of the same sources.  Kernel objects are cached for the process.
"""
import hashlib
import importlib.util
import pathlib

from . import host_kernel_library, selected_device

_HERE = pathlib.Path(__file__).resolve().parent
# The package root: the CUDA translation unit here includes the kernel bodies
# beside it and the arithmetic header in ../arith.
_ZEL = _HERE.parent
SOURCE = _HERE / "zel_kernels.cu"
# The folders whose headers the translation unit can include.
_HEADER_DIRS = ("arith", "cuda")


def _fatbin():
    """The compiled kernel image: beside this file, or, in an editable
    install (sources here, build products in site-packages), in the cuda
    folder beside the compiled host kernel library's.  None where the build
    had no nvcc."""
    name = "zel_kernels.fatbin"
    candidates = [_HERE / name]
    spec = importlib.util.find_spec("tarnex.zel.host._host_kernels")
    if spec is not None and spec.origin:
        candidates.append(pathlib.Path(spec.origin).resolve().parent.parent / "cuda" / name)
    return next((c for c in candidates if c.exists()), None)

def fatbin_architectures():
    """The architectures the fatbin holds code for ('sm_75', ..., and
    'compute_90' for its PTX), as the build recorded them; () without one."""
    fatbin = _fatbin()
    if fatbin is None:
        return ()
    archs = fatbin.with_suffix(".archs")
    return tuple(archs.read_text().split()) if archs.exists() else ()


_module = None
_origin = None
_kernels = {}


def kernel_origin():
    """Where the kernels come from: 'fatbin', 'nvrtc', or the host library's
    name ('_host_kernels', '_sim_kernels'); None before the first kernel."""
    return _origin


def _kernel_headers(root=_ZEL):
    """Every header the CUDA translation unit can include, in a fixed order."""
    return sorted(p for d in _HEADER_DIRS for p in (root / d).rglob("*.cuh"))


def nvrtc_source(root=_ZEL):
    """The translation unit handed to NVRTC, stamped with a digest of every
    kernel header.  CuPy's compile cache is keyed on the source text and the
    options only, not on the files the source includes, so without the stamp
    a changed header would be served its stale kernel."""
    digest = hashlib.sha256()
    for header in _kernel_headers(root):
        digest.update(header.relative_to(root).as_posix().encode())
        digest.update(b"\0")
        digest.update(header.read_bytes())
    source = (root / "cuda" / "zel_kernels.cu").read_text()
    return f"// kernel headers sha256 {digest.hexdigest()}\n{source}"


def _nvrtc_options():
    return (
        "--std=c++17",
        f"-I{_HERE}",
        f"-I{_HERE / 'kernels'}",
        f"-I{_ZEL / 'arith'}",
    )


def get_module():
    """The loaded kernel module (a CuPy RawModule, or the host kernel library)."""
    global _module, _origin
    if _module is None:
        if selected_device() == "host":
            _module = host_kernel_library()
            _origin = _module.__name__.rsplit(".", 1)[-1]
        else:
            import cupy

            fatbin = _fatbin()
            _module = None
            if fatbin is not None:
                try:
                    _module = cupy.RawModule(path=str(fatbin))
                    # Loading is lazy: a card or driver the fatbin cannot
                    # serve fails here, on the first lookup.
                    _module.get_function("fp_zeros_kernel")
                    _origin = "fatbin"
                except cupy.cuda.driver.CUDADriverError:
                    _module = None
            if _module is None:
                _module = cupy.RawModule(code=nvrtc_source(), options=_nvrtc_options())
                _origin = "nvrtc"
    return _module


def get_kernel(name):
    """The launchable kernel called ``name``: kernel(grid, block, args)."""
    kernel = _kernels.get(name)
    if kernel is None:
        module = get_module()
        if selected_device() == "host":
            kernel = module.get_kernel(name)
        else:
            kernel = module.get_function(name)
        _kernels[name] = kernel
    return kernel
