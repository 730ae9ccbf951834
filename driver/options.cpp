#include "driver/options.h"

#include <cstring>
#include <string_view>

namespace kalvento {

const char EXTENDED_USAGE[] =
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

Long options (before the classic arguments; "--" ends them):
  --help           this text
  --version        version, compiler, build flags and the code path this CPU selects
  --json           one JSON document instead of the classic report
  --verify         recompute every checksum with the plain reference kernels and compare
                   them bit for bit; one line per kernel after the report
  --plain          measure the plain reference kernels instead of the fast ones, to see what
                   the fast kernels gain on this machine (same data, same checksums)
  --kernels=LIST   run only these kernels, in the usual order (comma-separated: fft, sor,
                   montecarlo, sparse, lu); each gets exactly the data of a full run
  --repeat=K       run the whole measurement K times (1 to 100) and report the median rates;
                   repetition counts and checksum are those of the first run
  --check-report FILE
                   recompute the checksum of a classic report (FILE, or - for standard
                   input) and say whether it is genuine

Sizes:              FFT points     grid (SOR, LU)   sparse rows   sparse non-zeros
  default           1024           100              1000          5000
  -large            1048576        1000             100000        1000000
  -huge MB          2^floor(log2 n) floor(sqrt n)   n / 8         n     (n = MB x 131072)

Exit status: 0 success; 1 the run failed (out of memory, report not written); 2 unusable long
options or an unreadable report; 3 a checksum that --verify or --check-report found different.
)";

namespace {

bool read_kernel_list(std::string_view list, kernel_selection& selection)
{
    selection = {};
    bool any = false;
    while (true) {
        std::size_t comma = list.find(',');
        std::string_view name = list.substr(0, comma);
        bool known = false;
        for (kernel_id kernel : RUN_ORDER)
            if (name == kernel_name(kernel)) {
                selection[kernel_index(kernel)] = true;
                known = any = true;
            }
        if (!known)
            return false;
        if (comma == std::string_view::npos)
            return any;
        list.remove_prefix(comma + 1);
    }
}

bool read_repeat(std::string_view text, int& repeat)
{
    if (text.empty() || text.size() > 3)
        return false;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > MAX_REPEAT)
        return false;
    repeat = value;
    return true;
}

} // namespace

options_reading read_long_options(int argc, const char* const* argv)
{
    options_reading reading;
    extended_options& o = reading.options;
    int i = 1;
    auto fail_with = [&](std::string message) {
        reading.error = std::move(message);
        return reading;
    };
    for (; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg.substr(0, 2) != "--")
            break;
        if (arg == "--") {
            ++i;
            break;
        }
        std::size_t equals = arg.find('=');
        std::string_view name = arg.substr(0, equals);
        std::optional<std::string_view> value;
        if (equals != std::string_view::npos)
            value = arg.substr(equals + 1);

        bool* flag = name == "--help"      ? &o.show_help
                     : name == "--version" ? &o.show_version
                     : name == "--json"    ? &o.json
                     : name == "--verify"  ? &o.verify
                     : name == "--plain"   ? &o.plain
                                           : nullptr;
        if (flag) {
            if (value)
                return fail_with("option " + std::string(name) + " takes no value");
            *flag = true;
            continue;
        }
        if (name != "--kernels" && name != "--repeat" && name != "--check-report")
            return fail_with("unknown option '" + std::string(arg) + "'");
        if (!value) {
            if (i + 1 >= argc)
                return fail_with("option " + std::string(name) + " needs a value");
            value = argv[++i];
        }
        if (name == "--kernels" && !read_kernel_list(*value, o.kernels))
            return fail_with("--kernels takes a comma-separated list of fft, sor, montecarlo, "
                             "sparse and lu, not '" +
                             std::string(*value) + "'");
        if (name == "--repeat" && !read_repeat(*value, o.repeat))
            return fail_with("--repeat takes a whole number from 1 to " +
                             std::to_string(MAX_REPEAT) + ", not '" + std::string(*value) + "'");
        if (name == "--check-report") {
            if (value->empty())
                return fail_with("--check-report needs a file name (or - for standard input)");
            o.check_report = std::string(*value);
        }
    }
    reading.classic_start = i;
    if (o.check_report && (o.verify || o.plain || o.repeat != 1 || o.kernels != ALL_KERNELS))
        return fail_with(
            "--check-report cannot be combined with --verify, --plain, --kernels or --repeat");
    if (o.check_report && i < argc)
        return fail_with("--check-report takes its sizes from the report, not from '" +
                         std::string(argv[i]) + "'");
    return reading;
}

} // namespace kalvento
