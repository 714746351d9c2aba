"""inv, solve and det with exact=True (every entry the record of the exact
rational) against python-flint's fmpq_mat on the same exact values, measured
in the same run.  Ratios are flint's time over ours: above 1x we are faster.

Matrices are randn(n, n) / 4 (records with full 256-bit fractions; the
quarter keeps det of the 160 x 160 matrix, about 2^472 / 4^160, within the
range) and b is randn(n).  flint computes the exact rationals (inv, solve for one right-hand
side, det); ours computes their floors to 2^-256, which is what a record can
hold.  The conversion of the inputs into fmpq_mat is not timed; ours is timed
from the tensor to the result tensor.  Each side takes the best of --repeat
runs, flint's inverse runs once from --flint-once upwards (it takes minutes
at 160 x 160).  A spot check compares a sample of our records with flint's
exact entries floored.  Default device: host.

    ZEL_DEVICE=host .venv/bin/python benchmarks/bench_exact_full.py [--sizes 40,80,160]
        [--repeat 3] [--flint-once 160] [--json benchmarks/results/exact_full.json]
"""
import argparse
import json
import os
import random
import time
from fractions import Fraction

os.environ.setdefault("ZEL_DEVICE", "host")

import flint  # noqa: E402

import tarnex.zel.zel as zel  # noqa: E402

SCALE = 2**256


def best(fn, repeat):
    times, result = [], None
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t0)
    return min(times), result


def fmpq_matrix(values, rows, cols):
    return flint.fmpq_mat(rows, cols, [flint.fmpq(q.numerator, q.denominator) for q in values])


def floor_record_value(x):
    q = Fraction(int(x.p), int(x.q))
    return Fraction((q.numerator * SCALE) // q.denominator, SCALE)


def spot_check(ours, theirs, rng, count=20):
    """A sample of our entries equals flint's exact entries under the floor rule."""
    got = zel.from_gpu(ours._data, as_float=False)
    want = theirs.entries()
    for k in rng.sample(range(len(got)), min(count, len(got))):
        if got[k] != floor_record_value(want[k]):
            return False
    return True


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sizes", default="40,80,160")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--flint-once", type=int, default=160, help="size from which flint's inverse runs once")
    ap.add_argument("--json", help="write the rows to this file")
    args = ap.parse_args()
    rng = random.Random(0)
    rows = []
    print(f"device={os.environ['ZEL_DEVICE']}  python-flint={flint.__version__}")
    print(f"{'operation':<8} {'n':>4} {'ours':>12} {'flint':>12} {'flint/ours':>10}  agree")
    for n in [int(s) for s in args.sizes.split(",") if s]:
        zel.manual_seed(n)
        A = zel.mul(zel.reshape(zel.randn(n * n), (n, n)), zel.tensor(0.25))
        b = zel.randn(n)
        fA = fmpq_matrix(zel.from_gpu(A._data, as_float=False), n, n)
        fb = fmpq_matrix(zel.from_gpu(b._data, as_float=False), n, 1)
        ops = [
            ("det", lambda: zel.det(A, exact=True), lambda: fA.det(), args.repeat),
            ("solve", lambda: zel.solve(A, b, exact=True), lambda: fA.solve(fb), args.repeat),
            ("inv", lambda: zel.inv(A, exact=True), lambda: fA.inv(), 1 if n >= args.flint_once else args.repeat),
        ]
        for name, ours, theirs, flint_repeat in ops:
            t_ours, r_ours = best(ours, args.repeat)
            t_flint, r_flint = best(theirs, flint_repeat)
            if name == "det":
                agree = zel.from_gpu(r_ours._data, as_float=False)[0] == floor_record_value(r_flint)
            else:
                agree = spot_check(r_ours, r_flint, rng)
            ratio = t_flint / t_ours
            rows.append({"op": name, "size": n, "ours_s": t_ours, "flint_s": t_flint, "ratio": ratio,
                         "agree": agree})
            print(f"{name:<8} {n:>4} {t_ours * 1e3:9.2f} ms {t_flint * 1e3:9.2f} ms {ratio:9.2f}x  {agree}",
                  flush=True)
    if args.json:
        with open(args.json, "w") as fh:
            json.dump({"device": os.environ["ZEL_DEVICE"], "flint": flint.__version__, "rows": rows}, fh, indent=1)


if __name__ == "__main__":
    main()
