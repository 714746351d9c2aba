"""Enclosures of the transcendental functions at 1200 bits and the records
the floor rule admits for them.

A value is split as A + T (scaled by 2^256): A an integer, T an mpf computed
to 1200 bits of relative precision, so that a tail next to a grid point (1 -
sigmoid(300) is 2^-433) keeps all its digits.  The exact value lies within
2^-1100 |T| of A + T: an interval, which decides the floor whenever it lies
inside one grid cell.
"""
import mpmath

SCALE = 1 << 256
MAX_SCALED = (1 << 512) - 1
PREC = 1200
# mpmath's functions are good to a few units in the last of 1200 bits.
SLACK = mpmath.mpf(2) ** -1100
# Closer than this to a grid point (in units 2^-256), a kernel may return the
# neighbour on that side: its working precision keeps at least 29 guard bits.
GUARD = mpmath.mpf(2) ** -29
# Stands for a positive tail far below 2^-256 where it cannot matter.
TINY = mpmath.mpf(2) ** -100000

# The activations written as A - b (or A + b) with A on the grid: far out,
# where 0 < b < one unit, their floor is documented to be exact.
TAILED = ("tanh", "sigmoid", "silu", "gelu")


def _tail_exp(x):
    """e^-x for x >= 0, as TINY when it cannot matter."""
    return TINY if x > 10**6 else mpmath.exp(-x)


def reference(fn, x):
    """(A, T) for fn at the Fraction x, at the working precision PREC."""
    xm = mpmath.mpf(x.numerator) / x.denominator
    ax = abs(xm)
    S = mpmath.mpf(SCALE)
    if fn == "exp":
        if xm > 200:
            return MAX_SCALED + 1, mpmath.mpf(0)
        return 0, mpmath.exp(xm) * S
    if fn == "log":
        if x <= 0:
            return -MAX_SCALED - 1, mpmath.mpf(0)
        return 0, mpmath.log(xm) * S
    if fn == "sin":
        return 0, mpmath.sin(xm) * S
    if fn == "cos":
        return 0, mpmath.cos(xm) * S
    if fn in ("atan", "_atan_taylor"):
        return 0, mpmath.atan(xm) * S
    if fn == "asin":
        if ax >= 1:
            return 0, mpmath.sign(xm) * mpmath.pi / 2 * S
        return 0, mpmath.asin(xm) * S
    if fn == "acos":
        if xm >= 1:
            return 0, mpmath.mpf(0)
        if xm <= -1:
            return 0, mpmath.pi * S
        return 0, mpmath.acos(xm) * S
    if fn == "tanh":
        e = _tail_exp(2 * ax)
        t = 2 * e / (1 + e) * S
        return (SCALE, -t) if x >= 0 else (-SCALE, t)
    if fn == "sigmoid":
        e = _tail_exp(ax)
        t = e / (1 + e) * S
        return (SCALE, -t) if x >= 0 else (0, t)
    if fn == "silu":
        e = _tail_exp(ax)
        t = ax * e / (1 + e) * S
        return (x.numerator * SCALE // x.denominator, -t) if x >= 0 else (0, -t)
    if fn == "gelu":
        t = TINY if ax > 10**6 else ax / 2 * mpmath.erfc(ax / mpmath.sqrt(2)) * S
        return (x.numerator * SCALE // x.denominator, -t) if x >= 0 else (0, -t)
    raise AssertionError(fn)


def admitted(fn, A, T):
    """The scaled records the floor rule admits for the exact value A + T,
    and whether the enclosure decided the floor.

    Undecided (the interval holds a grid point): either neighbour.  Decided:
    the floor itself, except within GUARD of a grid point, where the
    neighbour on that side may come instead.  No latitude on the grid itself,
    at saturation, or below a tail of the activations: their A - b with
    0 < b < one unit floors to A - 2^-256 exactly, and A + b to A."""
    err = abs(T) * SLACK
    lo, hi = int(mpmath.floor(T - err)), int(mpmath.floor(T + err))
    if lo != hi:
        return {A + lo, A + hi}, False
    want = A + lo
    if abs(want) >= MAX_SCALED:
        return {max(-MAX_SCALED, min(MAX_SCALED, want))}, True
    frac = T - lo
    tail = fn in TAILED and -1 < T < 1
    out = {want}
    if 0 < frac < GUARD and not tail:
        out.add(want - 1)
    if 1 - frac < GUARD and not (tail and T < 0):
        out.add(want + 1)
    return out, True


def assert_floors(fn, xs, got):
    """Each got[i] (a Fraction) is a record the floor rule admits for fn(xs[i])."""
    with mpmath.workprec(PREC):
        for x, g in zip(xs, got):
            ok, _ = admitted(fn, *reference(fn, x))
            assert g * SCALE in ok, (fn, x, g)
