// The --json document: the context of the run, one entry per kernel, the composite score and the
// mean checksum. Its layout is kept stable; schema_version changes when it does not stay
// compatible.
#pragma once

#include "driver/reporter.h"
#include "driver/system_info.h"

#include <cstdio>
#include <string>
#include <vector>

namespace kalvento {

inline constexpr int JSON_SCHEMA_VERSION = 1;

void write_json_report(std::FILE* out, const system_info& system, const std::string& timestamp,
                       const run_context& context, const session_outcome& session);

// The JSON document, written whole when the run has ended.
struct json_reporter final : reporter {
    explicit json_reporter(std::FILE* out) : out(out) {}
    void context(const run_context& context) override { run = context; }
    void kernel(const kernel_outcome&) override {}
    void summary(const session_outcome&) override {}
    void finish(const session_outcome& session) override;

private:
    std::FILE* out;
    run_context run;
};

// A checksum as the classic report prints it: 17 significant digits.
std::string checksum_text(double checksum);

} // namespace kalvento
