// Exact element operations on records: copies, sign functions, selection,
// clamping, the integer-extracting roundings and the integer power.  All
// results are exact except fp_leaky_relu's product and fp_pow_int, which
// follow the floor rule.
#pragma once
#include "fp_div.cuh"

namespace zel {

// r = a, with the sign written canonically (a zero, or a record whose sign
// field is neither +1 nor -1, comes out as sign +1).  May alias.
ZEL_HD void fp_copy(fp_t& r, const fp_t& a) {
    const bool neg = fp_is_neg(a);
    copy_n<kLimbs>(r.limb, a.limb);
    fp_set_sign(r, neg);
}

// r = max(a, 0).
ZEL_HD void fp_relu(fp_t& r, const fp_t& a) {
    if (fp_is_neg(a)) fp_set_zero(r);
    else fp_copy(r, a);
}

// r = -1, 0 or 1 as a is negative, zero or positive.
ZEL_HD void fp_sign(fp_t& r, const fp_t& a) {
    fp_from_int(r, fp_is_zero(a) ? 0 : (fp_is_neg(a) ? -1 : 1));
}

// r = a for a >= 0, floor(alpha * a) otherwise.
ZEL_HD void fp_leaky_relu(fp_t& r, const fp_t& a, const fp_t& alpha) {
    if (fp_is_neg(a) && !fp_is_zero(a)) fp_mul(r, alpha, a);
    else fp_copy(r, a);
}

// r = min(max(a, lo), hi): when lo > hi every element becomes hi.
ZEL_HD void fp_clamp(fp_t& r, const fp_t& a, const fp_t& lo, const fp_t& hi) {
    const fp_t* v = &a;
    if (fp_cmp(*v, lo) < 0) v = &lo;
    if (fp_cmp(*v, hi) > 0) v = &hi;
    fp_copy(r, *v);
}

// ---------------------------------------------------------------------------
// Integer extraction.  The integer part is limbs 4..7, the fraction limbs
// 0..3, so each is a masking step plus at most one increment of the
// magnitude's integer part; an increment past the largest integer (only
// possible at |a| > 2^256 - 1) saturates.

ZEL_HD bool fp_has_frac(const fp_t& a) { return !is_zero_n<4>(a.limb); }

// r = the integer part of |a| plus `up` units, with the given sign.
ZEL_HD void fp_int_part(fp_t& r, const fp_t& a, bool up, bool negative) {
    uint64_t m[kLimbs];
    copy_n<kLimbs>(m, a.limb);
    zero_n<4>(m);
    if (up && add_1<4>(m + 4, m + 4, 1)) { fp_saturate(r, negative); return; }
    copy_n<kLimbs>(r.limb, m);
    fp_set_sign(r, negative);
}

ZEL_HD void fp_trunc(fp_t& r, const fp_t& a) { fp_int_part(r, a, false, fp_is_neg(a)); }

ZEL_HD void fp_floor(fp_t& r, const fp_t& a) {
    const bool neg = fp_is_neg(a);
    fp_int_part(r, a, neg && fp_has_frac(a), neg);
}

ZEL_HD void fp_ceil(fp_t& r, const fp_t& a) {
    const bool neg = fp_is_neg(a);
    fp_int_part(r, a, !neg && fp_has_frac(a), neg);
}

// Nearest integer, halves to even (as Python's round and NumPy's rint).
ZEL_HD void fp_round(fp_t& r, const fp_t& a) {
    const uint64_t half = uint64_t(1) << 63;
    const bool above = a.limb[3] > half || (a.limb[3] == half && !is_zero_n<3>(a.limb));
    const bool tie = a.limb[3] == half && is_zero_n<3>(a.limb);
    const bool up = above || (tie && (a.limb[4] & 1));
    fp_int_part(r, a, up, fp_is_neg(a));
}

// r = a - trunc(a): the fraction with the sign of a, exact.
ZEL_HD void fp_frac(fp_t& r, const fp_t& a) {
    const bool neg = fp_is_neg(a);
    ZEL_UNROLL
    for (int i = 0; i < kLimbs; ++i) r.limb[i] = i < 4 ? a.limb[i] : 0;
    fp_set_sign(r, neg);
}

// ---------------------------------------------------------------------------
// Integer powers.  Binary powering on a 640-bit floating mantissa with
// truncating products.  The accumulated relative error is bounded by E units
// of 2^-638, where a product adds the bounds of its factors plus one for its
// own truncation (the product of the error terms is covered by the doubled
// unit), so E < 2^33 for any 32-bit exponent.  Truncation only lowers the estimate, so its floor is the floor of
// the exact power unless that lies within delta = (E + 1) 2^-638 <= 2^-605
// (relative) above a grid point, where it is one unit below.  When no step
// was inexact (E = 0) the result is exact: every power that is itself a
// record comes out exactly (its odd part has at most 512 bits, and so has
// every intermediate power).

constexpr int kPowLimbs = 10;

struct pow_float {
    uint64_t m[kPowLimbs];   // normalized: bit 639 set
    int64_t e;               // value = m * 2^e
};

ZEL_HD void pow_float_from_fp(pow_float& r, const fp_t& a) {
    const int p = top_bit_n<kLimbs>(a.limb);
    ZEL_UNROLL
    for (int i = 0; i < kPowLimbs; ++i) r.m[i] = i < kLimbs ? a.limb[i] : 0;
    shl_n<kPowLimbs>(r.m, r.m, 64 * kPowLimbs - 1 - p);
    r.e = int64_t(p) - (64 * kPowLimbs - 1) - kFracBits;
}

// r = a * b, truncated to 640 bits.  May alias.
ZEL_HD void pow_float_mul(pow_float& r, const pow_float& a, const pow_float& b) {
    uint64_t t[2 * kPowLimbs];
    mul_n<kPowLimbs, kPowLimbs>(t, a.m, b.m);
    const int shift = (t[2 * kPowLimbs - 1] >> 63) ? 64 * kPowLimbs : 64 * kPowLimbs - 1;
    shr_n<2 * kPowLimbs>(t, t, shift);
    r.e = a.e + b.e + shift;
    copy_n<kPowLimbs>(r.m, t);
}

// The record of m 2^e under the floor rule (magnitude up when negative).
template <int NL>
ZEL_HD void pow_float_round(fp_t& r, const uint64_t* m, int64_t e, bool negative) {
    const int p = top_bit_n<NL>(m);
    if (p < 0) { fp_set_zero(r); return; }
    const int64_t sh = -(e + kFracBits);   // scaled value = m >> sh
    if (int64_t(p) - sh >= kMagBits) { fp_saturate(r, negative); return; }
    if (sh >= 64 * NL) {
        fp_set_zero(r);
        if (negative) { r.limb[0] = 1; fp_set_sign(r, true); }
        return;
    }
    // Mantissas here carry at least 512 bits, so sh <= 0 saturated above.
    ZEL_ASSERT(sh > 0);
    fp_round_shift<NL>(r, m, static_cast<int>(sh), negative);
}

// floor(a^k) for k >= 1 by binary powering, as above.  May alias.
ZEL_HD_OUTLINE void fp_pow_pos(fp_t& r, const fp_t& a, uint32_t k) {
    if (fp_is_zero(a)) { fp_set_zero(r); return; }
    if (k == 1) { fp_copy(r, a); return; }
    if (k == 2) { fp_mul(r, a, a); return; }
    const bool negative = fp_is_neg(a) && (k & 1);
    pow_float base;
    pow_float_from_fp(base, a);
    // Right to left: base runs through a^(2^i), acc collects the set bits.
    for (; (k & 1) == 0; k >>= 1) pow_float_mul(base, base, base);
    pow_float acc = base;
    for (k >>= 1; k != 0; k >>= 1) {
        pow_float_mul(base, base, base);
        if (k & 1) pow_float_mul(acc, acc, base);
    }
    uint64_t m[kPowLimbs + 1];
    copy_n<kPowLimbs>(m, acc.m);
    m[kPowLimbs] = 0;
    pow_float_round<kPowLimbs + 1>(r, m, acc.e, negative);
}

// a^n for an integer n.  n > 0: floor(a^n) as fp_pow_pos; n = 0: 1 (also
// for a = 0); n < 0: the reciprocal of the positive power p = a^|n| under
// the division rule, floor(1 / p), so that pow(a, -n) is div(1, pow(a, n)).
// A positive power that vanished (and 0^n) makes that a division by zero,
// which saturates positive.  May alias.
ZEL_HD void fp_pow_int(fp_t& r, const fp_t& a, int n) {
    if (n == 0) { fp_from_int(r, 1); return; }
    const uint32_t k = n < 0 ? uint32_t(0) - uint32_t(n) : uint32_t(n);
    if (n > 0) { fp_pow_pos(r, a, k); return; }
    fp_t p, one;
    fp_pow_pos(p, a, k);
    fp_from_int(one, 1);
    fp_div(r, one, p);
}

}  // namespace zel
