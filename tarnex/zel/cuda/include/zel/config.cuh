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

#if !ZEL_ON_DEVICE && !defined(NDEBUG) && defined(ZEL_DEBUG_ASSERTS)
#include <cassert>
#define ZEL_ASSERT(x) assert(x)
#else
#define ZEL_ASSERT(x) ((void)0)
#endif
