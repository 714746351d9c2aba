"""Operations on Dask arrays of records: element-wise functions chunk by
chunk, exact sum and mean, the blocked matrix product, and the streamed
checksum.  Each gives the records (and so the checksum) the module gives
for the whole tensor in one process, whatever the chunking.
"""
import builtins
import functools
import hashlib
import itertools
import math

import numpy as np

import dask
import dask.array as da
import tarnex.zel.zel as zel
from dask.base import tokenize
from dask.core import flatten
from dask.highlevelgraph import HighLevelGraph

from . import _arrays as ar


def _meta(ndim):
    return np.empty((0,) * ndim, ar.REC)


# ---------------------------------------------------------------------------
# Element-wise operations.

def _apply(fn, kinds, kwargs, *operands):
    # kinds marks which operands are chunks (converted to Tensors) and which
    # are constants passed through to the module as they are.
    args = [ar.tensor_of(op) if is_chunk else op for op, is_chunk in zip(operands, kinds)]
    f = getattr(zel, fn) if isinstance(fn, str) else fn
    out = f(*args, **kwargs)
    if not isinstance(out, zel.Tensor):
        raise TypeError(f"{getattr(f, '__name__', f)!r} returned {type(out).__name__}, not a Tensor")
    # A function that is not element-wise would give chunks that disagree
    # with the array's chunking; refuse it rather than mislabel records.
    expected = np.broadcast_shapes(*(op.shape for op, is_chunk in zip(operands, kinds) if is_chunk))
    if tuple(out.shape) != expected:
        raise ValueError(f"{getattr(f, '__name__', f)!r} gave a block of shape {tuple(out.shape)}, not {expected}: "
                         "only element-wise functions map over blocks")
    device = any(ar.on_device(op) for op, is_chunk in zip(operands, kinds) if is_chunk)
    return ar.chunk_of(out, device)


def map_tensors(fn, *args, **kwargs):
    """Apply ``fn`` to matching blocks of the Dask arrays among ``args``, each
    block handed over as a Tensor, broadcasting as NumPy does.

    ``fn`` is a module function's name (looked up in the module's namespace
    on the worker, as the module's functions look each other up) or a
    picklable callable returning a Tensor of the block's broadcast shape.
    Tensors among ``args`` become one-chunk arrays; every other argument is
    passed to ``fn`` unchanged.
    """
    operands = [ar.from_tensor(a, chunks=-1) if isinstance(a, zel.Tensor) else a for a in args]
    arrays = [a for a in operands if isinstance(a, da.Array)]
    if not arrays:
        raise TypeError("map_tensors needs at least one Dask array or Tensor")
    for a in arrays:
        if a.dtype != ar.REC:
            raise TypeError(f"expected Dask arrays of FIXEDPOINT_DTYPE records, got dtype {a.dtype}")
    ndim = max(a.ndim for a in arrays)
    kinds = tuple(isinstance(a, da.Array) for a in operands)
    pairs = []
    for a in operands:
        if isinstance(a, da.Array):
            pairs += [a, tuple(range(ndim - a.ndim, ndim))]
        else:
            pairs += [a, None]
    func = functools.partial(_apply, fn, kinds, kwargs)
    return da.blockwise(func, tuple(range(ndim)), *pairs, dtype=ar.REC, meta=_meta(ndim),
                        name=f"zel-{getattr(fn, '__name__', fn)}-{tokenize(fn, kinds, kwargs, *operands)}")


def elementwise(name, *args, **kwargs):
    """The module's element-wise function ``name`` (``"add"``, ``"exp"``,
    ``"clamp"``...) on Dask arrays of records, chunk by chunk."""
    if not isinstance(name, str) or not callable(getattr(zel, name, None)):
        raise ValueError(f"no module function named {name!r}")
    return map_tensors(name, *args, **kwargs)


# ---------------------------------------------------------------------------
# Exact reductions.

def _sum_chunk(chunk):
    return ar.scaled_total(ar.host(chunk))


def _finish_sum(n, mean, shape, device, partials):
    total = builtins.sum(partials)
    # The mean is the floor of the exact mean, as the division kernel floors
    # sum/n; an empty array's mean is 0, as 0/0 is in the module.
    value = (total // n if n else 0) if mean else total
    return ar.chunk_from_host(ar.records_of([value], shape), device)


def _reduce(x, mean):
    if not isinstance(x, da.Array) or x.dtype != ar.REC:
        raise TypeError("expected a Dask array of FIXEDPOINT_DTYPE records")
    token = tokenize(x, mean)
    part = f"zel-partial-sum-{token}"
    name = f"zel-{'mean' if mean else 'sum'}-{token}"
    keys = list(flatten(x.__dask_keys__()))
    dsk = {(part, i): (_sum_chunk, k) for i, k in enumerate(keys)}
    # The module's shapes: (1,) for a sum of records, () for an empty one.
    shape = (1,) if x.size else ()
    key = (name, 0) if shape else (name,)
    dsk[key] = (_finish_sum, x.size, mean, shape, ar.device_chunks(), [(part, i) for i in range(len(keys))])
    graph = HighLevelGraph.from_collections(name, dsk, dependencies=[x])
    return da.Array(graph, name, tuple((s,) for s in shape), meta=_meta(len(shape)))


def sum(x):
    """The exact sum of all records, rounded once: a Dask array of the
    module's sum's shape.

    The chunks' partial sums are exact integers and are added exactly, so
    the one rounding is the saturation of a total beyond the record range,
    to +-(2^512 - 1)/2^256 with the total's sign.  Where no partial sum of
    the module's pairwise tree leaves the range, this is the module's
    ``sum``; where one does, the module saturates that partial and this
    gives the saturated exact total.
    """
    return _reduce(x, mean=False)


def mean(x):
    """The floor of the exact mean of all records, in the module's shape.

    This is the module's ``mean`` (``div(sum, numel)``) wherever the exact
    sum is in range; where it is not, the module divides a saturated sum,
    and this still gives the floor of the exact mean, always in range."""
    return _reduce(x, mean=True)


# ---------------------------------------------------------------------------
# Matrix product by blocks.
#
# The module's mm returns floor(sum_k a_k b_k / 2^256) of the records'
# integers a, b (multiples of 2^-256).  A product of blocks rounded that way
# loses the low bits that the sum over the other blocks may carry into the
# result, so blocks are multiplied in pieces whose products the module
# computes without rounding: a's magnitude is cut into limb ranges of 192,
# 192 and 128 bits, b's into two halves of 256 bits, and each half of b is
# handed over as an integer-valued record (b_q * 2^256), so that the kernel's
# exact sum is already a multiple of 2^256 and its floor drops nothing.
# Each such sum is below K * 2^192 * 2^256 < 2^512 for K < 2^64 terms, so
# none saturates.  The exact block product is sum_pq 2^(off_p + off_q) C_pq;
# the pieces of all k-blocks add exactly (again below 2^512), and the floor
# shift by 256 bits and the saturation are applied once, to the total.

_A_PIECES = ((0, 3), (3, 6), (6, 8))  # limb ranges of a's magnitude
_B_PIECES = ((0, 4), (4, 8))          # limb ranges of b's magnitude
_PAIRS = [(pa, pb) for pb in _B_PIECES for pa in _A_PIECES]


def _pieces(records, ranges, to_limb):
    """Records whose magnitudes are the given limb ranges of the inputs',
    moved to start at limb ``to_limb`` (or kept in place when None), each
    with its input's sign; zero pieces get sign +1."""
    w = ar.words(records)
    shape = records.shape
    out = []
    for lo, hi in ranges:
        p = np.zeros_like(w)
        dst = lo if to_limb is None else to_limb
        p[:, 1 + dst:1 + dst + hi - lo] = w[:, 1 + lo:1 + hi]
        zero = ~p[:, 1:].any(axis=1)
        p[:, 0] = np.where(zero, np.uint64(1), w[:, 0] & ar._LOW32)
        out.append(p.view(ar.REC).reshape(shape))
    return out


def _mm_block(a_chunk, b_chunk):
    """The exact pieces C_pq of one block product, as records stacked along
    a new leading axis of length len(_PAIRS)."""
    a, b = ar.host(a_chunk), ar.host(b_chunk)
    a_parts = _pieces(a, _A_PIECES, 0)
    # b_q as the integer b_q: its limbs move to the integer half (4..7).
    b_parts = _pieces(b, _B_PIECES, 4)
    parts = []
    for pb in range(len(_B_PIECES)):
        tb = ar.tensor_of(b_parts[pb])
        for pa in range(len(_A_PIECES)):
            parts.append(zel.mm(ar.tensor_of(a_parts[pa]), tb)._data.get().reshape(a.shape[0], b.shape[1]))
    return np.stack(parts)


def _floor_records(pieces, shifts):
    """Records of floor(sum_p C_p * 2^shift_p / 2^256), saturated, from the
    pieces C_p (records, one row per piece), for all outputs at once.

    The sum is formed in 32-bit digits held in int64 (each digit gathers at
    most one half-limb of each piece, so it cannot overflow), then carries
    run up with floor shifts, leaving digits in [0, 2^32) under a signed top
    digit: a two's complement integer whose digits from 2^256 up are its
    floor by 2^256.
    """
    count, n = pieces.shape
    top = max(shifts) // 32 + 2 * ar.LIMBS + 2
    d = np.zeros((n, top), dtype=np.int64)
    for p in range(count):
        w = ar.words(pieces[p])
        sign = np.where(ar.negative(w), -1, 1).astype(np.int64)[:, None]
        halves = np.empty((n, 2 * ar.LIMBS), dtype=np.int64)
        halves[:, 0::2] = (w[:, 1:] & ar._LOW32).astype(np.int64)
        halves[:, 1::2] = (w[:, 1:] >> np.uint64(32)).astype(np.int64)
        lo = shifts[p] // 32
        d[:, lo:lo + 2 * ar.LIMBS] += sign * halves
    _carry(d)
    q = d[:, ar.SCALE_BITS // 32:]
    neg = q[:, -1] < 0
    q[neg] = -q[neg]
    _carry(q)
    limbs = 2 * ar.LIMBS
    over = q[:, limbs:].any(axis=1)
    mag = q[:, :limbs].astype(np.uint64)
    mag[over] = np.uint64(0xFFFFFFFF)  # beyond the range: the largest magnitude
    out = np.zeros(n, dtype=ar.REC)
    w = out.view(np.uint64).reshape(n, -1)
    w[:, 1:] = mag[:, 0::2] | (mag[:, 1::2] << np.uint64(32))
    out["sign"] = np.where(neg, -1, 1)
    return out


def _carry(d):
    for i in range(d.shape[1] - 1):
        c = d[:, i] >> 32
        d[:, i] -= c << 32
        d[:, i + 1] += c


def _mm_finish(device, m, n, partials):
    # The k-blocks' pieces add exactly in the module (each total stays below
    # 2^512); the shift and the floor come once, in _floor_records.
    total = ar.tensor_of(partials[0])
    for p in partials[1:]:
        total = zel.add(total, ar.tensor_of(p))
    pieces = total._data.get().reshape(len(_PAIRS), m * n)
    shifts = [64 * (a[0] + b[0]) for a, b in _PAIRS]
    return ar.chunk_from_host(_floor_records(pieces, shifts).reshape(m, n), device)


def mm(a, b):
    """The matrix product of two Dask arrays of records: byte for byte the
    module's ``mm`` of the whole matrices, whatever the chunking of either.

    The inner axes are rechunked to common chunks; each output block sums
    the exact products of its row and column blocks and rounds once."""
    for x in (a, b):
        if not isinstance(x, da.Array) or x.dtype != ar.REC:
            raise TypeError("mm needs Dask arrays of FIXEDPOINT_DTYPE records")
    if a.ndim != 2 or b.ndim != 2:
        raise ValueError("mm requires 2D tensors")
    if a.shape[1] != b.shape[0]:
        raise ValueError(f"Shape mismatch: {a.shape} and {b.shape}")
    _, (a, b) = da.core.unify_chunks(a, "ik", b, "kj")
    token = tokenize(a, b)
    part, name = f"zel-mm-pieces-{token}", f"zel-mm-{token}"
    ni, nk = a.numblocks
    nj = b.numblocks[1]
    dsk = {}
    device = ar.device_chunks()
    for i, j in itertools.product(range(ni), range(nj)):
        m, n = a.chunks[0][i], b.chunks[1][j]
        if nk == 0 or a.shape[1] == 0:
            dsk[(name, i, j)] = (ar.chunk_from_host, _zeros(m, n), device)
            continue
        for k in range(nk):
            dsk[(part, i, j, k)] = (_mm_block, (a.name, i, k), (b.name, k, j))
        dsk[(name, i, j)] = (_mm_finish, device, m, n, [(part, i, j, k) for k in range(nk)])
    graph = HighLevelGraph.from_collections(name, dsk, dependencies=[a, b])
    return da.Array(graph, name, (a.chunks[0], b.chunks[1]), meta=_meta(2))


def _zeros(m, n):
    return ar.records_of([0] * (m * n), (m, n))


# ---------------------------------------------------------------------------
# Checksum.

def _hashed(chunk):
    """The bytes the module's checksum hashes for these records, in C
    order: each record's sign and limbs, the pad field left out."""
    raw = ar.host(chunk).reshape(-1).view(np.uint8).reshape(-1, ar.RECORD_BYTES)
    return np.ascontiguousarray(np.concatenate([raw[:, 0:4], raw[:, 8:]], axis=1)).tobytes()


# The fewest records a rechunked block of a checksum holds: runs shorter
# than this would only add tasks.
MIN_RUN = 1 << 16


def _c_order(x):
    """x rechunked, where needed, so that each block is one C-contiguous run
    of the whole array: every axis before the last split one has chunks of
    one.  The new blocks hold about as many records as the largest old one."""
    split = [d for d in range(x.ndim) if len(x.chunks[d]) > 1]
    if not split or all(c == 1 for d in range(split[-1]) for c in x.chunks[d]):
        return x
    target = max(max(math.prod(c) for c in itertools.product(*x.chunks)), MIN_RUN)
    new, run, full = [0] * x.ndim, 1, True
    for d in reversed(range(x.ndim)):
        if full and run * x.shape[d] <= target:
            new[d], run = x.shape[d], run * x.shape[d]
        elif full:
            new[d], full = max(1, target // run), False
        else:
            new[d] = 1
    return x.rechunk(tuple(new))


def _client():
    """The distributed client that would run a compute here, if any."""
    get = dask.base.get_scheduler()
    owner = getattr(get, "__self__", None)
    try:
        from distributed import Client
    except ImportError:
        return None
    return owner if isinstance(owner, Client) else None


def checksum(x, window=8):
    """SHA-256 of the records of a Dask array, the module's ``checksum`` of
    the same tensor, streamed: the blocks' hashed bytes reach this process
    one after another, in C order, and are never joined.

    Under a distributed client every block is computed once on the workers
    and fetched in order; under a local scheduler blocks are computed
    ``window`` at a time.
    """
    if not isinstance(x, da.Array) or x.dtype != ar.REC:
        raise TypeError("checksum needs a Dask array of FIXEDPOINT_DTYPE records")
    hasher = hashlib.sha256()
    if x.size == 0:
        return hasher.hexdigest()
    x = _c_order(x)
    parts = [dask.delayed(_hashed, pure=True)(b) for b in x.to_delayed().ravel().tolist()]
    client = _client()
    if client is not None:
        futures = client.compute(parts)
        for f in futures:
            hasher.update(f.result())
            f.release()
    else:
        for lo in range(0, len(parts), window):
            for data in dask.compute(*parts[lo:lo + window]):
                hasher.update(data)
    return hasher.hexdigest()
