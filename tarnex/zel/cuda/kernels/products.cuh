// Matrix product kernels: mm, bmm, mv, outer, kron, trace, diag and conv2d.  Sums
// of products (mm, mv, conv2d) and of records (trace) run in the exact
// accumulator of fp_mul.cuh and are rounded once, by the floor rule, so every
// output is the record of the exact sum regardless of the summation order;
// that is what lets the tiled GPU product and the host loop agree bit for bit.
#pragma once
#include "../../arith/fp_math.cuh"
#include "kernel.cuh"

namespace zel {

constexpr int kMmTile = 16;  // the 16 x 16 launch of fp_mm_kernel

#if !defined(__CUDA_ARCH__)
// The host multiplies only the non-zero limb spans of the operands (the
// unrolled span products of fp_mul.cuh) and adds each result at its limb
// offset into one of two unsigned accumulators, one per sign of product,
// chosen without a branch (signs are data and would defeat prediction).  The
// difference of the two is the same exact integer as the GPU's two's
// complement accumulator, so both round to the same record.
struct acc_pair_t {
    acc_t part[2];  // [0]: sum of the positive products, [1]: of the negative
};

inline void acc_zero(acc_pair_t& acc) {
    acc_zero(acc.part[0]);
    acc_zero(acc.part[1]);
}

inline void acc_mac(acc_pair_t& acc, const fp_t& a, const fp_t& b) {
    int alo, ahi, blo, bhi;
    limb_span(a.limb, alo, ahi);
    limb_span(b.limb, blo, bhi);
    if (alo == ahi || blo == bhi) return;
    uint64_t* r = acc.part[fp_is_neg(a) != fp_is_neg(b)].limb + alo + blo;
    mac_spans[(ahi - alo - 1) * kLimbs + (bhi - blo - 1)](r, a.limb + alo, b.limb + blo, kAccLimbs - alo - blo);
}

inline void acc_round(fp_t& r, const acc_pair_t& acc) {
    acc_t d;
    sub_n<kAccLimbs>(d.limb, acc.part[0].limb, acc.part[1].limb);
    acc_round(r, d);
}

// The accumulator acc_mac works on.
using mac_acc_t = acc_pair_t;
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
// x indexes columns, y rows.  grid.y is capped at 65,535 by CUDA, so each
// block walks the row tiles blockIdx.y, blockIdx.y + gridDim.y, ...; the walk
// is the same for every thread of a block, as the barriers require.  On the
// GPU each block stages 16 x 16 tiles of a and b through shared memory
// (2 x 18 KiB), so every record is loaded from global memory K/16 times
// instead of K times.  The host launcher runs the threads of a block one
// after another, where no barrier can exist, so it takes the direct loop;
// exact accumulation makes both give the same bytes.  One body for fp_mm_kernel
// and, per matrix, fp_bmm_kernel.
#if defined(__CUDA_ARCH__)
#define ZEL_MM_TILED(a, b, out, M, N, K)                                                                 \
    if (blockDim.x == zel::kMmTile && blockDim.y == zel::kMmTile && blockDim.z == 1) {                  \
        constexpr int T = zel::kMmTile;                                                                  \
        __shared__ zel::fp_t as[T][T];                                                                   \
        __shared__ zel::fp_t bs[T][T];                                                                   \
        const int tx = threadIdx.x, ty = threadIdx.y;                                                    \
        for (long long rt = blockIdx.y; rt < row_tiles; rt += gridDim.y) {                               \
            const long long i = rt * T + ty;                                                             \
            zel::acc_t acc;                                                                              \
            zel::acc_zero(acc);                                                                          \
            for (int k0 = 0; k0 < K; k0 += T) {                                                          \
                /* Cells outside the matrices load as zero; every thread of                              \
                   the block takes part in the loads and barriers. */                                    \
                if (i < M && k0 + tx < K) as[ty][tx] = a[i * K + k0 + tx];                               \
                else zel::fp_set_zero(as[ty][tx]);                                                       \
                if (k0 + ty < K && j < N) bs[ty][tx] = b[static_cast<long long>(k0 + ty) * N + j];       \
                else zel::fp_set_zero(bs[ty][tx]);                                                       \
                __syncthreads();                                                                         \
                const int kend = K - k0 < T ? K - k0 : T;                                                \
                for (int kk = 0; kk < kend; ++kk) zel::acc_add_product(acc, as[ty][kk], bs[kk][tx]);     \
                __syncthreads();                                                                         \
            }                                                                                            \
            if (i < M && j < N) zel::acc_round(out[i * N + j], acc);                                     \
        }                                                                                                \
    } else
#else
#define ZEL_MM_TILED(a, b, out, M, N, K)
#endif

#define ZEL_MM_BODY(a, b, out, M, N, K)                                                        \
    {                                                                                          \
        const long long j = ZEL_GLOBAL_X;                                                      \
        const long long row_tiles = (static_cast<long long>(M) + ZEL_BLOCK_DIM.y - 1) / ZEL_BLOCK_DIM.y; \
        ZEL_MM_TILED(a, b, out, M, N, K)                                                       \
        for (long long rt = ZEL_BLOCK_IDX.y; rt < row_tiles; rt += ZEL_GRID_DIM.y) {           \
            const long long i = rt * ZEL_BLOCK_DIM.y + ZEL_THREAD_IDX.y;                       \
            if (i < M && j < N) zel::mm_direct(a, b, out, i, j, N, K);                         \
        }                                                                                      \
    }

ZEL_KERNEL(fp_mm_kernel, (const zel::fp_t* a, const zel::fp_t* b, zel::fp_t* out, int M, int N, int K)) {
    ZEL_MM_BODY(a, b, out, M, N, K)
}

// `batch` products of M x K by K x N matrices stored one after another, in
// one launch: the matrix on z (grid.z is capped at 65,535 too, so each block
// walks the matrices blockIdx.z, blockIdx.z + gridDim.z, ...), each computed
// as fp_mm_kernel computes it.
ZEL_KERNEL(fp_bmm_kernel,
           (const zel::fp_t* a, const zel::fp_t* b, zel::fp_t* out, int batch, int M, int N, int K)) {
    for (long long z = ZEL_BLOCK_IDX.z; z < batch; z += ZEL_GRID_DIM.z) {
        const zel::fp_t* az = a + z * M * K;
        const zel::fp_t* bz = b + z * K * N;
        zel::fp_t* oz = out + z * M * N;
        ZEL_MM_BODY(az, bz, oz, M, N, K)
    }
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

// out[i*n + j] = floor(a[i] * b[j]) over a 16 x 16 launch (x: j, y: i; rows
// beyond grid.y are walked as in fp_mm_kernel).
ZEL_KERNEL(fp_outer_kernel, (const zel::fp_t* a, const zel::fp_t* b, zel::fp_t* out, int m, int n)) {
    const long long j = ZEL_GLOBAL_X;
    const long long stride = static_cast<long long>(ZEL_GRID_DIM.y) * ZEL_BLOCK_DIM.y;
    for (long long i = ZEL_GLOBAL_Y; i < m; i += stride) {
        if (j < n) zel::fp_mul(out[i * n + j], a[i], b[j]);
    }
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
    zel::fp_copy(out[i], a[i * n + i]);
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
