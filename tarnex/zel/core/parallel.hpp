// Host work split between the machine's cores, with the interpreter lock
// already released (NoGil): the first part runs on the calling thread, which
// alone polls for Ctrl-C; an exception there stops the other parts before it
// propagates, and a part that fails elsewhere (out of memory) is reported as
// std::bad_alloc once all have returned.
#pragma once
#include <algorithm>
#include <atomic>
#include <new>
#include <thread>
#include <vector>

#include "interrupt.hpp"

namespace zel {

// body(part, parts) for part < parts = min(cores, jobs) (at least 1).  Parts
// poll `stop` to return early; parts whose thread cannot be started run on
// the calling thread after the first.
template <class F>
void on_cores(Py_ssize_t jobs, std::atomic<bool>& stop, F body) {
    const Py_ssize_t cores = std::max(1u, std::thread::hardware_concurrency());
    const Py_ssize_t parts = std::max<Py_ssize_t>(1, std::min(cores, jobs));
    std::atomic<bool> failed{false};
    std::vector<std::thread> workers;
    auto run = [&](Py_ssize_t t) {
        try {
            body(t, parts);
        } catch (...) {
            failed = true;
            stop = true;
        }
    };
    try {
        workers.reserve(static_cast<size_t>(parts));
        for (Py_ssize_t t = 1; t < parts; ++t) workers.emplace_back(run, t);
    } catch (...) {
        // Parts without a thread run here below.
    }
    const Py_ssize_t started = static_cast<Py_ssize_t>(workers.size());
    try {
        body(0, parts);
        for (Py_ssize_t t = started + 1; t < parts; ++t) body(t, parts);
    } catch (...) {
        stop = true;
        for (auto& w : workers) w.join();
        throw;
    }
    for (auto& w : workers) w.join();
    if (failed) throw std::bad_alloc();
}

// Between pieces of work: the calling thread's part polls for Ctrl-C (which
// throws), and every part learns whether the work has been called off.
class Checkpoint {
public:
    Checkpoint(const std::atomic<bool>& stop, bool polls) : stop_(stop), polls_(polls) {}
    bool halted() const {
        if (polls_) poll_interrupt();
        return stop_.load(std::memory_order_relaxed);
    }

private:
    const std::atomic<bool>& stop_;
    bool polls_;
};

// body(lo, hi, checkpoint) over [0, n), in about n / grain parts (at most
// one per core).
template <class F>
void parallel_for(Py_ssize_t n, Py_ssize_t grain, F body) {
    std::atomic<bool> stop{false};
    on_cores(n / std::max<Py_ssize_t>(grain, 1), stop, [&](Py_ssize_t part, Py_ssize_t parts) {
        body(n * part / parts, n * (part + 1) / parts, Checkpoint(stop, part == 0));
    });
}

}  // namespace zel
