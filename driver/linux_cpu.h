// What Linux tells about the processor beyond the C library: the model of a 64-bit ARM core,
// which /proc/cpuinfo gives as implementer and part numbers only, and the cache sizes from sysfs.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace kalvento {

// The models in a /proc/cpuinfo text with "CPU implementer" and "CPU part" lines, each distinct
// one once in order of appearance, as "ARM Neoverse-N1" or "ARM Cortex-A55 + ARM Cortex-A76";
// numbers not in the table are shown in hex ("Qualcomm part 0x802", "implementer 0x99 part
// 0x1"). Empty when the text has no such lines.
std::string arm_cpu_model(const std::string& cpuinfo);

struct cache_sizes {
    std::int64_t l1d_bytes = 0; // 0 when unknown
    std::int64_t l2_bytes = 0;
    std::int64_t l3_bytes = 0;
};

// From a processor's cache directory in sysfs (/sys/devices/system/cpu/cpu0/cache), whose
// index*/ entries give level, type and size; what is missing or unreadable stays 0.
cache_sizes sysfs_cache_sizes(const std::filesystem::path& directory);

} // namespace kalvento
