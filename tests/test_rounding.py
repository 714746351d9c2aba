"""Integer extraction, the floor remainder and reciprocal, record for record
against Python's own rounding of Fractions."""
import math
from fractions import Fraction

import pytest

import tarnex.zel.zel as zel
from elementwise_ref import EDGES, ULP, exact, expect_records, floor_rule, log_uniform, make, uniform

XS = EDGES + [Fraction(5, 2), Fraction(-3, 2), Fraction(1, 2) + ULP, -ULP * 2**255] + uniform(1, -9, 9, 40) \
    + log_uniform(2, -100, 255, 40, signed=True)


def trunc(x):
    return Fraction(math.trunc(x))


@pytest.mark.parametrize("name, ref", [
    ("ceil", lambda x: Fraction(math.ceil(x))),
    ("floor", lambda x: Fraction(math.floor(x))),
    ("round", lambda x: Fraction(round(Fraction(x)))),  # ties to even
    ("trunc", trunc),
    ("frac", lambda x: x - trunc(x)),
])
def test_integer_extraction_is_exact(name, ref):
    # floor_rule saturates: ceil and round of the largest magnitude are 2^256.
    expect_records(getattr(zel, name)(make(XS)), [ref(x) for x in XS])


def test_round_ties_go_to_even():
    expect_records(zel.round(make([0.5, 1.5, 2.5, -0.5, -1.5, -2.5, 3.5])), [0, 2, 2, 0, -2, -2, 4])


def test_trunc_plus_frac_is_the_argument():
    t, f = exact(zel.trunc(make(XS))), exact(zel.frac(make(XS)))
    assert [a + b for a, b in zip(t, f)] == [floor_rule(x) for x in XS]
    expect_records(zel.trunc(make([-2.5])), [-2])
    expect_records(zel.floor(make([-2.5])), [-3])


PAIRS = [(7, 3), (-7, 3), (7, -3), (-7, -3), (Fraction(11, 2), Fraction(3, 4)), (-ULP, 1), (ULP, -1), (6, 3),
         (-6, 3), (2**200 + ULP, Fraction(1, 3) - ULP), (-(2**255), 7)]
PAIRS += list(zip(uniform(3, -50, 50, 30), uniform(4, -5, 5, 30)))


def test_mod_is_the_floor_remainder_with_the_divisors_sign():
    xs, ys = [p[0] for p in PAIRS], [p[1] for p in PAIRS]
    ys_rec = exact(make(ys))
    expect_records(zel.mod(make(xs), make(ys)), [x % y for x, y in zip(xs, ys_rec)])


def test_mod_by_zero_is_zero():
    expect_records(zel.mod(make([5, -5, 0, ULP]), 0), [0, 0, 0, 0])


def test_mod_repeats_a_single_divisor():
    xs = [7, -7, Fraction(1, 2), 9]
    expect_records(zel.mod(make(xs), 3), [x % 3 for x in xs])
    expect_records(zel.mod(make(xs, (2, 2)), make([Fraction(5, 2)])), [x % Fraction(5, 2) for x in xs])
    assert zel.mod(make([5]), 3)._shape == (1,)


def test_mod_pairs_in_flat_order_and_refuses_short_divisors():
    out = zel.mod(make([1, 2, 3, 4, 5, 6], (2, 3)), make([4, 4, 2, 3, 3, 4], (3, 2)))
    assert out._shape == (2, 3)
    expect_records(out, [1, 2, 1, 1, 2, 2])
    with pytest.raises(ValueError, match=r"^Size mismatch: 3 and 2 elements$"):
        zel.mod(make([1, 2, 3]), make([1, 2]))


@pytest.mark.parametrize("name", ["ceil", "floor", "round", "trunc", "frac", "reciprocal"])
@pytest.mark.parametrize("shape, result_shape", [((2, 3), (2, 3)), ((), (1,))])
def test_shapes(name, shape, result_shape):
    out = getattr(zel, name)(make([Fraction(3, 2)] * math.prod(shape), shape))
    assert out._shape == result_shape


def test_reciprocal_follows_the_division_rule():
    xs = [3, -3, Fraction(1, 7), 2**100, -ULP * 2**200, 1]
    expect_records(zel.reciprocal(make(xs)), [1 / x for x in exact(make(xs))])
    zero = make([0, 2])
    assert exact(zel.reciprocal(zero)) == exact(zel.div(zel.ones(2), zero))
