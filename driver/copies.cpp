#include "driver/copies.h"

#include "driver/session.h"
#include "support/cpu_timer.h"
#include "support/failure.h"
#include "support/thread_barrier.h"
#include "support/thread_platform.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

namespace kalvento {

copy_placement place_copies(const extended_options& options, std::span<const int> allowed)
{
    copy_placement placement;
    if (options.copies == 0 && options.cpus.empty())
        return placement;
    std::string usable = "this process may run on " + std::to_string(allowed.size()) +
                         (allowed.size() == 1 ? " CPU (" : " CPUs (") + cpu_list_text(allowed) +
                         ")";
    if (!options.cpus.empty()) {
        for (int cpu : options.cpus)
            if (!std::binary_search(allowed.begin(), allowed.end(), cpu)) {
                placement.error = "--cpus names CPU " + std::to_string(cpu) + ", but " + usable;
                return placement;
            }
        placement.cpus = options.cpus;
        return placement;
    }
    std::size_t count =
        options.copies == ALL_COPIES ? allowed.size() : static_cast<std::size_t>(options.copies);
    if (count > allowed.size()) {
        placement.error = "--copies=" + std::to_string(options.copies) +
                          " needs a CPU for every copy, but " + usable;
        return placement;
    }
    placement.cpus.assign(allowed.begin(), allowed.begin() + static_cast<std::ptrdiff_t>(count));
    return placement;
}

std::string cpu_list_text(std::span<const int> cpus)
{
    std::string text;
    for (std::size_t i = 0; i < cpus.size();) {
        std::size_t j = i;
        while (j + 1 < cpus.size() && cpus[j + 1] == cpus[j] + 1)
            ++j;
        if (!text.empty())
            text += ',';
        text += std::to_string(cpus[i]);
        if (j > i) {
            text += j == i + 1 ? ',' : '-';
            text += std::to_string(cpus[j]);
        }
        i = j + 1;
    }
    return text;
}

namespace {

using wall_clock = std::chrono::steady_clock;

struct side_by_side;

// Run by the last copy to finish an attempt, before any copy goes on: the doubling ends when
// every copy's attempt has reached the minimum time (or a copy failed and left).
struct joint_verdict {
    side_by_side* run;
    void operator()() noexcept;
};

enum class phase { alone, together, quit };

struct copy_slot {
    std::size_t copy = 0;
    copy_run run;
    bool done = false; // the latest attempt reached the minimum time by itself
    std::exception_ptr error;
};

struct side_by_side {
    const copies_plan& plan;
    const attempt_watch& watch;
    wall_clock::time_point origin = wall_clock::now();
    std::vector<copy_slot> slots;
    copy_run alone;
    std::atomic<bool> failed{false};
    bool all_done = false; // written by joint_verdict, read after the barrier
    thread_barrier<> start;
    thread_barrier<joint_verdict> finish;

    // The command the copies carry out next, and how many have carried it out.
    std::mutex lock;
    std::condition_variable commanded;
    std::condition_variable acknowledged;
    std::uint64_t generation = 0;
    phase current = phase::quit;
    std::size_t kernel = 0;
    std::size_t carried_out = 0;

    side_by_side(const copies_plan& plan, const attempt_watch& watch)
        : plan(plan), watch(watch), slots(plan.cpus.size()),
          start(static_cast<std::ptrdiff_t>(plan.cpus.size())),
          finish(static_cast<std::ptrdiff_t>(plan.cpus.size()), joint_verdict{this})
    {
        for (std::size_t i = 0; i < slots.size(); ++i)
            slots[i].copy = i;
    }

    double since_origin() const
    {
        return std::chrono::duration<double>(wall_clock::now() - origin).count();
    }
};

void joint_verdict::operator()() noexcept
{
    bool done = true;
    for (const copy_slot& slot : run->slots)
        done = done && (slot.done || slot.error);
    run->all_done = done || run->failed.load();
}

calibration alone_plan(side_by_side& run, kernel_id kernel)
{
    calibration plan{run.plan.min_seconds, 0};
    plan.before_attempt = [&run, kernel](std::int64_t batch) {
        if (run.watch)
            run.watch(kernel, batch, 0);
        run.alone.started = run.since_origin();
    };
    plan.after_attempt = [&run](std::int64_t, double, bool done) {
        run.alone.finished = run.since_origin();
        return done;
    };
    return plan;
}

calibration together_plan(side_by_side& run, copy_slot& slot, kernel_id kernel)
{
    calibration plan{run.plan.min_seconds, 0};
    plan.before_attempt = [&run, &slot, kernel](std::int64_t batch) {
        if (slot.copy == 0 && run.watch)
            run.watch(kernel, batch, 0);
        run.start.arrive_and_wait();
        slot.run.started = run.since_origin();
    };
    plan.after_attempt = [&run, &slot](std::int64_t, double, bool done) {
        slot.run.finished = run.since_origin();
        slot.done = done;
        run.finish.arrive_and_wait();
        return run.all_done;
    };
    return plan;
}

void carry_out(side_by_side& run, copy_slot& slot, lagged_rng& shared, phase what, std::size_t k)
{
    const kernel_descriptor& kernel = kernel_table()[k];
    const kernel_set& kernels = *run.plan.kernels[slot.copy];
    if (what == phase::alone) {
        if (slot.copy != 0)
            return;
        lagged_rng own = shared; // the copy's stream moves on only when the copies run together
        run.alone = copy_run{};
        run_kernel(kernel, run.plan.sizes, alone_plan(run, kernel.id), true, own, kernels,
                   run.alone.result);
        run.alone.cpu_seen = current_cpu();
        return;
    }
    slot.run = copy_run{};
    slot.done = false;
    run_kernel(kernel, run.plan.sizes, together_plan(run, slot, kernel.id), run.plan.selection[k],
               shared, kernels, slot.run.result);
    slot.run.cpu_seen = current_cpu();
}

void copy_thread(side_by_side& run, copy_slot& slot)
{
    lagged_rng shared;
    auto failed = [&] {
        slot.error = std::current_exception();
        run.failed = true;
        // Leaving both barriers counts as arriving at the phase each awaits from this copy.
        run.start.arrive_and_drop();
        run.finish.arrive_and_drop();
    };
    try {
        cpu_clock_per_thread();
        if (run.plan.pin) {
            int cpu = run.plan.cpus[slot.copy];
            std::string why = pin_this_thread(cpu);
            if (!why.empty())
                fail("cannot pin copy %zu to CPU %d: %s", slot.copy, cpu, why.c_str());
        }
        lagged_rng_seed(shared, MAIN_SEED);
    } catch (...) {
        failed();
    }
    std::uint64_t seen = 0;
    for (;;) {
        phase what;
        std::size_t k;
        {
            std::unique_lock<std::mutex> hold(run.lock);
            run.commanded.wait(hold, [&] { return run.generation != seen; });
            seen = run.generation;
            what = run.current;
            k = run.kernel;
        }
        if (what == phase::quit)
            return;
        if (!slot.error) {
            try {
                carry_out(run, slot, shared, what, k);
            } catch (...) {
                failed();
            }
        }
        std::lock_guard<std::mutex> hold(run.lock);
        if (++run.carried_out == run.slots.size())
            run.acknowledged.notify_one();
    }
}

// The copies' threads, told to quit and joined however the run ends.
struct crew {
    side_by_side& run;
    std::vector<std::thread> threads;

    explicit crew(side_by_side& run) : run(run)
    {
        threads.reserve(run.slots.size());
        try {
            for (copy_slot& slot : run.slots)
                threads.emplace_back(copy_thread, std::ref(run), std::ref(slot));
        } catch (...) {
            stop();
            throw;
        }
    }
    ~crew() { stop(); }

    // The threads started so far carry out `what`; the others never existed.
    void command(phase what, std::size_t k)
    {
        std::unique_lock<std::mutex> hold(run.lock);
        run.current = what;
        run.kernel = k;
        run.carried_out = 0;
        ++run.generation;
        run.commanded.notify_all();
        if (what != phase::quit)
            run.acknowledged.wait(hold, [&] { return run.carried_out == threads.size(); });
    }

    void stop()
    {
        command(phase::quit, 0);
        for (std::thread& thread : threads)
            thread.join();
        threads.clear();
    }

    void rethrow_failure()
    {
        for (copy_slot& slot : run.slots)
            if (slot.error)
                std::rethrow_exception(slot.error);
    }
};

} // namespace

void run_copies(const copies_plan& plan, const std::function<void(const kernel_copies&)>& measured,
                const attempt_watch& watch)
{
    if (plan.cpus.empty() || plan.kernels.size() != plan.cpus.size())
        fail("a run of copies needs one CPU and one kernel set per copy");
    side_by_side run(plan, watch);
    crew copies(run);
    for (const kernel_descriptor& kernel : kernel_table()) {
        std::size_t k = kernel_index(kernel.id);
        bool selected = plan.selection[k];
        if (selected && plan.cpus.size() > 1) {
            copies.command(phase::alone, k);
            copies.rethrow_failure();
        }
        copies.command(phase::together, k);
        copies.rethrow_failure();
        if (!selected)
            continue;
        kernel_copies result{kernel.id, {}, {}};
        for (const copy_slot& slot : run.slots)
            result.copies.push_back(slot.run);
        result.alone = plan.cpus.size() > 1 ? run.alone : result.copies.front();
        measured(result);
    }
}

copies_outcome summarize_copies(const kernel_copies& measured, std::span<const int> shown_cpus)
{
    copies_outcome outcome;
    double operations = 0.0;
    double first_start = measured.copies.front().started;
    double last_finish = measured.copies.front().finished;
    std::vector<double> rates;
    for (std::size_t i = 0; i < measured.copies.size(); ++i) {
        const copy_run& run = measured.copies[i];
        outcome.copies.push_back({i, shown_cpus[i], run.result});
        operations += run.result.operations;
        first_start = std::min(first_start, run.started);
        last_finish = std::max(last_finish, run.finished);
        rates.push_back(run.result.mflops);
    }
    outcome.wall_seconds = last_finish - first_start;
    outcome.aggregate_mflops = rate_mflops(operations, outcome.wall_seconds);
    outcome.min_mflops = *std::min_element(rates.begin(), rates.end());
    outcome.max_mflops = *std::max_element(rates.begin(), rates.end());
    outcome.median_mflops = median(rates);
    const copy_run& alone = measured.alone;
    outcome.alone_mflops = rate_mflops(alone.result.operations, alone.finished - alone.started);
    double copies = static_cast<double>(measured.copies.size());
    outcome.scaling_efficiency = outcome.alone_mflops > 0.0
                                     ? outcome.aggregate_mflops / (copies * outcome.alone_mflops)
                                     : 0.0;

    // The common checksum is the one most copies computed; the lowest copy breaks a tie.
    std::size_t best = 0, best_count = 0;
    for (std::size_t i = 0; i < measured.copies.size(); ++i) {
        std::size_t count = 0;
        for (const copy_run& other : measured.copies)
            count += same_bits(other.result.checksum, measured.copies[i].result.checksum);
        if (count > best_count) {
            best = i;
            best_count = count;
        }
    }
    outcome.common_checksum = measured.copies[best].result.checksum;
    for (std::size_t i = 0; i < measured.copies.size(); ++i)
        if (!same_bits(measured.copies[i].result.checksum, outcome.common_checksum))
            outcome.differing.push_back(i);
    return outcome;
}

} // namespace kalvento
