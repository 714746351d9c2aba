// The 72-byte fixed-point record and the limb primitives every kernel is
// built from: value = sign * M / 2^256 with M = sum(limb[i] * 2^(64 i)).
// Primitives follow the mpn conventions: outputs first, then inputs; carries
// and borrows are return values; loop bounds are compile-time constants.
#pragma once
#include "config.cuh"

#if !defined(__CUDACC_RTC__)
#include <cstddef>
#include <cstring>
#include <type_traits>
#endif

namespace zel {

constexpr int kLimbs = 8;          // 64-bit limbs in a magnitude
constexpr int kFracBits = 256;     // binary point position
constexpr int kMagBits = 64 * kLimbs;

struct fp_t {
    int32_t sign;   // -1 negative; any other value reads as non-negative
    int32_t pad;    // 0 when written by us, ignored on read
    uint64_t limb[kLimbs];
};

// A double-width magnitude, as produced by a full 512 x 512-bit product.
struct wide_t {
    uint64_t limb[2 * kLimbs];
};

#if !ZEL_ON_DEVICE
static_assert(sizeof(fp_t) == 72, "record layout is shared with the host dtype");
static_assert(alignof(fp_t) == 8, "records are read with 8-byte loads");
static_assert(offsetof(fp_t, limb) == 8, "limb0 lives at byte 8");
static_assert(std::is_trivially_copyable<fp_t>::value, "records are copied as bytes");
#endif

// ---------------------------------------------------------------------------
// Magnitude primitives on N limbs (N a template constant so loops unroll).

// r = a + b mod 2^(64N); returns the carry out.  r may alias a or b.
template <int N>
ZEL_HD uint64_t add_n(uint64_t* r, const uint64_t* a, const uint64_t* b) {
    uint64_t carry = 0;
    ZEL_UNROLL
    for (int i = 0; i < N; ++i) {
        uint64_t s = a[i] + b[i];
        uint64_t c1 = s < a[i];
        uint64_t t = s + carry;
        uint64_t c2 = t < s;
        r[i] = t;
        carry = c1 | c2;
    }
    return carry;
}

// r = a - b mod 2^(64N); returns the borrow out (1 when a < b).  May alias.
template <int N>
ZEL_HD uint64_t sub_n(uint64_t* r, const uint64_t* a, const uint64_t* b) {
    uint64_t borrow = 0;
    ZEL_UNROLL
    for (int i = 0; i < N; ++i) {
        uint64_t d = a[i] - b[i];
        uint64_t b1 = a[i] < b[i];
        uint64_t t = d - borrow;
        uint64_t b2 = d < borrow;
        r[i] = t;
        borrow = b1 | b2;
    }
    return borrow;
}

// r = a + v (single limb); returns the carry out.  May alias.
template <int N>
ZEL_HD uint64_t add_1(uint64_t* r, const uint64_t* a, uint64_t v) {
    uint64_t carry = v;
    ZEL_UNROLL
    for (int i = 0; i < N; ++i) {
        uint64_t t = a[i] + carry;
        carry = t < carry;
        r[i] = t;
    }
    return carry;
}

// Three-way comparison of magnitudes: -1, 0 or +1.
template <int N>
ZEL_HD int cmp_n(const uint64_t* a, const uint64_t* b) {
    ZEL_UNROLL
    for (int i = N - 1; i >= 0; --i) {
        if (a[i] != b[i]) return a[i] > b[i] ? 1 : -1;
    }
    return 0;
}

template <int N>
ZEL_HD bool is_zero_n(const uint64_t* a) {
    uint64_t acc = 0;
    ZEL_UNROLL
    for (int i = 0; i < N; ++i) acc |= a[i];
    return acc == 0;
}

template <int N>
ZEL_HD void zero_n(uint64_t* r) {
    ZEL_UNROLL
    for (int i = 0; i < N; ++i) r[i] = 0;
}

template <int N>
ZEL_HD void copy_n(uint64_t* r, const uint64_t* a) {
    ZEL_UNROLL
    for (int i = 0; i < N; ++i) r[i] = a[i];
}

// Number of leading zero bits of one limb (64 for 0).
ZEL_HD int clz64(uint64_t x) {
#if defined(__CUDA_ARCH__)
    return __clzll(static_cast<long long>(x));
#else
    return x == 0 ? 64 : __builtin_clzll(x);
#endif
}

// Number of trailing zero bits of one limb (64 for 0).
ZEL_HD int ctz64(uint64_t x) {
#if defined(__CUDA_ARCH__)
    return x == 0 ? 64 : __ffsll(static_cast<long long>(x)) - 1;
#else
    return x == 0 ? 64 : __builtin_ctzll(x);
#endif
}

// Index of the highest set bit, or -1 for a zero magnitude.
template <int N>
ZEL_HD int top_bit_n(const uint64_t* a) {
    ZEL_UNROLL
    for (int i = N - 1; i >= 0; --i) {
        if (a[i] != 0) return 64 * i + 63 - clz64(a[i]);
    }
    return -1;
}

// r = a >> s (logical), 0 <= s; bits shifted out are lost.  r may alias a.
template <int N>
ZEL_HD void shr_n(uint64_t* r, const uint64_t* a, int s) {
    const int w = s >> 6, b = s & 63;
    ZEL_UNROLL
    for (int i = 0; i < N; ++i) {
        const int j = i + w;
        uint64_t lo = j < N ? a[j] : 0;
        uint64_t hi = (j + 1) < N ? a[j + 1] : 0;
        r[i] = b == 0 ? lo : (lo >> b) | (hi << (64 - b));
    }
}

// r = a << s mod 2^(64N), 0 <= s.  r may alias a.
template <int N>
ZEL_HD void shl_n(uint64_t* r, const uint64_t* a, int s) {
    const int w = s >> 6, b = s & 63;
    ZEL_UNROLL
    for (int i = N - 1; i >= 0; --i) {
        const int j = i - w;
        uint64_t hi = j >= 0 ? a[j] : 0;
        uint64_t lo = (j - 1) >= 0 ? a[j - 1] : 0;
        r[i] = b == 0 ? hi : (hi << b) | (lo >> (64 - b));
    }
}

// True when any of the lowest `nbits` bits of a is set (nbits may exceed 64N).
template <int N>
ZEL_HD bool any_low_bits_n(const uint64_t* a, int nbits) {
    uint64_t acc = 0;
    ZEL_UNROLL
    for (int i = 0; i < N; ++i) {
        const int lo = 64 * i;
        if (nbits >= lo + 64) acc |= a[i];
        else if (nbits > lo) acc |= a[i] & ((uint64_t(1) << (nbits - lo)) - 1);
    }
    return acc != 0;
}

ZEL_HD int bit_n(const uint64_t* a, int i) { return int((a[i >> 6] >> (i & 63)) & 1); }

// ---------------------------------------------------------------------------
// Records.

ZEL_HD bool fp_is_neg(const fp_t& a) { return a.sign == -1; }
ZEL_HD bool fp_is_zero(const fp_t& a) { return is_zero_n<kLimbs>(a.limb); }

// Writes the sign so that zero is always +1 and pad is cleared.
ZEL_HD void fp_set_sign(fp_t& r, bool negative) {
    r.sign = (negative && !fp_is_zero(r)) ? -1 : 1;
    r.pad = 0;
}

ZEL_HD void fp_set_zero(fp_t& r) {
    zero_n<kLimbs>(r.limb);
    r.sign = 1;
    r.pad = 0;
}

// The largest magnitude, (2^512 - 1) / 2^256, with the given sign: the value
// every out-of-range result saturates to.
ZEL_HD void fp_saturate(fp_t& r, bool negative) {
    ZEL_UNROLL
    for (int i = 0; i < kLimbs; ++i) r.limb[i] = ~uint64_t(0);
    r.sign = negative ? -1 : 1;
    r.pad = 0;
}

// r = n (an integer), saturating beyond the range.
ZEL_HD void fp_from_int(fp_t& r, int64_t n) {
    zero_n<kLimbs>(r.limb);
    const uint64_t m = n < 0 ? uint64_t(0) - uint64_t(n) : uint64_t(n);
    r.limb[kFracBits / 64] = m;
    fp_set_sign(r, n < 0);
}

// Three-way comparison of values; every zero compares equal to every zero.
ZEL_HD int fp_cmp(const fp_t& a, const fp_t& b) {
    const bool za = fp_is_zero(a), zb = fp_is_zero(b);
    const bool na = fp_is_neg(a) && !za, nb = fp_is_neg(b) && !zb;
    if (na != nb) return na ? -1 : 1;
    const int c = cmp_n<kLimbs>(a.limb, b.limb);
    return na ? -c : c;
}

// r = -a (exact; a zero stays +0).  r may alias a.
ZEL_HD void fp_neg(fp_t& r, const fp_t& a) {
    const bool neg = !fp_is_neg(a);
    copy_n<kLimbs>(r.limb, a.limb);
    fp_set_sign(r, neg);
}

// r = |a|.  r may alias a.
ZEL_HD void fp_abs(fp_t& r, const fp_t& a) {
    copy_n<kLimbs>(r.limb, a.limb);
    fp_set_sign(r, false);
}

// r = (negative ? -1 : 1) * |a| + (negb ? -1 : 1) * |b|, saturating.
ZEL_HD void fp_add_signed(fp_t& r, const fp_t& a, bool nega, const fp_t& b, bool negb) {
    if (nega == negb) {
        const uint64_t carry = add_n<kLimbs>(r.limb, a.limb, b.limb);
        if (carry) { fp_saturate(r, nega); return; }
        fp_set_sign(r, nega);
        return;
    }
    // Opposite signs: subtract the smaller magnitude from the larger; the
    // result takes the sign of the larger and can never overflow.
    if (cmp_n<kLimbs>(a.limb, b.limb) >= 0) {
        sub_n<kLimbs>(r.limb, a.limb, b.limb);
        fp_set_sign(r, nega);
    } else {
        sub_n<kLimbs>(r.limb, b.limb, a.limb);
        fp_set_sign(r, negb);
    }
}

// r = a + b, exact unless |a + b| >= 2^256 (then saturated).  May alias.
ZEL_HD void fp_add(fp_t& r, const fp_t& a, const fp_t& b) {
    fp_add_signed(r, a, fp_is_neg(a), b, fp_is_neg(b));
}

// r = a - b, exact unless saturated.  May alias.
ZEL_HD void fp_sub(fp_t& r, const fp_t& a, const fp_t& b) {
    fp_add_signed(r, a, fp_is_neg(a), b, !fp_is_neg(b));
}

// ---------------------------------------------------------------------------
// Conversions to and from IEEE doubles.

ZEL_HD uint64_t double_bits(double x) {
#if defined(__CUDA_ARCH__) || defined(__CUDACC_RTC__)
    return static_cast<uint64_t>(__double_as_longlong(x));
#else
    uint64_t u;
    std::memcpy(&u, &x, sizeof u);
    return u;
#endif
}

ZEL_HD double bits_double(uint64_t u) {
#if defined(__CUDA_ARCH__) || defined(__CUDACC_RTC__)
    return __longlong_as_double(static_cast<long long>(u));
#else
    double x;
    std::memcpy(&x, &u, sizeof x);
    return x;
#endif
}

// r = floor(x * 2^256) / 2^256: the same floor rule as the host conversion,
// exact for every double of magnitude 2^-204 or more.  Doubles below the
// resolution give 0 (positive) or -2^-256 (negative); -0.0 gives +0.  The host
// refuses non-finite and out-of-range doubles before a launch; should one
// reach the kernel anyway, NaN gives 0 and the rest saturate with their sign.
ZEL_HD void fp_from_double(fp_t& r, double x) {
    const uint64_t u = double_bits(x);
    const bool neg = (u >> 63) != 0;
    const int e_field = int((u >> 52) & 0x7FF);
    const uint64_t frac = u & ((uint64_t(1) << 52) - 1);
    zero_n<kLimbs>(r.limb);
    if (e_field == 0x7FF) {
        if (frac != 0) { fp_set_zero(r); return; }
        fp_saturate(r, neg);
        return;
    }
    if (e_field == 0) {
        // Zero or subnormal: far below 2^-256.
        if (frac != 0 && neg) r.limb[0] = 1;
        fp_set_sign(r, neg);
        return;
    }
    const uint64_t m = (uint64_t(1) << 52) | frac;   // x = m * 2^(e_field - 1075)
    const int s = e_field - 1075 + kFracBits;        // scaled = m * 2^s
    if (s >= 0) {
        if (s + 52 >= kMagBits) { fp_saturate(r, neg); return; }
        r.limb[0] = m;
        shl_n<kLimbs>(r.limb, r.limb, s);
        fp_set_sign(r, neg);
        return;
    }
    const int rs = -s;
    uint64_t q = rs >= 64 ? 0 : m >> rs;
    const bool inexact = rs >= 64 ? true : (m & ((uint64_t(1) << rs) - 1)) != 0;
    if (neg && inexact) q += 1;   // floor toward -infinity
    r.limb[0] = q;
    fp_set_sign(r, neg);
}

// Nearest double to the record's value, ties to even: the same double as
// float() of the record's exact rational.  Every value lies well inside the
// normal range, so neither subnormals nor overflow occur.
ZEL_HD double fp_to_double(const fp_t& a) {
    const int p = top_bit_n<kLimbs>(a.limb);
    if (p < 0) return 0.0;
    uint64_t mant;
    int e = p - kFracBits;   // unbiased exponent of the leading bit
    if (p <= 52) {
        uint64_t t[kLimbs];
        shl_n<kLimbs>(t, a.limb, 52 - p);
        mant = t[0];
    } else {
        const int sh = p - 52;
        uint64_t t[kLimbs];
        shr_n<kLimbs>(t, a.limb, sh);
        mant = t[0];
        const int round_bit = bit_n(a.limb, sh - 1);
        const bool sticky = any_low_bits_n<kLimbs>(a.limb, sh - 1);
        if (round_bit && (sticky || (mant & 1))) {
            mant += 1;
            if (mant >> 53) { mant >>= 1; e += 1; }
        }
    }
    const uint64_t bits = (uint64_t(fp_is_neg(a)) << 63) |
                          (uint64_t(e + 1023) << 52) |
                          (mant & ((uint64_t(1) << 52) - 1));
    return bits_double(bits);
}

}  // namespace zel
