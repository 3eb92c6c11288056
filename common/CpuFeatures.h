// The processor features the vector kernels need, found once per process.
#ifndef GDI_COMMON_CPUFEATURES_H
#define GDI_COMMON_CPUFEATURES_H

#if defined(__x86_64__) && defined(__GNUC__)
#define GDI_CPU_X86 1
#else
#define GDI_CPU_X86 0
#endif

// AVX2 (32-byte integer vectors).
inline bool CpuHasAvx2() {
#if GDI_CPU_X86
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
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
               __builtin_cpu_supports("avx512vbmi");
    }();
    return has;
#else
    return false;
#endif
}

#endif
