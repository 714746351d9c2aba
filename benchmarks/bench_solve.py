"""inv, solve and rref on hard matrices against python-flint, in one run.

- solve and inv of the Hilbert-type matrix (entries the records of the
  doubles nearest 1/(i+j+1)) for n = 80 and 160, beside fmpq_mat.solve (one
  right-hand side) and fmpq_mat.inv on the same exact values.  Our default
  inv rounds each exact entry to a double, and solve multiplies that
  inverse by b (the module's definition), so ours are rounded where the
  peer's are exact; with exact=True ours are the floored records of the
  exact rationals;
- the same for the full-width Hilbert-type matrix (entries the records of
  1/(i+j+1) themselves, floored to 256 fraction bits, so every entry has
  about 256 significant bits); the peer's inverse of those takes seconds at
  n = 80 and is timed there only;
- rref of 160 x 160 matrices (full rank from normal deviates, and rank 80)
  beside fmpz_mat.rref of the same values as scaled integers (the peer's
  form is exact and unnormalised; ours floors or rounds each entry).

    ZEL_DEVICE=host .venv/bin/python benchmarks/bench_solve.py

BENCH_SOLVE_SIZES (default "80,160") chooses the sizes.
"""
import os
import random
import sys
from fractions import Fraction

os.environ.setdefault("ZEL_DEVICE", "host")
import tarnex.zel.zel as zel  # noqa: E402
from bench_large import best_of, fmpq_mat_of, print_rows, save_results  # noqa: E402

SIZES = [int(n) for n in os.environ.get("BENCH_SOLVE_SIZES", "80,160").split(",")]


def main():
    import flint

    rows = []

    def record(case, ours, peer_name, peer, note=""):
        rows.append({"case": case, "ours_ms": ours * 1e3, "peer": peer_name, "peer_ms": peer * 1e3,
                     "ratio": peer / ours, "note": note})

    for n in SIZES:
        A = zel.hilbert_matrix(n)
        b = zel.tensor([((k % 7) - 3) / 3 for k in range(n)])
        fA, fb = fmpq_mat_of(flint, A, n, n), fmpq_mat_of(flint, b, n, 1)
        once = n >= 160  # the peer's inverse takes seconds there
        peer = best_of(lambda: fA.solve(fb))
        record(f"solve hilbert {n}", best_of(lambda: zel.solve(A, b)), "flint fmpq_mat.solve", peer,
               "ours inv rounded to doubles, then mv; the peer's exact")
        record(f"solve hilbert {n} exact", best_of(lambda: zel.solve(A, b, exact=True)), "flint fmpq_mat.solve", peer,
               "ours floored records of the exact solution; the peer's exact")
        peer = best_of(lambda: fA.inv(), 1 if once else 3)
        record(f"inv hilbert {n}", best_of(lambda: zel.inv(A), 1 if once else 3), "flint fmpq_mat.inv", peer,
               "ours rounded to doubles; the peer's exact")
        record(f"inv hilbert {n} exact", best_of(lambda: zel.inv(A, exact=True), 1 if once else 3),
               "flint fmpq_mat.inv", peer, "ours floored records; the peer's exact")

    for n in SIZES:
        A = zel.tensor([[Fraction(1, i + j + 1) for j in range(n)] for i in range(n)], exact=True)
        # The records of the second column: the exact solution is near e_2, so
        # it stays in range however ill-conditioned A is.
        b = zel.tensor([Fraction(1, k + 2) for k in range(n)], exact=True)
        fA, fb = fmpq_mat_of(flint, A, n, n), fmpq_mat_of(flint, b, n, 1)
        peer = best_of(lambda: fA.solve(fb))
        record(f"solve full-width {n}", best_of(lambda: zel.solve(A, b), 1), "flint fmpq_mat.solve", peer,
               "ours inv rounded to doubles, then mv; the peer's exact")
        record(f"solve full-width {n} exact", best_of(lambda: zel.solve(A, b, exact=True)), "flint fmpq_mat.solve",
               peer, "ours floored records of the exact solution; the peer's exact")
        if n <= 80:
            peer = best_of(lambda: fA.inv(), 1)
            record(f"inv full-width {n}", best_of(lambda: zel.inv(A), 1), "flint fmpq_mat.inv", peer,
                   "ours rounded to doubles; the peer's exact")

    n = 160
    rng = random.Random(5)
    zel.manual_seed(9)
    full = zel.reshape(zel.randn(n * n), (n, n))
    left = [[rng.randint(-9, 9) for _ in range(n // 2)] for _ in range(n)]
    right = [[rng.randint(-9, 9) for _ in range(n)] for _ in range(n // 2)]
    low = zel.tensor([[sum(left[i][k] * right[k][j] for k in range(n // 2)) for j in range(n)] for i in range(n)])
    for name, t in (("full rank", full), ("rank 80", low)):
        ints = [int(v * 2**256) for v in zel.from_gpu(t._data, as_float=False)]
        fZ = flint.fmpz_mat(n, n, ints)
        peer = best_of(lambda: fZ.rref())
        record(f"rref 160 {name}", best_of(lambda: zel.rref(t)), "flint fmpz_mat.rref", peer,
               "ours rounded to doubles; the peer's exact, unnormalised")
        record(f"rref 160 {name} exact", best_of(lambda: zel.rref(t, exact=True)), "flint fmpz_mat.rref", peer,
               "ours floored records; the peer's exact, unnormalised")

    print_rows(rows, 28)
    save_results("solve", rows)
    return 0


if __name__ == "__main__":
    sys.exit(main())
