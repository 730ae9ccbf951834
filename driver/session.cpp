#include "driver/session.h"

#include "driver/copies.h"
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

std::vector<kernel_outcome> selected_outcomes(const kernel_selection& selection)
{
    std::vector<kernel_outcome> outcomes;
    for (kernel_id kernel : RUN_ORDER)
        if (selection[kernel_index(kernel)])
            outcomes.push_back(
                kernel_outcome{kernel, {}, 0.0, 0.0, 0.0, std::nullopt, std::nullopt});
    return outcomes;
}

kernel_outcome& outcome_of(session_outcome& session, kernel_id kernel)
{
    return *std::find_if(session.kernels.begin(), session.kernels.end(),
                         [&](const kernel_outcome& o) { return o.kernel == kernel; });
}

void summarize_session(session_outcome& session, std::span<reporter* const> reporters)
{
    std::vector<measured_kernel> reported;
    for (const kernel_outcome& outcome : session.kernels)
        reported.push_back({outcome.kernel, reported_result(outcome)});
    report_summary summary = summarize(reported);
    session.composite = summary.composite;
    session.mean_checksum = summary.mean_checksum;
    for (reporter* out : reporters)
        out->summary(session);
}

// Recomputes every kernel's reported checksum with the plain kernels, at the reported
// repetition counts; whether all agree.
bool verify_checksums(const run_context& context, session_outcome& session, progress_line& progress)
{
    kernel_reps reps{};
    for (const kernel_outcome& outcome : session.kernels)
        reps[kernel_index(outcome.kernel)] = outcome.runs.front().reps;
    std::array<kernel_result, 5> plain =
        replay_run(context.settings.sizes, context.options.kernels, reps, plain_kernels(),
                   progress_watch(progress, "verifying"));
    progress_clear(progress);
    bool all_verified = true;
    for (kernel_outcome& outcome : session.kernels) {
        double plain_checksum = plain[kernel_index(outcome.kernel)].checksum;
        outcome.plain_checksum = plain_checksum;
        all_verified = all_verified && same_bits(outcome.runs.front().checksum, plain_checksum);
    }
    return all_verified;
}

// The composite and the summary, the plain replay when asked for, and the reporters' endings;
// whether every checksum the replay recomputed agrees.
bool finish_session(const run_context& context, session_outcome& session,
                    std::span<reporter* const> reporters, progress_line& progress)
{
    summarize_session(session, reporters);
    bool all_verified = !context.options.verify || verify_checksums(context, session, progress);
    for (reporter* out : reporters)
        out->finish(session);
    return all_verified;
}

void tell_differing_copies(kernel_id kernel, const copies_outcome& copies)
{
    for (std::size_t copy : copies.differing) {
        const copy_outcome& c = copies.copies[copy];
        std::string cpu = c.cpu >= 0 ? "CPU " + std::to_string(c.cpu) : "no fixed CPU";
        std::fprintf(stderr,
                     "kalvento: copy %zu (%s) computed another %s checksum: %.16e, where the "
                     "other copies computed %.16e\n",
                     copy, cpu.c_str(), kernel_label(kernel), c.result.checksum,
                     copies.common_checksum);
    }
}

// The copies side by side: each kernel line shows the aggregate rate, and a copy whose checksum
// differs makes the exit status 3.
int run_copies_session(const run_context& context, std::span<const kernel_set* const> kernels,
                       std::span<reporter* const> reporters)
{
    const run_settings& settings = context.settings;
    const extended_options& options = context.options;
    for (reporter* out : reporters)
        out->context(context);
    session_outcome session;
    session.kernels = selected_outcomes(options.kernels);

    copies_plan plan;
    plan.sizes = settings.sizes;
    plan.min_seconds = settings.min_seconds;
    plan.selection = options.kernels;
    plan.kernels.assign(kernels.begin(), kernels.end());
    plan.cpus = context.copy_cpus;
    plan.pin = context.copies_pinned;
    std::vector<int> shown_cpus =
        context.copies_pinned ? context.copy_cpus : std::vector<int>(context.copy_cpus.size(), -1);

    progress_line progress;
    progress_open(progress);
    attempt_watch watch = settings.sizes != DEFAULT_SIZES
                              ? progress_watch(progress, "measuring copies")
                              : attempt_watch{};
    run_copies(
        plan,
        [&](const kernel_copies& measured) {
            progress_clear(progress);
            kernel_outcome& outcome = outcome_of(session, measured.kernel);
            copies_outcome copies = summarize_copies(measured, shown_cpus);
            kernel_result shown = measured.copies.front().result;
            shown.mflops = copies.aggregate_mflops;
            shown.seconds = copies.wall_seconds;
            shown.operations = 0.0;
            for (const copy_outcome& c : copies.copies)
                shown.operations += c.result.operations;
            shown.checksum = copies.common_checksum;
            outcome.runs = {shown};
            outcome.median_mflops = outcome.min_mflops = outcome.max_mflops = shown.mflops;
            tell_differing_copies(measured.kernel, copies);
            session.all_copies_agree = session.all_copies_agree && copies.differing.empty();
            outcome.copies = std::move(copies);
            for (reporter* out : reporters)
                out->kernel(outcome);
        },
        watch);

    bool all_verified = finish_session(context, session, reporters, progress);
    return all_verified && session.all_copies_agree ? 0 : 3;
}

} // namespace

int run_session(const run_context& context, lagged_rng& shared, const kernel_set& measured_kernels,
                std::span<reporter* const> reporters,
                std::span<const kernel_set* const> copy_kernels)
{
    if (!context.copy_cpus.empty())
        return run_copies_session(context, copy_kernels, reporters);
    const run_settings& settings = context.settings;
    const extended_options& options = context.options;
    for (reporter* out : reporters)
        out->context(context);

    session_outcome session;
    session.kernels = selected_outcomes(options.kernels);

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
                kernel_outcome& outcome = outcome_of(session, kernel);
                outcome.runs.push_back(result);
                if (!last_run)
                    return;
                summarize_rates(outcome);
                for (reporter* out : reporters)
                    out->kernel(outcome);
            },
            watch);
    }

    return finish_session(context, session, reporters, progress) ? 0 : 3;
}

} // namespace kalvento
