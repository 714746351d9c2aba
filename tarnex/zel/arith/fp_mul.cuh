// Limb products, the one rounding step of the system, the fixed-point
// product and the exact accumulator for sums of products.  Builds on the
// mpn-style primitives of fp.cuh; every lossy step here goes through
// fp_round_shift, which applies the floor rule.
#pragma once
#include "fp.cuh"

#if !defined(__CUDA_ARCH__)
#include <array>
#include <utility>
#endif

// Heavy functions (series, division loops) are kept out of line on the
// device: inlining them into every caller multiplies compile time and code
// size for no speed gain.  `inline` keeps header definitions legal in many
// translation units.
#if ZEL_ON_DEVICE
#define ZEL_HD_OUTLINE __host__ __device__ __noinline__ inline
#else
#define ZEL_HD_OUTLINE inline
#endif

namespace zel {

// (hi, lo) = a * b, the full 128-bit product; returns lo.
ZEL_HD uint64_t mul_wide(uint64_t& hi, uint64_t a, uint64_t b) {
#if defined(__CUDA_ARCH__)
    hi = __umul64hi(a, b);
    return a * b;
#else
    const unsigned __int128 p = static_cast<unsigned __int128>(a) * b;
    hi = static_cast<uint64_t>(p >> 64);
    return static_cast<uint64_t>(p);
#endif
}

// r = a * b (single limb b) mod 2^(64N); returns the high limb.  r may alias a.
template <int N>
ZEL_HD uint64_t mul_1(uint64_t* r, const uint64_t* a, uint64_t b) {
    uint64_t carry = 0;
    ZEL_UNROLL
    for (int i = 0; i < N; ++i) {
        uint64_t hi;
        uint64_t lo = mul_wide(hi, a[i], b);
        lo += carry;
        hi += lo < carry;
        r[i] = lo;
        carry = hi;
    }
    return carry;
}

// r += a * b (single limb b) mod 2^(64N); returns the carry limb.  r must
// not overlap a unless r == a.
template <int N>
ZEL_HD uint64_t addmul_1(uint64_t* r, const uint64_t* a, uint64_t b) {
    uint64_t carry = 0;
    ZEL_UNROLL
    for (int i = 0; i < N; ++i) {
        uint64_t hi;
        uint64_t lo = mul_wide(hi, a[i], b);
        lo += carry;
        hi += lo < carry;
        const uint64_t s = r[i] + lo;
        hi += s < lo;
        r[i] = s;
        carry = hi;
    }
    return carry;
}

// r -= a * b (single limb b) mod 2^(64N); returns the borrow limb, so that
// old r - a*b = new r - borrow * 2^(64N).
template <int N>
ZEL_HD uint64_t submul_1(uint64_t* r, const uint64_t* a, uint64_t b) {
    uint64_t borrow = 0;
    ZEL_UNROLL
    for (int i = 0; i < N; ++i) {
        uint64_t hi;
        uint64_t lo = mul_wide(hi, a[i], b);
        lo += borrow;
        hi += lo < borrow;
        const uint64_t d = r[i] - lo;
        hi += d > r[i];
        r[i] = d;
        borrow = hi;
    }
    return borrow;
}

#if !defined(__CUDA_ARCH__)
// Full unrolling of the fixed-span products; nvcc's host pass never runs
// them (the host kernel library is built by the C++ compiler).
#if defined(__CUDACC__)
#define ZEL_HOST_UNROLL
#else
#define ZEL_HOST_UNROLL _Pragma("GCC unroll 16")
#endif

// w[0 .. NA+NB) = a[0 .. NA) * b[0 .. NB).  w must not overlap a or b.
template <int NA, int NB>
inline void mul_span(uint64_t* w, const uint64_t* a, const uint64_t* b) {
    unsigned __int128 col = 0;
    uint64_t over = 0;
ZEL_HOST_UNROLL
    for (int c = 0; c < NA + NB - 1; ++c) {
ZEL_HOST_UNROLL
        for (int i = 0; i < NA; ++i) {
            if (c - i < 0 || c - i >= NB) continue;
            const unsigned __int128 p = static_cast<unsigned __int128>(a[i]) * b[c - i];
            col += p;
            over += col < p;
        }
        w[c] = static_cast<uint64_t>(col);
        col = (col >> 64) | (static_cast<unsigned __int128>(over) << 64);
        over = 0;
    }
    w[NA + NB - 1] = static_cast<uint64_t>(col);
}

#endif

// r[0 .. NA+NB) = a * b, schoolbook by rows of multiply-adds (operand
// scanning).  r must not overlap a or b.
template <int NA, int NB>
ZEL_HD void mul_n_rows(uint64_t* r, const uint64_t* a, const uint64_t* b) {
    r[NA] = mul_1<NA>(r, a, b[0]);
    ZEL_UNROLL
    for (int j = 1; j < NB; ++j) r[NA + j] = addmul_1<NA>(r + j, a, b[j]);
}

// r[0 .. NA+NB) = a * b.  r must not overlap a or b.  The device runs the
// rows; the host scans the products column by column (mul_span), whose
// 128-bit column sums do not wait on a carry chain per row.
template <int NA, int NB>
ZEL_HD void mul_n(uint64_t* r, const uint64_t* a, const uint64_t* b) {
#if defined(__CUDA_ARCH__)
    mul_n_rows<NA, NB>(r, a, b);
#else
    mul_span<NA, NB>(r, a, b);
#endif
}

// ---------------------------------------------------------------------------
// The rounding rule.  A non-negative magnitude t (NL limbs) holding
// |exact| * 2^(256 + shift) becomes the record of floor(exact * 2^256) / 2^256:
// positive values drop the low bits, negative values round their magnitude up
// whenever a dropped bit is set.  Magnitudes of 2^512 or more saturate.
// 0 <= shift < 64 * NL.  r may not alias t.
template <int NL>
ZEL_HD void fp_round_shift(fp_t& r, const uint64_t* t, int shift, bool negative) {
    constexpr int NT = NL > kLimbs ? NL : kLimbs;
    uint64_t tmp[NT];
    ZEL_UNROLL
    for (int i = 0; i < NT; ++i) tmp[i] = i < NL ? t[i] : 0;
    shr_n<NT>(tmp, tmp, shift);
    bool over = false;
    ZEL_UNROLL
    for (int i = kLimbs; i < NT; ++i) over |= tmp[i] != 0;
    if (!over && negative && any_low_bits_n<NL>(t, shift)) {
        over = add_1<kLimbs>(tmp, tmp, 1) != 0;
    }
    if (over) { fp_saturate(r, negative); return; }
    copy_n<kLimbs>(r.limb, tmp);
    fp_set_sign(r, negative);
}

// r = floor(a * b), the record of the exact product rounded toward -inf:
// the full 8 x 8-limb product, as the device computes it.  May alias.
ZEL_HD void fp_mul_portable(fp_t& r, const fp_t& a, const fp_t& b) {
    uint64_t w[2 * kLimbs];
    mul_n_rows<kLimbs, kLimbs>(w, a.limb, b.limb);
    const bool neg = fp_is_neg(a) != fp_is_neg(b);
    fp_round_shift<2 * kLimbs>(r, w, kFracBits, neg);
}

#if !defined(__CUDA_ARCH__)
// ---------------------------------------------------------------------------
// Host products on limb spans.  Values that came from doubles, integers or
// short fractions span two to five of the eight limbs, so the host multiplies
// only the limbs between the lowest and highest non-zero ones.  Each pair of
// span lengths has its own fully unrolled product, reached through a table:
// product scanning (Comba), column by column in a three-limb register
// accumulator, so the limb products do not wait on one another's carries.
// On the GPU a warp runs its threads in lock step and data-dependent lengths
// would only serialise it, so the device keeps the uniform loops.

// [lo, hi): the limbs of a magnitude between its lowest and highest non-zero
// limb (lo == hi for zero).
// Found from the mask of non-zero limbs, without data-dependent branches.
inline void limb_span(const uint64_t* a, int& lo, int& hi) {
    unsigned mask = 0;
    ZEL_UNROLL
    for (int i = 0; i < kLimbs; ++i) mask |= unsigned(a[i] != 0) << i;
    lo = mask ? __builtin_ctz(mask) : kLimbs;
    hi = mask ? 32 - __builtin_clz(mask) : kLimbs;
}

// r[0 .. top) += a[0 .. NA) * b[0 .. NB), top >= NA + NB.
template <int NA, int NB>
inline void mac_span(uint64_t* r, const uint64_t* a, const uint64_t* b, int top) {
    uint64_t w[NA + NB];
    mul_span<NA, NB>(w, a, b);
    uint64_t carry = 0;
ZEL_HOST_UNROLL
    for (int t = 0; t < NA + NB; ++t) {
        const unsigned __int128 s = static_cast<unsigned __int128>(r[t]) + w[t] + carry;
        r[t] = static_cast<uint64_t>(s);
        carry = static_cast<uint64_t>(s >> 64);
    }
    for (int t = NA + NB; carry != 0 && t < top; ++t) {
        r[t] += carry;
        carry = r[t] < carry;
    }
}

using mul_span_fn = void (*)(uint64_t*, const uint64_t*, const uint64_t*);
using mac_span_fn = void (*)(uint64_t*, const uint64_t*, const uint64_t*, int);

template <int... I>
constexpr auto mul_span_table(std::integer_sequence<int, I...>) {
    return std::array<mul_span_fn, sizeof...(I)>{&mul_span<I / kLimbs + 1, I % kLimbs + 1>...};
}

template <int... I>
constexpr auto mac_span_table(std::integer_sequence<int, I...>) {
    return std::array<mac_span_fn, sizeof...(I)>{&mac_span<I / kLimbs + 1, I % kLimbs + 1>...};
}

// [(na - 1) * kLimbs + (nb - 1)]: the product of spans of na and nb limbs.
inline constexpr auto mul_spans = mul_span_table(std::make_integer_sequence<int, kLimbs * kLimbs>{});
inline constexpr auto mac_spans = mac_span_table(std::make_integer_sequence<int, kLimbs * kLimbs>{});

// fp_mul on the limb spans.  The binary point falls on a limb boundary, so
// the floor rule needs no shift: limbs 4..11 of the product are the result,
// limbs 12..15 the overflow and limbs 0..3 the dropped bits.
inline void fp_mul_spans(fp_t& r, const fp_t& a, const fp_t& b) {
    int alo, ahi, blo, bhi;
    limb_span(a.limb, alo, ahi);
    limb_span(b.limb, blo, bhi);
    if (alo == ahi || blo == bhi) { fp_set_zero(r); return; }
    const bool neg = fp_is_neg(a) != fp_is_neg(b);
    uint64_t w[2 * kLimbs];
    zero_n<2 * kLimbs>(w);
    mul_spans[(ahi - alo - 1) * kLimbs + (bhi - blo - 1)](w + alo + blo, a.limb + alo, b.limb + blo);
    constexpr int k = kFracBits / 64;
    uint64_t over = 0;
    ZEL_UNROLL
    for (int i = k + kLimbs; i < 2 * kLimbs; ++i) over |= w[i];
    if (!over && neg && !is_zero_n<k>(w)) over = add_1<kLimbs>(w + k, w + k, 1);
    if (over) { fp_saturate(r, neg); return; }
    copy_n<kLimbs>(r.limb, w + k);
    fp_set_sign(r, neg);
}
#endif

// r = floor(a * b), the record of the exact product rounded toward -inf.
// May alias.
ZEL_HD void fp_mul(fp_t& r, const fp_t& a, const fp_t& b) {
#if defined(__CUDA_ARCH__)
    fp_mul_portable(r, a, b);
#else
    fp_mul_spans(r, a, b);
#endif
}

// ---------------------------------------------------------------------------
// Exact accumulator for sums of products (mm, mv, conv2d, spmv, dot).  Each
// product of two records is an integer multiple of 2^-512 below 2^1024 in
// that unit; the accumulator keeps the running sum exactly as a two's
// complement integer of 17 limbs (value = acc / 2^512), which leaves 63 guard
// bits: any 2^63 products can be summed without loss.  acc_round applies the
// floor rule once, at the end.
constexpr int kAccLimbs = 2 * kLimbs + 1;

struct acc_t {
    uint64_t limb[kAccLimbs];
};

ZEL_HD void acc_zero(acc_t& acc) { zero_n<kAccLimbs>(acc.limb); }

// acc += a * b, exactly.
ZEL_HD void acc_add_product(acc_t& acc, const fp_t& a, const fp_t& b) {
    uint64_t w[kAccLimbs];
    mul_n<kLimbs, kLimbs>(w, a.limb, b.limb);
    w[kAccLimbs - 1] = 0;
    if (fp_is_neg(a) != fp_is_neg(b)) sub_n<kAccLimbs>(acc.limb, acc.limb, w);
    else add_n<kAccLimbs>(acc.limb, acc.limb, w);
}

// acc += a, exactly (a record is a multiple of 2^-256, so it enters shifted
// up by 256 bits).
ZEL_HD void acc_add_fp(acc_t& acc, const fp_t& a) {
    uint64_t w[kAccLimbs];
    ZEL_UNROLL
    for (int i = 0; i < kAccLimbs; ++i) {
        const int j = i - kFracBits / 64;
        w[i] = (j >= 0 && j < kLimbs) ? a.limb[j] : 0;
    }
    if (fp_is_neg(a)) sub_n<kAccLimbs>(acc.limb, acc.limb, w);
    else add_n<kAccLimbs>(acc.limb, acc.limb, w);
}

// r = floor(acc) to the record grid, saturating.
ZEL_HD void acc_round(fp_t& r, const acc_t& acc) {
    const bool neg = (acc.limb[kAccLimbs - 1] >> 63) != 0;
    uint64_t m[kAccLimbs];
    if (neg) {
        uint64_t z[kAccLimbs];
        zero_n<kAccLimbs>(z);
        sub_n<kAccLimbs>(m, z, acc.limb);
    } else {
        copy_n<kAccLimbs>(m, acc.limb);
    }
    fp_round_shift<kAccLimbs>(r, m, kFracBits, neg);
}

}  // namespace zel
