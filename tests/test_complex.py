"""ComplexTensor and the complex functions, against Python complex numbers."""
from fractions import Fraction

import pytest

from reference import records, value_of


def parts(c):
    return c.real.to_list(), c.imag.to_list()


def as_complex_list(c):
    r, i = parts(c)
    return [complex(a, b) for a, b in zip(r, i)]


def exact(t):
    return [value_of(r) for r in records(t._data)]


# Values whose products, sums and quotients below are exact in binary, so the
# fixed-point result and Python's complex arithmetic agree exactly.
X = [1 + 2j, -3 + 0.5j, 0.25 - 4j]
Y = [2 - 1j, 0.5 + 0.5j, -1 - 1j]


def ct(zel, zs):
    return zel.complex_tensor([z.real for z in zs], [z.imag for z in zs])


@pytest.mark.parametrize("op", [
    lambda a, b: a + b,
    lambda a, b: a - b,
    lambda a, b: a * b,
    lambda a, b: a / b,
])
def test_complex_operands(zel, op):
    got = as_complex_list(op(ct(zel, X), ct(zel, Y)))
    assert got == [op(x, y) for x, y in zip(X, Y)]


@pytest.mark.parametrize("op", [
    lambda c, r: c + r, lambda c, r: r + c, lambda c, r: c - r, lambda c, r: r - c,
    lambda c, r: c * r, lambda c, r: r * c, lambda c, r: c / r,
])
@pytest.mark.parametrize("real", [2, 0.5, [2, -4, 0.5]])
def test_real_operands(zel, op, real):
    got = as_complex_list(op(ct(zel, X), real))
    ref = [op(x, real[k] if isinstance(real, list) else real) for k, x in enumerate(X)]
    assert got == ref


def test_real_tensor_operand_keeps_imag_part(zel):
    c = ct(zel, X)
    t = zel.tensor([1, 2, 3])
    s = c + t
    assert s._imag is c._imag and as_complex_list(s) == [x + k for x, k in zip(X, [1, 2, 3])]
    assert (c - t)._imag is c._imag
    assert zel.conj(c)._real is c._real


def test_negation_and_conjugate(zel):
    c = ct(zel, X)
    assert as_complex_list(-c) == [-x for x in X]
    assert as_complex_list(c.conj()) == as_complex_list(zel.conj(c)) == [x.conjugate() for x in X]


def test_inexact_quotient_is_close(zel):
    q = as_complex_list(ct(zel, [1 + 1j]) / ct(zel, [3 + 0j]))[0]
    assert abs(q - (1 + 1j) / 3) < 1e-15


def test_magnitudes(zel):
    c = zel.complex_tensor([3, "0.1"], [4, "0.2"])
    assert abs(c).to_list()[0] == 5.0 and zel.cabs(c).to_list() == abs(c).to_list() == c.__abs__().to_list()
    assert abs(c) is not abs(c)
    # abs2 is a^2 + b^2 itself: the exact sum of the two floored squares.
    a = exact(c.real)
    b = exact(c.imag)
    squares = [Fraction((x * x * 2**256).__floor__(), 2**256) for x in a + b]
    assert exact(c.abs2()) == [squares[0] + squares[2], squares[1] + squares[3]]
    assert abs(abs(c).to_list()[1] - abs(0.1 + 0.2j)) < 1e-15


def test_no_reflected_division_and_no_matmul(zel):
    c = ct(zel, X)
    with pytest.raises(TypeError):
        1 / c
    with pytest.raises(TypeError):
        c @ c
    with pytest.raises(TypeError):
        c < c


def test_construction_defaults(zel):
    c = zel.complex_tensor([1, 2])
    assert c.shape == (2,) and c.imag.shape == (2,) and c.imag.to_list() == [0.0, 0.0]
    assert isinstance(c, zel.ComplexTensor) and c.real is c._real and c.imag is c._imag
    t = zel.tensor([5, 6])
    assert zel.ComplexTensor(t)._real is t


@pytest.mark.parametrize("args, message", [
    (([1, 2], [3]), r"Real shape \(2,\) != imag shape \(1,\)"),
    ((5,), r"Real shape \(\) != imag shape \(1,\)"),
    (([[1, 2]], [1, 2]), r"Real shape \(1, 2\) != imag shape \(2,\)"),
])
def test_shape_mismatch_messages(zel, args, message):
    with pytest.raises(ValueError, match="^" + message + "$"):
        zel.complex_tensor(*args)


def test_zero_dimensional(zel):
    c = zel.complex_tensor(5, 0)
    assert c.shape == () and c.to_list() == 5 + 0j
    with pytest.raises(ValueError, match=r"^Real shape \(1,\) != imag shape \(\)$"):
        c + 1
    with pytest.raises(ValueError, match=r"^Real shape \(1,\) != imag shape \(\)$"):
        c + zel.tensor(1)
    s = c + zel.complex_tensor(2, 3)
    assert s.shape == (1,) and s.to_list() == [7 + 3j]


def test_broadcast_real_part_fails_in_constructor(zel):
    c = zel.complex_tensor([1, 2, 3])
    with pytest.raises(ValueError, match=r"^Real shape \(2, 3\) != imag shape \(3,\)$"):
        c + zel.tensor([[1, 2, 3], [4, 5, 6]])


def test_tensor_on_the_left_is_the_tensor_operator(zel):
    with pytest.raises(TypeError):
        zel.tensor([1, 2]) + zel.complex_tensor([1, 2])


def test_transpose_and_hermitian(zel):
    c = zel.complex_tensor([[1, 2], [3, 4]], [[5, 6], [7, 8]])
    h = c.H()
    assert h.real.to_list() == [[1.0, 3.0], [2.0, 4.0]]
    assert h.imag.to_list() == [[-5.0, -7.0], [-6.0, -8.0]]
    t = c.T()
    assert t.imag.to_list() == [[5.0, 7.0], [6.0, 8.0]]


@pytest.mark.parametrize("data", [[1, 2, 3], [[[1]]]])
def test_transpose_only_2d(zel, data):
    c = zel.complex_tensor(data)
    for f in (c.T, c.H):
        with pytest.raises(ValueError, match="^Transpose only for 2D$"):
            f()


def test_text_forms(zel):
    c = zel.complex_tensor([1, 2], [3, 4])
    assert str(c) == "ComplexTensor([1.0, 2.0] + [3.0, 4.0]j)"
    assert repr(c) == "ComplexTensor(shape=(2,))"
    assert str(zel.complex_tensor(list(range(10)))).startswith("ComplexTensor([0.0, 1.0")
    assert str(zel.complex_tensor(list(range(11)))) == "ComplexTensor((11,))"
    assert repr(zel.complex_tensor(list(range(11)))) == "ComplexTensor(shape=(11,))"


def test_to_list(zel):
    assert zel.complex_tensor([1, 2], [3, 4]).to_list() == [1 + 3j, 2 + 4j]
    assert zel.complex_tensor([[1, 2]]).to_list() == [[1 + 0j, 2 + 0j]]


def test_identity_and_fills(zel):
    assert parts(zel.complex_eye(3)) == parts(zel.complex_tensor(zel.eye(3)))
    assert zel.complex_eye(2.9).shape == (2, 2)
    with pytest.raises(TypeError, match=r"^Argument 'n' has incorrect type \(expected int, got str\)$"):
        zel.complex_eye("3")
    z = zel.complex_zeros(2, 3)
    assert z.shape == (2, 3) and parts(z) == ([[0.0] * 3] * 2, [[0.0] * 3] * 2)
    o = zel.complex_ones((2, 2))
    assert parts(o) == ([[1.0, 1.0]] * 2, [[0.0, 0.0]] * 2)


def cmatmul(a, b):
    return [[sum(a[i][k] * b[k][j] for k in range(len(b))) for j in range(len(b[0]))] for i in range(len(a))]


def ctm(zel, rows):
    return zel.complex_tensor([[z.real for z in r] for r in rows], [[z.imag for z in r] for r in rows])


def to_matrix(c):
    r, i = parts(c)
    return [[complex(a, b) for a, b in zip(rr, ii)] for rr, ii in zip(r, i)]


def test_cmm_and_cmv(zel):
    A = [[1 + 2j, -1j, 3], [0.5, 2 - 2j, 1 + 1j]]
    B = [[1j, 2], [3 - 1j, -0.5j], [1, 1 + 1j]]
    assert to_matrix(zel.cmm(ctm(zel, A), ctm(zel, B))) == cmatmul(A, B)
    x = [1 - 1j, 2j, 0.25]
    y = as_complex_list(zel.cmv(ctm(zel, A), ct(zel, x)))
    assert y == [sum(A[i][k] * x[k] for k in range(3)) for i in range(2)]


def test_cmm_takes_real_operands(zel):
    A = [[1, 2], [3, 4]]
    B = [[1j, 1], [0, -1j]]
    assert to_matrix(zel.cmm(zel.tensor(A), ctm(zel, B))) == cmatmul(A, B)


def test_cmm_shape_errors_are_mm_errors(zel):
    with pytest.raises(ValueError, match="Shape mismatch"):
        zel.cmm(zel.complex_eye(2), zel.complex_eye(3))


def test_csum(zel):
    s = zel.csum(ct(zel, X))
    assert s.shape == (1,) and s.to_list() == [sum(X)]
