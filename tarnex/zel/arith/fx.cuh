// Working precision for the transcendental functions: unsigned fixed-point
// numbers with W fraction limbs and one integer limb (value = l / 2^(64 W)),
// the series tables they read, and the conversions to records under the
// floor rule.  Every operation truncates (floor); the error analyses in
// fp_transc.cuh count those truncations.
#pragma once
#include "fp_div.cuh"

// A constant table lives in __constant__ memory for the device and in an
// ordinary array for the host; ZEL_TBL picks the copy of the current pass.
// (A __constant__ variable cannot be read by host code, and nvcc forbids a
// variable whose type depends on __CUDA_ARCH__, hence two names.)
#if ZEL_ON_DEVICE
#define ZEL_TABLE_DEV(name, ...) [[maybe_unused]] static __constant__ const uint64_t name##_dev[] = {__VA_ARGS__};
#define ZEL_TABLE_DEV_GLOBAL(name, ...) [[maybe_unused]] static __device__ const uint64_t name##_dev[] = {__VA_ARGS__};
#else
#define ZEL_TABLE_DEV(name, ...)
#define ZEL_TABLE_DEV_GLOBAL(name, ...)
#endif
#if !defined(__CUDACC_RTC__)
#define ZEL_TABLE_HOST(name, ...) [[maybe_unused]] static const uint64_t name##_host[] = {__VA_ARGS__};
#else
#define ZEL_TABLE_HOST(name, ...)
#endif
#define ZEL_TABLE(name, ...) ZEL_TABLE_DEV(name, __VA_ARGS__) ZEL_TABLE_HOST(name, __VA_ARGS__)
// A table read at data-dependent indices lives in global memory on the
// device: constant memory serves one address per warp at a time.
#define ZEL_TABLE_INDEXED(name, ...) ZEL_TABLE_DEV_GLOBAL(name, __VA_ARGS__) ZEL_TABLE_HOST(name, __VA_ARGS__)
// The device-branch build defines __CUDA_ARCH__ but has only host tables.
#if defined(__CUDA_ARCH__) && ZEL_ON_DEVICE
#define ZEL_TBL(name) name##_dev
#else
#define ZEL_TBL(name) name##_host
#endif

namespace zel {

#include "fp_consts.cuh"

template <int W>
struct fx {
    static_assert(W >= 4 && W <= kTblFracLimbs, "records need 4 fraction limbs; tables hold 10");
    uint64_t l[W + 1];
};

template <int W>
ZEL_HD void fx_zero(fx<W>& r) { zero_n<W + 1>(r.l); }

// r = k, an integer.
template <int W>
ZEL_HD void fx_set_int(fx<W>& r, uint64_t k) {
    zero_n<W + 1>(r.l);
    r.l[W] = k;
}

// r = 2^-e for 0 <= e <= 64 W.
template <int W>
ZEL_HD void fx_set_pow2(fx<W>& r, int e) {
    zero_n<W + 1>(r.l);
    const int bit = 64 * W - e;
    r.l[bit >> 6] = uint64_t(1) << (bit & 63);
}

// r = entry idx of a table, truncated to W fraction limbs (so r is the floor
// of the tabulated value at this precision).
template <int W>
ZEL_HD void fx_load(fx<W>& r, const uint64_t* tbl, int idx) {
    const uint64_t* e = tbl + idx * kTblLimbs + (kTblFracLimbs - W);
    ZEL_UNROLL
    for (int i = 0; i <= W; ++i) r.l[i] = e[i];
}

template <int W>
ZEL_HD uint64_t fx_add(fx<W>& r, const fx<W>& a, const fx<W>& b) { return add_n<W + 1>(r.l, a.l, b.l); }

template <int W>
ZEL_HD uint64_t fx_sub(fx<W>& r, const fx<W>& a, const fx<W>& b) { return sub_n<W + 1>(r.l, a.l, b.l); }

template <int W>
ZEL_HD int fx_cmp(const fx<W>& a, const fx<W>& b) { return cmp_n<W + 1>(a.l, b.l); }

template <int W>
ZEL_HD bool fx_is_zero(const fx<W>& a) { return is_zero_n<W + 1>(a.l); }

template <int W>
ZEL_HD void fx_shr(fx<W>& r, const fx<W>& a, int s) {
    if (s >= 64 * (W + 1)) { fx_zero(r); return; }
    shr_n<W + 1>(r.l, a.l, s);
}

template <int W>
ZEL_HD void fx_shl(fx<W>& r, const fx<W>& a, int s) { shl_n<W + 1>(r.l, a.l, s); }

// r = floor(a * b).  Pre: a * b < 2^64.  May alias.
template <int W>
ZEL_HD void fx_mul(fx<W>& r, const fx<W>& a, const fx<W>& b) {
    uint64_t t[2 * W + 2];
    mul_n<W + 1, W + 1>(t, a.l, b.l);
    ZEL_ASSERT(t[2 * W + 1] == 0);
    ZEL_UNROLL
    for (int i = 0; i <= W; ++i) r.l[i] = t[W + i];
}

// r = a * k for an integer k.  Pre: no overflow.  May alias.
template <int W>
ZEL_HD void fx_mul_int(fx<W>& r, const fx<W>& a, uint64_t k) {
    const uint64_t hi = mul_1<W + 1>(r.l, a.l, k);
    ZEL_ASSERT(hi == 0);
    (void)hi;
}

// r = floor(a / b).  Pre: b != 0 and a / b < 2^64.  r must not alias.
template <int W>
ZEL_HD void fx_div(fx<W>& r, const fx<W>& a, const fx<W>& b) {
    uint64_t u[2 * W + 1];
    ZEL_UNROLL
    for (int i = 0; i < 2 * W + 1; ++i) u[i] = i < W ? 0 : a.l[i - W];
    divrem<W + 1, 2 * W + 1, W + 1>(r.l, nullptr, u, b.l);
}

// r = floor(a / d) for an integer d != 0.  May alias.
template <int W>
ZEL_HD void fx_div_int(fx<W>& r, const fx<W>& a, uint64_t d) { div_1<W + 1>(r.l, a.l, d); }

// r = |a| exactly.  Pre: |a| < 2^64.
template <int W>
ZEL_HD void fx_from_fp(fx<W>& r, const fp_t& a) {
    ZEL_UNROLL
    for (int i = 0; i <= W; ++i) {
        const int j = i - (W - 4);
        r.l[i] = (j >= 0 && j <= 4) ? a.limb[j] : 0;
    }
}

// True when |a| < 2^64, i.e. fx_from_fp is exact.
ZEL_HD bool fp_fits_fx(const fp_t& a) { return is_zero_n<3>(a.limb + 5); }

// The record nearest below (up = false) or above (up = true) the
// non-negative value v, with the given sign.  Magnitudes of 2^256 or more
// saturate.
template <int W>
ZEL_HD void fx_to_fp_dir(fp_t& r, const fx<W>& v, bool up, bool negative) {
    constexpr int shift = 64 * W - kFracBits;
    fx<W> t;
    shr_n<W + 1>(t.l, v.l, shift);
    bool over = false;
    if (up && any_low_bits_n<W + 1>(v.l, shift)) over = add_1<W + 1>(t.l, t.l, 1) != 0;
    ZEL_UNROLL
    for (int i = kLimbs; i <= W; ++i) over |= t.l[i] != 0;
    if (over) { fp_saturate(r, negative); return; }
    ZEL_UNROLL
    for (int i = 0; i < kLimbs; ++i) r.limb[i] = i <= W ? t.l[i] : 0;
    fp_set_sign(r, negative);
}

// floor(+-v) to the record grid: the floor rule for a computed value.
template <int W>
ZEL_HD void fx_to_fp(fp_t& r, const fx<W>& v, bool negative) { fx_to_fp_dir(r, v, negative, negative); }

// r = a - b rounded down, for a record a and b >= 0: floor(a - b) = a - ceil(b)
// because a lies on the grid.  When b is known to be strictly positive its
// ceiling is at least one unit even if its approximation vanished.
template <int W>
ZEL_HD void fp_sub_fx_floor(fp_t& r, const fp_t& a, const fx<W>& b, bool b_positive) {
    fp_t c;
    fx_to_fp_dir(c, b, true, false);
    if (b_positive && fp_is_zero(c)) c.limb[0] = 1;
    fp_sub(r, a, c);
}

// r = a + b rounded down, for a record a and b >= 0: a + floor(b).
template <int W>
ZEL_HD void fp_add_fx_floor(fp_t& r, const fp_t& a, const fx<W>& b) {
    fp_t c;
    fx_to_fp_dir(c, b, false, false);
    fp_add(r, a, c);
}

}  // namespace zel
