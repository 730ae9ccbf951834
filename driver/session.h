// A benchmark run as the command line asks for it: the measurements (once, or repeated), the
// classic report or the JSON document, and the verification against the plain kernels.
#pragma once

#include "driver/command_line.h"
#include "driver/options.h"
#include "driver/run.h"
#include "kernels/kernel_set.h"
#include "support/lagged_rng.h"

#include <optional>
#include <string>
#include <vector>

namespace kalvento {

// Everything measured of one kernel.
struct kernel_outcome {
    kernel_id kernel;
    std::vector<kernel_result> runs; // one per whole measurement, in order
    double median_mflops = 0.0;
    double min_mflops = 0.0;
    double max_mflops = 0.0;
    std::optional<double> plain_checksum; // with --verify: the plain kernels' checksum
};

struct session_outcome {
    std::vector<kernel_outcome> kernels; // the selected ones, in run order
    double composite = 0.0;              // mean of the median rates
    double mean_checksum = 0.0;          // mean of the first run's checksums
};

// Median of the rates (the mean of the middle two for an even count).
double median(std::vector<double> values);

// Runs the measurements, writes the classic report or the JSON document to standard output, and
// returns the exit status: 0, or 3 when --verify found a kernel whose checksum differs.
int run_session(const run_settings& settings, const extended_options& options, lagged_rng& shared,
                const std::vector<std::string>& command_line, const kernel_set& measured_kernels);

} // namespace kalvento
