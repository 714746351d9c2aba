"""Independent pure-Python statements of the record format, used as oracles."""
from decimal import Decimal
from fractions import Fraction
import struct

SCALE = 2**256


def exact_rational(val):
    """The exact rational a value stands for, read the way the format reads it."""
    if isinstance(val, bool) or isinstance(val, int):
        return Fraction(val)
    if isinstance(val, float):
        return Fraction(val).limit_denominator(10**15)
    if isinstance(val, Decimal):
        sign, digits, exp = val.as_tuple()
        num = int("".join(str(d) for d in digits))
        if sign:
            num = -num
        return Fraction(num * 10**exp) if exp >= 0 else Fraction(num, 10 ** (-exp))
    if isinstance(val, str):
        return Fraction(Decimal(val))
    return Fraction(val)


def scaled(q):
    """floor(q * 2^256)."""
    q = Fraction(q)
    return (q.numerator * SCALE) // q.denominator


def record_bytes(s):
    """The 72 bytes of the record whose scaled value is the integer s."""
    mag = abs(s)
    assert mag < 2**512
    limbs = [(mag >> (64 * i)) & (2**64 - 1) for i in range(8)]
    return struct.pack("<ii8Q", -1 if s < 0 else 1, 0, *limbs)


def record_of(val):
    return record_bytes(scaled(exact_rational(val)))


def value_of(raw):
    """The exact Fraction of 72 record bytes."""
    sign, _pad, *limbs = struct.unpack("<ii8Q", raw)
    mag = sum(l << (64 * i) for i, l in enumerate(limbs))
    return Fraction(sign * mag, SCALE)


def records(arr):
    """Record byte strings of a device array."""
    raw = arr.get().tobytes()
    return [raw[i:i + 72] for i in range(0, len(raw), 72)]


def device_records(zel, host):
    """A device copy of a host record array, moved as bytes (the GPU array
    library need not convert record dtypes itself)."""
    import numpy as np

    host = np.ascontiguousarray(host, dtype=zel.FIXEDPOINT_DTYPE)
    out = zel.cp.empty(len(host), dtype=zel.FIXEDPOINT_DTYPE)
    out.data.copy_from_host(host.ctypes.data, host.nbytes)
    return out
