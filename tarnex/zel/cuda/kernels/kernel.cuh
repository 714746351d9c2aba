// One way to write a kernel for both targets.  A kernel body is written once
// with ZEL_KERNEL and the ZEL_* index macros; under nvcc/NVRTC it becomes an
// extern "C" __global__ function, under a host compiler a plain function that
// takes the thread coordinates explicitly and registers itself by name with
// the host launcher (host/launch.hpp), which runs the same grid x block
// threads with the same bounds checks as the GPU.
#pragma once
#include "../../arith/config.cuh"

#define ZEL_UNPAREN(...) __VA_ARGS__

#if ZEL_ON_DEVICE

#define ZEL_KERNEL(name, params) extern "C" __global__ void name(ZEL_UNPAREN params)
#define ZEL_BLOCK_IDX blockIdx
#define ZEL_BLOCK_DIM blockDim
#define ZEL_THREAD_IDX threadIdx
#define ZEL_GRID_DIM gridDim

#else

namespace zel {
struct Dim3 {
    unsigned x, y, z;
};
struct ThreadCtx {
    Dim3 block_idx, block_dim, thread_idx, grid_dim;
};
// Defined by the host launcher; records `fn` under `name` at static-init time.
template <class... P>
struct HostKernelReg {
    HostKernelReg(const char* name, void (*fn)(const ThreadCtx&, P...));
};
}  // namespace zel

#define ZEL_KERNEL(name, params)                                                   \
    static void name##_host(const ::zel::ThreadCtx& zel_ctx, ZEL_UNPAREN params);   \
    static ::zel::HostKernelReg name##_reg(#name, &name##_host);                    \
    static void name##_host(const ::zel::ThreadCtx& zel_ctx, ZEL_UNPAREN params)
#define ZEL_BLOCK_IDX zel_ctx.block_idx
#define ZEL_BLOCK_DIM zel_ctx.block_dim
#define ZEL_THREAD_IDX zel_ctx.thread_idx
#define ZEL_GRID_DIM zel_ctx.grid_dim

#endif

// Global x index of the calling thread, widened so n * blocks never wraps.
#define ZEL_GLOBAL_X (static_cast<long long>(ZEL_BLOCK_IDX.x) * ZEL_BLOCK_DIM.x + ZEL_THREAD_IDX.x)
#define ZEL_GLOBAL_Y (static_cast<long long>(ZEL_BLOCK_IDX.y) * ZEL_BLOCK_DIM.y + ZEL_THREAD_IDX.y)
