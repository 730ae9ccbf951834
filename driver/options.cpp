#include "driver/options.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace kalvento {

namespace {

template <bool extended_options::*FLAG>
std::string set_flag(extended_options& options, std::string_view)
{
    options.*FLAG = true;
    return "";
}

std::string lower_case(std::string_view text)
{
    std::string lower(text);
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

std::string set_kernels(extended_options& options, std::string_view list)
{
    kernel_selection selection{};
    std::string rest = lower_case(list);
    std::string_view names = rest;
    while (true) {
        std::size_t comma = names.find(',');
        std::string_view name = names.substr(0, comma);
        bool known = name == "all";
        if (known)
            selection = ALL_KERNELS;
        for (kernel_id kernel : RUN_ORDER)
            if (name == kernel_name(kernel)) {
                selection[kernel_index(kernel)] = true;
                known = true;
            }
        if (!known)
            return "--kernels takes a comma-separated list of " + kernel_names(", ", " and ") +
                   " (or all), not " + quoted_argument(list);
        if (comma == std::string_view::npos)
            break;
        names.remove_prefix(comma + 1);
    }
    options.kernels = selection;
    return "";
}

std::string set_repeat(extended_options& options, std::string_view text)
{
    int value = 0;
    bool digits = !text.empty() && text.size() <= 3;
    for (char c : text) {
        digits = digits && c >= '0' && c <= '9';
        if (!digits)
            break;
        value = value * 10 + (c - '0');
    }
    if (!digits || value < 1 || value > MAX_REPEAT)
        return "--repeat takes a whole number from 1 to " + std::to_string(MAX_REPEAT) + ", not " +
               quoted_argument(text);
    options.repeat = value;
    return "";
}

std::string set_check_report(extended_options& options, std::string_view file)
{
    if (file.empty())
        return "--check-report needs a file name (or - for standard input)";
    options.check_report = std::string(file);
    return "";
}

std::string set_export_json(extended_options& options, std::string_view file)
{
    if (file.empty())
        return "--export-json needs a file name";
    options.export_json = std::string(file);
    return "";
}

// BASE is the option's value; NEW is the one classic argument (see read_long_options).
std::string set_compare(extended_options& options, std::string_view base)
{
    if (base.empty())
        return "--compare needs two files: --compare BASE NEW";
    options.compare = {std::string(base)};
    return "";
}

// Stands in a help text for the kernels' names, which come from the kernel table.
constexpr char KERNEL_NAMES[] = "KERNEL_NAMES";

std::string set_replay_budget(extended_options& options, std::string_view text)
{
    std::string number(text.substr(0, 40));
    char* end = nullptr;
    double seconds = std::strtod(number.c_str(), &end);
    if (text.empty() || text.size() > 40 || end != number.c_str() + number.size() ||
        !(seconds > 0.0) || !std::isfinite(seconds))
        return "--replay-budget takes a positive number of seconds, not " + quoted_argument(text);
    options.replay_budget = seconds;
    return "";
}

std::string supported_path_names()
{
    std::string names;
    std::vector<const code_path*> paths = supported_code_paths();
    for (std::size_t i = 0; i < paths.size(); ++i) {
        if (i > 0)
            names += i + 1 == paths.size() ? " and " : ", ";
        names += paths[i]->name;
    }
    return names;
}

std::string set_code_path(extended_options& options, std::string_view name)
{
    const code_path* path = find_code_path(lower_case(name.substr(0, 40)));
    if (name.size() > 40 || !path)
        return "--code-path takes one of the code paths this CPU supports (" +
               supported_path_names() + "), not " + quoted_argument(name);
    if (!path->supported())
        return std::string("this CPU does not support the code path ") + path->name +
               "; it supports " + supported_path_names();
    options.forced_path = path;
    return "";
}

// A whole number of at most nine digits (so it fits an int), or nothing.
std::optional<int> whole_number(std::string_view text)
{
    if (text.empty() || text.size() > 9)
        return std::nullopt;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

std::string set_copies(extended_options& options, std::string_view text)
{
    if (lower_case(text.substr(0, 4)) == "all" && text.size() == 3) {
        options.copies = ALL_COPIES;
        return "";
    }
    std::optional<int> count = whole_number(text);
    if (!count || *count < 1)
        return "--copies takes a number of copies from 1 to the number of CPUs, or all, not " +
               quoted_argument(text);
    options.copies = *count;
    return "";
}

// "0,2,4-7": CPU numbers and ranges, each CPU once.
std::string set_cpus(extended_options& options, std::string_view list)
{
    auto refused = [&](const std::string& why) {
        return "--cpus takes a comma-separated list of CPU numbers and ranges such as 0,2,4-7; " +
               quoted_argument(list) + " " + why;
    };
    std::vector<int> cpus;
    std::vector<bool> listed(MAX_CPU_NUMBER + 1, false);
    std::string_view rest = list;
    while (true) {
        std::size_t comma = rest.find(',');
        std::string_view item = rest.substr(0, comma);
        std::size_t dash = item.find('-');
        std::optional<int> first = whole_number(item.substr(0, dash));
        std::optional<int> last =
            dash == std::string_view::npos ? first : whole_number(item.substr(dash + 1));
        if (!first || !last)
            return refused(item.empty() ? "has an empty entry"
                                        : "holds " + quoted_argument(item) + ", which is neither");
        if (*first > *last)
            return refused("holds the range " + quoted_argument(item) + ", which runs backwards");
        if (*last > MAX_CPU_NUMBER)
            return refused("names CPU " + std::to_string(*last) + ", above the highest, " +
                           std::to_string(MAX_CPU_NUMBER));
        for (int cpu = *first; cpu <= *last; ++cpu) {
            if (listed[static_cast<std::size_t>(cpu)])
                return refused("names CPU " + std::to_string(cpu) +
                               " twice (each copy needs a CPU of its own)");
            listed[static_cast<std::size_t>(cpu)] = true;
            cpus.push_back(cpu);
        }
        if (comma == std::string_view::npos)
            break;
        rest.remove_prefix(comma + 1);
    }
    options.cpus = std::move(cpus);
    return "";
}

constexpr long_option LONG_OPTIONS[] = {
    {"help", nullptr, "this text", set_flag<&extended_options::show_help>},
    {"version", nullptr, "version, compiler, build flags and the code path in use",
     set_flag<&extended_options::show_version>},
    {"json", nullptr, "one JSON document instead of the classic report",
     set_flag<&extended_options::json>},
    {"verify", nullptr,
     "recompute every checksum with the plain reference kernels and compare\n"
     "them bit for bit; one line per kernel after the report",
     set_flag<&extended_options::verify>},
    {"plain", nullptr,
     "measure the plain reference kernels instead of the fast ones, to see what\n"
     "the fast kernels gain on this machine (same data, same checksums)",
     set_flag<&extended_options::plain>},
    {"kernels", "LIST",
     "run only these kernels, in the usual order (comma-separated, any case:\n"
     "KERNEL_NAMES, or all); each gets exactly the data of\n"
     "a full run",
     set_kernels},
    {"repeat", "K",
     "run the whole measurement K times (1 to 100) and report the median rates;\n"
     "repetition counts and checksum are those of the first run",
     set_repeat},
    {"check-report", "FILE",
     "recompute the checksum of a classic report (FILE, or - for standard\n"
     "input) and say whether it is genuine",
     set_check_report},
    {"export-json", "FILE",
     "write the JSON document to FILE as well, beside the classic report (whole\n"
     "or not at all)",
     set_export_json},
    {"compare", "BASE NEW",
     "compare two results (JSON documents of --json or classic reports): median\n"
     "rates, ratio NEW/BASE and a Mann-Whitney U test per kernel",
     set_compare},
    {"replay-budget", "SECONDS",
     "with --check-report: refuse a replay estimated to take longer on this\n"
     "machine (default 300)",
     set_replay_budget},
    {"code-path", "NAME",
     "measure the fast kernels of this code path instead of the best one the CPU\n"
     "supports (the same checksums); --version lists the supported paths",
     set_code_path},
    {"copies", "N",
     "run N copies side by side, each a thread pinned to a CPU of its own (all: one\n"
     "per CPU this process may use); the kernel lines show the aggregate rates,\n"
     "one line per copy follows, and every copy's checksum must agree",
     set_copies},
    {"cpus", "LIST",
     "the CPUs of the copies, e.g. 0,2,4-7 (default: the first ones this process\n"
     "may use); alone, one copy per CPU listed",
     set_cpus},
};

const long_option* find_option(std::string_view name)
{
    for (const long_option& option : LONG_OPTIONS)
        if (name == option.name)
            return &option;
    return nullptr;
}

// Edits (insertions, deletions, substitutions, swaps of neighbours) that turn a into b.
std::size_t edit_distance(std::string_view a, std::string_view b)
{
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i)
        d[i][0] = i;
    for (std::size_t j = 0; j <= b.size(); ++j)
        d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i)
        for (std::size_t j = 1; j <= b.size(); ++j) {
            std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[a.size()][b.size()];
}

std::string option_error(const long_option& option, const char* problem)
{
    return std::string("option '--") + option.name + "' " + problem;
}

// What cannot go together, once every option is read.
std::string check_combination(const extended_options& o, std::span<const char* const> classic)
{
    bool copies = o.copies != 0 || !o.cpus.empty();
    if (o.check_report && (o.verify || o.plain || o.repeat != 1 || o.kernels != ALL_KERNELS))
        return "--check-report cannot be combined with --verify, --plain, --kernels or --repeat";
    if (!o.compare.empty() &&
        (o.check_report || o.export_json || o.verify || o.plain || o.repeat != 1 ||
         o.kernels != ALL_KERNELS || o.forced_path || copies))
        return "--compare takes two result files and no other option but --json";
    if (copies && o.check_report)
        return "--copies and --cpus cannot be combined with --check-report";
    if (copies && o.repeat != 1)
        return "--copies and --cpus cannot be combined with --repeat";
    if (o.copies > 0 && !o.cpus.empty() && static_cast<std::size_t>(o.copies) != o.cpus.size())
        return "--copies=" + std::to_string(o.copies) + " asks for " + std::to_string(o.copies) +
               " copies, but --cpus lists " + std::to_string(o.cpus.size()) + " CPUs";
    if (o.replay_budget && !o.check_report)
        return "--replay-budget only applies to --check-report";
    if (o.check_report && classic.size() > 1)
        return "--check-report takes its sizes from the report, not from " +
               quoted_argument(classic[1]);
    if (o.forced_path && o.plain)
        return "--code-path chooses among the fast kernels; --plain measures the plain ones";
    if (o.verify && o.plain)
        return "--verify compares the fast kernels with the plain ones; with --plain it would "
               "compare the plain kernels with themselves";
    return "";
}

} // namespace

std::span<const long_option> long_options()
{
    return LONG_OPTIONS;
}

std::string nearest_option(std::string_view name)
{
    // Long names are too long to misspell into one another at two edits; short ones at one.
    std::string lower = lower_case(name.substr(0, 40));
    std::size_t allowed = lower.size() <= 4 ? 1 : 2;
    const long_option* nearest = nullptr;
    std::size_t best = allowed + 1;
    std::size_t prefix_matches = 0;
    const long_option* prefixed = nullptr;
    for (const long_option& option : LONG_OPTIONS) {
        std::size_t distance = edit_distance(lower, option.name);
        if (distance < best) {
            best = distance;
            nearest = &option;
        }
        if (lower.size() >= 2 && std::string_view(option.name).starts_with(lower)) {
            ++prefix_matches;
            prefixed = &option;
        }
    }
    if (nearest)
        return nearest->name;
    return prefix_matches == 1 ? prefixed->name : "";
}

options_reading read_long_options(int argc, const char* const* argv)
{
    options_reading reading;
    reading.classic.push_back(argc > 0 ? argv[0] : "kalvento");
    auto fail_with = [&](std::string message) {
        reading.error = std::move(message);
        return reading;
    };
    bool options_ended = false;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (options_ended || !arg.starts_with("--")) {
            reading.classic.push_back(argv[i]);
            continue;
        }
        if (arg == "--") {
            options_ended = true;
            continue;
        }
        std::size_t equals = arg.find('=');
        std::string_view name =
            arg.substr(2, equals == std::string_view::npos ? arg.npos : equals - 2);
        const long_option* option = find_option(name);
        if (!option) {
            std::string message = "unknown option " + quoted_argument(arg.substr(0, equals));
            std::string nearest = nearest_option(name);
            if (!nearest.empty())
                message += " (did you mean '--" + nearest + "'?)";
            return fail_with(message);
        }
        std::string_view value;
        if (!option->value_name) {
            if (equals != std::string_view::npos)
                return fail_with(option_error(*option, "takes no value"));
        } else if (equals != std::string_view::npos) {
            value = arg.substr(equals + 1);
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            return fail_with(option_error(*option, "needs a value"));
        }
        std::string problem = option->apply(reading.options, value);
        if (!problem.empty())
            return fail_with(problem);
    }
    if (!reading.options.compare.empty()) {
        if (reading.classic.size() != 2)
            return fail_with("--compare needs two files: --compare BASE NEW");
        reading.options.compare.push_back(reading.classic[1]);
        reading.classic.resize(1);
    }
    std::string problem = check_combination(reading.options, reading.classic);
    if (!problem.empty())
        return fail_with(problem);
    return reading;
}

std::string extended_usage()
{
    constexpr std::size_t HELP_COLUMN = 19;
    std::string usage =
        R"(Usage: kalvento [long options] [-large | -huge MB] [minimum_time]
       kalvento -h | -help

Measures how fast one core runs five double-precision kernels (FFT, SOR, Monte Carlo, sparse
matrix multiply, LU) and prints their rates in Mflops, the composite score, the repetition
counts and a checksum of the kernels' results.

Classic arguments (only the first can be an option):
  minimum_time     processor seconds one timed attempt must reach (default 2.0); it follows
                   the option, or comes first without one
  -large           the large sizes
  -huge MB         sizes derived from a budget of MB megabytes (0 to 4095)
  -h, -help        the short usage on standard error

Long options (anywhere before "--"; a value follows "=" or comes as the next argument):
)";
    for (const long_option& option : LONG_OPTIONS) {
        std::string synopsis = std::string("  --") + option.name;
        if (option.value_name)
            synopsis.append("=").append(option.value_name);
        usage += synopsis;
        if (synopsis.size() + 1 > HELP_COLUMN)
            usage.append("\n").append(HELP_COLUMN, ' ');
        else
            usage.append(HELP_COLUMN - synopsis.size(), ' ');
        std::string help = option.help;
        if (std::size_t names = help.find(KERNEL_NAMES); names != std::string::npos)
            help.replace(names, std::strlen(KERNEL_NAMES), kernel_names(", ", ", "));
        for (char c : help) {
            usage += c;
            if (c == '\n')
                usage.append(HELP_COLUMN, ' ');
        }
        usage += '\n';
    }
    usage += R"(
Sizes:              FFT points     grid (SOR, LU)   sparse rows   sparse non-zeros
  default           1024           100              1000          5000
  -large            1048576        1000             100000        1000000
  -huge MB          2^floor(log2 n) floor(sqrt n)   n / 8         n     (n = MB x 131072)

Exit status: 0 success; 1 the run failed (out of memory, report not written); 2 unusable long
options, an unreadable result file, a report that cannot be read or replayed within the
budget, or more copies than CPUs; 3 a checksum that --verify or --check-report found different,
copies whose checksums disagree, or a report whose numbers no run can print.
)";
    return usage;
}

} // namespace kalvento
