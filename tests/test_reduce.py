"""Reductions: the pairwise pass structure of sum and prod (observable through
prod's rounding and sum's saturation), max/min, mean, dot, and the row-wise
scans, searches and softmax, against Fraction and mpmath references."""
import os
import random
from fractions import Fraction

import mpmath
import numpy as np
import pytest

from reference import SCALE, device_records, record_bytes, records, scaled, value_of

TOP = 2**512 - 1
UNIT = Fraction(1, SCALE)


def exact(t):
    return [value_of(r) for r in records(t._data)]


def grid(q):
    """floor to the record grid, saturated: the value the kernels produce."""
    return Fraction(max(-TOP, min(TOP, scaled(q))), SCALE)


def tree(values, op):
    """The host-driven tree: fold the upper half onto the lower, then fold an
    odd last element into element 0, and halve."""
    data, n = list(values), len(values)
    while n > 1:
        half = n // 2
        for i in range(half):
            data[i] = op(data[i], data[i + half])
        if n % 2:
            data[0] = op(data[0], data[n - 1])
        n = half
    return data[0]


def fmul(x, y):
    return grid(x * y)


def fadd(x, y):
    return grid(x + y)


def random_fractions(rng, n):
    return [Fraction(rng.getrandbits(270) - 2**269, SCALE) for _ in range(n)]


# --- sum and prod ------------------------------------------------------------------

@pytest.mark.parametrize("n", [2, 3, 5, 7, 12, 33])
def test_prod_follows_the_tree_order(zel, n):
    rng = random.Random(n)
    vals = [Fraction(rng.getrandbits(258) + 2**256, SCALE) * rng.choice([1, -1]) for _ in range(n)]
    t = zel.tensor(vals)
    p = zel.prod(t)
    assert p.shape == (1,)
    assert exact(p) == [tree(exact(t), fmul)]


def test_sum_saturation_shows_the_pass_order(zel):
    h = 2**255
    # Tree: (h + -h) + (h + -h) = 0.  Left to right would saturate at h + h.
    t = zel.tensor([h, h, -h, -h])
    assert exact(zel.sum(t)) == [tree([Fraction(v) for v in (h, h, -h, -h)], fadd)] == [0]
    odd = [h, -h, h, h, h]
    assert exact(zel.sum(zel.tensor(odd))) == [tree([Fraction(v) for v in odd], fadd)]


@pytest.mark.parametrize("n", [1, 2, 5, 64, 1001])
def test_sum_is_exact(zel, n):
    rng = random.Random(n)
    vals = random_fractions(rng, n)
    s = zel.sum(zel.tensor(vals))
    assert s.shape == (1,)
    assert exact(s) == [sum(vals)]


# Sizes around the passes one launch takes (16 records become one) and the
# launches after it; values near the range edge, so that any change in the
# pairing saturates differently.
TREE_SIZES = [15, 16, 17, 31, 33, 255, 256, 257, 4097]


@pytest.mark.parametrize("n", TREE_SIZES)
def test_sum_saturates_pair_by_pair(zel, n):
    rng = random.Random(n * 7)
    vals = [Fraction(rng.choice([1, -1]) * (2**511 + rng.getrandbits(510)), SCALE) for _ in range(n)]
    vals[n // 3] = Fraction(-TOP, SCALE)
    assert exact(zel.sum(zel.tensor(vals))) == [tree(vals, fadd)]


def test_sum_reads_odd_sign_fields_and_negative_zeros_as_the_adder_does(zel):
    # A sign field other than -1 reads as non-negative, and a -1 on a zero
    # magnitude is a zero; the one-pass two's complement tree must agree with
    # the sign-magnitude adder on both, saturated nodes included.
    rng = random.Random(5)
    raw, vals = b"", []
    for k in range(300):
        s = 0 if k % 7 == 0 else rng.getrandbits(511) * rng.choice((1, -1))
        rec = bytearray(record_bytes(s))
        if k % 7 == 0:
            rec[0:4] = (-1).to_bytes(4, "little", signed=True)
        elif k % 5 == 0:
            rec[0:4] = rng.choice((0, 3, -2)).to_bytes(4, "little", signed=True)
            s = abs(s)
        raw += bytes(rec)
        vals.append(Fraction(s, SCALE))
    host = np.frombuffer(raw, dtype=zel.FIXEDPOINT_DTYPE)
    t = zel.Tensor(_raw=device_records(zel, host), shape=(300,))
    out = records(zel.sum(t)._data)
    assert out == [record_bytes(scaled(tree(vals, fadd)))]


@pytest.mark.parametrize("n", [17, 33, 257])
def test_prod_rounds_pair_by_pair(zel, n):
    rng = random.Random(n)
    vals = [1 + Fraction(rng.getrandbits(250) - 2**249, SCALE) * rng.choice([1, -1]) for _ in range(n)]
    assert exact(zel.prod(zel.tensor(vals))) == [tree([grid(v) for v in vals], fmul)]


@pytest.mark.parametrize("fn", ["sum", "prod", "max", "min"])
def test_reduction_result_is_a_record_of_its_own(zel, fn):
    t = zel.tensor(random_fractions(random.Random(1), 300))
    before = records(t._data)
    out = getattr(zel, fn)(t)
    assert records(t._data) == before
    owner = out._data
    while getattr(owner, "base", None) is not None:
        owner = owner.base
    assert out._data.nbytes == owner.nbytes == 72


def test_sum_holds_no_copy_of_its_input(zel):
    if os.environ.get("ZEL_DEVICE") != "host":
        pytest.skip("host allocations are traced; device memory is not")
    import tracemalloc

    t = zel.randn(100_000)
    tracemalloc.start()
    try:
        zel.sum(t)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert peak < 0.1 * t._data.nbytes


@pytest.mark.parametrize("fn, values, expected", [
    ("sum", [1, 2, 3, 4, 5], 15), ("prod", [1, 2, 3, 4, 5], 120),
    ("max", [1, 5, 3, 4, 2], 5), ("min", [1, 5, 3, 4, 2], 1),
    ("max", [-3, -1, -7], -1), ("min", [0, -0.5, 2, -0.25, 9, 1, -0.5], -0.5),
])
def test_small_reductions(zel, fn, values, expected):
    out = getattr(zel, fn)(zel.tensor(values))
    assert out.shape == (1,) and exact(out) == [Fraction(expected)]


@pytest.mark.parametrize("n", [2, 3, 5, 6, 7, 31, 100])
def test_max_min_over_every_length(zel, n):
    rng = random.Random(n + 99)
    vals = random_fractions(rng, n)
    t = zel.tensor(vals)
    assert exact(zel.max(t)) == [max(vals)]
    assert exact(zel.min(t)) == [min(vals)]


def test_whole_tensor_reductions_ignore_the_shape(zel):
    t = zel.tensor([[1, 2, 3], [4, 5, 6]])
    for fn, v in [("sum", 21), ("prod", 720), ("max", 6), ("min", 1)]:
        out = getattr(zel, fn)(t)
        assert out.shape == (1,) and exact(out) == [v]


def test_empty_and_single_inputs(zel):
    empty = zel.tensor([])
    assert exact(zel.sum(empty)) == [0] and exact(zel.prod(empty)) == [1]
    for fn in ("max", "min"):
        out = getattr(zel, fn)(empty)
        assert out.shape == (0,) and out.numel == 0
    one = zel.tensor([7])
    results = [getattr(zel, fn)(one) for fn in ("sum", "prod", "max", "min")]
    one._data.data.copy_from_device(zel.tensor([8])._data.data, 72)  # overwrite the input
    for r in results:
        assert r.shape == (1,) and exact(r) == [7]


def test_mean_and_dot(zel):
    m = zel.mean(zel.tensor([1, 2, 3, 4]))
    assert m.shape == (1,) and exact(m) == [Fraction(5, 2)]
    rng = random.Random(5)
    a, b = zel.tensor(random_fractions(rng, 3)), zel.tensor(random_fractions(rng, 3))
    d = zel.dot(a, b)
    assert d.shape == (1,)
    assert records(d._data) == records(zel.sum(zel.mul(a, b))._data)
    assert exact(d) == [tree([fmul(x, y) for x, y in zip(exact(a), exact(b))], fadd)]
    with pytest.raises(ValueError, match="Size mismatch: 3 and 2 elements"):
        zel.dot(a, zel.tensor([1, 2]))


# --- row-wise operations --------------------------------------------------------------

def test_cumsum_and_cumprod(zel):
    t = zel.tensor([[1, 2], [3, 4]])
    assert zel.cumsum(t).to_list() == [[1, 3], [3, 7]]
    assert zel.cumsum(t, dim=-1).to_list() == [[1, 3], [3, 7]]
    assert zel.cumsum(t, 0).to_list() == [[1, 2], [4, 6]]
    assert zel.cumprod(t).to_list() == [[1, 2], [3, 12]]
    assert zel.cumprod(t, dim=0).to_list() == [[1, 2], [3, 8]]
    assert zel.cumsum(zel.tensor([1, 2, 3]), dim=0).to_list() == [1, 3, 6]
    rng = random.Random(17)
    vals = random_fractions(rng, 6)
    r = zel.cumprod(zel.tensor(vals))
    acc, expected = None, []
    for v in exact(zel.tensor(vals)):
        acc = v if acc is None else fmul(acc, v)
        expected.append(acc)
    assert exact(r) == expected


def test_cumsum_prefixes_are_exact_past_a_saturated_one(zel):
    h = 2**255
    out = exact(zel.cumsum(zel.tensor([h, h, -h, -h])))
    assert out == [h, grid(Fraction(2 * h)), h, 0]


def test_rows_run_along_the_last_dimension_of_any_rank(zel):
    vals = list(range(1, 13))
    t = zel.Tensor(vals, shape=(2, 2, 3))
    out = zel.cumsum(t)
    assert out.shape == (2, 2, 3)
    expected = []
    for r in range(4):
        row = vals[3 * r:3 * r + 3]
        expected += [sum(row[:j + 1]) for j in range(3)]
    assert exact(out) == expected
    assert zel.argmax(zel.Tensor([3, 1, 2, 0, 5, 4, 7, 7, 1, 2, 9, 9], shape=(2, 2, 3))).get().tolist() == [0, 1, 0, 1]


@pytest.mark.parametrize("fn, data, dim, expected", [
    ("argmax", [[1, 2], [3, 4]], -1, [1, 1]),
    ("argmax", [3, 9, 2], -1, [1]),
    ("argmax", [3, 9, 2], 0, [1]),
    ("argmax", [[1, 5, 5], [2, 2, 0]], -1, [1, 0]),
    ("argmin", [[4, 1, 1], [0, 0, 3]], -1, [1, 0]),
    ("argmax", [[1, 7], [3, 4], [9, 0]], 0, [2, 0]),
    ("argmin", [[1, 7], [3, 4], [9, 0]], 0, [0, 2]),
])
def test_arg_searches(zel, fn, data, dim, expected):
    out = getattr(zel, fn)(zel.tensor(data), dim)
    assert out.dtype == np.int32
    assert out.get().tolist() == expected


def test_softmax_against_mpmath(zel):
    mpmath.mp.prec = 400
    rows = [[0.5, -1.25, 3.0, 2.0], [200, 201, 202, 199.5], [0, 0, 0, 0]]
    t = zel.tensor(rows)
    out = zel.softmax(t)
    assert out.shape == (3, 4)
    got, flat = exact(out), exact(t)
    for r in range(3):
        row = flat[4 * r:4 * r + 4]
        es = [mpmath.exp(mpmath.mpf(x.numerator) / x.denominator) for x in row]
        total = mpmath.fsum(es)
        for j, e in enumerate(es):
            ref = e / total
            err = abs(mpmath.mpf(got[4 * r + j].numerator) / got[4 * r + j].denominator - ref)
            assert err < 6 * mpmath.mpf(2) ** -256, (r, j)
    assert exact(zel.softmax(zel.tensor([[1, 2], [3, 4]]), 0)) == exact(zel.transpose(
        zel.softmax(zel.transpose(zel.tensor([[1, 2], [3, 4]]), 0, 1)), 0, 1))


@pytest.mark.parametrize("fn", ["cumsum", "cumprod", "softmax", "argmax", "argmin"])
def test_row_wise_refusals(zel, fn):
    f = getattr(zel, fn)
    with pytest.raises(ValueError, match="Dimension out of range"):
        f(zel.tensor([[1, 2], [3, 4]]), 2)
    with pytest.raises(ValueError, match="Dimension out of range"):
        f(zel.tensor([1, 2]), -2)
    with pytest.raises(ValueError, match="supports only the last dimension"):
        f(zel.Tensor(list(range(8)), shape=(2, 2, 2)), 1)
    with pytest.raises(TypeError, match=r"Argument 'dim' has incorrect type \(expected int, got str\)"):
        f(zel.tensor([1, 2]), "x")
    with pytest.raises(IndexError):
        f(zel.tensor(5))
    f(zel.tensor([[1, 2], [3, 4]]), 1.7)  # int(1.7) == 1: the last dimension


@pytest.mark.parametrize("fn", ["argmax", "argmin"])
def test_arg_search_of_empty_rows(zel, fn):
    with pytest.raises(ValueError, match="empty"):
        getattr(zel, fn)(zel.tensor([]))
    assert getattr(zel, fn)(zel.Tensor([], shape=(0, 3))).get().tolist() == []


# --- norms and statistics -------------------------------------------------------------

def test_norms(zel):
    assert exact(zel.norm(zel.tensor([3, 4]))) == [5]
    assert exact(zel.norm(zel.tensor([3, -4]), 1)) == [7]
    a = zel.tensor([Fraction(1, 3), -2, 0.75])
    assert records(zel.norm(a, 2.9)._data) == records(zel.norm(a, 2)._data)
    assert exact(zel.norm(zel.tensor([0, 0]), 3)) == [0]


@pytest.mark.parametrize("values, p", [([3, -4, 5], 3), ([1, 2, 2], 4), ([Fraction(1, 3), 7, -2.5], 5)])
def test_norm_is_the_true_p_norm(zel, values, p):
    mpmath.mp.prec = 400
    t = zel.tensor(values)
    got = exact(zel.norm(t, p))[0]
    ref = mpmath.root(mpmath.fsum(abs(mpmath.mpf(x.numerator) / x.denominator) ** p for x in exact(t)), p)
    assert abs(mpmath.mpf(got.numerator) / got.denominator - ref) < ref * mpmath.mpf(2) ** -240


@pytest.mark.parametrize("p", [0, -1, -2.5])
def test_norm_refuses_non_positive_p(zel, p):
    with pytest.raises(ValueError, match="norm requires p >= 1"):
        zel.norm(zel.tensor([1, 2]), p)


def test_variance_and_standard_deviation(zel):
    t = zel.tensor([1, 2, 3, 4])
    assert exact(zel.var(t, unbiased=False)) == [Fraction(5, 4)]
    # Bessel's factor is the double nearest 4/3, entering the tensor exactly.
    assert exact(zel.var(t)) == [fmul(Fraction(5, 4), Fraction(4 / 3))]
    assert exact(zel.var(t, None, True)) == exact(zel.var(t))
    assert exact(zel.var(zel.tensor([7]))) == [0]
    assert records(zel.std(t)._data) == records(zel.sqrt(zel.var(t))._data)
    assert records(zel.std(t, unbiased=0)._data) == records(zel.sqrt(zel.var(t, unbiased=False))._data)
    assert records(zel.var(t, dim=0)._data) == records(zel.var(t)._data)
    d = zel.sub(t, zel.mean(t))
    assert records(zel.var(t, unbiased=False)._data) == records(zel.mean(zel.mul(d, d))._data)


@pytest.mark.parametrize("fn", ["var", "std"])
def test_variance_refuses_a_dimension_of_a_matrix(zel, fn):
    m = zel.tensor([[1, 2], [3, 4]])
    with pytest.raises(ValueError, match=r"var supports only dim=None"):
        getattr(zel, fn)(m, 0)
    with pytest.raises(TypeError, match=r"Argument 'dim' has incorrect type \(expected int, got str\)"):
        getattr(zel, fn)(m, "0")
    assert getattr(zel, fn)(m).shape == (1,)
