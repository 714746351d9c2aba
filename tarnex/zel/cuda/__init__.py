"""Kernel access for the fixed-point module: the CUDA fatbin or its host build."""
import os

DEVICES = ("cuda", "host")


def selected_device():
    """The device named by ZEL_DEVICE ('cuda' when unset)."""
    device = os.environ.get("ZEL_DEVICE", "cuda") or "cuda"
    if device not in DEVICES:
        raise RuntimeError(
            f"ZEL_DEVICE must be one of {', '.join(repr(d) for d in DEVICES)} (got {device!r})"
        )
    return device


HOST_LIBRARIES = {"host": "_host_kernels", "device-branches": "_sim_kernels"}


def host_kernel_library():
    """The CPU kernel library named by ZEL_HOST_KERNELS: 'host' (default), the
    host code paths, or 'device-branches', the code paths a GPU takes,
    compiled for the CPU with a real barrier per block."""
    import importlib

    which = os.environ.get("ZEL_HOST_KERNELS", "host") or "host"
    if which not in HOST_LIBRARIES:
        raise RuntimeError(
            f"ZEL_HOST_KERNELS must be one of {', '.join(repr(k) for k in HOST_LIBRARIES)} (got {which!r})"
        )
    return importlib.import_module(f"{__name__}.{HOST_LIBRARIES[which]}")
