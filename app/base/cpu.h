#pragma once
// What the processor can do beyond the x86-64 baseline, asked once per process.

// True when the processor runs AVX2 instructions (false off x86-64).
inline bool cpu_has_avx2() {
#if defined(__x86_64__)
    static const bool has = __builtin_cpu_supports("avx2");  // the processor does not change
    return has;
#else
    return false;
#endif
}
