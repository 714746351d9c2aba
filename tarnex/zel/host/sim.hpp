// The block scheduler of the device-branch build: the threads of one block
// run as fibers on one worker thread, so that `__syncthreads()` is a real
// barrier and `__shared__` (a thread_local there) is shared by exactly the
// threads of the block, as on a GPU.  Blocks stay independent and spread
// over the workers as in the host build.
//
// A block starts with thread 0 alone in a fiber.  If it finishes without
// reaching a barrier, the kernel has none (a barrier must be reached by every
// thread of a block), and the other threads run as plain calls; a barrier
// reached there is a divergent barrier and fails the launch.  Otherwise every
// thread becomes a fiber, and each round resumes the fibers one after another
// until each has reached the barrier or returned; as on current GPUs, threads
// that have returned no longer hold a barrier up.
//
// ZEL_SIM_SHUFFLE=<seed> resumes the fibers of each round in a seeded random
// order instead of thread order, so a missing barrier shows up as a race
// whichever thread the missing wait would have protected.
#pragma once
#include <ucontext.h>

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <memory>
#include <random>
#include <stdexcept>
#include <vector>

#include "../cuda/kernels/kernel.cuh"

namespace zel::sim {

struct BarrierError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A thread body: the kernel call for one set of thread coordinates.
using Body = void (*)(void* closure, const ThreadCtx& ctx);

constexpr size_t kFiberStack = 128 * 1024;

struct Fiber {
    enum State { Running, AtBarrier, Done };
    ucontext_t uc;
    std::unique_ptr<char[]> stack;
    State state = Done;
    ThreadCtx ctx{};
};

struct Worker {
    ucontext_t scheduler;
    std::vector<Fiber> fibers;
    Fiber* current = nullptr;  // the fiber running now; null outside fiber mode
    Body body = nullptr;
    void* closure = nullptr;
    std::exception_ptr error;
};

inline Worker& worker() {
    static thread_local Worker w;
    return w;
}

inline void syncthreads() {
    Worker& w = worker();
    if (!w.current) throw BarrierError("__syncthreads() reached by some threads of a block only");
    w.current->state = Fiber::AtBarrier;
    swapcontext(&w.current->uc, &w.scheduler);
}

inline void fiber_entry(int index) {
    Worker& w = worker();
    Fiber& f = w.fibers[static_cast<size_t>(index)];
    try {
        w.body(w.closure, f.ctx);
    } catch (...) {
        if (!w.error) w.error = std::current_exception();
    }
    f.state = Fiber::Done;
    // uc_link returns to the scheduler.
}

inline void start_fiber(Worker& w, size_t i) {
    Fiber& f = w.fibers[i];
    if (!f.stack) f.stack.reset(new char[kFiberStack]);
    getcontext(&f.uc);
    f.uc.uc_stack.ss_sp = f.stack.get();
    f.uc.uc_stack.ss_size = kFiberStack;
    f.uc.uc_link = &w.scheduler;
    f.state = Fiber::Running;
    makecontext(&f.uc, reinterpret_cast<void (*)()>(&fiber_entry), 1, static_cast<int>(i));
    w.current = &f;
    swapcontext(&w.scheduler, &f.uc);
    w.current = nullptr;
}

inline void resume_fiber(Worker& w, size_t i) {
    Fiber& f = w.fibers[i];
    f.state = Fiber::Running;
    w.current = &f;
    swapcontext(&w.scheduler, &f.uc);
    w.current = nullptr;
}

inline long long shuffle_seed() {
    static const long long seed = [] {
        const char* s = std::getenv("ZEL_SIM_SHUFFLE");
        return s && *s ? std::atoll(s) : -1LL;
    }();
    return seed;
}

inline ThreadCtx thread_ctx(const ThreadCtx& base, unsigned t) {
    ThreadCtx c = base;
    const Dim3 b = base.block_dim;
    c.thread_idx = {t % b.x, (t / b.x) % b.y, t / (b.x * b.y)};
    return c;
}

// Runs every thread of the block `base.block_idx`.
inline void run_block(const ThreadCtx& base, Body body, void* closure) {
    Worker& w = worker();
    const unsigned n = base.block_dim.x * base.block_dim.y * base.block_dim.z;
    if (w.fibers.size() < n) w.fibers.resize(n);
    w.body = body;
    w.closure = closure;
    w.error = nullptr;

    w.fibers[0].ctx = thread_ctx(base, 0);
    start_fiber(w, 0);
    if (w.error) std::rethrow_exception(w.error);
    if (w.fibers[0].state == Fiber::Done) {
        for (unsigned t = 1; t < n; ++t) body(closure, thread_ctx(base, t));
        return;
    }

    std::vector<unsigned> order(n);
    for (unsigned t = 0; t < n; ++t) order[t] = t;
    const long long seed = shuffle_seed();
    std::mt19937_64 rng(static_cast<unsigned long long>(seed) ^
                        (base.block_idx.x + 0x9e3779b97f4a7c15ull * (base.block_idx.y + 1)));
    if (seed >= 0) std::shuffle(order.begin() + 1, order.end(), rng);
    for (unsigned k = 1; k < n; ++k) {
        const unsigned t = order[k];
        w.fibers[t].ctx = thread_ctx(base, t);
        start_fiber(w, t);
        if (w.error) break;
    }
    for (;;) {
        if (w.error) break;
        bool waiting = false;
        for (unsigned t = 0; t < n; ++t) waiting |= w.fibers[t].state == Fiber::AtBarrier;
        if (!waiting) break;
        if (seed >= 0) std::shuffle(order.begin(), order.end(), rng);
        for (unsigned k = 0; k < n && !w.error; ++k) {
            const unsigned t = order[k];
            if (w.fibers[t].state == Fiber::AtBarrier) resume_fiber(w, t);
        }
    }
    if (w.error) {
        // Fibers left at a barrier are abandoned: their stacks are reused by
        // the next block, and nothing on them owns resources.
        for (unsigned t = 0; t < n; ++t) w.fibers[t].state = Fiber::Done;
        std::rethrow_exception(w.error);
    }
}

}  // namespace zel::sim
