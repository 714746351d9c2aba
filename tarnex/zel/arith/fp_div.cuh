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
#elif defined(__x86_64__) && defined(__GNUC__)
    // One divq: the quotient fits a limb because ~d < d.  (The compiler's
    // 128-bit division is a library call that checks for the general case.)
    uint64_t q, rem;
    __asm__("divq %4" : "=a"(q), "=d"(rem) : "a"(~uint64_t(0)), "d"(~d), "rm"(d));
    (void)rem;
    return q;
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
    // The first adjustment is taken about half the time: done with a mask,
    // as data-dependent branches would be mispredicted; the second is rare.
    const uint64_t mask = uint64_t(0) - uint64_t(r > q0);
    q1 += mask;
    r += mask & d;
    if (r >= d) { q1 += 1; r -= d; }
    rem = r;
    return q1;
}

// Knuth's algorithm D (TAOCP vol. 2, 4.3.1) with a fixed divisor length NV
// and nq quotient limbs.  Pre: v normalized (top bit of v[NV-1] set), u has
// nq + NV limbs and u < v * 2^(64 nq).  Post: q[0..nq) = floor(u / v) and
// u[0..NV) holds the remainder (the limbs above it are zero).
template <int NV>
ZEL_HD void divrem_norm_n(uint64_t* q, uint64_t* u, int nq, const uint64_t* v) {
    const uint64_t vtop = v[NV - 1];
    const uint64_t vsec = NV >= 2 ? v[NV - 2] : 0;
    const uint64_t inv = reciprocal_word(vtop);
    for (int j = nq - 1; j >= 0; --j) {
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

// divrem_norm_n with the quotient length fixed as well.
template <int NQ, int NV>
ZEL_HD_OUTLINE void divrem_norm(uint64_t* q, uint64_t* u, const uint64_t* v) {
    divrem_norm_n<NV>(q, u, NQ, v);
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
    ZEL_UNROLL
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
// The full-length division, as the device runs it.
ZEL_HD void fp_div_portable(fp_t& r, const fp_t& a, const fp_t& b) {
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
        ZEL_UNROLL
        for (int i = 0; i < kLimbs; ++i) bs[i] = i < 4 ? 0 : b.limb[i - 4];
        if (cmp_n<kLimbs>(a.limb, bs) >= 0) { fp_saturate(r, neg); return; }
    }
    uint64_t u[kLimbs + 4];
    ZEL_UNROLL
    for (int i = 0; i < kLimbs + 4; ++i) u[i] = i < 4 ? 0 : a.limb[i - 4];
    uint64_t q[kLimbs];
    const bool inexact = divrem<kLimbs, kLimbs + 4, kLimbs>(q, nullptr, u, b.limb);
    if (neg && inexact) {
        if (add_1<kLimbs>(q, q, 1)) { fp_saturate(r, true); return; }
    }
    copy_n<kLimbs>(r.limb, q);
    fp_set_sign(r, neg);
}

#if !defined(__CUDA_ARCH__)
// q[0..nq) = floor(u / v) on the host, for a normalized divisor of nv limbs
// (1 <= nv <= 9) and a dividend u of nq + nv limbs below v * 2^(64 nq);
// u[0..nv) is left holding the remainder.  A single-limb divisor takes one
// 2-by-1 step per limb; longer ones Knuth D with the length fixed at compile
// time, so that its multiply-subtract loop unrolls.
inline void divrem_norm_var(uint64_t* q, uint64_t* u, int nq, const uint64_t* v, int nv) {
    switch (nv) {
        case 1: {
            const uint64_t d = v[0], inv = reciprocal_word(d);
            uint64_t rem = u[nq];
            for (int i = nq - 1; i >= 0; --i) q[i] = div_2by1(rem, rem, u[i], d, inv);
            u[0] = rem;
            return;
        }
        case 2: divrem_norm_n<2>(q, u, nq, v); return;
        case 3: divrem_norm_n<3>(q, u, nq, v); return;
        case 4: divrem_norm_n<4>(q, u, nq, v); return;
        case 5: divrem_norm_n<5>(q, u, nq, v); return;
        case 6: divrem_norm_n<6>(q, u, nq, v); return;
        case 7: divrem_norm_n<7>(q, u, nq, v); return;
        case 8: divrem_norm_n<8>(q, u, nq, v); return;
        default: divrem_norm_n<9>(q, u, nq, v); return;
    }
}

// fp_div on the effective lengths of the operands.  With B = 2^64, the
// dividend is U = |a| B^4 and the divisor V = V' B^lo, V' the span of |b|
// from its lowest non-zero limb.  floor(U / V) = floor(U' / V') with
// U' = floor(U / B^lo), and the quotient is inexact when that division
// leaves a remainder or U had non-zero limbs below B^lo.  Values from doubles
// and short fractions divide as two- to five-limb numbers.
inline void fp_div_spans(fp_t& r, const fp_t& a, const fp_t& b) {
    const bool neg = fp_is_neg(a) != fp_is_neg(b);
    int alo, ahi, blo, bhi;
    limb_span(b.limb, blo, bhi);
    if (blo == bhi) {
        if (fp_is_zero(a)) fp_set_zero(r);
        else fp_saturate(r, fp_is_neg(a));
        return;
    }
    limb_span(a.limb, alo, ahi);
    if (alo == ahi) { fp_set_zero(r); return; }
    constexpr int k = kFracBits / 64;
    const int nv = bhi - blo;
    const int nu = ahi + k - blo;   // limbs of U'
    bool inexact = alo + k < blo;
    uint64_t q[kLimbs + k + 1];
    zero_n<kLimbs + k + 1>(q);
    if (nu < nv) {
        inexact = true;   // 0 < U' < V'
    } else {
        // Normalize: V' and U' shifted left until the divisor's top bit is set.
        const int s = clz64(b.limb[bhi - 1]);
        uint64_t vn[kLimbs], un[kLimbs + k + 1];
        const uint64_t* vs = b.limb + blo;
        for (int i = nv - 1; i > 0; --i) vn[i] = s ? (vs[i] << s) | (vs[i - 1] >> (64 - s)) : vs[i];
        vn[0] = vs[0] << s;
        // Limb j of U' is limb blo + j - k of a (zero outside a).
        const int off = blo - k;
        auto ulimb = [&](int j) -> uint64_t {
            const int i = j + off;
            return i >= 0 && i < kLimbs ? a.limb[i] : 0;
        };
        uint64_t prev = 0;
        for (int j = 0; j < nu; ++j) {
            const uint64_t cur = ulimb(j);
            un[j] = s ? (cur << s) | (prev >> (64 - s)) : cur;
            prev = cur;
        }
        un[nu] = s ? prev >> (64 - s) : 0;
        const int nq = nu - nv + 1;
        divrem_norm_var(q, un, nq, vn, nv);
        uint64_t rem = 0;
        for (int i = 0; i < nv; ++i) rem |= un[i];
        inexact |= rem != 0;
    }
    bool over = !is_zero_n<k + 1>(q + kLimbs);
    if (!over && neg && inexact) over = add_1<kLimbs>(q, q, 1) != 0;
    if (over) { fp_saturate(r, neg); return; }
    copy_n<kLimbs>(r.limb, q);
    fp_set_sign(r, neg);
}
#endif

// r = floor(a / b) to the record grid.  x / 0 saturates with the sign of x and
// 0 / 0 is 0; quotients of magnitude 2^256 or more saturate.  May alias.
ZEL_HD void fp_div(fp_t& r, const fp_t& a, const fp_t& b) {
#if defined(__CUDA_ARCH__)
    fp_div_portable(r, a, b);
#else
    fp_div_spans(r, a, b);
#endif
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
// Computer Arithmetic, algorithm 1.13).  r must not alias a.  The device's
// root; the host takes isqrt_var below.
template <int N>
ZEL_HD_OUTLINE void isqrt_n_portable(uint64_t* r, const uint64_t* a) {
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

#if !defined(__CUDA_ARCH__)
// Host integer square root on runtime lengths.  An exact result from any
// approximation: one Newton step x1 = floor((x0 + floor(a / x0)) / 2) from a
// positive x0 never falls below s = floor(sqrt(a)) (the arithmetic-geometric
// mean inequality survives the floors), and x1 is then brought down to s
// exactly with the remainder x1^2 - a.  x0 comes from the root of the top
// half of a's bits, so the precision doubles per level (the recursion of
// Zimmermann's Karatsuba square root without its remainder bookkeeping): with
// h bits of the b-bit root known to within 3 above, r' <= s' + 3 for
// s' = floor(sqrt(a / 2^2t)), t = b - h, x0 = (r' + 1) 2^t is at most
// 4 2^t above sqrt(a), and x1 at most 16 2^(2t - b) + 1 above; h = b/2 + 3
// makes that 1.5, so the inner levels skip the correction and only the
// outermost brings x1 down to s.  Roots below 2^64 come from isqrt_128.

constexpr int kVarLimbs = 17;   // buffers: dividends up to 16 limbs

// floor(sqrt(hi 2^64 + lo)).  The double root is good to about 2^-52, so one
// Newton step lands on s or s + 1 (Newton from any x0 stays at or above s).
inline uint64_t isqrt_128(uint64_t lo, uint64_t hi) {
    if (hi == 0) return isqrt_64(lo);
    const unsigned __int128 a = (static_cast<unsigned __int128>(hi) << 64) | lo;
    const double d = std::sqrt(static_cast<double>(hi) * 18446744073709551616.0 + static_cast<double>(lo));
    uint64_t x0 = d >= 18446744073709551615.0 ? ~uint64_t(0) : static_cast<uint64_t>(d);
    if (x0 == 0) x0 = 1;
    // a / x0 is one divq whenever it fits a limb, which is almost always.
    unsigned __int128 q;
#if defined(__x86_64__) && defined(__GNUC__)
    if (hi < x0) {
        uint64_t ql, rl;
        __asm__("divq %4" : "=a"(ql), "=d"(rl) : "a"(lo), "d"(hi), "rm"(x0));
        (void)rl;
        q = ql;
    } else {
        q = a / x0;
    }
#else
    q = a / x0;
#endif
    unsigned __int128 x1 = (x0 + q) >> 1;
    if (x1 > ~uint64_t(0)) x1 = ~uint64_t(0);   // s < 2^64
    uint64_t x = static_cast<uint64_t>(x1);
    while (static_cast<unsigned __int128>(x) * x > a) --x;
    return x;
}

// Significant limbs of a[0 .. n).
inline int limbs_used(const uint64_t* a, int n) {
    while (n > 0 && a[n - 1] == 0) --n;
    return n;
}

// r[0 .. n + 1) = a[0 .. n) << s for 0 <= s < 64.
inline void shl_var(uint64_t* r, const uint64_t* a, int n, int s) {
    if (s == 0) {
        for (int i = 0; i < n; ++i) r[i] = a[i];
        r[n] = 0;
        return;
    }
    uint64_t prev = 0;
    for (int i = 0; i < n; ++i) {
        r[i] = (a[i] << s) | (prev >> (64 - s));
        prev = a[i];
    }
    r[n] = prev >> (64 - s);
}

// r[0 .. n - s/64) = a[0 .. n) >> s for 0 <= s < 64 n; returns that length.
inline int shr_var(uint64_t* r, const uint64_t* a, int n, int s) {
    const int w = s >> 6, sh = s & 63;
    for (int i = 0; i < n - w; ++i) {
        const uint64_t lo = a[i + w], hi = i + w + 1 < n ? a[i + w + 1] : 0;
        r[i] = sh ? (lo >> sh) | (hi << (64 - sh)) : lo;
    }
    return n - w;
}

// q[0 .. nu - nv + 1) = floor(u / v) for v[nv - 1] != 0, nv <= nu <= 16,
// nv <= 9.
inline void div_var(uint64_t* q, const uint64_t* u, int nu, const uint64_t* v, int nv) {
    const int s = clz64(v[nv - 1]);
    uint64_t vn[kLimbs + 2], un[kVarLimbs];
    shl_var(vn, v, nv, s);
    shl_var(un, u, nu, s);
    divrem_norm_var(q, un, nu - nv + 1, vn, nv);
}

// r[0 .. nr) = floor(sqrt(a[0 .. na))), na <= 16, the root fitting nr <= 8
// limbs; with exact = false a root between s and s + 1.  r must not alias a.
// Buffers are cleared with fixed-length stores: a runtime-length loop
// becomes a string store whose start-up costs more than the stores.
inline void isqrt_var(uint64_t* r, int nr, const uint64_t* a, int na, bool exact = true) {
    na = limbs_used(a, na);
    if (na == 0) {
        for (int i = 0; i < nr; ++i) r[i] = 0;
        return;
    }
    const int p = 64 * (na - 1) + 63 - clz64(a[na - 1]);
    if (p < 128) {
        for (int i = 1; i < nr; ++i) r[i] = 0;
        r[0] = isqrt_128(a[0], na > 1 ? a[1] : 0);
        return;
    }
    const int b = p / 2 + 1;   // bits of the root
    const int t = b - (b / 2 + 3);
    // r' = floor(sqrt(a >> 2t)).
    uint64_t top[kVarLimbs], rs[kLimbs + 1];
    isqrt_var(rs, kLimbs, top, shr_var(top, a, na, 2 * t), false);
    // x0 = (r' + 1) 2^t, at most b + 1 bits.  Lengths are tracked rather
    // than buffers cleared: a wide clear followed by narrow loads of the same
    // bytes stalls store-to-load forwarding.
    uint64_t x[kLimbs + 2];
    int nx, n1;
    {
        n1 = limbs_used(rs, kLimbs);
        uint64_t c = 1;
        for (int i = 0; i < n1; ++i) {
            const uint64_t v = rs[i] + c;
            c = v < c;
            rs[i] = v;
        }
        if (c) rs[n1++] = 1;
        const int w = t >> 6, sh = t & 63;
        for (int i = 0; i < w; ++i) x[i] = 0;
        shl_var(x + w, rs, n1, sh);
        nx = limbs_used(x, w + n1 + 1);
    }
    // x1 = floor((x0 + floor(a / x0)) / 2), where floor(a / x0) =
    // floor(floor(a / 2^t) / D) for x0 = D 2^t, D = r' + 1: the divisor has
    // the h bits of D, not the b bits of x0.
    uint64_t q[kVarLimbs];
    int nq = 0;
    {
        uint64_t as[kVarLimbs];
        const int nas = limbs_used(as, shr_var(as, a, na, t));
        if (nas >= n1) {
            nq = nas - n1 + 1;
            div_var(q, as, nas, rs, n1);
        }
    }
    {
        const int n = (nx > nq ? nx : nq) + 1;
        uint64_t c = 0;
        for (int i = 0; i < n; ++i) {
            const unsigned __int128 v =
                static_cast<unsigned __int128>(i < nx ? x[i] : 0) + (i < nq ? q[i] : 0) + c;
            x[i] = static_cast<uint64_t>(v);
            c = static_cast<uint64_t>(v >> 64);
        }
        for (int i = 0; i < n; ++i) x[i] = (x[i] >> 1) | (i + 1 < n ? x[i + 1] << 63 : 0);
        for (int i = n; i < kLimbs + 2; ++i) x[i] = 0;
        nx = limbs_used(x, n);
    }
    if (!exact) {
        for (int i = 0; i < nr; ++i) r[i] = i < kLimbs + 2 ? x[i] : 0;
        return;
    }
    // d = x1^2 - a; while positive, x1 -= 1 (d -= 2 x1 - 1).
    uint64_t d[2 * kLimbs + 4];
    const int nd = 2 * nx > na ? 2 * nx : na;
    if (nx <= kLimbs) {
        for (int i = 2 * nx; i < nd; ++i) d[i] = 0;
        mul_spans[(nx - 1) * kLimbs + (nx - 1)](d, x, x);
    } else {
        zero_n<2 * kLimbs + 4>(d);
        for (int j = 0; j < nx; ++j) {
            uint64_t c = 0;
            for (int i = 0; i < nx; ++i) {
                const unsigned __int128 v = static_cast<unsigned __int128>(x[i]) * x[j] + d[i + j] + c;
                d[i + j] = static_cast<uint64_t>(v);
                c = static_cast<uint64_t>(v >> 64);
            }
            d[j + nx] = c;
        }
    }
    uint64_t borrow = 0;
    for (int i = 0; i < nd; ++i) {
        const uint64_t ai = i < na ? a[i] : 0;
        const uint64_t v = d[i] - ai - borrow;
        borrow = (d[i] < ai) || (d[i] - ai < borrow);
        d[i] = v;
    }
    // borrow set: x1^2 < a, so x1 = s.  Otherwise step down while d > 0.
    if (!borrow) {
        for (;;) {
            bool positive = false;
            for (int i = 0; i < nd; ++i) positive |= d[i] != 0;
            if (!positive) break;
            // e = 2 x1 - 1; d -= e; x1 -= 1.  A borrow means (x1 - 1)^2 < a.
            uint64_t br = 0, prev = 0, e_borrow = 1;
            for (int i = 0; i < nd; ++i) {
                const uint64_t xi = i < nx ? x[i] : 0;
                uint64_t e = (xi << 1) | (prev >> 63);
                prev = xi;
                const uint64_t e1 = e - e_borrow;
                e_borrow = e < e_borrow;
                const uint64_t v = d[i] - e1 - br;
                br = (d[i] < e1) || (d[i] - e1 < br);
                d[i] = v;
            }
            uint64_t c = 1;
            for (int i = 0; i < nx; ++i) {
                const uint64_t v = x[i] - c;
                c = x[i] < c;
                x[i] = v;
            }
            if (br) break;
        }
    }
    for (int i = 0; i < nr; ++i) r[i] = i < kLimbs + 2 ? x[i] : 0;
}
#endif

// r[0..N) = floor(sqrt(a)) for a of 2N limbs (N <= 8).  r must not alias a.
template <int N>
ZEL_HD void isqrt_n(uint64_t* r, const uint64_t* a) {
#if defined(__CUDA_ARCH__)
    isqrt_n_portable<N>(r, a);
#else
    isqrt_var(r, N, a, 2 * N);
#endif
}

// r = floor(sqrt(a)) to the record grid.  Negative arguments are outside the
// domain and are clamped to it: sqrt of a negative value is 0.  May alias.
ZEL_HD void fp_sqrt(fp_t& r, const fp_t& a) {
    if (fp_is_neg(a) || fp_is_zero(a)) { fp_set_zero(r); return; }
    // sqrt(M / 2^256) * 2^256 = sqrt(M * 2^256).
    uint64_t n[12];
    ZEL_UNROLL
    for (int i = 0; i < 12; ++i) n[i] = i < 4 ? 0 : a.limb[i - 4];
    uint64_t s[6];
    isqrt_n<6>(s, n);
    ZEL_UNROLL
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
