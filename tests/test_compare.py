"""Comparisons, logical functions, where, clamp, pow, leaky_relu and lerp:
masks and records against Fraction arithmetic, the argument conversions,
and the refusals of short operands and unsuitable parameters."""
import itertools
import operator
import random
from fractions import Fraction

import numpy as np
import pytest

import tarnex.zel.zel as zel
from elementwise_ref import EDGES, MAX, ULP, exact, expect_records, floor_rule, make, uniform

PAIRS = list(itertools.product([0, ULP, -ULP, Fraction(1, 3), 1, -1, 2**200, -(2**200) - ULP], repeat=2))
XS, YS = [p[0] for p in PAIRS], [p[1] for p in PAIRS]


@pytest.mark.parametrize("name, op", [("eq", operator.eq), ("lt", operator.lt), ("gt", operator.gt),
                                      ("le", operator.le), ("ge", operator.ge), ("ne", operator.ne)])
def test_comparisons_give_int32_masks(name, op):
    mask = getattr(zel, name)(make(XS), make(YS))
    assert not isinstance(mask, zel.Tensor) and mask.dtype == np.int32
    assert mask.get().tolist() == [int(op(x, y)) for x, y in PAIRS]


def test_mask_has_one_entry_per_record():
    assert len(zel.eq(make([1, 2, 3, 4], (2, 2)), make([1, 0, 3, 0], (2, 2)))) == 4
    assert zel.lt(make([1, 2]), make([2, 2])).get().tolist() == [1, 0]
    assert zel.le(make([1, 2]), make([2, 2])).get().tolist() == [1, 1]


@pytest.mark.parametrize("call", [
    lambda a, b: zel.eq(a, b), lambda a, b: zel.ge(a, b), lambda a, b: zel.where(zel.eq(a, a), a, b),
    lambda a, b: zel.where(zel.eq(b, b), a, a),
])
def test_short_operands_are_refused(call):
    with pytest.raises(ValueError, match=r"^Size mismatch: 3 and 2 elements$"):
        call(make([1, 2, 3]), make([1, 2]))


def test_logical_functions_are_the_array_librarys():
    a, b = make([1, 2, 3, 4]), make([1, 0, 3, 5])
    m1, m2 = zel.eq(a, b), zel.lt(a, make([2, 2, 2, 2]))
    assert zel.logical_and(m1, m2).get().tolist() == [True, False, False, False]
    assert zel.logical_or(m1, m2).get().tolist() == [True, False, True, False]
    assert zel.logical_xor(m1, m2).get().tolist() == [False, False, True, False]
    assert zel.logical_not(m1).get().tolist() == [False, True, False, True]


def test_where_selects_records():
    a, b = make([1, 5, -3, 2**100]), make([4, 2, -3 - ULP, 0])
    expect_records(zel.where(zel.gt(a, b), a, b), [4, 5, -3, 2**100])


@pytest.mark.parametrize("mask", [
    lambda a, b: zel.logical_or(zel.gt(a, b), zel.eq(a, b)),  # one byte per entry
    lambda a, b: zel.cp.asarray(np.array([0.0, 0.5, 2.0, 0.0])),
    lambda a, b: [0, 7, 1, 0],
    lambda a, b: np.array([False, True, True, False]),
])
def test_where_reads_any_mask_by_its_non_zero_entries(mask):
    a, b = make([1, 5, 7, 2]), make([4, 2, 6, 3])
    expect_records(zel.where(mask(a, b), a, b), [4, 5, 7, 3])


def test_clamp():
    expect_records(zel.clamp(make([-2, 0.5, 3]), 0, 1), [0, 0.5, 1])
    expect_records(zel.clamp(make([-2, 0.5, 3]), 2, 1), [1, 1, 1])  # lo > hi gives hi, as NumPy's clip
    lo, hi = Fraction(-1, 3), zel.tensor(Fraction(1, 7))
    xs = EDGES
    expect_records(zel.clamp(make(xs), lo, hi), [min(max(x, floor_rule(lo)), floor_rule(Fraction(1, 7))) for x in xs])


@pytest.mark.parametrize("lo, hi, exc, message", [
    ([0, 1], 2, ValueError, "clamp bounds must be scalars"),
    (0, zel.tensor([1, 2]), ValueError, "clamp bounds must be scalars"),
    (0, [], ValueError, "clamp bounds must be scalars"),
    (None, 1, TypeError, "clamp bounds must be numbers, not None"),
])
def test_clamp_refuses_bounds_that_are_not_one_number(lo, hi, exc, message):
    with pytest.raises(exc, match=f"^{message}$"):
        zel.clamp(make([1, 2]), lo, hi)


def dyadics(seed, count, max_den_bits):
    rng = random.Random(seed)
    return [Fraction(rng.randrange(-(2**12), 2**12), 2 ** rng.randrange(max_den_bits + 1)) for _ in range(count)]


@pytest.mark.parametrize("e", [0, 1, 2, 3, 7, 16])
def test_pow_is_exact_when_the_power_is_representable(e):
    xs = dyadics(e, 30, 256 // max(e, 1)) + [0, 1, -1, 2, -3]
    expect_records(zel.pow(make(xs), e), [x**e for x in xs])


@pytest.mark.parametrize("x, e", [(2, -3), (3, -1), (-3, -1), (Fraction(1, 4), -3), (Fraction(-5, 2), -3), (7, -5)])
def test_pow_negative_exponent_divides_one_by_the_positive_power(x, e):
    positive = exact(zel.pow(make([x]), -e))[0]
    expect_records(zel.pow(make([x]), e), [1 / positive])


def _reciprocal_of_power(x, k):
    """The division rule on the record of the positive power: floor(1 / p),
    p = floor(x^k) (exact here: no x below lies within 2^-605 of the grid),
    and 1 / 0 saturating positive."""
    p = floor_rule(floor_rule(x) ** k)
    return MAX if p == 0 else floor_rule(1 / p)


@pytest.mark.parametrize("k", [1, 2, 3, 5, 8, 200])
def test_pow_negative_exponent_is_the_reciprocal_of_the_positive_power_record(k):
    xs = [Fraction(1, 3), Fraction(-2, 3), Fraction(7, 5), 3, -3, Fraction(10, 7), 2**-200, -(2**-200), ULP, -ULP,
          2**100 + Fraction(1, 3), Fraction(-1, 2**60) - ULP, 0]
    xs += uniform(k, -4, 4, 6)
    want = [_reciprocal_of_power(x, k) for x in xs]
    expect_records(zel.pow(make(xs), -k), want)
    # The rule differs from flooring 1 / x^k where the power was rounded:
    # 3^-200 is below one unit, but 3^200 saturates and 1 / max is one unit.
    assert (k != 200) or want[3] == ULP


def test_pow_examples_and_exponent_conversion():
    expect_records(zel.pow(make([2, -3]), 3), [8, -27])
    expect_records(zel.pow(make([0, 5, -ULP]), 0), [1, 1, 1])
    # An integral exponent of any type is taken; a fractional one is refused
    # rather than truncated.
    assert exact(zel.pow(make([3, -1.5]), 2.0)) == exact(zel.pow(make([3, -1.5]), 2))
    assert exact(zel.pow(make([3]), Fraction(4, 2))) == [9]
    for bad in (2.9, 0.5, -1.5, Fraction(5, 2), np.float64(1.5)):
        with pytest.raises(ValueError, match="^pow requires an integer exponent$"):
            zel.pow(make([3, -1.5]), bad)
    with pytest.raises(ValueError, match="^pow requires an integer exponent$"):
        make([4]) ** 0.5
    assert exact(make([3]) ** 2.0) == [9]
    assert exact(zel.pow(make([3]), exp=np.int64(2))) == [9]
    with pytest.raises(TypeError, match=r"^Argument 'exp' has incorrect type \(expected int, got str\)$"):
        zel.pow(make([2]), "2")
    with pytest.raises(OverflowError):
        zel.pow(make([2]), 2**40)


def test_leaky_relu():
    alpha = Fraction(0.01)  # tensor stores a double exactly
    xs = [-2, 3, 0, -ULP, Fraction(-1, 3), 2**100]
    want = [x if x >= 0 else floor_rule(alpha * floor_rule(x)) for x in xs]
    expect_records(zel.leaky_relu(make(xs)), want)
    expect_records(zel.leaky_relu(make([-2, 3]), negative_slope=0.5), [-1, 3])
    expect_records(zel.leaky_relu(make([-2, 3]), 2), [-4, 3])
    with pytest.raises(TypeError):
        zel.leaky_relu(make([1]), "0.1")


def test_lerp():
    a, b = make([1, -2, Fraction(1, 3)]), make([5, 7, 0])
    assert exact(zel.lerp(a, b, 0.0)) == exact(a)
    assert exact(zel.lerp(a, b, 1)) == exact(b)
    out = zel.lerp(make([0]), make([10]), 0.25)
    assert out._shape == (1,) and exact(out) == [Fraction(5, 2)]
    assert zel.lerp(make([1, 2, 3, 4, 5, 6], (2, 3)), make([1, 2, 3]), 0.5)._shape == (2, 3)
    with pytest.raises(TypeError):
        zel.lerp(a, b, "0.5")
