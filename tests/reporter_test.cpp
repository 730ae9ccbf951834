// The kernel table and the two reporters, fed with known outcomes.

#include "driver/json_report.h"
#include "driver/kernel_table.h"
#include "driver/provenance.h"
#include "driver/report.h"

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>

using namespace kalvento;

namespace {

// Collects what a reporter writes.
struct captured_output {
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* file = open_memstream(&text, &size);
    ~captured_output()
    {
        if (file)
            std::fclose(file);
        std::free(text);
    }
    std::string str()
    {
        std::fflush(file);
        return std::string(text, size);
    }
};

kernel_outcome outcome_of(kernel_id kernel, double mflops, std::int64_t reps, double checksum)
{
    kernel_result run;
    run.mflops = mflops;
    run.reps = reps;
    run.checksum = checksum;
    run.seconds = 0.5;
    run.operations = mflops * 0.5e6;
    return kernel_outcome{kernel, {run}, mflops, mflops, mflops, std::nullopt, std::nullopt};
}

session_outcome known_session()
{
    session_outcome session;
    session.kernels = {outcome_of(kernel_id::fft, 2843.494, 4096, 0.5),
                       outcome_of(kernel_id::sor, 2566.231, 4096, 0.25),
                       outcome_of(kernel_id::monte_carlo, 1820.855, 33554432, 86.0),
                       outcome_of(kernel_id::sparse, 14418.61, 32768, 135654.0),
                       outcome_of(kernel_id::lu, 9246.09, 1024, 2.0)};
    session.composite = 6179.056;
    session.mean_checksum = 27148.5;
    return session;
}

run_context context_of(const run_settings& settings, const extended_options& options = {})
{
    return run_context{settings, options, {"kalvento", "0.5"}, "plain", {}, {}, true};
}

// Runs the reporter through a whole session.
void report_session(reporter& out, const run_context& context, session_outcome& session)
{
    out.context(context);
    for (const kernel_outcome& outcome : session.kernels)
        out.kernel(outcome);
    out.summary(session);
    out.finish(session);
}

} // namespace

TEST(ClassicReporter, WritesTheReportByteForByte)
{
    captured_output captured;
    classic_reporter classic(captured.file);
    run_settings settings;
    settings.min_seconds = 0.5;
    settings.sizes = sizes_from_megabytes(1);
    settings.megabytes = 1;
    session_outcome session = known_session();
    report_session(classic, context_of(settings), session);
    EXPECT_EQ(captured.str(),
              "**                                                              **\n"
              "** Kalvento Numeric Benchmark, see https://example.org/kalvento **\n"
              "** for details. (Results can be submitted to bench@example.org) **\n"
              "**                                                              **\n"
              "Using       0.50 seconds min time per kernel. Approx. problem size: 1 (MB)\n"
              "\n"
              "FFT             Mflops:  2843.49    (N=131072) \n"
              "SOR             Mflops:  2566.23    (362 x 362) \n"
              "MonteCarlo:     Mflops:  1820.86  \n"
              "Sparse matmult  Mflops: 14418.61    (N=16384, nz=131072)  \n"
              "LU              Mflops:  9246.09    (M=362, N=362) \n"
              "\n"
              "************************************\n"
              "Composite Score:        6179.06\n"
              "************************************\n"
              "\n"
              "FFT reps:              4096\n"
              "SOR reps:              4096\n"
              "Montel Carlo reps:     33554432\n"
              "Sparse MatMult repss:  32768\n"
              "LU reps:               1024\n"
              "\n"
              "checksum:              2.7148500000000000e+04\n");
}

TEST(ClassicReporter, VerificationLinesFollowTheReport)
{
    captured_output captured;
    classic_reporter classic(captured.file);
    extended_options options;
    options.verify = true;
    session_outcome session = known_session();
    session.kernels.erase(session.kernels.begin() + 1, session.kernels.end() - 1);
    session.kernels[0].plain_checksum = 0.5;
    session.kernels[1].plain_checksum = 2.5;
    report_session(classic, context_of(run_settings{}, options), session);
    std::string out = captured.str();
    EXPECT_NE(out.find("\nLU reps:               1024\n"), std::string::npos);
    std::string tail = "\n\nFFT             verified\n"
                       "LU              DIFFERS: fast 2.0000000000000000e+00, plain "
                       "2.5000000000000000e+00\n";
    ASSERT_GE(out.size(), tail.size());
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
}

TEST(JsonReporter, OneEntryPerKernelWithItsSizes)
{
    captured_output captured;
    json_reporter json(captured.file);
    run_settings settings;
    session_outcome session = known_session();
    report_session(json, context_of(settings), session);
    nlohmann::json document = nlohmann::json::parse(captured.str());
    EXPECT_EQ(document["context"]["code_path"], "plain");
    EXPECT_EQ(document["context"]["kernels"],
              nlohmann::json::parse(R"(["fft", "sor", "montecarlo", "sparse", "lu"])"));
    const nlohmann::json& kernels = document["kernels"];
    ASSERT_EQ(kernels.size(), 5u);
    EXPECT_EQ(kernels[0]["sizes"], nlohmann::json::parse(R"({"points": 1024})"));
    EXPECT_EQ(kernels[1]["sizes"], nlohmann::json::parse(R"({"rows": 100, "columns": 100})"));
    EXPECT_EQ(kernels[2]["sizes"], nlohmann::json::object());
    EXPECT_EQ(kernels[3]["sizes"], nlohmann::json::parse(R"({"rows": 1000, "nonzeros": 5000})"));
    EXPECT_EQ(kernels[4]["sizes"], nlohmann::json::parse(R"({"rows": 100, "columns": 100})"));
    EXPECT_EQ(kernels[3]["label"], "Sparse matmult");
    EXPECT_EQ(kernels[2]["reps"], 33554432);
    EXPECT_EQ(kernels[4]["checksum_text"], "2.0000000000000000e+00");
    EXPECT_EQ(document["composite_score"], 6179.056);
    EXPECT_EQ(document["mean_checksum_text"], "2.7148500000000000e+04");
    EXPECT_FALSE(document.contains("verified"));
}

TEST(Provenance, NamesTheKernelsThatProducedTheRates)
{
    run_settings settings;
    session_outcome session = known_session();
    run_context fast = context_of(settings);
    fast.code_path = "avx512";
    EXPECT_EQ(provenance_text(fast, session),
              "fast kernels, avx512 path; --plain measures the reference kernels");

    extended_options plain_repeated;
    plain_repeated.plain = true;
    plain_repeated.repeat = 5;
    EXPECT_EQ(provenance_text(context_of(settings, plain_repeated), session),
              "plain reference kernels; each rate is the median of 5 runs");

    session_outcome two;
    two.kernels = {session.kernels[0], session.kernels[4]};
    EXPECT_EQ(provenance_text(fast, two),
              "fast kernels, avx512 path; --plain measures the reference kernels; only FFT and LU "
              "ran, and the composite is the mean of those kernels only");
    two.kernels.pop_back();
    EXPECT_EQ(
        provenance_text(fast, two),
        "fast kernels, avx512 path; --plain measures the reference kernels; only FFT ran, and "
        "the composite is the mean of that kernel only");
}

TEST(Provenance, KernelsWhoseDoublingStoppedAtItsLimit)
{
    const kernel_descriptor& monte_carlo = describe(kernel_id::monte_carlo);
    const kernel_descriptor& fft = describe(kernel_id::fft);
    kernel_result at_limit;
    at_limit.reps = std::int64_t{1} << 30;
    at_limit.seconds = 0.4;
    EXPECT_TRUE(reached_limit(monte_carlo, at_limit, 2.0));
    EXPECT_FALSE(reached_limit(monte_carlo, at_limit, 0.4))
        << "long enough: the limit did not matter";
    EXPECT_FALSE(reached_limit(fft, at_limit, 2.0)) << "FFT's counter is 64 bits wide";
    kernel_result below = at_limit;
    below.reps /= 2;
    EXPECT_FALSE(reached_limit(monte_carlo, below, 2.0));

    // Any of the repeated runs counts.
    run_settings settings;
    session_outcome session = known_session();
    session.kernels[2].runs.push_back(at_limit);
    session.kernels[4].runs.front().reps = std::int64_t{1} << 30;
    extended_options repeated;
    repeated.repeat = 2;
    EXPECT_EQ(provenance_text(context_of(settings, repeated), session),
              "fast kernels, plain path; --plain measures the reference kernels; each rate is the "
              "median of 2 runs; the doubling stopped at its limit before 2.00 seconds for "
              "MonteCarlo (2^30 repetitions) and LU (2^30 repetitions)");

    captured_output captured;
    json_reporter json(captured.file);
    report_session(json, context_of(settings), session);
    nlohmann::json document = nlohmann::json::parse(captured.str());
    std::vector<bool> limited;
    for (const nlohmann::json& kernel : document["kernels"])
        limited.push_back(kernel["reached_limit"].get<bool>());
    EXPECT_EQ(limited, (std::vector<bool>{false, false, true, false, true}));
}

TEST(KernelTable, ReportLinePatternsReadThePrintedLines)
{
    problem_sizes sizes = sizes_from_megabytes(3);
    for (const kernel_descriptor& kernel : kernel_table()) {
        captured_output captured;
        kernel_result result;
        result.mflops = 123456.789;
        write_kernel_line(captured.file, kernel.id, sizes, result);
        std::string line = captured.str();
        ASSERT_EQ(line.back(), '\n');
        line.erase(line.find_last_not_of(" \n") + 1);
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, std::regex(report_line_pattern(kernel))))
            << line << " against " << report_line_pattern(kernel);
        ASSERT_EQ(match.size(), 2 + kernel.sizes.size());
        EXPECT_EQ(match[1].str(), "123456.79");
        for (std::size_t i = 0; i < kernel.sizes.size(); ++i)
            EXPECT_EQ(match[2 + i].str(), std::to_string(sizes.*kernel.sizes[i].field));
        // Another kernel's line does not pass for this one's.
        for (const kernel_descriptor& other : kernel_table()) {
            bool matches = std::regex_match(line, std::regex(report_line_pattern(other)));
            EXPECT_EQ(matches, other.id == kernel.id) << line << " against " << other.name;
        }
    }
}

TEST(KernelTable, CreditedOperationsAtTheDefaultSizes)
{
    // Per unit of work: (5N - 2) log2 N + 2(N + 1) for the FFT, 6 per interior point of SOR,
    // 4 per Monte Carlo sample, 2 per sparse entry, 2N^3 / 3 for LU.
    const double per_unit[] = {53230.0, 58806.0, 4.0, 10000.0, 2e6 / 3.0};
    for (const kernel_descriptor& kernel : kernel_table()) {
        double unit = per_unit[kernel_index(kernel.id)];
        EXPECT_TRUE(kernel.has_work(DEFAULT_SIZES)) << kernel.name;
        EXPECT_EQ(kernel.attempt_operations(DEFAULT_SIZES, 1), unit) << kernel.name;
        EXPECT_EQ(kernel.attempt_operations(DEFAULT_SIZES, 1024), unit * 1024) << kernel.name;
    }
    // A zero budget leaves every kernel but Monte Carlo without work, and without credit.
    problem_sizes empty = sizes_from_megabytes(0);
    for (const kernel_descriptor& kernel : kernel_table()) {
        bool monte_carlo = kernel.id == kernel_id::monte_carlo;
        EXPECT_EQ(kernel.has_work(empty), monte_carlo) << kernel.name;
        EXPECT_EQ(kernel.attempt_operations(empty, 8) > 0.0, monte_carlo) << kernel.name;
    }
    EXPECT_EQ(describe(kernel_id::fft).largest_reps, std::int64_t{1} << 62);
    EXPECT_EQ(describe(kernel_id::lu).largest_reps, std::int64_t{1} << 30);
    EXPECT_EQ(kernel_names(", ", " and "), "fft, sor, montecarlo, sparse and lu");
}
