// What the host kernel library offers the module in-process, through a
// capsule (`_launch_api`): launches by kernel id with converted arguments, no
// Python objects in between.  Kernel ids are the positions in the kernel
// list, which both sides are compiled from; the module checks the library's
// names against its own at import.
#pragma once

namespace zel {

// One converted launch argument: a raw pointer or a scalar.
struct RawArg {
    void* ptr = nullptr;
    long long i = 0;
    double d = 0.0;
};

struct HostLaunchApi {
    static constexpr int kVersion = 1;
    int version;
    int count;                 // kernels in the list
    const char* const* names;  // by kernel id
    const char* const* params; // parameter letters by kernel id (see list.cuh)
    // Launches kernel `id` over grid x block threads and returns when it is
    // done.  Called, and returns, with the interpreter lock held; releases it
    // while the kernel runs.  Returns -1 with a Python exception set where
    // CUDA would refuse the geometry, a block fails, or Ctrl-C stops it.
    int (*launch)(int id, const unsigned long long grid[3], const unsigned long long block[3], const RawArg* args);
};

constexpr const char* kHostLaunchApiCapsule = "tarnex.zel.host._launch_api";

}  // namespace zel
