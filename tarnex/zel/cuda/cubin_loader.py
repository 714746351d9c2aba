"""Loads the fixed-point kernels by name for the selected device.

On ``cuda`` the kernels come from the fatbin compiled at build time, or, where
the build had no nvcc, from the shipped kernel sources compiled once through
NVRTC (CuPy caches the result on disk).  On ``host`` they come from the CPU
build of the same sources.  Kernel objects are cached for the process.
"""
import hashlib
import importlib.util
import pathlib

from . import selected_device

_HERE = pathlib.Path(__file__).resolve().parent
SOURCE = _HERE / "zel_kernels.cu"


def _fatbin():
    """The compiled kernel image: beside this file, or, in an editable
    install (sources here, build products in site-packages), beside the
    compiled host kernel library.  None where the build had no nvcc."""
    name = "zel_kernels.fatbin"
    candidates = [_HERE / name]
    spec = importlib.util.find_spec(f"{__package__}._host_kernels")
    if spec is not None and spec.origin:
        candidates.append(pathlib.Path(spec.origin).resolve().parent / name)
    return next((c for c in candidates if c.exists()), None)

_module = None
_kernels = {}


def _nvrtc_options():
    return (
        "--std=c++17",
        f"-I{_HERE}",
        f"-I{_HERE / 'kernels'}",
        f"-I{_HERE / 'include' / 'zel'}",
    )


def _nvrtc_source():
    """The kernel source with a digest of every header it includes appended:
    CuPy's compile cache keys on the source text alone, so without it an
    edited header would be served from a stale cached build."""
    digest = hashlib.sha256()
    for header in sorted(_HERE.rglob("*.cuh")):
        digest.update(header.relative_to(_HERE).as_posix().encode())
        digest.update(header.read_bytes())
    return SOURCE.read_text() + f"\n// headers sha256 {digest.hexdigest()}\n"


def get_module():
    """The loaded kernel module (a CuPy RawModule, or the host kernel library)."""
    global _module
    if _module is None:
        if selected_device() == "host":
            from . import _host_kernels

            _module = _host_kernels
        else:
            import cupy

            fatbin = _fatbin()
            if fatbin is not None:
                _module = cupy.RawModule(path=str(fatbin))
            else:
                _module = cupy.RawModule(code=_nvrtc_source(), options=_nvrtc_options())
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
