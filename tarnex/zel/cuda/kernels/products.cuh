// Matrix product kernels: mm, mv, outer, kron, trace, diag and conv2d.  Sums
// of products (mm, mv, conv2d) and of records (trace) run in the exact
// accumulator of fp_mul.cuh and are rounded once, by the floor rule, so every
// output is the record of the exact sum regardless of the summation order;
// that is what lets the tiled GPU product and the host loop agree bit for bit.
#pragma once
#include "../include/zel/fp_math.cuh"
#include "../include/zel/kernel.cuh"

namespace zel {

constexpr int kMmTile = 16;  // the 16 x 16 launch of fp_mm_kernel

#if !defined(__CUDA_ARCH__)
// [lo, hi): the limbs of a magnitude between its lowest and highest non-zero
// limb (lo == hi for zero).
inline void limb_span(const uint64_t* a, int& lo, int& hi) {
    lo = 0;
    while (lo < kLimbs && a[lo] == 0) ++lo;
    hi = kLimbs;
    while (hi > lo && a[hi - 1] == 0) --hi;
}

// The host accumulates a sum of products by columns (product scanning, as in
// Comba's multiplication): every limb product a_i * b_j goes, as a 128-bit
// number, into column i + j, whose overflows are counted beside it, so no
// carry crosses columns until the sum is complete: the limb products are
// independent of one another instead of forming one long carry chain.
// Products of each sign have their own columns, chosen
// without a branch (signs are data and would defeat prediction), and only
// the non-zero limb spans are multiplied: values that came from doubles,
// integers or short fractions span two to five limbs.  Near-full-width pairs
// go to the unrolled two's complement product instead, which is faster once
// almost all 64 limb products are needed.  The total is the same exact
// integer as the GPU's single accumulator, so both round to the same record.
struct col_acc_t {
    unsigned __int128 col[2][2 * kLimbs];  // [0]: positive products, [1]: negative
    uint64_t ovf[2][2 * kLimbs];           // carries out of each column
    acc_t wide;                            // the near-full-width products
};

inline void acc_zero(col_acc_t& acc) {
    for (int s = 0; s < 2; ++s) {
        for (int c = 0; c < 2 * kLimbs; ++c) {
            acc.col[s][c] = 0;
            acc.ovf[s][c] = 0;
        }
    }
    acc_zero(acc.wide);
}

inline void acc_mac(col_acc_t& acc, const fp_t& a, const fp_t& b) {
    int alo, ahi, blo, bhi;
    limb_span(a.limb, alo, ahi);
    limb_span(b.limb, blo, bhi);
    if ((ahi - alo) * (bhi - blo) > 42) {
        acc_add_product(acc.wide, a, b);
        return;
    }
    const int s = fp_is_neg(a) != fp_is_neg(b);
    unsigned __int128* col = acc.col[s];
    uint64_t* ovf = acc.ovf[s];
    for (int j = blo; j < bhi; ++j) {
        for (int i = alo; i < ahi; ++i) {
            const unsigned __int128 p = static_cast<unsigned __int128>(a.limb[i]) * b.limb[j];
            col[i + j] += p;
            ovf[i + j] += col[i + j] < p;
        }
    }
}

// r[k ..) += v, carrying to the top of the 17-limb accumulator.
inline void acc_add_at(uint64_t* r, int k, uint64_t v) {
    for (int t = k; v != 0 && t < kAccLimbs; ++t) {
        r[t] += v;
        v = r[t] < v;
    }
}

inline void acc_round(fp_t& r, const col_acc_t& acc) {
    acc_t part[2];
    for (int s = 0; s < 2; ++s) {
        acc_zero(part[s]);
        for (int c = 0; c < 2 * kLimbs; ++c) {
            acc_add_at(part[s].limb, c, static_cast<uint64_t>(acc.col[s][c]));
            acc_add_at(part[s].limb, c + 1, static_cast<uint64_t>(acc.col[s][c] >> 64));
            acc_add_at(part[s].limb, c + 2, acc.ovf[s][c]);
        }
    }
    acc_t d;
    sub_n<kAccLimbs>(d.limb, part[0].limb, part[1].limb);
    add_n<kAccLimbs>(d.limb, d.limb, acc.wide.limb);
    acc_round(r, d);
}

// The accumulator acc_mac works on.
using mac_acc_t = col_acc_t;
#else
// On the GPU a warp runs its threads in lock step, so data-dependent limb
// spans would only serialise it: every product takes the uniform loop.
__device__ __forceinline__ void acc_mac(acc_t& acc, const fp_t& a, const fp_t& b) { acc_add_product(acc, a, b); }
using mac_acc_t = acc_t;
#endif

ZEL_HD void mm_direct(const fp_t* a, const fp_t* b, fp_t* out, long long i, long long j, int N, int K) {
    mac_acc_t acc;
    acc_zero(acc);
    for (int k = 0; k < K; ++k) acc_mac(acc, a[i * K + k], b[static_cast<long long>(k) * N + j]);
    acc_round(out[i * N + j], acc);
}

}  // namespace zel

// out[i*N + j] = floor(sum_k a[i*K + k] * b[k*N + j]) over a 16 x 16 launch:
// x indexes columns, y rows.  On the GPU each block stages 16 x 16 tiles of
// a and b through shared memory (2 x 18 KiB), so every record is loaded from
// global memory K/16 times instead of K times.  The host launcher runs the
// threads of a block one after another, where no barrier can exist, so it
// takes the direct loop; exact accumulation makes both give the same bytes.
ZEL_KERNEL(fp_mm_kernel, (const zel::fp_t* a, const zel::fp_t* b, zel::fp_t* out, int M, int N, int K)) {
    const long long j = ZEL_GLOBAL_X;
    const long long i = ZEL_GLOBAL_Y;
#if defined(__CUDA_ARCH__)
    constexpr int T = zel::kMmTile;
    if (blockDim.x == T && blockDim.y == T && blockDim.z == 1) {
        __shared__ zel::fp_t as[T][T];
        __shared__ zel::fp_t bs[T][T];
        const int tx = threadIdx.x, ty = threadIdx.y;
        zel::acc_t acc;
        zel::acc_zero(acc);
        for (int k0 = 0; k0 < K; k0 += T) {
            // Cells outside the matrices load as zero; every thread of the
            // block takes part in the loads and barriers.
            if (i < M && k0 + tx < K) as[ty][tx] = a[i * K + k0 + tx];
            else zel::fp_set_zero(as[ty][tx]);
            if (k0 + ty < K && j < N) bs[ty][tx] = b[static_cast<long long>(k0 + ty) * N + j];
            else zel::fp_set_zero(bs[ty][tx]);
            __syncthreads();
            const int kend = K - k0 < T ? K - k0 : T;
            for (int kk = 0; kk < kend; ++kk) zel::acc_add_product(acc, as[ty][kk], bs[kk][tx]);
            __syncthreads();
        }
        if (i < M && j < N) zel::acc_round(out[i * N + j], acc);
        return;
    }
#endif
    if (i < M && j < N) zel::mm_direct(a, b, out, i, j, N, K);
}

// out[i] = floor(sum_k a[i*K + k] * x[k]), one thread per row.
ZEL_KERNEL(fp_mv_kernel, (const zel::fp_t* a, const zel::fp_t* x, zel::fp_t* out, int M, int K)) {
    const long long i = ZEL_GLOBAL_X;
    if (i >= M) return;
    zel::mac_acc_t acc;
    zel::acc_zero(acc);
    for (int k = 0; k < K; ++k) zel::acc_mac(acc, a[i * K + k], x[k]);
    zel::acc_round(out[i], acc);
}

// out[i*n + j] = floor(a[i] * b[j]) over a 16 x 16 launch (x: j, y: i).
ZEL_KERNEL(fp_outer_kernel, (const zel::fp_t* a, const zel::fp_t* b, zel::fp_t* out, int m, int n)) {
    const long long j = ZEL_GLOBAL_X;
    const long long i = ZEL_GLOBAL_Y;
    if (i < m && j < n) zel::fp_mul(out[i * n + j], a[i], b[j]);
}

// Element (i*p + k, j*q + l) of the (m*p) x (n*q) result is a[i, j] * b[k, l].
ZEL_KERNEL(fp_kron_kernel,
           (const zel::fp_t* a, const zel::fp_t* b, zel::fp_t* out, int m, int n, int p, int q)) {
    const long long idx = ZEL_GLOBAL_X;
    const long long cols = static_cast<long long>(n) * q;
    if (idx >= static_cast<long long>(m) * p * cols) return;
    const long long row = idx / cols, col = idx % cols;
    const long long i = row / p, k = row % p, j = col / q, l = col % q;
    zel::fp_mul(out[idx], a[i * n + j], b[k * q + l]);
}

// out[0] = sum of a[i*n + i]; one thread.  The sum runs in the accumulator so
// that only the final value saturates, not a partial sum.
ZEL_KERNEL(fp_trace_kernel, (const zel::fp_t* a, zel::fp_t* out, int n)) {
    if (ZEL_GLOBAL_X != 0) return;
    zel::acc_t acc;
    zel::acc_zero(acc);
    for (long long i = 0; i < n; ++i) zel::acc_add_fp(acc, a[i * n + i]);
    zel::acc_round(out[0], acc);
}

// out[i] = a[i*n + i]: the diagonal of a matrix with n columns and at least
// n rows (the host hands wide matrices over transposed).
ZEL_KERNEL(fp_diag_kernel, (const zel::fp_t* a, zel::fp_t* out, int n)) {
    const long long i = ZEL_GLOBAL_X;
    if (i >= n) return;
    out[i] = a[i * n + i];
    zel::fp_set_sign(out[i], zel::fp_is_neg(out[i]));
}

// Direct 2-D cross-correlation, one thread per output (b, o, y, x) in
// row-major order: the sum over channels ch and taps (ky, kx) of
// weight[o, ch, ky, kx] * input[b, ch, y*stride - padding + ky,
// x*stride - padding + kx], taps outside the image counting as zero.
ZEL_KERNEL(fp_conv2d_kernel,
           (const zel::fp_t* input, const zel::fp_t* weight, zel::fp_t* out, int batch, int in_ch, int H, int W,
            int out_ch, int kH, int kW, int stride, int padding, int out_H, int out_W)) {
    const long long idx = ZEL_GLOBAL_X;
    const long long total = static_cast<long long>(batch) * out_ch * out_H * out_W;
    if (idx >= total) return;
    const long long x = idx % out_W;
    const long long y = (idx / out_W) % out_H;
    const long long o = (idx / (static_cast<long long>(out_W) * out_H)) % out_ch;
    const long long b = idx / (static_cast<long long>(out_W) * out_H * out_ch);
    const long long y0 = y * stride - padding, x0 = x * stride - padding;
    zel::mac_acc_t acc;
    zel::acc_zero(acc);
    for (int ch = 0; ch < in_ch; ++ch) {
        const zel::fp_t* img = input + (b * in_ch + ch) * H * W;
        const zel::fp_t* filt = weight + (o * in_ch + ch) * kH * kW;
        for (int ky = 0; ky < kH; ++ky) {
            const long long yy = y0 + ky;
            if (yy < 0 || yy >= H) continue;
            for (int kx = 0; kx < kW; ++kx) {
                const long long xx = x0 + kx;
                if (xx < 0 || xx >= W) continue;
                zel::acc_mac(acc, filt[ky * kW + kx], img[yy * W + xx]);
            }
        }
    }
    zel::acc_round(out[idx], acc);
}
