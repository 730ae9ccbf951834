#include "kernels/fast_kernels.h"
#include "kernels/monte_carlo.h"

namespace kalvento::KALVENTO_FAST_NS {

double monte_carlo_pi(std::int32_t samples)
{
    return kalvento::monte_carlo_pi(samples);
}

} // namespace kalvento::KALVENTO_FAST_NS
