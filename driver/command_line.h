// The classic command line: [-large | -huge #MB] [minimum_time], or -help / -h.
//
// Only the first argument can be an option; the minimum time follows the option (or stands first
// when there is none). Nothing is ever rejected: unusable arguments fall back to the defaults,
// and each one that is not read as written gets a note for standard error.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kalvento {

struct problem_sizes {
    std::int32_t fft_points;      // complex points, a power of two
    std::int32_t grid_size;       // N of the SOR grid and of the LU matrix
    std::int32_t sparse_rows;     // rows (and columns) of the sparse matrix
    std::int32_t sparse_nonzeros; // requested non-zero entries

    friend bool operator==(const problem_sizes&, const problem_sizes&) = default;
};

inline constexpr problem_sizes DEFAULT_SIZES{1024, 100, 1000, 5000};
inline constexpr problem_sizes LARGE_SIZES{1048576, 1000, 100000, 1000000};
inline constexpr double DEFAULT_MIN_SECONDS = 2.0;
// "-huge" counts are clamped into this range; with 4095 every size still fits 32 bits.
inline constexpr std::int32_t MAX_MEGABYTES = 4095;
inline constexpr char USAGE_TEXT[] = "Usage: [-large | -huge #MB] [minimum_time]\n";

struct run_settings {
    problem_sizes sizes = DEFAULT_SIZES;
    double min_seconds = DEFAULT_MIN_SECONDS; // positive and finite
    std::optional<std::int32_t> megabytes;    // present when "-huge" set the sizes
    bool help_requested = false;
    // Each argument that was not read as written (a fallback, a part ignored, an argument past
    // those read): one line each, for standard error, without the program name.
    std::vector<std::string> notes;
};

// An argument as a message quotes it: in single quotes, control characters shown as '?', and cut
// short after 60 bytes, since an argument can be of any length.
std::string quoted_argument(std::string_view argument);

// The largest k with 2^k <= n; 0 for 0 and 1.
std::uint32_t floor_log2(std::uint32_t n);

// The sizes that a budget of `megabytes` (0 to MAX_MEGABYTES) holds: n = megabytes x 131072
// doubles, nonzeros n, rows n / 8, grid floor(sqrt n), FFT points 2^floor_log2(n).
problem_sizes sizes_from_megabytes(std::int32_t megabytes);

// A "-huge" count read as atoi reads it (leading blanks, a sign, digits up to the first other
// character; no number reads as 0), clamped into 0 to MAX_MEGABYTES.
std::int32_t read_megabytes(const char* text);

// A minimum time read as atof reads it; zero, negative, not-a-number and infinite values give
// DEFAULT_MIN_SECONDS.
double read_min_seconds(const char* text);

// The settings of a run, without side effects; argv[0] is the program name. A help request only
// sets help_requested: the entry point writes USAGE_TEXT to standard error and ends with status 0.
run_settings read_command_line(int argc, const char* const* argv);

} // namespace kalvento
