// The two-sided Mann-Whitney U test (Wilcoxon rank-sum test) for two sets of rates.
//
// Benchmark rates are not normally distributed (a busy machine only ever slows a run down), so
// two sets of runs are compared by ranks. For small samples the p-value comes from the exact null
// distribution of U, counted over every way of splitting the pooled values into two groups of the
// given sizes; ties take mid-ranks, and the count is made with those mid-ranks (the exact
// permutation distribution given the ties). Only when both sides have NORMAL_APPROXIMATION_RUNS
// or more values is the normal approximation used, with continuity and tie corrections.
#pragma once

#include <cstddef>
#include <span>

namespace kalvento {

inline constexpr std::size_t NORMAL_APPROXIMATION_RUNS = 20;
inline constexpr double SIGNIFICANCE_LEVEL = 0.05;

struct rank_test {
    double u = 0.0;       // pairs (x, y) with x > y, ties counting one half
    double p_value = 1.0; // two-sided
    bool exact = true;    // from the exact distribution, not the normal approximation
};

// Both samples need at least one value; the values must be finite. The two-sided p-value is the
// probability under the null hypothesis of a rank sum at least as far from its mean as the
// observed one (twice the smaller tail when there are no ties).
rank_test mann_whitney(std::span<const double> x, std::span<const double> y);

// The smallest two-sided p-value that samples of these sizes can give (values all distinct,
// completely separated): 2 / C(nx + ny, nx), at most 1.
double smallest_p_value(std::size_t nx, std::size_t ny);

// The fewest runs per side with which a complete separation reaches p < SIGNIFICANCE_LEVEL.
std::size_t runs_needed_per_side();

} // namespace kalvento
