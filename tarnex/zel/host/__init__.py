"""The CPU backend: the kernel library built for the host, and the
NumPy-backed stand-in for the array library (``array``)."""
import os

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
