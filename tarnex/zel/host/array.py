"""The CPU stand-in for the array library on ``ZEL_DEVICE=host``.

It offers the calls the fixed-point module makes of CuPy, backed by NumPy,
and is as strict as CuPy wherever the module could come to rely on
leniency, so that what passes here also runs on a GPU:

- device arrays are not ``numpy.ndarray`` instances, have no buffer
  protocol, refuse implicit conversion (``numpy.asarray(x)``), and move to
  the host only through ``get()`` or ``data.copy_to_host``; record arrays
  refuse element assignment (records move as bytes);
- ``asarray`` and ``ascontiguousarray`` return the array itself when no copy
  is needed, as CuPy does, so sharing is the same on both devices;
- the ``logical_*`` functions refuse host inputs;
- kernels come from the host build of the kernel sources, and their launcher
  refuses what CUDA refuses (see ``tarnex.zel.host._host_kernels``).
"""
import ctypes
import operator

import numpy as _np


class MemoryPointer:
    """The ``arr.data`` of a device array: a raw address with copies."""

    __slots__ = ("_owner", "ptr")

    def __init__(self, owner):
        self._owner = owner
        self.ptr = owner.__array_interface__["data"][0]

    def __add__(self, offset):
        moved = MemoryPointer.__new__(MemoryPointer)
        moved._owner = self._owner
        moved.ptr = self.ptr + int(offset)
        return moved

    def copy_from_host(self, mem, size):
        if size:
            ctypes.memmove(self.ptr, mem, size)

    def copy_from_device(self, src, size):
        if not isinstance(src, MemoryPointer):
            raise TypeError(f"copy_from_device needs a device pointer, not {type(src).__name__}")
        if size:
            ctypes.memmove(self.ptr, src.ptr, size)

    def copy_to_host(self, mem, size):
        if size:
            ctypes.memmove(mem, self.ptr, size)


def _host(x, what):
    """The NumPy array behind a device array; host objects are refused."""
    if isinstance(x, ndarray):
        return x._a
    raise TypeError(f"Unsupported type {type(x)!r} for {what}: a device array is required")


def _operand(x):
    """A device array or a scalar, as CuPy's operators take them."""
    if isinstance(x, ndarray):
        return x._a
    if isinstance(x, (int, float, bool, complex, _np.generic)):
        return x
    raise TypeError(f"Unsupported type {type(x)!r}")


class ndarray:
    """A 'device' array living in host memory.

    It holds a NumPy array but is not one: every crossing to the host is
    explicit, as with device memory.
    """

    __slots__ = ("_a", "__weakref__")

    def __init__(self, *args, **kwargs):
        raise TypeError("device arrays are made by empty, zeros, asarray and their kin")

    @classmethod
    def _wrap(cls, a):
        self = object.__new__(cls)
        self._a = a
        return self

    # Attributes CuPy arrays share with NumPy's.
    shape = property(lambda self: self._a.shape)
    dtype = property(lambda self: self._a.dtype)
    ndim = property(lambda self: self._a.ndim)
    size = property(lambda self: self._a.size)
    nbytes = property(lambda self: self._a.nbytes)
    itemsize = property(lambda self: self._a.itemsize)
    strides = property(lambda self: self._a.strides)
    flags = property(lambda self: self._a.flags)

    @property
    def data(self):
        return MemoryPointer(self._a)

    def __array__(self, *args, **kwargs):
        raise TypeError("Implicit conversion to a NumPy array is not allowed. Please use `.get()` to construct a "
                        "NumPy array explicitly.")

    def __len__(self):
        return len(self._a)

    def __getitem__(self, key):
        if isinstance(key, ndarray):
            key = key._a
        r = self._a[key]
        # An integer index gives a 0-d view, not a host scalar.
        if not isinstance(r, _np.ndarray):
            r = self._a[(key if isinstance(key, tuple) else (key,)) + (Ellipsis,)]
        return ndarray._wrap(r)

    def __setitem__(self, key, value):
        # Numeric arrays take element and slice assignment as CuPy's do.
        # Record arrays do not: CuPy's element-wise machinery has no
        # structured types, so records move as bytes (data.copy_from_device).
        if self._a.dtype.names is not None:
            raise TypeError("record arrays are not assigned element-wise; copy their bytes")
        if isinstance(key, ndarray):
            key = key._a
        self._a[key] = _operand(value) if not isinstance(value, (list, tuple)) else _np.asarray(value)

    def __iter__(self):
        if self._a.ndim == 0:
            raise TypeError("iteration over a 0-d array")
        return (self[i] for i in range(len(self._a)))

    def __bool__(self):
        return bool(self._a)

    def __repr__(self):
        return f"device_array({self._a!r})"

    def get(self):
        return _np.array(self._a, copy=True)

    def tolist(self):
        return self._a.tolist()

    def item(self):
        return self._a.item()

    def view(self, dtype):
        return ndarray._wrap(self._a.view(dtype))

    def astype(self, dtype, copy=True):
        return ndarray._wrap(self._a.astype(dtype, copy=copy))

    def copy(self):
        return ndarray._wrap(self._a.copy())

    def ravel(self):
        return ndarray._wrap(self._a.ravel())

    def reshape(self, *shape):
        return ndarray._wrap(self._a.reshape(*shape))

    def sum(self, axis=None, dtype=None):
        return ndarray._wrap(_np.asarray(self._a.sum(axis=axis, dtype=dtype)))

    def _binary(op):
        def method(self, other):
            return ndarray._wrap(_np.asarray(op(self._a, _operand(other))))
        return method

    __eq__ = _binary(operator.eq)
    __ne__ = _binary(operator.ne)
    __lt__ = _binary(operator.lt)
    __le__ = _binary(operator.le)
    __gt__ = _binary(operator.gt)
    __ge__ = _binary(operator.ge)
    __and__ = _binary(operator.and_)
    __or__ = _binary(operator.or_)
    __xor__ = _binary(operator.xor)
    __add__ = _binary(operator.add)
    __sub__ = _binary(operator.sub)
    __mul__ = _binary(operator.mul)
    __hash__ = None
    del _binary

    def __invert__(self):
        return ndarray._wrap(~self._a)


def _new(a):
    return ndarray._wrap(a)


def empty(shape, dtype=float):
    return _new(_np.empty(shape, dtype=dtype))


def zeros(shape, dtype=float):
    return _new(_np.zeros(shape, dtype=dtype))


def asarray(a, dtype=None):
    """An upload of host data, or the device array itself when it already
    has the dtype asked for (CuPy copies nothing then either)."""
    if isinstance(a, ndarray):
        if dtype is None or _np.dtype(dtype) == a.dtype:
            return a
        return _new(a._a.astype(dtype))
    if isinstance(a, MemoryPointer):
        raise TypeError("asarray of a memory pointer")
    return _new(_np.array(a, dtype=dtype, copy=True))


def ascontiguousarray(a, dtype=None):
    a = asarray(a, dtype)
    if a._a.flags.c_contiguous and a._a.ndim >= 1:
        return a
    return _new(_np.ascontiguousarray(a._a))


def broadcast_to(a, shape):
    return _new(_np.broadcast_to(_host(a, "broadcast_to"), shape))


def concatenate(arrays, axis=0):
    return _new(_np.concatenate([_host(a, "concatenate") for a in arrays], axis=axis))


def cumsum(a, axis=None, dtype=None):
    return _new(_np.cumsum(_host(a, "cumsum"), axis=axis, dtype=dtype))


def logical_and(a, b):
    return _new(_np.logical_and(_operand_strict(a), _operand_strict(b)))


def logical_or(a, b):
    return _new(_np.logical_or(_operand_strict(a), _operand_strict(b)))


def logical_not(a):
    return _new(_np.logical_not(_operand_strict(a)))


def logical_xor(a, b):
    return _new(_np.logical_xor(_operand_strict(a), _operand_strict(b)))


def _operand_strict(x):
    # CuPy's ufuncs take device arrays and scalars; a host list or NumPy
    # array is a TypeError there.
    if isinstance(x, (list, tuple, _np.ndarray)):
        raise TypeError(f"Unsupported type {type(x)!r}")
    return _operand(x)


class RawModule:
    """Kernel access by name, as cupy.RawModule offers it."""

    def __init__(self, code=None, path=None, options=(), **kwargs):
        from . import host_kernel_library

        self._lib = host_kernel_library()

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
int64 = _np.int64
float64 = _np.float64
