#include "driver/json_report.h"

#include "driver/file_output.h"
#include "driver/provenance.h"
#include "driver/report.h"
#include "support/cpu_timer.h"

#include <nlohmann/json.hpp>

namespace kalvento {

using json = nlohmann::ordered_json;

std::string checksum_text(double checksum)
{
    char text[40];
    std::snprintf(text, sizeof text, "%.16e", checksum);
    return text;
}

namespace {

json kernel_sizes(kernel_id kernel, const problem_sizes& sizes)
{
    json shown = json::object();
    for (const shown_size& size : describe(kernel).sizes)
        shown[size.json_name] = sizes.*size.field;
    return shown;
}

json run_entry(const kernel_result& run)
{
    return {{"mflops", run.mflops},     {"reps", run.reps},
            {"seconds", run.seconds},   {"operations", run.operations},
            {"checksum", run.checksum}, {"checksum_text", checksum_text(run.checksum)}};
}

json cpu_of(const copy_outcome& copy)
{
    return copy.cpu >= 0 ? json(copy.cpu) : json(nullptr);
}

void add_copies(json& entry, const copies_outcome& copies)
{
    entry["aggregate_mflops"] = copies.aggregate_mflops;
    json each = json::array();
    for (const copy_outcome& copy : copies.copies)
        each.push_back({{"copy", copy.copy},
                        {"cpu", cpu_of(copy)},
                        {"mflops", copy.result.mflops},
                        {"reps", copy.result.reps},
                        {"seconds", copy.result.seconds},
                        {"checksum", copy.result.checksum},
                        {"checksum_text", checksum_text(copy.result.checksum)}});
    entry["copies"] = each;
    entry["copy_min_mflops"] = copies.min_mflops;
    entry["copy_median_mflops"] = copies.median_mflops;
    entry["copy_max_mflops"] = copies.max_mflops;
    entry["alone_mflops"] = copies.alone_mflops;
    entry["scaling_efficiency"] = copies.scaling_efficiency;
    json differing = json::array();
    for (std::size_t i : copies.differing) {
        const copy_outcome& copy = copies.copies[i];
        differing.push_back({{"copy", copy.copy},
                             {"cpu", cpu_of(copy)},
                             {"checksum", copy.result.checksum},
                             {"checksum_text", checksum_text(copy.result.checksum)},
                             {"common_checksum", copies.common_checksum},
                             {"common_checksum_text", checksum_text(copies.common_checksum)}});
    }
    entry["differing_copies"] = differing;
}

json context_of(const system_info& system, const std::string& timestamp, const run_context& run)
{
    const run_settings& settings = run.settings;
    const extended_options& options = run.options;
    json kernels = json::array();
    for (kernel_id kernel : RUN_ORDER)
        if (options.kernels[kernel_index(kernel)])
            kernels.push_back(kernel_name(kernel));
    const problem_sizes& s = settings.sizes;
    return {
        {"program", "kalvento"},
        {"version", system.version},
        {"compiler", system.compiler},
        {"build_flags", system.build_flags},
        {"code_path", system.code_path},
        {"cpu_model", system.cpu_model},
        {"logical_cores", system.logical_cores},
        {"cache_bytes",
         {{"l1d", system.l1d_bytes}, {"l2", system.l2_bytes}, {"l3", system.l3_bytes}}},
        {"clock_resolution_seconds", system.clock_resolution_seconds},
        {"clock", system.clock},
        {"clock_step_seconds",
         system.clock_step_seconds > 0.0 ? json(system.clock_step_seconds) : json(nullptr)},
        {"code_path_flags", code_path_flags(system.code_path)},
        {"date", timestamp},
        {"command_line", run.command_line},
        {"sizes",
         {{"fft_points", s.fft_points},
          {"grid_size", s.grid_size},
          {"sparse_rows", s.sparse_rows},
          {"sparse_nonzeros", s.sparse_nonzeros}}},
        {"min_seconds", settings.min_seconds},
        {"megabytes", settings.megabytes ? json(*settings.megabytes) : json(nullptr)},
        {"kernels", kernels},
        {"repeat", options.repeat},
        {"warnings", run.warnings},
    };
}

} // namespace

void write_json_report(std::FILE* out, const system_info& system, const std::string& timestamp,
                       const run_context& run, const session_outcome& session)
{
    const extended_options& options = run.options;
    json document;
    document["schema_version"] = JSON_SCHEMA_VERSION;
    document["context"] = context_of(system, timestamp, run);
    json kernels = json::array();
    bool all_verified = true;
    for (const kernel_outcome& outcome : session.kernels) {
        const kernel_result& first = outcome.runs.front();
        json entry = {{"name", kernel_name(outcome.kernel)},
                      {"label", kernel_label(outcome.kernel)},
                      {"sizes", kernel_sizes(outcome.kernel, run.settings.sizes)}};
        entry.update(run_entry(first));
        entry["mflops"] = outcome.median_mflops; // the first run's own rate is in "runs"
        entry["reached_limit"] = reached_limit(outcome, run.settings.min_seconds);
        if (options.repeat > 1) {
            json runs = json::array();
            for (const kernel_result& run : outcome.runs)
                runs.push_back(run_entry(run));
            entry["runs"] = runs;
            entry["median_mflops"] = outcome.median_mflops;
            entry["min_mflops"] = outcome.min_mflops;
            entry["max_mflops"] = outcome.max_mflops;
        }
        if (outcome.copies)
            add_copies(entry, *outcome.copies);
        if (outcome.plain_checksum) {
            bool verified = same_bits(first.checksum, *outcome.plain_checksum);
            all_verified = all_verified && verified;
            entry["verification"] = {
                {"verified", verified},
                {"plain_checksum", *outcome.plain_checksum},
                {"plain_checksum_text", checksum_text(*outcome.plain_checksum)}};
        }
        kernels.push_back(entry);
    }
    document["kernels"] = kernels;
    document["composite_score"] = session.composite;
    document["mean_checksum"] = session.mean_checksum;
    document["mean_checksum_text"] = checksum_text(session.mean_checksum);
    if (options.verify)
        document["verified"] = all_verified;
    if (!run.copy_cpus.empty()) {
        document["copies"] = run.copy_cpus.size();
        document["all_copies_agree"] = session.all_copies_agree;
    }
    std::string text = document.dump(2, ' ', false, json::error_handler_t::replace);
    std::fputs(text.c_str(), out);
    std::fputc('\n', out);
}

void write_json_document(std::FILE* out, const run_context& run, const session_outcome& session)
{
    system_info system = read_system_info();
    system.code_path = run.code_path;
    system.clock_step_seconds = cpu_clock_step_seconds();
    write_json_report(out, system, utc_timestamp(), run, session);
}

void json_reporter::finish(const session_outcome& session)
{
    write_json_document(out, run, session);
    flush_report(out);
}

void json_file_reporter::context(const run_context& context)
{
    check_file_writable(path);
    run = context;
}

void json_file_reporter::finish(const session_outcome& session)
{
    write_whole_file(path, [&](std::FILE* out) { write_json_document(out, run, session); });
}

} // namespace kalvento
