"""Results that keep every bit: exact=True on the rational algebra, checked
entry by entry against python-flint's fmpq_mat under the floor rule, and the
exact conversion of tensor(..., exact=True) against Fraction."""
import random
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

import tarnex.zel.zel as zel
from exact_reference import lu as ref_lu
from reference import SCALE, exact_rational, record_bytes, records, scaled, value_of

flint = pytest.importorskip("flint")

OUT_OF_RANGE = "^Value out of FixedPoint range$"


def floor_records(values):
    """The record bytes of each exact value under the floor rule."""
    return [record_bytes(scaled(q)) for q in values]


def assert_records(t, values):
    got = records(t._data)
    want = floor_records(values)
    assert len(got) == len(want)
    for k, (g, w) in enumerate(zip(got, want)):
        assert g == w, (k, value_of(g), values[k])


def exact_values(t):
    return [value_of(r) for r in records(t._data)]


def fmpq_of(A):
    """A's exact values as an fmpq_mat."""
    m, n = A._shape
    v = exact_values(A)
    return flint.fmpq_mat(m, n, [flint.fmpq(q.numerator, q.denominator) for q in v])


def fractions_of(M):
    return [Fraction(int(x.p), int(x.q)) for x in M.entries()]


def make(rows):
    return zel.tensor(rows, exact=True)


def rational_matrix(rng, m, n, rank=None):
    """Random small rationals (held as their floors); with `rank`, a product
    of m x rank and rank x n factors with dyadic entries, which records hold
    exactly, so the rank is exact too."""
    def q():
        return Fraction(rng.randint(-9, 9), rng.choice((1, 2, 4, 8) if rank else range(1, 8)))
    if rank is None:
        return [[q() for _ in range(n)] for _ in range(m)]
    L = [[q() for _ in range(rank)] for _ in range(m)]
    R = [[q() for _ in range(n)] for _ in range(rank)]
    return [[sum(L[i][k] * R[k][j] for k in range(rank)) for j in range(n)] for i in range(m)]


def integer_matrix(rng, m, n):
    return [[rng.randint(-5, 5) for _ in range(n)] for _ in range(m)]


def randn_matrix(rng, m, n):
    zel.manual_seed(rng.randrange(2**31))
    return zel.reshape(zel.randn(m * n), (m, n))


def cases():
    """(name, tensor) pairs: random rational, integer and full-precision
    matrices, identity-like ones whose exact results sit on the grid, and
    singular ones."""
    rng = random.Random(20261208)
    out = []
    for n in (1, 3, 6):
        out.append((f"rational{n}", make(rational_matrix(rng, n, n))))
        out.append((f"integer{n}", make(integer_matrix(rng, n, n))))
        out.append((f"randn{n}", randn_matrix(rng, n, n)))
    out.append(("unimodular", make([[2, 1, 0], [1, 1, 0], [0, 0, 1]])))
    out.append(("diagonal", make([[4, 0, 0], [0, Fraction(-1, 8), 0], [0, 0, 3]])))
    out.append(("rank2of4", make(rational_matrix(rng, 4, 4, rank=2))))
    out.append(("zero_column", make([[0, 1, 2], [0, 3, 4], [0, 5, 7]])))
    return out


CASES = cases()
SQUARE_IDS = [name for name, _ in CASES]


@pytest.fixture(params=CASES, ids=SQUARE_IDS)
def square(request):
    return request.param[1]


def is_singular(A):
    return fmpq_of(A).det() == 0


# ---------------------------------------------------------------------------
# The Gauss-Jordan family.

def test_det_is_the_floor_of_the_exact_determinant(square):
    d = zel.det(square, exact=True)
    assert d.shape == ()
    assert_records(d, [Fraction(int(fmpq_of(square).det().p), int(fmpq_of(square).det().q))])


def test_inv_entries_are_the_floors_of_the_exact_inverse(square):
    if is_singular(square):
        with pytest.raises(ValueError, match="^Matrix is singular$"):
            zel.inv(square, exact=True)
        return
    X = zel.inv(square, exact=True)
    assert X.shape == square.shape
    assert_records(X, fractions_of(fmpq_of(square).inv()))


@pytest.mark.parametrize("column", [False, True], ids=["vector", "column"])
def test_solve_entries_are_the_floors_of_the_exact_solution(square, column):
    n = square.shape[0]
    rng = random.Random(n)
    bvals = [Fraction(rng.randint(-20, 20), rng.randint(1, 9)) for _ in range(n)]
    b = make([[v] for v in bvals] if column else bvals)
    if is_singular(square):
        with pytest.raises(ValueError, match="^Matrix is singular$"):
            zel.solve(square, b, exact=True)
        return
    x = zel.solve(square, b, exact=True)
    assert x.shape == ((n, 1) if column else (n,))
    fb = flint.fmpq_mat(n, 1, [flint.fmpq(v.numerator, v.denominator) for v in exact_values(b)])
    assert_records(x, fractions_of(fmpq_of(square).solve(fb)))


def flint_rref(A):
    B, rank = fmpq_of(A).rref()
    m, n = A._shape
    vals = fractions_of(B)
    rows = [vals[i * n:(i + 1) * n] for i in range(m)]
    pivots = [next(j for j in range(n) if rows[i][j] != 0) for i in range(rank)]
    return rows, pivots


WIDE = [
    make([[1, 2, 3], [4, 5, 6]]),
    make([[0, 0, 1, Fraction(1, 3)], [0, 2, 2, 5], [0, 1, 1, Fraction(5, 2)]]),
    make(rational_matrix(random.Random(7), 3, 5, rank=2)),
    make([[Fraction(1, 3)], [Fraction(2, 7)], [0]]),
]


@pytest.mark.parametrize("A", [A for _, A in CASES] + WIDE, ids=SQUARE_IDS + [f"rect{i}" for i in range(len(WIDE))])
def test_rref_and_null_space_floor_the_exact_reduced_form(A):
    rows, pivots = flint_rref(A)
    R, got_pivots = zel.rref(A, exact=True)
    assert R.shape == A.shape and got_pivots == pivots
    assert_records(R, [x for row in rows for x in row])
    # The basis vector of each free column: 1 there, minus the reduced
    # column at the pivots, floored from the exact value.
    n = A.shape[1]
    free = [j for j in range(n) if j not in pivots]
    basis = zel.null_space(A, exact=True)
    assert len(basis) == len(free)
    for vec, f in zip(basis, free):
        want = [Fraction(0)] * n
        want[f] = Fraction(1)
        for i, p in enumerate(pivots):
            want[p] = -rows[i][f]
        assert vec.shape == (n,)
        assert_records(vec, want)


def test_lu_factors_are_the_floors_of_the_exact_factors(square):
    n = square.shape[0]
    vals = exact_values(square)
    L, U, perm = ref_lu([vals[i * n:(i + 1) * n] for i in range(n)])
    gL, gU, gperm = zel.lu(square, exact=True)
    assert gL.shape == gU.shape == (n, n) and gperm.dtype == np.int32 and list(gperm) == perm
    assert_records(gL, [x for row in L for x in row])
    assert_records(gU, [x for row in U for x in row])


def test_exact_results_keep_the_bits_the_default_rounds_away():
    three = make([[3]])
    assert exact_values(zel.inv(three, exact=True)) == [Fraction(scaled(Fraction(1, 3)), SCALE)]
    assert exact_values(zel.inv(three)) == [Fraction(1 / 3)]
    # floor(-1/3) sits one unit below -floor(1/3): the rule applies to the
    # exact entry, not to a negated record.
    assert_records(zel.inv(make([[-3]]), exact=True), [Fraction(-1, 3)])


@pytest.mark.parametrize("call", [
    lambda: zel.inv(make([[Fraction(1, 2**256)]]), exact=True),
    lambda: zel.inv(make([[1, 0], [0, Fraction(-1, 2**256)]]), exact=True),
    lambda: zel.det(make([[2**200, 0], [0, 2**100]]), exact=True),
    lambda: zel.solve(make([[Fraction(1, 2**200)]]), make([2**100]), exact=True),
    lambda: zel.lu(make([[1, 2**255], [1, -(2**255)]]), exact=True),
], ids=["inv", "inv_negative", "det", "solve", "lu"])
def test_an_entry_beyond_the_range_raises(call):
    with pytest.raises(OverflowError, match=OUT_OF_RANGE):
        call()


def test_results_at_the_edge_of_the_range_are_kept():
    # 2^255 and 2^-255 are representable; the default would raise or lose them.
    assert_records(zel.inv(make([[Fraction(1, 2**255)]]), exact=True), [Fraction(2**255)])
    assert_records(zel.det(make([[2**200, 0], [0, 2**55]]), exact=True), [Fraction(2**255)])
    assert_records(zel.det(make([[Fraction(1, 2**200), 0], [0, Fraction(-1, 2**56)]]), exact=True),
                   [Fraction(-1, 2**256)])


def test_exact_is_keyword_only_and_the_default_is_unchanged():
    A = make([[1, 2], [3, 4]])
    b = make([1, 1])
    for call in (lambda: zel.det(A, True), lambda: zel.inv(A, True), lambda: zel.rref(A, True),
                 lambda: zel.null_space(A, True), lambda: zel.lu(A, True), lambda: zel.solve(A, b, True),
                 lambda: zel.tensor([1], True)):
        with pytest.raises(TypeError, match="positional argument"):
            call()
    assert exact_values(zel.inv(A, exact=False)) == exact_values(zel.inv(A))
    assert exact_values(zel.det(A, exact=True)) == [Fraction(-2)]


def test_solve_is_exact_where_the_inverse_then_product_is_not():
    # x = A^-1 b exactly, floored once; inverse records times b would carry
    # the inverse's floors into the product.
    rng = random.Random(3)
    A = make(integer_matrix(rng, 5, 5))
    b = make([Fraction(1, 4)] * 5)
    fb = flint.fmpq_mat(5, 1, [flint.fmpq(1, 4)] * 5)
    want = fractions_of(fmpq_of(A).solve(fb))
    assert_records(zel.solve(A, b, exact=True), want)
    via_inverse = exact_values(zel.mv(zel.inv(A, exact=True), b))
    assert via_inverse != floor_records(want)


def test_larger_full_precision_systems_agree_with_flint():
    # Large enough for the refinement to take several steps.
    rng = random.Random(11)
    A = randn_matrix(rng, 24, 24)
    zel.manual_seed(5)
    b = zel.randn(24)
    fb = flint.fmpq_mat(24, 1, [flint.fmpq(q.numerator, q.denominator) for q in exact_values(b)])
    fA = fmpq_of(A)
    assert_records(zel.solve(A, b, exact=True), fractions_of(fA.solve(fb)))
    assert_records(zel.inv(A, exact=True), fractions_of(fA.inv()))
    assert_records(zel.det(A, exact=True), [Fraction(int(fA.det().p), int(fA.det().q))])


# ---------------------------------------------------------------------------
# Exact conversion.

def double_records(xs):
    return [record_bytes(scaled(Fraction(x))) for x in xs]


def test_exact_conversion_takes_every_value_exactly():
    data = [2**60 + 1, Fraction(1, 3), Decimal("0.1"), "-2.5e-3", 0.1, -1e-300, 5e-324, True, np.int64(2**62 + 3),
            np.float32(0.1), -(2**255)]
    want = [Fraction(2**60 + 1), Fraction(1, 3), Fraction(1, 10), Fraction(-25, 10000), Fraction(0.1),
            Fraction(-1e-300), Fraction(5e-324), Fraction(1), Fraction(2**62 + 3), Fraction(float(np.float32(0.1))),
            Fraction(-(2**255))]
    assert_records(zel.tensor(data, exact=True), want)
    # The default paths stay as they were: the first int sends the list
    # through doubles.
    assert exact_values(zel.tensor([2**60 + 1, Fraction(1, 3)])) == [Fraction(2**60), Fraction(1 / 3)]


def test_exact_floats_are_the_kernels_records():
    rng = random.Random(1)
    xs = [rng.uniform(-1, 1) * 2.0 ** rng.randint(-300, 250) for _ in range(200)] + [0.0, -0.0, 1e-70, -1e-70]
    assert records(zel.tensor(xs, exact=True)._data) == records(zel.tensor(xs)._data)
    assert records(zel.tensor(xs, exact=True)._data) == double_records(xs)


def test_exact_conversion_of_nested_lists_arrays_and_the_constructor():
    t = zel.Tensor([[1, Fraction(1, 3)], ["0.5", 0.1]], exact=True)
    assert t.shape == (2, 2)
    assert_records(t, [1, Fraction(1, 3), Fraction(1, 2), Fraction(0.1)])
    big = np.array([[2**62 + 1, -3]], dtype=np.int64)
    a = zel.tensor(big, exact=True)
    assert a.shape == (1, 2)
    assert_records(a, [Fraction(2**62 + 1), Fraction(-3)])
    f = zel.tensor(np.array([0.1, -2.5], dtype=np.float32), exact=True)
    assert_records(f, [Fraction(float(np.float32(0.1))), Fraction(-2.5)])
    obj = zel.tensor(np.array([Fraction(1, 7), 2], dtype=object), exact=True)
    assert_records(obj, [Fraction(1, 7), Fraction(2)])
    s = zel.tensor(Fraction(-1, 3), exact=True)
    assert s.shape == ()
    assert_records(s, [Fraction(-1, 3)])


@pytest.mark.parametrize("bad, exc", [
    ([float("nan")], ValueError), ([float("inf")], OverflowError), ([2.0**256], OverflowError),
    ([2**256], OverflowError), (["1e80"], OverflowError),
])
def test_exact_conversion_refuses_what_has_no_record(bad, exc):
    with pytest.raises(exc):
        zel.tensor(bad, exact=True)


# ---------------------------------------------------------------------------
# The eigen iteration says when it stops short of its tolerance.

def test_eig_eigh_and_svd_warn_when_not_converged():
    rotation = make([[0, -1], [1, 0]])
    with pytest.warns(RuntimeWarning, match="tolerance 1e-12"):
        vals, _ = zel.eig(rotation)
    assert all(abs(v) < 1e-15 for v in exact_values(vals))  # results unchanged
    spd = make([[4, 1], [1, 3]])
    with pytest.warns(RuntimeWarning, match="not converged"):
        zel.eigh(spd, max_iter=2)
    with pytest.warns(RuntimeWarning):
        zel.svd(make([[1, 2], [3, 4]]), max_iter=2)
    import warnings

    with warnings.catch_warnings():
        warnings.simplefilter("error")
        zel.eigh(spd)
        zel.svd(make([[1, 2], [3, 4]]))


def big_cases():
    """Matrices from 12 x 12 up, where det finds a divisor by refinement and
    remainders only the cofactor: integer, rank-deficient, triangular with a
    power-of-two determinant (a small divisor), ill-conditioned, and one
    with entries across the range."""
    rng = random.Random(99)
    n = 14
    hilbert = [[Fraction(1, i + j + 1) for j in range(n)] for i in range(n)]
    upper = [[(rng.randint(-3, 3) if j > i else 0) + (2 if i == j else 0) for j in range(n)] for i in range(n)]
    wide = [[Fraction(rng.randint(1, 9), 7) * Fraction(2) ** rng.randint(-12, 12) for _ in range(12)]
            for _ in range(12)]
    return {
        "integer": make(integer_matrix(rng, 16, 16)),
        "rank11": make(rational_matrix(rng, 12, 12, rank=11)),
        "triangular": make(upper),
        "unimodular": make([[int(i == j) + (i + 1 == j) * rng.randint(-4, 4) for j in range(12)] for i in range(12)]),
        "hilbert": make(hilbert),
        "scales": make(wide),
        "randn": randn_matrix(rng, 20, 20),
    }


BIG = big_cases()


def elimination_cases():
    """Matrices for the determinant's residue elimination (pivots taken in
    pairs, with row swaps and zero columns at the second pivot) and for the
    refinement behind its divisor (signed 31-bit digits of G, 21-bit pieces
    of the corrections): small entries with many exact zeros, full-width
    entries of both signs, rows across the range, singular ones."""
    rng = random.Random(2024)
    out = {}
    for n in (2, 3, 4, 5, 8, 9):
        out[f"ternary{n}"] = [[rng.choice((-1, 0, 0, 1)) for _ in range(n)] for _ in range(n)]
    # The first elimination leaves row 1 without a pivot in column 1 (a
    # swap at the second pivot); then column 2 is twice column 0.
    out["second_pivot_swap"] = [[1, 2, 3, 0], [2, 4, 1, 1], [0, 1, 5, 2], [3, 1, 4, 1]]
    out["second_column_dependent"] = [[1, 3, 7, 2], [2, 6, 1, 0], [5, 15, 2, 2], [4, 12, 9, 1]]
    # Every fraction bit random, magnitudes near 2^-8 so the determinant stays in range.
    full = lambda: Fraction(rng.getrandbits(248) * rng.choice((1, -1)), 2**256)  # noqa: E731
    out["full_width13"] = [[full() for _ in range(13)] for _ in range(13)]
    # Columns scaled from 2^-90 to 2^66: rows of integers near 200 bits.
    out["columns_across_range14"] = [[Fraction(rng.randint(-2**40, 2**40), 2**40) * Fraction(2) ** (12 * j - 90)
                                      for j in range(14)] for _ in range(14)]
    # Every limb set in every entry (16 halves to reduce), both signs: det = a.
    a, b = Fraction(-(2**511 - 1), 2**256), Fraction(2**511 - 1, 2**256)
    out["all_limbs_set"] = [[a, a, b], [a, a + 1, b], [0, 0, 1]]
    rank13 = rational_matrix(rng, 14, 14, rank=13)
    out["rank13"] = rank13
    out["zero_row"] = [row if i != 9 else [0] * 14 for i, row in enumerate(integer_matrix(rng, 14, 14))]
    return {name: make(rows) for name, rows in out.items()} | {"randn40": randn_matrix(rng, 40, 40)}


ELIMINATION = elimination_cases()


@pytest.mark.parametrize("A", list(ELIMINATION.values()), ids=list(ELIMINATION))
def test_det_through_elimination_and_refinement_is_exact(A):
    d = fmpq_of(A).det()
    exact_det = Fraction(int(d.p), int(d.q))
    assert_records(zel.det(A, exact=True), [exact_det])
    # The default rounds the exact value once to a double (held exactly here).
    assert exact_values(zel.det(A)) == [Fraction(float(Decimal(exact_det.numerator) / Decimal(exact_det.denominator)))]


@pytest.mark.parametrize("A", list(BIG.values()), ids=list(BIG))
def test_larger_matrices_agree_with_flint(A):
    fA = fmpq_of(A)
    d = fA.det()
    exact_det = Fraction(int(d.p), int(d.q))
    assert_records(zel.det(A, exact=True), [exact_det])
    # The default still rounds once through a double (and tensor's float path).
    double = float(Decimal(exact_det.numerator) / Decimal(exact_det.denominator))
    assert exact_values(zel.det(A)) == [Fraction(scaled(exact_rational(double)), SCALE)]
    n = A.shape[0]
    b = make([Fraction(k - 3, 4) for k in range(n)])
    if d == 0:
        with pytest.raises(ValueError, match="^Matrix is singular$"):
            zel.solve(A, b, exact=True)
        return
    fb = flint.fmpq_mat(n, 1, [flint.fmpq(q.numerator, q.denominator) for q in exact_values(b)])
    assert_records(zel.solve(A, b, exact=True), fractions_of(fA.solve(fb)))
    assert_records(zel.inv(A, exact=True), fractions_of(fA.inv()))


def test_solutions_far_from_one():
    # Solutions near 2^200 and near 2^-200: the refinement's first steps
    # take corrections wider than 62 bits, the last ones tiny.
    A = make([[Fraction(1, 2**100), 1], [0, 3]])
    b = make([2**100, Fraction(1, 2**200)])
    fA = fmpq_of(A)
    fb = flint.fmpq_mat(2, 1, [flint.fmpq(q.numerator, q.denominator) for q in exact_values(b)])
    assert_records(zel.solve(A, b, exact=True), fractions_of(fA.solve(fb)))


def test_entries_on_the_grid_in_larger_systems():
    # Integer solutions (every entry on the grid, zeros among them) and an
    # inverse with one integer column: the certificate cannot settle those
    # entries, which are then solved exactly through the determinant.
    rng = random.Random(5)
    n = 16
    A = integer_matrix(rng, n, n)
    x = [rng.randint(-3, 3) for _ in range(n - 1)] + [1]
    for i in range(n):
        A[i][n - 1] = int(i == 0) - sum(A[i][k] * x[k] for k in range(n - 1))
    T = make(A)
    fA = fmpq_of(T)
    inverse = zel.inv(T, exact=True)
    assert exact_values(inverse)[0::n] == [Fraction(v) for v in x]
    assert_records(inverse, fractions_of(fA.inv()))
    b = [sum(A[i][k] * x[k] for k in range(n)) * 3 for i in range(n)]
    assert_records(zel.solve(T, make(b), exact=True), [Fraction(3 * v) for v in x])
