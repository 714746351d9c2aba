"""The CPU stand-in for the array library on ``ZEL_DEVICE=host``.

It offers exactly the calls the fixed-point module makes of CuPy, backed by
NumPy: device arrays are NumPy arrays of a subclass with CuPy's ``get()`` and
``data.copy_from_host``/``copy_from_device``, and kernels come from the host
build of the kernel sources.
"""
import ctypes

import numpy as _np


class MemoryPointer:
    """The ``arr.data`` of a host device array: a raw pointer with copies."""

    __slots__ = ("_owner", "ptr")

    def __init__(self, owner):
        self._owner = owner
        self.ptr = owner.__array_interface__["data"][0]

    def copy_from_host(self, mem, size):
        if size:
            ctypes.memmove(self.ptr, mem, size)

    def copy_from_device(self, src, size):
        if size:
            ctypes.memmove(self.ptr, src.ptr, size)

    def copy_to_host(self, mem, size):
        if size:
            ctypes.memmove(mem, self.ptr, size)


class ndarray(_np.ndarray):
    """A 'device' array living in host memory."""

    @property
    def data(self):
        return MemoryPointer(self)

    def __getitem__(self, key):
        # Like a device array, an integer index gives a 0-d view, not a scalar.
        r = super().__getitem__(key)
        if not isinstance(r, _np.ndarray):
            r = super().__getitem__((key if isinstance(key, tuple) else (key,)) + (Ellipsis,))
        return r

    def get(self):
        return _np.array(self, copy=True, subok=False)


def _wrap(a):
    return a.view(ndarray) if isinstance(a, _np.ndarray) else a


def empty(shape, dtype=float):
    return _np.empty(shape, dtype=dtype).view(ndarray)


def zeros(shape, dtype=float):
    return _np.zeros(shape, dtype=dtype).view(ndarray)


def asarray(a, dtype=None):
    # Like an upload: the result never shares memory with a host array.
    src = a.get() if isinstance(a, ndarray) else a
    return _np.array(src, dtype=dtype, copy=True).view(ndarray)


def broadcast_to(a, shape):
    return _np.broadcast_to(_np.asarray(a), shape).view(ndarray)


def ascontiguousarray(a, dtype=None):
    return _np.array(_np.asarray(a), dtype=dtype, copy=True, order="C").view(ndarray)


def concatenate(arrays, axis=0):
    return _np.concatenate([_np.asarray(a) for a in arrays], axis=axis).view(ndarray)


def cumsum(a, axis=None, dtype=None):
    return _wrap(_np.cumsum(_np.asarray(a), axis=axis, dtype=dtype))


def logical_and(a, b):
    return _wrap(_np.logical_and(a, b))


def logical_or(a, b):
    return _wrap(_np.logical_or(a, b))


def logical_not(a):
    return _wrap(_np.logical_not(a))


def logical_xor(a, b):
    return _wrap(_np.logical_xor(a, b))


class RawModule:
    """Kernel access by name, as cupy.RawModule offers it."""

    def __init__(self, code=None, path=None, options=(), **kwargs):
        from . import _host_kernels

        self._lib = _host_kernels

    def get_function(self, name):
        return self._lib.get_kernel(name)


class _Device:
    def __init__(self, device=None):
        self.id = 0

    def synchronize(self):
        pass


class _Cuda:
    Device = _Device


cuda = _Cuda()
uint8 = _np.uint8
int32 = _np.int32
float64 = _np.float64
