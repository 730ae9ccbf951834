#include "driver/command_line.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace kalvento {

std::string quoted_argument(std::string_view argument)
{
    constexpr std::size_t LONGEST = 60;
    std::string quoted = "'";
    for (char c : argument.substr(0, LONGEST))
        quoted += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? '?' : c;
    if (argument.size() > LONGEST)
        quoted += "...";
    return quoted + "'";
}

std::uint32_t floor_log2(std::uint32_t n)
{
    std::uint32_t k = 0;
    while (n > 1) {
        n >>= 1;
        ++k;
    }
    return k;
}

problem_sizes sizes_from_megabytes(std::int32_t megabytes)
{
    std::uint32_t n = static_cast<std::uint32_t>(megabytes) * 131072u;
    problem_sizes sizes;
    sizes.sparse_nonzeros = static_cast<std::int32_t>(n);
    sizes.sparse_rows = static_cast<std::int32_t>(n / 8);
    sizes.grid_size = static_cast<std::int32_t>(std::floor(std::sqrt(static_cast<double>(n))));
    sizes.fft_points = std::int32_t{1} << floor_log2(n);
    return sizes;
}

namespace {

// The blanks that atoi and atof skip before a number.
bool is_blank(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

const char* skip_blanks(const char* p)
{
    while (is_blank(*p))
        ++p;
    return p;
}

bool only_blanks(const char* p)
{
    return *skip_blanks(p) == 0;
}

// A "-huge" count as atoi reads it, saturating: atoi itself has no defined result beyond the int
// range.
struct count_reading {
    std::int32_t megabytes; // clamped into 0 to MAX_MEGABYTES
    bool number;            // the text begins with a number
    bool whole;             // nothing but blanks follows the number
    bool in_range;          // the number itself lies in 0 to MAX_MEGABYTES
};

count_reading read_count(const char* text)
{
    const char* p = skip_blanks(text);
    bool negative = *p == '-';
    if (*p == '-' || *p == '+')
        ++p;
    const char* digits = p;
    std::int64_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p)
        value = std::min<std::int64_t>(value * 10 + (*p - '0'), MAX_MEGABYTES + 1);
    bool number = p != digits;
    bool in_range = !(negative && value > 0) && value <= MAX_MEGABYTES;
    std::int32_t megabytes = negative ? 0 : static_cast<std::int32_t>(value);
    return {std::min(megabytes, MAX_MEGABYTES), number, number && only_blanks(p), in_range};
}

bool classic_option(std::string_view arg)
{
    return arg == "-large" || arg == "-huge" || arg == "-help" || arg == "-h";
}

std::string seconds_text(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", seconds);
    return text;
}

// What a minimum-time argument was read as, when that is not what it says.
std::optional<std::string> min_seconds_note(const char* text)
{
    std::string stays = "the minimum time stays " + seconds_text(DEFAULT_MIN_SECONDS);
    char* end = nullptr;
    double value = std::strtod(text, &end);
    if (classic_option(text))
        return quoted_argument(text) + " is ignored: only the first argument can be an option; " +
               stays;
    if (end == text)
        return quoted_argument(text) + " is neither an option nor a number; " + stays;
    if (!(value > 0.0 && std::isfinite(value)))
        return "minimum time " + quoted_argument(text) +
               " is not a positive, finite number of seconds; it stays " +
               seconds_text(DEFAULT_MIN_SECONDS);
    if (!only_blanks(end)) {
        const char* start = skip_blanks(text);
        std::string_view read(start, static_cast<std::size_t>(end - start));
        return "minimum time " + quoted_argument(text) + " read only in part, as " +
               std::string(read.substr(0, 40)) + (read.size() > 40 ? "..." : "") +
               (read == "1" ? " second" : " seconds");
    }
    return std::nullopt;
}

std::optional<std::string> megabytes_note(const char* text, const count_reading& count)
{
    std::string quoted = "the -huge count " + quoted_argument(text);
    std::string used = std::to_string(count.megabytes) + " megabytes";
    if (!count.number)
        return quoted + " is no number; read as " + used;
    if (!count.in_range)
        return quoted + " is out of range (0 to " + std::to_string(MAX_MEGABYTES) + "); read as " +
               used;
    if (!count.whole)
        return quoted + " read only in part, as " + used;
    return std::nullopt;
}

// Arguments after the minimum-time position, named one per line up to a bound.
void note_ignored(std::vector<std::string>& notes, int argc, const char* const* argv, int first)
{
    constexpr int NAMED = 8;
    for (int i = first; i < argc && i < first + NAMED; ++i)
        notes.push_back(quoted_argument(argv[i]) + " is ignored: " +
                        (classic_option(argv[i]) ? "only the first argument can be an option"
                                                 : "nothing is read after the minimum time"));
    if (argc - first > NAMED)
        notes.push_back("and " + std::to_string(argc - first - NAMED) +
                        " more arguments are ignored");
}

} // namespace

std::int32_t read_megabytes(const char* text)
{
    return read_count(text).megabytes;
}

double read_min_seconds(const char* text)
{
    double value = std::strtod(text, nullptr);
    if (value > 0.0 && std::isfinite(value))
        return value;
    return DEFAULT_MIN_SECONDS;
}

run_settings read_command_line(int argc, const char* const* argv)
{
    run_settings settings;
    if (argc < 2)
        return settings;
    const char* first = argv[1];
    int min_time_position = 1;
    if (std::strcmp(first, "-help") == 0 || std::strcmp(first, "-h") == 0) {
        settings.help_requested = true;
        return settings;
    }
    if (std::strcmp(first, "-large") == 0) {
        settings.sizes = LARGE_SIZES;
        min_time_position = 2;
    } else if (std::strcmp(first, "-huge") == 0 && argc >= 3) {
        count_reading count = read_count(argv[2]);
        settings.sizes = sizes_from_megabytes(count.megabytes);
        settings.megabytes = count.megabytes;
        if (std::optional<std::string> note = megabytes_note(argv[2], count))
            settings.notes.push_back(*note);
        min_time_position = 3;
    } else if (std::strcmp(first, "-huge") == 0) {
        settings.notes.push_back("'-huge' needs a count of megabytes after it; the default "
                                 "sizes run");
        return settings;
    }
    if (argc > min_time_position) {
        const char* text = argv[min_time_position];
        settings.min_seconds = read_min_seconds(text);
        if (std::optional<std::string> note = min_seconds_note(text))
            settings.notes.push_back(*note);
    }
    note_ignored(settings.notes, argc, argv, min_time_position + 1);
    return settings;
}

} // namespace kalvento
