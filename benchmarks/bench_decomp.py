"""qr, eig, svd and expm against the pure-Python version of the same
algorithms run in this process: Householder QR and solve's inverse in
Fractions, the host arithmetic in Python floats (tests/decomp_reference.py),
and the module's device mm and mv.  Each row runs the same call on both
sides and checks that every returned double is identical.

    ZEL_DEVICE=host .venv/bin/python benchmarks/bench_decomp.py

Exact Householder QR in Fractions grows its numbers threefold per column
(an 8 x 8 step ends near 230,000-bit denominators, a 10 x 10 one takes
minutes), so the pure-Python side of the larger eigen and singular value
rows runs one iteration; BENCH_HEAVY=1 adds the 10 x 10 rows.  The module's
own time for the full 100 iterations is listed separately.
"""
import json
import os
import random
import sys
import time

os.environ.setdefault("ZEL_DEVICE", "host")
import tarnex.zel.zel as zel  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
import decomp_reference as ref  # noqa: E402

HEAVY = os.environ.get("BENCH_HEAVY") == "1"


def matrix(rows):
    return zel.tensor(rows)


def rows_of(t):
    return t.to_list()


def device_mm(A, B):
    return rows_of(zel.mm(matrix(A), matrix(B)))


def py_solve(D, b):
    # solve's own algorithm: the exact Gauss-Jordan inverse in Fractions,
    # rounded through doubles, then the device matrix-vector product.
    return zel.from_gpu(zel.mv(matrix(ref.inverse_doubles(D)), zel.tensor(b))._data)


def py_eig(A, max_iter):
    return ref.eig(A, max_iter, mm=device_mm)


def py_svd(A, max_iter):
    return ref.svd(A, max_iter, mm=device_mm, eigh=py_eig)


def py_expm(A, order=6):
    return ref.expm(A, order, solve=py_solve)


def best_of(fn, repeat):
    best, result = float("inf"), None
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return best, result


def flat(x):
    if isinstance(x, (list, tuple)):
        return [y for e in x for y in flat(e)]
    if hasattr(x, "to_list"):
        return flat(x.to_list())
    return [float.hex(ref.through_record(x))]


def random_rows(rng, n, scale=1.0):
    return [[rng.gauss(0.0, scale) for _ in range(n)] for _ in range(n)]


def main():
    rng = random.Random(2024)
    A6, A8, A10, A16 = (random_rows(rng, n) for n in (6, 8, 10, 16))
    E8, E10 = random_rows(rng, 8, 0.5), random_rows(rng, 10, 0.5)
    cases = [
        ("qr 8x8", lambda: zel.qr(matrix(A8)), lambda: ref.qr(A8)),
        ("eig 6x6, 100 iterations", lambda: zel.eig(matrix(A6), 100), lambda: py_eig(A6, 100)),
        ("svd 6x6, 100 iterations", lambda: zel.svd(matrix(A6), 100), lambda: py_svd(A6, 100)),
        ("eig 8x8, 1 iteration", lambda: zel.eig(matrix(A8), 1), lambda: py_eig(A8, 1)),
        ("expm 8x8", lambda: zel.expm(matrix(E8)), lambda: py_expm(E8)),
        ("expm 10x10", lambda: zel.expm(matrix(E10)), lambda: py_expm(E10)),
    ]
    if HEAVY:
        cases += [
            ("eig 10x10, 1 iteration", lambda: zel.eig(matrix(A10), 1), lambda: py_eig(A10, 1)),
            ("svd 10x10, 1 iteration", lambda: zel.svd(matrix(A10), 1), lambda: py_svd(A10, 1)),
        ]
    rows = []
    for label, ours, theirs in cases:
        t_ours, r_ours = best_of(ours, 5)
        t_py, r_py = best_of(theirs, 1)
        rows.append({"case": label, "ours_s": t_ours, "pure_python_s": t_py, "ratio": t_py / t_ours,
                     "identical": flat(r_ours) == flat(r_py)})
    alone = [
        ("qr 16x16", lambda: zel.qr(matrix(A16))),
        ("eig 8x8, 100 iterations", lambda: zel.eig(matrix(A8), 100)),
        ("eig 10x10, 100 iterations", lambda: zel.eig(matrix(A10), 100)),
        ("svd 10x10, 100 iterations", lambda: zel.svd(matrix(A10), 100)),
    ]
    for label, ours in alone:
        rows.append({"case": label, "ours_s": best_of(ours, 3)[0], "pure_python_s": None, "ratio": None,
                     "identical": None})

    width = max(len(r["case"]) for r in rows)
    print(f"{'case':<{width}}  {'ours':>9}  {'pure Python':>11}  {'speed-up':>8}  identical")
    for r in rows:
        if r["ratio"] is None:
            print(f"{r['case']:<{width}}  {r['ours_s']:8.4f}s  {'-':>11}  {'-':>8}  -")
        else:
            print(f"{r['case']:<{width}}  {r['ours_s']:8.4f}s  {r['pure_python_s']:10.3f}s  "
                  f"{r['ratio']:7.0f}x  {r['identical']}")
    out_dir = os.path.join(os.path.dirname(__file__), "results")
    os.makedirs(out_dir, exist_ok=True)
    with open(os.path.join(out_dir, "decomp.json"), "w") as f:
        json.dump({"device": os.environ["ZEL_DEVICE"], "heavy": HEAVY, "rows": rows}, f, indent=2)
    return 0 if all(r["identical"] is not False for r in rows) else 1


if __name__ == "__main__":
    sys.exit(main())
