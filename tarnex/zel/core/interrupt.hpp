// Long host work: running pure C++ and GMP code without the GIL, and noticing
// a pending Ctrl-C every ~100 ms, so exact algebra can be stopped and two
// threads can do it at once.
#pragma once
#include "py.hpp"

namespace zel {

// Releases the GIL for its lifetime and takes it back on every exit, an
// exception included.  The code inside touches no Python object; a Python
// error it raises with py::raise is kept and set once the GIL is back.
class NoGil {
public:
    NoGil();
    ~NoGil();
    NoGil(const NoGil&) = delete;
    NoGil& operator=(const NoGil&) = delete;

private:
    PyThreadState* saved_;
    NoGil* outer_;
    friend void poll_interrupt_slow();
};

// Runs the signal handlers when a check is due (about every 100 ms) and
// throws py::Error with their exception set (KeyboardInterrupt for Ctrl-C).
// Inside a NoGil scope the GIL is taken back for the check alone, and only
// on the main thread, the one that runs signal handlers.
void poll_interrupt_slow();
long long monotonic_ns();
extern thread_local long long g_next_poll_ns;
inline void poll_interrupt() {
    if (monotonic_ns() >= g_next_poll_ns) poll_interrupt_slow();
}

// Records the thread that runs signal handlers; called once at import.
void init_interrupts();

}  // namespace zel
