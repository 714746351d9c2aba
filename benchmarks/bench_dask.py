"""tarnex.zel.dask on a LocalCluster of one and of two worker processes (one
thread each) against the module in this process, in the same run: randn of
4 x 10^6 records and mm of n x n full-width records (every limb of every
magnitude random), with the bytes a chunk carries between processes.

Each Dask figure is the time to compute every chunk on the workers
(``persist`` and wait), not to gather them; the results are checked against
the module's by checksum.  mm defaults to n = 256 (the module alone takes
seconds; n = 1024 takes several minutes on two cores): BENCH_DASK_MM_N=1024
sets n.  Default device: host.

    ZEL_DEVICE=host .venv/bin/python benchmarks/bench_dask.py [--json PATH]
"""
import argparse
import json
import logging
import os
import random
import time
from fractions import Fraction

os.environ.setdefault("ZEL_DEVICE", "host")

import distributed  # noqa: E402

import tarnex.zel.dask as zd  # noqa: E402
import tarnex.zel.zel as zel  # noqa: E402
from tarnex.zel.dask import _ops  # noqa: E402

RECORD = zel.FIXEDPOINT_DTYPE.itemsize


def timed(fn):
    t = time.perf_counter()
    out = fn()
    return time.perf_counter() - t, out


def full_width(n, seed):
    rng = random.Random(seed)
    vals = [Fraction(rng.choice((-1, 1)) * (rng.getrandbits(512) | 1 << 511), 2**256) for _ in range(n * n)]
    return zel.reshape(zel.tensor(vals), (n, n))


def on_cluster(workers, fn):
    with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None,
                                  silence_logs=logging.ERROR) as cluster, distributed.Client(cluster) as client:
        client.run(lambda: __import__("tarnex.zel.zel"))  # the import is not part of the figure
        return fn(client)


def persisted(client, x):
    y = client.persist(x)
    distributed.wait(y)
    return y


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--json", help="also write the results to this file")
    opts = ap.parse_args()
    results = []

    def report(case, ours, base, note=""):
        results.append({"case": case, "seconds": ours, "module_seconds": base, "note": note})
        print(f"{case:<44} {ours:8.2f} s   module {base:8.2f} s   ratio {base / ours:5.2f}x  {note}")

    # randn: 4 x 10^6 records in four chunks of 10^6.
    n, chunk = 4_000_000, 1_000_000
    zel.manual_seed(1)
    base, ref = timed(lambda: zel.randn(n))
    want = zel.checksum(ref)
    del ref
    for workers in (1, 2):
        def run(client):
            zel.manual_seed(1)
            x = zd.randn(n, chunks=chunk)
            t, y = timed(lambda: persisted(client, x))
            tc, digest = timed(lambda: zd.checksum(y))
            assert digest == want, "randn records differ from the module's"
            return t, tc
        t, tc = on_cluster(workers, run)
        report(f"randn(4e6), {workers} worker(s)", t, base, f"{chunk * RECORD / 2**20:.0f} MiB a chunk")
        if workers == 2:
            results.append({"case": "checksum of that randn, streamed", "seconds": tc})
            print(f"{'checksum of it, streamed to the client':<44} {tc:8.2f} s")

    # mm: n x n full-width records, chunks of n/2 on both axes.
    m = int(os.environ.get("BENCH_DASK_MM_N", "256"))
    c = m // 2
    a, b = full_width(m, 1), full_width(m, 2)
    base, ref = timed(lambda: zel.mm(a, b))
    want = zel.checksum(ref)
    block = c * c * RECORD
    for workers in (1, 2):
        def run(client):
            x = zd.mm(zd.from_tensor(a, c), zd.from_tensor(b, c))
            t, y = timed(lambda: persisted(client, x))
            assert zd.checksum(y) == want, "mm records differ from the module's"
            return t
        t = on_cluster(workers, run)
        note = (f"blocks of {c} x {c}: {block / 2**20:.1f} MiB in, "
                f"{len(_ops._PAIRS) * block / 2**20:.1f} MiB of exact pieces per block product")
        report(f"mm {m} x {m} full width, {workers} worker(s)", t, base, note)

    if opts.json:
        with open(opts.json, "w") as f:
            json.dump({"device": zel.device, "results": results}, f, indent=2)


if __name__ == "__main__":
    main()
