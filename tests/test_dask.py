"""tarnex.zel.dask on a two-process LocalCluster: the records and checksums of
chunked arrays against the module's own in one process."""
import logging
import os
import random
import signal
import subprocess
import sys
import time
from fractions import Fraction

import pytest

dask = pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")

import tarnex.zel.dask as zd  # noqa: E402
from tarnex.zel.dask import _arrays  # noqa: E402

SCALE = 2**256
MAX = Fraction(2**512 - 1, SCALE)


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                       silence_logs=logging.ERROR)
    c = distributed.Client(cluster)
    yield c
    c.close()
    cluster.close()


def records(t):
    return t._data.get().tobytes()


def same(zel, t, x):
    got = zd.to_tensor(x)
    assert tuple(got.shape) == tuple(t.shape)
    assert records(got) == records(t)


def full_width(zel, shape, seed, huge=False):
    """Records with all 512 bits of magnitude in play, both signs, zeros."""
    rng = random.Random(seed)
    n = 1
    for s in shape:
        n *= s
    bits = 511 if huge else 300
    vals = [Fraction(rng.choice((-1, 1)) * rng.getrandbits(bits), SCALE) if rng.random() > 0.1 else Fraction(0)
            for _ in range(n)]
    return zel.reshape(zel.tensor(vals), shape) if len(shape) > 1 else zel.tensor(vals)


@pytest.mark.parametrize("fname", ["rand", "randn"])
@pytest.mark.parametrize("shape, chunks", [
    ((11,), (4, 4, 3)),              # uneven
    ((5, 6), ((2, 3), (4, 1, 1))),   # uneven on both axes: runs within rows
    ((3, 4), 1),                     # one-element chunks
    ((4, 5), -1),                    # one chunk
    ((2, 3, 4), (1, 2, 3)),
    ((0, 3), -1),
])
def test_random_matches_module(zel, client, fname, shape, chunks):
    zel.manual_seed(2024)
    zel._lcg_next()  # a state that is not a fresh seed's
    start = zel._lcg_state
    ref = getattr(zel, fname)(shape)
    after = zel._lcg_state
    zel._lcg_state = start
    x = getattr(zd, fname)(*shape, chunks=chunks)
    assert zel._lcg_state == after
    same(zel, ref, x)
    assert zd.checksum(x) == zel.checksum(ref)
    assert zel._lcg_state == after  # computing does not disturb the caller's state


@pytest.mark.parametrize("args", [(), (4,), ((2, 3),), ([2, 3],), (1, 1)])
def test_random_reads_shapes_as_the_module_does(zel, args):
    zel.manual_seed(5)
    ref = zel.rand(*args)
    zel.manual_seed(5)
    with dask.config.set(scheduler="synchronous"):
        same(zel, ref, zd.rand(*args))


def test_random_refuses_what_the_module_refuses(zel):
    with pytest.raises(ValueError, match="Negative dimension"):
        zd.randn(2, -1)
    saved = zel._lcg_state
    zel._lcg_state = 1.5
    try:
        with pytest.raises(TypeError):
            zd.rand(3)
    finally:
        zel._lcg_state = saved


def test_random_jumps_far_into_the_stream(zel, client):
    zel.manual_seed(7)
    ref = zel.rand(300_000)
    zel.manual_seed(7)
    x = zd.rand(300_000, chunks=(299_990, 10))
    tail = zd.to_tensor(x[-10:])
    assert records(tail) == records(ref)[-10 * 72:]


def test_elementwise_chain_and_broadcasting(zel, client):
    zel.manual_seed(3)
    a, b, c = zel.randn(6, 5), zel.randn(5), zel.reshape(zel.randn(6), (6, 1))
    three = zel.tensor(3)
    ref = zel.exp(zel.div(zel.mul(zel.add(a, b), c), three))
    for ca, cb, cc in [((4, 2), 3, (2, 1)), (1, 1, 1), (-1, -1, -1)]:
        xa, xb, xc = zd.from_tensor(a, ca), zd.from_tensor(b, cb), zd.from_tensor(c, cc)
        y = zd.elementwise("exp", zd.elementwise("div", zd.elementwise("mul", zd.elementwise("add", xa, xb), xc), three))
        same(zel, ref, y)
        assert zd.checksum(y) == zel.checksum(ref)
    # A Tensor operand joins as one chunk.
    same(zel, zel.sub(a, b), zd.elementwise("sub", zd.from_tensor(a, (2, 2)), b))


def test_elementwise_refuses_what_is_not_a_module_function(zel):
    with pytest.raises(ValueError, match="no module function"):
        zd.elementwise("no_such_op", zd.from_tensor(zel.tensor([1])))
    with pytest.raises(TypeError, match="FIXEDPOINT_DTYPE"):
        zd.map_tensors("exp", dask.array.ones(3))
    with dask.config.set(scheduler="synchronous"), pytest.raises(ValueError, match="element-wise"):
        zd.to_tensor(zd.elementwise("sum", zd.from_tensor(zel.zeros(2, 4), (1, 2))))


@pytest.mark.parametrize("chunks", [(3, 4, 5), 1, -1, (11, 1)])
def test_sum_and_mean_match_module(zel, client, chunks):
    t = full_width(zel, (12,), seed=5)
    x = zd.from_tensor(t, chunks)
    same(zel, zel.sum(t), zd.sum(x))
    same(zel, zel.mean(t), zd.mean(x))


def test_sum_two_dimensional_randn(zel, client):
    zel.manual_seed(11)
    t = zel.randn(40, 30)
    x = zd.from_tensor(t, (7, 11))
    same(zel, zel.sum(t), zd.sum(x))
    same(zel, zel.mean(t), zd.mean(x))


@pytest.mark.parametrize("values, total", [
    ([MAX, MAX, -MAX], MAX),                   # the module's tree saturates max + max first
    ([MAX, MAX], MAX),                   # out of range: saturated once
    ([-MAX, -MAX, Fraction(1)], -MAX),
    ([], 0),
])
def test_sum_is_the_exact_total_saturated_once(zel, client, values, total):
    t = zel.tensor(values) if values else zel.tensor([0])[0:0]
    x = zd.from_tensor(t, 1 if values else -1)
    got = zd.to_tensor(zd.sum(x))
    assert got.shape == zel.sum(t).shape
    assert got.to_fractions() == ([total] if values else total)


def test_mean_of_an_out_of_range_sum_is_exact(zel, client):
    t = zel.tensor([MAX, MAX, MAX - Fraction(1, SCALE)])
    [got] = zd.to_tensor(zd.mean(zd.from_tensor(t, 1))).to_fractions()
    assert got == Fraction((3 * (2**512 - 1) - 1) // 3, SCALE)


@pytest.mark.parametrize("ca, cb", [
    (((3, 4), (2, 3)), ((4, 1), (5, 1))),   # uneven; the inner axes disagree
    (1, 1),                                 # one-element chunks
    (-1, -1),                               # one chunk
    ((7, 1), (2, 6)),
])
def test_mm_matches_module_bytes(zel, client, ca, cb):
    a, b = full_width(zel, (7, 5), seed=1), full_width(zel, (5, 6), seed=2)
    ref = zel.mm(a, b)
    x = zd.mm(zd.from_tensor(a, ca), zd.from_tensor(b, cb))
    same(zel, ref, x)
    assert zd.checksum(x) == zel.checksum(ref)


def test_mm_full_range_and_saturation(zel, client):
    # Magnitudes near 2^255: products far beyond the range, sums that cancel
    # back into it, rows that saturate either way.
    a, b = full_width(zel, (4, 6), seed=8, huge=True), full_width(zel, (6, 3), seed=9, huge=True)
    small = full_width(zel, (6, 3), seed=10)
    for rhs in (b, small, zel.sub(b, b)):
        same(zel, zel.mm(a, rhs), zd.mm(zd.from_tensor(a, (3, 2)), zd.from_tensor(rhs, (4, 2))))
    e = zel.reshape(zel.tensor([0] * 0), (2, 0))
    same(zel, zel.zeros(2, 3), zd.mm(zd.from_tensor(e), zd.from_tensor(zel.reshape(e, (0, 3)))))


def test_mm_refuses_mismatched_shapes(zel):
    a = zd.from_tensor(zel.zeros(2, 3))
    with pytest.raises(ValueError, match="2D"):
        zd.mm(a, zd.from_tensor(zel.zeros(3)))
    with pytest.raises(ValueError, match="mismatch"):
        zd.mm(a, a)


@pytest.mark.parametrize("min_run", [4, 1 << 16])
def test_round_trip_and_checksum_of_column_chunks(zel, client, monkeypatch, min_run):
    # A small least run makes the rechunked runs many blocks, hashed in turn.
    monkeypatch.setattr(zd._ops, "MIN_RUN", min_run)
    t = full_width(zel, (9, 8, 3), seed=4)
    for chunks in [(2, 3, 1), (9, 1, 3), (2, 8, 3), 1, -1]:
        x = zd.from_tensor(t, chunks)
        same(zel, t, x)
        assert zd.checksum(x) == zel.checksum(t)
    with dask.config.set(scheduler="synchronous"):
        assert zd.checksum(zd.from_tensor(t, (4, 3, 2)), window=2) == zel.checksum(t)


def test_device_chunks_on_the_stand_in(zel, monkeypatch):
    # The GPU path: chunks are the array library's device arrays (here the
    # host stand-in's, as strict as CuPy), run by the synchronous scheduler.
    monkeypatch.setattr(_arrays, "device_chunks", lambda: True)
    with dask.config.set(scheduler="synchronous"):
        zel.manual_seed(1)
        ref = zel.randn(6, 4)
        zel.manual_seed(1)
        x = zd.randn(6, 4, chunks=(1, 4))
        block = x.blocks[2, 0].compute()
        assert not isinstance(block, type(ref._data.get()))
        same(zel, ref, x)
        assert zd.checksum(x) == zel.checksum(ref)
        same(zel, zel.exp(ref), zd.elementwise("exp", x))
        same(zel, zel.sum(ref), zd.sum(x))
        rt = zel.transpose(ref, 0, 1)
        same(zel, zel.mm(ref, rt), zd.mm(x, zd.from_tensor(rt, (2, 3))))


def test_import_error_names_the_extra():
    code = "import sys; sys.modules['dask'] = None\nimport tarnex.zel.dask"
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                       env={**os.environ, "ZEL_DEVICE": "host"})
    assert r.returncode != 0
    assert "ImportError" in r.stderr and "tarnex-zel[dask]" in r.stderr


def test_worker_killed_mid_computation(zel, client):
    # Last: the nanny restarts the worker, and Dask recomputes what it held.
    def slow_exp(t):
        time.sleep(0.25)
        return zel.exp(t)

    zel.manual_seed(99)
    ref = zel.exp(zel.randn(12, 3))
    zel.manual_seed(99)
    future = client.compute(zd.map_tensors(slow_exp, zd.randn(12, 3, chunks=(1, 3))))
    time.sleep(1.0)
    assert not future.done()
    pids = client.run(os.getpid)
    os.kill(next(iter(pids.values())), signal.SIGKILL)
    result = future.result(timeout=60)
    assert result.tobytes() == ref._data.get().tobytes()
