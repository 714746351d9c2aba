"""Matrix products and the sum reduction against peers, in one run: mm of
64 x 64 and 128 x 128 (values from doubles, and full-width values with all
256 fraction bits set), mv of 512 x 512, and sum of 1,000,000 records, beside
mpmath matrices at 256-bit precision, a gmpy2 integer fixed-point loop (exact
sums of scaled products, floored once, as our kernels round) and
python-flint's integer matrix product of the same values scaled by 2^256.
On ZEL_DEVICE=cuda it also times mm of two 1024 x 1024 tensors.

    ZEL_DEVICE=host .venv/bin/python benchmarks/bench_products.py
"""
import json
import os
import sys
import time
from fractions import Fraction

import numpy as np

os.environ.setdefault("ZEL_DEVICE", "host")
import tarnex.zel.zel as zel  # noqa: E402

SUM_N = int(os.environ.get("BENCH_SUM_N", 1_000_000))
MV_N = int(os.environ.get("BENCH_MV_N", 512))


def wait():
    zel.cp.cuda.Device().synchronize()


def best_of(fn, repeat=5):
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        wait()
        best = min(best, time.perf_counter() - t0)
    return best


def scaled_int(x):
    q = Fraction(float(x))
    return q.numerator * 2**256 // q.denominator


def main():
    import mpmath
    try:  # the peers a GPU machine may lack
        import flint
    except ImportError:
        flint = None
    try:
        import gmpy2
    except ImportError:
        gmpy2 = None

    mpmath.mp.prec = 256
    rng = np.random.default_rng(11)
    rows = []

    def record(case, ours, peers):
        row = {"case": case, "ours_ms": ours * 1e3}
        for name, t in peers.items():
            if t is None:
                continue
            row[f"{name}_ms"] = t * 1e3
            row[f"vs_{name}"] = t / ours
        rows.append(row)

    # Two kinds of data: doubles (a record spans two or three limbs) and
    # full-width values with all 256 fraction bits random.
    def doubles(n):
        x = rng.standard_normal((n, n)) * 1e3
        return zel.Tensor(x), [[scaled_int(v) for v in r] for r in x]

    def full(n):
        ints = [[int(v) for v in rng.integers(-2**62, 2**62, size=n)] for _ in range(n)]
        ints = [[(v << 204) | int(rng.integers(0, 2**62)) << 140 | int(rng.integers(0, 2**62)) << 70
                 | int(rng.integers(0, 2**62)) for v in r] for r in ints]
        return zel.tensor([[Fraction(v, 2**256) for v in r] for r in ints]), ints

    for kind, make in (("doubles", doubles), ("full", full)):
        for n in (64, 128):
            a, ia = make(n)
            b, ib = make(n)
            zel.mm(a, b)  # warm the kernel
            t_ours = best_of(lambda: zel.mm(a, b))
            ma = mpmath.matrix([[mpmath.mpf(v) / 2**256 for v in r] for r in ia])
            mb = mpmath.matrix([[mpmath.mpf(v) / 2**256 for v in r] for r in ib])
            t_mp = best_of(lambda: ma * mb, 1)
            t_gmp = t_flint = None
            if gmpy2:
                ga = [[gmpy2.mpz(v) for v in r] for r in ia]
                gbt = [[gmpy2.mpz(ib[k][j]) for k in range(n)] for j in range(n)]

                def gmp_mm():
                    return [[sum(x * y for x, y in zip(r, c)) >> 256 for c in gbt] for r in ga]
                t_gmp = best_of(gmp_mm, 1)
            if flint:
                fa, fb = flint.fmpz_mat(ia), flint.fmpz_mat(ib)
                t_flint = best_of(lambda: fa * fb)
            record(f"mm {n} {kind}", t_ours, {"mpmath": t_mp, "gmpy2": t_gmp, "flint": t_flint})

    xa, xv = rng.standard_normal((MV_N, MV_N)) * 1e3, rng.standard_normal(MV_N) * 1e3
    a, v = zel.Tensor(xa), zel.Tensor(xv)
    zel.mv(a, v)
    t_ours = best_of(lambda: zel.mv(a, v))
    ma, mv_ = mpmath.matrix(xa.tolist()), mpmath.matrix(xv.tolist())
    t_mp = best_of(lambda: ma * mv_, 1)
    t_gmp = t_flint = None
    if gmpy2:
        ga = [[gmpy2.mpz(scaled_int(x)) for x in r] for r in xa]
        gv = [gmpy2.mpz(scaled_int(x)) for x in xv]
        t_gmp = best_of(lambda: [sum(x * y for x, y in zip(r, gv)) >> 256 for r in ga], 1)
    if flint:
        fa = flint.fmpz_mat([[scaled_int(x) for x in r] for r in xa])
        fv = flint.fmpz_mat([[scaled_int(x)] for x in xv])
        t_flint = best_of(lambda: fa * fv)
    record(f"mv {MV_N}x{MV_N}", t_ours, {"mpmath": t_mp, "gmpy2": t_gmp, "flint": t_flint})

    xs = rng.standard_normal(SUM_N) * 1e6
    s = zel.Tensor(xs)
    zel.sum(s)
    t_ours = best_of(lambda: zel.sum(s))
    ms = [mpmath.mpf(float(x)) for x in xs]
    t_mp = best_of(lambda: mpmath.fsum(ms), 1)
    t_gmp = None
    if gmpy2:
        gs = [gmpy2.mpz(scaled_int(x)) for x in xs]
        t_gmp = best_of(lambda: sum(gs), 1)
    record(f"sum {SUM_N:,}", t_ours, {"mpmath": t_mp, "gmpy2": t_gmp})

    big_ms = None
    if os.environ["ZEL_DEVICE"] == "cuda":
        x = zel.Tensor(rng.standard_normal((1024, 1024)))
        zel.mm(x, x)
        big_ms = best_of(lambda: zel.mm(x, x)) * 1e3

    cores = os.cpu_count() or 1
    print(f"device {os.environ['ZEL_DEVICE']}, {cores} cores; peers: mpmath at {mpmath.mp.prec} bits, "
          "gmpy2 fixed-point loop, python-flint fmpz_mat (exact, unrounded)")
    print(f"{'case':<17} {'ours':>10} {'mpmath':>10} {'gmpy2':>10} {'flint':>10} {'x mpmath':>9} {'x gmpy2':>8} "
          f"{'x flint':>8}")
    def cell(r, key, fmt):
        return fmt.format(r[key]) if key in r else f"{'-':>{len(fmt.format(0.0))}}"
    for r in rows:
        print(f"{r['case']:<17} {r['ours_ms']:9.2f}m {cell(r, 'mpmath_ms', '{:9.1f}m')} "
              f"{cell(r, 'gmpy2_ms', '{:9.1f}m')} {cell(r, 'flint_ms', '{:9.2f}m')} "
              f"{cell(r, 'vs_mpmath', '{:8.1f}x')} {cell(r, 'vs_gmpy2', '{:7.1f}x')} {cell(r, 'vs_flint', '{:7.2f}x')}")
    if big_ms is not None:
        print(f"mm 1024x1024 on the GPU: {big_ms:.1f} ms (target < 100 ms)")
    out_dir = os.path.join(os.path.dirname(__file__), "results")
    os.makedirs(out_dir, exist_ok=True)
    with open(os.path.join(out_dir, "products.json"), "w") as f:
        json.dump({"device": os.environ["ZEL_DEVICE"], "cores": cores, "rows": rows, "mm_1024_ms": big_ms}, f,
                  indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
