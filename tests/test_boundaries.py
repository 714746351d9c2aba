"""Both sides of every threshold of the conversions, the floor rule, the
saturation and the multimodular determinant.  Each case comes from the
threshold's own definition (2^-256 against powers of ten, the bits a double
loses below 2^-204, the 10^15 bound of limit_denominator, the primes that
Hadamard's bound asks for), never from a run of the module."""
import math
from decimal import Decimal
from fractions import Fraction

import pytest

import tarnex.zel.zel as zel
from elementwise_ref import MAX, ULP, exact, expect_records, floor_rule, make
from exact_reference import decimal_double
from exact_reference import det as ref_det
from reference import SCALE, record_bytes, record_of, records, scaled

TWO_256 = Fraction(2**256)   # 1.1579e77; 2^-256 is 8.636e-78


def rec(value):
    return zel._value_to_fp(value).tobytes()


# --- decimals: the adjusted-exponent cut-offs at 10^-79 and 10^78 ----------------

@pytest.mark.parametrize("text", [
    "9e-78", "8.7e-78", "8.6e-78", "1e-78", "90e-79", "0.0000009e-71", "8.636168555094444625386e-78",
    "9.99e-79", "1e-79", "0.1e-77", "123e-80",
    "1e77", "1.15e77", "00.1e78", "115792089237316195423570985008687907853269984665640564039457584007913129639935.999",
])
@pytest.mark.parametrize("sign", ["", "-"])
def test_decimals_next_to_the_cut_offs(text, sign):
    q = Fraction(Decimal(sign + text))
    assert abs(q) < TWO_256
    want = record_bytes(scaled(q))
    assert rec(sign + text) == want
    assert rec(Decimal(sign + text)) == want


def test_decimal_results_on_each_side_of_one_unit():
    # 2^-256 lies between 8.6e-78 and 8.7e-78: one unit above, zero below,
    # and the mirror images floor to -2 and -1 units.
    assert [rec(t) for t in ["8.7e-78", "8.6e-78", "-8.7e-78", "-8.6e-78", "-1e-999"]] == [
        record_bytes(1), record_bytes(0), record_bytes(-2), record_bytes(-1), record_bytes(-1)]


@pytest.mark.parametrize("text", ["1.158e77", "1e78", "9.99e77", "0.00002e82", "10e77",
                                  "115792089237316195423570985008687907853269984665640564039457584007913129639936"])
@pytest.mark.parametrize("sign", ["", "-"])
def test_decimals_at_or_above_2_to_the_256_are_refused(text, sign):
    assert abs(Fraction(Decimal(text))) >= TWO_256
    for value in (sign + text, Decimal(sign + text)):
        with pytest.raises(OverflowError, match="^Value out of FixedPoint range$"):
            zel._value_to_fp(value)


# --- floats: the denominator bound 10^15 of limit_denominator --------------------

FLOATS = [1 + 2.0**-49, 1 + 2.0**-50, 3 * 2.0**-50, 2.0**-49, 2.0**-50, 5e-16, math.nextafter(5e-16, 0),
          math.nextafter(5e-16, 1), 1e-15, 0.1, 2.0**52 + 0.5, 1e15 + 0.5]


@pytest.mark.parametrize("x", FLOATS + [-x for x in FLOATS])
def test_floats_on_both_sides_of_the_denominator_bound(x):
    # 2^49 < 10^15 < 2^50: a float with denominator 2^49 is its own best
    # approximation, one with 2^50 is not (1 + 2^-50 becomes 1 + 10^-15).
    want = Fraction(x).limit_denominator(10**15)
    assert rec(x) == record_bytes(scaled(want))
    assert records(zel.to_gpu([Fraction(0), x]))[1] == record_bytes(scaled(want))


def test_float_bound_examples():
    assert Fraction(1 + 2.0**-50).limit_denominator(10**15) == Fraction(10**15 + 1, 10**15)
    assert rec(1 + 2.0**-50) == record_of(Fraction(10**15 + 1, 10**15))
    assert rec(1 + 2.0**-49) == record_of(Fraction(2**49 + 1, 2**49))
    assert rec(math.nextafter(5e-16, 0)) == rec(-math.nextafter(5e-16, 0)) == record_bytes(0)


# --- doubles through the kernel: the bits lost below 2^-204 ------------------------

def doubles_below_2_to_the_minus_204():
    """x = m 2^(-256 - rs): the kernel keeps m >> rs and drops rs bits; each
    pattern of dropped bits (none, the half unit alone, the lowest alone,
    both, all), for rs on both sides of every limb and mantissa boundary."""
    out = []
    for rs in [1, 2, 11, 51, 52, 53, 54, 63, 64, 65, 100, 200]:
        top = 1 << 52
        half = 1 << (rs - 1) if rs <= 53 else 0
        for m in {(2**53 - 1) >> rs << rs if rs <= 52 else top, top | half, top | 1, top | half | 1, 2**53 - 1}:
            out.append(math.ldexp(m, -256 - rs))
    return out


def test_doubles_below_2_to_the_minus_204_floor_exactly():
    xs = doubles_below_2_to_the_minus_204()
    xs += [-x for x in xs]
    assert records(zel.to_gpu(xs)) == [record_bytes(math.floor(Fraction(x) * SCALE)) for x in xs]


# --- saturation edges, the grid, and Knuth D's rare correction ---------------------

# Digits (little-endian, base 2^64) 0, 0, 2^63, 2^63 - 1 over 1, 0, 2^63: the
# quotient digit estimated from the top digits is one too large even after
# the refinement, so algorithm D must add the divisor back (Knuth 4.3.1,
# step D6).  As records: a's limbs are the dividend, b = 1 + 2^191 the divisor.
ADD_BACK = Fraction(2**63 * 2**128 + (2**63 - 1) * 2**192, SCALE), 1 + 2**191

@pytest.mark.parametrize("name, a, b, exact_value", [
    ("add", MAX - ULP, ULP, MAX), ("add", MAX, ULP, TWO_256), ("add", -MAX, -ULP, -TWO_256),
    ("add", MAX, -MAX, 0), ("sub", -MAX + ULP, ULP, -MAX), ("sub", -MAX, ULP, -TWO_256),
    ("mul", 2**128, 2**128 - ULP, TWO_256 - Fraction(1, 2**128)), ("mul", 2**128, 2**128, TWO_256),
    ("mul", -(2**128), 2**128, -TWO_256), ("mul", -ULP, Fraction(1, 2), -ULP / 2), ("mul", -ULP, 3 * ULP, -3 * ULP**2),
    ("div", 1 - ULP, ULP, 2**256 - 1), ("div", 1, ULP, TWO_256), ("div", -1, ULP, -TWO_256),
    ("div", -(1 + ULP), 2**64, -(1 + ULP) / 2**64), ("div", 1 + ULP, 2**64, (1 + ULP) / 2**64),
    ("div", *ADD_BACK, ADD_BACK[0] / ADD_BACK[1]), ("div", -ADD_BACK[0], ADD_BACK[1], -ADD_BACK[0] / ADD_BACK[1]),
])
def test_results_next_to_the_range_and_the_grid(name, a, b, exact_value):
    expect_records(getattr(zel, name)(make([a]), make([b])), [floor_rule(exact_value)])


def test_cumsum_and_pow_saturate_only_out_of_range():
    expect_records(zel.cumsum(make([MAX, ULP, -ULP])), [MAX, MAX, MAX])
    expect_records(zel.cumsum(make([-MAX, -ULP, ULP, ULP])), [-MAX, -MAX, -MAX, -MAX + ULP])
    expect_records(zel.pow(make([2, -2, 2, -2]), 255), [2**255, -(2**255), 2**255, -(2**255)])
    expect_records(zel.pow(make([2, -2]), 256), [MAX, MAX])
    expect_records(zel.pow(make([-2]), 257), [-MAX])


def test_softmax_when_exp_leaves_the_range():
    # Shifted by the row maximum, every exponential lies in (0, 1]; beyond
    # 256 ln 2 = 177.4 below the maximum it floors to 0, so these rows are
    # exact one-hot vectors.  Shifted by anything less than the maximum,
    # exp(400 - 1) would saturate.
    rows = [[0, 1, 400], [5, -300, -300], [-300, 7, 7], [200, 0, 200]]
    half = Fraction(1, 2)
    expect_records(zel.softmax(make(sum(rows, []), (4, 3))), [0, 0, 1, 1, 0, 0, 0, half, half, half, 0, half])


def test_sums_of_products_floor_half_a_unit_and_carry_through_limbs():
    # -2^-128 * 2^-129 is -2^-257: half a unit, floored to -2^-256.
    assert exact(zel.mm(make([-Fraction(1, 2**128)], (1, 1)), make([Fraction(1, 2**129)], (1, 1)))) == [-ULP]
    # (2^128 - 1) 2^-384 + 2^-384 is one unit: the second product's carry
    # runs through two limbs of all ones in the accumulator.
    a = make([Fraction(2**128 - 1, SCALE), Fraction(2**32, SCALE)], (1, 2))
    x = make([Fraction(2**128, SCALE), Fraction(2**96, SCALE)])
    assert exact(zel.mv(a, x)) == [ULP]
    assert exact(zel.mm(a, zel.reshape(x, (2, 1)))) == [ULP]


# --- the multimodular determinant: primes against Hadamard's bound ---------------
#
# With B = log2 of Hadamard's bound (tight for the matrices below), the
# determinant is computed modulo ceil((B + 2) / 25) primes between 2^25 and
# 2^26, whose product exceeds 2^(B + 1).  Determinants at the top of each
# window need every one of those primes: one fewer leaves a product below
# 2 |det|.

def window_top(k):
    """An odd d with log2 d just under 25 k - 2: the largest that k primes cover."""
    return 2 ** (25 * k - 2) - 2 ** (25 * k - 22) + 1


def check_det(matrix):
    # det is the exact determinant rounded once, to the context's decimal
    # precision and then to a double.
    got = zel.det(zel.tensor([[Fraction(v) for v in row] for row in matrix]))
    want = decimal_double(ref_det([[Fraction(v) for v in row] for row in matrix]))
    assert exact(got) == [Fraction(want)]


@pytest.mark.parametrize("d", [2**25 - 1, 2**25 + 1, 3 * 2**23 + 1] + [window_top(k) for k in range(2, 10)]
                         + [2 ** (25 * k - 2) + 1 for k in range(2, 10)])
@pytest.mark.parametrize("sign", [1, -1])
def test_determinant_at_the_edges_of_the_prime_count(d, sign):
    check_det([[sign * d]])


@pytest.mark.parametrize("matrix", [[[33554431]], [[-33554431]], [[18631, 0], [0, 1801]], [[0, 18631], [1801, 0]]])
def test_determinant_of_2_to_the_25_minus_1(matrix):
    # 2^25 - 1 = 31 * 601 * 1801 needs two primes although its bound is
    # below 25 bits: modulo the largest prime below 2^26 alone it would come
    # back as 2^25 - 1 - 67108859.
    d = ref_det([[Fraction(v) for v in row] for row in matrix])
    assert abs(d) == 2**25 - 1
    assert exact(zel.det(zel.tensor([[Fraction(v) for v in row] for row in matrix]))) == [d]


SYLVESTER_4 = [[1, 1, 1, 1], [1, -1, 1, -1], [1, 1, -1, -1], [1, -1, -1, 1]]


@pytest.mark.parametrize("k", [2, 3, 5, 8])
def test_determinant_where_hadamards_bound_is_attained(k):
    # |det(c H)| = 16 c^4 for the Sylvester matrix H of order 4: the bound
    # itself.  c is the largest odd number with 16 c^4 at the top of window k.
    c = math.isqrt(math.isqrt(window_top(k) // 16))
    c -= 1 - c % 2
    check_det([[c * h for h in row] for row in SYLVESTER_4])
    check_det([[c * h for h in row] for row in [SYLVESTER_4[1], SYLVESTER_4[0]] + SYLVESTER_4[2:]])
    check_det([[c, 0, 0], [0, c, 0], [0, 0, window_top(k) // c**2 | 1]])


# --- the launch's size check ------------------------------------------------------

def test_an_operand_one_record_short_is_refused():
    full = make([1, 2, 3])
    short = zel.Tensor(_raw=make([1, 2])._data, shape=(3,))
    # The shape check names the shape and the count before any launch.
    with pytest.raises(ValueError, match=r"^Size mismatch: tensor shape \(3,\) does not match its 2 records$"):
        zel.add(full, short)
    with pytest.raises(ValueError, match=r"^Size mismatch: tensor shape \(3,\) does not match its 2 records$"):
        zel.sub(full, short)


def test_strided_operands_are_refused_by_the_launch_itself():
    # Refused before the output is allocated, with the kernel named: a GPU
    # would otherwise read a strided array as if it were contiguous.
    recs = zel.to_gpu([1.0, 2.0, 3.0])
    with pytest.raises(ValueError, match="^fp_to_double_kernel needs contiguous operands$"):
        zel.from_gpu(recs[::-1])
    with pytest.raises(ValueError, match="^fp_add_kernel needs contiguous operands$"):
        zel.add(zel.Tensor(_raw=recs[::-1], shape=(3,)), make([1, 2, 3]))
