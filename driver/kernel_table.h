// What the driver knows of each kernel, in one table: its names, its line in the classic report,
// the sizes it shows, how its measurement is run and what it credits. The report, the JSON
// document, --check-report and the usage text all read it from here.
#pragma once

#include "driver/command_line.h"
#include "kernels/calibration.h"
#include "kernels/kernel_set.h"
#include "support/lagged_rng.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace kalvento {

enum class kernel_id { fft, sor, monte_carlo, sparse, lu };

// Run order; the shared stream is consumed in this order, so it is part of the results.
inline constexpr std::array<kernel_id, 5> RUN_ORDER{
    kernel_id::fft, kernel_id::sor, kernel_id::monte_carlo, kernel_id::sparse, kernel_id::lu};

inline std::size_t kernel_index(kernel_id kernel)
{
    return static_cast<std::size_t>(kernel);
}

// One size a kernel shows on its report line and in JSON, in the order of the line's numbers.
struct shown_size {
    const char* json_name;
    std::int32_t problem_sizes::*field;
};

struct kernel_descriptor {
    kernel_id id;
    const char* name;        // on the command line and in JSON: "fft", "montecarlo", ...
    const char* label;       // in the report: "FFT", "MonteCarlo", "Sparse matmult", ...
    const char* line_format; // printf format of the report line: the rate, then the shown sizes
    std::span<const shown_size> sizes;
    const char* reps_label;    // start of the repetition line, e.g. "Montel Carlo reps:"
    std::int64_t largest_reps; // where the doubling counter stops (2^62 for 64 bits, else 2^30)
    // Whether the kernel has anything to compute at these sizes; without work the measurement
    // runs one attempt and reports no rate.
    bool (*has_work)(const problem_sizes& sizes);
    // Operations credited to an attempt of `reps` units; 0 without work.
    double (*attempt_operations)(const problem_sizes& sizes, std::int64_t reps);
    // How many values the kernel takes from the shared generator.
    std::uint64_t (*shared_draws)(const problem_sizes& sizes);
    // Bytes of data the kernel holds at once.
    std::uint64_t (*data_bytes)(const problem_sizes& sizes);
    void (*measure)(const problem_sizes& sizes, lagged_rng& shared, const calibration& plan,
                    const kernel_set& kernels, kernel_result& result);
};

// The five kernels in RUN_ORDER.
std::span<const kernel_descriptor, 5> kernel_table();

inline const kernel_descriptor& describe(kernel_id kernel)
{
    return kernel_table()[kernel_index(kernel)];
}

inline const char* kernel_name(kernel_id kernel)
{
    return describe(kernel).name;
}

inline const char* kernel_label(kernel_id kernel)
{
    return describe(kernel).label;
}

// The kernels' command-line names in run order, joined by `separator`, the last two by
// `last_separator`: "fft, sor, montecarlo, sparse and lu".
std::string kernel_names(const char* separator, const char* last_separator);

// A regular expression that matches the kernel's report line with its trailing blanks removed:
// runs of spaces match any white space, the rate and each shown size are captured in order.
std::string report_line_pattern(const kernel_descriptor& kernel);

} // namespace kalvento
