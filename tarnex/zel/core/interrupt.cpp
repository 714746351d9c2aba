// GIL release scopes and the interrupt poll.
#include "interrupt.hpp"

#include <time.h>

#include "pythread.h"

namespace zel {

namespace {

constexpr long long kPollPeriodNs = 100'000'000;

unsigned long g_main_thread = 0;
thread_local NoGil* g_released = nullptr;

}  // namespace

thread_local long long g_next_poll_ns = 0;

long long monotonic_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1'000'000'000LL + ts.tv_nsec;
}

void init_interrupts() { g_main_thread = PyThread_get_thread_ident(); }

NoGil::NoGil() : saved_(nullptr), outer_(g_released) {
    // A short region never pays for a check.
    g_next_poll_ns = monotonic_ns() + kPollPeriodNs;
    saved_ = PyEval_SaveThread();
    g_released = this;
}

NoGil::~NoGil() {
    PyEval_RestoreThread(saved_);
    g_released = outer_;
}

void poll_interrupt_slow() {
    g_next_poll_ns = monotonic_ns() + kPollPeriodNs;
    if (PyThread_get_thread_ident() != g_main_thread) return;
    NoGil* scope = g_released;
    if (!scope) {
        if (PyErr_CheckSignals() < 0) py::fail();
        return;
    }
    PyEval_RestoreThread(scope->saved_);
    const int rc = PyErr_CheckSignals();
    scope->saved_ = PyEval_SaveThread();
    // The exception stays set in this thread's state until the scope's
    // destructor gives the GIL back and the entry point reports it.
    if (rc < 0) throw py::Error{};
}

}  // namespace zel
