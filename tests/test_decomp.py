"""qr, eig/eigh, svd and expm: bit-for-bit against a pure-Python statement of
the algorithms (tests/decomp_reference.py), plus the algebraic properties a
user relies on (Q·R = A, A·V = V·diag, U·diag(S)·Vt = A, exp of a rotation
generator) and the argument and shape errors."""
import math
import random
from fractions import Fraction

import pytest

import decomp_reference as ref


def bits(rows):
    """Hex text of every double, so signed zeros and last bits both count."""
    if rows and isinstance(rows[0], list):
        return [[float.hex(x) for x in row] for row in rows]
    return [float.hex(x) for x in rows]


def read(t):
    return t.to_list()


def as_read(rows):
    """What a tensor of these doubles reads back as."""
    return [[ref.through_record(x) for x in row] for row in rows]


def random_matrix(rng, m, n, scale=10.0):
    return [[rng.uniform(-scale, scale) for _ in range(n)] for _ in range(m)]


def matmul(A, B):
    return [[math.fsum(A[i][l] * B[l][j] for l in range(len(B))) for j in range(len(B[0]))] for i in range(len(A))]


def close(A, B, tol):
    return all(abs(a - b) <= tol for ra, rb in zip(A, B) for a, b in zip(ra, rb))


FIXED = {
    "tall": [[1.0, 2.0], [3.0, 4.0], [5.0, 6.0]],
    "square": [[4.0, 1.0], [1.0, 3.0]],
    "wide": [[2.0, -1.0, 0.5], [0.25, 3.0, -2.0]],
    "negative_lead": [[-3.0, 1.0, 2.0], [4.0, -1.0, 0.0], [0.0, 2.0, 5.0]],
    "zero_column": [[0.0, 1.0], [0.0, 2.0], [0.0, 3.0]],
    "zero_lead": [[0.0, 1.0], [1.0, 1.0]],
    "row": [[1.5, -2.5, 3.0]],
    "column": [[1.0], [2.0], [-2.0]],
    "tiny_column": [[1e-17, 1.0], [1e-17, 2.0], [0.0, 3.0]],
    "thirds": [[1 / 3, 2 / 3, 1.0], [0.1, 0.2, 0.7], [1e-8, 5.0, -1e8]],
    "rank_one": [[1.0, 1.0, 1.0]] * 3,
    # Exact norms (25, then 40) make R[1][1] an exact zero reached through
    # inexact intermediate values.
    "pythagorean": [[-7.0, -7.0], [24.0, 24.0]],
    "integers": [[2.0, -1.0, 0.0, 3.0], [4.0, 4.0, -2.0, 1.0], [0.0, 3.0, 5.0, -1.0], [1.0, 0.0, 0.0, 2.0]],
    "wide_range": [[1e60, 1e-60, 3.0], [1e-60, 1.0, 2.0], [5.0, 6.0, 1e-70]],
    "six": [[math.sin(i * 6 + j + 1) for j in range(6)] for i in range(6)],
}


def random_cases(count, seed, shapes):
    rng = random.Random(seed)
    return [random_matrix(rng, *rng.choice(shapes), scale=rng.choice([1e-3, 1.0, 1e4])) for _ in range(count)]


# --- qr ---------------------------------------------------------------------

@pytest.mark.parametrize("A", list(FIXED.values()) + random_cases(12, 7, [(2, 2), (3, 3), (4, 3), (3, 5), (5, 5)]),
                         ids=list(FIXED) + [f"random{i}" for i in range(12)])
def test_qr_matches_reference(zel, A):
    Q, R = zel.qr(zel.tensor(A))
    rQ, rR = ref.qr(as_read(A))
    m, n = len(A), len(A[0])
    assert Q._shape == (m, m) and R._shape == (m, n)
    assert bits(read(Q)) == bits(as_read(rQ))
    assert bits(read(R)) == bits(as_read(rR))


def test_qr_reconstructs_tall_matrix(zel):
    A = FIXED["tall"]
    Q, R = zel.qr(zel.tensor(A))
    q, r = read(Q), read(R)
    assert close(matmul(q, r), A, 1e-14)
    assert close(matmul(q, ref.transpose(q)), [[float(i == j) for j in range(3)] for i in range(3)], 1e-15)
    assert r[0][0] == pytest.approx(-math.sqrt(35), rel=1e-15)  # leading entry 1 > 0
    assert all(abs(r[i][j]) < 1e-15 for i in range(3) for j in range(min(i, 2)))


@pytest.mark.parametrize("A, q", [
    (FIXED["row"], [[1.0]]),                                      # no step
    (FIXED["tiny_column"], None),                                 # first step left out
])
def test_qr_steps_left_out(zel, A, q):
    Q, R = zel.qr(zel.tensor(A))
    if q is not None:
        assert read(Q) == q and read(R) == A
    else:
        # The first column's norm, about 1.4e-17, has no fraction with
        # denominator up to 10^15 other than 0: Q keeps that column as e1.
        assert [row[0] for row in read(Q)] == [1.0, 0.0, 0.0]
        assert read(R)[0][0] == 1e-17


def sqrt_reference_qr(A):
    """The reference with a correctly rounded square root in place of pow."""
    saved = ref.rounded_root
    ref.rounded_root = lambda q: Fraction(math.sqrt(float(q))).limit_denominator(ref.BOUND)
    try:
        return ref.qr(A)
    finally:
        ref.rounded_root = saved


def test_norms_use_pow_not_sqrt(zel):
    # glibc's pow(x, 0.5) misses the correctly rounded root now and then, and
    # limit_denominator carries a one-unit difference into Q and R.
    rng = random.Random(3)
    for _ in range(50000):
        A = [[rng.uniform(0.5, 2.0)], [rng.uniform(0.5, 2.0)]]
        x = float(Fraction(A[0][0]) ** 2 + Fraction(A[1][0]) ** 2)
        if x ** 0.5 != math.sqrt(x) and ref.qr(A) != sqrt_reference_qr(A):
            break
    else:
        pytest.skip("pow(x, 0.5) is correctly rounded on this platform")
    Q, R = zel.qr(zel.tensor(A))
    assert (bits(read(Q)), bits(read(R))) == (bits(ref.qr(A)[0]), bits(ref.qr(A)[1]))


def test_singular_values_use_pow_not_sqrt(zel):
    # For a column [[a], [b]], S = pow(e, 0.5) with e the double nearest
    # a² + b²: the Gram matrix is that sum exactly and its 1 x 1
    # eigendecomposition takes no step.
    rng = random.Random(4)
    for _ in range(50000):
        a, b = rng.uniform(0.5, 2.0), rng.uniform(0.5, 2.0)
        e = float(Fraction(a) ** 2 + Fraction(b) ** 2)
        if e ** 0.5 != math.sqrt(e):
            break
    else:
        pytest.skip("pow(x, 0.5) is correctly rounded on this platform")
    _, S, _ = zel.svd(zel.tensor([[a], [b]]))
    assert float.hex(read(S)[0]) == float.hex(e ** 0.5)


def test_qr_large_is_orthogonal_triangular(zel):
    A = random_matrix(random.Random(16), 16, 16)
    q, r = (read(t) for t in zel.qr(zel.tensor(A)))
    assert close(matmul(q, r), A, 1e-13)
    assert close(matmul(ref.transpose(q), q), [[float(i == j) for j in range(16)] for i in range(16)], 1e-14)
    assert all(abs(r[i][j]) < 1e-13 for i in range(16) for j in range(i))


def test_qr_empty_and_errors(zel):
    Q, R = zel.qr(zel.Tensor(_raw=zel.tensor([])._data, shape=(0, 3)))
    assert Q._shape == (0, 0) and R._shape == (0, 3) and len(R._data) == 0
    with pytest.raises(ValueError, match="^qr requires 2D matrix$"):
        zel.qr(zel.tensor([1.0, 2.0]))
    with pytest.raises(TypeError, match=r"qr\(\) takes exactly 1 positional argument \(2 given\)"):
        zel.qr(zel.tensor([[1.0]]), 1)
    with pytest.raises(ValueError, match="Size mismatch"):  # shape promising more records than there are
        zel.qr(zel.Tensor(_raw=zel.tensor([1.0, 2.0])._data, shape=(2, 2)))


def test_qr_leaves_input_unchanged(zel):
    t = zel.tensor(FIXED["thirds"])
    before = zel.checksum(t)
    zel.qr(t)
    assert zel.checksum(t) == before


@pytest.mark.parametrize("seed", range(4))
def test_limit_denominator_through_conversion(zel, seed):
    # Floats are stored as their closest fraction with denominator <= 10^15;
    # square roots, tiny and huge magnitudes and near-halfway quotients probe
    # the continued-fraction walk and its tie rule.
    rng = random.Random(seed)
    values = [rng.random() ** 0.5 * 10 ** rng.randint(-16, 16) for _ in range(150)]
    values += [rng.randint(1, 10**15) / rng.randint(1, 10**15) for _ in range(100)]
    values += [(2 * rng.randint(1, 10**7) + 1) / (2 * 10**15) for _ in range(50)]
    for x in values:
        for v in (x, -x):
            q = Fraction(v).limit_denominator(10**15)
            raw = zel._value_to_fp(v)
            got = Fraction(int(raw["sign"]) * zel._limbs_to_int([int(raw[f"limb{i}"]) for i in range(8)]), ref.SCALE)
            assert got == Fraction((q.numerator * ref.SCALE) // q.denominator, ref.SCALE), v


# --- eig, eigh ---------------------------------------------------------------

EIG_CASES = {
    "symmetric2": ([[4.0, 1.0], [1.0, 3.0]], 100),
    "diagonal": ([[2.0, 0.0, 0.0], [0.0, -5.0, 0.0], [0.0, 0.0, 1.0]], 100),
    "one": ([[7.25]], 100),
    "rotation": ([[0.0, -1.0], [1.0, 0.0]], 6),   # never converges
    "rank_deficient": ([[1.0] * 3] * 3, 20),
    "nonsymmetric": ([[2.0, 1.0, 0.5], [0.0, 3.0, 1.0], [1.0, 0.0, 1.0]], 30),
    "no_iteration": ([[1.0, 2.0], [3.0, 4.0]], 0),
    "negative_iterations": ([[1.0, 2.0], [3.0, 4.0]], -3),
}


@pytest.mark.filterwarnings("ignore:eig. the QR iteration stopped:RuntimeWarning")  # few iterations on purpose
@pytest.mark.parametrize("A, iters", list(EIG_CASES.values()) + [
    (random_matrix(random.Random(s), 4, 4), 15) for s in range(3)], ids=list(EIG_CASES) + ["r0", "r1", "r2"])
def test_eig_matches_reference(zel, A, iters):
    vals, vecs = zel.eig(zel.tensor(A), iters)
    rvals, rvecs = ref.eig(as_read(A), iters)
    n = len(A)
    assert vals._shape == (n,) and vecs._shape == (n, n)
    assert bits(read(vals)) == bits([ref.through_record(x) for x in rvals])
    assert bits(read(vecs)) == bits(as_read(rvecs))


def test_eig_symmetric_eigenpairs(zel):
    A = [[4.0, 1.0], [1.0, 3.0]]
    vals, vecs = zel.eig(zel.tensor(A))
    v, V = read(vals), read(vecs)
    root5 = math.sqrt(5)
    assert v == pytest.approx([(7 + root5) / 2, (7 - root5) / 2], rel=1e-12)  # larger first
    assert close(matmul(A, V), [[V[i][j] * v[j] for j in range(2)] for i in range(2)], 1e-11)


@pytest.mark.filterwarnings("ignore:eig. the QR iteration stopped:RuntimeWarning")  # few iterations on purpose
@pytest.mark.parametrize("max_iter", [0, -1])
def test_eig_without_iterations(zel, max_iter):
    vals, vecs = zel.eig(zel.tensor([[1.0, 2.0], [3.0, 4.0]]), max_iter=max_iter)
    assert read(vals) == [1.0, 4.0] and read(vecs) == [[1.0, 0.0], [0.0, 1.0]]


def test_eig_rank_deficient_does_not_divide_by_zero(zel):
    vals, _ = zel.eig(zel.tensor([[1.0] * 3] * 3))
    assert sorted(read(vals)) == pytest.approx([0.0, 0.0, 3.0], abs=1e-12)


@pytest.mark.filterwarnings("ignore:eig. the QR iteration stopped:RuntimeWarning")  # few iterations on purpose
def test_eigh_is_eig(zel):
    t = zel.tensor([[2.0, -1.0], [-1.0, 2.0]])
    a, b = zel.eig(t, 7), zel.eigh(t, max_iter=7.9)  # int() truncates
    assert read(a[0]) == read(b[0]) and read(a[1]) == read(b[1])


@pytest.mark.parametrize("fn", ["eig", "eigh"])
@pytest.mark.parametrize("t", [lambda z: z.tensor([1.0, 2.0]), lambda z: z.tensor([[1.0, 2.0]]),
                               lambda z: z.tensor([[[1.0, 2.0]] * 2] * 2)])
def test_eig_requires_square(zel, fn, t):
    with pytest.raises(ValueError, match="^eig requires square matrix$"):
        getattr(zel, fn)(t(zel))


def test_eig_argument_types(zel):
    with pytest.raises(TypeError, match=r"Argument 'max_iter' has incorrect type \(expected int, got str\)"):
        zel.eig(zel.tensor([[1.0]]), "5")


# --- svd ---------------------------------------------------------------------

SVD_CASES = {
    "diagonal": [[3.0, 0.0], [0.0, 4.0]],
    "tall": [[1.0, 2.0], [3.0, 4.0], [5.0, 6.0]],
    "zero_column": [[1.0, 0.0], [2.0, 0.0]],
    "equal_values": [[2.0, 0.0], [0.0, 2.0]],
    "wide": [[1.0, 0.5, -1.0], [2.0, 1.0, 0.25]],
}


@pytest.mark.parametrize("A", list(SVD_CASES.values()) + [random_matrix(random.Random(11 + s), 3, 3) for s in range(2)],
                         ids=list(SVD_CASES) + ["r0", "r1"])
def test_svd_matches_reference(zel, A):
    U, S, Vt = zel.svd(zel.tensor(A), 40)
    rU, rS, rVt = ref.svd(as_read(A), 40)
    m, n = len(A), len(A[0])
    assert (U._shape, S._shape, Vt._shape) == ((m, n), (n,), (n, n))
    assert bits(read(U)) == bits(as_read(rU))
    assert bits(read(S)) == bits([ref.through_record(x) for x in rS])
    assert bits(read(Vt)) == bits(as_read(rVt))


@pytest.mark.parametrize("A", [SVD_CASES["diagonal"], SVD_CASES["tall"], random_matrix(random.Random(3), 4, 3)])
def test_svd_reconstructs(zel, A):
    U, S, Vt = (read(t) for t in zel.svd(zel.tensor(A)))
    assert S == sorted(S, reverse=True)
    US = [[u * s for u, s in zip(row, S)] for row in U]
    assert close(matmul(US, Vt), A, 1e-9 * max(map(abs, sum(A, []))))


def test_svd_special_cases(zel):
    U, S, Vt = (read(t) for t in zel.svd(zel.tensor(SVD_CASES["diagonal"])))
    assert S == pytest.approx([4.0, 3.0], rel=1e-15)
    assert [[abs(x) for x in row] for row in Vt] == [[0.0, 1.0], [1.0, 0.0]]
    U, S, Vt = (read(t) for t in zel.svd(zel.tensor(SVD_CASES["zero_column"])))
    assert S[1] == 0.0 and [row[1] for row in U] == [0.0, 0.0]
    with pytest.raises(ValueError, match="^svd requires 2D matrix$"):
        zel.svd(zel.tensor([1.0, 2.0]))


# --- expm --------------------------------------------------------------------

EXPM_CASES = {
    "zero": ([[0.0, 0.0], [0.0, 0.0]], 6),
    "rotation": ([[0.0, 1.0], [-1.0, 0.0]], 6),
    "diagonal": ([[1.0, 0.0], [0.0, -2.0]], 6),
    "one": ([[0.75]], 6),
    "large_norm": ([[3.0, -4.5, 1.0], [0.5, 2.0, 7.9], [0.0, -1.0, 0.25]], 6),
    "order0": ([[1.0, 2.0], [3.0, 4.0]], 0),
    "order3": ([[0.1, 0.2], [0.3, -0.4]], 3),
}


@pytest.mark.parametrize("A, order", list(EXPM_CASES.values()) + [
    (random_matrix(random.Random(20 + s), 3, 3, 2.0), 6) for s in range(2)], ids=list(EXPM_CASES) + ["r0", "r1"])
def test_expm_matches_reference(zel, A, order):
    E = zel.expm(zel.tensor(A), order)
    assert E._shape == (len(A), len(A))
    assert bits(read(E)) == bits(as_read(ref.expm(as_read(A), order)))


def test_expm_values(zel):
    E = read(zel.expm(zel.tensor([[0.0, 1.0], [-1.0, 0.0]])))
    c, s = math.cos(1), math.sin(1)
    assert close(E, [[c, s], [-s, c]], 1e-14)
    assert read(zel.expm(zel.tensor([[0.5]])))[0][0] == pytest.approx(math.exp(0.5), rel=1e-14)
    D = read(zel.expm(zel.tensor([[1.0, 0.0], [0.0, -2.0]])))
    assert close(D, [[math.e, 0.0], [0.0, math.exp(-2)]], 1e-14)
    assert read(zel.expm(zel.tensor([[5.0, 1.0], [2.0, 3.0]]), order=0)) == [[1.0, 0.0], [0.0, 1.0]]


def test_expm_errors(zel):
    for bad in (zel.tensor([1.0, 2.0]), zel.tensor([[1.0, 2.0]])):
        with pytest.raises(ValueError, match="^expm requires square matrix$"):
            zel.expm(bad)
    with pytest.raises(ValueError, match="^Matrix is singular$"):
        zel.expm(zel.tensor([[1.0]]), order=-1)
