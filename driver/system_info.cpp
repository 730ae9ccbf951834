#include "driver/system_info.h"

#include "driver/build_info.h"
#include "driver/linux_cpu.h"
#include "kernels/code_path.h"
#include "support/cpu_timer.h"

#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif
#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

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

std::string trimmed(std::string text)
{
    std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return "";
    std::size_t last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

// The processor's brand string, as every x86 CPU of the last twenty years gives it on any system.
std::string cpu_brand_string()
{
#if defined(__x86_64__) || defined(__i386__)
    unsigned int a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(0x80000000, &a, &b, &c, &d) || a < 0x80000004)
        return "";
    char brand[49] = {};
    for (unsigned int leaf = 0; leaf < 3; ++leaf) {
        __cpuid(0x80000002 + leaf, a, b, c, d);
        unsigned int words[4] = {a, b, c, d};
        std::memcpy(brand + 16 * leaf, words, sizeof words);
    }
    return trimmed(brand);
#else
    return "";
#endif
}

std::string cpu_model()
{
    std::string brand = cpu_brand_string();
    if (!brand.empty())
        return brand;
    // "model name" on x86; 64-bit ARM gives only the implementer and part numbers.
    std::ostringstream text;
    text << std::ifstream("/proc/cpuinfo").rdbuf();
    std::istringstream cpuinfo(text.str());
    for (std::string line; std::getline(cpuinfo, line);) {
        if (line.rfind("model name", 0) == 0) {
            std::size_t colon = line.find(':');
            if (colon != std::string::npos)
                return trimmed(line.substr(colon + 1));
        }
    }
    return arm_cpu_model(text.str());
}

#if defined(_WIN32)

int logical_core_count()
{
    return static_cast<int>(GetActiveProcessorCount(ALL_PROCESSOR_GROUPS));
}

// The size of one cache of each level, from the first of its kind that the system lists.
void read_cache_sizes(system_info& info)
{
    DWORD bytes = 0;
    GetLogicalProcessorInformationEx(RelationCache, nullptr, &bytes);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || bytes == 0 || bytes > (1u << 24))
        return;
    std::vector<char> buffer(bytes);
    auto* first = reinterpret_cast<SYSTEM_LOGICAL_PROCESSOR_INFORMATION_EX*>(buffer.data());
    if (!GetLogicalProcessorInformationEx(RelationCache, first, &bytes))
        return;
    for (DWORD at = 0; at + sizeof(LOGICAL_PROCESSOR_RELATIONSHIP) + sizeof(DWORD) <= bytes;) {
        auto* entry = reinterpret_cast<SYSTEM_LOGICAL_PROCESSOR_INFORMATION_EX*>(&buffer[at]);
        if (entry->Size == 0)
            break;
        if (entry->Relationship == RelationCache) {
            const CACHE_RELATIONSHIP& cache = entry->Cache;
            std::int64_t size = cache.CacheSize;
            if (cache.Level == 1 && cache.Type == CacheData && info.l1d_bytes == 0)
                info.l1d_bytes = size;
            else if (cache.Level == 2 && info.l2_bytes == 0 && cache.Type != CacheInstruction)
                info.l2_bytes = size;
            else if (cache.Level == 3 && info.l3_bytes == 0 && cache.Type != CacheInstruction)
                info.l3_bytes = size;
        }
        at += entry->Size;
    }
}

bool utc_time(std::time_t now, std::tm& utc)
{
    return gmtime_s(&utc, &now) == 0;
}

#else

int logical_core_count()
{
#if defined(_SC_NPROCESSORS_ONLN)
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    if (online > 0)
        return static_cast<int>(online);
#endif
    return static_cast<int>(std::thread::hardware_concurrency());
}

void read_cache_sizes([[maybe_unused]] system_info& info)
{
    // The GNU C library reads them from the CPU; Linux has them in sysfs; elsewhere they stay
    // unknown.
#if defined(_SC_LEVEL1_DCACHE_SIZE)
    auto size = [](int name) -> std::int64_t {
        long value = sysconf(name);
        return value > 0 ? value : 0;
    };
    info.l1d_bytes = size(_SC_LEVEL1_DCACHE_SIZE);
    info.l2_bytes = size(_SC_LEVEL2_CACHE_SIZE);
    info.l3_bytes = size(_SC_LEVEL3_CACHE_SIZE);
#endif
    if (info.l1d_bytes == 0 && info.l2_bytes == 0 && info.l3_bytes == 0) {
        cache_sizes caches = sysfs_cache_sizes("/sys/devices/system/cpu/cpu0/cache");
        info.l1d_bytes = caches.l1d_bytes;
        info.l2_bytes = caches.l2_bytes;
        info.l3_bytes = caches.l3_bytes;
    }
}

bool utc_time(std::time_t now, std::tm& utc)
{
    return gmtime_r(&now, &utc) != nullptr;
}

#endif

} // namespace

system_info read_system_info()
{
    system_info info;
    info.version = KALVENTO_VERSION;
    info.compiler = compiler_name();
    info.build_flags = KALVENTO_BUILD_FLAGS;
    info.code_path = best_code_path().name;
    info.cpu_model = cpu_model();
    info.logical_cores = logical_core_count();
    read_cache_sizes(info);
    info.clock = cpu_clock_name();
    info.clock_resolution_seconds = cpu_clock_unit_seconds();
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

std::string utc_timestamp()
{
    std::time_t now = std::time(nullptr);
    std::tm utc{};
    char text[32] = "";
    if (utc_time(now, utc))
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

} // namespace kalvento
