"""Exact rational algebra: the Fraction bridge, the Gauss-Jordan family and the
exact special values, each against a pure-Python Fraction statement of the
same algorithm applied to the exact values of the input records."""
import decimal
import random
from decimal import getcontext
from fractions import Fraction

import numpy as np
import pytest

import tarnex.zel.zel as zel
from exact_reference import bernoulli as ref_bernoulli
from exact_reference import decimal_double
from exact_reference import det as ref_det
from exact_reference import inverse as ref_inv
from exact_reference import lu as ref_lu
from exact_reference import rref as ref_rref
from reference import records, value_of

SCALE = 2**256


@pytest.fixture(autouse=True)
def keep_precision():
    # cross and cross_exact lower the thread's decimal precision for good.
    prec = getcontext().prec
    yield
    getcontext().prec = prec


def values(t):
    """The exact values of a tensor's records, flat."""
    return [value_of(r) for r in records(t._data)]


def matrix_of(t):
    m, n = t._shape
    v = values(t)
    return [v[i * n:(i + 1) * n] for i in range(m)]


def as_doubles(rows):
    return [float(x) for row in rows for x in row]


def assert_holds_doubles(t, expected):
    """t's records are those of the doubles expected (exact for these sizes)."""
    got = values(t)
    assert len(got) == len(expected)
    for g, e in zip(got, expected):
        assert g == Fraction(e), (g, e)


# ---------------------------------------------------------------------------
# Inputs: small integers, short rationals (exact host path, floor rule) and
# full-precision records, with optional zero rows and columns.

def random_matrix(rng, rows, cols, kind, zero_row=None, zero_col=None):
    def entry():
        if kind == "int":
            return rng.randint(-9, 9)
        if kind == "rational":
            return Fraction(rng.randint(-30, 30), rng.randint(1, 12))
        return Fraction(rng.getrandbits(260) - 2**259, SCALE)

    m = [[entry() for _ in range(cols)] for _ in range(rows)]
    for i in range(rows):
        for j in range(cols):
            if i == zero_row or j == zero_col:
                m[i][j] = 0
    return m


def make(m):
    """A tensor of the given rows; Fractions in the first place take the exact path."""
    if not m:
        return zel.tensor([])
    if isinstance(m[0][0], Fraction) or any(isinstance(x, Fraction) for row in m for x in row):
        m = [[Fraction(x) for x in row] for row in m]
    return zel.tensor(m)


def low_rank(rng, rows, cols, rank):
    b = [[rng.randint(-4, 4) for _ in range(rank)] for _ in range(rows)]
    c = [[Fraction(rng.randint(-4, 4), rng.choice([1, 2, 4])) for _ in range(cols)] for _ in range(rank)]
    return [[sum((b[i][k] * c[k][j] for k in range(rank)), Fraction(0)) for j in range(cols)] for i in range(rows)]


CASES = [
    ("int", 3, 5, None, None),
    ("int", 5, 3, None, None),
    ("rational", 4, 4, None, None),
    ("rational", 4, 6, 1, None),
    ("full", 5, 5, None, None),
    ("full", 6, 4, None, 2),
    ("int", 4, 4, None, 0),
    ("full", 3, 7, 2, None),
    ("full", 7, 4, None, None),  # tall, full column rank
]


# ---------------------------------------------------------------------------
# rref, rank, null_space

def test_rref_example():
    A = zel.tensor([[1, 2, 3], [4, 5, 6]])
    R, pivots = zel.rref(A)
    assert R.shape == (2, 3) and pivots == [0, 1]
    assert_holds_doubles(R, [1, 0, -1, 0, 1, 2])
    assert zel.rank(A) == 2
    (v,) = zel.null_space(A)
    assert v.shape == (3,)
    assert_holds_doubles(v, [1, -2, 1])


@pytest.mark.parametrize("kind,rows,cols,zr,zc", CASES)
def test_rref_matches_rational_algorithm(kind, rows, cols, zr, zc):
    rng = random.Random(f"{kind}{rows}{cols}{zr}{zc}")
    A = make(random_matrix(rng, rows, cols, kind, zr, zc))
    exact_rows, pivots = ref_rref(matrix_of(A))
    R, got_pivots = zel.rref(A)
    assert got_pivots == pivots and R.shape == (rows, cols)
    assert_holds_doubles(R, as_doubles(exact_rows))
    assert zel.rank(A) == len(pivots)


@pytest.mark.parametrize("rows,cols,rank", [(5, 5, 3), (4, 7, 2), (7, 4, 1), (6, 6, 5), (3, 3, 0)])
def test_rank_deficient(rows, cols, rank):
    rng = random.Random(rows * 100 + cols * 10 + rank)
    A = make(low_rank(rng, rows, cols, rank))
    exact_rows, pivots = ref_rref(matrix_of(A))
    R, got = zel.rref(A)
    assert got == pivots and len(pivots) == rank
    assert_holds_doubles(R, as_doubles(exact_rows))
    basis = zel.null_space(A)
    assert len(basis) == cols - rank
    # Each vector solves the system built from the reduced matrix it was read from.
    reduced = matrix_of(R)
    free = [c for c in range(cols) if c not in pivots]
    for v, f in zip(basis, free):
        expected = [Fraction(0)] * cols
        expected[f] = Fraction(1)
        for i, p in enumerate(pivots):
            expected[p] = -reduced[i][f]
        assert_holds_doubles(v, [float(x) for x in expected])


def test_rref_skips_zero_column_and_stops_when_rows_run_out():
    A = zel.tensor([[0, 1, 2, 3], [0, 2, 4, 7]])
    R, pivots = zel.rref(A)
    assert pivots == [1, 3]
    assert_holds_doubles(R, [0, 1, 2, 0, 0, 0, 0, 1])
    wide = zel.tensor([[1, 2, 3, 4], [0, 1, 5, 6]])
    assert zel.rref(wide)[1] == [0, 1]


def test_null_space_of_full_column_rank_is_empty():
    assert zel.null_space(zel.tensor([[1, 0], [0, 1], [1, 1]])) == []


def empty_matrix(rows, cols):
    return zel.Tensor(_raw=zel.tensor([])._data, shape=(rows, cols))


def test_rref_of_empty_shapes():
    R, pivots = zel.rref(empty_matrix(0, 3))
    assert pivots == [] and R.shape == (0, 3) and R.numel == 0
    R, pivots = zel.rref(empty_matrix(2, 0))
    assert pivots == [] and R.shape == (2, 0)
    basis = zel.null_space(empty_matrix(0, 2))
    assert [values(v) for v in basis] == [[1, 0], [0, 1]]


# ---------------------------------------------------------------------------
# det

@pytest.mark.parametrize("kind,n,zc", [("int", 4, None), ("rational", 5, None), ("full", 6, None),
                                        ("full", 5, 3), ("int", 1, None), ("full", 16, None)])
def test_det_matches_rational_algorithm(kind, n, zc):
    rng = random.Random(f"det{kind}{n}{zc}")
    A = make(random_matrix(rng, n, n, kind, None, zc))
    d = zel.det(A)
    assert d.shape == ()
    assert_holds_doubles(d, [decimal_double(ref_det(matrix_of(A)))])


def test_det_cases():
    assert_holds_doubles(zel.det(zel.tensor([[0, 1], [1, 0]])), [-1.0])  # one swap
    assert_holds_doubles(zel.det(zel.tensor([[1, 0], [2, 0]])), [0.0])
    assert_holds_doubles(zel.det(zel.tensor([[Fraction(1, 3)]])), [float(Fraction(int(SCALE // 3), SCALE))])
    assert_holds_doubles(zel.det(empty_matrix(0, 0)), [1.0])


@pytest.mark.parametrize("prec,rounding", [(3, decimal.ROUND_HALF_EVEN), (5, decimal.ROUND_DOWN),
                                           (50, decimal.ROUND_HALF_EVEN)])
def test_det_rounds_in_the_current_decimal_context(prec, rounding):
    A = zel.tensor([[Fraction(2, 3), Fraction(1, 7)], [Fraction(5, 11), Fraction(9, 13)]])
    det = ref_det(matrix_of(A))
    with decimal.localcontext() as ctx:
        ctx.prec, ctx.rounding = prec, rounding
        expected = decimal_double(det)
        got = zel.det(A)
    assert_holds_doubles(got, [expected])


def test_det_after_cross_and_pi_rounds_like_python():
    rng = random.Random(7)
    A = make(random_matrix(rng, 4, 4, "full"))
    det = ref_det(matrix_of(A))
    zel.cross(zel.tensor([1.0, 2.0, 3.0]), zel.tensor([4.0, 5.0, 6.0]))
    assert getcontext().prec == 50
    assert_holds_doubles(zel.det(A), [decimal_double(det)])
    if hasattr(zel, "pi"):
        zel.pi()
        assert getcontext().prec == 60
        assert_holds_doubles(zel.det(A), [decimal_double(det)])


# ---------------------------------------------------------------------------
# inv and solve

def inverse_inputs():
    rng = random.Random(11)
    t = Fraction(2**53 + 1, 2**53)  # -t is a tie between two doubles
    return {
        "int": random_matrix(rng, 5, 5, "int"),
        "rational": random_matrix(rng, 4, 4, "rational"),
        "full": random_matrix(rng, 8, 8, "full"),
        "triangular": [[rng.randint(1, 9) if j >= i else 0 for j in range(6)] for i in range(6)],
        "hilbert": [[Fraction(1, i + j + 1) for j in range(7)] for i in range(7)],
        "permutation": [[0, 0, 1], [1, 0, 0], [0, 1, 0]],
        "scaled": [[Fraction(2**200), 1], [3, Fraction(1, 2**100)]],
        "tie": [[Fraction(1), t], [Fraction(0), Fraction(1)]],
        "third": [[3]],
        # Dense full-precision blocks with exact zeros between them, and an
        # ill-conditioned matrix: both need the exact elimination.
        "blocks": [[x if (i < 2) == (j < 2) else 0 for j, x in enumerate(row)]
                   for i, row in enumerate(random_matrix(rng, 4, 4, "full"))],
        "hilbert12": [[Fraction(1, i + j + 1) for j in range(12)] for i in range(12)],
    }


@pytest.mark.parametrize("name", list(inverse_inputs()))
def test_inv_matches_rational_algorithm(name):
    A = make(inverse_inputs()[name])
    expected = as_doubles(ref_inv(matrix_of(A)))
    got = zel.inv(A)
    assert got.shape == A.shape
    assert_holds_doubles(got, expected)


def test_inv_of_three_is_the_double_nearest_a_third():
    assert values(zel.inv(zel.tensor([[3]]))) == [Fraction(1 / 3)]


@pytest.mark.parametrize("rows", [[[1, 2], [2, 4]], [[0, 0], [0, 0]], [[1, 2, 3], [4, 5, 6], [5, 7, 9]]])
def test_inv_singular(rows):
    with pytest.raises(ValueError, match="^Matrix is singular$"):
        zel.inv(zel.tensor(rows))


def test_inv_of_empty():
    out = zel.inv(empty_matrix(0, 0))
    assert out.shape == (0, 0) and out.numel == 0


def mv_reference(inv_rows, b):
    """floor(sum * 2^256) of the exact products, as mv rounds."""
    out = []
    for row in inv_rows:
        s = sum((Fraction(x) * y for x, y in zip(row, b)), Fraction(0))
        out.append(Fraction((s.numerator * SCALE) // s.denominator, SCALE))
    return out


@pytest.mark.parametrize("column", [False, True])
def test_solve(column):
    rng = random.Random(5)
    rows = random_matrix(rng, 4, 4, "rational")
    A = make(rows)
    bv = [Fraction(rng.randint(-9, 9), 4) for _ in range(4)]
    b = zel.tensor([[x] for x in bv] if column else bv)
    x = zel.solve(A, b)
    assert x.shape == ((4, 1) if column else (4,))
    inv_doubles = as_doubles(ref_inv(matrix_of(A)))
    inv_rows = [inv_doubles[i * 4:(i + 1) * 4] for i in range(4)]
    assert values(x) == mv_reference(inv_rows, values(b))


def test_solve_errors():
    A = zel.tensor([[2, 0, 0], [0, 3, 0], [0, 0, 4]])
    with pytest.raises(ValueError, match=r"^Dimension mismatch: A is \(3, 3\), x has 2 elements$"):
        zel.solve(A, zel.tensor([1, 2]))
    with pytest.raises(ValueError, match="^Matrix is singular$"):
        zel.solve(zel.tensor([[1, 1], [1, 1]]), zel.tensor([1, 2, 3]))


# ---------------------------------------------------------------------------
# lu

def test_lu_example():
    L, U, perm = zel.lu(zel.tensor([[1, 2], [3, 4]]))
    assert perm.dtype == np.int32 and perm.tolist() == [1, 0]
    assert_holds_doubles(L, [1, 0, 1 / 3, 1])
    assert_holds_doubles(U, [3, 4, 0, float(Fraction(2, 3))])


def test_lu_tie_keeps_upper_row():
    _, _, perm = zel.lu(zel.tensor([[-2, 1], [2, 5]]))
    assert perm.tolist() == [0, 1]


@pytest.mark.parametrize("kind,n,zc", [("int", 5, None), ("rational", 4, None), ("full", 6, None),
                                        ("int", 5, 2), ("rational", 4, 0)])
def test_lu_matches_rational_algorithm(kind, n, zc):
    rng = random.Random(f"lu{kind}{n}{zc}")
    A = make(random_matrix(rng, n, n, kind, None, zc))
    L, U, perm = ref_lu(matrix_of(A))
    gl, gu, gp = zel.lu(A)
    assert gp.tolist() == perm
    assert_holds_doubles(gl, as_doubles(L))
    assert_holds_doubles(gu, as_doubles(U))


def test_lu_singular_leaves_zero_pivot():
    A = zel.tensor([[1, 2, 3], [2, 4, 7], [3, 6, 1]])
    L, U, perm = ref_lu(matrix_of(A))
    gl, gu, gp = zel.lu(A)
    assert gp.tolist() == perm and U[1][1] == 0
    assert_holds_doubles(gu, as_doubles(U))
    assert_holds_doubles(gl, as_doubles(L))


# ---------------------------------------------------------------------------
# verify_identity and the bridge

def test_verify_identity():
    assert zel.verify_identity(zel.tensor([[1, 0], [0, 1]])) is True
    off = zel.tensor([[Fraction(1) + Fraction(1, SCALE), Fraction(0)], [Fraction(0), Fraction(1)]])
    assert zel.verify_identity(off) is False
    assert zel.verify_identity(off, 0.0) is False
    assert zel.verify_identity(off, tol=1e-12) is True
    assert zel.verify_identity(zel.tensor([[1, 0, 0], [0, 1, 0]])) is False
    assert zel.verify_identity(zel.tensor([1, 0])) is False
    assert zel.verify_identity(zel.tensor([[1, 0], [0, 1.5]]), tol=0.5) is True
    assert zel.verify_identity(zel.tensor([[1, 0], [0, 1.5]]), tol=0.25) is False


def test_bridge_round_trip():
    rng = random.Random(3)
    rows = random_matrix(rng, 3, 2, "full")
    A = make(rows)
    m = zel._tensor_to_fraction_matrix(A)
    assert m == matrix_of(A) and all(type(x) is Fraction for r in m for x in r)
    v = zel._tensor_to_fraction_vector(zel.tensor([Fraction(1, 3), Fraction(-2)]))
    assert v == [Fraction(SCALE // 3, SCALE), Fraction(-2)]
    t = zel._fraction_matrix_to_tensor(m, (2, 3))  # the shape is not compared with the count
    assert t.shape == (2, 3)
    assert_holds_doubles(t, as_doubles(m))
    u = zel._fraction_vector_to_tensor([Fraction(1, 3), 2])
    assert u.shape == (2,)
    assert_holds_doubles(u, [1 / 3, 2.0])
    assert zel._fraction_matrix_to_tensor([], (0, 0)).shape == (0, 0)


@pytest.mark.parametrize("call,message", [
    (lambda: zel._fraction_matrix_to_tensor(((1,),), (1, 1)),
     "Argument 'matrix' has incorrect type (expected list, got tuple)"),
    (lambda: zel._fraction_matrix_to_tensor([[1]], [1, 1]),
     "Argument 'shape' has incorrect type (expected tuple, got list)"),
    (lambda: zel._fraction_matrix_to_tensor(type("L", (list,), {})([[1]]), (1, 1)),
     "Argument 'matrix' has incorrect type (expected list, got L)"),
    (lambda: zel._fraction_vector_to_tensor(None),
     "Argument 'vec' has incorrect type (expected list, got NoneType)"),
])
def test_bridge_type_errors(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == message


VECTOR = [1, 2, 3, 4]
SQUARE_3x2 = [[1, 2], [3, 4], [5, 6]]


@pytest.mark.parametrize("fn,arg,message", [
    ("_tensor_to_fraction_matrix", VECTOR, "Requires 2D tensor"),
    ("_tensor_to_fraction_vector", SQUARE_3x2, "Requires 1D tensor"),
    ("rref", VECTOR, "rref requires 2D tensor"),
    ("rank", VECTOR, "rref requires 2D tensor"),
    ("null_space", VECTOR, "null_space requires 2D tensor"),
    ("det", VECTOR, "det requires 2D tensor"),
    ("det", SQUARE_3x2, "det requires square matrix"),
    ("inv", VECTOR, "inv requires 2D tensor"),
    ("inv", SQUARE_3x2, "inv requires square matrix"),
    ("solve", SQUARE_3x2, "inv requires square matrix"),
    ("lu", VECTOR, "LU requires square matrix"),
    ("lu", SQUARE_3x2, "LU requires square matrix"),
])
def test_shape_messages(fn, arg, message):
    with pytest.raises(ValueError) as e:
        if fn == "solve":
            zel.solve(zel.tensor(arg), zel.tensor([1, 2, 3]))
        else:
            getattr(zel, fn)(zel.tensor(arg))
    assert str(e.value) == message


def test_short_data_is_refused_before_reading():
    short = zel.Tensor(_raw=zel.tensor([1, 2, 3])._data, shape=(2, 2))
    for fn in (zel.rref, zel.det, zel.inv, zel.lu, zel._tensor_to_fraction_matrix):
        with pytest.raises(ValueError, match="Size mismatch"):
            fn(short)


def test_results_leave_through_float_overflow():
    # Diagonal 2^-256 with ones above it: the inverse holds 2^1280.
    eps = Fraction(1, SCALE)
    rows = [[eps if j == i else Fraction(int(j == i + 1)) for j in range(5)] for i in range(5)]
    with pytest.raises(OverflowError, match="^integer division result too large for a float$"):
        zel.inv(zel.tensor(rows))
    assert_holds_doubles(zel.det(zel.tensor(rows)), [0.0])  # 2^-1280 underflows in the decimal step


# ---------------------------------------------------------------------------
# Special values

@pytest.mark.parametrize("n", list(range(0, 40)) + [60, 81])
def test_bernoulli_matches_akiyama_tanigawa(n):
    assert zel.bernoulli(n) == ref_bernoulli(n)
    assert type(zel.bernoulli(n)) is Fraction


def test_bernoulli_arguments():
    assert zel.bernoulli(4.9) == Fraction(-1, 30)
    with pytest.raises(IndexError, match="^bernoulli requires n >= 0$"):
        zel.bernoulli(-1)
    with pytest.raises(TypeError, match=r"^Argument 'n' has incorrect type \(expected int, got str\)$"):
        zel.bernoulli("3")


def test_zeta():
    assert [zel.zeta_exact(n) for n in range(6)] == [Fraction(-1, 2), Fraction(-1, 12), 0, Fraction(1, 120), 0,
                                                     Fraction(-1, 252)]
    with pytest.raises(ValueError) as e:
        zel.zeta_exact(-1)
    assert str(e.value) == "zeta_exact only works for non-negative integers (giving ζ at negative integers)"
    assert [zel.zeta_at_even(n) for n in (1, 2, 3)] == [(Fraction(1, 6), 2), (Fraction(1, 90), 4),
                                                        (Fraction(1, 945), 6)]
    for n in (4, 7, 12):
        b = ref_bernoulli(2 * n)
        fact = 1
        for k in range(1, 2 * n + 1):
            fact *= k
        assert zel.zeta_at_even(n) == (Fraction(2 ** (2 * n - 1) * abs(b.numerator), b.denominator * fact), 2 * n)
    for bad in (0, -2):
        with pytest.raises(ValueError, match="^n must be positive$"):
            zel.zeta_at_even(bad)


def ref_hilbert_det(n):
    return ref_det([[Fraction(1, i + j + 1) for j in range(n)] for i in range(n)])


@pytest.mark.parametrize("n", [0, 1, 2, 3, 5, 9, 12])
def test_hilbert_det_exact(n):
    assert zel.hilbert_det_exact(n) == decimal_double(ref_hilbert_det(n))


def test_hilbert_values():
    assert zel.hilbert_det_exact(2) == 1 / 12 and zel.hilbert_det_exact(3) == 1 / 2160
    assert zel.hilbert_det_exact(15) == 1.0585427430697217e-124
    with decimal.localcontext() as ctx:
        ctx.prec = 4
        assert zel.hilbert_det_exact(4) == decimal_double(ref_hilbert_det(4))
    for fn in (zel.hilbert_matrix, zel.hilbert_det_exact):
        with pytest.raises(ValueError, match="^n must be non-negative$"):
            fn(-1)
    H = zel.hilbert_matrix(2.9)
    assert H.shape == (2, 2)
    assert_holds_doubles(H, [1.0, 0.5, 0.5, 1 / 3])
    assert zel.hilbert_matrix(0).shape == (0,)
    with pytest.raises(TypeError, match=r"^Argument 'n' has incorrect type \(expected int, got str\)$"):
        zel.hilbert_matrix("3")


def test_cross():
    a, b = zel.tensor([1e15, 1e15 + 1, 0]), zel.tensor([1e15, 1e15 + 2, 0])
    getcontext().prec = 100
    c = zel.cross(a, b)
    assert getcontext().prec == 50
    assert_holds_doubles(c, [0.0, 0.0, 1e15])
    exact = zel.cross_exact(zel.tensor([0.1, 0.2, 0.3]), zel.tensor([0.4, 0.5, 0.6]))
    u = [Fraction(1, 10), Fraction(2, 10), Fraction(3, 10)]
    v = [Fraction(4, 10), Fraction(5, 10), Fraction(6, 10)]
    assert exact == [u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]]
    assert all(type(x) is Fraction for x in exact)


def test_cross_errors():
    with pytest.raises(ValueError, match="^cross product requires 3D vectors, got 4 and 3$"):
        zel.cross(zel.tensor([1, 2, 3, 4]), zel.tensor([1, 2, 3]))
    with pytest.raises(ValueError, match="^cross product requires 3D vectors, got 3 and 2$"):
        zel.cross_exact(zel.tensor([1, 2, 3]), zel.tensor([1, 2]))
    column = zel.tensor([[1], [2], [3]])
    with pytest.raises(decimal.InvalidOperation):
        zel.cross(column, column)
