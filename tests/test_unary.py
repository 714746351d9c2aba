"""The unary family: exact results of neg, abs, relu, sign and sqrt against
Fractions, the transcendental kernels against mpmath at 600 bits, the edge
rules of the numerical contract, and the calling conventions."""
import builtins
import math

import mpmath
import pytest

import tarnex.zel.zel as zel
from elementwise_ref import (EDGES, MAX, MOST_NEGATIVE, ONE_UNIT, exact, expect_records, log_uniform, make,
                             uniform, worst_error)
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


def gelu(x):
    # 0.5 x (1 + erf(x / sqrt 2)), with erfc so the far negative tail keeps its digits
    return x / 2 * mpmath.erfc(-x / mpmath.sqrt(2))


ACCURACY = [
    ("exp", mpmath.exp, uniform(1, -180, 177, 60)),
    ("log", mpmath.log, log_uniform(2, -255, 255, 60) + uniform(3, 0.5, 2, 20)),
    ("sin", mpmath.sin, uniform(4, -10, 10, 40) + log_uniform(5, 3, 255, 30, signed=True)),
    ("cos", mpmath.cos, uniform(6, -10, 10, 40) + log_uniform(7, 3, 255, 30, signed=True)),
    ("tanh", mpmath.tanh, uniform(8, -60, 60, 60)),
    ("sigmoid", lambda x: 1 / (1 + mpmath.exp(-x)), uniform(9, -60, 60, 60)),
    ("silu", lambda x: x / (1 + mpmath.exp(-x)), uniform(10, -60, 60, 60)),
    ("gelu", gelu, uniform(13, -30, 30, 60)),
]


@pytest.mark.parametrize("name, f, xs", ACCURACY, ids=[a[0] for a in ACCURACY])
def test_transcendental_accuracy(name, f, xs):
    # The kernels promise an absolute error below one unit, 2^-256, on the
    # whole range (exp up to its saturation included).
    got = exact(getattr(zel, name)(make(xs)))
    assert worst_error(got, xs, f) < ONE_UNIT


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
