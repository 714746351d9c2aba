"""inv and solve on matrices too ill-conditioned for the certified double
inverse, where p-adic lifting and remaindering give the exact rationals:
every record checked against python-flint's exact fmpq_mat, rounded by the
module's rules (the double nearest each entry for the default, the floor
for exact=True)."""
import random
from fractions import Fraction

import numpy as np
import pytest

import tarnex.zel.zel as zel
from reference import SCALE, device_records, interrupted_child, record_bytes, records, tensor_of_scaled, scaled, value_of

flint = pytest.importorskip("flint")


def from_scaled(ints, shape):
    return tensor_of_scaled(zel, ints, shape)


def values(t):
    return [value_of(r) for r in records(t._data)]


def fmpq_of(t):
    m, n = t.shape if len(t.shape) == 2 else (t.shape[0], 1)
    return flint.fmpq_mat(m, n, [flint.fmpq(q.numerator, q.denominator) for q in values(t)])


def fractions(M):
    return [Fraction(int(x.p), int(x.q)) for x in M.entries()]


def double_records(qs):
    """Records of the double nearest each exact value (float(Fraction))."""
    return [record_bytes(scaled(Fraction(float(q)))) for q in qs]


def floor_records(qs):
    return [record_bytes(scaled(q)) for q in qs]


def hilbert(n):
    return zel.hilbert_matrix(n)


def near_singular_full_width(n, seed, gap_bits=300):
    """Full-width records of both signs whose last row is the first plus a
    perturbation of 2^-gap_bits relative size: far beyond a double's reach."""
    rng = random.Random(seed)
    rows = [[rng.getrandbits(511) * rng.choice((1, -1)) for _ in range(n)] for _ in range(n - 1)]
    last = [v + (rng.getrandbits(511 - gap_bits) | 1) * rng.choice((1, -1)) for v in rows[0]]
    return from_scaled([v for r in rows + [last] for v in r], (n, n))


def missing_factor():
    """A near-singular full-width matrix whose inverse's common denominator
    has a factor 3 that the solution of the internal pseudo-random system
    lacks, so the remaindering must find it."""
    n = 20
    rng = random.Random(n)
    rows = [[rng.getrandbits(511) * rng.choice((1, -1)) for _ in range(n)] for _ in range(n - 1)]
    last = [v + (rng.getrandbits(200) | 1) for v in rows[0]]
    return from_scaled([v for r in rows + [last] for v in r], (n, n))


def graded(n, seed):
    """Rows scaled by very different powers of two times a near-dependent
    block: row scales and entries of small bit length."""
    rng = random.Random(seed)
    base = [[Fraction(rng.randint(-2**40, 2**40), 2**rng.randint(0, 200)) for _ in range(n)] for _ in range(n)]
    base[1] = [v + Fraction(rng.randint(1, 3), 2**250) for v in base[0]]
    return from_scaled([scaled(v) for r in base for v in r], (n, n))


CASES = {
    "hilbert2": hilbert(2),
    "hilbert9": hilbert(9),
    "hilbert24": hilbert(24),
    "hilbert41": hilbert(41),
    "full_width5": near_singular_full_width(5, 1),
    "full_width17": near_singular_full_width(17, 2),
    "graded12": graded(12, 3),
    "missing_factor20": missing_factor(),
    "tiny2": from_scaled([SCALE, SCALE, -SCALE, 2**100 - SCALE], (2, 2)),
}


@pytest.mark.parametrize("A", list(CASES.values()), ids=list(CASES))
def test_inverse_and_solve_match_the_exact_rationals(A):
    n = A.shape[0]
    fA = fmpq_of(A)
    inverse = fractions(fA.inv())
    X = zel.inv(A)
    assert records(X._data) == double_records(inverse)
    assert records(zel.inv(A, exact=True)._data) == floor_records(inverse)
    rng = random.Random(n)
    b = from_scaled([rng.getrandbits(300) * rng.choice((1, -1)) for _ in range(n)], (n,))
    # solve is the product of the double-rounded inverse with b.
    assert records(zel.solve(A, b)._data) == records(zel.mv(X, b)._data)
    want = fractions(fA.solve(fmpq_of(b)))
    if any(abs(scaled(q)) >= 2**512 for q in want):
        with pytest.raises(OverflowError, match="^Value out of FixedPoint range$"):
            zel.solve(A, b, exact=True)
    else:
        assert records(zel.solve(A, b, exact=True)._data) == floor_records(want)


@pytest.mark.parametrize("exact", [False, True])
@pytest.mark.parametrize("kind", ["repeated_row", "zero_row", "rank_half", "zero_column"])
def test_singular_ill_conditioned_matrices_are_refused(kind, exact):
    n = 10
    H = [list(r) for r in np.array(values(hilbert(n)), dtype=object).reshape(n, n)]
    if kind == "repeated_row":
        H[7] = list(H[2])
    elif kind == "zero_row":
        H[4] = [Fraction(0)] * n
    elif kind == "zero_column":
        for r in H:
            r[3] = Fraction(0)
    else:
        rng = random.Random(4)
        for i in range(n // 2, n):
            c = [Fraction(rng.randint(-3, 3)) for _ in range(n // 2)]
            H[i] = [sum(c[k] * H[k][j] for k in range(n // 2)) for j in range(n)]
    A = from_scaled([scaled(v) for r in H for v in r], (n, n))
    b = from_scaled([SCALE] * n, (n,))
    with pytest.raises(ValueError, match="^Matrix is singular$"):
        zel.inv(A, exact=exact)
    with pytest.raises(ValueError, match="^Matrix is singular$"):
        zel.solve(A, b, exact=exact)


def test_exact_solution_with_a_column_and_zero_entries():
    # A right-hand side that is a column of A: the solution is a unit vector,
    # every entry on the grid; and b = 0 gives zeros.
    A = hilbert(16)
    fA = fmpq_of(A)
    col = [values(A)[i * 16 + 5] for i in range(16)]
    b = from_scaled([scaled(v) for v in col], (16, 1))
    x = zel.solve(A, b, exact=True)
    assert x.shape == (16, 1)
    assert values(x) == [Fraction(int(i == 5)) for i in range(16)]
    zero = from_scaled([0] * 16, (16,))
    assert values(zel.solve(A, zero, exact=True)) == [Fraction(0)] * 16
    assert records(zel.inv(A, exact=True)._data) == floor_records(fractions(fA.inv()))


def low_rank(m, n, rank, seed):
    rng = random.Random(seed)
    L = [[rng.randint(-9, 9) for _ in range(rank)] for _ in range(m)]
    R = [[rng.getrandbits(200) * rng.choice((1, -1)) for _ in range(n)] for _ in range(rank)]
    return from_scaled([sum(L[i][k] * R[k][j] for k in range(rank)) for i in range(m) for j in range(n)], (m, n))


def full_width(m, n, seed, zero_rows=()):
    rng = random.Random(seed)
    return from_scaled([0 if i in zero_rows else rng.getrandbits(511) * rng.choice((1, -1))
                        for i in range(m) for _ in range(n)], (m, n))


def odd_signs(n, seed):
    """Full-width records whose sign fields are 0, 3 or -2 here and there:
    the exact algebra reads the field as a factor."""
    rng = random.Random(seed)
    raw = b""
    for k in range(n * n):
        s = rng.getrandbits(511) * rng.choice((1, -1))
        rec = bytearray(record_bytes(s))
        if k % 5 == 0:
            rec[0:4] = rng.choice((0, 3, -2)).to_bytes(4, "little", signed=True)
        raw += bytes(rec)
    host = np.frombuffer(raw, dtype=zel.FIXEDPOINT_DTYPE)
    return zel.Tensor(_raw=device_records(zel, host), shape=(n, n))


RREF_CASES = {
    "odd_signs": odd_signs(7, 11),
    "tall33x17": full_width(33, 17, 5),
    "tall_zero_rows": full_width(20, 9, 6, zero_rows=(0, 4, 19)),
    "square_full24": full_width(24, 24, 7),
    "wide9x21": full_width(9, 21, 8),
    "rank12of24": low_rank(24, 24, 12, 9),
    "rank5of30x12": low_rank(30, 12, 5, 10),
    "rank15of31": low_rank(31, 31, 15, 12),
    "rank31of32": low_rank(32, 32, 31, 13),
    "rank20of33x40": low_rank(33, 40, 20, 14),
    "rank3of40x32_zero_rows": from_scaled([0 if i % 7 == 0 else sum(a * b for a, b in zip(u, w))
                                           for i, u in enumerate([[(i * 7 + k) % 5 - 2 for k in range(3)]
                                                                  for i in range(40)])
                                           for w in [[(j * 3 + k * 11) % 9 - 4 for k in range(3)] for j in range(32)]],
                                          (40, 32)),
}


@pytest.mark.parametrize("A", list(RREF_CASES.values()), ids=list(RREF_CASES))
def test_rref_matches_the_exact_reduced_form(A):
    m, n = A.shape
    B, rank = fmpq_of(A).rref()
    vals = fractions(B)
    pivots = [next(j for j in range(n) if vals[i * n + j] != 0) for i in range(rank)]
    R, got = zel.rref(A)
    assert got == pivots
    assert records(R._data) == double_records(vals)
    R, got = zel.rref(A, exact=True)
    assert got == pivots
    assert records(R._data) == floor_records(vals)


def test_ctrl_c_stops_the_remaindering():
    # The exact inverse of a 400 x 400 Hilbert-type matrix takes seconds.
    latency, after = interrupted_child("a = zel.hilbert_matrix(400)", "zel.inv(a)",
                                       "zel.inv(zel.tensor([[1, 2], [3, 4]])).to_list()", wait=0.5)
    assert latency < 1.5
    assert after == "[[-2.0, 1.0], [1.5, -0.5]]"