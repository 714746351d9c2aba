// Stand-in for the host launcher in the native tests: kernels register by
// name at static-initialisation time, and the tests call them over an
// explicit grid.  Include after kernel.cuh and before the kernel families.
#pragma once
#include <map>
#include <string>

#define ZEL_KERNEL_BY_NAME 1
#include "cuda/kernels/kernel.cuh"

namespace zel {
inline std::map<std::string, void*>& kernel_registry() {
    static std::map<std::string, void*> r;
    return r;
}
template <class... P>
HostKernelReg<P...>::HostKernelReg(const char* name, void (*fn)(const ThreadCtx&, P...)) {
    kernel_registry()[name] = reinterpret_cast<void*>(fn);
}
}  // namespace zel
