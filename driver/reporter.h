// The reporters: one per output format, fed by the run sequence, which itself never asks which
// format it is writing. The classic report writes as the run goes; the JSON document is written
// whole at the end.
#pragma once

#include "driver/command_line.h"
#include "driver/kernel_table.h"
#include "driver/options.h"
#include "kernels/calibration.h"

#include <optional>
#include <string>
#include <vector>

namespace kalvento {

// What a run is, known before its first kernel starts.
struct run_context {
    run_settings settings;
    extended_options options;
    std::vector<std::string> command_line; // as the process received it
    std::string code_path;                 // name of the kernel set measured
    std::vector<std::string> warnings;     // about the machine, checked before the run
    // With --copies: the CPU of each copy; empty for the classic single run. Where the platform
    // cannot pin threads the copies run unpinned.
    std::vector<int> copy_cpus;
    bool copies_pinned = true;
};

// One copy's measurement of a kernel, in a run of copies side by side.
struct copy_outcome {
    std::size_t copy;
    int cpu; // -1: not pinned
    kernel_result result;
};

// A kernel measured by copies side by side. Every copy ends at the same repetition count.
struct copies_outcome {
    std::vector<copy_outcome> copies;
    // The operations of all copies' final attempts over the wall-clock span from the first start
    // to the last finish.
    double aggregate_mflops = 0.0;
    double wall_seconds = 0.0;
    // The spread of the copies' own rates, each from its thread's processor time.
    double min_mflops = 0.0;
    double median_mflops = 0.0;
    double max_mflops = 0.0;
    // Copy 0 alone, just before the copies ran together, on the wall clock like the aggregate.
    double alone_mflops = 0.0;
    double scaling_efficiency = 0.0;    // aggregate / (copies x alone); 0 without a rate alone
    double common_checksum = 0.0;       // what most copies computed (ties: the lowest copy's)
    std::vector<std::size_t> differing; // copies whose checksum is not the common one
};

// Everything measured of one kernel.
struct kernel_outcome {
    kernel_id kernel;
    std::vector<kernel_result> runs; // one per whole measurement, in order
    double median_mflops = 0.0;
    double min_mflops = 0.0;
    double max_mflops = 0.0;
    std::optional<double> plain_checksum; // with --verify: the plain kernels' checksum
    // With --copies; `runs` then holds one result with the aggregate rate, the common
    // repetition count and checksum, the wall-clock span and the operations of all copies.
    std::optional<copies_outcome> copies;
};

// What the classic report shows of a kernel: the first run, with the median rate.
inline kernel_result reported_result(const kernel_outcome& outcome)
{
    kernel_result shown = outcome.runs.front();
    shown.mflops = outcome.median_mflops;
    return shown;
}

struct session_outcome {
    std::vector<kernel_outcome> kernels; // the selected ones, in run order
    double composite = 0.0;              // mean of the median rates
    double mean_checksum = 0.0;          // mean of the first run's checksums
    bool all_copies_agree = true;        // with --copies: no copy computed another checksum
};

// The run sequence calls, in this order: context once; kernel once per selected kernel, as soon
// as its last run has ended; summary once the last kernel is done; finish at the very end, after
// the verification when there is one (the outcomes then carry the plain checksums).
struct reporter {
    virtual ~reporter() = default;
    virtual void context(const run_context& context) = 0;
    virtual void kernel(const kernel_outcome& outcome) = 0;
    virtual void summary(const session_outcome& session) = 0;
    virtual void finish(const session_outcome& session) = 0;
};

} // namespace kalvento
