// Transcendental functions on records: exp, log, sin, cos, tanh, sigmoid,
// silu, gelu, atan, asin, acos.  All arithmetic is integer arithmetic on
// fixed-point numbers (fx.cuh), so host and device produce identical bits.
//
// Accuracy.  Each function evaluates f(x) for the exact record x with an
// absolute error far below one unit 2^-256 (the analyses below bound it; the
// worst, exp, leaves 29 guard bits) and then applies the floor rule.  So the
// result is floor(f(x)) to the record grid, except when f(x) lies within
// 2^-29 units of a grid point, where it may be the neighbouring record:
// the error is always below one unit.  Where f(x) = A - b with A on the grid
// and 0 < b < one unit (sigmoid, tanh, silu and gelu far out), the result is
// exactly A - 2^-256, the true floor.
//
// Domains: arguments outside a function's domain are clamped to its closure
// and a pole gives the saturated value, with the sign of the limit:
// log(x <= 0) = -max, asin(x > 1) = pi/2, acos(x < -1) = pi, and so on.
#pragma once
#include "fx.cuh"

namespace zel {

// Working precision of the functions whose results are at most ~2^8: five
// fraction limbs (320 bits), 64 bits beyond the record grid.
constexpr int kW = 5;

// floor(log2(k)) for k >= 1.
ZEL_HD constexpr int ilog2_floor(int k) {
    int r = 0;
    while ((2 << r) <= k) ++r;
    return r;
}

// Smallest n such that a power series whose argument is below 2^-b and whose
// n-th coefficient is at most 1/n! has its tail from n on below 2^-bits
// (log2 of n! is bounded below by the sum of floor(log2 k)).
ZEL_HD constexpr int series_terms(int b, int bits) {
    int n = 0, have = 0;
    while (have < bits) {
        ++n;
        have += b + ilog2_floor(n);
    }
    return n;
}

// ---------------------------------------------------------------------------
// exp.  With q = floor(|x| / ln 2) and r = |x| - q ln 2 in [0, ln 2),
// e^x = 2^k e^r' (r' = r or ln 2 - r for negative x).  r' splits exactly into
// j1 / 2^8 + j2 / 2^16 + t with t < 2^-16, and e^r' = E1[j1] E2[j2] e^t from
// the two tables of fp_consts.cuh and the Taylor series of e^t.
//
// The series is e^t = 1 + t (1 + t q2) with q_n = 1/n! + t q_(n+1) by Horner.
// An error in q_n reaches the result multiplied by t^n < 2^(-16 n), so q_n is
// computed on only the limbs that can matter, L(n) = ceil((64 W + 8 - 16 n)
// / 64) (series_q below), and the innermost steps multiply one- or two-limb
// numbers: each step truncates (< 2^-(64 L(n)) from the coefficient, the
// truncated t and the product), which the factor t^n brings below
// 2^-(64W+8).
//
// Error (relative, W limbs): ln 2 truncation <= 2^(9-64W) (q <= 369), the
// tables and the series 2^(1.6-64W), the two table products 2^(1-64W): in all
// < 2^(9.1-64W).  Pre: |x| < 256.  Returns e^x = p 2^k with p in [1, 2].
constexpr int kExpTail = 2 * kExpStepBits;   // t < 2^-kExpTail

// Horner on shrinking precision, for a power series in x < 2^-B whose
// Horner values q_n = c_n +- x q_(n+1) lie in [0, 1) from n = 2 on: L(n)
// fraction limbs of q_n can reach the result, whose error its factor x^n
// brings below 2^-(64W+8).
template <int W, int B>
ZEL_HD constexpr int series_limbs(int n) {
    const int L = (64 * W + 8 - B * n + 63) / 64;
    return L < 1 ? 1 : (L > W ? W : L);
}

// q[0 .. L(n)) = the fraction limbs of q_n, with c_n entry Stride n + Offset
// of a table of coefficients below 1 (kInvFact, kInvInt), from the W
// fraction limbs of x; the series stops at term N.  Alternating series
// subtract.
template <int W, int B, bool Alternating, int Stride, int Offset, int N, int n>
ZEL_HD void series_q(uint64_t* q, const uint64_t* x, const uint64_t* tbl) {
    constexpr int L = series_limbs<W, B>(n);
    const uint64_t* c = tbl + (Stride * n + Offset) * kTblLimbs + (kTblFracLimbs - L);
    if constexpr (n == N) {
        copy_n<L>(q, c);
    } else {
        constexpr int L1 = series_limbs<W, B>(n + 1);
        uint64_t q1[L1], p[L1 + L];
        series_q<W, B, Alternating, Stride, Offset, N, n + 1>(q1, x, tbl);
        mul_n<L1, L>(p, q1, x + (W - L));   // q_(n+1) * (x truncated to L limbs)
        if constexpr (Alternating) sub_n<L>(q, c, p + L1);
        else add_n<L>(q, c, p + L1);        // below 1: no carry
    }
}

template <int W>
ZEL_HD_OUTLINE void exp_core(fx<W>& p, int& k, const fx<W>& xa, bool xneg) {
    ZEL_ASSERT(xa.l[W] < 256);
    fx<W> ln2;
    fx_load(ln2, ZEL_TBL(kLn2), 0);
    // q estimate from |x| 2^8 and floor(2^32 / ln 2); corrected exactly below.
    const uint64_t hx = (xa.l[W] << 8) | (xa.l[W - 1] >> 56);
    uint64_t q = (hx * 6196328018ull) >> 40;
    fx<W> t, r;
    fx_mul_int(t, ln2, q);
    while (fx_cmp(t, xa) > 0) { --q; fx_sub(t, t, ln2); }
    fx_sub(r, xa, t);
    while (fx_cmp(r, ln2) >= 0) { ++q; fx_sub(r, r, ln2); }
    int kk = static_cast<int>(q);
    if (xneg) {
        if (fx_is_zero(r)) {
            kk = -kk;
        } else {
            kk = -kk - 1;
            fx_sub(r, ln2, r);
        }
    }
    k = kk;
    // r < ln 2 < 1: its top fraction bits are the table indices.
    const uint64_t top = r.l[W - 1];
    const int j1 = static_cast<int>(top >> (64 - kExpStepBits));
    const int j2 = static_cast<int>((top >> (64 - kExpTail)) & ((1u << kExpStepBits) - 1));
    ZEL_ASSERT(j1 < kExpHiEntries);
    r.l[W - 1] = top & ((uint64_t(1) << (64 - kExpTail)) - 1);
    constexpr int N = series_terms(kExpTail, 64 * W + 8);
    static_assert(N <= kInvFactMax, "1/n! table too short");
    static_assert(series_limbs<W, kExpTail>(2) == W, "q2 carries the full precision");
    uint64_t q2[W], w[2 * W];
    series_q<W, kExpTail, false, 1, 0, N, 2>(q2, r.l, ZEL_TBL(kInvFact));
    // u = t q2, then e^t = 1 + t + t u.
    mul_n<W, W>(w, r.l, q2);
    uint64_t u[W];
    copy_n<W>(u, w + W);
    mul_n<W, W>(w, r.l, u);
    fx<W> e;
    copy_n<W>(e.l, w + W);
    e.l[W] = 1;
    fx_add(e, e, r);
    fx<W> e1, e2;
    fx_load(e1, ZEL_TBL(kExpHi), j1);
    fx_load(e2, ZEL_TBL(kExpLo), j2);
    fx_mul(p, e1, e2);
    fx_mul(p, p, e);
}

// e = e^-y as a fixed-point number (0 when it falls below the precision).
template <int W>
ZEL_HD void exp_neg_fx(fx<W>& e, const fx<W>& y) {
    if (y.l[W] >= 256) { fx_zero(e); return; }
    fx<W> p;
    int k;
    exp_core<W>(p, k, y, true);
    fx_shr(e, p, -k);
}

// r = floor(e^x).  Below x = -256 ln 2 the result is 0; from x = 256 ln 2 on
// it saturates.  Arguments below 11 (results below 2^16) use five limbs,
// larger ones nine, so the absolute error stays below 2^-285 resp. 2^-301
// (29 and 45 guard bits).
ZEL_HD void fp_exp(fp_t& r, const fp_t& a) {
    const bool neg = fp_is_neg(a);
    if (!fp_fits_fx(a) || a.limb[4] >= 256) {
        if (neg) fp_set_zero(r);
        else fp_saturate(r, false);
        return;
    }
    if (!neg && a.limb[4] >= 11) {
        constexpr int W = 9;
        fx<W> xa, p;
        fx_from_fp(xa, a);
        int k;
        exp_core<W>(p, k, xa, false);
        if (k >= 256) { fp_saturate(r, false); return; }
        fp_round_shift<W + 1>(r, p.l, 64 * W - kFracBits - k, false);
        return;
    }
    fx<kW> xa, p;
    fx_from_fp(xa, a);
    int k;
    exp_core<kW>(p, k, xa, neg);
    const int shift = 64 * kW - kFracBits - k;   // k <= 15 here, so shift > 0
    if (shift >= 64 * (kW + 1)) { fp_set_zero(r); return; }
    fp_round_shift<kW + 1>(r, p.l, shift, false);
}

// ---------------------------------------------------------------------------
// log.  x = m 2^e with m in [1, 2).  Two multiplicative reductions with
// short multipliers (Tang's table method): c1 = ceil(2^72 / (256 + j1)) 2^-64
// for j1 = floor((m - 1) 2^8) gives m1 = m c1 in [1, 1 + 2^-8 + 2^-63), and
// c2 = ceil(2^80 / (2^16 + j2)) 2^-64 for j2 = floor((m1 - 1) 2^16) gives
// m2 = m1 c2 in [1, 1 + 2^-15.99).  The ceilings keep m c1 - 1 and m1 c2 - 1
// at least 2^-81 above zero wherever they are not exactly zero, so the
// products' truncations (2^-320) never take them below 1.  Then
// ln m = -ln c1 - ln c2 + log1p(d), d = m2 - 1, with -ln c tabulated and the
// series to d^22/22 (tail below 2^-340) by Horner on shrinking precision.
// Error: tables 2^-319, products and series 2^-317, ln 2 * e 2^-312: below
// 2^-311 in all.
constexpr int kLogTail = 15;   // d < 2^-15.99

// Terms of log1p(d) for d < 2^-b to leave a tail below 2^-bits.
ZEL_HD constexpr int log_series_terms(int b, int bits) {
    int n = 1;
    while (b * n + ilog2_floor(n) < bits) ++n;
    return n;
}

// m <- m * c, c = (c[1] 2^64 + c[0]) 2^-64, truncated.
template <int W>
ZEL_HD void fx_mul_short(fx<W>& m, const uint64_t* c) {
    uint64_t w[W + 3];
    mul_n<W + 1, 2>(w, m.l, c);
    ZEL_UNROLL
    for (int i = 0; i <= W; ++i) m.l[i] = w[i + 1];
}

ZEL_HD void fp_log(fp_t& r, const fp_t& a) {
    constexpr int W = kW;
    if (fp_is_neg(a) || fp_is_zero(a)) { fp_saturate(r, true); return; }
    const int p = top_bit_n<kLimbs>(a.limb);
    const int e = p - kFracBits;
    fx<W> m;
    {
        uint64_t t[16];
        ZEL_UNROLL
        for (int i = 0; i < 16; ++i) t[i] = i < kLimbs ? a.limb[i] : 0;
        const int d = 64 * W - p;
        if (d >= 0) shl_n<16>(t, t, d);
        else shr_n<16>(t, t, -d);
        ZEL_UNROLL
        for (int i = 0; i <= W; ++i) m.l[i] = t[i];
    }
    const int j1 = static_cast<int>(m.l[W - 1] >> 56);
    fx_mul_short(m, ZEL_TBL(kLogC1) + 2 * j1);
    const int j2 = static_cast<int>(m.l[W - 1] >> 48);   // m - 1 < 2^-8 + 2^-63: j2 <= 256
    ZEL_ASSERT(m.l[W] == 1 && j2 <= 256);
    fx_mul_short(m, ZEL_TBL(kLogC2) + 2 * j2);
    ZEL_ASSERT(m.l[W] == 1);
    fx<W> d = m;
    d.l[W] = 0;
    // log1p(d) = d (1 - d h2), h_n = 1/n - d h_(n+1).
    constexpr int N = log_series_terms(kLogTail, 64 * W + 8);
    static_assert(N <= kInvIntMax, "1/k table too short");
    constexpr int L2 = series_limbs<W, kLogTail>(2);
    uint64_t h2[L2], w[W + L2];
    series_q<W, kLogTail, true, 1, 0, N, 2>(h2, d.l, ZEL_TBL(kInvInt));
    mul_n<W, L2>(w, d.l, h2);
    fx<W> h, dh;
    copy_n<W>(dh.l, w + L2);
    dh.l[W] = 0;
    fx_set_int(h, 1);
    fx_sub(h, h, dh);
    fx_mul(h, h, d);
    fx<W> y0, c, ln2;
    fx_load(y0, ZEL_TBL(kLogL1), j1);
    fx_load(c, ZEL_TBL(kLogL2), j2);
    fx_add(y0, y0, c);
    fx_load(ln2, ZEL_TBL(kLn2), 0);
    fx<W> lnm, t;
    fx_add(lnm, y0, h);
    fx_mul_int(t, ln2, static_cast<uint64_t>(e < 0 ? -e : e));
    bool neg = false;
    if (e >= 0) {
        fx_add(t, t, lnm);
    } else if (fx_cmp(t, lnm) >= 0) {
        fx_sub(t, t, lnm);
        neg = true;
    } else {
        fx_sub(t, lnm, t);
    }
    fx_to_fp(r, t, neg);
}

// ---------------------------------------------------------------------------
// sin and cos.  |x| = (n + f) pi/2 with 2/pi to 640 bits, so that f is good
// to 2^-384 for every |x| < 2^256; folding f to [0, 1/2] gives |x| = q pi/2
// +- rho with rho in [0, pi/4].  sin rho and cos rho come from tables at
// j / 2^8 and the Taylor series of the rest (sincos_core).  Error: below
// 2^-300 (the reduction 2^-318, tables, series and products 2^-316).
template <int W>
ZEL_HD void trig_reduce(fx<W>& rho, int& q, bool& reflected, const fp_t& a) {
    if (is_zero_n<4>(a.limb + 4) && a.limb[3] < 0xC000000000000000ull) {
        fx_from_fp(rho, a);   // |x| < 3/4 < pi/4: already reduced
        q = 0;
        reflected = false;
        return;
    }
    const uint64_t* c = ZEL_TBL(kTwoOverPi);   // 10 fraction limbs, integer limb 0
    uint64_t t[kLimbs + kTblFracLimbs];
    mul_n<kLimbs, kTblFracLimbs>(t, a.limb, c);
    // t = |x| 2/pi scaled by 2^(256 + 640): limb 14 holds the integer part.
    constexpr int ip = (kFracBits + 64 * kTblFracLimbs) / 64;
    q = static_cast<int>(t[ip] & 3);
    fx<W> f;
    ZEL_UNROLL
    for (int i = 0; i < W; ++i) f.l[i] = t[ip - W + i];
    f.l[W] = 0;
    reflected = (t[ip - 1] >> 63) != 0;
    if (reflected) {
        q = (q + 1) & 3;
        fx<W> one;
        fx_set_int(one, 1);
        fx_sub(f, one, f);
    }
    fx<W> ph;
    fx_load(ph, ZEL_TBL(kPiHalf), 0);
    fx_mul(rho, f, ph);
}

// sin rho and cos rho for rho in [0, pi/4]: rho = j / 2^8 + t exactly, with
// t < 2^-8, and sin rho = S_j cos t + C_j sin t, cos rho = C_j cos t - S_j sin t
// from the tables of sin and cos at j / 2^8.  sin t = t (1 - u hs1) and
// cos t = 1 - u hc1, u = t^2 < 2^-16, by Horner on shrinking precision
// (series_q), cut where the next term is below 2^-(64W+8).
template <int W>
ZEL_HD_OUTLINE void sincos_core(fx<W>& S, fx<W>& C, const fx<W>& rho) {
    constexpr int K = (series_terms(kTrigStepBits, 64 * W + 8) + 1) / 2;
    static_assert(2 * K + 1 <= kInvFactMax, "1/n! table too short");
    constexpr int B = 2 * kTrigStepBits;   // u < 2^-B
    static_assert(series_limbs<W, B>(1) == W, "the first Horner values carry the full precision");
    const uint64_t top = rho.l[W - 1];
    const int j = static_cast<int>(top >> (64 - kTrigStepBits));
    ZEL_ASSERT(j < kTrigEntries);
    fx<W> t = rho, u, one, st, ct;
    t.l[W - 1] = top & ((uint64_t(1) << (64 - kTrigStepBits)) - 1);
    fx_mul(u, t, t);
    fx_set_int(one, 1);
    uint64_t h[W], w[2 * W];
    // sin t = t (1 - u hs1), hs_n = 1/(2n+1)! - u hs_(n+1).
    series_q<W, B, true, 2, 1, K, 1>(h, u.l, ZEL_TBL(kInvFact));
    mul_n<W, W>(w, u.l, h);
    fx<W> v;
    copy_n<W>(v.l, w + W);
    v.l[W] = 0;
    fx_sub(st, one, v);
    fx_mul(st, st, t);
    // cos t = 1 - u hc1, hc_n = 1/(2n)! - u hc_(n+1).
    series_q<W, B, true, 2, 0, K, 1>(h, u.l, ZEL_TBL(kInvFact));
    mul_n<W, W>(w, u.l, h);
    copy_n<W>(v.l, w + W);
    fx_sub(ct, one, v);
    fx<W> sj, cj, p1, p2;
    fx_load(sj, ZEL_TBL(kSinTbl), j);
    fx_load(cj, ZEL_TBL(kCosTbl), j);
    fx_mul(p1, sj, ct);
    fx_mul(p2, cj, st);
    fx_add(S, p1, p2);
    fx_mul(p1, cj, ct);
    fx_mul(p2, sj, st);
    fx_sub(C, p1, p2);
}

// r = floor(sin x).
ZEL_HD void fp_sin(fp_t& r, const fp_t& a) {
    fx<kW> rho, S, C;
    int q;
    bool refl;
    trig_reduce(rho, q, refl, a);
    sincos_core(S, C, rho);
    // sin(q pi/2 +- rho) by quadrant.
    const bool use_cos = (q & 1) != 0;
    bool neg = use_cos ? q == 3 : (q == 0 ? refl : !refl);
    if (fp_is_neg(a)) neg = !neg;
    fx_to_fp(r, use_cos ? C : S, neg);
}

// r = floor(cos x).
ZEL_HD void fp_cos(fp_t& r, const fp_t& a) {
    fx<kW> rho, S, C;
    int q;
    bool refl;
    trig_reduce(rho, q, refl, a);
    sincos_core(S, C, rho);
    const bool use_sin = (q & 1) != 0;
    const bool neg = use_sin ? (q == 1 ? !refl : refl) : q == 2;
    fx_to_fp(r, use_sin ? S : C, neg);
}

// ---------------------------------------------------------------------------
// Functions of e^-|x|.

// e = e^-(scale |x|) in working precision; 0 when |x| is too large to matter.
ZEL_HD void exp_neg_of(fx<kW>& e, const fp_t& a, int scale_shift) {
    if (!fp_fits_fx(a) || a.limb[4] >= 256) { fx_zero(e); return; }
    fx<kW> y;
    fx_from_fp(y, a);
    fx_shl(y, y, scale_shift);
    exp_neg_fx(e, y);
}

// b = e / (1 + e) with e = e^-|x|: sigmoid(-|x|).
ZEL_HD void sigmoid_neg_abs(fx<kW>& b, const fp_t& a) {
    fx<kW> e, den, one;
    exp_neg_of(e, a, 0);
    fx_set_int(one, 1);
    fx_add(den, one, e);
    fx_div(b, e, den);
}

// r = floor(1 / (1 + e^-x)).  With b = sigmoid(-|x|): x >= 0 gives 1 - b,
// x < 0 gives b.  Error below 2^-300.
ZEL_HD void fp_sigmoid(fp_t& r, const fp_t& a) {
    fx<kW> b;
    sigmoid_neg_abs(b, a);
    if (fp_is_neg(a)) {
        fx_to_fp(r, b, false);
    } else {
        fp_t unit;
        fp_from_int(unit, 1);
        fp_sub_fx_floor(r, unit, b, true);
    }
}

// r = floor(tanh x) = floor(+-(1 - b)) with b = 2e / (1 + e), e = e^-2|x|.
ZEL_HD void fp_tanh(fp_t& r, const fp_t& a) {
    fx<kW> e, den, num, b, one;
    if (a.limb[4] >= 128) fx_zero(e);
    else exp_neg_of(e, a, 1);
    fx_set_int(one, 1);
    fx_add(den, one, e);
    fx_shl(num, e, 1);
    fx_div(b, num, den);
    fp_t unit;
    if (fp_is_neg(a)) {
        fp_from_int(unit, -1);
        fp_add_fx_floor(r, unit, b);
    } else {
        fp_from_int(unit, 1);
        fp_sub_fx_floor(r, unit, b, true);
    }
}

// r = floor(x sigmoid(x)).  With P = |x| e / (1 + e), e = e^-|x| (so that
// x sigmoid(x) = x - P for x >= 0 and -P for x < 0), the result is
// x - ceil(P) or -ceil(P).  From |x| = 256 on, 0 < P < 2^-300.
ZEL_HD void fp_silu(fp_t& r, const fp_t& a) {
    fp_t base;
    if (fp_is_neg(a)) fp_set_zero(base);
    else base = a;
    fx<kW> P;
    if (!fp_fits_fx(a) || a.limb[4] >= 256) {
        fx_zero(P);
    } else {
        fx<kW> b, xa;
        sigmoid_neg_abs(b, a);
        fx_from_fp(xa, a);
        fx_mul(P, xa, b);
    }
    fp_sub_fx_floor(r, base, P, !fp_is_zero(a));
}

// B = (|x|/2) erfc(|x|/sqrt 2), for |x| < 19.  With z = |x|/sqrt 2 and
// e^-z^2 = p 2^k:
//  z < 10.25: erf z = (2/sqrt pi) z p sum T_n, T_0 = 2^k,
//    T_n = T_(n-1) 2z^2/(2n+1): the series of all positive terms (Abramowitz
//    & Stegun 7.1.6), each term below 1, summed to terms of 2^-316.  A
//    truncation in T_i is carried to the peak term (n ~ z^2) by the growth of
//    the terms, up to e^(z^2) ~ 2^-k: the error is about 2^(-64W - k + 7), so
//    fp_gelu takes W = 5, 6, 7 as z grows, keeping it below 2^-290;
//  z >= 10.25: the asymptotic series (A&S 7.1.23) cut at its smallest term
//    or at 2^(128 - 64W), whose error is below e^-2z^2 < 2^-303.
template <int W>
ZEL_HD_OUTLINE void gelu_tail(fx<W>& B, const fx<W>& xa) {
    fx<W> z, z2, p, c, one;
    fx_load(c, ZEL_TBL(kSqrtHalf), 0);
    fx_mul(z, xa, c);
    fx_mul(z2, z, z);
    int k;
    exp_core<W>(p, k, z2, true);
    fx_set_int(one, 1);
    const bool series = z.l[W] < 10 || (z.l[W] == 10 && z.l[W - 1] < 0x4000000000000000ull);
    if (series) {
        fx<W> a, T, S;
        fx_shl(a, z2, 1);
        fx_set_pow2(T, -k);
        S = T;
        // Past the peak the ratio of successive terms is below 1/2 by the
        // time they fall under 2^-316, so the omitted tail is below that.
        for (uint32_t n = 1; n < 4096; ++n) {
            fx_mul(T, T, a);
            fx_div_int(T, T, 2 * n + 1);
            if (top_bit_n<W + 1>(T.l) < 64 * W - 316) break;
            fx_add(S, S, T);
        }
        fx<W> g;
        fx_mul(g, z, p);
        fx_mul(g, g, S);
        fx_load(c, ZEL_TBL(kInvSqrtPi), 0);
        fx_mul(g, g, c);
        fx_shl(g, g, 1);   // erf z
        fx<W> erfc;
        if (fx_cmp(g, one) >= 0) fx_zero(erfc);
        else fx_sub(erfc, one, g);
        fx<W> h;
        fx_shr(h, xa, 1);
        fx_mul(B, h, erfc);
        return;
    }
    fx<W> w, twoz2, A, term, prev;
    fx_shl(twoz2, z2, 1);
    fx_div(w, one, twoz2);
    A = one;
    term = one;
    for (uint32_t n = 1; n < 4096; ++n) {
        prev = term;
        fx_mul_int(term, term, 2 * n - 1);
        fx_mul(term, term, w);
        if (fx_cmp(term, prev) >= 0 || is_zero_n<W - 1>(term.l + 2)) break;
        if (n & 1) fx_sub(A, A, term);
        else fx_add(A, A, term);
    }
    fx<W> g;
    fx_mul(g, p, A);
    fx_load(c, ZEL_TBL(kInvSqrtPi), 0);
    fx_mul(g, g, c);
    fx_load(c, ZEL_TBL(kSqrtHalf), 0);
    fx_mul(g, g, c);
    fx_shr(B, g, -k);
}

// r = base - ceil(B), B from gelu_tail at W fraction limbs.
template <int W>
ZEL_HD void gelu_at(fp_t& r, const fp_t& base, const fp_t& a, bool nonzero) {
    fx<W> xa, B;
    fx_from_fp(xa, a);
    gelu_tail(B, xa);
    fp_sub_fx_floor(r, base, B, nonzero);
}

// r = floor(x Phi(x)) = floor(x (1 + erf(x/sqrt 2)) / 2), the exact GELU.
// x Phi(x) = x - B for x >= 0 and -B for x < 0 (B from gelu_tail); from
// |x| = 19 on, 0 < B < 2^-261.  Error below 2^-290.
ZEL_HD void fp_gelu(fp_t& r, const fp_t& a) {
    fp_t base;
    if (fp_is_neg(a)) fp_set_zero(base);
    else base = a;
    const bool nonzero = !fp_is_zero(a);
    if (!fp_fits_fx(a) || a.limb[4] >= 19) {
        fx<kW> B;
        fx_zero(B);
        fp_sub_fx_floor(r, base, B, nonzero);
    } else if (a.limb[4] < 5) {    // z < 3.6, z^2 log2 e < 19
        gelu_at<kW>(r, base, a, nonzero);
    } else if (a.limb[4] < 10) {   // z < 7.1, z^2 log2 e < 73
        gelu_at<6>(r, base, a, nonzero);
    } else {                        // series up to z = 10.25: z^2 log2 e < 152
        gelu_at<7>(r, base, a, nonzero);
    }
}

// ---------------------------------------------------------------------------
// Inverse trigonometric functions.
//
// atan on [0, 1]: for j = 1..8, when y > 2^-j, y <- (y - 2^-j)/(1 + y 2^-j)
// and atan(2^-j) is added (after step j, y <= 2^-j); then the Taylor series
// at y <= 2^-8 to the term 2^-344.  Error below 2^-313.
template <int W>
ZEL_HD_OUTLINE void atan_core(fx<W>& out, const fx<W>& y0) {
    fx<W> y = y0, acc, c, num, den, one;
    fx_zero(acc);
    fx_set_int(one, 1);
    for (int j = 1; j <= kAtanPow2Max; ++j) {
        fx_set_pow2(c, j);
        if (fx_cmp(y, c) > 0) {
            fx_sub(num, y, c);
            fx_shr(den, y, j);
            fx_add(den, den, one);
            fx_div(y, num, den);
            fx_load(c, ZEL_TBL(kAtanPow2), j);
            fx_add(acc, acc, c);
        }
    }
    constexpr int K = ((64 * W + 8) / kAtanPow2Max) / 2;
    static_assert(2 * K + 1 <= kInvIntMax, "1/k table too short");
    fx<W> u, h;
    fx_mul(u, y, y);
    fx_load(h, ZEL_TBL(kInvInt), 2 * K + 1);
    for (int j = K - 1; j >= 0; --j) {
        fx_mul(h, h, u);
        fx_load(c, ZEL_TBL(kInvInt), 2 * j + 1);
        fx_sub(h, c, h);
    }
    fx_mul(h, h, y);
    fx_add(out, acc, h);
}

// out = atan2(y, x) for y, x >= 0, not both zero: the quotient is always at
// most 1, and the larger operand is at least 1/sqrt 2 wherever this is used.
template <int W>
ZEL_HD void atan2_pos(fx<W>& out, const fx<W>& y, const fx<W>& x) {
    fx<W> q, t;
    if (fx_cmp(y, x) <= 0) {
        fx_div(q, y, x);
        atan_core(out, q);
    } else {
        fx_div(q, x, y);
        atan_core(t, q);
        fx<W> ph;
        fx_load(ph, ZEL_TBL(kPiHalf), 0);
        fx_sub(out, ph, t);
    }
}

// r = floor(atan x), on the whole range: |x| > 1 uses pi/2 - atan(1/|x|).
ZEL_HD void fp_atan(fp_t& r, const fp_t& a) {
    constexpr int W = kW;
    fx<W> y, v;
    const bool small = is_zero_n<3>(a.limb + 5) && (a.limb[4] == 0 || (a.limb[4] == 1 && is_zero_n<4>(a.limb)));
    if (small) {
        fx_from_fp(y, a);
        atan_core(v, y);
    } else {
        // y = floor(2^(64W) / |x|) = floor(2^(64W + 256) / M).
        uint64_t u[W + 5];
        zero_n<W + 5>(u);
        u[W + 4] = 1;
        divrem<W + 1, W + 5, kLimbs>(y.l, nullptr, u, a.limb);
        fx<W> t, ph;
        atan_core(t, y);
        fx_load(ph, ZEL_TBL(kPiHalf), 0);
        fx_sub(v, ph, t);
    }
    fx_to_fp(r, v, fp_is_neg(a));
}

// For |x| < 1: y = |x| and c = sqrt(1 - x^2), the root floored exactly from
// (1 - y)(1 + y), which keeps full absolute accuracy next to |x| = 1.
template <int W>
ZEL_HD void asin_parts(fx<W>& y, fx<W>& c, const fp_t& a) {
    fx<W> one, d, s;
    fx_from_fp(y, a);
    fx_set_int(one, 1);
    fx_sub(d, one, y);
    fx_add(s, one, y);
    uint64_t w[2 * W + 2];
    mul_n<W + 1, W + 1>(w, d.l, s.l);
    isqrt_n<W + 1>(c.l, w);
}

// |x| >= 1 (the clamped part of the domain).
ZEL_HD bool fp_abs_ge_one(const fp_t& a) { return !is_zero_n<4>(a.limb + 4); }

// r = floor(asin x); |x| > 1 is clamped to +-1 (+-pi/2).
ZEL_HD void fp_asin(fp_t& r, const fp_t& a) {
    constexpr int W = kW;
    fx<W> v;
    if (fp_abs_ge_one(a)) {
        fx_load(v, ZEL_TBL(kPiHalf), 0);
    } else {
        fx<W> y, c;
        asin_parts(y, c, a);
        atan2_pos(v, y, c);
    }
    fx_to_fp(r, v, fp_is_neg(a));
}

// r = floor(acos x) = floor(atan2(sqrt(1 - x^2), x)); x > 1 gives 0 and
// x < -1 gives pi.  Negative x use acos x = pi - acos |x|.
ZEL_HD void fp_acos(fp_t& r, const fp_t& a) {
    constexpr int W = kW;
    fx<W> v;
    if (fp_abs_ge_one(a)) {
        fx_zero(v);
    } else {
        fx<W> y, c;
        asin_parts(y, c, a);
        atan2_pos(v, c, y);
    }
    if (fp_is_neg(a)) {
        fx<W> pi;
        fx_load(pi, ZEL_TBL(kPiHalf), 0);
        fx_shl(pi, pi, 1);
        fx_sub(v, pi, v);
    }
    fx_to_fp(r, v, false);
}

}  // namespace zel
