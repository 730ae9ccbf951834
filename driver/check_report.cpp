#include "driver/check_report.h"

#include "driver/json_report.h"
#include "driver/progress.h"
#include "driver/report.h"
#include "kernels/fft.h"
#include "kernels/lu.h"
#include "kernels/sor.h"
#include "kernels/sparse.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <vector>

namespace kalvento {

namespace {

// Recomputing more than this many operations would take hours: such counts are taken as damage.
constexpr double REPLAY_OPERATION_LIMIT = 1e14;

std::vector<std::string> trimmed_lines(std::string_view text)
{
    std::vector<std::string> lines;
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        std::size_t first = line.find_first_not_of(" \t\r\f\v");
        std::size_t last = line.find_last_not_of(" \t\r\f\v");
        lines.emplace_back(first == std::string_view::npos ? std::string_view()
                                                           : line.substr(first, last - first + 1));
        if (end == std::string_view::npos)
            break;
        text.remove_prefix(end + 1);
    }
    return lines;
}

bool read_integer(const std::string& text, std::int64_t& value)
{
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, value);
    return error == std::errc() && stop == end;
}

// A finite decimal number, the whole text.
bool read_decimal(const std::string& text, double& value)
{
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && end == text.c_str() + text.size() && std::isfinite(value);
}

bool same_sizes(const problem_sizes& a, const problem_sizes& b)
{
    return a.fft_points == b.fft_points && a.grid_size == b.grid_size &&
           a.sparse_rows == b.sparse_rows && a.sparse_nonzeros == b.sparse_nonzeros;
}

// Operations a replay up to `reps` repeats of one unit; an estimate to refuse absurd counts.
double replay_operations(kernel_id kernel, const problem_sizes& s, std::int64_t reps)
{
    double units = 2.0 * static_cast<double>(reps) - 1.0;
    double grid = s.grid_size;
    switch (kernel) {
    case kernel_id::fft:
        return units * 10.0 * s.fft_points * (1.0 + std::log2(static_cast<double>(s.fft_points)));
    case kernel_id::sor:
        return units * 6.0 * grid * grid;
    case kernel_id::monte_carlo:
        return units * 4.0;
    case kernel_id::sparse:
        return units * (2.0 * s.sparse_nonzeros + s.sparse_rows);
    case kernel_id::lu:
        return units * (lu_flop_count(s.grid_size) + grid * grid);
    }
    return 0.0;
}

// The report's lines, trimmed, and how far reading has got.
struct report_lines {
    std::vector<std::string> lines;
    std::size_t next = 0;        // index of the next line to read
    std::size_t line_number = 0; // 1-based number of the line read last
};

// The settings line starts the report; anything before it is not part of it.
bool find_settings_line(report_lines& r, const std::regex& pattern, std::smatch& match)
{
    for (; r.next < r.lines.size(); ++r.next)
        if (std::regex_match(r.lines[r.next], match, pattern)) {
            r.line_number = ++r.next;
            return true;
        }
    return false;
}

// The next line that carries something (not blank, not only asterisks) must match `pattern`;
// otherwise `error` says which line is wrong.
bool expect_line(report_lines& r, const std::regex& pattern, const std::string& what,
                 std::smatch& match, std::string& error)
{
    while (r.next < r.lines.size() && r.lines[r.next].find_first_not_of('*') == std::string::npos)
        ++r.next;
    if (r.next == r.lines.size()) {
        error = "the report ends before " + what;
        return false;
    }
    r.line_number = r.next + 1;
    if (!std::regex_match(r.lines[r.next], match, pattern)) {
        error = "line " + std::to_string(r.line_number) + ": expected " + what + ", found \"" +
                r.lines[r.next] + "\"";
        return false;
    }
    ++r.next;
    return true;
}

} // namespace

report_reading read_classic_report(std::string_view text)
{
    report_reading reading;
    report_lines reader{trimmed_lines(text)};
    std::smatch m;
    auto unreadable = [&](const std::string& why) {
        reading.error = "line " + std::to_string(reader.line_number) + ": " + why;
        return reading;
    };
    const std::regex settings_pattern(
        R"(Using\s+(\S+)\s+seconds min time per kernel\.(?:\s+Approx\. problem size:\s+(\S+)\s+\(MB\))?)");
    if (!find_settings_line(reader, settings_pattern, m)) {
        reading.error = "no settings line (\"Using ... seconds min time per kernel.\") found";
        return reading;
    }
    std::size_t settings_line = reader.line_number;
    classic_report report;
    if (!read_decimal(m[1].str(), report.min_seconds))
        return unreadable("the minimum time \"" + m[1].str() + "\" is not a number");
    if (m[2].matched) {
        std::int64_t count = 0;
        if (!read_integer(m[2].str(), count) || count < 0 || count > MAX_MEGABYTES)
            return unreadable("the problem size \"" + m[2].str() +
                              "\" is not a count from 0 to 4095");
        report.megabytes = static_cast<std::int32_t>(count);
    }

    // Each kernel line: the rate, then its sizes.
    std::int64_t numbers[5][2] = {};
    for (std::size_t k = 0; k < 5; ++k) {
        const kernel_descriptor& kernel = kernel_table()[k];
        if (!expect_line(reader, std::regex(report_line_pattern(kernel)),
                         std::string("the ") + kernel.label + " line", m, reading.error))
            return reading;
        if (!read_decimal(m[1].str(), report.mflops[k]))
            return unreadable("the rate \"" + m[1].str() + "\" is not a number");
        for (std::size_t i = 2; i < m.size(); ++i)
            if (!read_integer(m[i].str(), numbers[k][i - 2]) || numbers[k][i - 2] > INT32_MAX)
                return unreadable("the size \"" + m[i].str() + "\" is out of range");
    }
    problem_sizes& sizes = report.sizes;
    sizes = problem_sizes{
        static_cast<std::int32_t>(numbers[0][0]), static_cast<std::int32_t>(numbers[1][0]),
        static_cast<std::int32_t>(numbers[3][0]), static_cast<std::int32_t>(numbers[3][1])};
    bool square = numbers[1][0] == numbers[1][1] && numbers[4][0] == numbers[4][1] &&
                  numbers[4][0] == numbers[1][0];
    bool possible = report.megabytes
                        ? same_sizes(sizes, sizes_from_megabytes(*report.megabytes))
                        : same_sizes(sizes, DEFAULT_SIZES) || same_sizes(sizes, LARGE_SIZES);
    if (!square || !possible) {
        reader.line_number = settings_line;
        return unreadable("the sizes of the kernel lines cannot come from the classic command "
                          "line with these settings");
    }

    if (!expect_line(reader, std::regex(R"(Composite Score:\s+(\S+))"), "the composite score", m,
                     reading.error))
        return reading;
    if (!read_decimal(m[1].str(), report.composite))
        return unreadable("the score \"" + m[1].str() + "\" is not a number");

    for (std::size_t k = 0; k < 5; ++k) {
        const kernel_descriptor& kernel = kernel_table()[k];
        std::string what = std::string("the line \"") + kernel.reps_label + "\"";
        std::regex pattern(std::string(kernel.reps_label) + R"(\s+(\S+))");
        if (!expect_line(reader, pattern, what, m, reading.error))
            return reading;
        std::int64_t count = 0;
        if (!read_integer(m[1].str(), count) || count < 1 || count > kernel.largest_reps ||
            (count & (count - 1)) != 0)
            return unreadable("the repetition count \"" + m[1].str() +
                              "\" is not a power of two that a run can reach");
        report.reps[k] = count;
    }

    if (!expect_line(reader, std::regex(R"(checksum:\s+(\S+))"), "the checksum line", m,
                     reading.error))
        return reading;
    double checksum = 0.0;
    if (!read_decimal(m[1].str(), checksum))
        return unreadable("the checksum \"" + m[1].str() + "\" is not a number");
    report.checksum_text = m[1].str();

    double operations = 0.0;
    for (kernel_id kernel : RUN_ORDER)
        operations += replay_operations(kernel, sizes, report.reps[kernel_index(kernel)]);
    if (operations > REPLAY_OPERATION_LIMIT) {
        reading.error = "the repetition counts would take more than 1e14 operations to "
                        "recompute; no run of these sizes reaches them";
        return reading;
    }
    reading.report = report;
    return reading;
}

std::string timing_inconsistency(const classic_report& report)
{
    // Printed values are rounded to two decimals.
    constexpr double HALF_CENT = 0.005;
    const problem_sizes& s = report.sizes;
    char text[256];
    for (kernel_id kernel : RUN_ORDER) {
        std::size_t k = kernel_index(kernel);
        double rate = report.mflops[k];
        std::int64_t reps = report.reps[k];
        double operations = describe(kernel).attempt_operations(s, reps);
        if (rate - HALF_CENT <= 0.0 || operations <= 0.0)
            continue; // nothing was timed, or too slow to tell
        double longest = operations / ((rate - HALF_CENT) * 1e6);
        double shortest = operations / ((rate + HALF_CENT) * 1e6);
        double least_minimum = report.min_seconds - HALF_CENT;
        if (reps < describe(kernel).largest_reps && longest < least_minimum) {
            std::snprintf(text, sizeof text,
                          "%s: %lld repetitions at %.2f Mflops last %.3g seconds, less than the "
                          "minimum time",
                          kernel_label(kernel), static_cast<long long>(reps), rate, longest);
            return text;
        }
        // The attempt before the last was shorter than the minimum time: a final attempt more
        // than three times as long cannot come from a steady machine.
        if (reps > 1 && shortest > 3.0 * (report.min_seconds + HALF_CENT)) {
            std::snprintf(text, sizeof text,
                          "%s: %lld repetitions at %.2f Mflops last %.3g seconds; half as many "
                          "would already have reached the minimum time",
                          kernel_label(kernel), static_cast<long long>(reps), rate, shortest);
            return text;
        }
    }
    double rate_sum = 0.0;
    for (double rate : report.mflops)
        rate_sum += rate;
    if (std::fabs(rate_sum / 5.0 - report.composite) > 2.5 * HALF_CENT) {
        std::snprintf(text, sizeof text,
                      "the composite score %.2f is not the mean of the rates (%.2f)",
                      report.composite, rate_sum / 5.0);
        return text;
    }
    return "";
}

int check_report(const std::string& path, bool json, const kernel_set& kernels)
{
    std::string text;
    if (path == "-") {
        text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    } else {
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "kalvento: cannot read '%s': %s\n", path.c_str(),
                         std::strerror(errno));
            return 2;
        }
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    report_reading reading = read_classic_report(text);
    if (!reading.report) {
        std::fprintf(stderr, "kalvento: %s is not a readable classic report: %s\n",
                     path == "-" ? "standard input" : path.c_str(), reading.error.c_str());
        return 2;
    }
    const classic_report& report = *reading.report;
    check_memory(report.sizes, physical_memory_bytes());

    std::array<kernel_result, 5> replayed;
    {
        progress_line progress;
        progress_open(progress);
        replayed = replay_run(report.sizes, ALL_KERNELS, report.reps, kernels,
                              progress_watch(progress, "replaying"));
    }
    std::vector<measured_kernel> measured;
    for (kernel_id kernel : RUN_ORDER)
        measured.push_back({kernel, replayed[kernel_index(kernel)]});
    std::string recomputed = checksum_text(summarize(measured).mean_checksum);
    bool genuine = recomputed == report.checksum_text;
    std::string timing = timing_inconsistency(report);

    if (json) {
        nlohmann::ordered_json kernels_json = nlohmann::ordered_json::array();
        for (const measured_kernel& m : measured)
            kernels_json.push_back({{"name", kernel_name(m.kernel)},
                                    {"reps", m.result.reps},
                                    {"checksum", m.result.checksum},
                                    {"checksum_text", checksum_text(m.result.checksum)}});
        nlohmann::ordered_json document = {{"schema_version", JSON_SCHEMA_VERSION},
                                           {"check_report",
                                            {{"file", path},
                                             {"sizes",
                                              {{"fft_points", report.sizes.fft_points},
                                               {"grid_size", report.sizes.grid_size},
                                               {"sparse_rows", report.sizes.sparse_rows},
                                               {"sparse_nonzeros", report.sizes.sparse_nonzeros}}},
                                             {"kernels", kernels_json},
                                             {"report_checksum_text", report.checksum_text},
                                             {"recomputed_checksum_text", recomputed},
                                             {"genuine", genuine},
                                             {"timing_consistent", timing.empty()},
                                             {"timing_problem", timing}}}};
        std::string out =
            document.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
        std::printf("%s\n", out.c_str());
    } else {
        for (const measured_kernel& m : measured)
            std::printf("%-15s reps %-10lld checksum %s\n", kernel_label(m.kernel),
                        static_cast<long long>(m.result.reps),
                        checksum_text(m.result.checksum).c_str());
        if (genuine)
            std::printf("checksum genuine\n");
        else
            std::printf("checksum MISMATCH: report says %s, recomputed %s\n",
                        report.checksum_text.c_str(), recomputed.c_str());
        if (timing.empty())
            std::printf("timing consistent\n");
        else
            std::printf("timing MISMATCH: %s\n", timing.c_str());
    }
    flush_report(stdout);
    return genuine && timing.empty() ? 0 : 3;
}

} // namespace kalvento
