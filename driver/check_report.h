// Checking a published classic report: its checksum is fully determined by the sizes and the five
// repetition counts, so it can be recomputed on any machine and compared with the printed text,
// and its rates, counts and minimum time must fit together as those of a real run.
#pragma once

#include "driver/command_line.h"
#include "driver/run.h"
#include "kernels/kernel_set.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kalvento {

// A printed number and the rounding its printed digits allow.
struct printed_number {
    double value = 0.0;
    double half_unit = 0.0; // half the unit of its last printed digit
    std::string text;       // as printed (at most a few dozen characters)
};

struct classic_report {
    printed_number min_seconds;
    problem_sizes sizes{};
    std::optional<std::int32_t> megabytes;
    std::array<printed_number, 5> mflops{}; // in run order
    printed_number composite;
    kernel_reps reps{};        // in run order
    std::string checksum_text; // as printed, without padding
};

struct report_reading {
    std::optional<classic_report> report;
    std::string error;          // when there is no report: which line is wrong, and how
    std::size_t first_line = 0; // 1-based lines of the text the report spans
    std::size_t last_line = 0;
};

// One file holds at most this many reports.
inline constexpr std::size_t MAX_REPORTS = 1000;

// Every report in `bytes`, in order: each one starts at a settings line (a line whose text, after
// a prefix that all its lines share, starts with "Using", a number and a word starting "sec"),
// and its other lines follow in the classic order, recognised by their numbers, not their words.
// A text without a settings line gives one reading with an error; a text with more than
// MAX_REPORTS reports gives MAX_REPORTS + 1 readings, the last one an error.
std::vector<report_reading> read_classic_reports(std::string_view bytes);

// No attempt runs this fast: 1 Tflop/s, several times the double-precision peak of the fastest
// current core.
inline constexpr double MAX_PLAUSIBLE_MFLOPS = 1e6;
// A final attempt may last this many times the limit that its predecessor stayed under, the
// minimum time plus one step of a coarse processor clock; twice the work, and half as much
// again for noise.
inline constexpr double ATTEMPT_NOISE_FACTOR = 3.0;
inline constexpr double COARSEST_CLOCK_STEP = 0.01;

// Whether the printed numbers fit together as a real run's do. Empty when they fit; otherwise
// the first thing that does not.
std::string timing_inconsistency(const classic_report& report);

// Processor seconds a replay of the report would take on this machine with `kernels`: the
// operations of all attempts at this machine's speed for each kernel, measured briefly.
double estimated_replay_seconds(const classic_report& report, const kernel_set& kernels);

inline constexpr double DEFAULT_REPLAY_BUDGET = 300.0;

struct check_request {
    std::string path; // "-": standard input
    bool json = false;
    double replay_budget = DEFAULT_REPLAY_BUDGET; // seconds
};

// Checks every report of the file: timing first, then (within the budget) the replay of its run
// with `kernels` and the comparison of checksums. Writes the verdicts to standard output and
// returns the worst exit status: 0 genuine, 3 a mismatch, 2 unreadable or not replayable.
int check_report(const check_request& request, const kernel_set& kernels);

} // namespace kalvento
