// kalvento: how fast one core runs five double-precision kernels.

#include "driver/check_report.h"
#include "driver/command_line.h"
#include "driver/compare.h"
#include "driver/copies.h"
#include "driver/environment.h"
#include "driver/json_report.h"
#include "driver/options.h"
#include "driver/provenance.h"
#include "driver/report.h"
#include "driver/run.h"
#include "driver/session.h"
#include "driver/system_info.h"
#include "kernels/code_path.h"
#include "support/cpu_timer.h"
#include "support/failure.h"
#include "support/lagged_rng.h"
#include "support/platform.h"
#include "support/thread_platform.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <optional>
#include <string>
#include <vector>

using namespace kalvento;

#ifdef KALVENTO_TEST_HOOKS
// A test build measures deliberately wrong kernels, to show that --verify catches them.
namespace kalvento {
const kernel_set& test_measured_kernels();
}
#endif

namespace {

const kernel_set& measured_kernels([[maybe_unused]] const code_path& path)
{
#ifdef KALVENTO_TEST_HOOKS
    return test_measured_kernels();
#else
    return path.kernels();
#endif
}

void write_version(std::FILE* out, const code_path& path)
{
    system_info info = read_system_info();
    std::fprintf(out, "kalvento %s\n", info.version.c_str());
    std::fprintf(out, "compiler: %s\n", info.compiler.c_str());
    std::fprintf(out, "build flags: %s\n", info.build_flags.c_str());
    std::fprintf(out, "code path: %s (this CPU supports:", path.name);
    for (const code_path* supported : supported_code_paths())
        std::fprintf(out, " %s", supported->name);
    std::fputs(")\n", out);
    // The step as measured: a clock can count in units far finer than it advances.
    double step = cpu_clock_step_seconds();
    std::fprintf(out, "clock: %s, unit %.9g s, ", info.clock.c_str(),
                 info.clock_resolution_seconds);
    if (step > 0.0)
        std::fprintf(out, "measured step %.9g s\n", step);
    else
        std::fputs("no step seen (it did not advance while watched)\n", out);
}

int run_program(int argc, char** argv)
{
    // The shared generator exists before the command line is examined.
    std::unique_ptr<lagged_rng> shared = lagged_rng_create(MAIN_SEED);
    if (!shared)
        fail("out of memory creating the random generator");

    options_reading reading = read_long_options(argc, argv);
    if (!reading.error.empty()) {
        std::fprintf(stderr, "kalvento: %s\n%s", reading.error.c_str(), TRY_HELP);
        return 2;
    }
    const extended_options& options = reading.options;
    const code_path& path = options.forced_path ? *options.forced_path : best_code_path();
    if (options.show_help) {
        std::fputs(extended_usage().c_str(), stdout);
        flush_report(stdout);
        return 0;
    }
    if (options.show_version) {
        write_version(stdout, path);
        flush_report(stdout);
        return 0;
    }

    if (!options.compare.empty())
        return run_comparison(options.compare[0], options.compare[1], options.json);
    if (options.check_report)
        return check_report({*options.check_report, options.json,
                             options.replay_budget.value_or(DEFAULT_REPLAY_BUDGET)},
                            path.kernels());

    run_settings settings =
        read_command_line(static_cast<int>(reading.classic.size()), reading.classic.data());
    if (settings.help_requested) {
        std::fputs(USAGE_TEXT, stderr);
        return 0;
    }
    for (const std::string& note : settings.notes)
        std::fprintf(stderr, "kalvento: %s\n", note.c_str());
    copy_placement placement = place_copies(options, allowed_cpus());
    if (!placement.error.empty()) {
        std::fprintf(stderr, "kalvento: %s\n%s", placement.error.c_str(), TRY_HELP);
        return 2;
    }
    check_memory(settings.sizes, physical_memory_bytes(),
                 std::max<std::size_t>(placement.cpus.size(), 1));
    const kernel_set& measured = options.plain ? plain_kernels() : measured_kernels(path);
    run_context context{settings,
                        options,
                        std::vector<std::string>(argv, argv + argc),
                        measured.name,
                        environment_warnings(this_environment()),
                        placement.cpus,
                        thread_pinning_supported()};
    if (!context.copy_cpus.empty() && !context.copies_pinned)
        std::fputs("kalvento: this platform cannot pin threads to CPUs; the copies run unpinned\n",
                   stderr);
    std::vector<const kernel_set*> copy_kernels(context.copy_cpus.size(), &measured);
#ifdef KALVENTO_TEST_HOOKS
    // With copies only the last copy measures the wrong kernels, so that the copies disagree.
    if (!copy_kernels.empty()) {
        std::fill(copy_kernels.begin(), copy_kernels.end(),
                  options.plain ? &plain_kernels() : &path.kernels());
        copy_kernels.back() = &test_measured_kernels();
    }
#endif
    show_warnings(stderr, context.warnings);
    classic_reporter classic_report(stdout);
    json_reporter json_report(stdout);
    std::optional<json_file_reporter> exported;
    std::vector<reporter*> chosen;
    // First, so that a file that cannot be written is refused before the report begins.
    if (options.export_json)
        chosen.push_back(&exported.emplace(*options.export_json));
    chosen.push_back(options.json ? static_cast<reporter*>(&json_report) : &classic_report);
    // Last, so that it follows the report.
    provenance_reporter provenance(stderr);
    chosen.push_back(&provenance);
    return run_session(context, *shared, measured, chosen, copy_kernels);
}

} // namespace

int main(int argc, char** argv)
{
    use_binary_standard_streams();
    try {
        return run_program(argc, argv);
    } catch (const report_failure& failure) {
        std::fputs(failure.what(), stdout);
        std::fflush(stdout);
    } catch (const run_failure& failure) {
        std::fflush(stdout);
        std::fprintf(stderr, "kalvento: %s\n", failure.what());
    } catch (const std::bad_alloc&) {
        std::fflush(stdout);
        std::fprintf(stderr, "kalvento: out of memory\n");
    }
    return 1;
}
