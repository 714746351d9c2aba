"""Tensors of records as Dask arrays: the same records, and so the same
checksums, as the module computes in one process, whatever the chunking.

Chunks are arrays of the 72-byte records (``zel.FIXEDPOINT_DTYPE``): NumPy
arrays on the host backend, CuPy arrays on a GPU.  They travel between
worker processes as those bytes; nothing is converted to a float.  Every
chunk's records come from the module's own functions, looked up by name in
its namespace on the worker.
"""
try:
    import dask  # noqa: F401
    import dask.array  # noqa: F401
except ImportError as exc:  # pragma: no cover - exercised in a subprocess
    raise ImportError(
        "tarnex.zel.dask needs Dask: install the extra with pip install 'tarnex-zel[dask]' "
        "(dask[array] and distributed)"
    ) from exc

from ._arrays import from_tensor, to_tensor
from ._ops import checksum, elementwise, map_tensors, mean, mm, sum
from ._random import rand, randn

__all__ = [
    "from_tensor", "to_tensor", "rand", "randn", "elementwise", "map_tensors", "sum", "mean", "mm", "checksum",
]
