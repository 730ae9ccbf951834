// A benchmark run as the command line asks for it: the measurements (once, or repeated), told to
// the reporters as they end, and the verification against the plain kernels.
#pragma once

#include "driver/reporter.h"
#include "driver/run.h"
#include "kernels/kernel_set.h"
#include "support/lagged_rng.h"

#include <span>
#include <vector>

namespace kalvento {

// Median of the rates (the mean of the middle two for an even count).
double median(std::vector<double> values);

// Runs the measurements of `context` with `measured_kernels` on the shared generator, tells every
// reporter what happens, and returns the exit status: 0, or 3 when --verify found a kernel whose
// checksum differs or copies disagree. With copies (context.copy_cpus not empty) copy i
// measures copy_kernels[i], each on its own generator, and `shared` is not used.
int run_session(const run_context& context, lagged_rng& shared, const kernel_set& measured_kernels,
                std::span<reporter* const> reporters,
                std::span<const kernel_set* const> copy_kernels = {});

} // namespace kalvento
