#include "support/lagged_rng.h"

#include "support/exact_arithmetic.h"

#include <new>

namespace kalvento {

void lagged_rng_seed(lagged_rng& g, std::int32_t seed)
{
    // The magnitude taken exactly, so that -2^31 gives 2^31; then made odd.
    std::uint32_t j =
        seed < 0 ? 0u - static_cast<std::uint32_t>(seed) : static_cast<std::uint32_t>(seed);
    if (j == 0)
        j = 1;
    if (j % 2 == 0)
        --j;
    std::uint64_t state = j;
    for (int p = 0; p < RNG_LAGS; ++p) {
        state = (9069 * state) % 2147483648u;
        g.lags[p] = static_cast<std::int32_t>(state);
    }
    g.short_lag_index = RNG_SHORT_LAG - 1;
    g.long_lag_index = RNG_LAGS - 1;
}

std::unique_ptr<lagged_rng> lagged_rng_create(std::int32_t seed)
{
    std::unique_ptr<lagged_rng> g(new (std::nothrow) lagged_rng);
    if (g)
        lagged_rng_seed(*g, seed);
    return g;
}

} // namespace kalvento
