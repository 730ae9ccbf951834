#include "driver/system_info.h"

#include "driver/build_info.h"
#include "kernels/code_path.h"

#include <chrono>
#include <ctime>
#include <fstream>
#include <unistd.h>

namespace kalvento {

namespace {

std::string compiler_name()
{
#if defined(__clang__)
    return std::string("clang ") + __clang_version__;
#elif defined(__GNUC__)
    return std::string("gcc ") + __VERSION__;
#else
    return "unknown";
#endif
}

std::string cpu_model()
{
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);) {
        if (line.rfind("model name", 0) == 0) {
            std::size_t colon = line.find(':');
            if (colon != std::string::npos)
                return line.substr(line.find_first_not_of(" \t", colon + 1));
        }
    }
    return "";
}

std::int64_t sysconf_or_zero(int name)
{
    long value = sysconf(name);
    return value > 0 ? value : 0;
}

} // namespace

system_info read_system_info()
{
    system_info info;
    info.version = KALVENTO_VERSION;
    info.compiler = compiler_name();
    info.build_flags = KALVENTO_BUILD_FLAGS;
    info.code_path = best_code_path().name;
    info.cpu_model = cpu_model();
    info.logical_cores = static_cast<int>(sysconf_or_zero(_SC_NPROCESSORS_ONLN));
#ifdef _SC_LEVEL1_DCACHE_SIZE
    info.l1d_bytes = sysconf_or_zero(_SC_LEVEL1_DCACHE_SIZE);
    info.l2_bytes = sysconf_or_zero(_SC_LEVEL2_CACHE_SIZE);
    info.l3_bytes = sysconf_or_zero(_SC_LEVEL3_CACHE_SIZE);
#endif
    info.clock_step_seconds = 1.0 / CLOCKS_PER_SEC;
    return info;
}

std::string code_path_flags(const std::string& kernel_set_name)
{
    struct path_flags {
        const char* name;
        const char* flags;
    };
    static const path_flags TABLE[] = KALVENTO_PATH_FLAG_TABLE;
    std::string flags = KALVENTO_PLAIN_FLAGS;
    for (const path_flags& path : TABLE)
        if (kernel_set_name == path.name && *path.flags)
            flags = flags + " " + path.flags;
    return flags;
}

double measured_clock_step_seconds()
{
    constexpr int TICKS = 8;
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(CLOCK_PROBE_SECONDS);
    std::clock_t last = std::clock();
    std::clock_t step = 0;
    for (int ticks = 0; ticks < TICKS && std::chrono::steady_clock::now() < deadline;) {
        std::clock_t now = std::clock();
        if (now == last)
            continue;
        // Every change is a whole number of steps: the smallest one seen is the step.
        if (now > last && (step == 0 || now - last < step))
            step = now - last;
        last = now;
        ++ticks;
    }
    return static_cast<double>(step) / CLOCKS_PER_SEC;
}

std::string utc_timestamp()
{
    std::time_t now = std::time(nullptr);
    std::tm utc{};
    char text[32] = "";
    if (gmtime_r(&now, &utc))
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

} // namespace kalvento
