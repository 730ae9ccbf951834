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
