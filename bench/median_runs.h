// What the benchmarks' closing tables keep of Google Benchmark's runs: with repetitions the
// median, otherwise the single run.
#pragma once

#include <benchmark/benchmark.h>

namespace kalvento {

using benchmark_run = benchmark::BenchmarkReporter::Run;

// Whether `run` is the figure to keep in place of what was kept so far; `from_median` records,
// per table entry, that a median has been kept, which no single run then replaces.
inline bool keep_run(const benchmark_run& run, bool& from_median)
{
    if (run.run_type == benchmark_run::RT_Aggregate && run.aggregate_name != "median")
        return false;
    if (run.run_type == benchmark_run::RT_Iteration && from_median)
        return false;
    from_median = run.run_type == benchmark_run::RT_Aggregate;
    return true;
}

// The run's "Mflops" counter, or 0 when it has none.
inline double mflops_of(const benchmark_run& run)
{
    auto mflops = run.counters.find("Mflops");
    return mflops == run.counters.end() ? 0.0 : mflops->second.value;
}

} // namespace kalvento
