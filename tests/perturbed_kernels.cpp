// The kernels that the test build of the program measures: the best fast set, except that
// the Monte Carlo estimate comes out one unit in the last place too large.

#include "kernels/code_path.h"

#include <cmath>
#include <limits>

namespace kalvento {

namespace {

double perturbed_monte_carlo_pi(std::int32_t samples)
{
    return std::nextafter(best_code_path().kernels().monte_carlo_pi(samples),
                          std::numeric_limits<double>::infinity());
}

} // namespace

const kernel_set& test_measured_kernels()
{
    static const kernel_set perturbed = [] {
        kernel_set set = best_code_path().kernels();
        set.name = "perturbed";
        set.monte_carlo_pi = perturbed_monte_carlo_pi;
        return set;
    }();
    return perturbed;
}

} // namespace kalvento
