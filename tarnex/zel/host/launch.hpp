// The host side of ZEL_KERNEL: a table of kernels by id, expanded from the
// kernel list, and a launcher that runs grid x block threads over the same
// bodies the GPU runs.  Each entry records the parameter kinds, so a launch
// converts its arguments once, then every thread calls the body with typed
// values.
#pragma once
#include <cstddef>
#include <cstdint>
#include <tuple>
#include <type_traits>
#include <utility>

#include "../cuda/kernels/kernel.cuh"
#include "api.hpp"
#if defined(ZEL_DEVICE_SIM)
#include "sim.hpp"
#endif

namespace zel {

enum class ParamKind { ConstPtr, MutPtr, Int, Double };

// The kernel list's letter for a parameter type.
template <class T>
constexpr char param_letter() {
    if constexpr (std::is_pointer_v<T>) {
        return std::is_const_v<std::remove_pointer_t<T>> ? 'c' : 'm';
    } else if constexpr (std::is_floating_point_v<T>) {
        return 'd';
    } else {
        static_assert(std::is_integral_v<T> && (sizeof(T) == 4 || sizeof(T) == 8),
                      "kernel parameters are pointers, 32- or 64-bit integers or doubles");
        return sizeof(T) == 4 ? 'i' : 'l';
    }
}

// Whether a kernel body's parameters are those the list spells.
template <class... P>
constexpr bool signature_is(void (*)(const ThreadCtx&, P...), const char* letters) {
    constexpr char mine[] = {param_letter<P>()..., '\0'};
    for (std::size_t i = 0; i <= sizeof...(P); ++i) {
        if (mine[i] != letters[i]) return false;
    }
    return true;
}

inline ParamKind letter_kind(char c) {
    return c == 'c' ? ParamKind::ConstPtr : c == 'm' ? ParamKind::MutPtr : c == 'd' ? ParamKind::Double : ParamKind::Int;
}

// Bytes the parameter occupies: a launch argument must match it exactly
// (CUDA copies argument bytes, it does not convert).
inline unsigned letter_size(char c) { return c == 'i' ? 4 : 8; }

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
    const char* name = nullptr;
    const char* params = nullptr;  // the list's letters
    void* fn = nullptr;
    BlockRunner run_block = nullptr;
};

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
// the x-fastest order the GPU numbers them (its kernels take no barrier), with
// the arguments converted once and the body called directly, so that it can
// be inlined into the loop; the device-branch build runs them as fibers with
// a real barrier.
template <auto Fn>
struct BlockOf;

template <class... P, void (*Fn)(const ThreadCtx&, P...)>
struct BlockOf<Fn> {
    template <std::size_t... I>
    static void threads(const ThreadCtx& base, const RawArg* args, std::index_sequence<I...>) {
        const std::tuple<P...> typed{arg_as<P>(args[I])...};
        ThreadCtx ctx = base;
        for (unsigned z = 0; z < base.block_dim.z; ++z) {
            for (unsigned y = 0; y < base.block_dim.y; ++y) {
                for (unsigned x = 0; x < base.block_dim.x; ++x) {
                    ctx.thread_idx = {x, y, z};
                    Fn(ctx, std::get<I>(typed)...);
                }
            }
        }
    }

    static void run(void*, const ThreadCtx& base, const RawArg* args) {
#if defined(ZEL_DEVICE_SIM)
        ThreadCall<P...> call{Fn, args};
        sim::run_block(base, &ThreadCall<P...>::run, &call);
#else
        threads(base, args, std::index_sequence_for<P...>{});
#endif
    }
};

template <auto Fn>
HostKernelInfo host_kernel_info(const char* name, const char* params) {
    return {name, params, reinterpret_cast<void*>(Fn), &BlockOf<Fn>::run};
}

}  // namespace zel
