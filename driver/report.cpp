#include "driver/report.h"

#include "support/failure.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>

namespace kalvento {

namespace {

constexpr char ADDRESS_LEAD[] = "** Kalvento Numeric Benchmark, see ";
constexpr char RESULTS_LEAD[] = "** for details. (Results can be submitted to ";
// Each address line needs at least one space before its closing "**".
static_assert(sizeof ADDRESS_LEAD - 1 + sizeof BENCHMARK_ADDRESS - 1 + 1 + 2 <= BANNER_WIDTH);
static_assert(sizeof RESULTS_LEAD - 1 + sizeof RESULTS_ADDRESS - 1 + 2 + 2 <= BANNER_WIDTH);

// Where the repetition counts start on their lines.
constexpr int REPS_COLUMN = 23;

const char* BANNER_EDGE = "**                                                              **\n";

// text, padded with spaces to leave room for the closing "**", then the "**".
void write_banner_line(std::FILE* out, const char* text)
{
    std::fprintf(out, "%-*s**\n", BANNER_WIDTH - 2, text);
}

} // namespace

void write_banner(std::FILE* out)
{
    char line[256];
    std::fputs(BANNER_EDGE, out);
    std::snprintf(line, sizeof line, "%s%s ", ADDRESS_LEAD, BENCHMARK_ADDRESS);
    write_banner_line(out, line);
    std::snprintf(line, sizeof line, "%s%s) ", RESULTS_LEAD, RESULTS_ADDRESS);
    write_banner_line(out, line);
    std::fputs(BANNER_EDGE, out);
}

void write_settings_line(std::FILE* out, const run_settings& settings)
{
    std::fprintf(out, "Using %10.2f seconds min time per kernel.", settings.min_seconds);
    if (settings.megabytes)
        std::fprintf(out, " Approx. problem size: %d (MB)", *settings.megabytes);
    std::fputs("\n\n", out);
}

void write_kernel_line(std::FILE* out, kernel_id kernel, const problem_sizes& sizes,
                       const kernel_result& result)
{
    const kernel_descriptor& d = describe(kernel);
    std::int32_t shown[2] = {0, 0};
    for (std::size_t i = 0; i < d.sizes.size(); ++i)
        shown[i] = sizes.*d.sizes[i].field;
    // Formats that show fewer sizes ignore the rest.
    std::fprintf(out, d.line_format, result.mflops, shown[0], shown[1]);
}

report_summary summarize(std::span<const measured_kernel> measured)
{
    double rate_sum = 0.0;
    double checksum_sum = 0.0;
    for (const measured_kernel& m : measured) {
        rate_sum += m.result.mflops;
        checksum_sum += m.result.checksum;
    }
    double count = static_cast<double>(measured.size());
    if (measured.empty())
        return {0.0, 0.0};
    return {rate_sum / count, checksum_sum / count};
}

void write_summary(std::FILE* out, const session_outcome& session)
{
    std::fputs("\n************************************\n", out);
    std::fprintf(out, "Composite Score:       %8.2f\n", session.composite);
    std::fputs("************************************\n\n", out);
    for (const kernel_outcome& outcome : session.kernels)
        std::fprintf(out, "%-*s%" PRId64 "\n", REPS_COLUMN, describe(outcome.kernel).reps_label,
                     outcome.runs.front().reps);
    std::fprintf(out, "\nchecksum:              %20.16e\n", session.mean_checksum);
}

void write_copies(std::FILE* out, const session_outcome& session)
{
    constexpr int RATE_WIDTH = 15;
    const copies_outcome* first = nullptr;
    for (const kernel_outcome& outcome : session.kernels)
        if (outcome.copies && !first)
            first = &*outcome.copies;
    if (!first)
        return;
    auto row = [&](const std::string& label, auto&& value, int decimals = 2) {
        std::fprintf(out, "%-*s", REPS_COLUMN, label.c_str());
        for (const kernel_outcome& outcome : session.kernels)
            std::fprintf(out, "%*.*f", RATE_WIDTH, decimals, value(*outcome.copies));
        std::fputc('\n', out);
    };
    std::fprintf(out, "\n%-*s%zu\n", REPS_COLUMN, "Copies side by side:", first->copies.size());
    std::fprintf(out, "%-*s", REPS_COLUMN, "Mflops");
    for (const kernel_outcome& outcome : session.kernels)
        std::fprintf(out, "%*s", RATE_WIDTH, kernel_label(outcome.kernel));
    std::fputc('\n', out);
    for (std::size_t copy = 0; copy < first->copies.size(); ++copy) {
        int cpu = first->copies[copy].cpu;
        std::string label = "Copy " + std::to_string(copy) +
                            (cpu >= 0 ? " (CPU " + std::to_string(cpu) + ")" : " (unpinned)");
        row(label, [&](const copies_outcome& c) { return c.copies[copy].result.mflops; });
    }
    row("Copy minimum", [](const copies_outcome& c) { return c.min_mflops; });
    row("Copy median", [](const copies_outcome& c) { return c.median_mflops; });
    row("Copy maximum", [](const copies_outcome& c) { return c.max_mflops; });
    row("One copy alone", [](const copies_outcome& c) { return c.alone_mflops; });
    row(
        "Scaling efficiency", [](const copies_outcome& c) { return c.scaling_efficiency; }, 3);
    if (session.all_copies_agree) {
        std::fprintf(out, "%-*sall %zu copies agree\n", REPS_COLUMN,
                     "Checksums:", first->copies.size());
        return;
    }
    std::fprintf(out, "%-*sDIFFER\n", REPS_COLUMN, "Checksums:");
    for (const kernel_outcome& outcome : session.kernels)
        for (std::size_t copy : outcome.copies->differing) {
            const copy_outcome& c = outcome.copies->copies[copy];
            std::string cpu = c.cpu >= 0 ? "CPU " + std::to_string(c.cpu) : "unpinned";
            std::fprintf(out, "%-15s copy %zu (%s) %.16e, the others %.16e\n",
                         kernel_label(outcome.kernel), copy, cpu.c_str(), c.result.checksum,
                         outcome.copies->common_checksum);
        }
}

void write_verification(std::FILE* out, kernel_id kernel, double measured_checksum,
                        double plain_checksum)
{
    if (same_bits(measured_checksum, plain_checksum))
        std::fprintf(out, "%-15s verified\n", kernel_label(kernel));
    else
        std::fprintf(out, "%-15s DIFFERS: fast %.16e, plain %.16e\n", kernel_label(kernel),
                     measured_checksum, plain_checksum);
}

void flush_report(std::FILE* out)
{
    if (std::fflush(out) != 0 || std::ferror(out))
        fail("cannot write the report: %s", std::strerror(errno));
}

void classic_reporter::context(const run_context& context)
{
    sizes = context.settings.sizes;
    verify = context.options.verify;
    write_banner(out);
    write_settings_line(out, context.settings);
    flush_report(out);
}

void classic_reporter::kernel(const kernel_outcome& outcome)
{
    write_kernel_line(out, outcome.kernel, sizes, reported_result(outcome));
    flush_report(out);
}

void classic_reporter::summary(const session_outcome& session)
{
    write_summary(out, session);
    write_copies(out, session);
    flush_report(out);
}

void classic_reporter::finish(const session_outcome& session)
{
    if (!verify)
        return;
    std::fputs("\n", out);
    for (const kernel_outcome& outcome : session.kernels)
        write_verification(out, outcome.kernel, outcome.runs.front().checksum,
                           outcome.plain_checksum.value_or(0.0));
    flush_report(out);
}

} // namespace kalvento
