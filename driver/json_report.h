// The --json document: the context of the run, one entry per kernel, the composite score and the
// mean checksum. Its layout is kept stable; schema_version changes when it does not stay
// compatible.
#pragma once

#include "driver/reporter.h"
#include "driver/system_info.h"

#include <cstdio>
#include <string>
#include <utility>
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

// The document of a run that has ended, with what this machine and build say about themselves.
void write_json_document(std::FILE* out, const run_context& run, const session_outcome& session);

// The JSON document written whole to a file (--export-json) beside another report. A file that
// cannot be created is found before the first kernel runs.
struct json_file_reporter final : reporter {
    explicit json_file_reporter(std::string path) : path(std::move(path)) {}
    void context(const run_context& context) override;
    void kernel(const kernel_outcome&) override {}
    void summary(const session_outcome&) override {}
    void finish(const session_outcome& session) override;

private:
    std::string path;
    run_context run;
};

// A checksum as the classic report prints it: 17 significant digits.
std::string checksum_text(double checksum);

} // namespace kalvento
