// kalvento: how fast one core runs five double-precision kernels.

#include "driver/command_line.h"
#include "driver/report.h"
#include "driver/run.h"
#include "kernels/code_path.h"
#include "support/failure.h"
#include "support/lagged_rng.h"

#include <cstdio>
#include <new>
#include <vector>

using namespace kalvento;

int main(int argc, char** argv)
{
    try {
        std::unique_ptr<lagged_rng> shared = lagged_rng_create(MAIN_SEED);
        if (!shared)
            fail("out of memory creating the random generator");
        run_settings settings = parse_command_line(argc, argv);
        check_memory(settings.sizes, physical_memory_bytes());

        write_banner(stdout);
        write_settings_line(stdout, settings);
        flush_report(stdout);
        calibration plan{settings.min_seconds, 0};
        std::vector<measured_kernel> measured;
        measured.reserve(RUN_ORDER.size());
        for (kernel_id kernel : RUN_ORDER) {
            kernel_result result =
                measure_kernel(kernel, settings.sizes, *shared, plan, selected_kernels());
            write_kernel_line(stdout, kernel, settings.sizes, result);
            flush_report(stdout);
            measured.push_back({kernel, result});
        }
        write_summary(stdout, measured);
        flush_report(stdout);
        lagged_rng_destroy(std::move(shared));
        return 0;
    } catch (const run_failure& failure) {
        std::fflush(stdout);
        std::fprintf(stderr, "kalvento: %s\n", failure.what());
    } catch (const std::bad_alloc&) {
        std::fflush(stdout);
        std::fprintf(stderr, "kalvento: out of memory\n");
    }
    return 1;
}
