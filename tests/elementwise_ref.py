"""Shared oracles of the element-wise tests: exact records from Fractions,
random records by seed, and the error measure against mpmath."""
import math
import random
from fractions import Fraction

import mpmath

import tarnex.zel.zel as zel
from reference import SCALE, record_bytes, records

ULP = Fraction(1, SCALE)
MAX = Fraction(2**512 - 1, SCALE)
MOST_NEGATIVE = -MAX


def floor_rule(q):
    """The record value of an exact rational: floor to 2^-256, saturated."""
    v = Fraction(math.floor(Fraction(q) * SCALE), SCALE)
    return max(MOST_NEGATIVE, min(MAX, v))


def make(values, shape=None):
    t = zel.tensor([Fraction(v) for v in values])
    return t if shape is None else zel.Tensor(_raw=t._data, shape=shape)


def exact(t):
    """The exact Fractions held by a tensor or a record array."""
    return zel.from_gpu(getattr(t, "_data", t), as_float=False)


def expect_records(t, values):
    """Record-for-record equality with the exact values (so a zero must be +0)."""
    assert records(t._data) == [record_bytes(int(floor_rule(v) * SCALE)) for v in values]


def uniform(seed, lo, hi, count):
    rng = random.Random(seed)
    return [Fraction(rng.randrange(int(lo * SCALE), int(hi * SCALE)), SCALE) for _ in range(count)]


def log_uniform(seed, lo_bits, hi_bits, count, signed=False):
    """Records of magnitude 2^k, k uniform in [lo_bits, hi_bits) (bits above the point)."""
    rng = random.Random(seed)
    out = []
    for _ in range(count):
        k = rng.randrange(lo_bits + 256, hi_bits + 256)
        q = Fraction(rng.randrange(2 ** (k - 1), 2**k), SCALE)
        out.append(-q if signed and rng.random() < 0.5 else q)
    return out


EDGES = [0, ULP, -ULP, Fraction(1, 2), Fraction(-1, 2), 1, -1, Fraction(3, 2), Fraction(-5, 2), 1 - ULP, -1 + ULP,
         7, -7, 2**64, 2**64 + Fraction(1, 4), -(2**200) - ULP, 2**255, MAX, MOST_NEGATIVE]


def mp(q):
    return mpmath.mpf(q.numerator) / q.denominator


# Where f(x) lies a hair above a record (x - gelu(x) ~ 1e-190 far out), the
# floored result is one unit minus that hair below f(x); the 600-bit
# reference itself is that close only to within ~2^-340 units.
ONE_UNIT = 1 + mpmath.mpf(2) ** -300


def worst_error(got, xs, f, bits=256, relative=False):
    """The largest error of got[i] against f(xs[i]) at 600 bits, in units of
    2^-bits (times max(1, |f(x)|) when relative)."""
    worst = 0
    with mpmath.workprec(600):
        for g, x in zip(got, xs):
            want = f(mp(x))
            err = abs(mp(g) - want) / (max(1, abs(want)) if relative else 1)
            worst = max(worst, err * mpmath.mpf(2) ** bits)
    return worst
