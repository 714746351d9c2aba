"""Kernel access for the fixed-point module: the CUDA fatbin or its host build."""
import os

from ..host import HOST_LIBRARIES, host_kernel_library  # noqa: F401  (the loader's host side)

DEVICES = ("cuda", "host")


def selected_device():
    """The device named by ZEL_DEVICE ('cuda' when unset)."""
    device = os.environ.get("ZEL_DEVICE", "cuda") or "cuda"
    if device not in DEVICES:
        raise RuntimeError(
            f"ZEL_DEVICE must be one of {', '.join(repr(d) for d in DEVICES)} (got {device!r})"
        )
    return device
