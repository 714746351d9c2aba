"""rand and randn by chunk, record for record those of one process.

The module's generator is the Lehmer sequence s -> A*s mod M (A = 48271,
M = 2^31 - 1); rand uses one draw per record and randn twelve, in C order
of the whole shape.  The record at flat index f therefore starts from
s0 * A^(d*f) mod M, d draws per record: a chunk jumps there by modular
exponentiation (O(log f) steps, no replay of the draws before it), binds
that state in the module's namespace, and lets the module's own rand/randn
draw each C-contiguous run of the block.
"""
import itertools
import math
import operator

import numpy as np

import dask.array as da
import tarnex.zel.zel as zel
from dask.highlevelgraph import HighLevelGraph
from dask.base import tokenize

from . import _arrays
from ._arrays import NAMESPACE_LOCK, REC, chunk_from_host

_DRAWS = {"rand": 1, "randn": 12}


def _state():
    """The namespace state reduced mod M, read as the module reads it
    (integers only, any sign or size)."""
    return operator.index(zel._lcg_state) % zel._LCG_M


def _shape(fname, args):
    # The module's reading of the arguments: one tuple or list is the shape,
    # otherwise the arguments are; a shape of one entry or none gives a 1-D
    # result.
    shape = tuple(args[0]) if len(args) == 1 and isinstance(args[0], (tuple, list)) else args
    shape = tuple(operator.index(s) for s in shape)
    if any(s < 0 for s in shape):
        raise ValueError(f"Negative dimension in shape {shape}")
    return shape if len(shape) > 1 else (math.prod(shape),)


def _runs(shape, starts, sizes):
    """The block's C-contiguous runs as (flat index of the first record,
    length), in the block's C order.  Trailing axes the block spans fully
    join the run; the first axis from the right it does not span ends it."""
    nd = len(shape)
    strides = [math.prod(shape[d + 1:]) for d in range(nd)]
    split = next((d for d in reversed(range(nd)) if sizes[d] != shape[d]), None)
    if split is None:
        return [(0, math.prod(shape))]
    length = sizes[split] * strides[split]
    outer = [range(starts[d], starts[d] + sizes[d]) for d in range(split)]
    base = starts[split] * strides[split]
    return [(base + sum(i * strides[d] for d, i in enumerate(idx)), length) for idx in itertools.product(*outer)]


def _draw_block(fname, s0, shape, starts, sizes, device):
    draws = _DRAWS[fname]
    modulus = zel._LCG_M
    pieces = []
    with NAMESPACE_LOCK:
        saved = zel._lcg_state
        try:
            for first, length in _runs(shape, starts, sizes):
                if length == 0:
                    continue
                zel._lcg_state = s0 * pow(zel._LCG_A, draws * first, modulus) % modulus
                pieces.append(getattr(zel, fname)(length)._data.get())
        finally:
            zel._lcg_state = saved
    records = np.concatenate(pieces) if pieces else np.empty(0, REC)
    return chunk_from_host(records.reshape(sizes), device)


def _draw(fname, args, chunks):
    shape = _shape(fname, args)
    n = math.prod(shape)
    s0 = _state()
    chunks = da.core.normalize_chunks(chunks, shape, dtype=REC)
    name = f"{fname}-{tokenize(s0, shape, chunks)}"
    device = _arrays.device_chunks()
    offsets = [np.concatenate([[0], np.cumsum(c)[:-1]]).astype(int).tolist() for c in chunks]
    dsk = {}
    for idx in itertools.product(*(range(len(c)) for c in chunks)):
        starts = tuple(offsets[d][i] for d, i in enumerate(idx))
        sizes = tuple(chunks[d][i] for d, i in enumerate(idx))
        dsk[(name,) + idx] = (_draw_block, fname, s0, shape, starts, sizes, device)
    # The caller's generator moves on as one call of this size moves it.
    if n:
        zel._lcg_state = s0 * pow(zel._LCG_A, _DRAWS[fname] * n, zel._LCG_M) % zel._LCG_M
    graph = HighLevelGraph.from_collections(name, dsk, dependencies=())
    return da.Array(graph, name, chunks, meta=np.empty((0,) * len(shape), REC))


def rand(*shape, chunks="auto"):
    """Uniform records in (0, 1): the records of ``zel.rand(*shape)``."""
    return _draw("rand", shape, chunks)


def randn(*shape, chunks="auto"):
    """Approximately normal records: the records of ``zel.randn(*shape)``."""
    return _draw("randn", shape, chunks)
