// The run sequence: the five measurements in their fixed order on the shared generator.
#pragma once

#include "driver/command_line.h"
#include "kernels/calibration.h"
#include "kernels/kernel_set.h"
#include "support/lagged_rng.h"

#include <array>

namespace kalvento {

enum class kernel_id { fft, sor, monte_carlo, sparse, lu };

// Run order; the shared stream is consumed in this order, so it is part of the results.
inline constexpr std::array<kernel_id, 5> RUN_ORDER{
    kernel_id::fft, kernel_id::sor, kernel_id::monte_carlo, kernel_id::sparse, kernel_id::lu};

// One kernel's measurement at the given sizes, drawing its data from the shared generator.
kernel_result measure_kernel(kernel_id kernel, const problem_sizes& sizes, lagged_rng& shared,
                             const calibration& plan, const kernel_set& kernels);

} // namespace kalvento
