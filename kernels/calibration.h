// The calibrated measurement shared by all kernels.
//
// A kernel's unit of work is repeated in timed attempts of 1, 2, 4, ... units until one attempt
// takes at least the minimum processor time; the rate comes from that attempt alone. The data is
// set up once and never restored, so each attempt continues from what the earlier ones left and
// the checksums depend on the final repetition count.
#pragma once

#include "support/cpu_timer.h"

#include <cstdint>
#include <functional>
#include <limits>

namespace kalvento {

struct kernel_result {
    double mflops = 0.0;     // rate of the successful attempt
    double checksum = 0.0;   // of the data as all attempts left it
    std::int64_t reps = 0;   // batch_size of the successful attempt, a power of two
    double seconds = 0.0;    // processor time of the successful attempt
    double operations = 0.0; // operations credited to the successful attempt
};

// When the doubling ends. A timed plan ends at the first attempt of at least min_seconds; a
// replay runs the attempts 1, 2, 4, ... up to a known repetition count whatever they take, which
// recomputes the data a timed run left without caring about its clock.
struct calibration {
    double min_seconds = 2.0;
    std::int64_t replay_reps = 0; // 0 for a timed plan; otherwise a power of two
    // Called with the batch size before each attempt, outside the timed span (for progress).
    std::function<void(std::int64_t batch_size)> before_attempt;
    // Called after each attempt, outside the timed span, with the attempt's time and whether it
    // ends the doubling by itself; returns whether it does. Copies running side by side decide
    // together here, so that they all end at the same repetition count.
    std::function<bool(std::int64_t batch_size, double seconds, bool done)> after_attempt;

    calibration(double min_seconds_ = 2.0, std::int64_t replay_reps_ = 0)
        : min_seconds(min_seconds_), replay_reps(replay_reps_)
    {}
};

inline calibration single_attempt()
{
    return calibration{0.0, 1};
}

// The largest power of two a doubling counter of type Count holds: 2^30 for 32 bits, 2^62 for 64.
template <class Count>
inline constexpr std::int64_t LARGEST_BATCH =
    std::int64_t{1} << (std::numeric_limits<Count>::digits - 1);

struct final_attempt {
    std::int64_t batch_size;
    double seconds;
};

// The doubling loop. Count is the width of the kernel's batch_size; the doubling stops at the
// largest power of two that Count holds, and that attempt is reported even if it was too short.
template <class Count, class Attempt>
final_attempt calibrate(const calibration& plan, cpu_timer& timer, Attempt&& run_batch)
{
    Count batch_size = 1;
    for (;;) {
        if (plan.before_attempt)
            plan.before_attempt(static_cast<std::int64_t>(batch_size));
        cpu_timer_start(timer);
        run_batch(batch_size);
        cpu_timer_stop(timer);
        double seconds = cpu_timer_read(timer);
        bool done =
            plan.replay_reps > 0 ? batch_size >= plan.replay_reps : seconds >= plan.min_seconds;
        if (plan.after_attempt)
            done = plan.after_attempt(static_cast<std::int64_t>(batch_size), seconds, done);
        if (done || batch_size == LARGEST_BATCH<Count>)
            return {batch_size, cpu_timer_read(timer)};
        batch_size *= 2;
    }
}

// Millions of operations per second, the division first. An attempt that read no time at all
// (only possible when the doubling hit its limit or no work was timed) reports 0.
inline double rate_mflops(double operations, double seconds)
{
    if (!(seconds > 0.0))
        return 0.0;
    return (operations / seconds) * 1.0e-6;
}

} // namespace kalvento
