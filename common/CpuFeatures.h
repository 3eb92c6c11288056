// The processor features the vector kernels need, found once per process.
//
// Every kernel choice (tone mapping, halftoning, JBIG context building) asks these, so
// two switches turn all vector kernels off together and leave the portable ones:
// - the build option GDI_PORTABLE_KERNELS=ON compiles the x86 and NEON kernels out;
// - the environment variable GDI_PORTABLE_KERNELS (any value but empty or "0"), read
//   once, makes the checks below report no vector features, so that the benchmarks can
//   measure the portable kernels on a processor that has the others.
#ifndef GDI_COMMON_CPUFEATURES_H
#define GDI_COMMON_CPUFEATURES_H

#include <stdlib.h>

#ifndef GDI_PORTABLE_KERNELS
#define GDI_PORTABLE_KERNELS 0
#endif

// Whether this build has the x86-64 kernels (SSE2, AVX2, AVX-512).
#if defined(__x86_64__) && defined(__GNUC__) && !GDI_PORTABLE_KERNELS
#define GDI_CPU_X86 1
#else
#define GDI_CPU_X86 0
#endif

// Whether this build has the 64-bit ARM NEON (Advanced SIMD) kernels.
#if defined(__aarch64__) && defined(__ARM_NEON) && defined(__GNUC__) && !GDI_PORTABLE_KERNELS
#define GDI_CPU_NEON 1
#else
#define GDI_CPU_NEON 0
#endif

// True when only the portable kernels may be used: built so, or asked for through the
// environment.
inline bool CpuPortableKernelsOnly() {
    static const bool only = [] {
        if (GDI_PORTABLE_KERNELS)
            return true;
        const char *value = getenv("GDI_PORTABLE_KERNELS");
        return value != nullptr && value[0] != '\0' && !(value[0] == '0' && value[1] == '\0');
    }();
    return only;
}

// SSE2 (16-byte integer vectors), which every x86-64 processor has.
inline bool CpuHasSse2() {
    return GDI_CPU_X86 && !CpuPortableKernelsOnly();
}

// AVX2 (32-byte integer vectors).
inline bool CpuHasAvx2() {
#if GDI_CPU_X86
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0 && !CpuPortableKernelsOnly();
    }();
    return has;
#else
    return false;
#endif
}

// AVX-512 with byte and word operations and the byte permutes (VBMI).
inline bool CpuHasAvx512Vbmi() {
#if GDI_CPU_X86
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
               __builtin_cpu_supports("avx512vbmi") && !CpuPortableKernelsOnly();
    }();
    return has;
#else
    return false;
#endif
}

// NEON (16-byte vectors), which every 64-bit ARM processor has.
inline bool CpuHasNeon() {
    return GDI_CPU_NEON && !CpuPortableKernelsOnly();
}

#endif
