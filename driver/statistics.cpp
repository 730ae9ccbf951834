#include "driver/statistics.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace kalvento {

namespace {

struct ranked_value {
    double value;
    bool from_x;
};

// Ranks of the pooled values, doubled so that mid-ranks of ties stay integers, in the sorted
// order of the values; and the tie correction sum of t^3 - t over the groups of tied values.
struct pooled_ranks {
    std::vector<std::int64_t> doubled_rank;
    std::vector<bool> from_x;
    double tie_term = 0.0;
};

pooled_ranks rank_pooled(std::span<const double> x, std::span<const double> y)
{
    std::vector<ranked_value> pooled;
    pooled.reserve(x.size() + y.size());
    for (double v : x)
        pooled.push_back({v, true});
    for (double v : y)
        pooled.push_back({v, false});
    std::sort(pooled.begin(), pooled.end(),
              [](const ranked_value& a, const ranked_value& b) { return a.value < b.value; });
    pooled_ranks ranks;
    std::size_t n = pooled.size();
    ranks.doubled_rank.resize(n);
    ranks.from_x.resize(n);
    for (std::size_t first = 0; first < n;) {
        std::size_t last = first;
        while (last + 1 < n && pooled[last + 1].value == pooled[first].value)
            ++last;
        // Ranks first + 1 to last + 1 share their mean; doubled it is first + last + 2.
        for (std::size_t i = first; i <= last; ++i) {
            ranks.doubled_rank[i] = static_cast<std::int64_t>(first + last + 2);
            ranks.from_x[i] = pooled[i].from_x;
        }
        double t = static_cast<double>(last - first + 1);
        ranks.tie_term += t * t * t - t;
        first = last + 1;
    }
    return ranks;
}

// Exact two-sided p-value: the share of all ways to pick `picked` of the pooled values whose
// doubled rank sum lies at least as far from its mean as `observed` does.
double exact_p_value(const std::vector<std::int64_t>& doubled_rank, std::size_t picked,
                     std::int64_t observed)
{
    std::int64_t max_sum = 0;
    for (std::size_t i = doubled_rank.size() - picked; i < doubled_rank.size(); ++i)
        max_sum += doubled_rank[i];
    std::size_t width = static_cast<std::size_t>(max_sum) + 1;
    // ways[j * width + s]: subsets of j of the values seen so far with doubled rank sum s.
    std::vector<double> ways((picked + 1) * width, 0.0);
    ways[0] = 1.0;
    std::vector<std::int64_t> low(picked + 1, 0), high(picked + 1, 0);
    std::size_t seen = 0;
    for (std::int64_t rank : doubled_rank) {
        ++seen;
        for (std::size_t j = std::min(seen, picked); j >= 1; --j) {
            double* to = &ways[j * width];
            const double* from = &ways[(j - 1) * width];
            for (std::int64_t s = high[j - 1]; s >= low[j - 1]; --s)
                to[s + rank] += from[s];
            // Ranks arrive in ascending order: the first j values give the lowest sum with j.
            if (j == seen)
                low[j] = low[j - 1] + rank;
            high[j] = high[j - 1] + rank;
        }
    }
    std::int64_t mean = static_cast<std::int64_t>(picked * (doubled_rank.size() + 1));
    std::int64_t distance = std::llabs(observed - mean);
    double total = 0.0, extreme = 0.0;
    for (std::int64_t s = low[picked]; s <= high[picked]; ++s) {
        double count = ways[picked * width + static_cast<std::size_t>(s)];
        total += count;
        if (std::llabs(s - mean) >= distance)
            extreme += count;
    }
    return std::min(1.0, extreme / total);
}

} // namespace

rank_test mann_whitney(std::span<const double> x, std::span<const double> y)
{
    rank_test test;
    if (x.empty() || y.empty())
        return test;
    pooled_ranks ranks = rank_pooled(x, y);
    std::int64_t doubled_sum_x = 0;
    for (std::size_t i = 0; i < ranks.doubled_rank.size(); ++i)
        if (ranks.from_x[i])
            doubled_sum_x += ranks.doubled_rank[i];
    double nx = static_cast<double>(x.size()), ny = static_cast<double>(y.size());
    double n = nx + ny;

    test.u = static_cast<double>(doubled_sum_x) / 2.0 - nx * (nx + 1.0) / 2.0;
    test.exact = x.size() < NORMAL_APPROXIMATION_RUNS || y.size() < NORMAL_APPROXIMATION_RUNS;
    if (test.exact) {
        // Count subsets of the smaller side's size: its rank sum is as far from its mean as the
        // other side's.
        bool pick_x = x.size() <= y.size();
        std::int64_t doubled_total = static_cast<std::int64_t>(x.size() + y.size()) *
                                     static_cast<std::int64_t>(x.size() + y.size() + 1);
        std::int64_t observed = pick_x ? doubled_sum_x : doubled_total - doubled_sum_x;
        test.p_value = exact_p_value(ranks.doubled_rank, pick_x ? x.size() : y.size(), observed);
        return test;
    }
    double variance = nx * ny / 12.0 * ((n + 1.0) - ranks.tie_term / (n * (n - 1.0)));
    if (!(variance > 0.0)) {
        test.p_value = 1.0; // every value the same
        return test;
    }
    double z = std::max(0.0, std::fabs(test.u - nx * ny / 2.0) - 0.5) / std::sqrt(variance);
    test.p_value = std::min(1.0, std::erfc(z / std::sqrt(2.0)));
    return test;
}

double smallest_p_value(std::size_t nx, std::size_t ny)
{
    std::size_t small = std::min(nx, ny), n = nx + ny;
    double splits = 1.0; // C(n, small)
    for (std::size_t i = 1; i <= small; ++i)
        splits = splits * static_cast<double>(n - small + i) / static_cast<double>(i);
    return std::min(1.0, 2.0 / splits);
}

std::size_t runs_needed_per_side()
{
    std::size_t runs = 1;
    while (smallest_p_value(runs, runs) >= SIGNIFICANCE_LEVEL)
        ++runs;
    return runs;
}

} // namespace kalvento
