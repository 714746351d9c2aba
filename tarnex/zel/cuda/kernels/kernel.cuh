// One way to write a kernel for both targets.  A kernel body is written once
// with ZEL_KERNEL and the ZEL_* index macros; under nvcc/NVRTC it becomes an
// extern "C" __global__ function, under a host compiler a plain function
// `name_host` that takes the thread coordinates explicitly, which the host
// launcher (host/launch.hpp) finds through the kernel list and runs over the
// same grid x block threads with the same bounds checks as the GPU.  Every
// body must be on the kernel list (list.cuh): one that is not fails to
// compile.
#pragma once
#include "../../arith/config.cuh"
#include "list.cuh"

// Refers to the kernel's enumerator, so that a body missing from the list
// fails to compile on either target.
#define ZEL_KERNEL_LISTED(name) \
    static_assert(static_cast<int>(::zel::KernelId::name) < ::zel::kKernelCount, #name " is not on the kernel list");

#define ZEL_UNPAREN(...) __VA_ARGS__

#if ZEL_ON_DEVICE

#define ZEL_KERNEL(name, params) \
    ZEL_KERNEL_LISTED(name)      \
    extern "C" __global__ void name(ZEL_UNPAREN params)
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
#if defined(ZEL_KERNEL_BY_NAME)
// For programs that take a few kernel families without the whole list (the
// native tests): each kernel also records itself by name at static-init
// time, through a constructor the program defines.
template <class... P>
struct HostKernelReg {
    HostKernelReg(const char* name, void (*fn)(const ThreadCtx&, P...));
};
#define ZEL_KERNEL_REGISTER(name) static ::zel::HostKernelReg name##_reg(#name, &name##_host);
#else
#define ZEL_KERNEL_REGISTER(name)
#endif
}  // namespace zel

#define ZEL_KERNEL(name, params)                                                   \
    ZEL_KERNEL_LISTED(name)                                                        \
    static void name##_host(const ::zel::ThreadCtx& zel_ctx, ZEL_UNPAREN params);   \
    ZEL_KERNEL_REGISTER(name)                                                      \
    static void name##_host(const ::zel::ThreadCtx& zel_ctx, ZEL_UNPAREN params)
#define ZEL_BLOCK_IDX zel_ctx.block_idx
#define ZEL_BLOCK_DIM zel_ctx.block_dim
#define ZEL_THREAD_IDX zel_ctx.thread_idx
#define ZEL_GRID_DIM zel_ctx.grid_dim

#endif

// Global x index of the calling thread, widened so n * blocks never wraps.
#define ZEL_GLOBAL_X (static_cast<long long>(ZEL_BLOCK_IDX.x) * ZEL_BLOCK_DIM.x + ZEL_THREAD_IDX.x)
#define ZEL_GLOBAL_Y (static_cast<long long>(ZEL_BLOCK_IDX.y) * ZEL_BLOCK_DIM.y + ZEL_THREAD_IDX.y)
