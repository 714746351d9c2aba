"""The inverse-trigonometric kernels against enclosures at 1200 bits, the
compositions against mpmath at 600 bits, atan's reductions (including arguments beyond 2^64 and empty
tensors), and pi from its decimal digits with the precision it leaves set."""
import decimal
import math
import random
import struct
from decimal import Decimal
from fractions import Fraction

import mpmath
import numpy as np
import pytest

import tarnex.zel.zel as zel
from elementwise_ref import ULP, exact, expect_records, log_uniform, make, mp, uniform, worst_error
from interval_ref import assert_floors
from reference import SCALE, device_records, records

PI_DIGITS = "3.14159265358979323846264338327950288419716939937510"


@pytest.fixture(autouse=True)
def keep_decimal_precision():
    prec = decimal.getcontext().prec
    yield
    decimal.getcontext().prec = prec


def double_pi_over(n):
    """pi/n as the double nearest to the 60-digit quotient (tensor stores a double exactly)."""
    with decimal.localcontext(prec=60):
        return Fraction(float(Decimal(PI_DIGITS) / Decimal(n)))


KERNELS = [
    ("asin", uniform(1, -1, 1, 60) + [1, -1, 0, 1 - ULP, -1 + ULP]),
    ("acos", uniform(2, -1, 1, 60) + [1, -1, 0, 1 - ULP, -1 + ULP]),
    ("_atan_taylor", uniform(3, -0.5 + 1e-9, 0.5, 60) + [ULP, -ULP]),
]


@pytest.mark.parametrize("name, xs", KERNELS, ids=[k[0] for k in KERNELS])
def test_kernels_give_the_decided_floors(name, xs):
    assert_floors(name, xs, exact(getattr(zel, name)(make(xs))))


@pytest.mark.parametrize("name, outside, edge", [("asin", 1.5, 1), ("asin", -7, -1), ("acos", 2**70, 1),
                                                 ("acos", -1 - ULP, -1)])
def test_inverse_sine_and_cosine_clamp_their_argument(name, outside, edge):
    f = getattr(zel, name)
    assert records(f(make([outside]))._data) == records(f(make([edge]))._data)


# Compositions round every intermediate, so they are held to a few bits less.
COMPOSED = [
    ("tan", mpmath.tan, uniform(4, -1.2, 1.2, 30)),
    ("sinh", mpmath.sinh, uniform(5, -100, 100, 30)),
    ("cosh", mpmath.cosh, uniform(6, -100, 100, 30)),
    ("asinh", mpmath.asinh, uniform(7, -10, 10, 20) + log_uniform(8, 0, 20, 10)),
    ("acosh", mpmath.acosh, uniform(9, 1.5, 1000, 30)),
    ("atanh", mpmath.atanh, uniform(10, -0.9, 0.9, 30)),
]


@pytest.mark.parametrize("name, f, xs", COMPOSED, ids=[c[0] for c in COMPOSED])
def test_compositions(name, f, xs):
    assert worst_error(exact(getattr(zel, name)(make(xs))), xs, f, bits=240, relative=True) <= 1


@pytest.mark.parametrize("name, ln_base", [("log2", 0.693147180559945), ("log10", 2.302585092994046)])
def test_log2_and_log10_divide_by_the_double_logarithm(name, ln_base):
    xs = log_uniform(11, -100, 200, 20)
    c = mp(Fraction(ln_base))
    assert worst_error(exact(getattr(zel, name)(make(xs))), xs, lambda x: mpmath.log(x) / c, 240, True) <= 1
    eight = float(exact(zel.log2(make([8])))[0])
    assert eight != 3 and abs(eight - 3) < 1e-14


ATAN_CASES = [Fraction(1, 4), Fraction(1, 2), 1, 2, -3, Fraction(-1, 2) + ULP, Fraction(7, 10), -(2**64) - ULP,
              2**64 + Fraction(1, 4), 2**100, -(2**255), Fraction(1, 2**64)]


def test_atan_with_reduction_is_within_double_pi():
    # The pi/4 and pi/2 terms are doubles: about 1e-16 from the true values.
    got = exact(zel.atan(make(ATAN_CASES)))
    with mpmath.workprec(600):
        for g, x in zip(got, ATAN_CASES):
            assert abs(mp(g) - mpmath.atan(mp(x))) < 4e-16, x
            assert (g > 0) == (x > 0)


def test_atan_cases():
    # Below one half the Taylor kernel alone; at one the ratio is zero.
    small = make([Fraction(1, 4), Fraction(-49, 100)])
    assert records(zel.atan(small)._data) == records(zel._atan_taylor(small)._data)
    expect_records(zel.atan(make([1])), [double_pi_over(4)])
    # Beyond 2^64 the magnitude is still read in full: pi/2 - atan(1/x).
    big = make([2**64 + Fraction(1, 4)])
    reduced = zel.sub(zel.pi_half(), zel._atan_taylor(zel.div(zel.tensor(1.0), big)))
    assert records(zel.atan(big)._data) == records(reduced._data)
    expect_records(zel.atan2(make([1]), make([-1])), [-double_pi_over(4)])


def _estimate(raw):
    """The double atan classifies a record by: all integer limbs, the top
    64 fraction bits, the sign field read as the kernels read it."""
    sign, _pad, *limbs = struct.unpack("<ii8Q", raw)
    whole = 0.0
    for limb in reversed(limbs[4:]):
        whole = whole * 2.0**64 + float(limb)
    v = whole + float(limbs[3]) / 2.0**64
    return -v if sign == -1 else v


def _atan_composed(single, x):
    """atan of one record as a sequence of module calls, each one rounded:
    the argument reduction atan's kernel must reproduce byte for byte."""
    mag = abs(x)
    if mag < 0.5:
        return zel._atan_taylor(single)
    abs_x = zel.neg(single) if x < 0 else single
    if mag <= 1.0:
        one = zel.tensor(1.0)
        ratio = zel.div(zel.sub(abs_x, one), zel.add(abs_x, one))
        result = zel.add(zel.pi_quarter(), zel._atan_taylor(ratio))
    else:
        recip = zel.div(zel.tensor(1.0), abs_x)
        inner = _atan_composed(recip, _estimate(records(recip._data)[0]))
        result = zel.sub(zel.pi_half(), inner)
    return zel.neg(result) if x < 0 else result


def _record(sign, mag):
    return struct.pack("<ii8Q", sign, 0, *[(mag >> (64 * i)) & (2**64 - 1) for i in range(8)])


def _atan_battery():
    rng = random.Random(44)
    raws = [_record(s, v * SCALE) for v in range(4) for s in (1, -1, 0, 7)]
    # Either side of the thresholds 0.5 and 1 and of 2 (whose reciprocal is
    # the first threshold), by amounts the double estimate can and cannot see.
    for base in (SCALE // 2, SCALE, 2 * SCALE):
        for d in [0, 1, 2**100, 2**190, 2**200, 2**203, 2**204, 2**250]:
            raws += [_record(s, base + e) for s in (1, -1) for e in {d, -d}]
    raws += [_record(1, 2**512 - 1), _record(-1, 2**320), _record(1, 2**64 * SCALE), _record(-1, 2**64 * SCALE - 1)]
    raws += [_record(rng.choice([1, -1, 0]), rng.getrandbits(rng.choice([64, 250, 258, 300, 512])))
             for _ in range(60)]
    raws += [_record(rng.choice([1, -1]), rng.randrange(5 * SCALE)) for _ in range(60)]
    return raws


def test_atan_is_the_composed_reduction_byte_for_byte():
    raws = _atan_battery()
    host = np.frombuffer(b"".join(raws), dtype=zel.FIXEDPOINT_DTYPE)
    t = zel.Tensor(_raw=device_records(zel, host), shape=(len(raws),))
    got = records(zel.atan(t)._data)
    for i, raw in enumerate(raws):
        single = zel.Tensor(_raw=t._data[i:i + 1], shape=())
        assert got[i] == records(_atan_composed(single, _estimate(raw))._data)[0], i


@pytest.mark.parametrize("shape, result_shape", [((2, 2), (2, 2)), ((1,), (1,)), ((), (1,)), ((0,), (0,)),
                                                 ((2, 0), (2, 0))])
def test_atan_shapes(shape, result_shape):
    a = make([Fraction(3, 10)] * math.prod(shape), shape)
    out = zel.atan(a)
    assert out._shape == result_shape and len(out._data) == math.prod(shape)


def test_pi_functions():
    expect_records(zel.pi(), [Fraction(3.141592653589793)])
    assert decimal.getcontext().prec == 60
    assert zel.pi()._shape == () and zel.PI_STR == PI_DIGITS
    assert records(zel.pi_over(1)._data) == records(zel.pi()._data)
    for n, t in [(2, zel.pi_half()), (4, zel.pi_quarter()), (3, zel.pi_over(3)), (4, zel.pi_over(4.7)),
                 (-6, zel.pi_over(-6)), (10**30, zel.pi_over(10**30))]:
        expect_records(t, [double_pi_over(n)])


def test_pi_over_argument_and_zero():
    with pytest.raises(TypeError, match=r"^Argument 'n' has incorrect type \(expected int, got str\)$"):
        zel.pi_over("4")
    with pytest.raises(ZeroDivisionError, match="pi_over"):
        zel.pi_over(0)
    with pytest.raises(TypeError, match=r"^pi\(\) takes no arguments \(1 given\)$"):
        zel.pi(2)
