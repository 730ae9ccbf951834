#include "kernels/code_path.h"

#include "kernels/fast_kernels.h"
#include "support/exact_arithmetic.h"

#if defined(KALVENTO_NEON_PATH) && defined(__linux__)
#include <sys/auxv.h>
#endif

namespace kalvento {

namespace {

bool always()
{
    return true;
}

#ifdef KALVENTO_X86_PATHS
// The features each path is compiled with (CMakeLists.txt); the checks include the operating
// system's support for the wider registers.
bool has_avx512()
{
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
           __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512bw");
}

bool has_avx2()
{
    return __builtin_cpu_supports("avx2");
}
#endif

#ifdef KALVENTO_NEON_PATH
// Advanced SIMD is part of every ARMv8-A core, but the architecture lets a core go without it,
// and Linux says whether this one has it.
bool has_neon()
{
#if defined(__linux__) && defined(HWCAP_ASIMD)
    return (getauxval(AT_HWCAP) & HWCAP_ASIMD) != 0;
#else
    return true;
#endif
}
#endif

// Widest first. A path is one entry here, its fast_set() declared in fast_kernels.h and its
// add_fast_path() in CMakeLists.txt; the last entry runs everywhere.
constexpr code_path CODE_PATHS[] = {
#ifdef KALVENTO_X86_PATHS
    {"avx512", has_avx512, avx512::fast_set},
    {"avx2", has_avx2, avx2::fast_set},
#endif
#ifdef KALVENTO_NEON_PATH
    {"neon", has_neon, neon::fast_set},
#endif
    {KALVENTO_PORTABLE_PATH_NAME, always, portable::fast_set},
};

} // namespace

std::span<const code_path> code_paths()
{
    return CODE_PATHS;
}

std::vector<const code_path*> supported_code_paths()
{
    std::vector<const code_path*> paths;
    for (const code_path& path : CODE_PATHS)
        if (path.supported())
            paths.push_back(&path);
    return paths;
}

const code_path& best_code_path()
{
    static const code_path& best = *supported_code_paths().front();
    return best;
}

const code_path* find_code_path(std::string_view name)
{
    for (const code_path& path : CODE_PATHS)
        if (name == path.name)
            return &path;
    return nullptr;
}

} // namespace kalvento
