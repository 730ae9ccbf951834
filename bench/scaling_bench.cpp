// How the kernels scale over the CPUs, as the copies of a rate run do: one thread per CPU, each
// pinned to its own and running its own data with the fastest code path, timed on the wall clock.
// Every kernel runs on one thread and then on every CPU this process may use; the table at the
// end gives the aggregate rate of each and the scaling efficiency, aggregate / (threads x alone).
//
//   build/bench/kalvento_scaling_bench
//   build/bench/kalvento_scaling_bench --benchmark_repetitions=5   # medians of five

#include "bench/median_runs.h"
#include "driver/command_line.h"
#include "kernels/code_path.h"
#include "kernels/fft.h"
#include "kernels/lu.h"
#include "kernels/monte_carlo.h"
#include "kernels/sor.h"
#include "kernels/sparse.h"
#include "support/lagged_rng.h"
#include "support/row_matrix.h"
#include "support/thread_platform.h"

#include <benchmark/benchmark.h>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

using namespace kalvento;

namespace {

const std::vector<int>& usable_cpus()
{
    static const std::vector<int> cpus = allowed_cpus();
    return cpus;
}

// Each thread pins itself and draws its data from its own generator, as a copy does.
void pin(const benchmark::State& state)
{
    pin_this_thread(
        usable_cpus()[static_cast<std::size_t>(state.thread_index()) % usable_cpus().size()]);
}

lagged_rng pinned_generator(const benchmark::State& state)
{
    pin(state);
    lagged_rng g;
    lagged_rng_seed(g, MAIN_SEED);
    return g;
}

// Google Benchmark sums a counter over the threads and divides a rate by the real time.
void credit(benchmark::State& state, double operations_per_unit)
{
    state.counters["Mflops"] =
        benchmark::Counter(operations_per_unit * 1e-6 * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate);
}

const kernel_set& fastest()
{
    return best_code_path().kernels();
}

void fft_unit(benchmark::State& state)
{
    lagged_rng g = pinned_generator(state);
    constexpr std::int32_t points = DEFAULT_SIZES.fft_points;
    block<double> data = vector_from_rng(2 * points, g);
    for (auto _ : state) {
        fastest().fft_transform_pair(2 * points, data.get());
        benchmark::ClobberMemory();
    }
    credit(state, fft_flop_count(points));
}

void sor_unit(benchmark::State& state)
{
    constexpr std::int32_t n = DEFAULT_SIZES.grid_size;
    lagged_rng g = pinned_generator(state);
    row_matrix grid = matrix_from_rng(n, n, g);
    for (auto _ : state) {
        fastest().sor_sweep(n, n, SOR_OMEGA, grid, 1);
        benchmark::ClobberMemory();
    }
    credit(state, sor_flop_count(n, n, 1));
}

void monte_carlo_unit(benchmark::State& state)
{
    constexpr std::int32_t SAMPLES = 1 << 20;
    pin(state);
    for (auto _ : state)
        benchmark::DoNotOptimize(fastest().monte_carlo_pi(SAMPLES));
    credit(state, monte_carlo_flop_count(SAMPLES));
}

void sparse_unit(benchmark::State& state)
{
    constexpr std::int32_t n = DEFAULT_SIZES.sparse_rows;
    constexpr std::int32_t nz = DEFAULT_SIZES.sparse_nonzeros;
    lagged_rng g = pinned_generator(state);
    std::int32_t nr = nz / n;
    block<double> x = vector_from_rng(n, g);
    block<double> values = vector_from_rng(nr * n, g);
    std::vector<double> y(n, 0.0);
    std::vector<std::int32_t> row_start(n + 1), col_index(nz);
    csr_pattern(n, nr, row_start.data(), col_index.data());
    for (auto _ : state) {
        fastest().csr_multiply(n, y.data(), values.get(), row_start.data(), col_index.data(),
                               x.get(), 1);
        benchmark::ClobberMemory();
    }
    credit(state, csr_flop_count(n, nz, 1));
}

void lu_unit(benchmark::State& state)
{
    constexpr std::int32_t n = DEFAULT_SIZES.grid_size;
    lagged_rng g = pinned_generator(state);
    std::uint32_t size = static_cast<std::uint32_t>(n);
    row_matrix source = matrix_from_rng(size, size, g);
    row_matrix work = matrix_alloc(size, size);
    std::vector<std::int32_t> pivots(size);
    for (auto _ : state) {
        fastest().matrix_copy(size, size, work, source);
        fastest().lu_decompose(n, n, work, pivots.data());
        benchmark::ClobberMemory();
    }
    credit(state, lu_flop_count(n));
}

// Keeps each kernel's aggregate rate per thread count (the median with repetitions) for the
// table of scaling efficiencies at the end.
class scaling_reporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            entry& e = rates[run.run_name.function_name][run.threads];
            if (keep_run(run, e.from_median))
                e.mflops = mflops_of(run);
        }
    }

    void print_table() const
    {
        std::printf("\n%-12s %8s %14s %14s %11s\n", "kernel", "threads", "alone Mflops",
                    "all Mflops", "efficiency");
        for (const auto& [name, by_threads] : rates) {
            if (by_threads.size() < 2 || !by_threads.count(1))
                continue;
            double alone = by_threads.at(1).mflops;
            auto [threads, all] = *by_threads.rbegin();
            std::printf("%-12s %8d %14.1f %14.1f %11.3f\n", name.c_str(), threads, alone,
                        all.mflops, all.mflops / (threads * alone));
        }
    }

private:
    struct entry {
        double mflops = 0.0;
        bool from_median = false;
    };
    std::map<std::string, std::map<int, entry>> rates;
};

void register_scaling(const char* name, void (*unit)(benchmark::State&))
{
    int cpus = static_cast<int>(usable_cpus().size());
    benchmark::internal::Benchmark* b = benchmark::RegisterBenchmark(name, unit);
    b->Threads(1);
    if (cpus > 1)
        b->Threads(cpus);
    b->UseRealTime()->Unit(benchmark::kMicrosecond);
}

} // namespace

int main(int argc, char** argv)
{
    register_scaling("fft", fft_unit);
    register_scaling("sor", sor_unit);
    register_scaling("montecarlo", monte_carlo_unit);
    register_scaling("sparse", sparse_unit);
    register_scaling("lu", lu_unit);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    std::printf("code path %s, %zu CPUs\n", best_code_path().name, usable_cpus().size());
    scaling_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.print_table();
    benchmark::Shutdown();
    return 0;
}
