"""Host conversions, the two conversion kernels and list transfer, checked
against an independent Fraction statement of the format."""
import math
import struct
from decimal import Decimal, InvalidOperation
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from reference import SCALE, device_records, record_bytes, record_of, records, scaled, value_of

LIMIT = 2**256


def rec(zel, v):
    return zel._value_to_fp(v).tobytes()


# --- layout -------------------------------------------------------------------

@pytest.mark.parametrize("value, sign, limbs", [
    (0, 1, {}), (-0.0, 1, {}), (Decimal("-0"), 1, {}), ("-0.000", 1, {}),
    (1, 1, {4: 1}), (True, 1, {4: 1}), (-0.5, -1, {3: 2**63}),
    (2**255, 1, {7: 2**63}), (Fraction(1, 2**256), 1, {0: 1}),
])
def test_record_layout(zel, value, sign, limbs):
    r = zel._value_to_fp(value)
    assert r["sign"] == sign and r["pad"] == 0
    assert [int(r[f"limb{i}"]) for i in range(8)] == [limbs.get(i, 0) for i in range(8)]
    assert isinstance(r, np.void) and r.dtype == zel.FIXEDPOINT_DTYPE


# --- exact host conversion ------------------------------------------------------

@pytest.mark.parametrize("value", [
    0.1, "0.1", Fraction(1, 10), 3.14159, "3.14159", 1e-20, "1e-20", Fraction(-1, 3), Fraction(1, 3),
    Decimal("1.5E+3"), Decimal("-7.25"), "  -12.5e-3 ", "+.5", "5.", "1_000.5", 2**200 + 1, -(2**255),
    np.float64(2.5), 1 / 3, -1e-300, "-1e-200", Decimal("-1e-90"), 5e-16, -4.9e-16, 123456789.123456789,
    "٣.١٤", 7.0e75, "115792089237316195423570985008687907853269984665640564039457584007913129639935",
])
def test_value_to_fp_matches_the_rational_reading(zel, value):
    assert rec(zel, value) == record_of(value)


def test_float_and_string_readings_differ_where_they_should(zel):
    assert rec(zel, 0.1) == rec(zel, "0.1") == rec(zel, Fraction(1, 10))
    assert rec(zel, 3.14159) != rec(zel, "3.14159")
    assert rec(zel, 1e-20) == rec(zel, 0) and rec(zel, "1e-20") != rec(zel, 0)
    third, minus_third = zel._value_to_fp(Fraction(1, 3)), zel._value_to_fp(Fraction(-1, 3))
    assert int(minus_third["limb0"]) == int(third["limb0"]) + 1
    assert zel._fp_to_value(zel._value_to_fp(0.1)) == Fraction(SCALE // 10, SCALE)


@pytest.mark.parametrize("value, exc, message", [
    (float("nan"), ValueError, "cannot convert NaN to integer ratio"),
    (float("inf"), OverflowError, "cannot convert Infinity to integer ratio"),
    ("nan", ValueError, "cannot convert NaN to integer ratio"),
    ("-Infinity", OverflowError, "cannot convert Infinity to integer ratio"),
    (Decimal("NaN"), ValueError, "cannot convert NaN to integer ratio"),
    (Decimal("Infinity"), OverflowError, "cannot convert Infinity to integer ratio"),
    (2**256, OverflowError, "Value out of FixedPoint range"),
    (-(2**256), OverflowError, "Value out of FixedPoint range"),
    (Fraction(-(2**513) + 1, 2**257), OverflowError, "Value out of FixedPoint range"),
    (1.2e77, OverflowError, "Value out of FixedPoint range"),
    ("1e999999999", OverflowError, "Value out of FixedPoint range"),
    ("1e99999999999999999999999", OverflowError, "Value out of FixedPoint range"),
    (None, TypeError, None), (object(), TypeError, None), ([1], TypeError, None),
])
def test_value_to_fp_errors(zel, value, exc, message):
    with pytest.raises(exc) as info:
        zel._value_to_fp(value)
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize("text", ["1/3", "abc", "", "1e", "--1", "1.2.3"])
def test_bad_strings_raise_invalid_operation(zel, text):
    with pytest.raises(InvalidOperation):
        zel._value_to_fp(text)


def test_tiny_decimals_floor_in_constant_time(zel):
    assert rec(zel, Decimal("1e-999999999")) == record_bytes(0)
    assert rec(zel, Decimal("-1e-999999999")) == record_bytes(-1)
    assert rec(zel, "-1e-99999999999999999999") == record_bytes(-1)
    assert rec(zel, "0e999999999") == record_bytes(0)


def test_fp_to_value_and_limb_helpers(zel):
    assert zel._fp_to_value(zel._value_to_fp(Fraction(-7, 8))) == Fraction(-7, 8)
    rec0 = {"sign": 0, **{f"limb{i}": 0 for i in range(8)}}
    assert zel._fp_to_value(rec0) == 0
    assert list(zel._int_to_limbs(2**512 + 5)) == list(zel._int_to_limbs(5))
    assert list(zel._int_to_limbs(-7)) == [7, 0, 0, 0, 0, 0, 0, 0]
    assert zel._int_to_limbs(3.9).dtype == np.uint64 and zel._int_to_limbs(3.9)[0] == 3
    with pytest.raises(TypeError, match=r"Argument 'val' has incorrect type \(expected int, got str\)"):
        zel._int_to_limbs("3")
    limbs = [i * 2**60 + 1 for i in range(8)]
    assert zel._limbs_to_int(limbs) == sum(l << (64 * i) for i, l in enumerate(limbs))


@settings(max_examples=300, deadline=None)
@given(st.integers(-(2**512) + 1, 2**512 - 1))
def test_exact_round_trip_of_every_multiple_of_the_resolution(zel, s):
    q = Fraction(s, SCALE)
    r = zel._value_to_fp(q)
    assert r.tobytes() == record_bytes(s)
    assert zel._fp_to_value(r) == q


@settings(max_examples=300, deadline=None)
@given(st.fractions(max_denominator=2**300).filter(lambda q: abs(q) < LIMIT))
def test_fractions_follow_the_floor_rule(zel, q):
    assert rec(zel, q) == record_bytes(scaled(q))


@settings(max_examples=300, deadline=None)
@given(st.floats(allow_nan=False, allow_infinity=False).filter(lambda x: abs(x) < LIMIT))
def test_floats_follow_limit_denominator(zel, x):
    assert rec(zel, x) == record_bytes(scaled(Fraction(x).limit_denominator(10**15)))


@settings(max_examples=200, deadline=None)
@given(st.decimals(allow_nan=False, allow_infinity=False, places=None).filter(
    lambda d: abs(d) < Decimal(2) ** 255))
def test_decimals_and_their_strings(zel, d):
    assert rec(zel, d) == record_of(d) == rec(zel, str(d))


# --- transfer -----------------------------------------------------------------

def test_to_gpu_requires_a_list(zel):
    for bad in [(1, 2), None, np.array([1.0])]:
        with pytest.raises(TypeError, match=r"Argument 'values' has incorrect type \(expected list, got "):
            zel.to_gpu(bad)

    class L(list):
        pass

    with pytest.raises(TypeError, match="expected list, got L"):
        zel.to_gpu(L([1]))


def test_empty_transfers(zel):
    empty = zel.to_gpu([])
    assert len(empty) == 0 and empty.dtype == zel.FIXEDPOINT_DTYPE
    assert zel.from_gpu(empty) == [] and zel.from_gpu(empty, as_float=False) == []


def test_path_is_chosen_by_the_first_element(zel):
    exact = records(zel.to_gpu([Fraction(1, 3), 0.5]))
    assert exact == [record_of(Fraction(1, 3)), record_of(0.5)]
    fast = records(zel.to_gpu([0.5, Fraction(1, 3)]))
    assert fast[1] == record_bytes(scaled(Fraction(1 / 3)))
    assert records(zel.to_gpu([2**60 + 1])) == [record_bytes(2**60 * SCALE)]
    assert records(zel.to_gpu([str(2**60 + 1)])) == [record_bytes((2**60 + 1) * SCALE)]
    assert records(zel.to_gpu([np.int64(7), np.float32(0.5), True])) == [
        record_bytes(7 * SCALE), record_bytes(SCALE // 2), record_bytes(SCALE)]
    with pytest.raises(TypeError):
        zel.to_gpu([[1, 2], [3, 4]])  # a list leaf takes the exact path


def test_fast_and_exact_paths_may_differ_for_the_same_float(zel):
    x = 3.14159
    assert records(zel.to_gpu([x]))[0] == record_bytes(scaled(Fraction(x)))
    assert records(zel.to_gpu([Fraction(0), x]))[1] == record_of(x)
    assert record_of(x) != record_bytes(scaled(Fraction(x)))


@pytest.mark.parametrize("values, exc, message", [
    ([1.0, float("nan")], ValueError, "cannot convert NaN to integer ratio"),
    ([1.0, float("-inf")], OverflowError, "cannot convert Infinity to integer ratio"),
    ([1.0, 2.0**256], OverflowError, "Value out of FixedPoint range"),
    ([0, -1.5e300], OverflowError, "Value out of FixedPoint range"),
    ([Fraction(1), 2**300], OverflowError, "Value out of FixedPoint range"),
])
def test_unrepresentable_values_never_reach_a_kernel(zel, values, exc, message):
    with pytest.raises(exc, match=message):
        zel.to_gpu(values)


def test_from_gpu(zel):
    arr = zel.to_gpu(["0.1", "-2.75", str(2**200)])
    assert zel.from_gpu(arr) == [0.1, -2.75, float(2**200)]
    fracs = zel.from_gpu(arr, as_float=False)
    assert all(type(f) is Fraction for f in fracs)
    assert all(f.denominator & (f.denominator - 1) == 0 and f.denominator <= SCALE for f in fracs)
    assert fracs == [value_of(r) for r in records(arr)]
    with pytest.raises(TypeError):
        zel.from_gpu(arr[0])


def test_copy_arr(zel):
    arr = zel.to_gpu(["1.5", "-3", "7"])
    copy = zel._copy_arr(arr)
    assert records(copy) == records(arr)
    copy.data.copy_from_device(arr[1:2].data, 72)  # write into the copy
    assert records(arr)[0] == record_of("1.5")
    single = zel._copy_arr(arr[1])
    assert single.shape == (1,) and records(single) == [record_of("-3")]
    strided = zel._copy_arr(arr[::-1])
    assert records(strided) == records(arr)[::-1]


def test_launch_refuses_short_foreign_or_strided_operands(zel):
    recs = zel.to_gpu([1.0, 2.0, 3.0])
    with pytest.raises(ValueError, match=r"Size mismatch: tensor shape \(3,\) does not match its 1 records"):
        zel.add(zel.Tensor(_raw=recs, shape=(3,)), zel.Tensor(_raw=recs[:1], shape=(3,)))
    with pytest.raises(ValueError, match="72-byte elements"):
        zel.from_gpu(zel.cp.zeros(3, dtype=np.float64))
    with pytest.raises(ValueError, match="contiguous"):
        zel.from_gpu(recs[::-1])


def test_grid(zel):
    assert [zel._grid(n) for n in (0, 1, 256, 257, 1000)] == [0, 1, 1, 2, 4]


# --- the conversion kernels against exact arithmetic ------------------------------

def kernel_from_doubles(zel, xs):
    src = zel.cp.asarray(np.asarray(xs, dtype=np.float64))
    out = zel.cp.empty(len(xs), dtype=zel.FIXEDPOINT_DTYPE)
    zel._get_kernel("fp_from_double_kernel")((zel._grid(len(xs)),), (zel.BLOCK_SIZE,), (src, out, np.int32(len(xs))))
    return records(out)


@settings(max_examples=100, deadline=None)
@given(st.lists(st.floats(allow_nan=False, allow_infinity=False, width=64).filter(lambda x: abs(x) < LIMIT),
                min_size=1, max_size=40))
def test_from_double_kernel_is_the_exact_floor(zel, xs):
    assert kernel_from_doubles(zel, xs) == [record_bytes(scaled(Fraction(x))) for x in xs]


def test_from_double_kernel_edges(zel):
    xs = [0.0, -0.0, 5e-324, -5e-324, 2.0**-204, -(2.0**-205), 2.0**255, -(2.0**256 - 2.0**203)]
    assert kernel_from_doubles(zel, xs) == [record_bytes(scaled(Fraction(x))) for x in xs]
    # Doubles the host refuses still saturate or vanish inside the kernel.
    sat = kernel_from_doubles(zel, [math.inf, -math.inf, math.nan, 1e300])
    top = 2**512 - 1
    assert sat == [record_bytes(top), record_bytes(-top), record_bytes(0), record_bytes(top)]


@settings(max_examples=200, deadline=None)
@given(st.lists(st.integers(-(2**512) + 1, 2**512 - 1), min_size=1, max_size=40))
def test_to_double_kernel_rounds_like_float_of_the_fraction(zel, ss):
    raw = b"".join(record_bytes(s) for s in ss)
    host = np.frombuffer(raw, dtype=zel.FIXEDPOINT_DTYPE)
    dev = device_records(zel, host)
    assert zel.from_gpu(dev) == [float(Fraction(s, SCALE)) for s in ss]


def test_to_double_kernel_ties_and_foreign_signs(zel):
    # Halfway cases round to even, like float() of the exact rational.
    ss = [(2**53 + 1) << 10, (2**53 + 3) << 10, ((2**53 + 1) << 10) + 1, 2**511 + 2**458]
    raw = b"".join(record_bytes(s) for s in ss)
    # A sign-0 record (the constructor's zero) and a stray sign value read as non-negative.
    raw += struct.pack("<ii8Q", 0, 0, 0, 0, 0, 0, 1, 0, 0, 0) + struct.pack("<ii8Q", 5, 9, 0, 0, 0, 0, 2, 0, 0, 0)
    dev = device_records(zel, np.frombuffer(raw, dtype=zel.FIXEDPOINT_DTYPE))
    assert zel.from_gpu(dev) == [float(Fraction(s, SCALE)) for s in ss] + [1.0, 2.0]
