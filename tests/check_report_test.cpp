// Checking published reports: genuine ones pass, altered ones do not, damaged ones are refused.

#include "driver/check_report.h"
#include "program_runner.h"

#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <regex>

using namespace kalvento;
using namespace kalvento::testing;

namespace {

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

} // namespace

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

TEST_F(CheckReport, ReadsReportsPastedElsewhere)
{
    std::string report = report_of({"0.01"});
    std::string crlf = std::regex_replace(report, std::regex("\n"), "\r\n");
    EXPECT_EQ(check(crlf).status, 0);
    std::string spaced = std::regex_replace(report, std::regex(" \n"), "\t  \n");
    EXPECT_EQ(check(spaced).status, 0);
    std::string logged = "2026-12-09 build 7 passed\nrunning the benchmark:\n" +
                         replace_line(report, R"(\*\* for details[^\n]*\n)", "** other text **\n") +
                         "\nend of log\n";
    EXPECT_EQ(check(logged).status, 0);

    // Standard input too.
    std::ofstream(path, std::ios::binary) << report;
    program_output piped = run_binary(KALVENTO_BINARY, {"--check-report", "-"}, "", path);
    EXPECT_EQ(piped.status, 0) << piped.err;
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

    // Counts that the checksum depends on, and the LU count, which shows in the timing.
    for (const char* label :
         {"FFT reps:", "SOR reps:", "Montel Carlo reps:", "Sparse MatMult repss:", "LU reps:"}) {
        program_output fewer = check(with_reps(report, label, 4, true));
        EXPECT_EQ(fewer.status, 3) << label << "\n" << fewer.out;
        program_output more = check(with_reps(report, label, 8, false));
        EXPECT_EQ(more.status, 3) << label << "\n" << more.out;
    }

    // A faster rate than the counts allow.
    std::string faster = std::regex_replace(report, std::regex(R"((LU +Mflops: +)([0-9]+))"),
                                            "$1$2$2", std::regex_constants::format_first_only);
    program_output boasted = check(faster);
    EXPECT_EQ(boasted.status, 3);
    EXPECT_NE(boasted.out.find("timing MISMATCH: "), std::string::npos);
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
    EXPECT_NE(verdict.out.find("checksum MISMATCH"), std::string::npos);
}

TEST_F(CheckReport, DamagedReportsAreRefused)
{
    std::string report = report_of({"0.01"});
    struct damage {
        std::string text;
        std::string error;
    };
    std::string truncated = report.substr(0, report.find("LU reps:"));
    for (const damage& d : std::vector<damage>{
             {"", "no settings line"},
             {truncated, "the report ends before the line \"LU reps:\""},
             {replace_line(report, R"(\(N=1024\))", "(N=2048)"),
              "line 5: the sizes of the kernel lines cannot come from the classic command line"},
             {replace_line(report, R"(SOR reps: +[0-9]+)", "SOR reps:              3000"),
              "line 18: the repetition count \"3000\" is not a power of two"},
             {replace_line(report, R"(MonteCarlo:[^\n]*\n)", ""),
              "line 9: expected the MonteCarlo line, found \"Sparse matmult"},
             {replace_line(report, R"(checksum: +\S+)", "checksum: 1.5e+0x"),
              "line 23: the checksum \"1.5e+0x\" is not a number"},
             {replace_line(report, R"(FFT reps: +[0-9]+)", "FFT reps: 4611686018427387904"),
              "more than 1e14 operations"},
         }) {
        program_output verdict = check(d.text);
        EXPECT_EQ(verdict.status, 2) << d.error;
        EXPECT_EQ(verdict.out, "");
        EXPECT_NE(verdict.err.find(d.error), std::string::npos) << verdict.err;
    }
    program_output missing = run_kalvento({"--check-report", "/nonexistent/report.txt"});
    EXPECT_EQ(missing.status, 2);
    EXPECT_EQ(missing.err, "kalvento: cannot read '/nonexistent/report.txt': No such file or "
                           "directory\n");
}

TEST_F(CheckReport, JsonVerdict)
{
    program_output verdict = check(report_of({"0.01"}), {"--json"});
    EXPECT_EQ(verdict.status, 0);
    nlohmann::json document = nlohmann::json::parse(verdict.out);
    EXPECT_TRUE(document["check_report"]["genuine"].get<bool>());
    EXPECT_EQ(document["check_report"]["kernels"].size(), 5u);
    EXPECT_EQ(document["check_report"]["report_checksum_text"],
              document["check_report"]["recomputed_checksum_text"]);
}
