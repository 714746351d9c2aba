"""The unary family: exact results of neg, abs, relu, sign and sqrt against
Fractions, the transcendental kernels against enclosures at 1200 bits, the
activations' far limits, the edge rules of the numerical contract, and the
calling conventions."""
import builtins
import math

from fractions import Fraction

import pytest

import tarnex.zel.zel as zel
from elementwise_ref import (EDGES, MAX, MOST_NEGATIVE, ULP, exact, expect_records, floor_rule, log_uniform, make,
                             uniform)
from interval_ref import assert_floors
from reference import SCALE

ALL = ["neg", "abs", "relu", "sigmoid", "tanh", "gelu", "silu", "exp", "log", "sin", "cos", "sqrt", "sign"]
RANDOM = uniform(11, -3, 3, 40) + log_uniform(12, -200, 255, 40, signed=True)


@pytest.mark.parametrize("name, ref", [
    ("neg", lambda x: -x),
    ("abs", builtins.abs),
    ("relu", lambda x: builtins.max(x, 0)),
    ("sign", lambda x: (x > 0) - (x < 0)),
])
def test_exact_members(name, ref):
    xs = EDGES + RANDOM
    expect_records(getattr(zel, name)(make(xs)), [ref(x) for x in xs])


def test_sqrt_is_the_floor_of_the_exact_root():
    xs = [x for x in EDGES + RANDOM if x >= 0] + [4, 2]
    got = exact(zel.sqrt(make(xs)))
    for g, x in zip(got, xs):
        m = int(x * SCALE)  # x = m / 2^256, so sqrt(x) * 2^256 = sqrt(m * 2^256)
        assert g * SCALE == math.isqrt(m * SCALE), x


def test_sqrt_of_a_negative_number_is_zero():
    expect_records(zel.sqrt(make([-1, -MAX, -(2**-100)])), [0, 0, 0])


# Around every switch of the kernels: exp's saturation and the limits of its
# argument, the tanh and silu cut-offs at |x| = 128 and 256, gelu's working
# precisions at 5 and 10 and its tail from 19 on, and far out, where
# sigmoid, tanh, silu and gelu come within one unit of their asymptotes.
ACCURACY = [
    ("exp", uniform(1, -180, 177, 60) + uniform(14, -260, -170, 10) + uniform(15, 176, 178, 5)),
    ("log", log_uniform(2, -255, 255, 60) + uniform(3, 0.5, 2, 20)),
    ("sin", uniform(4, -10, 10, 40) + log_uniform(5, 3, 255, 30, signed=True)),
    ("cos", uniform(6, -10, 10, 40) + log_uniform(7, 3, 255, 30, signed=True)),
    ("tanh", uniform(8, -60, 60, 40) + uniform(16, -400, 400, 40) + uniform(17, 60, 130, 20)),
    ("sigmoid", uniform(9, -60, 60, 40) + uniform(18, -400, 400, 40) + uniform(19, 170, 260, 10)),
    ("silu", uniform(10, -60, 60, 40) + uniform(20, -400, 400, 40) + uniform(21, 170, 260, 10)),
    ("gelu", uniform(13, -30, 30, 40) + uniform(22, -400, 400, 20) + uniform(23, 4, 21, 10) + uniform(24, -21, -4, 10)),
]


@pytest.mark.parametrize("name, xs", ACCURACY, ids=[a[0] for a in ACCURACY])
def test_transcendental_results_are_the_decided_floors(name, xs):
    # Against enclosures at 1200 bits: the floor of the exact value wherever
    # they decide it, a neighbour only next to the grid.
    assert_floors(name, xs, exact(getattr(zel, name)(make(xs))))


# Beyond these magnitudes the tail (1 - sigmoid, 1 - tanh, x - silu, x - gelu
# and their mirror images) is below one unit: from e^-x < 2^-256 (x > 177.4),
# 2 e^-2x < 2^-256 (x > 89.1), x e^-x < 2^-256 (x > 182.7) and
# (x/2) erfc(x / sqrt 2) < 2^-256 (x > 18.8).
FAR = [("sigmoid", 178, lambda x: 1 - ULP, lambda x: 0),
       ("tanh", 90, lambda x: 1 - ULP, lambda x: -1),
       ("silu", 183, lambda x: x - ULP, lambda x: -ULP),
       ("gelu", 19, lambda x: x - ULP, lambda x: -ULP)]


@pytest.mark.parametrize("name, start, right, left", FAR, ids=[f[0] for f in FAR])
def test_far_limits_are_one_unit_inside_the_asymptotes(name, start, right, left):
    xs = [start, start + Fraction(1, 3), 2 * start, 1000, 2**64 + ULP, 2**255, MAX - 1, MAX]
    xs = [floor_rule(x) for x in xs]
    expect_records(getattr(zel, name)(make(xs)), [right(x) for x in xs])
    expect_records(getattr(zel, name)(make([-x for x in xs])), [left(-x) for x in xs])


@pytest.mark.parametrize("name, xs, want", [
    ("exp", [0], [1]), ("log", [1], [0]), ("sin", [0], [0]), ("cos", [0], [1]), ("sqrt", [4], [2]),
    ("relu", [-2, 0, 3], [0, 0, 3]), ("sign", [-2, 0, 3], [-1, 0, 1]),
    ("log", [0, -1, MOST_NEGATIVE], [MOST_NEGATIVE] * 3),
    ("exp", [178, 200, MAX], [MAX] * 3),
])
def test_edge_values(name, xs, want):
    expect_records(getattr(zel, name)(make(xs)), want)


@pytest.mark.parametrize("name", ALL)
@pytest.mark.parametrize("shape, result_shape", [((3,), (3,)), ((2, 2), (2, 2)), ((), (1,))])
def test_shape_and_record_count(name, shape, result_shape):
    n = math.prod(shape)
    a = make([1] * n, shape)
    out = getattr(zel, name)(a)
    assert out._shape == result_shape and len(out._data) == n and out._data is not a._data


def test_involutions():
    a = make(EDGES)
    assert exact(zel.neg(zel.neg(a))) == exact(a)
    assert exact(zel.abs(zel.neg(a))) == exact(zel.abs(a))


def test_calling_conventions():
    assert zel.abs is not builtins.abs and zel._abs is builtins.abs
    assert exact(zel.neg(a=make([2]))) == [-2]
    with pytest.raises(TypeError, match=r"^neg\(\) takes exactly 1 positional argument \(0 given\)$"):
        zel.neg()
    with pytest.raises(AttributeError):
        zel.exp(1.5)
