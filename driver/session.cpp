#include "driver/session.h"

#include "driver/progress.h"
#include "driver/report.h"

#include <algorithm>
#include <cstdio>

namespace kalvento {

double median(std::vector<double> values)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    std::size_t middle = values.size() / 2;
    if (values.size() % 2 == 1)
        return values[middle];
    return (values[middle - 1] + values[middle]) / 2.0;
}

namespace {

void summarize_rates(kernel_outcome& outcome)
{
    std::vector<double> rates;
    for (const kernel_result& run : outcome.runs)
        rates.push_back(run.mflops);
    outcome.median_mflops = median(rates);
    outcome.min_mflops = *std::min_element(rates.begin(), rates.end());
    outcome.max_mflops = *std::max_element(rates.begin(), rates.end());
}

} // namespace

int run_session(const run_context& context, lagged_rng& shared, const kernel_set& measured_kernels,
                std::span<reporter* const> reporters)
{
    const run_settings& settings = context.settings;
    const extended_options& options = context.options;
    for (reporter* out : reporters)
        out->context(context);

    session_outcome session;
    for (kernel_id kernel : RUN_ORDER)
        if (options.kernels[kernel_index(kernel)])
            session.kernels.push_back(kernel_outcome{kernel, {}, 0.0, 0.0, 0.0, std::nullopt});
    auto outcome_of = [&](kernel_id kernel) -> kernel_outcome& {
        return *std::find_if(session.kernels.begin(), session.kernels.end(),
                             [&](const kernel_outcome& o) { return o.kernel == kernel; });
    };

    // The default sizes calibrate in moments; larger ones can take long before a line appears.
    progress_line progress;
    progress_open(progress);
    bool long_calibration = settings.sizes != DEFAULT_SIZES;

    run_plans plans = timed_plans(settings.min_seconds);
    for (int run = 0; run < options.repeat; ++run) {
        // Every whole measurement starts from the same stream.
        lagged_rng fresh;
        lagged_rng_seed(fresh, MAIN_SEED);
        bool last_run = run + 1 == options.repeat;
        std::string doing = "measuring";
        if (options.repeat > 1)
            doing +=
                " (run " + std::to_string(run + 1) + " of " + std::to_string(options.repeat) + ")";
        attempt_watch watch = long_calibration ? progress_watch(progress, doing) : attempt_watch{};
        run_measurement(
            settings.sizes, plans, options.kernels, run == 0 ? shared : fresh, measured_kernels,
            [&](kernel_id kernel, const kernel_result& result) {
                progress_clear(progress);
                kernel_outcome& outcome = outcome_of(kernel);
                outcome.runs.push_back(result);
                if (!last_run)
                    return;
                summarize_rates(outcome);
                for (reporter* out : reporters)
                    out->kernel(outcome);
            },
            watch);
    }

    std::vector<measured_kernel> reported;
    for (const kernel_outcome& outcome : session.kernels)
        reported.push_back({outcome.kernel, reported_result(outcome)});
    report_summary summary = summarize(reported);
    session.composite = summary.composite;
    session.mean_checksum = summary.mean_checksum;
    for (reporter* out : reporters)
        out->summary(session);

    bool all_verified = true;
    if (options.verify) {
        kernel_reps reps{};
        for (const kernel_outcome& outcome : session.kernels)
            reps[kernel_index(outcome.kernel)] = outcome.runs.front().reps;
        std::array<kernel_result, 5> plain =
            replay_run(settings.sizes, options.kernels, reps, plain_kernels(),
                       progress_watch(progress, "verifying"));
        progress_clear(progress);
        for (kernel_outcome& outcome : session.kernels) {
            double plain_checksum = plain[kernel_index(outcome.kernel)].checksum;
            outcome.plain_checksum = plain_checksum;
            all_verified = all_verified && same_bits(outcome.runs.front().checksum, plain_checksum);
        }
    }
    for (reporter* out : reporters)
        out->finish(session);
    return all_verified ? 0 : 3;
}

} // namespace kalvento
