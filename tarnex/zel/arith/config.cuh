// Qualifier macros that let one arithmetic source serve nvcc, NVRTC and a
// plain C++ compiler.  Under a host compiler the device qualifiers vanish and
// the unroll pragma becomes GCC's, so the numeric headers build and are
// tested with g++ alone.
#pragma once

#if defined(__CUDACC__) || defined(__CUDACC_RTC__)
#define ZEL_HD __host__ __device__ __forceinline__
#define ZEL_UNROLL _Pragma("unroll")
#define ZEL_ON_DEVICE 1
#else
#define ZEL_HD inline
// Limb loops have compile-time bounds; unrolling them lets the host compiler
// keep limbs in registers, as nvcc does on the device.
#define ZEL_UNROLL _Pragma("GCC unroll 32")
#define ZEL_ON_DEVICE 0
#endif

#if defined(__CUDACC_RTC__)
// NVRTC has no libc headers; the few fixed-width types come from its builtins.
typedef int int32_t;
typedef unsigned int uint32_t;
typedef long long int64_t;
typedef unsigned long long uint64_t;
#else
#include <cstdint>
#endif

// The device-branch build: the host compiler compiles the code paths the GPU
// takes (every `#if defined(__CUDA_ARCH__)` branch), with host versions of
// the few intrinsics they use, shared memory per block and a real barrier
// (sim.hpp), so that CI runs the GPU's own arithmetic and compares its records
// with the host build's.  Kernels still register with the host launcher.
#if defined(ZEL_DEVICE_SIM) && !ZEL_ON_DEVICE
#include <cstring>
#ifndef __CUDA_ARCH__
#define __CUDA_ARCH__ 800
#endif
#define __host__
#define __device__
#define __forceinline__ inline
#define __noinline__
// CUDA's documented semantics: the high word of the 128-bit product, leading
// zeros (64 for 0), one plus the index of the lowest set bit (0 for 0), and
// bit casts between double and 64-bit integers.
inline unsigned long long __umul64hi(unsigned long long a, unsigned long long b) {
    return static_cast<unsigned long long>((static_cast<unsigned __int128>(a) * b) >> 64);
}
inline int __clzll(long long x) { return x == 0 ? 64 : __builtin_clzll(static_cast<unsigned long long>(x)); }
inline int __ffsll(long long x) { return __builtin_ffsll(x); }
inline long long __double_as_longlong(double x) {
    long long u;
    std::memcpy(&u, &x, sizeof u);
    return u;
}
inline double __longlong_as_double(long long u) {
    double x;
    std::memcpy(&x, &u, sizeof x);
    return x;
}
namespace zel::sim {
inline void syncthreads();
}
#define __syncthreads() ::zel::sim::syncthreads()
// One copy per worker thread: the threads of a block run as fibers on one
// worker, and a worker runs one block at a time.
#define __shared__ static thread_local
#define threadIdx (zel_ctx.thread_idx)
#define blockIdx (zel_ctx.block_idx)
#define blockDim (zel_ctx.block_dim)
#define gridDim (zel_ctx.grid_dim)
#endif

#if !ZEL_ON_DEVICE && !defined(NDEBUG) && defined(ZEL_DEBUG_ASSERTS)
#include <cassert>
#define ZEL_ASSERT(x) assert(x)
#else
#define ZEL_ASSERT(x) ((void)0)
#endif
