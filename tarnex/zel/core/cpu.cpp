#include "cpu.hpp"

#include <cstdlib>
#include <cstring>
#include <string>

namespace zel {
namespace {

constexpr const char* kNames[] = {"baseline", "avx2", "avx512"};

// -1: unset or empty, 3: not a level's name.
int requested() {
    const char* v = std::getenv("ZEL_CPU_LEVEL");
    if (!v || !*v) return -1;
    for (int i = 0; i < 3; ++i) {
        if (std::strcmp(v, kNames[i]) == 0) return i;
    }
    return 3;
}

}  // namespace

CpuLevel cpu_level_native() {
    static const CpuLevel level = [] {
        __builtin_cpu_init();  // may run before libgcc's own initialiser
        // These name the whole x86-64-v3 / -v4 feature sets, the operating
        // system's saving of the wider registers included.
        if (__builtin_cpu_supports("x86-64-v4")) return CpuLevel::avx512;
        if (__builtin_cpu_supports("x86-64-v3")) return CpuLevel::avx2;
        return CpuLevel::baseline;
    }();
    return level;
}

CpuLevel cpu_level() {
    static const CpuLevel level = [] {
        const int r = requested();
        const int native = static_cast<int>(cpu_level_native());
        return static_cast<CpuLevel>(r >= 0 && r < native ? r : native);
    }();
    return level;
}

const char* cpu_level_name(CpuLevel level) { return kNames[static_cast<int>(level)]; }

const char* cpu_level_check() {
    static const std::string message = [] {
        if (requested() != 3) return std::string();
        return "ZEL_CPU_LEVEL=" + std::string(std::getenv("ZEL_CPU_LEVEL")) +
               " is not a vector level: use baseline, avx2 or avx512 (or leave it unset for the processor's own)";
    }();
    return message.c_str();
}

}  // namespace zel
