#include "driver/compare.h"

#include "driver/check_report.h"
#include "driver/environment.h"
#include "driver/json_report.h"
#include "driver/report.h"
#include "driver/session.h"
#include "driver/system_info.h"
#include "support/platform.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>
#include <unistd.h>

namespace kalvento {

namespace {

using json = nlohmann::json;
using ordered_json = nlohmann::ordered_json;

// Results nest three levels deep; deeper documents are refused before they are parsed, so that
// no nesting costs more than its bytes.
constexpr int MAX_JSON_DEPTH = 64;
// A rate beyond this is no machine's.
constexpr double MAX_RATE_MFLOPS = 1e12;
// Context text is shown in a line of its own.
constexpr std::size_t MAX_SHOWN_TEXT = 300;
constexpr std::size_t MAX_FILE_WARNINGS = 50;

bool nesting_within(std::string_view text, int limit)
{
    int depth = 0;
    bool in_string = false, escaped = false;
    for (char c : text) {
        if (in_string) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit)
                return false;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return true;
}

// Text from a file, safe to print on a terminal: no control characters, bounded length.
std::string shown_text(std::string text)
{
    if (text.size() > MAX_SHOWN_TEXT)
        text = text.substr(0, MAX_SHOWN_TEXT) + "...";
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    return text;
}

std::string sizes_text(const problem_sizes& s)
{
    char text[160];
    std::snprintf(text, sizeof text, "FFT N=%d, SOR and LU %d x %d, sparse N=%d nz=%d",
                  s.fft_points, s.grid_size, s.grid_size, s.sparse_rows, s.sparse_nonzeros);
    return text;
}

std::string seconds_text(double seconds)
{
    char text[40];
    std::snprintf(text, sizeof text, "%g s", seconds);
    return text;
}

result_reading refused(std::string why)
{
    result_reading reading;
    reading.error = std::move(why);
    return reading;
}

// No line of a classic report is this long; the report reader is not made for such lines.
constexpr std::size_t MAX_REPORT_LINE = 1024;

// `text` with every line longer than MAX_REPORT_LINE replaced by a short line saying so.
std::string without_long_lines(std::string_view text)
{
    std::string kept;
    while (!text.empty()) {
        std::size_t end = std::min(text.find('\n'), text.size());
        if (end > MAX_REPORT_LINE)
            kept += "(a line of " + std::to_string(end) + " characters)";
        else
            kept += text.substr(0, end);
        if (end < text.size())
            kept += '\n';
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return kept;
}

// The one thing compare needs of a classic report: its rates, sizes and minimum time.
result_reading read_classic_result(std::string_view text)
{
    report_reading report = read_classic_reports(without_long_lines(text)).front();
    if (!report.report)
        return refused("neither a JSON document of kalvento nor a classic report (" + report.error +
                       ")");
    result_file file;
    file.classic = true;
    for (std::size_t k = 0; k < RUN_ORDER.size(); ++k)
        file.rates[k] = {report.report->mflops[k].value};
    file.min_seconds = report.report->min_seconds.value;
    file.context = {{"sizes", sizes_text(report.report->sizes)},
                    {"minimum time", seconds_text(report.report->min_seconds.value)}};
    result_reading reading;
    reading.file = std::move(file);
    return reading;
}

bool usable_rate(const json& value, double& rate)
{
    if (!value.is_number())
        return false;
    rate = value.get<double>();
    return std::isfinite(rate) && rate >= 0.0 && rate <= MAX_RATE_MFLOPS;
}

void read_json_context(const json& context, result_file& file)
{
    if (!context.is_object())
        return;
    const std::pair<const char*, const char*> TEXT_FIELDS[] = {
        {"code_path", "code path"},     {"compiler", "compiler"},
        {"build_flags", "build flags"}, {"code_path_flags", "code path flags"},
        {"cpu_model", "CPU model"},     {"version", "version"}};
    for (auto [key, name] : TEXT_FIELDS) {
        auto field = context.find(key);
        if (field != context.end() && field->is_string())
            file.context.push_back({name, shown_text(field->get<std::string>())});
    }
    auto sizes = context.find("sizes");
    if (sizes != context.end() && sizes->is_object()) {
        const char* const KEYS[] = {"fft_points", "grid_size", "sparse_rows", "sparse_nonzeros"};
        std::int32_t values[4] = {};
        bool whole = true;
        for (int i = 0; i < 4; ++i) {
            auto value = sizes->find(KEYS[i]);
            whole = whole && value != sizes->end() && value->is_number_integer() && *value >= 0 &&
                    *value <= INT32_MAX;
            if (whole)
                values[i] = value->get<std::int32_t>();
        }
        if (whole)
            file.context.push_back(
                {"sizes", sizes_text({values[0], values[1], values[2], values[3]})});
    }
    auto min_seconds = context.find("min_seconds");
    if (min_seconds != context.end() && min_seconds->is_number()) {
        double seconds = min_seconds->get<double>();
        if (std::isfinite(seconds) && seconds > 0.0) {
            file.min_seconds = seconds;
            file.context.push_back({"minimum time", seconds_text(seconds)});
        }
    }
    auto warnings = context.find("warnings");
    if (warnings != context.end() && warnings->is_array())
        for (const json& warning : *warnings)
            if (warning.is_string() && file.warnings.size() < MAX_FILE_WARNINGS)
                file.warnings.push_back(shown_text(warning.get<std::string>()));
}

// The per-run rates of one kernel entry; empty with `error` set when they are unusable.
std::vector<double> kernel_rates(const json& entry, const char* name, std::string& error)
{
    std::vector<double> rates;
    auto runs = entry.find("runs");
    if (runs == entry.end()) {
        double rate = 0.0;
        auto mflops = entry.find("mflops");
        if (mflops == entry.end() || !usable_rate(*mflops, rate))
            error = std::string("kernel \"") + name + "\" has no usable \"mflops\"";
        else
            rates.push_back(rate);
        return rates;
    }
    if (!runs->is_array() || runs->empty() || runs->size() > MAX_COMPARED_RUNS) {
        error = std::string("the \"runs\" of kernel \"") + name + "\" are not a list of 1 to " +
                std::to_string(MAX_COMPARED_RUNS) + " runs";
        return rates;
    }
    for (const json& run : *runs) {
        double rate = 0.0;
        auto mflops = run.is_object() ? run.find("mflops") : run.end();
        if (!run.is_object() || mflops == run.end() || !usable_rate(*mflops, rate)) {
            error = std::string("run ") + std::to_string(rates.size() + 1) + " of kernel \"" +
                    name + "\" has no usable \"mflops\"";
            return {};
        }
        rates.push_back(rate);
    }
    return rates;
}

result_reading read_json_result(std::string_view text)
{
    if (!nesting_within(text, MAX_JSON_DEPTH))
        return refused("not a JSON document of kalvento (nested too deeply)");
    json document = json::parse(text, nullptr, false);
    if (document.is_discarded())
        return refused("not valid JSON");
    if (!document.is_object())
        return refused("not a JSON document of kalvento (no object)");
    auto version = document.find("schema_version");
    if (version == document.end() || !version->is_number_integer() ||
        *version != JSON_SCHEMA_VERSION)
        return refused("not a JSON document of kalvento with schema_version " +
                       std::to_string(JSON_SCHEMA_VERSION));
    auto kernels = document.find("kernels");
    if (kernels == document.end() || !kernels->is_array())
        return refused("a JSON document without kernel results");

    result_file file;
    for (const json& entry : *kernels) {
        if (!entry.is_object())
            return refused("an entry of \"kernels\" is not an object");
        auto name = entry.find("name");
        if (name == entry.end() || !name->is_string())
            return refused("an entry of \"kernels\" has no name");
        for (kernel_id kernel : RUN_ORDER) {
            if (*name != kernel_name(kernel))
                continue;
            std::vector<double>& rates = file.rates[kernel_index(kernel)];
            if (!rates.empty())
                return refused(std::string("kernel \"") + kernel_name(kernel) + "\" appears twice");
            std::string error;
            rates = kernel_rates(entry, kernel_name(kernel), error);
            if (!error.empty())
                return refused(error);
        }
    }
    if (std::all_of(file.rates.begin(), file.rates.end(),
                    [](const std::vector<double>& rates) { return rates.empty(); }))
        return refused("a JSON document without kernel results");
    auto context = document.find("context");
    if (context != document.end())
        read_json_context(*context, file);
    result_reading reading;
    reading.file = std::move(file);
    return reading;
}

rate_comparison compare_rates(const std::vector<double>& base, const std::vector<double>& next)
{
    rate_comparison c;
    c.base_runs = base.size();
    c.new_runs = next.size();
    c.base_median = median(base);
    c.new_median = median(next);
    if (c.base_median > 0.0)
        c.ratio = c.new_median / c.base_median;
    c.test = mann_whitney(next, base); // U counts the pairs in which NEW is faster
    c.enough_runs = smallest_p_value(base.size(), next.size()) < SIGNIFICANCE_LEVEL;
    return c;
}

// The composite score of each run: the mean over `kernels` of that run's rates.
std::vector<double> run_composites(const result_file& file, const std::vector<kernel_id>& kernels)
{
    std::size_t runs = MAX_COMPARED_RUNS;
    for (kernel_id kernel : kernels)
        runs = std::min(runs, file.rates[kernel_index(kernel)].size());
    std::vector<double> composites;
    for (std::size_t run = 0; run < runs; ++run) {
        double sum = 0.0;
        for (kernel_id kernel : kernels)
            sum += file.rates[kernel_index(kernel)][run];
        composites.push_back(sum / static_cast<double>(kernels.size()));
    }
    return composites;
}

std::size_t fewest_runs(const result_file& file, const std::vector<kernel_id>& kernels)
{
    std::size_t fewest = MAX_COMPARED_RUNS;
    for (kernel_id kernel : kernels)
        fewest = std::min(fewest, file.rates[kernel_index(kernel)].size());
    return fewest;
}

void add_file_warnings(const result_file& file, const result_file& other,
                       const std::vector<kernel_id>& kernels, std::vector<std::string>& warnings)
{
    std::size_t runs = fewest_runs(file, kernels);
    std::size_t needed = runs_needed_per_side();
    if (runs < needed)
        warnings.push_back(
            file.path + " has " + std::to_string(runs) + " run" + (runs == 1 ? "" : "s") +
            " of each kernel: the rank test needs " + std::to_string(needed) +
            " or more a side to reach p < 0.05 (--repeat=" + std::to_string(needed) + ")");
    if (file.min_seconds && *file.min_seconds < SHORT_MIN_SECONDS)
        warnings.push_back(file.path + " was measured with a minimum time of " +
                           seconds_text(*file.min_seconds) +
                           ": brief attempts are easily disturbed, " +
                           seconds_text(SHORT_MIN_SECONDS) + " or more gives steadier rates");
    for (const std::string& warning : file.warnings)
        if (std::find(other.warnings.begin(), other.warnings.end(), warning) ==
            other.warnings.end())
            warnings.push_back("only " + file.path + " was measured with the warning: " + warning);
}

std::string verdict(const rate_comparison& c)
{
    if (!c.significant())
        return "~";
    if (c.test.p_value < 0.001)
        return "p<0.001";
    char text[20];
    std::snprintf(text, sizeof text, "p=%.3f", c.test.p_value);
    return text;
}

void write_row(std::FILE* out, const char* label, const rate_comparison& c)
{
    char ratio[24] = "-";
    if (c.ratio)
        std::snprintf(ratio, sizeof ratio, "%.3fx", *c.ratio);
    std::string runs = std::to_string(c.base_runs) + "/" + std::to_string(c.new_runs);
    std::fprintf(out, "%-16s %12.2f %12.2f %10s %9s  %s\n", label, c.base_median, c.new_median,
                 ratio, runs.c_str(), verdict(c).c_str());
}

ordered_json rates_json(const rate_comparison& c)
{
    return {{"base_runs", c.base_runs},
            {"new_runs", c.new_runs},
            {"base_median_mflops", c.base_median},
            {"new_median_mflops", c.new_median},
            {"ratio", c.ratio ? ordered_json(*c.ratio) : ordered_json(nullptr)},
            {"u", c.test.u},
            {"p_value", c.test.p_value},
            {"exact", c.test.exact},
            {"enough_runs", c.enough_runs},
            {"significant", c.significant()}};
}

ordered_json file_json(const result_file& file)
{
    return {{"file", file.path}, {"format", file.classic ? "classic" : "json"}};
}

} // namespace

result_reading read_result_text(std::string_view text)
{
    std::size_t first = text.find_first_not_of(" \t\r\n");
    if (first != std::string_view::npos && text[first] == '{')
        return read_json_result(text);
    return read_classic_result(text);
}

result_reading read_result_file(const std::string& path)
{
    int fd = open_for_reading(path);
    if (fd < 0)
        return refused(std::strerror(errno));
    std::string text;
    char buffer[1 << 16];
    while (text.size() <= MAX_RESULT_FILE_BYTES) {
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            std::string error = std::strerror(errno);
            close(fd);
            return refused(error);
        }
        if (got == 0)
            break;
        text.append(buffer, static_cast<std::size_t>(got));
    }
    close(fd);
    if (text.size() > MAX_RESULT_FILE_BYTES)
        return refused("larger than " + std::to_string(MAX_RESULT_FILE_BYTES >> 20) +
                       " MB, no result of this program");
    result_reading reading = read_result_text(text);
    if (reading.file)
        reading.file->path = path;
    return reading;
}

std::optional<comparison> compare_results(const result_file& base, const result_file& next)
{
    comparison result;
    std::vector<kernel_id> common;
    for (kernel_id kernel : RUN_ORDER) {
        std::size_t k = kernel_index(kernel);
        if (base.rates[k].empty() || next.rates[k].empty())
            continue;
        common.push_back(kernel);
        result.kernels.push_back({kernel, compare_rates(base.rates[k], next.rates[k])});
    }
    if (common.empty())
        return std::nullopt;

    std::vector<double> base_composites = run_composites(base, common);
    std::vector<double> new_composites = run_composites(next, common);
    result.composite = compare_rates(base_composites, new_composites);
    // Shown like the report's composite score: the mean of the median rates.
    result.composite.base_median = result.composite.new_median = 0.0;
    for (const kernel_comparison& k : result.kernels) {
        result.composite.base_median += k.rates.base_median;
        result.composite.new_median += k.rates.new_median;
    }
    result.composite.base_median /= static_cast<double>(common.size());
    result.composite.new_median /= static_cast<double>(common.size());
    result.composite.ratio.reset();
    if (result.composite.base_median > 0.0)
        result.composite.ratio = result.composite.new_median / result.composite.base_median;

    double log_sum = 0.0;
    std::size_t ratios = 0;
    for (const kernel_comparison& k : result.kernels)
        if (k.rates.ratio && *k.rates.ratio > 0.0) {
            log_sum += std::log(*k.rates.ratio);
            ++ratios;
        }
    if (ratios > 0)
        result.geometric_mean_ratio = std::exp(log_sum / static_cast<double>(ratios));

    for (const context_field& field : base.context)
        for (const context_field& other : next.context)
            if (field.name == other.name && field.value != other.value)
                result.differences.push_back({field.name, field.value, other.value});

    add_file_warnings(base, next, common, result.warnings);
    add_file_warnings(next, base, common, result.warnings);
    return result;
}

void write_comparison(std::FILE* out, const result_file& base, const result_file& next,
                      const comparison& result)
{
    std::fprintf(out, "base: %s\nnew:  %s\n", base.path.c_str(), next.path.c_str());
    if (result.differences.empty()) {
        std::string same;
        for (const context_field& field : base.context)
            for (const context_field& other : next.context)
                if (field.name == other.name)
                    same += (same.empty() ? "" : ", ") + field.name;
        std::fprintf(out, "%s\n",
                     same.empty() ? "No context recorded in both files"
                                  : ("Same context: " + same).c_str());
    }
    for (const context_difference& d : result.differences)
        std::fprintf(out, "differs: %-16s base %s\n         %-16s new  %s\n", d.name.c_str(),
                     d.base_value.c_str(), "", d.new_value.c_str());
    std::fprintf(out, "\n%-16s %12s %12s %10s %9s  %s\n", "Kernel", "base Mflops", "new Mflops",
                 "new/base", "runs", "Mann-Whitney U");
    std::vector<std::pair<std::size_t, std::size_t>> too_few;
    auto note_runs = [&](const rate_comparison& c) {
        std::pair<std::size_t, std::size_t> runs{c.base_runs, c.new_runs};
        if (!c.enough_runs && std::find(too_few.begin(), too_few.end(), runs) == too_few.end())
            too_few.push_back(runs);
    };
    for (const kernel_comparison& k : result.kernels) {
        write_row(out, kernel_label(k.kernel), k.rates);
        note_runs(k.rates);
    }
    write_row(out, "Composite score", result.composite);
    note_runs(result.composite);
    if (result.geometric_mean_ratio)
        std::fprintf(out, "%-16s %12s %12s %9.3fx\n", "Geometric mean", "", "",
                     *result.geometric_mean_ratio);
    bool any_alike = !result.composite.significant() ||
                     std::any_of(result.kernels.begin(), result.kernels.end(),
                                 [](const kernel_comparison& k) { return !k.rates.significant(); });
    if (any_alike)
        std::fputs("\n~: no significant difference (two-sided Mann-Whitney U test, p >= 0.05)\n",
                   out);
    std::size_t needed = runs_needed_per_side();
    for (auto [base_runs, new_runs] : too_few)
        std::fprintf(out,
                     "~ with %zu and %zu runs: no difference can reach p < 0.05; the test needs "
                     "at least %zu runs a side (JSON documents of --repeat=%zu or more)\n",
                     base_runs, new_runs, needed, needed);
    flush_report(out);
}

void write_comparison_json(std::FILE* out, const result_file& base, const result_file& next,
                           const comparison& result)
{
    system_info system = read_system_info();
    ordered_json differences = ordered_json::array();
    for (const context_difference& d : result.differences)
        differences.push_back({{"field", d.name}, {"base", d.base_value}, {"new", d.new_value}});
    ordered_json kernels = ordered_json::array();
    for (const kernel_comparison& k : result.kernels) {
        ordered_json entry = {{"name", kernel_name(k.kernel)}, {"label", kernel_label(k.kernel)}};
        entry.update(rates_json(k.rates));
        kernels.push_back(entry);
    }
    ordered_json document = {
        {"schema_version", JSON_SCHEMA_VERSION},
        {"context",
         {{"program", "kalvento"}, {"version", system.version}, {"warnings", result.warnings}}},
        {"compare",
         {{"base", file_json(base)},
          {"new", file_json(next)},
          {"context_differences", differences},
          {"kernels", kernels},
          {"composite", rates_json(result.composite)},
          {"geometric_mean_ratio", result.geometric_mean_ratio
                                       ? ordered_json(*result.geometric_mean_ratio)
                                       : ordered_json(nullptr)},
          {"runs_needed_per_side", runs_needed_per_side()}}}};
    std::string text = document.dump(2, ' ', false, ordered_json::error_handler_t::replace);
    std::fprintf(out, "%s\n", text.c_str());
    flush_report(out);
}

int run_comparison(const std::string& base_path, const std::string& new_path, bool json)
{
    result_reading base = read_result_file(base_path);
    result_reading next = base.file ? read_result_file(new_path) : result_reading{};
    for (auto [reading, path] : {std::pair{&base, &base_path}, std::pair{&next, &new_path}})
        if (!reading->file) {
            std::fprintf(stderr, "kalvento: cannot compare %s: %s\n", shown_text(*path).c_str(),
                         shown_text(reading->error).c_str());
            return 2;
        }
    std::optional<comparison> result = compare_results(*base.file, *next.file);
    if (!result) {
        std::fprintf(stderr, "kalvento: cannot compare: %s and %s have no kernel in common\n",
                     shown_text(base_path).c_str(), shown_text(new_path).c_str());
        return 2;
    }
    show_warnings(stderr, result->warnings);
    if (json)
        write_comparison_json(stdout, *base.file, *next.file, *result);
    else
        write_comparison(stdout, *base.file, *next.file, *result);
    return 0;
}

} // namespace kalvento
