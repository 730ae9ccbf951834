// The long options, which come before the classic arguments:
//   --help  --version  --json  --verify  --plain  --kernels=LIST  --repeat=K  --check-report FILE
// They are removed before the classic parser sees the rest; "--" ends them. Without any long
// option the program behaves exactly as the classic command line says.
#pragma once

#include "driver/run.h"

#include <optional>
#include <string>

namespace kalvento {

inline constexpr int MAX_REPEAT = 100;

struct extended_options {
    bool show_help = false;
    bool show_version = false;
    bool json = false;
    bool verify = false;
    bool plain = false;                      // measure the plain kernels instead of the fast ones
    kernel_selection kernels = ALL_KERNELS;  // which kernels run
    int repeat = 1;                          // whole measurements, 1 to MAX_REPEAT
    std::optional<std::string> check_report; // a report to check ("-": standard input)
};

struct options_reading {
    extended_options options;
    int classic_start = 1; // index in argv of the first classic argument
    std::string error;     // not empty: the options cannot be used, and this says why
};

options_reading read_long_options(int argc, const char* const* argv);

// The extended usage: classic arguments, long options, size settings and exit statuses.
extern const char EXTENDED_USAGE[];

} // namespace kalvento
