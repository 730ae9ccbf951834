// Checking a published classic report: its checksum is fully determined by the sizes and the five
// repetition counts, so it can be recomputed on any machine and compared with the printed text.
#pragma once

#include "driver/command_line.h"
#include "driver/run.h"
#include "kernels/kernel_set.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace kalvento {

struct classic_report {
    double min_seconds = 0.0; // as printed, to two decimals
    problem_sizes sizes{};
    std::optional<std::int32_t> megabytes;
    std::array<double, 5> mflops{}; // as printed, in run order
    double composite = 0.0;
    kernel_reps reps{};        // in run order
    std::string checksum_text; // as printed, without padding
};

struct report_reading {
    std::optional<classic_report> report;
    std::string error; // when there is no report: which line is wrong, and how
};

// Reads a classic report out of `text`: lines before and after it, other banner lines, changed
// trailing white space and Windows line endings are accepted; sizes that the classic command line
// cannot produce, repetition counts that are not powers of two and missing lines are not.
report_reading read_classic_report(std::string_view text);

// Whether the printed rates, repetition counts and minimum time fit together as a real run's do:
// every final attempt lasted at least the minimum time (unless its count reached the doubling
// limit), none lasted so long that the attempt before it would already have been long enough, and
// the composite score is the mean of the rates. Empty when they fit; otherwise what does not.
// Altered rates, and altered counts that leave a checksum unchanged, show up here.
std::string timing_inconsistency(const classic_report& report);

// Replays the report's run with `kernels` and compares checksums. Writes the verdict (classic
// lines, or JSON) to standard output and returns the exit status: 0 genuine, 3 a mismatch, 2 when
// the file cannot be read as a classic report (the reason goes to standard error).
int check_report(const std::string& path, bool json, const kernel_set& kernels);

} // namespace kalvento
