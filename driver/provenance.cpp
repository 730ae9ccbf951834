#include "driver/provenance.h"

#include <bit>
#include <cstdio>

namespace kalvento {

bool reached_limit(const kernel_descriptor& kernel, const kernel_result& run, double min_seconds)
{
    return run.reps >= kernel.largest_reps && run.seconds < min_seconds;
}

bool reached_limit(const kernel_outcome& outcome, double min_seconds)
{
    for (const kernel_result& run : outcome.runs)
        if (reached_limit(describe(outcome.kernel), run, min_seconds))
            return true;
    return false;
}

namespace {

// "a", "a and b", "a, b and c".
std::string listed(const std::vector<std::string>& items)
{
    std::string text;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0)
            text += i + 1 == items.size() ? " and " : ", ";
        text += items[i];
    }
    return text;
}

std::string power_of_two(std::int64_t value)
{
    return "2^" + std::to_string(std::countr_zero(static_cast<std::uint64_t>(value)));
}

} // namespace

std::string provenance_text(const run_context& context, const session_outcome& session)
{
    std::string text = context.options.plain ? std::string("plain reference kernels")
                                             : "fast kernels, " + context.code_path +
                                                   " path; --plain measures the reference kernels";
    if (context.options.repeat > 1)
        text += "; each rate is the median of " + std::to_string(context.options.repeat) + " runs";
    if (session.kernels.size() < RUN_ORDER.size()) {
        std::vector<std::string> names;
        for (const kernel_outcome& outcome : session.kernels)
            names.push_back(kernel_label(outcome.kernel));
        text += "; only " + listed(names) + " ran, and the composite is the mean of " +
                (names.size() == 1 ? "that kernel" : "those kernels") + " only";
    }
    std::vector<std::string> limited;
    for (const kernel_outcome& outcome : session.kernels)
        if (reached_limit(outcome, context.settings.min_seconds))
            limited.push_back(std::string(kernel_label(outcome.kernel)) + " (" +
                              power_of_two(describe(outcome.kernel).largest_reps) +
                              " repetitions)");
    if (!limited.empty()) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.2f", context.settings.min_seconds);
        text += "; the doubling stopped at its limit before " + std::string(seconds) +
                " seconds for " + listed(limited);
    }
    return text;
}

void provenance_reporter::finish(const session_outcome& session)
{
    std::fprintf(out, "kalvento: %s\n", provenance_text(settings, session).c_str());
    std::fflush(out);
}

} // namespace kalvento
