// The classic report, byte for byte: banner, settings line, one line per kernel, the composite
// score, the repetition counts and the checksum. Scripts parse it, so every space counts.
#pragma once

#include "driver/command_line.h"
#include "driver/reporter.h"
#include "driver/run.h"
#include "kernels/calibration.h"

#include <cstdio>
#include <span>

namespace kalvento {

inline constexpr int BANNER_WIDTH = 66;
inline constexpr char BENCHMARK_ADDRESS[] = "https://example.org/kalvento";
inline constexpr char RESULTS_ADDRESS[] = "bench@example.org";

struct measured_kernel {
    kernel_id kernel;
    kernel_result result;
};

void write_banner(std::FILE* out);
void write_settings_line(std::FILE* out, const run_settings& settings);
void write_kernel_line(std::FILE* out, kernel_id kernel, const problem_sizes& sizes,
                       const kernel_result& result);

struct report_summary {
    double composite;     // the rates summed left to right, divided by their number
    double mean_checksum; // the checksums likewise
};
report_summary summarize(std::span<const measured_kernel> measured);

// The composite score, the repetition counts and the checksum.
void write_summary(std::FILE* out, const session_outcome& session);

// After the checksum line of a run of copies side by side: one line per copy with its own rates,
// their spread, the rates of one copy alone, the scaling efficiency and whether the copies'
// checksums agree.
void write_copies(std::FILE* out, const session_outcome& session);

// After a verified run: "verified", or both checksums when they differ.
void write_verification(std::FILE* out, kernel_id kernel, double measured_checksum,
                        double plain_checksum);

// Flushes the report so far; a report that cannot be written ends the run with a run_failure.
void flush_report(std::FILE* out);

// The classic report, written and flushed piece by piece as the run goes, so that a run that is
// piped or interrupted still shows the kernels already measured.
struct classic_reporter final : reporter {
    explicit classic_reporter(std::FILE* out) : out(out) {}
    void context(const run_context& context) override;
    void kernel(const kernel_outcome& outcome) override;
    void summary(const session_outcome& session) override;
    void finish(const session_outcome& session) override;

private:
    std::FILE* out;
    problem_sizes sizes{};
    bool verify = false;
};

} // namespace kalvento
