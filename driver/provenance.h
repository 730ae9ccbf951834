// What produced the rates: one line on standard error after the report, so that a report
// copied from a terminal can be read correctly (which kernels, which code path, how many
// measurements, and which kernels the doubling could not time for the minimum time).
#pragma once

#include "driver/reporter.h"

#include <cstdio>
#include <string>

namespace kalvento {

// Whether the doubling of `run` stopped at the kernel's limit before reaching `min_seconds`:
// its rate then comes from an attempt shorter than the minimum time.
bool reached_limit(const kernel_descriptor& kernel, const kernel_result& run, double min_seconds);

// True when any measurement of the kernel reached the limit.
bool reached_limit(const kernel_outcome& outcome, double min_seconds);

// The line, without the program's name: "fast kernels, avx512 path; --plain measures the
// reference kernels", and what --repeat, --kernels and the doubling limits changed.
std::string provenance_text(const run_context& context, const session_outcome& session);

struct provenance_reporter final : reporter {
    explicit provenance_reporter(std::FILE* out) : out(out) {}
    void context(const run_context& run) override { settings = run; }
    void kernel(const kernel_outcome&) override {}
    void summary(const session_outcome&) override {}
    void finish(const session_outcome& session) override;

private:
    std::FILE* out;
    run_context settings;
};

} // namespace kalvento
