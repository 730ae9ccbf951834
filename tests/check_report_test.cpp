// Checking published reports: genuine ones pass wherever they were pasted, forged numbers are
// caught, damaged and hostile files are refused quickly, costly replays are refused before they
// start.

#include "driver/check_report.h"
#include "driver/report.h"
#include "driver/reporter.h"
#include "program_runner.h"

#include <chrono>
#include <cmath>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <regex>

using namespace kalvento;
using namespace kalvento::testing;

namespace {

// A classic report as the program prints it, for a run whose final attempts lasted `seconds`.
struct synthetic_run {
    run_settings settings;
    kernel_reps reps{4096, 2048, 1 << 25, 8192, 512};
    std::array<double, 5> seconds{3.6, 3.6, 3.6, 3.6, 3.6}; // 1.8 times the minimum
    std::array<double, 5> rate_override{};                  // when not 0, printed instead
    double checksum = 1.0;

    std::string text() const
    {
        char* buffer = nullptr;
        std::size_t size = 0;
        std::FILE* out = open_memstream(&buffer, &size);
        write_banner(out);
        write_settings_line(out, settings);
        session_outcome session;
        for (kernel_id kernel : RUN_ORDER) {
            std::size_t k = kernel_index(kernel);
            kernel_result r;
            r.reps = reps[k];
            double ops = describe(kernel).attempt_operations(settings.sizes, r.reps);
            r.mflops = rate_override[k] != 0.0 ? rate_override[k]
                       : ops > 0.0             ? ops / seconds[k] * 1e-6
                                               : 0.0;
            r.checksum = checksum;
            session.kernels.push_back({kernel, {r}, r.mflops, r.mflops, r.mflops, {}, {}});
            session.composite += r.mflops / 5.0;
            write_kernel_line(out, kernel, settings.sizes, r);
        }
        session.mean_checksum = checksum;
        write_summary(out, session);
        std::fclose(out);
        std::string text(buffer, size);
        std::free(buffer);
        return text;
    }
};

classic_report read_one(const std::string& text)
{
    std::vector<report_reading> readings = read_classic_reports(text);
    EXPECT_EQ(readings.size(), 1u);
    EXPECT_TRUE(readings[0].report) << readings[0].error;
    return readings[0].report.value_or(classic_report{});
}

std::string timing_of(const synthetic_run& run)
{
    return timing_inconsistency(read_one(run.text()));
}

synthetic_run huge_run(std::int32_t megabytes, double min_seconds, const kernel_reps& reps,
                       double seconds)
{
    synthetic_run run;
    run.settings.sizes = sizes_from_megabytes(megabytes);
    run.settings.megabytes = megabytes;
    run.settings.min_seconds = min_seconds;
    run.reps = reps;
    run.seconds.fill(seconds);
    return run;
}

synthetic_run huge_zero_run()
{
    return huge_run(0, 0.01, {1, 1, 1 << 20, 1, 1}, 0.015);
}

struct CheckReport : ::testing::Test {
    std::string path = "/tmp/kalvento_check_" + std::to_string(getpid()) + ".txt";
    void TearDown() override { std::remove(path.c_str()); }

    program_output check(const std::string& report, const std::vector<std::string>& options = {})
    {
        std::ofstream(path, std::ios::binary) << report;
        std::vector<std::string> args = options;
        args.insert(args.end(), {"--check-report", path});
        return run_kalvento(args);
    }
};

// A report of the program itself.
std::string report_of(const std::vector<std::string>& args)
{
    program_output run = run_kalvento(args);
    EXPECT_EQ(run.status, 0);
    return run.out;
}

std::string replace_line(const std::string& report, const std::string& pattern,
                         const std::string& replacement)
{
    return std::regex_replace(report, std::regex(pattern), replacement,
                              std::regex_constants::format_first_only);
}

std::string with_reps(const std::string& report, const std::string& label, std::int64_t factor,
                      bool divide)
{
    std::smatch m;
    std::regex line("(" + label + R"( +)([0-9]+))");
    EXPECT_TRUE(std::regex_search(report, m, line)) << label;
    std::int64_t reps = std::stoll(m[2].str());
    std::int64_t altered = divide ? std::max<std::int64_t>(1, reps / factor) : reps * factor;
    if (altered == reps)
        altered = reps * factor;
    return std::string(m.prefix()) + m[1].str() + std::to_string(altered) + std::string(m.suffix());
}

std::string prefixed(const std::string& text, const std::string& prefix)
{
    std::string out;
    for (const std::string& line : lines_of(text))
        out += prefix + line + "\n";
    return out;
}

std::string utf16_le(const std::string& text)
{
    std::string bytes = "\xFF\xFE";
    for (char c : text)
        bytes += std::string{c, '\0'};
    return bytes;
}

} // namespace

TEST(ReadingReports, ReadsTheNumbersOfTheClassicLines)
{
    synthetic_run run;
    run.settings.min_seconds = 2.0;
    classic_report report = read_one(run.text());
    EXPECT_EQ(report.min_seconds.value, 2.0);
    EXPECT_DOUBLE_EQ(report.min_seconds.half_unit, 0.005);
    EXPECT_FALSE(report.megabytes);
    EXPECT_TRUE(report.sizes.fft_points == 1024 && report.sizes.grid_size == 100 &&
                report.sizes.sparse_rows == 1000 && report.sizes.sparse_nonzeros == 5000);
    EXPECT_EQ(report.reps, run.reps);
    EXPECT_EQ(report.checksum_text, "1.0000000000000000e+00");
    EXPECT_EQ(timing_inconsistency(report), "");
}

TEST(ReadingReports, OtherWordingQuotingLogsLineEndsAndEncodings)
{
    synthetic_run run;
    run.settings.sizes = sizes_from_megabytes(3);
    run.settings.megabytes = 3;
    std::string report = run.text();
    classic_report original = read_one(report);

    std::string reworded =
        "=== Some Other Benchmark 2.1 ===\n"
        "usign nothing\n" +
        std::regex_replace(report, std::regex("Using +2.00 seconds min time per kernel. Approx."),
                           "USING 2.00 secs minimal time per kernal, problem  size approx:") +
        "\nbye\n";
    reworded = std::regex_replace(reworded, std::regex("Mflops"), "MFLOPS");
    reworded = std::regex_replace(reworded, std::regex("reps:"), "repetitions =");
    std::string logged;
    int second = 0;
    for (const std::string& line : lines_of(report)) {
        char stamp[64];
        std::snprintf(stamp, sizeof stamp,
                      "Dec %2d 10:00:%02d node7 kalvento[%d]: ", 9 + second / 8, second % 60,
                      100 + second % 3);
        logged += stamp + line + "\n";
        if (++second % 5 == 0)
            logged += "Dec 9 10:00:00 node7 cron[1]: (root) CMD (run-parts 42 0.5)\n";
    }
    std::string cr_only = std::regex_replace(report, std::regex("\n"), "\r");
    std::string crlf = std::regex_replace(report, std::regex("\n"), "\r\n");
    std::string spaced = std::regex_replace(report, std::regex(" \n"), "\t  \n");
    for (const std::string& text :
         {reworded, prefixed(report, "> "), prefixed(report, ">> "), prefixed(report, "> > "),
          prefixed(report, "    "), logged, cr_only, crlf, spaced, utf16_le(report),
          utf16_le(report).substr(2), "\xEF\xBB\xBF" + report}) {
        classic_report read = read_one(text);
        EXPECT_TRUE(read.megabytes == original.megabytes && read.reps == original.reps &&
                    read.checksum_text == original.checksum_text &&
                    read.mflops[4].text == original.mflops[4].text)
            << text;
    }
}

TEST(ReadingReports, SeveralReportsEachGetAReading)
{
    synthetic_run run;
    std::string one = run.text();
    std::string truncated = one.substr(0, one.find("SOR reps:"));
    std::vector<report_reading> readings = read_classic_reports(one + truncated + "\n" + one);
    ASSERT_EQ(readings.size(), 3u);
    EXPECT_TRUE(readings[0].report && readings[2].report);
    EXPECT_EQ(readings[0].first_line, 5u);
    EXPECT_EQ(readings[0].last_line, 23u);
    EXPECT_EQ(readings[1].error, "line 46: another report starts before the SOR repetition count");
    EXPECT_EQ(readings[2].first_line, 46u);

    std::string many;
    for (std::size_t i = 0; i <= MAX_REPORTS; ++i)
        many += one;
    readings = read_classic_reports(many);
    ASSERT_EQ(readings.size(), MAX_REPORTS + 1);
    EXPECT_NE(readings.back().error.find("more than 1000 reports"), std::string::npos);
}

TEST(ReadingReports, DamageIsNamedByLine)
{
    std::string report = synthetic_run{}.text();
    std::string truncated = report.substr(0, report.find("LU reps:"));
    struct damage {
        std::string text;
        std::string error;
    };
    for (const damage& d : std::vector<damage>{
             {"", "no settings line"},
             {truncated, "the report ends before the LU repetition count"},
             {replace_line(report, R"(\(N=1024\))", "(N=2048)"),
              "line 5: the sizes of the kernel lines cannot come from the classic command line"},
             {replace_line(report, R"(\(100 x 100\))", "(100 x 99)"), "line 5: the sizes"},
             {replace_line(report, R"(\(N=1024\))", "(N=1024.0)"), "line 5: a size"},
             {replace_line(report, R"(\(N=1024\))", "(N=99999999999)"), "line 5: a size"},
             {replace_line(report, R"(SOR reps: +[0-9]+)", "SOR reps:              3000"),
              "the SOR repetition count \"3000\" is not a power of two"},
             {replace_line(report, R"(LU reps: +[0-9]+)", "LU reps: 2147483648"),
              "the LU repetition count \"2147483648\" is not a power of two that a run can reach"},
             {replace_line(report, R"(LU reps: +[0-9]+)", "LU reps: 0"), "LU repetition count"},
             {replace_line(report, R"(LU reps: +[0-9]+)", "LU reps: -4"), "LU repetition count"},
             {replace_line(report, R"(MonteCarlo:[^\n]*\n)", ""),
              "line 9: expected the MonteCarlo line (a rate), found \"Sparse matmult"},
             {replace_line(report, R"(checksum: +\S+)", "checksum: 1.5e+0x"),
              "the report ends before the checksum"},
             {replace_line(report, R"(checksum: +\S+)", "checksum: 1.5 2.5"),
              "line 23: expected the checksum, found \"checksum: 1.5 2.5\""},
             {replace_line(report, R"(Composite Score: +\S+)",
                           "Composite Score: " + std::string(100000, '9')),
              "line 14: expected the composite score, found a line of 100017 characters"},
             {replace_line(report, R"(Using +2.00)", "Using 2.00 seconds 3 (MB) 4"),
              "holds more than the minimum time and the problem size"},
             {replace_line(report, R"(Using +2.00 seconds)", "Using 2.00 seconds size 5000 MB"),
              "the problem size \"5000\" is not a count from 0 to 4095"},
         }) {
        std::vector<report_reading> readings = read_classic_reports(d.text);
        ASSERT_EQ(readings.size(), 1u) << d.error;
        EXPECT_FALSE(readings[0].report) << d.error;
        EXPECT_NE(readings[0].error.find(d.error), std::string::npos) << readings[0].error;
        EXPECT_LT(readings[0].error.size(), 200u);
    }
}

TEST(ReadingReports, EndlessLinesEndQuickly)
{
    auto start = std::chrono::steady_clock::now();
    std::string report = synthetic_run{}.text();
    for (const std::string& filler :
         {std::string(30'000'000, '('), std::string(30'000'000, '7'),
          "Using " + std::string(30'000'000, '9') + " seconds",
          std::string(300, ' ') + "Using 2.00 seconds", std::string(10'000'000, '\n')}) {
        std::vector<report_reading> readings = read_classic_reports(filler + "\n" + report);
        ASSERT_FALSE(readings.empty());
        EXPECT_TRUE(readings.back().report) << readings.back().error;
    }
    // Not a timed test: only a bound far above any machine's time for linear work.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
}

TEST(TimingCheck, ReportsThatARunCanPrintFit)
{
    EXPECT_EQ(timing_of(synthetic_run{}), "");
    EXPECT_EQ(timing_of(huge_zero_run()), "");
    synthetic_run at_limit;
    at_limit.reps[2] = std::int64_t{1} << 30; // short of the minimum time, at the doubling limit
    at_limit.seconds[2] = 0.5;
    EXPECT_EQ(timing_of(at_limit), "");
    synthetic_run single;
    single.reps[4] = 1; // one factorisation already lasted far longer than the minimum time
    single.seconds[4] = 50.0;
    EXPECT_EQ(timing_of(single), "");
    synthetic_run tiny_minimum;
    tiny_minimum.settings.min_seconds = 0.001; // printed 0.00; a coarse clock's first step
    tiny_minimum.seconds.fill(0.0078125);
    EXPECT_EQ(timing_of(tiny_minimum), "");
}

TEST(TimingCheck, ForgedNumbersAreCaught)
{
    struct forgery {
        std::string what;
        std::string text;
        const char* message;
    };
    const std::string genuine = synthetic_run{}.text();
    const char* const labels[] = {
        "FFT reps:", "SOR reps:", "Montel Carlo reps:", "Sparse MatMult repss:", "LU reps:"};
    std::vector<forgery> forgeries;
    for (kernel_id kernel : RUN_ORDER) {
        std::size_t k = kernel_index(kernel);
        std::string label = kernel_label(kernel);
        // Counts edited, rates left as printed.
        forgeries.push_back({label + " doubled count", with_reps(genuine, labels[k], 2, false),
                             "half as many would already have"});
        forgeries.push_back({label + " halved count", with_reps(genuine, labels[k], 2, true),
                             "less than the minimum time"});
        synthetic_run faster, slower;
        faster.seconds[k] = 1.9;
        slower.seconds[k] = 7.0;
        forgeries.push_back({label + " faster rate", faster.text(), "less than the minimum time"});
        forgeries.push_back(
            {label + " slower rate", slower.text(), "half as many would already have"});
        for (double rate : {-5.0, 0.0, -0.0, double(INFINITY), -double(INFINITY), double(NAN)}) {
            synthetic_run bad;
            bad.rate_override[k] = rate == 0.0 ? 1e-300 * (std::signbit(rate) ? -1 : 1) : rate;
            forgeries.push_back({label + " rate " + std::to_string(rate), bad.text(),
                                 "a kernel that does work has a positive rate"});
        }
    }
    synthetic_run boasted;
    boasted.reps[2] = std::int64_t{1} << 30;
    boasted.rate_override[2] = 1e9;
    forgeries.push_back({"impossible rate at the limit", boasted.text(),
                         "MonteCarlo: 1000000000.00 Mflops is more than one core can do"});
    for (const char* minimum : {"-1.00", "nan", "inf", "-0.00"})
        forgeries.push_back(
            {std::string("minimum time ") + minimum,
             replace_line(genuine, "2.00 seconds", std::string(minimum) + " seconds"),
             "is not a positive number"});
    for (kernel_id kernel : {kernel_id::fft, kernel_id::sor, kernel_id::sparse, kernel_id::lu}) {
        synthetic_run counted = huge_zero_run();
        counted.reps[kernel_index(kernel)] = 4;
        forgeries.push_back({"count without work", counted.text(), "the sizes leave it no work"});
        synthetic_run rated = huge_zero_run();
        rated.rate_override[kernel_index(kernel)] = 12.5;
        forgeries.push_back({"rate without work", rated.text(), "the sizes leave it no work"});
    }
    forgeries.push_back({"composite",
                         std::regex_replace(genuine, std::regex(R"(Composite Score: +(\S+))"),
                                            "Composite Score:       99999.99"),
                         "is not the mean of the rates"});
    for (const forgery& f : forgeries) {
        std::string problem = timing_inconsistency(read_one(f.text));
        EXPECT_NE(problem.find(f.message), std::string::npos) << f.what << ": " << problem;
        EXPECT_LT(problem.size(), 200u);
    }
}

TEST(TimingCheck, ToleranceForNoiseLetsSomeDoubledCountsPass)
{
    // A final attempt that lasted 1.2 times the minimum, with its count doubled, lasts 2.4 times
    // the minimum: within the tolerance for noise, so only a checksum can show the change.
    synthetic_run run;
    run.seconds[4] = 2.4;
    run.reps[4] *= 2;
    EXPECT_EQ(timing_of(run), "");
    run.seconds[4] = 3.0 * (2.005 + COARSEST_CLOCK_STEP) * 1.01;
    EXPECT_NE(timing_of(run), "");
}

TEST_F(CheckReport, ReportsOfTheProgramAreGenuine)
{
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"0.01"}, {"-huge", "1", "0.01"}, {"-huge", "0", "0.01"}}) {
        program_output verdict = check(report_of(args));
        EXPECT_EQ(verdict.status, 0) << verdict.out << verdict.err;
        EXPECT_NE(verdict.out.find("\nchecksum genuine\ntiming consistent\n"), std::string::npos)
            << verdict.out;
        EXPECT_EQ(lines_of(verdict.out).size(), 7u);
    }
}

TEST_F(CheckReport, ReportsPastedElsewhereAreGenuine)
{
    std::string report = report_of({"0.01"});
    std::string logged = "2026-12-09 build 7 passed\nrunning the benchmark:\n" +
                         replace_line(report, R"(\*\* for details[^\n]*\n)", "** other text **\n") +
                         "\nend of log\n";
    for (const std::string& text :
         {logged, prefixed(report, "> "), prefixed(report, "12:00:01 ci[7] kalvento: "),
          std::regex_replace(report, std::regex("\n"), "\r"), utf16_le(report)}) {
        program_output verdict = check(text);
        EXPECT_EQ(verdict.status, 0) << verdict.out << verdict.err;
    }

    // Standard input too.
    std::ofstream(path, std::ios::binary) << report;
    program_output piped = run_binary(KALVENTO_BINARY, {"--check-report", "-"}, "", path);
    EXPECT_EQ(piped.status, 0) << piped.err;
}

TEST_F(CheckReport, SeveralReportsOneVerdictLineEachWorstStatus)
{
    std::string report = report_of({"0.01"});
    std::string altered = with_reps(report, "SOR reps:", 4, false);
    program_output verdict = check(report + report + altered + "Using 1 seconds\n");
    EXPECT_EQ(verdict.status, 3) << verdict.err;
    std::vector<std::string> lines = lines_of(verdict.out);
    ASSERT_EQ(lines.size(), 4u) << verdict.out;
    EXPECT_EQ(lines[0], "report 1 (lines 5-23): checksum genuine, timing consistent");
    EXPECT_EQ(lines[1], "report 2 (lines 28-46): checksum genuine, timing consistent");
    EXPECT_EQ(lines[2].substr(0, 24), "report 3 (lines 51-69): ");
    EXPECT_NE(lines[2].find("MISMATCH"), std::string::npos);
    EXPECT_EQ(lines[3], "report 4 (lines 70-70): not checked: not a readable classic report: "
                        "the report ends before the FFT line (a rate and a size)");

    verdict = check(report + "Using 1 seconds\n" + report);
    EXPECT_EQ(verdict.status, 2);
    verdict = check(report + report, {"--json"});
    EXPECT_EQ(verdict.status, 0);
    nlohmann::json document = nlohmann::json::parse(verdict.out);
    ASSERT_EQ(document["check_reports"].size(), 2u);
    EXPECT_TRUE(document["check_reports"][1]["genuine"].get<bool>());
}

TEST_F(CheckReport, AlteredReportsMismatch)
{
    std::string report = report_of({"0.01"});

    std::smatch m;
    ASSERT_TRUE(std::regex_search(report, m, std::regex(R"(checksum: +(\S+))")));
    std::string printed = m[1].str();
    std::string last_digit_changed = printed;
    char& digit = last_digit_changed[17];
    digit = digit == '9' ? '8' : digit + 1;
    std::string changed_report = report;
    changed_report.replace(changed_report.rfind(printed), printed.size(), last_digit_changed);
    program_output altered = check(changed_report);
    EXPECT_EQ(altered.status, 3);
    EXPECT_NE(altered.out.find("checksum MISMATCH: report says " + last_digit_changed +
                               ", recomputed " + printed + "\n"),
              std::string::npos)
        << altered.out;

    // Counts that the checksum depends on, and the LU count, which shows in the timing. Under an
    // emulator the counts are so small that a changed FFT count can move the total by less than
    // its last digit.
    for (const char* label :
         {"FFT reps:", "SOR reps:", "Montel Carlo reps:", "Sparse MatMult repss:", "LU reps:"}) {
        if (*EMULATOR)
            continue;
        program_output fewer = check(with_reps(report, label, 4, true));
        EXPECT_EQ(fewer.status, 3) << label << "\n" << fewer.out;
        program_output more = check(with_reps(report, label, 8, false));
        EXPECT_EQ(more.status, 3) << label << "\n" << more.out;
    }

    // A faster rate than the counts allow: caught before any replay.
    std::string faster = std::regex_replace(report, std::regex(R"((LU +Mflops: +)([0-9]+))"),
                                            "$1$2$2", std::regex_constants::format_first_only);
    program_output boasted = check(faster);
    EXPECT_EQ(boasted.status, 3);
    EXPECT_EQ(boasted.out.substr(0, 21), "timing MISMATCH: LU: ");
    EXPECT_NE(boasted.out.find("\nchecksum not replayed"), std::string::npos);
}

TEST_F(CheckReport, OtherSizesOfTheSameSettingMismatch)
{
    // The report of a 1 MB budget, relabelled as one of 2 MB with all its sizes.
    std::string report = report_of({"-huge", "1", "0.01"});
    report = replace_line(report, R"(size: 1 \(MB\))", "size: 2 (MB)");
    report = replace_line(report, R"(\(N=131072\))", "(N=262144)");
    report = std::regex_replace(report, std::regex("362"), "512");
    report = replace_line(report, R"(N=16384, nz=131072)", "N=32768, nz=262144");
    program_output verdict = check(report);
    EXPECT_EQ(verdict.status, 3) << verdict.out << verdict.err;
}

TEST_F(CheckReport, HostileFilesAreRefusedWithOneLine)
{
    std::string big = "/tmp/kalvento_big_" + std::to_string(getpid());
    {
        std::ofstream out(big, std::ios::binary);
        std::string block(1 << 20, 'x');
        for (int i = 0; i < 70; ++i)
            out << block;
    }
    struct hostile {
        std::string file;
        std::string error;
    };
    for (const hostile& h : std::vector<hostile>{
             {"/tmp", "kalvento: cannot read '/tmp': Is a directory\n"},
             {"/proc/self/mem", "kalvento: cannot read '/proc/self/mem': Input/output error\n"},
             {"/dev/zero", "kalvento: cannot read '/dev/zero': it holds more than 64 MiB, and a "
                           "report is a few kilobytes\n"},
             {big, "kalvento: cannot read '" + big +
                       "': it holds more than 64 MiB, and a report is a few kilobytes\n"},
             {"/nonexistent/report.txt",
              "kalvento: cannot read '/nonexistent/report.txt': No such file or directory\n"},
         }) {
        program_output verdict = run_kalvento({"--check-report", h.file});
        EXPECT_EQ(verdict.status, 2) << h.file;
        EXPECT_EQ(verdict.out, "");
        EXPECT_EQ(verdict.err, h.error);
    }
    std::remove(big.c_str());

    program_output damaged =
        check(std::string(20'000'000, '(') + "\nUsing " + std::string(100'000, '9') + " seconds\n");
    EXPECT_EQ(damaged.status, 2);
    EXPECT_EQ(lines_of(damaged.err).size(), 1u);
    EXPECT_LT(damaged.err.size(), 300u);
}

TEST_F(CheckReport, CostlyReplaysAreRefusedBeforeTheyStart)
{
    // Counts whose replay no machine does within the budget, even at the fastest plausible rate;
    // their timing fits, so only the cost stops them.
    synthetic_run huge = huge_run(1024, 1000.0, {1, 1, 1 << 30, 1, 512}, 1500.0);
    huge.seconds[2] = 100.0;
    synthetic_run lu_count;
    lu_count.reps[4] = 1 << 24;
    lu_count.settings.min_seconds = 400.0;
    lu_count.seconds.fill(600.0);
    synthetic_run sparse_count = lu_count;
    sparse_count.reps[4] = 512;
    sparse_count.reps[3] = 1 << 30;
    for (const synthetic_run& run : {huge, lu_count, sparse_count})
        EXPECT_EQ(timing_of(run), "");

    auto start = std::chrono::steady_clock::now();
    program_output refused = check(huge.text());
    EXPECT_EQ(refused.status, 2);
    EXPECT_EQ(refused.out, "");
    EXPECT_TRUE(std::regex_match(refused.err,
                                 std::regex("kalvento: .*: replaying it would take at least .* on "
                                            "this machine, more than the budget of 5 minutes "
                                            "\\(--replay-budget=SECONDS\\)\n")))
        << refused.err;
    for (const synthetic_run& run : {lu_count, sparse_count}) {
        refused = check(run.text(), {"--replay-budget=10"});
        EXPECT_EQ(refused.status, 2);
        EXPECT_NE(refused.err.find("more than the budget of 10 seconds"), std::string::npos)
            << refused.err;
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));

    // A budget too small for any replay: refused after the estimate, whatever the machine.
    program_output small = check(report_of({"0.01"}), {"--replay-budget", "1e-9"});
    EXPECT_EQ(small.status, 2);
    EXPECT_NE(small.err.find("replaying it would take "), std::string::npos) << small.err;

    for (const char* bad : {"--replay-budget=0", "--replay-budget=-1", "--replay-budget=inf",
                            "--replay-budget=5m", "--replay-budget=nan"}) {
        program_output verdict = check(report_of({"0.01"}), {bad});
        EXPECT_EQ(verdict.status, 2) << bad;
        EXPECT_NE(verdict.err.find("--replay-budget takes a positive number of seconds"),
                  std::string::npos);
    }
    EXPECT_EQ(run_kalvento({"--replay-budget=5", "0.01"}).status, 2);
}

TEST_F(CheckReport, JsonVerdict)
{
    program_output verdict = check(report_of({"0.01"}), {"--json"});
    EXPECT_EQ(verdict.status, 0);
    nlohmann::json document = nlohmann::json::parse(verdict.out);
    EXPECT_TRUE(document["check_report"]["genuine"].get<bool>());
    EXPECT_TRUE(document["check_report"]["replayed"].get<bool>());
    EXPECT_EQ(document["check_report"]["kernels"].size(), 5u);
    EXPECT_EQ(document["check_report"]["report_checksum_text"],
              document["check_report"]["recomputed_checksum_text"]);
}
