// Refuses a build that lets the compiler change floating-point results.
//
// Every checksum depends on each operation being rounded as written, in the order written. Flags
// such as -ffast-math, -Ofast or -ffinite-math-only allow the compiler to reorder, contract and
// drop operations, so the results would no longer be the benchmark's.
#pragma once

#if defined(__FAST_MATH__) || (defined(__FINITE_MATH_ONLY__) && __FINITE_MATH_ONLY__)
#error                                                                                             \
    "kalvento must be built without -ffast-math, -Ofast or -ffinite-math-only: they change the kernels' results"
#endif
