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

// How many values the kernel takes from the shared generator at these sizes.
std::uint64_t shared_draws(kernel_id kernel, const problem_sizes& sizes);

// The bytes of data a kernel holds at once; every kernel releases its data before the next one
// starts, so a run's peak is the largest of these.
std::uint64_t kernel_bytes(kernel_id kernel, const problem_sizes& sizes);
std::uint64_t run_peak_bytes(const problem_sizes& sizes);

// Physical memory of this machine in bytes, or 0 when the platform does not tell.
std::uint64_t physical_memory_bytes();

// Ends the run with a run_failure, before any kernel starts, when the sizes need more memory
// than the machine has (physical_bytes 0: unknown, nothing is checked).
void check_memory(const problem_sizes& sizes, std::uint64_t physical_bytes);

} // namespace kalvento
