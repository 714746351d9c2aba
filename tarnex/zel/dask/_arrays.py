"""Chunks of records and the conversions every task makes: a chunk to a
Tensor for the module's kernels and back, a chunk's records to exact
integers and back, and Tensor <-> Dask array.

A chunk is a C-contiguous array of ``FIXEDPOINT_DTYPE`` records in the
block's shape.  Host chunks are NumPy arrays; device chunks are the array
library's own (CuPy on a GPU), which Dask's CuPy support moves between
workers.  The host backend's stand-in arrays are deliberately not NumPy
arrays, so records cross to and from them only by ``get()`` and
``zel.cp.asarray``, as they would with device memory.
"""
import threading

import numpy as np

import dask
import dask.array as da
import tarnex.zel.zel as zel

REC = zel.FIXEDPOINT_DTYPE
RECORD_BYTES = REC.itemsize
LIMBS = zel.NUM_LIMBS
SCALE_BITS = zel.SCALE_BITS
# The largest magnitude a record holds, as an integer multiple of 2^-256;
# results beyond it saturate to it, as the kernels do.
MAX_SCALED = (1 << (64 * LIMBS)) - 1
_WORDS = RECORD_BYTES // 8  # sign and pad in word 0, then the limbs
_LOW32 = np.uint64(0xFFFFFFFF)

# The module's generator state is one namespace entry: tasks that borrow it
# hold this lock, so threads of one worker never interleave their draws.
NAMESPACE_LOCK = threading.Lock()


def device_chunks():
    """Whether new chunks live in device memory: on a GPU, yes."""
    return zel.device == "cuda"


def on_device(chunk):
    return not isinstance(chunk, np.ndarray)


def host(chunk):
    """The chunk's records as a C-contiguous NumPy array."""
    if on_device(chunk):
        chunk = chunk.get()
    return np.ascontiguousarray(chunk)


def tensor_of(chunk):
    """A Tensor holding the chunk's records in the chunk's shape."""
    shape = tuple(chunk.shape)
    if on_device(chunk):
        flat = zel.cp.ascontiguousarray(chunk).reshape(-1)
    else:
        flat = zel.cp.asarray(np.ascontiguousarray(chunk).reshape(-1))
    t = zel.Tensor(_raw=flat, shape=shape)
    if not shape:
        t._shape = ()  # the constructor reads an empty shape as "not given"
    return t


def chunk_of(t, device, shape=None):
    """The records of Tensor ``t`` as a chunk of the given shape (t's own by
    default), in device memory or on the host."""
    shape = tuple(t.shape) if shape is None else tuple(shape)
    data = t._data
    if device:
        return zel.cp.ascontiguousarray(data).reshape(shape)
    return data.get().reshape(shape)


def chunk_from_host(records, device):
    """A host record array as a chunk of the requested kind."""
    if device:
        return zel.cp.asarray(records)
    return records


def words(records):
    """The records as 9 little-endian 64-bit words each: word 0 holds the
    sign (low half) and the pad, words 1..8 the limbs."""
    return np.ascontiguousarray(records).reshape(-1).view(np.uint64).reshape(-1, _WORDS)


def negative(w):
    # Only a sign field of -1 reads as negative; any other value is a
    # non-negative record, as in the kernels.
    return (w[:, 0] & _LOW32) == _LOW32


def scaled_total(records):
    """The exact sum of the records, as an integer multiple of 2^-256.

    Each limb column is summed in its two 32-bit halves, so a uint64
    accumulator cannot overflow below 2^32 records; longer runs are split.
    """
    w = words(records)
    neg = negative(w)
    total = 0
    step = 1 << 31
    for lo in range(0, len(w), step):
        part, sign_part = w[lo:lo + step], neg[lo:lo + step]
        for rows, sign in ((part[~sign_part], 1), (part[sign_part], -1)):
            if not len(rows):
                continue
            acc = 0
            for k in range(LIMBS):
                col = rows[:, 1 + k]
                low = int((col & _LOW32).sum(dtype=np.uint64))
                high = int((col >> np.uint64(32)).sum(dtype=np.uint64))
                acc += (low + (high << 32)) << (64 * k)
            total += sign * acc
    return total


def records_of(values, shape):
    """Host records of integers (multiples of 2^-256), saturated to the
    record range; zero is written with sign +1, never as a negative zero."""
    n = len(values)
    out = np.zeros(n, dtype=REC)
    if n:
        mags = [min(abs(v), MAX_SCALED) for v in values]
        limbs = np.frombuffer(b"".join(m.to_bytes(8 * LIMBS, "little") for m in mags), dtype=np.uint64)
        w = out.view(np.uint64).reshape(n, _WORDS)
        w[:, 1:] = limbs.reshape(n, LIMBS)
        out["sign"] = np.where(np.array([v < 0 for v in values]), -1, 1)
    return out.reshape(shape)


def from_tensor(t, chunks="auto"):
    """A Dask array of the records of Tensor ``t``, in t's shape, split by
    ``chunks`` (anything ``dask.array.from_array`` takes)."""
    if not isinstance(t, zel.Tensor):
        raise TypeError(f"from_tensor needs a Tensor, not {type(t).__name__}")
    shape = tuple(t.shape)
    records = chunk_of(t, device_chunks(), shape)
    return da.from_array(records, chunks=chunks, asarray=False, fancy=False, meta=np.empty((0,) * len(shape), REC))


def assemble(blocks, numblocks):
    """One host record array of the blocks (host or device chunks), given in
    C order of their block indices."""
    arrays = [host(b) for b in blocks]
    if len(arrays) == 1:
        return arrays[0]
    nested = np.empty(numblocks, dtype=object)
    for i, idx in enumerate(np.ndindex(*numblocks)):
        nested[idx] = arrays[i]
    return np.block(nested.tolist())


def to_tensor(x):
    """The Tensor of a Dask array of records, in x's shape.

    The chunks are fetched and joined here rather than by Dask's own
    concatenation, which has no path for device record arrays.
    """
    if not isinstance(x, da.Array) or x.dtype != REC:
        raise TypeError("to_tensor needs a Dask array of FIXEDPOINT_DTYPE records")
    records = assemble(computed_blocks(x), x.numblocks)
    return tensor_of(records.reshape(x.shape))


def computed_blocks(x):
    """The chunks of ``x``, computed together, block indices in C order."""
    return list(dask.compute(*x.to_delayed().ravel().tolist()))
