"""Exact rational algebra against its peers, measured in the same run:

- the pure-Python version of each algorithm on Fraction values
  (tests/exact_reference.py), timed as the whole function: exact read,
  elimination, float() and tensor() of the result;
- the same loops on gmpy2.mpq, where gmpy2 imports;
- python-flint's fmpq_mat (rref, det, inv, solve) on the same exact values,
  where flint imports.  Note that solve here is inv followed by mv, as the
  module defines it, while fmpq_mat.solve solves one right-hand side.

Matrices are randn(n, n) (exact records with full 256-bit fractions).  The
pure-Python side runs once per case (it takes minutes at 80 x 80; limit it
with --python-sizes); the module and flint take the best of --repeat runs.
The Fraction and gmpy2 versions of solve are their inverse followed by one
mv, so their time is the inverse's plus a measured mv rather than a second
run of the same elimination.  Default device: host.

    ZEL_DEVICE=host .venv/bin/python benchmarks/bench_exact.py [--sizes 40,80]
        [--python-sizes 40,80] [--repeat 3] [--json PATH]
"""
import argparse
import json
import os
import sys
import time
from fractions import Fraction

os.environ.setdefault("ZEL_DEVICE", "host")

import tarnex.zel.zel as zel  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
import exact_reference as ref  # noqa: E402

try:
    import gmpy2
except ImportError:  # pragma: no cover - optional peer
    gmpy2 = None
try:
    import flint
except ImportError:  # pragma: no cover - optional peer
    flint = None


# ---------------------------------------------------------------------------
# The rational algorithms, written over any exact number type.

def read_matrix(A, convert):
    m, n = A._shape
    vals = zel.from_gpu(A._data, as_float=False)
    return [[convert(vals[i * n + j]) for j in range(n)] for i in range(m)]


def write_matrix(matrix, shape):
    t = zel.tensor([float(matrix[i][j]) for i in range(len(matrix)) for j in range(len(matrix[0]))])
    t._shape = shape
    return t


def gj_rref(A, convert):
    reduced, pivots = ref.rref(read_matrix(A, convert))
    return write_matrix(reduced, A._shape), pivots


def ge_det(A, convert, one):
    det = ref.det(read_matrix(A, convert), one)
    return zel.tensor(ref.decimal_double(Fraction(int(det.numerator), int(det.denominator))))


def gj_inv(A, convert, one):
    n = A._shape[0]
    return write_matrix(ref.inverse(read_matrix(A, convert), one), (n, n))


def gj_solve(A, b, convert, one):
    return zel.mv(gj_inv(A, convert, one), b)


def py_hilbert_det(n):
    return ref.decimal_double(ref.det([[Fraction(1, i + j + 1) for j in range(n)] for i in range(n)]))


# ---------------------------------------------------------------------------

def best(fn, repeat):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def fmpq_matrix(rows):
    return flint.fmpq_mat(len(rows), len(rows[0]),
                          [flint.fmpq(x.numerator, x.denominator) for row in rows for x in row])


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sizes", default="40,80")
    ap.add_argument("--python-sizes", default="40,80", help="sizes at which the pure-Python peers run")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--json", help="write the rows to this file")
    args = ap.parse_args()
    sizes = [int(s) for s in args.sizes.split(",") if s]
    py_sizes = {int(s) for s in args.python_sizes.split(",") if s}
    mpq = gmpy2.mpq if gmpy2 else None
    rows = []

    def report(name, size, t_zel, t_py=None, t_gmpy=None, t_flint=None):
        row = {"op": name, "size": size, "zel_s": t_zel, "python_s": t_py, "gmpy2_s": t_gmpy, "flint_s": t_flint}
        rows.append(row)
        cells = [f"{name:<18}", f"{size:>4}", f"{t_zel * 1e3:10.2f} ms"]
        cells.append(f"x{t_py / t_zel:9.1f}" if t_py else f"{'-':>10}")
        cells.append(f"x{t_gmpy / t_zel:9.1f}" if t_gmpy else f"{'-':>10}")
        cells.append(f"{t_flint * 1e3:10.2f} ms  {t_zel / t_flint:6.2f}" if t_flint else f"{'-':>20}")
        print("  ".join(cells), flush=True)

    print(f"device={os.environ['ZEL_DEVICE']}  gmpy2={'yes' if gmpy2 else 'no'}  flint={'yes' if flint else 'no'}")
    print(f"{'operation':<18}  {'n':>4}  {'zel':>13}  {'python/zel':>10}  {'gmpy2/zel':>10}  "
          f"{'flint':>13}  {'zel/flint':>6}")
    for n in sizes:
        zel.manual_seed(n)
        A = zel.randn(n, n)
        b = zel.randn(n)
        exact = zel._tensor_to_fraction_matrix(A)
        bvals = zel._tensor_to_fraction_vector(b)
        fA = fmpq_matrix(exact) if flint else None
        fb = fmpq_matrix([[x] for x in bvals]) if flint else None
        peers = {}  # the peers' inverses, reused by their solve

        def timed_inv(convert, one):
            t0 = time.perf_counter()
            peers[convert] = gj_inv(A, convert, one)
            return time.perf_counter() - t0

        def timed_solve(convert, one):
            if convert not in peers:
                return best(lambda: gj_solve(A, b, convert, one), 1)
            inverse = peers[convert]
            return peers[convert, "t"] + best(lambda: zel.mv(inverse, b), args.repeat)

        ops = [
            ("rref", lambda: zel.rref(A), lambda c, o: best(lambda: gj_rref(A, c), 1), lambda: fA.rref()),
            ("det", lambda: zel.det(A), lambda c, o: best(lambda: ge_det(A, c, o), 1), lambda: fA.det()),
            ("inv", lambda: zel.inv(A), timed_inv, lambda: fA.inv()),
            ("solve", lambda: zel.solve(A, b), timed_solve, lambda: fA.solve(fb)),
        ]
        for name, f_zel, f_py, f_flint in ops:
            t_zel = best(f_zel, args.repeat)
            t_py = t_gmpy = t_flint = None
            if n in py_sizes:
                print(f"  ... pure-Python {name} {n}x{n}", file=sys.stderr, flush=True)
                t_py = f_py(Fraction, Fraction(1))
                if mpq:
                    t_gmpy = f_py(mpq, mpq(1))
                if name == "inv":
                    peers[Fraction, "t"], peers[mpq, "t"] = t_py, t_gmpy
            if flint:
                t_flint = best(f_flint, args.repeat)
            report(name, n, t_zel, t_py, t_gmpy, t_flint)

    t_zel = best(lambda: zel.hilbert_det_exact(60), args.repeat)
    t_flint = None
    if flint:
        H = flint.fmpq_mat(60, 60, [flint.fmpq(1, i + j + 1) for i in range(60) for j in range(60)])
        t_flint = best(lambda: H.det(), args.repeat)
    report("hilbert_det_exact", 60, t_zel, best(lambda: py_hilbert_det(60), 1), None, t_flint)
    t_zel = best(lambda: zel.bernoulli(400), args.repeat)
    t_flint = best(lambda: flint.fmpq.bernoulli(400), args.repeat) if flint else None
    report("bernoulli", 400, t_zel, best(lambda: ref.bernoulli(400), 1), None, t_flint)

    if args.json:
        with open(args.json, "w") as fh:
            json.dump({"device": os.environ["ZEL_DEVICE"], "rows": rows}, fh, indent=1)


if __name__ == "__main__":
    main()
