// Comparing two results: JSON documents of --json (with or without --repeat) or classic reports
// (one run each). Per kernel present in both: the median rate of each side, the ratio NEW/BASE
// and the two-sided Mann-Whitney U test on the per-run rates; then the composite score and the
// geometric mean of the ratios, with the differences of context that explain a difference.
#pragma once

#include "driver/run.h"
#include "driver/statistics.h"

#include <array>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kalvento {

// Larger files are no results of this program.
inline constexpr std::size_t MAX_RESULT_FILE_BYTES = 8 << 20;
// More runs than --repeat gives, and a bound on the exact test's work.
inline constexpr std::size_t MAX_COMPARED_RUNS = 1000;
// Shorter minimum times than this give unsteady rates.
inline constexpr double SHORT_MIN_SECONDS = 0.1;

// A context field that matters for a comparison, as it is shown: "code path", "compiler",
// "build flags", "code path flags", "CPU model", "version", "sizes", "minimum time".
struct context_field {
    std::string name;
    std::string value;
};

struct result_file {
    std::string path;
    bool classic = false;                     // a classic report, not a JSON document
    std::array<std::vector<double>, 5> rates; // per run, in RUN_ORDER; empty: not in the file
    std::vector<context_field> context;       // the fields the file records
    std::optional<double> min_seconds;
    std::vector<std::string> warnings; // context.warnings of the file
};

struct result_reading {
    std::optional<result_file> file;
    std::string error; // when there is no file: why, in a few words
};

// Reads a JSON document (its first character that is not white space is "{") or a classic report.
result_reading read_result_text(std::string_view text);
// Reads a file of at most MAX_RESULT_FILE_BYTES.
result_reading read_result_file(const std::string& path);

struct rate_comparison {
    std::size_t base_runs = 0;
    std::size_t new_runs = 0;
    double base_median = 0.0;
    double new_median = 0.0;
    std::optional<double> ratio; // NEW / BASE; none when the base rate is 0
    rank_test test;
    bool enough_runs = false; // whether these run counts can reach p < SIGNIFICANCE_LEVEL
    bool significant() const { return enough_runs && test.p_value < SIGNIFICANCE_LEVEL; }
};

struct kernel_comparison {
    kernel_id kernel;
    rate_comparison rates;
};

struct context_difference {
    std::string name;
    std::string base_value;
    std::string new_value;
};

struct comparison {
    std::vector<context_difference> differences;
    std::vector<kernel_comparison> kernels; // present in both, in RUN_ORDER
    // The composite score: the mean of the median rates, tested on the per-run composite scores
    // (the mean over the compared kernels of each run's rates).
    rate_comparison composite;
    std::optional<double> geometric_mean_ratio; // over the kernels that have a ratio
    std::vector<std::string> warnings;          // runs too few or too short, and the like
};

// Fails (empty) when the two files have no kernel in common.
std::optional<comparison> compare_results(const result_file& base, const result_file& next);

void write_comparison(std::FILE* out, const result_file& base, const result_file& next,
                      const comparison& result);
void write_comparison_json(std::FILE* out, const result_file& base, const result_file& next,
                           const comparison& result);

// --compare BASE NEW: the comparison (or its JSON document) on standard output, its warnings on
// standard error when that is a terminal. Returns the exit status: 0, or 2 when a file cannot be
// read as a result (one line on standard error says why).
int run_comparison(const std::string& base_path, const std::string& new_path, bool json);

} // namespace kalvento
