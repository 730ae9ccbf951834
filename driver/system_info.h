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
    double clock_step_seconds = 0.0;          // resolution of the processor-time clock
    double measured_clock_step_seconds = 0.0; // its real step as measured; 0 when unknown
};

system_info read_system_info();

// The compiler flags of the code a kernel set runs: the plain code's flags, and for a fast code
// path its own flags after them.
std::string code_path_flags(const std::string& kernel_set_name);

// The clock the kernels are timed with, and its real step: the smallest change of its value seen
// over a few of its ticks, watched for at most CLOCK_PROBE_SECONDS of wall time (0 when it did
// not change at all in that time).
inline constexpr char TIMING_CLOCK[] = "clock (processor time of the process)";
inline constexpr double CLOCK_PROBE_SECONDS = 0.05;
double measured_clock_step_seconds();

// The current time in UTC, as 2026-12-09T07:30:00Z.
std::string utc_timestamp();

} // namespace kalvento
