// The vector level the host kernels run at, decided once per process: the
// widest the processor and the operating system support, lowered (never
// raised) by the environment variable ZEL_CPU_LEVEL=baseline|avx2|avx512,
// so that every path can be run and compared on one machine.  Each kernel
// with vector variants picks one through cpu_level(); no variant is chosen
// by an ifunc resolver, which nothing could override.
#pragma once

namespace zel {

enum class CpuLevel : int {
    baseline = 0,  // x86-64 as compiled
    avx2 = 1,      // x86-64-v3: AVX2, FMA, BMI2
    avx512 = 2,    // x86-64-v4: AVX-512 F, BW, CD, DQ, VL
};

// The level in use: the processor's, or ZEL_CPU_LEVEL where that is lower.
// An unrecognised ZEL_CPU_LEVEL counts as unset here; cpu_level_check()
// reports it.
CpuLevel cpu_level();

// The processor's own level, whatever ZEL_CPU_LEVEL says.
CpuLevel cpu_level_native();

const char* cpu_level_name(CpuLevel level);

// Empty when ZEL_CPU_LEVEL is unset, empty or one of the three names, else
// a message saying what is wrong (the module refuses to import with it).
const char* cpu_level_check();

// One of three variants of a kernel, by the level in use.
template <class F>
F by_cpu_level(F avx512, F avx2, F baseline) {
    switch (cpu_level()) {
        case CpuLevel::avx512: return avx512;
        case CpuLevel::avx2: return avx2;
        default: return baseline;
    }
}

}  // namespace zel

// The code generation of the two wider levels, for functions whose body is
// written once (an always-inline template) and compiled for each level.
#define ZEL_TARGET_AVX512 __attribute__((target("arch=x86-64-v4")))
#define ZEL_TARGET_AVX2 __attribute__((target("arch=x86-64-v3")))
