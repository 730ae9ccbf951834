#include "driver/command_line.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

std::int32_t read_megabytes(const char* text)
{
    // atoi's reading, but saturating: atoi itself has no defined result beyond the int range.
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+')
        ++p;
    std::int64_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > MAX_MEGABYTES)
            break;
    }
    if (negative)
        return 0;
    return value > MAX_MEGABYTES ? MAX_MEGABYTES : static_cast<std::int32_t>(value);
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
        std::int32_t megabytes = read_megabytes(argv[2]);
        settings.sizes = sizes_from_megabytes(megabytes);
        settings.megabytes = megabytes;
        min_time_position = 3;
    }
    if (argc > min_time_position)
        settings.min_seconds = read_min_seconds(argv[min_time_position]);
    return settings;
}

run_settings parse_command_line(int argc, const char* const* argv)
{
    run_settings settings = read_command_line(argc, argv);
    if (settings.help_requested) {
        std::fputs(USAGE_TEXT, stderr);
        std::exit(0);
    }
    return settings;
}

} // namespace kalvento
