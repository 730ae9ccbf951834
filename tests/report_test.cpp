// The whole report of the real program, with the machine-dependent digits masked, and one whole
// run's checksum pinned for known repetition counts.

#include "driver/report.h"
#include "driver/run.h"
#include "program_runner.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <regex>

using namespace kalvento;
using namespace kalvento::testing;

namespace {

// A template line: "{rate}" stands for a %8.2f rate, "{reps}" for a repetition count,
// "{checksum}" for a %20.16e value; everything else is literal.
std::string pattern_of(const std::string& line)
{
    static const std::regex special(R"([.*+?^${}()|\[\]\\])");
    std::string escaped = std::regex_replace(line, special, R"(\$&)");
    auto replace = [&](const std::string& from, const std::string& to) {
        for (std::size_t at; (at = escaped.find(from)) != std::string::npos;)
            escaped.replace(at, from.size(), to);
    };
    replace(R"(\{rate\})", R"([ 0-9]{4,}[0-9]\.[0-9]{2})");
    replace(R"(\{reps\})", R"([1-9][0-9]*)");
    replace(R"(\{checksum\})", R"(-?[0-9]\.[0-9]{16}e[+-][0-9]{2,3})");
    return escaped;
}

void expect_report(const std::string& out, const std::vector<std::string>& expected)
{
    std::vector<std::string> lines = lines_of(out);
    ASSERT_EQ(lines.size(), expected.size()) << out;
    ASSERT_EQ(out.back(), '\n');
    for (std::size_t i = 0; i < lines.size(); ++i)
        EXPECT_TRUE(std::regex_match(lines[i], std::regex(pattern_of(expected[i]))))
            << "line " << i + 1 << ": \"" << lines[i] << "\" against \"" << expected[i] << "\"";
    for (std::size_t i = 16; i < 21; ++i) {
        std::uint64_t reps = std::stoull(lines[i].substr(23));
        EXPECT_EQ(reps & (reps - 1), 0u) << lines[i];
    }
}

std::vector<std::string> report_template(const std::string& settings, const std::string& fft,
                                         const std::string& grid, const std::string& sparse)
{
    return {
        "**                                                              **",
        "** Kalvento Numeric Benchmark, see https://example.org/kalvento **",
        "** for details. (Results can be submitted to bench@example.org) **",
        "**                                                              **",
        settings,
        "",
        "FFT             Mflops: {rate}    (N=" + fft + ") ",
        "SOR             Mflops: {rate}    (" + grid + " x " + grid + ") ",
        "MonteCarlo:     Mflops: {rate}  ",
        "Sparse matmult  Mflops: {rate}    (" + sparse + ")  ",
        "LU              Mflops: {rate}    (M=" + grid + ", N=" + grid + ") ",
        "",
        "************************************",
        "Composite Score:       {rate}",
        "************************************",
        "",
        "FFT reps:              {reps}",
        "SOR reps:              {reps}",
        "Montel Carlo reps:     {reps}",
        "Sparse MatMult repss:  {reps}",
        "LU reps:               {reps}",
        "",
        "checksum:              {checksum}",
    };
}

} // namespace

TEST(Report, DefaultSizes)
{
    program_output run = run_kalvento({"0.01"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(lines_of(run.err).size(), 1u) << "only what produced the rates: " << run.err;
    expect_report(run.out, report_template("Using       0.01 seconds min time per kernel.", "1024",
                                           "100", "N=1000, nz=5000"));
}

TEST(Report, HugeBudgetEchoesTheCount)
{
    program_output run = run_kalvento({"-huge", "1", "0.01"});
    EXPECT_EQ(run.status, 0);
    expect_report(run.out,
                  report_template("Using       0.01 seconds min time per kernel. Approx. problem "
                                  "size: 1 (MB)",
                                  "131072", "362", "N=16384, nz=131072"));
}

TEST(Report, LargeSizes)
{
    program_output run = run_kalvento({"-large", "0.01"});
    EXPECT_EQ(run.status, 0);
    expect_report(run.out, report_template("Using       0.01 seconds min time per kernel.",
                                           "1048576", "1000", "N=100000, nz=1000000"));
}

TEST(Report, EmptySizesCompleteWithZeroRates)
{
    program_output run = run_kalvento({"-huge", "0", "0.01"});
    EXPECT_EQ(run.status, 0);
    expect_report(run.out,
                  report_template("Using       0.01 seconds min time per kernel. Approx. problem "
                                  "size: 0 (MB)",
                                  "1", "0", "N=0, nz=0"));
    std::vector<std::string> lines = lines_of(run.out);
    for (int i : {6, 7, 9, 10})
        EXPECT_NE(lines[i].find("Mflops:     0.00"), std::string::npos) << lines[i];
    EXPECT_EQ(run.out.find("nan"), std::string::npos);
}

TEST(Report, ArgumentsNotReadAsWrittenAreNamedOnStandardErrorFirst)
{
    // The report is that of the arguments as read; the note says what they were read as.
    program_output run = run_kalvento({"0.01", "-large"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(
        run.err.rfind("kalvento: '-large' is ignored: only the first argument can be an option\n"
                      "kalvento: fast kernels, ",
                      0),
        0u)
        << run.err;
    expect_report(run.out, report_template("Using       0.01 seconds min time per kernel.", "1024",
                                           "100", "N=1000, nz=5000"));

    // The note comes before the first kernel: a run of 100 seconds per kernel has named it
    // long before its first kernel ends.
    program_output stopped = run_kalvento({"100ms"}, "timeout 2");
    EXPECT_EQ(stopped.status, 124);
    EXPECT_EQ(stopped.err, "kalvento: minimum time '100ms' read only in part, as 100 seconds\n");
    EXPECT_EQ(lines_of(stopped.out).size(), 6u);
}

TEST(Report, HelpGoesToStandardErrorOnly)
{
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-h"}, {"-help"}, {"-help", "-large", "3"}}) {
        program_output run = run_kalvento(args);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "Usage: [-large | -huge #MB] [minimum_time]\n");
    }
}

// The checksum is fixed by the sizes and the repetition counts alone: a run of the default sizes
// whose calibrations end at these counts prints exactly this checksum. The values were computed
// once with the plain kernels, and each is plausible on its own: the FFT's round trips and LU
// (whose data is restored every repetition) give the values of any count, the SOR grid's mean
// stays near 0.5, Monte Carlo sums 21 estimates of pi (the first four exactly 4), and the sparse
// product of about 1.25 per row accumulates over 1 + 2 + ... + 256 = 511 repetitions.
TEST(Run, WholeRunChecksumAtKnownCounts)
{
    const kernel_reps reps{64, 128, 1 << 20, 256, 16};
    const double expected[] = {5.0245613604170747e-01, 5.0697735431741497e-01,
                               7.0477542877197266e+01, 5.2886845773580183e+02,
                               2.2238646928983972e+00};
    std::array<kernel_result, 5> results =
        replay_run(DEFAULT_SIZES, ALL_KERNELS, reps, plain_kernels());
    std::vector<measured_kernel> measured;
    for (kernel_id kernel : RUN_ORDER) {
        const kernel_result& r = results[kernel_index(kernel)];
        EXPECT_EQ(r.reps, reps[kernel_index(kernel)]) << kernel_name(kernel);
        EXPECT_EQ(r.checksum, expected[kernel_index(kernel)]) << kernel_name(kernel);
        measured.push_back({kernel, r});
    }
    EXPECT_EQ(summarize(measured).mean_checksum, 1.2051585975925131e+02);
}
