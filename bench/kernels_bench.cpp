// Times one unit of work of every kernel, plain and on each code path, at the default and large
// sizes, and ends with a table of time per unit, Mflops and the fast/plain ratio.
//
//   build/bench/kalvento_bench                       # everything
//   build/bench/kalvento_bench --benchmark_filter=lu  # one kernel
//   build/bench/kalvento_bench --benchmark_repetitions=5  # medians of five

#include "bench/median_runs.h"
#include "kernels/code_path.h"
#include "kernels/fft.h"
#include "kernels/lu.h"
#include "kernels/monte_carlo.h"
#include "kernels/sor.h"
#include "kernels/sparse.h"
#include "support/lagged_rng.h"
#include "support/row_matrix.h"

#include <benchmark/benchmark.h>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

using namespace kalvento;

namespace {

lagged_rng shared_generator()
{
    lagged_rng g;
    lagged_rng_seed(g, MAIN_SEED);
    return g;
}

// Operations credited to one unit, reported as a rate over the measured CPU time.
void credit(benchmark::State& state, double operations_per_unit)
{
    state.counters["Mflops"] =
        benchmark::Counter(operations_per_unit * 1e-6 * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate);
}

void fft_unit(benchmark::State& state, const kernel_set* kernels, std::int32_t points)
{
    lagged_rng g = shared_generator();
    block<double> data = vector_from_rng(2 * points, g);
    for (auto _ : state) {
        kernels->fft_transform_pair(2 * points, data.get());
        benchmark::ClobberMemory();
    }
    credit(state, fft_flop_count(points));
}

void sor_unit(benchmark::State& state, const kernel_set* kernels, std::int32_t n)
{
    lagged_rng g = shared_generator();
    row_matrix grid = matrix_from_rng(n, n, g);
    for (auto _ : state) {
        kernels->sor_sweep(n, n, SOR_OMEGA, grid, 1);
        benchmark::ClobberMemory();
    }
    credit(state, sor_flop_count(n, n, 1));
}

void monte_carlo_unit(benchmark::State& state, const kernel_set* kernels, std::int32_t samples)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(kernels->monte_carlo_pi(samples));
    credit(state, monte_carlo_flop_count(samples));
}

void sparse_unit(benchmark::State& state, const kernel_set* kernels, std::int32_t n,
                 std::int32_t nz)
{
    lagged_rng g = shared_generator();
    std::int32_t nr = nz / n;
    block<double> x = vector_from_rng(n, g);
    block<double> values = vector_from_rng(nr * n, g);
    std::vector<double> y(n, 0.0);
    std::vector<std::int32_t> row_start(n + 1), col_index(nz);
    csr_pattern(n, nr, row_start.data(), col_index.data());
    for (auto _ : state) {
        kernels->csr_multiply(n, y.data(), values.get(), row_start.data(), col_index.data(),
                              x.get(), 1);
        benchmark::ClobberMemory();
    }
    credit(state, csr_flop_count(n, nz, 1));
}

void lu_unit(benchmark::State& state, const kernel_set* kernels, std::int32_t n)
{
    lagged_rng g = shared_generator();
    std::uint32_t size = static_cast<std::uint32_t>(n);
    row_matrix source = matrix_from_rng(size, size, g);
    for (std::int32_t i = 0; i < n; ++i) {
        double sum = 0.0;
        for (std::int32_t j = 0; j < n; ++j)
            sum += std::fabs(source[i][j]);
        source[i][i] = sum * 4.0;
    }
    row_matrix work = matrix_alloc(size, size);
    std::vector<std::int32_t> pivots(size);
    for (auto _ : state) {
        kernels->matrix_copy(size, size, work, source);
        kernels->lu_decompose(n, n, work, pivots.data());
        benchmark::ClobberMemory();
    }
    credit(state, lu_flop_count(n));
}

// Collects each benchmark's CPU time per unit so that the table at the end can set the fast
// paths against the plain kernels; with repetitions it keeps the medians.
class ratio_reporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            entry& e = entries[run.run_name.function_name];
            if (!keep_run(run, e.from_median))
                continue;
            e.microseconds = run.GetAdjustedCPUTime(); // every benchmark here counts in us
            e.mflops = mflops_of(run);
        }
    }

    void print_table() const
    {
        std::printf("\n%-28s %14s %10s %8s\n", "kernel/size/path", "time per unit", "Mflops",
                    "ratio");
        for (const auto& [name, e] : entries) {
            std::string plain = name.substr(0, name.rfind('/')) + "/plain";
            auto base = entries.find(plain);
            double ratio = base == entries.end() ? 0.0 : base->second.microseconds / e.microseconds;
            std::printf("%-28s %11.3f us %10.1f %7.2fx\n", name.c_str(), e.microseconds, e.mflops,
                        ratio);
        }
    }

private:
    struct entry {
        double microseconds = 0.0; // CPU time per unit
        double mflops = 0.0;
        bool from_median = false;
    };
    std::map<std::string, entry> entries;
};

template <class Unit, class... Sizes>
void register_kernel(const std::string& kernel, const std::string& size, Unit unit, Sizes... sizes)
{
    std::vector<std::pair<std::string, const kernel_set*>> sets{{"plain", &plain_kernels()}};
    for (const code_path* path : supported_code_paths())
        sets.emplace_back(path->name, &path->kernels());
    for (const auto& [path, kernels] : sets)
        benchmark::RegisterBenchmark((kernel + "/" + size + "/" + path).c_str(), unit, kernels,
                                     sizes...)
            ->Unit(benchmark::kMicrosecond);
}

} // namespace

int main(int argc, char** argv)
{
    register_kernel("fft", "1024", fft_unit, 1024);
    register_kernel("fft", "1048576", fft_unit, 1048576);
    register_kernel("sor", "100", sor_unit, 100);
    register_kernel("sor", "1000", sor_unit, 1000);
    register_kernel("montecarlo", "1048576", monte_carlo_unit, 1048576);
    register_kernel("sparse", "1000", sparse_unit, 1000, 5000);
    register_kernel("sparse", "100000", sparse_unit, 100000, 1000000);
    register_kernel("lu", "100", lu_unit, 100);
    register_kernel("lu", "1000", lu_unit, 1000);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    ratio_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.print_table();
    benchmark::Shutdown();
    return 0;
}
