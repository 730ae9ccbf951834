// What a report needs to say about the program and the machine it ran on.
#pragma once

#include <cstdint>
#include <string>

namespace kalvento {

struct system_info {
    std::string version;        // of this program
    std::string compiler;       // that built it
    std::string build_flags;    // of the plain code; each fast code path adds its own
    std::string code_path;      // selected for this CPU (or the kernels a run measured)
    std::string cpu_model;      // empty when the platform does not tell
    int logical_cores = 0;      // 0 when unknown
    std::int64_t l1d_bytes = 0; // cache sizes, 0 when unknown
    std::int64_t l2_bytes = 0;
    std::int64_t l3_bytes = 0;
    double clock_step_seconds = 0.0; // resolution of the processor-time clock
};

system_info read_system_info();

// The current time in UTC, as 2026-12-09T07:30:00Z.
std::string utc_timestamp();

} // namespace kalvento
