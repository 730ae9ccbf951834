// The run sequence: the five measurements in their fixed order on the shared generator.
#pragma once

#include "driver/command_line.h"
#include "driver/kernel_table.h"
#include "kernels/calibration.h"
#include "kernels/kernel_set.h"
#include "support/lagged_rng.h"

#include <array>
#include <functional>

namespace kalvento {

// Kernels chosen to run, indexed like RUN_ORDER.
using kernel_selection = std::array<bool, 5>;
inline constexpr kernel_selection ALL_KERNELS{true, true, true, true, true};

// Calibration plans, one per kernel in RUN_ORDER.
using run_plans = std::array<calibration, 5>;
inline run_plans timed_plans(double min_seconds)
{
    run_plans plans;
    plans.fill(calibration{min_seconds, 0});
    return plans;
}

// Called before each attempt of a kernel, outside the timed span, with the attempt's batch size
// and the repetition count the kernel ends at (0 when timed: it is not known yet).
using attempt_watch =
    std::function<void(kernel_id kernel, std::int64_t batch_size, std::int64_t final_reps)>;

// One kernel of a measurement on the shared generator: measured into `result` when selected
// (returns true), or the values it would draw stepped past (returns false).
bool run_kernel(const kernel_descriptor& kernel, const problem_sizes& sizes,
                const calibration& plan, bool selected, lagged_rng& shared,
                const kernel_set& kernels, kernel_result& result);

// One whole measurement: the selected kernels in run order on the shared generator, with
// measured(kernel, result) called as soon as each one ends. The values that a left-out kernel
// would draw are stepped past, so every kernel gets exactly the data it gets in a full run.
void run_measurement(const problem_sizes& sizes, const run_plans& plans,
                     const kernel_selection& selection, lagged_rng& shared,
                     const kernel_set& kernels,
                     const std::function<void(kernel_id, const kernel_result&)>& measured,
                     const attempt_watch& watch = {});

// Repetition counts, one per kernel in RUN_ORDER.
using kernel_reps = std::array<std::int64_t, 5>;

// What a run whose calibrations ended at `reps` left in each selected kernel's data: the attempts
// 1, 2, 4, ... up to each count are replayed on a fresh shared generator, without regard to time.
// Entries of kernels left out stay empty.
std::array<kernel_result, 5> replay_run(const problem_sizes& sizes,
                                        const kernel_selection& selection, const kernel_reps& reps,
                                        const kernel_set& kernels, const attempt_watch& watch = {});

// Every kernel releases its data before the next one starts, so a run's peak is the largest
// kernel's data.
std::uint64_t run_peak_bytes(const problem_sizes& sizes);

// Ends the run with a run_failure, before any kernel starts, when `copies` runs of these sizes
// side by side need more memory than the machine has (physical_bytes 0: unknown, nothing is
// checked).
void check_memory(const problem_sizes& sizes, std::uint64_t physical_bytes,
                  std::uint64_t copies = 1);

} // namespace kalvento
