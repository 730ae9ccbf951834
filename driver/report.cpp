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
    switch (kernel) {
    case kernel_id::fft:
        std::fprintf(out, "FFT             Mflops: %8.2f    (N=%d) \n", result.mflops,
                     sizes.fft_points);
        break;
    case kernel_id::sor:
        std::fprintf(out, "SOR             Mflops: %8.2f    (%d x %d) \n", result.mflops,
                     sizes.grid_size, sizes.grid_size);
        break;
    case kernel_id::monte_carlo:
        std::fprintf(out, "MonteCarlo:     Mflops: %8.2f  \n", result.mflops);
        break;
    case kernel_id::sparse:
        std::fprintf(out, "Sparse matmult  Mflops: %8.2f    (N=%d, nz=%d)  \n", result.mflops,
                     sizes.sparse_rows, sizes.sparse_nonzeros);
        break;
    case kernel_id::lu:
        std::fprintf(out, "LU              Mflops: %8.2f    (M=%d, N=%d) \n", result.mflops,
                     sizes.grid_size, sizes.grid_size);
        break;
    }
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

void write_summary(std::FILE* out, std::span<const measured_kernel> measured)
{
    report_summary summary = summarize(measured);
    std::fputs("\n************************************\n", out);
    std::fprintf(out, "Composite Score:       %8.2f\n", summary.composite);
    std::fputs("************************************\n\n", out);
    for (const measured_kernel& m : measured) {
        const char* label = "";
        switch (m.kernel) {
        case kernel_id::fft:
            label = "FFT reps:              ";
            break;
        case kernel_id::sor:
            label = "SOR reps:              ";
            break;
        case kernel_id::monte_carlo:
            label = "Montel Carlo reps:     ";
            break;
        case kernel_id::sparse:
            label = "Sparse MatMult repss:  ";
            break;
        case kernel_id::lu:
            label = "LU reps:               ";
            break;
        }
        std::fprintf(out, "%s%" PRId64 "\n", label, m.result.reps);
    }
    std::fprintf(out, "\nchecksum:              %20.16e\n", summary.mean_checksum);
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

} // namespace kalvento
