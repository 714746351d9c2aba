// Division and square root: the 2-by-1 limb division of Moller and Granlund,
// Knuth's algorithm D on fixed limb counts, Newton's integer square root, and
// the record operations built on them (fp_div, fp_sqrt, fp_mod).
#pragma once
#include "fp_mul.cuh"

#if !ZEL_ON_DEVICE
#include <cmath>
#endif

namespace zel {

// v = floor((2^128 - 1) / d) - 2^64 for a normalized d (top bit set): the
// reciprocal of Moller & Granlund, "Improved division by invariant integers"
// (2011).  The device has no 128/64 divide, so it runs restoring division.
ZEL_HD uint64_t reciprocal_word_portable(uint64_t d) {
    // (2^128 - 1) - 2^64 d = (~d) * 2^64 + (2^64 - 1); the quotient fits a limb.
    uint64_t rem = ~d, lo = ~uint64_t(0), q = 0;
    for (int i = 0; i < 64; ++i) {
        const uint64_t out = rem >> 63;
        rem = (rem << 1) | (lo >> 63);
        lo <<= 1;
        q <<= 1;
        if (out || rem >= d) { rem -= d; q |= 1; }
    }
    return q;
}

ZEL_HD uint64_t reciprocal_word(uint64_t d) {
    ZEL_ASSERT(d >> 63);
#if defined(__CUDA_ARCH__)
    return reciprocal_word_portable(d);
#else
    const unsigned __int128 num = (static_cast<unsigned __int128>(~d) << 64) | ~uint64_t(0);
    return static_cast<uint64_t>(num / d);
#endif
}

// q = floor((u1 * 2^64 + u0) / d), rem = the remainder, for a normalized d
// with reciprocal v and u1 < d (Moller & Granlund, algorithm 4).
ZEL_HD uint64_t div_2by1(uint64_t& rem, uint64_t u1, uint64_t u0, uint64_t d, uint64_t v) {
    ZEL_ASSERT(u1 < d);
    uint64_t q1;
    uint64_t q0 = mul_wide(q1, v, u1);
    q0 += u0;
    q1 += u1 + 1 + (q0 < u0);
    uint64_t r = u0 - q1 * d;
    if (r > q0) { q1 -= 1; r += d; }
    if (r >= d) { q1 += 1; r -= d; }
    rem = r;
    return q1;
}

// Knuth's algorithm D (TAOCP vol. 2, 4.3.1) with fixed limb counts.
// Pre: v normalized (top bit of v[NV-1] set), u has NQ + NV limbs and
// u < v * 2^(64 NQ).  Post: q[0..NQ) = floor(u / v) and u[0..NV) holds the
// remainder (the limbs above it are zero).
template <int NQ, int NV>
ZEL_HD_OUTLINE void divrem_norm(uint64_t* q, uint64_t* u, const uint64_t* v) {
    const uint64_t vtop = v[NV - 1];
    const uint64_t vsec = NV >= 2 ? v[NV - 2] : 0;
    const uint64_t inv = reciprocal_word(vtop);
    for (int j = NQ - 1; j >= 0; --j) {
        const uint64_t u2 = u[j + NV], u1 = u[j + NV - 1];
        const uint64_t u0 = NV >= 2 ? u[j + NV - 2] : 0;
        uint64_t qhat, rhat;
        bool rhat_big;   // rhat >= 2^64: the refinement test cannot fire
        if (u2 >= vtop) {
            // u2 == vtop: the estimate would be 2^64; Knuth caps it at 2^64 - 1.
            qhat = ~uint64_t(0);
            rhat = u1 + vtop;
            rhat_big = rhat < u1;
        } else {
            qhat = div_2by1(rhat, u2, u1, vtop, inv);
            rhat_big = false;
        }
        // Refine with the second divisor limb; at most two corrections.
        while (!rhat_big) {
            uint64_t hi;
            const uint64_t lo = mul_wide(hi, qhat, vsec);
            if (hi > rhat || (hi == rhat && lo > u0)) {
                qhat -= 1;
                rhat += vtop;
                rhat_big = rhat < vtop;
            } else {
                break;
            }
        }
        const uint64_t borrow = submul_1<NV>(u + j, v, qhat);
        const uint64_t top = u[j + NV];
        u[j + NV] = top - borrow;
        if (top < borrow) {
            // The estimate was one too large (probability ~2^-63): add back.
            qhat -= 1;
            u[j + NV] += add_n<NV>(u + j, u + j, v);
        }
        q[j] = qhat;
    }
}

// q[0..NQ) = floor(u / v) for any v != 0; returns true when the remainder is
// non-zero and stores it in rem[0..NV) when rem is not null.
// Pre: NU <= NQ + NV and u < v * 2^(64 NQ).  Outputs must not alias inputs.
template <int NQ, int NU, int NV>
ZEL_HD bool divrem(uint64_t* q, uint64_t* rem, const uint64_t* u, const uint64_t* v) {
    static_assert(NU <= NQ + NV, "dividend must fit the working buffer");
    const int s = 64 * NV - 1 - top_bit_n<NV>(v);
    ZEL_ASSERT(s < 64 * NV);
    uint64_t vn[NV];
    shl_n<NV>(vn, v, s);
    uint64_t un[NQ + NV];
    ZEL_UNROLL_LIMBS
    for (int i = 0; i < NQ + NV; ++i) un[i] = i < NU ? u[i] : 0;
    shl_n<NQ + NV>(un, un, s);
    divrem_norm<NQ, NV>(q, un, vn);
    const bool inexact = !is_zero_n<NV>(un);
    if (rem) shr_n<NV>(rem, un, s);
    return inexact;
}

// r = floor(a / d) for a single-limb divisor d != 0; returns the remainder.
// The divisor is normalized and each limb costs one 2-by-1 step with the
// precomputed reciprocal (GMP's mpn_divrem_1 scheme).  May alias.
template <int N>
ZEL_HD uint64_t div_1(uint64_t* r, const uint64_t* a, uint64_t d) {
    ZEL_ASSERT(d != 0);
    const int s = clz64(d);
    const uint64_t dn = d << s;
    const uint64_t v = reciprocal_word(dn);
    uint64_t rem = s ? a[N - 1] >> (64 - s) : 0;
    for (int i = N - 1; i >= 0; --i) {
        const uint64_t u = s ? (a[i] << s) | (i > 0 ? a[i - 1] >> (64 - s) : 0) : a[i];
        r[i] = div_2by1(rem, rem, u, dn, v);
    }
    return rem >> s;
}

// ---------------------------------------------------------------------------
// r = floor(a / b) to the record grid.  x / 0 saturates with the sign of x and
// 0 / 0 is 0; quotients of magnitude 2^256 or more saturate.  May alias.
ZEL_HD void fp_div(fp_t& r, const fp_t& a, const fp_t& b) {
    const bool neg = fp_is_neg(a) != fp_is_neg(b);
    if (fp_is_zero(b)) {
        if (fp_is_zero(a)) fp_set_zero(r);
        else fp_saturate(r, fp_is_neg(a));
        return;
    }
    // The quotient limit |a| 2^256 / |b| < 2^512 is |a| < |b| 2^256, which can
    // only fail when b's integer limbs are all zero.
    if (is_zero_n<kLimbs - 4>(b.limb + 4)) {
        uint64_t bs[kLimbs];
        ZEL_UNROLL_LIMBS
        for (int i = 0; i < kLimbs; ++i) bs[i] = i < 4 ? 0 : b.limb[i - 4];
        if (cmp_n<kLimbs>(a.limb, bs) >= 0) { fp_saturate(r, neg); return; }
    }
    uint64_t u[kLimbs + 4];
    ZEL_UNROLL_LIMBS
    for (int i = 0; i < kLimbs + 4; ++i) u[i] = i < 4 ? 0 : a.limb[i - 4];
    uint64_t q[kLimbs];
    const bool inexact = divrem<kLimbs, kLimbs + 4, kLimbs>(q, nullptr, u, b.limb);
    if (neg && inexact) {
        if (add_1<kLimbs>(q, q, 1)) { fp_saturate(r, true); return; }
    }
    copy_n<kLimbs>(r.limb, q);
    fp_set_sign(r, neg);
}

// floor(sqrt(x)) for a 64-bit x.  The double estimate only seeds the search:
// the integer corrections make the result exact, so host and device agree.
ZEL_HD uint64_t isqrt_64(uint64_t x) {
#if ZEL_ON_DEVICE
    uint64_t y = static_cast<uint64_t>(::sqrt(static_cast<double>(x)));
#else
    uint64_t y = static_cast<uint64_t>(std::sqrt(static_cast<double>(x)));
#endif
    if (y > 0xFFFFFFFFu) y = 0xFFFFFFFFu;
    while (y * y > x) --y;
    // (y + 1)^2 <= x, evaluated without overflow.
    while (y < 0xFFFFFFFFu && (y + 1) * (y + 1) <= x) ++y;
    return y;
}

// r[0..N) = floor(sqrt(a)) for a of 2N limbs: Newton's iteration
// x <- floor((x + floor(a / x)) / 2) from an overestimate decreases
// strictly until it reaches floor(sqrt(a)) (Brent & Zimmermann, Modern
// Computer Arithmetic, algorithm 1.13).  r must not alias a.
template <int N>
ZEL_HD_OUTLINE void isqrt_n(uint64_t* r, const uint64_t* a) {
    const int p = top_bit_n<2 * N>(a);
    if (p < 0) { zero_n<N>(r); return; }
    // Seed from the top bits taken at an even shift: with top = a >> sh and
    // y = isqrt(top), x = (y + 1) 2^(sh/2) satisfies x^2 > a.
    const int sh = p >= 62 ? ((p - 62) & ~1) : 0;
    uint64_t t[2 * N];
    shr_n<2 * N>(t, a, sh);
    const uint64_t y = isqrt_64(t[0]) + 1;
    // The seed can reach 2^(64N), and a / x can exceed N limbs while x is
    // still far above the root, so the iteration runs on N + 1 limbs.
    uint64_t x[N + 1];
    zero_n<N + 1>(x);
    x[0] = y;
    shl_n<N + 1>(x, x, sh / 2);
    for (int it = 0; it < 64; ++it) {
        uint64_t q[N + 1];
        divrem<N + 1, 2 * N, N + 1>(q, nullptr, a, x);
        uint64_t s[N + 2];
        s[N + 1] = add_n<N + 1>(s, x, q);
        shr_n<N + 2>(s, s, 1);
        if (cmp_n<N + 1>(s, x) >= 0) break;
        copy_n<N + 1>(x, s);
    }
    copy_n<N>(r, x);
}

// r = floor(sqrt(a)) to the record grid.  Negative arguments are outside the
// domain and are clamped to it: sqrt of a negative value is 0.  May alias.
ZEL_HD void fp_sqrt(fp_t& r, const fp_t& a) {
    if (fp_is_neg(a) || fp_is_zero(a)) { fp_set_zero(r); return; }
    // sqrt(M / 2^256) * 2^256 = sqrt(M * 2^256).
    uint64_t n[12];
    ZEL_UNROLL_LIMBS
    for (int i = 0; i < 12; ++i) n[i] = i < 4 ? 0 : a.limb[i - 4];
    uint64_t s[6];
    isqrt_n<6>(s, n);
    ZEL_UNROLL_LIMBS
    for (int i = 0; i < kLimbs; ++i) r.limb[i] = i < 6 ? s[i] : 0;
    fp_set_sign(r, false);
}

// r = a - b * floor(a / b), exact: the remainder takes the sign of b and is
// smaller than |b|, as Python's % and NumPy's mod.  a mod 0 is 0, NumPy's
// answer for integers (there is no NaN to return).  May alias.
ZEL_HD void fp_mod(fp_t& r, const fp_t& a, const fp_t& b) {
    if (fp_is_zero(b)) { fp_set_zero(r); return; }
    uint64_t q[kLimbs], rem[kLimbs];
    const bool nonzero = divrem<kLimbs, kLimbs, kLimbs>(q, rem, a.limb, b.limb);
    const bool bneg = fp_is_neg(b);
    if (nonzero && fp_is_neg(a) != bneg) sub_n<kLimbs>(rem, b.limb, rem);
    copy_n<kLimbs>(r.limb, rem);
    fp_set_sign(r, bneg);
}

}  // namespace zel
