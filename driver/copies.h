// Copies side by side (--copies): one thread per copy, each pinned to a CPU of its own, all
// running the same kernel at the same time.
//
// A copy owns everything it computes: its shared generator, seeded with the classic seed, and
// every kernel's data, allocated and first touched by its own thread, so each copy computes
// exactly what a single run computes. Every attempt starts at a barrier, and the copies double
// together until each copy's attempt has reached the minimum time on its own thread's
// processor clock (the copy that is slowest to get there decides), so all copies end at the
// same repetition count and their checksums must agree to the last bit.
#pragma once

#include "driver/options.h"
#include "driver/reporter.h"
#include "driver/run.h"
#include "kernels/calibration.h"
#include "kernels/kernel_set.h"

#include <functional>
#include <span>
#include <string>
#include <vector>

namespace kalvento {

struct copy_placement {
    std::vector<int> cpus; // one per copy; empty for the classic single run
    std::string error;     // not empty: the request cannot be met, and this says why
};

// The CPUs of the copies that --copies and --cpus ask for, out of those the process may run on
// (`allowed`, in increasing order): the listed ones, or the first allowed ones.
copy_placement place_copies(const extended_options& options, std::span<const int> allowed);

// CPU numbers as a list of numbers and ranges: "0-3,6".
std::string cpu_list_text(std::span<const int> cpus);

struct copies_plan {
    problem_sizes sizes;
    double min_seconds = DEFAULT_MIN_SECONDS;
    kernel_selection selection = ALL_KERNELS;
    std::vector<int> cpus;                  // one per copy
    std::vector<const kernel_set*> kernels; // one per copy: what each copy measures
    bool pin = true;                        // pin each copy's thread to its CPU
};

// One copy's measurement of one kernel.
struct copy_run {
    kernel_result result;
    int cpu_seen = -1; // the CPU the copy's thread ran on when the kernel ended; -1: unknown
    // Wall-clock seconds of the final attempt's start and finish, since the copies started.
    double started = 0.0;
    double finished = 0.0;
};

// One kernel, measured by every copy.
struct kernel_copies {
    kernel_id kernel;
    std::vector<copy_run> copies;
    // Copy 0 alone on its CPU, its data drawn as a single run draws it, measured just before the
    // copies run together while the other copies wait. With one copy: that copy's run.
    copy_run alone;
};

// Runs the selected kernels of `plan` in run order, each first alone and then by all copies at
// once, and calls `measured` on the calling thread as each kernel ends; the copies wait for it
// to return. `watch` is told of copy 0's attempts. A copy that fails ends the run with its
// failure once the kernel has ended for the others.
void run_copies(const copies_plan& plan, const std::function<void(const kernel_copies&)>& measured,
                const attempt_watch& watch = {});

// The aggregate rate, the spread, the scaling efficiency and the checksums that disagree.
// `shown_cpus` holds the CPU each copy is reported on. The rate of one copy alone is taken as
// the aggregate is, on the wall clock, so that the efficiency compares like with like: on a
// quiet machine it is the share of one copy's speed that each of the copies keeps.
copies_outcome summarize_copies(const kernel_copies& measured, std::span<const int> shown_cpus);

} // namespace kalvento
