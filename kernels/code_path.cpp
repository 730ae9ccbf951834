#include "kernels/code_path.h"

#include "kernels/fast_kernels.h"

namespace kalvento {

const char* code_path_name(code_path path)
{
    switch (path) {
    case code_path::portable:
        return portable::fast_set().name;
    case code_path::avx2:
        return "avx2";
    case code_path::avx512:
        return "avx512";
    }
    return "?";
}

bool code_path_supported(code_path path)
{
    switch (path) {
    case code_path::portable:
        return true;
#ifdef KALVENTO_X86_PATHS
    case code_path::avx2:
        return __builtin_cpu_supports("avx2");
    case code_path::avx512:
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
               __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512bw");
#else
    case code_path::avx2:
    case code_path::avx512:
        return false;
#endif
    }
    return false;
}

std::vector<code_path> supported_code_paths()
{
    std::vector<code_path> paths;
    for (code_path path : {code_path::portable, code_path::avx2, code_path::avx512})
        if (code_path_supported(path))
            paths.push_back(path);
    return paths;
}

code_path best_code_path()
{
    if (code_path_supported(code_path::avx512))
        return code_path::avx512;
    if (code_path_supported(code_path::avx2))
        return code_path::avx2;
    return code_path::portable;
}

const kernel_set& fast_kernels(code_path path)
{
    switch (path) {
#ifdef KALVENTO_X86_PATHS
    case code_path::avx2:
        return avx2::fast_set();
    case code_path::avx512:
        return avx512::fast_set();
#endif
    default:
        return portable::fast_set();
    }
}

const kernel_set& selected_kernels()
{
    static const kernel_set& selected = fast_kernels(best_code_path());
    return selected;
}

} // namespace kalvento
