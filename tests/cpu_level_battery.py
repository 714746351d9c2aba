"""The exact algebra's results as checksums, one line of JSON: run by
test_cpu_levels.py under each ZEL_CPU_LEVEL, whose outputs must agree byte
for byte.  Odd sizes leave tails after the vector loops; every product is
above the multi-modular crossover."""
import json
import os
import random
import sys
from fractions import Fraction

os.environ.setdefault("ZEL_DEVICE", "host")
import tarnex.zel.zel as zel  # noqa: E402
from reference import tensor_of_scaled  # noqa: E402


def from_scaled(ints, shape):
    return tensor_of_scaled(zel, ints, shape)


def main():
    rng = random.Random(2024)
    out = {"level": zel._cpu_level}

    def put(name, t):
        if isinstance(t, tuple):  # rref: the form and its pivots
            out[name] = [zel.checksum(t[0]), list(t[1])]
        else:
            out[name] = zel.checksum(t) if isinstance(t, zel.Tensor) else t

    def fraction_matrix(n, m, f):
        return zel.tensor([[f(i, j) for j in range(m)] for i in range(n)], exact=True)

    # Every one of the 512 magnitude bits random (products wrap or saturate
    # alike on every path: what matters is the bytes).
    wide = [rng.getrandbits(512) * rng.choice((1, -1)) for _ in range(2 * 45 * 45 + 3 * 41 * 43 + 3 * 43 * 39)]
    a = from_scaled(wide[:45 * 45], (45, 45))
    b = from_scaled(wide[45 * 45:2 * 45 * 45], (45, 45))
    put("mm full width 45", zel.mm(a, b))
    rest = wide[2 * 45 * 45:]
    ba = from_scaled(rest[:3 * 41 * 43], (3, 41, 43))
    bb = from_scaled(rest[3 * 41 * 43:], (3, 43, 39))
    put("bmm full width 3x41x43x39", zel.bmm(ba, bb))
    zel.manual_seed(7)
    d = zel.reshape(zel.randn(64 * 64), (64, 64))
    put("mm from doubles 64", zel.mm(d, zel.transpose(d, 0, 1)))

    # Values in (-1, 1) with all 256 fraction bits random.
    def unit(i, j):
        return Fraction(rng.getrandbits(256) - 2**255, 2**256)

    for n in (37, 45):
        r = fraction_matrix(n, n, unit)
        v = zel.tensor([Fraction(rng.getrandbits(256), 2**256) for _ in range(n)], exact=True)
        put(f"det random {n}", zel.det(r))
        put(f"det random {n} exact", zel.det(r, exact=True))
        put(f"inv random {n}", zel.inv(r))
        put(f"inv random {n} exact", zel.inv(r, exact=True))
        put(f"solve random {n}", zel.solve(r, v))
        put(f"solve random {n} exact", zel.solve(r, v, exact=True))
        put(f"rref random {n}", zel.rref(r))
        put(f"rref random {n} exact", zel.rref(r, exact=True))
        put(f"rank random {n}", zel.rank(r))

    for n in (30, 41):
        h = fraction_matrix(n, n, lambda i, j: Fraction(1, i + j + 1))
        e = zel.tensor([Fraction(1, k + 2) for k in range(n)], exact=True)
        put(f"det hilbert-type {n}", zel.det(h))
        put(f"det hilbert-type {n} exact", zel.det(h, exact=True))
        put(f"inv hilbert-type {n} exact", zel.inv(h, exact=True))
        put(f"solve hilbert-type {n} exact", zel.solve(h, e, exact=True))
        put(f"rref hilbert-type {n} exact", zel.rref(h, exact=True))

    hd = zel.hilbert_matrix(53)
    put("inv hilbert 53", zel.inv(hd))
    put("solve hilbert 53", zel.solve(hd, zel.tensor([((k % 7) - 3) / 3 for k in range(53)])))
    put("det hilbert 53", zel.det(hd))

    # Rank 19 of 43 x 47, small integers: the rank and the echelon form
    # through the residues of one prime.
    left = [[rng.randint(-9, 9) for _ in range(19)] for _ in range(43)]
    right = [[rng.randint(-9, 9) for _ in range(47)] for _ in range(19)]
    low = zel.tensor([[sum(left[i][k] * right[k][j] for k in range(19)) for j in range(47)] for i in range(43)])
    put("rank 19 of 43 x 47", zel.rank(low))
    put("rref rank 19 exact", zel.rref(low, exact=True))
    print(json.dumps(out))
    return 0


if __name__ == "__main__":
    sys.exit(main())
