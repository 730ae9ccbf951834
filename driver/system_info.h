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
    std::string clock;                     // the processor-time clock the kernels are timed by
    double clock_resolution_seconds = 0.0; // the unit it counts in
    double clock_step_seconds = 0.0;       // its real step as measured; 0 when unknown
};

// Everything but the clock's real step, which takes a moment to measure: callers that report it
// fill clock_step_seconds from cpu_clock_step_seconds.
system_info read_system_info();

// The compiler flags of the code a kernel set runs: the plain code's flags, and for a fast code
// path its own flags after them.
std::string code_path_flags(const std::string& kernel_set_name);

// The current time in UTC, as 2026-12-09T07:30:00Z.
std::string utc_timestamp();

} // namespace kalvento
