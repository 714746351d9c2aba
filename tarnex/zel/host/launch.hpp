// The host side of ZEL_KERNEL: a registry of kernels by name and a launcher
// that runs grid x block threads over the same bodies the GPU runs.  Each
// registration records the parameter kinds, so a launch converts its Python
// argument tuple once, then every thread calls the body with typed values.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "../cuda/kernels/kernel.cuh"
#if defined(ZEL_DEVICE_SIM)
#include "sim.hpp"
#endif

namespace zel {

enum class ParamKind { ConstPtr, MutPtr, Int, Double };

// One converted launch argument: a raw pointer or a scalar.
struct RawArg {
    void* ptr = nullptr;
    long long i = 0;
    double d = 0.0;
};

template <class T>
constexpr ParamKind param_kind() {
    if constexpr (std::is_pointer_v<T>) {
        return std::is_const_v<std::remove_pointer_t<T>> ? ParamKind::ConstPtr : ParamKind::MutPtr;
    } else if constexpr (std::is_floating_point_v<T>) {
        return ParamKind::Double;
    } else {
        static_assert(std::is_integral_v<T>, "kernel parameters are pointers, integers or doubles");
        return ParamKind::Int;
    }
}

// Bytes the kernel's parameter occupies: a launch argument must match it
// exactly (CUDA copies argument bytes, it does not convert).
template <class T>
constexpr unsigned param_size() {
    return std::is_pointer_v<T> ? 8 : static_cast<unsigned>(sizeof(T));
}

template <class T>
T arg_as(const RawArg& a) {
    if constexpr (std::is_pointer_v<T>) {
        return static_cast<T>(a.ptr);
    } else if constexpr (std::is_floating_point_v<T>) {
        return static_cast<T>(a.d);
    } else {
        return static_cast<T>(a.i);
    }
}

// Runs threads [t0, t1) of one block: the unit of work one CPU worker takes.
using BlockRunner = void (*)(void* fn, const ThreadCtx& base, const RawArg* args);

struct HostKernelInfo {
    void* fn = nullptr;
    BlockRunner run_block = nullptr;
    std::vector<ParamKind> params;
    std::vector<unsigned> sizes;
};

inline std::unordered_map<std::string, HostKernelInfo>& host_registry() {
    static std::unordered_map<std::string, HostKernelInfo> reg;
    return reg;
}

template <class... P, std::size_t... I>
void call_thread(void (*fn)(const ThreadCtx&, P...), const ThreadCtx& ctx, const RawArg* args,
                 std::index_sequence<I...>) {
    fn(ctx, arg_as<P>(args[I])...);
}

template <class... P>
struct ThreadCall {
    void (*fn)(const ThreadCtx&, P...);
    const RawArg* args;
    static void run(void* self, const ThreadCtx& ctx) {
        auto* c = static_cast<const ThreadCall*>(self);
        call_thread(c->fn, ctx, c->args, std::index_sequence_for<P...>{});
    }
};

// Every thread of one block.  The host build runs them one after another in
// the x-fastest order the GPU numbers them (its kernels take no barrier); the
// device-branch build runs them as fibers with a real barrier.
template <class... P>
void run_block(void* fn_erased, const ThreadCtx& base, const RawArg* args) {
    auto fn = reinterpret_cast<void (*)(const ThreadCtx&, P...)>(fn_erased);
#if defined(ZEL_DEVICE_SIM)
    ThreadCall<P...> call{fn, args};
    sim::run_block(base, &ThreadCall<P...>::run, &call);
#else
    ThreadCtx ctx = base;
    for (unsigned z = 0; z < base.block_dim.z; ++z) {
        for (unsigned y = 0; y < base.block_dim.y; ++y) {
            for (unsigned x = 0; x < base.block_dim.x; ++x) {
                ctx.thread_idx = {x, y, z};
                call_thread(fn, ctx, args, std::index_sequence_for<P...>{});
            }
        }
    }
#endif
}

template <class... P>
HostKernelReg<P...>::HostKernelReg(const char* name, void (*fn)(const ThreadCtx&, P...)) {
    HostKernelInfo info;
    info.fn = reinterpret_cast<void*>(fn);
    info.run_block = &run_block<P...>;
    info.params = {param_kind<P>()...};
    info.sizes = {param_size<P>()...};
    host_registry()[name] = std::move(info);
}

}  // namespace zel
