// The long options (--json, --verify, ...). They may stand anywhere among the classic arguments
// until a "--", which ends them; each takes its value as "--name=value" or as the next argument.
// Without any long option the program behaves exactly as the classic command line says.
//
// Every option is one entry of LONG_OPTIONS in options.cpp: its name, value, help text and what
// it sets in extended_options.
#pragma once

#include "driver/run.h"
#include "kernels/code_path.h"

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kalvento {

inline constexpr int MAX_REPEAT = 100;
// --copies=all: one copy on every CPU the process may run on.
inline constexpr int ALL_COPIES = -1;
// The highest CPU number --cpus takes (Linux counts at most 8192 CPUs).
inline constexpr int MAX_CPU_NUMBER = 8191;

struct extended_options {
    bool show_help = false;
    bool show_version = false;
    bool json = false;
    bool verify = false;
    bool plain = false;                      // measure the plain kernels instead of the fast ones
    kernel_selection kernels = ALL_KERNELS;  // which kernels run
    int repeat = 1;                          // whole measurements, 1 to MAX_REPEAT
    std::optional<std::string> check_report; // a report to check ("-": standard input)
    std::optional<std::string> export_json;  // a file for the JSON document beside the report
    std::vector<std::string> compare;        // BASE and NEW of --compare, when given
    std::optional<double> replay_budget;     // seconds a report's replay may take
    const code_path* forced_path = nullptr;  // --code-path: measure this path, not the best
    // Copies side by side (--copies): 0 for the classic single run, ALL_COPIES, or a count.
    int copies = 0;
    std::vector<int> cpus; // --cpus: the CPUs of the copies, in order; empty when not given
};

// One long option. `value_name` is null for an option that takes no value. `apply` records the
// option (and its value) and returns what is wrong with the value, or "" when it is usable.
struct long_option {
    const char* name;       // without the leading "--"
    const char* value_name; // as the help shows it ("LIST"), or null
    const char* help;       // the help text; lines after the first are continued under it
    std::string (*apply)(extended_options& options, std::string_view value);
};

std::span<const long_option> long_options();

struct options_reading {
    extended_options options;
    // The classic arguments in their order, the program name first: every argument that is no
    // long option, and everything after "--".
    std::vector<const char*> classic;
    std::string error; // not empty: the options cannot be used, and this says why
};

options_reading read_long_options(int argc, const char* const* argv);

// Printed on standard error under an error in the long options.
inline constexpr char TRY_HELP[] = "Try 'kalvento --help'.\n";

// The known option nearest to a misspelt name ("jsn" gives "json"), or "" when none is close.
std::string nearest_option(std::string_view name);

// The extended usage: classic arguments, long options, size settings and exit statuses.
std::string extended_usage();

} // namespace kalvento
