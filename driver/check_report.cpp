#include "driver/check_report.h"

#include "driver/json_report.h"
#include "driver/progress.h"
#include "driver/report.h"
#include "driver/report_text.h"
#include "support/cpu_timer.h"
#include "support/platform.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <nlohmann/json.hpp>

namespace kalvento {

namespace {

// A log prefix or quote marks are short; a report line is short too.
constexpr std::size_t MAX_PREFIX_LENGTH = 256;
constexpr std::size_t MAX_REPORT_LINE_LENGTH = 1024;

bool has_work(kernel_id kernel, const problem_sizes& s)
{
    return describe(kernel).has_work(s);
}

// Operations the rate credits to one unit of work: one transform pair, one sweep, one sample,
// one multiply, one factorisation.
double unit_operations(kernel_id kernel, const problem_sizes& s)
{
    return describe(kernel).attempt_operations(s, 1);
}

bool same_sizes(const problem_sizes& a, const problem_sizes& b)
{
    return a.fft_points == b.fft_points && a.grid_size == b.grid_size &&
           a.sparse_rows == b.sparse_rows && a.sparse_nonzeros == b.sparse_nonzeros;
}

bool read_count(std::string_view text, std::int64_t& value)
{
    auto [stop, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && stop == text.data() + text.size();
}

struct settings_match {
    line_prefix prefix;
    std::string_view text; // the line after the prefix
};

// A settings line: after its prefix, "Using" (in any case), a number and a word starting "sec".
std::optional<settings_match> settings_line(std::string_view line)
{
    if (line.size() > MAX_PREFIX_LENGTH + MAX_REPORT_LINE_LENGTH)
        return std::nullopt;
    for (std::size_t p = 0; p < line.size() && p <= MAX_PREFIX_LENGTH; ++p) {
        if (!starts_with_word(line.substr(p), "using") || (p > 0 && is_letter(line[p - 1])))
            continue;
        std::string_view rest = line.substr(p + 5);
        std::size_t number = rest.find_first_not_of(" \t");
        if (number == 0 || number == std::string_view::npos)
            continue;
        rest.remove_prefix(number);
        line_numbers first = numbers_in(rest, 0);
        if (first.too_long || first.numbers.empty() || first.numbers[0].text.data() != rest.data())
            continue;
        rest.remove_prefix(first.numbers[0].text.size());
        std::size_t word = rest.find_first_not_of(" \t");
        if (word == 0 || word == std::string_view::npos ||
            !starts_with_word(rest.substr(word), "sec"))
            continue;
        return settings_match{prefix_of(line.substr(0, p)), trimmed(line.substr(p))};
    }
    return std::nullopt;
}

printed_number printed(const number_token& token)
{
    return {token.value, token.half_unit, std::string(token.text)};
}

// The lines after the settings line, by their numbers: the five kernel lines (the rate, then the
// sizes the kernel shows), the composite score, the five repetition counts and the checksum.
struct expected_line {
    std::string what;
    std::size_t numbers;
};

std::vector<expected_line> expected_lines()
{
    std::vector<expected_line> lines;
    for (const kernel_descriptor& kernel : kernel_table())
        lines.push_back({std::string("the ") + kernel.label + " line (a rate" +
                             (kernel.sizes.empty() ? ")"
                              : kernel.sizes.size() == 1
                                  ? " and a size)"
                                  : " and " + std::to_string(kernel.sizes.size()) + " sizes)"),
                         1 + kernel.sizes.size()});
    lines.push_back({"the composite score", 1});
    for (const kernel_descriptor& kernel : kernel_table())
        lines.push_back({std::string("the ") + kernel.label + " repetition count", 1});
    lines.push_back({"the checksum", 1});
    return lines;
}

constexpr std::size_t LINE_COUNT = 12;

std::string line_error(std::size_t line, const std::string& why)
{
    return "line " + std::to_string(line) + ": " + why;
}

std::string quoted(std::string_view text)
{
    return "\"" + excerpt(text) + "\"";
}

// Reads the report whose settings line `cursor` has just read. The cursor is left where the
// search for the next report goes on: after the report, or before the line that interrupts it.
report_reading read_one_report(line_cursor& cursor, const settings_match& settings)
{
    report_reading reading;
    std::size_t start = cursor.number;
    reading.first_line = start;
    auto refuse = [&](std::size_t line, const std::string& why) {
        reading.error = line_error(line, why);
        reading.last_line = line;
        return reading;
    };

    classic_report report;
    line_numbers setting_numbers = numbers_in(settings.text, 2);
    if (setting_numbers.too_long || setting_numbers.numbers.size() > 2)
        return refuse(start, "the settings line " + quoted(settings.text) +
                                 " holds more than the minimum time and the problem size");
    report.min_seconds = printed(setting_numbers.numbers[0]);
    if (setting_numbers.numbers.size() == 2) {
        const number_token& size = setting_numbers.numbers[1];
        std::int64_t count = 0;
        if (!size.digits_only || !read_count(size.text, count) || count > MAX_MEGABYTES)
            return refuse(start, "the problem size " + quoted(size.text) +
                                     " is not a count from 0 to 4095");
        report.megabytes = static_cast<std::int32_t>(count);
    }

    static const std::vector<expected_line> EXPECTED_LINES = expected_lines();
    std::array<std::vector<number_token>, LINE_COUNT> found;
    for (std::size_t k = 0; k < LINE_COUNT; ++k) {
        std::string_view text;
        for (;;) {
            line_cursor before = cursor;
            std::string_view line;
            if (!cursor.next(line)) {
                reading.error = "the report ends before " + EXPECTED_LINES[k].what;
                reading.last_line = cursor.number;
                return reading;
            }
            if (settings_line(line)) {
                reading.error = "line " + std::to_string(cursor.number) +
                                ": another report starts before " + EXPECTED_LINES[k].what;
                cursor = before;
                reading.last_line = cursor.number;
                return reading;
            }
            std::optional<std::string_view> own = after_prefix(settings.prefix, line);
            if (!own)
                continue; // a line of something else, interleaved in a log
            text = trimmed(*own);
            if (text.size() > MAX_REPORT_LINE_LENGTH)
                break;
            // Lines without numbers are decoration: asterisks, headings, other words.
            line_numbers any = numbers_in(text, 0);
            if (any.too_long || !any.numbers.empty())
                break;
        }
        std::string expected = "expected " + EXPECTED_LINES[k].what + ", found ";
        if (text.size() > MAX_REPORT_LINE_LENGTH)
            return refuse(cursor.number, expected + "a line of " + std::to_string(text.size()) +
                                             " characters starting " + quoted(text));
        line_numbers numbers = numbers_in(text, EXPECTED_LINES[k].numbers);
        if (numbers.too_long || numbers.numbers.size() != EXPECTED_LINES[k].numbers)
            return refuse(cursor.number, expected + quoted(text));
        found[k] = std::move(numbers.numbers);
    }
    reading.last_line = cursor.number;

    // Sizes: whole numbers, the same wherever a size is shown twice, and a setting the classic
    // command line can produce.
    problem_sizes& sizes = report.sizes;
    sizes = problem_sizes{-1, -1, -1, -1}; // not shown yet
    bool consistent = true;
    for (std::size_t k = 0; k < 5; ++k) {
        std::span<const shown_size> shown = kernel_table()[k].sizes;
        for (std::size_t n = 0; n < shown.size(); ++n) {
            const number_token& token = found[k][n + 1];
            std::int64_t value = 0;
            if (!token.digits_only || !read_count(token.text, value) || value > INT32_MAX)
                return refuse(start,
                              "a size on the kernel lines is not a whole number that fits 32 bits");
            std::int32_t& field = sizes.*shown[n].field;
            consistent = consistent && (field < 0 || field == value);
            field = static_cast<std::int32_t>(value);
        }
    }
    bool possible = report.megabytes
                        ? same_sizes(sizes, sizes_from_megabytes(*report.megabytes))
                        : same_sizes(sizes, DEFAULT_SIZES) || same_sizes(sizes, LARGE_SIZES);
    if (!consistent || !possible)
        return refuse(start, "the sizes of the kernel lines cannot come from the classic command "
                             "line with these settings");

    for (std::size_t k = 0; k < 5; ++k)
        report.mflops[k] = printed(found[k][0]);
    report.composite = printed(found[5][0]);
    for (std::size_t k = 0; k < 5; ++k) {
        const number_token& token = found[6 + k][0];
        std::int64_t count = 0;
        if (!token.digits_only || !read_count(token.text, count) || count < 1 ||
            count > kernel_table()[k].largest_reps || (count & (count - 1)) != 0)
            reading.error = "the " + std::string(kernel_label(RUN_ORDER[k])) +
                            " repetition count " + quoted(token.text) +
                            " is not a power of two that a run can reach";
        if (!reading.error.empty()) {
            reading.error = "in the report of line " + std::to_string(start) + ": " + reading.error;
            return reading;
        }
        report.reps[k] = count;
    }
    report.checksum_text = std::string(found[11][0].text);
    reading.report = std::move(report);
    return reading;
}

} // namespace

std::vector<report_reading> read_classic_reports(std::string_view bytes)
{
    std::string text = decoded_text(bytes);
    std::vector<report_reading> readings;
    line_cursor cursor{text};
    for (std::string_view line; cursor.next(line);) {
        std::optional<settings_match> settings = settings_line(line);
        if (!settings)
            continue;
        if (readings.size() == MAX_REPORTS) {
            report_reading too_many;
            too_many.error = line_error(cursor.number, "more than " + std::to_string(MAX_REPORTS) +
                                                           " reports in one file");
            too_many.first_line = too_many.last_line = cursor.number;
            readings.push_back(std::move(too_many));
            break;
        }
        readings.push_back(read_one_report(cursor, *settings));
    }
    if (readings.empty()) {
        report_reading none;
        none.error = "no settings line (\"Using ... seconds min time per kernel.\") found";
        readings.push_back(std::move(none));
    }
    return readings;
}

std::string timing_inconsistency(const classic_report& report)
{
    char text[320];
    const printed_number& minimum = report.min_seconds;
    if (!std::isfinite(minimum.value) || std::signbit(minimum.value)) {
        std::snprintf(text, sizeof text, "the minimum time %s is not a positive number",
                      excerpt(minimum.text, 24).c_str());
        return text;
    }
    double least_minimum = std::max(0.0, minimum.value - minimum.half_unit);
    double longest_final =
        ATTEMPT_NOISE_FACTOR * (minimum.value + minimum.half_unit + COARSEST_CLOCK_STEP);
    const problem_sizes& s = report.sizes;
    for (kernel_id kernel : RUN_ORDER) {
        std::size_t k = kernel_index(kernel);
        const printed_number& rate = report.mflops[k];
        std::string rate_text = excerpt(rate.text, 24);
        const char* label = kernel_label(kernel);
        long long reps = report.reps[k];
        if (!has_work(kernel, s)) {
            if (reps != 1) {
                std::snprintf(text, sizeof text,
                              "%s: %lld repetitions, but the sizes leave it no work and a run "
                              "makes a single attempt",
                              label, reps);
                return text;
            }
            if (rate.value != 0.0 || std::signbit(rate.value)) {
                std::snprintf(text, sizeof text,
                              "%s: a rate of %s Mflops, but the sizes leave it no work (a run "
                              "prints 0.00)",
                              label, rate_text.c_str());
                return text;
            }
            continue;
        }
        if (!std::isfinite(rate.value) || !(rate.value > 0.0)) {
            std::snprintf(text, sizeof text,
                          "%s: a rate of %s Mflops; a kernel that does work has a positive rate",
                          label, rate_text.c_str());
            return text;
        }
        if (rate.value - rate.half_unit > MAX_PLAUSIBLE_MFLOPS) {
            std::snprintf(text, sizeof text,
                          "%s: %s Mflops is more than one core can do (at most %.0f)", label,
                          rate_text.c_str(), MAX_PLAUSIBLE_MFLOPS);
            return text;
        }
        double operations = unit_operations(kernel, s) * static_cast<double>(reps);
        double shortest = operations / ((rate.value + rate.half_unit) * 1e6);
        double longest = rate.value > rate.half_unit
                             ? operations / ((rate.value - rate.half_unit) * 1e6)
                             : std::numeric_limits<double>::infinity();
        if (reps < describe(kernel).largest_reps && longest < least_minimum) {
            std::snprintf(text, sizeof text,
                          "%s: %lld repetitions at %s Mflops last %.3g seconds, less than the "
                          "minimum time",
                          label, reps, rate_text.c_str(), longest);
            return text;
        }
        if (reps > 1 && shortest > longest_final) {
            std::snprintf(text, sizeof text,
                          "%s: %lld repetitions at %s Mflops last %.3g seconds; half as many "
                          "would already have reached the minimum time",
                          label, reps, rate_text.c_str(), shortest);
            return text;
        }
    }
    double sum = 0.0, rounding = 0.0;
    for (const printed_number& rate : report.mflops) {
        sum += rate.value;
        rounding += rate.half_unit;
    }
    double mean = sum / 5.0;
    const printed_number& composite = report.composite;
    double tolerance = rounding / 5.0 + composite.half_unit + 1e-12 * std::fabs(mean);
    if (!std::isfinite(composite.value) || !(std::fabs(mean - composite.value) <= tolerance)) {
        std::snprintf(text, sizeof text,
                      "the composite score %s is not the mean of the rates (%.2f)",
                      excerpt(composite.text, 24).c_str(), mean);
        return text;
    }
    return "";
}

namespace {

// This machine's speed for one kernel, in operations per processor second, from a short timed
// run at sizes no larger than `sizes` (and small enough to set up at once).
double probe_operations_per_second(kernel_id kernel, const problem_sizes& sizes,
                                   const kernel_set& kernels)
{
    problem_sizes probe = sizes;
    probe.fft_points = std::min(probe.fft_points, std::int32_t{1} << 16);
    probe.grid_size = std::min(probe.grid_size, kernel == kernel_id::lu ? 200 : 300);
    if (probe.sparse_rows > 100000) {
        std::int32_t per_row = probe.sparse_nonzeros / probe.sparse_rows;
        probe.sparse_rows = 100000;
        probe.sparse_nonzeros = per_row * probe.sparse_rows;
    }
    lagged_rng g;
    lagged_rng_seed(g, MAIN_SEED);
    kernel_result result;
    describe(kernel).measure(probe, g, calibration{0.005, 0}, kernels, result);
    if (!(result.seconds > 0.0) || !(result.operations > 0.0))
        return MAX_PLAUSIBLE_MFLOPS * 1e6;
    double rate = result.operations / result.seconds;
    // Data far beyond the caches runs at the speed of memory.
    constexpr std::uint64_t CACHED_BYTES = std::uint64_t{32} << 20;
    const kernel_descriptor& d = describe(kernel);
    if (d.data_bytes(sizes) > CACHED_BYTES && d.data_bytes(probe) <= CACHED_BYTES)
        rate /= 2.0;
    return rate;
}

double seconds_per_draw()
{
    constexpr int DRAWS = 1 << 20;
    lagged_rng g;
    lagged_rng_seed(g, MAIN_SEED);
    double start = cpu_seconds();
    std::int32_t sink = 0;
    for (int i = 0; i < DRAWS; ++i)
        sink ^= lagged_rng_step(g);
    double seconds = cpu_seconds() - start;
    asm volatile("" : : "r"(sink));
    return std::max(seconds, 1e-3) / DRAWS;
}

// The operations of every attempt of the replay, 2 x reps - 1 units per kernel.
double replay_operations(const classic_report& report, kernel_id kernel)
{
    double units = 2.0 * static_cast<double>(report.reps[kernel_index(kernel)]) - 1.0;
    return units * unit_operations(kernel, report.sizes);
}

std::string duration_text(double seconds)
{
    char text[64];
    if (!(seconds < 1e12))
        return "more than 30000 years";
    if (seconds < 120)
        std::snprintf(text, sizeof text, "%.3g seconds", seconds);
    else if (seconds < 7200)
        std::snprintf(text, sizeof text, "%.0f minutes", seconds / 60);
    else if (seconds < 2 * 86400)
        std::snprintf(text, sizeof text, "%.1f hours", seconds / 3600);
    else if (seconds < 730 * 86400)
        std::snprintf(text, sizeof text, "%.0f days", seconds / 86400);
    else
        std::snprintf(text, sizeof text, "%.0f years", seconds / (365.25 * 86400));
    return text;
}

std::array<kernel_result, 5> replay_with_progress(const classic_report& report,
                                                  const kernel_set& kernels)
{
    progress_line progress;
    progress_open(progress);
    run_plans plans;
    for (std::size_t k = 0; k < plans.size(); ++k)
        plans[k] = calibration{0.0, report.reps[k]};
    lagged_rng shared;
    lagged_rng_seed(shared, MAIN_SEED);
    std::array<kernel_result, 5> results{};
    run_measurement(
        report.sizes, plans, ALL_KERNELS, shared, kernels,
        [&](kernel_id kernel, const kernel_result& result) {
            results[kernel_index(kernel)] = result;
        },
        progress_watch(progress, "replaying"));
    return results;
}

// What became of one report.
struct verdict {
    int status = 0;        // 0 genuine, 3 mismatch, 2 not checked
    std::string problem;   // not empty when status is 2: why it was not checked
    std::string timing;    // not empty: what does not fit
    bool replayed = false; // whether the checksum was recomputed
    std::array<kernel_result, 5> replayed_results{};
    std::string recomputed; // the recomputed checksum text
    bool genuine = false;
};

verdict check_one(const report_reading& reading, double& budget_left, const kernel_set& kernels)
{
    verdict v;
    if (!reading.report) {
        v.status = 2;
        v.problem = "not a readable classic report: " + reading.error;
        return v;
    }
    const classic_report& report = *reading.report;
    v.timing = timing_inconsistency(report);
    if (!v.timing.empty()) {
        v.status = 3;
        return v;
    }
    // No machine replays faster than the fastest plausible rate: past the budget even then, the
    // report is refused without measuring anything.
    double operations = 0.0;
    for (kernel_id kernel : RUN_ORDER)
        operations += replay_operations(report, kernel);
    double estimate = operations / (MAX_PLAUSIBLE_MFLOPS * 1e6);
    bool at_least = true;
    std::uint64_t memory = physical_memory_bytes();
    std::uint64_t needed = run_peak_bytes(report.sizes);
    if (estimate <= budget_left && memory > 0 && needed > memory) {
        v.status = 2;
        v.problem = "replaying it needs about " + std::to_string(needed >> 20) +
                    " MB at once, more than this machine's " + std::to_string(memory >> 20) + " MB";
        return v;
    }
    if (estimate <= budget_left) {
        estimate = estimated_replay_seconds(report, kernels);
        at_least = false;
    }
    if (!(estimate <= budget_left)) {
        v.status = 2;
        v.problem = "replaying it would take " + std::string(at_least ? "at least " : "about ") +
                    duration_text(estimate) + " on this machine, more than the budget of " +
                    duration_text(budget_left) + " (--replay-budget=SECONDS)";
        return v;
    }
    budget_left -= estimate;
    v.replayed_results = replay_with_progress(report, kernels);
    v.replayed = true;
    std::vector<measured_kernel> measured;
    for (kernel_id kernel : RUN_ORDER)
        measured.push_back({kernel, v.replayed_results[kernel_index(kernel)]});
    double mean = summarize(measured).mean_checksum;
    v.recomputed = checksum_text(mean);
    v.genuine = v.recomputed == report.checksum_text;
    v.status = v.genuine ? 0 : 3;
    return v;
}

nlohmann::ordered_json verdict_json(const std::string& path, const report_reading& reading,
                                    const verdict& v)
{
    nlohmann::ordered_json document = {{"file", path},
                                       {"lines", {reading.first_line, reading.last_line}}};
    if (!reading.report || !v.problem.empty()) {
        document["error"] = v.problem;
        return document;
    }
    const classic_report& report = *reading.report;
    nlohmann::ordered_json kernels_json = nlohmann::ordered_json::array();
    if (v.replayed)
        for (kernel_id kernel : RUN_ORDER) {
            const kernel_result& r = v.replayed_results[kernel_index(kernel)];
            kernels_json.push_back({{"name", kernel_name(kernel)},
                                    {"reps", r.reps},
                                    {"checksum", r.checksum},
                                    {"checksum_text", checksum_text(r.checksum)}});
        }
    document["sizes"] = {{"fft_points", report.sizes.fft_points},
                         {"grid_size", report.sizes.grid_size},
                         {"sparse_rows", report.sizes.sparse_rows},
                         {"sparse_nonzeros", report.sizes.sparse_nonzeros}};
    document["kernels"] = kernels_json;
    document["report_checksum_text"] = report.checksum_text;
    document["recomputed_checksum_text"] = v.recomputed;
    document["genuine"] = v.genuine;
    document["replayed"] = v.replayed;
    document["timing_consistent"] = v.timing.empty();
    document["timing_problem"] = v.timing;
    return document;
}

// The verdict of a file with one report: the recomputed checksums, then a line each for the
// checksum and the timing.
void write_single_verdict(const classic_report& report, const verdict& v)
{
    if (!v.timing.empty()) {
        std::printf("timing MISMATCH: %s\n", v.timing.c_str());
        std::printf("checksum not replayed: the timing already shows an altered report\n");
        return;
    }
    for (kernel_id kernel : RUN_ORDER) {
        const kernel_result& r = v.replayed_results[kernel_index(kernel)];
        std::printf("%-15s reps %-10lld checksum %s\n", kernel_label(kernel),
                    static_cast<long long>(r.reps), checksum_text(r.checksum).c_str());
    }
    if (v.genuine)
        std::printf("checksum genuine\n");
    else
        std::printf("checksum MISMATCH: report says %s, recomputed %s\n",
                    excerpt(report.checksum_text).c_str(), v.recomputed.c_str());
    std::printf("timing consistent\n");
}

// One line per report of a file with several.
void write_verdict_line(std::size_t number, const report_reading& reading, const verdict& v)
{
    std::printf("report %zu (lines %zu-%zu): ", number, reading.first_line, reading.last_line);
    if (!v.problem.empty())
        std::printf("not checked: %s\n", v.problem.c_str());
    else if (!v.timing.empty())
        std::printf("timing MISMATCH: %s\n", v.timing.c_str());
    else if (!v.genuine)
        std::printf("checksum MISMATCH: report says %s, recomputed %s\n",
                    excerpt(reading.report->checksum_text).c_str(), v.recomputed.c_str());
    else
        std::printf("checksum genuine, timing consistent\n");
}

} // namespace

double estimated_replay_seconds(const classic_report& report, const kernel_set& kernels)
{
    std::uint64_t draws = 0;
    for (kernel_id kernel : RUN_ORDER)
        draws += describe(kernel).shared_draws(report.sizes);
    double seconds = static_cast<double>(draws) * seconds_per_draw();
    for (kernel_id kernel : RUN_ORDER)
        if (has_work(kernel, report.sizes))
            seconds += replay_operations(report, kernel) /
                       probe_operations_per_second(kernel, report.sizes, kernels);
    return seconds;
}

int check_report(const check_request& request, const kernel_set& kernels)
{
    file_reading file = read_bounded_file(request.path);
    if (!file.error.empty()) {
        std::fprintf(stderr, "kalvento: %s\n", file.error.c_str());
        return 2;
    }
    std::string name = request.path == "-" ? "standard input" : excerpt(request.path, 200);
    std::vector<report_reading> readings = read_classic_reports(file.bytes);
    file.bytes.clear();

    double budget_left = request.replay_budget;
    std::vector<verdict> verdicts;
    int status = 0;
    for (const report_reading& reading : readings) {
        verdicts.push_back(check_one(reading, budget_left, kernels));
        status = std::max(status, verdicts.back().status);
    }

    bool single = readings.size() == 1;
    if (single && !verdicts[0].problem.empty()) {
        std::fprintf(stderr, "kalvento: %s: %s\n", name.c_str(), verdicts[0].problem.c_str());
        return status;
    }
    if (request.json) {
        nlohmann::ordered_json document = {{"schema_version", JSON_SCHEMA_VERSION}};
        if (single) {
            document["check_report"] = verdict_json(name, readings[0], verdicts[0]);
        } else {
            nlohmann::ordered_json all = nlohmann::ordered_json::array();
            for (std::size_t i = 0; i < readings.size(); ++i)
                all.push_back(verdict_json(name, readings[i], verdicts[i]));
            document["check_reports"] = all;
        }
        std::string out =
            document.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
        std::printf("%s\n", out.c_str());
    } else if (single) {
        write_single_verdict(*readings[0].report, verdicts[0]);
    } else {
        for (std::size_t i = 0; i < readings.size(); ++i)
            write_verdict_line(i + 1, readings[i], verdicts[i]);
    }
    flush_report(stdout);
    return status;
}

} // namespace kalvento
