"""Element-wise add, mul and div of two 1,000,000-element tensors against an
element-wise loop over mpmath numbers at 256-bit precision and a gmpy2
integer loop doing the same fixed-point operation (floor of the scaled
result), plus _copy_arr and a broadcasting add.  The peers run on a slice of
the data and are reported per element; the output says so.

    ZEL_DEVICE=host .venv/bin/python benchmarks/bench_arith.py
"""
import json
import os
import sys
import time

import numpy as np

os.environ.setdefault("ZEL_DEVICE", "host")
import tarnex.zel.zel as zel  # noqa: E402

N = int(os.environ.get("BENCH_N", 1_000_000))
PEER_N = int(os.environ.get("BENCH_PEER_N", 100_000))


def best_of(fn, repeat=3):
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def main():
    import gmpy2
    import mpmath

    rng = np.random.default_rng(5)
    xa = rng.standard_normal(N) * 1e6
    xb = rng.standard_normal(N) * 1e3 + 0.5
    a, b = zel.Tensor(xa), zel.Tensor(xb)
    zel.add(a, b)  # warm the kernels

    mpmath.mp.prec = 512  # 256 integer + 256 fraction bits
    ma = [mpmath.mpf(float(x)) for x in xa[:PEER_N]]
    mb = [mpmath.mpf(float(x)) for x in xb[:PEER_N]]
    ga = [gmpy2.mpz(int(x * 2**40)) << 216 for x in xa[:PEER_N]]
    gb = [gmpy2.mpz(int(x * 2**40)) << 216 for x in xb[:PEER_N]]

    peers = {
        "add": (lambda: [x + y for x, y in zip(ma, mb)], lambda: [x + y for x, y in zip(ga, gb)]),
        "mul": (lambda: [x * y for x, y in zip(ma, mb)], lambda: [(x * y) >> 256 for x, y in zip(ga, gb)]),
        "div": (lambda: [x / y for x, y in zip(ma, mb)], lambda: [(x << 256) // y for x, y in zip(ga, gb)]),
    }
    cores = os.cpu_count() or 1
    rows = []
    for op, fn in [("add", zel.add), ("mul", zel.mul), ("div", zel.div)]:
        t = best_of(lambda: fn(a, b)) / N
        t_mp = best_of(peers[op][0], 1) / PEER_N
        t_gmp = best_of(peers[op][1], 1) / PEER_N
        rows.append({"case": f"{op} {N:,}", "ours_ns": t * 1e9, "mpmath_ns": t_mp * 1e9, "gmpy2_ns": t_gmp * 1e9,
                     "vs_mpmath": t_mp / t, "vs_gmpy2": t_gmp / t, "elements_per_s_per_core": 1 / t / cores})
    print(f"per element; peers measured on {PEER_N:,} elements; {cores} cores")
    print(f"{'case':<14} {'ours':>9} {'mpmath':>9} {'gmpy2':>9} {'x mpmath':>9} {'x gmpy2':>8} {'elem/s/core':>12}")
    for r in rows:
        print(f"{r['case']:<14} {r['ours_ns']:8.1f}n {r['mpmath_ns']:8.1f}n {r['gmpy2_ns']:8.1f}n "
              f"{r['vs_mpmath']:8.1f}x {r['vs_gmpy2']:7.1f}x {r['elements_per_s_per_core']:12.3g}")

    t_copy = best_of(lambda: zel._copy_arr(a._data))
    row = zel.Tensor(rng.standard_normal(1000))
    square = zel.Tensor(np.zeros((1000, 1000)))
    t_bcast = best_of(lambda: zel.add(square, row))
    print(f"_copy_arr of {N:,} records: {t_copy * 1e3:.1f} ms")
    print(f"add (1000, 1000) + (1000,) with broadcasting: {t_bcast * 1e3:.1f} ms")
    out_dir = os.path.join(os.path.dirname(__file__), "results")
    os.makedirs(out_dir, exist_ok=True)
    with open(os.path.join(out_dir, "arith.json"), "w") as f:
        json.dump({"device": os.environ["ZEL_DEVICE"], "n": N, "peer_n": PEER_N, "rows": rows,
                   "copy_arr_ms": t_copy * 1e3, "broadcast_add_ms": t_bcast * 1e3}, f, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
