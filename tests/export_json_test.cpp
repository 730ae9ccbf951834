// --export-json beside the classic report, and what the JSON context says about the run.

#include "program_runner.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <regex>
#include <sys/stat.h>

namespace {

using json = nlohmann::json;
using namespace kalvento::testing;

struct temporary_directory {
    temporary_directory()
    {
        char pattern[] = "/tmp/kalvento_export_XXXXXX";
        path = mkdtemp(pattern) ? pattern : "";
    }
    ~temporary_directory() { std::system(("rm -rf " + shell_quote(path)).c_str()); }
    std::vector<std::string> entries() const
    {
        std::vector<std::string> names;
        if (DIR* dir = opendir(path.c_str())) {
            while (dirent* entry = readdir(dir))
                if (entry->d_name[0] != '.' || entry->d_name[1] == 'k')
                    names.push_back(entry->d_name);
            closedir(dir);
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string path;
};

std::string line_starting(const std::string& text, const std::string& start)
{
    for (const std::string& line : lines_of(text))
        if (line.rfind(start, 0) == 0)
            return line;
    return "";
}

TEST(ExportJson, TheClassicReportOnStandardOutputAndTheSameRunInTheFile)
{
    temporary_directory dir;
    std::string file = dir.path + "/x.json";
    program_output out = run_kalvento({"--export-json=" + file, "0.02"});
    ASSERT_EQ(out.status, 0) << out.err;
    // Standard error names what produced the rates: the path --version names.
    std::smatch path;
    ASSERT_TRUE(std::regex_match(out.err, path,
                                 std::regex("kalvento: fast kernels, ([a-z0-9]+) path; "
                                            "--plain measures the reference kernels\n")))
        << out.err;
    EXPECT_NE(run_kalvento({"--version"}).out.find("code path: " + path[1].str() + " "),
              std::string::npos);
    EXPECT_EQ(lines_of(out.out).size(), 23u);
    std::string checksum_line = line_starting(out.out, "checksum:");
    json doc = json::parse(read_file(file));
    EXPECT_EQ("checksum:              " + doc["mean_checksum_text"].get<std::string>(),
              checksum_line);
    EXPECT_EQ(doc["kernels"].size(), 5u);
    EXPECT_EQ(doc["context"]["min_seconds"], 0.02);
    // Written through a temporary file in the same directory, which is gone.
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"x.json"});
    struct stat status {};
    ASSERT_EQ(stat(file.c_str(), &status), 0);
    EXPECT_NE(status.st_mode & S_IRGRP, 0u) << "the file keeps the usual mode, not mkstemp's";

    // The option takes its value either way, and --json as well writes both documents.
    program_output both = run_kalvento({"--json", "--export-json", file, "0.01"});
    ASSERT_EQ(both.status, 0) << both.err;
    EXPECT_EQ(json::parse(both.out)["mean_checksum_text"],
              json::parse(read_file(file))["mean_checksum_text"]);
}

TEST(ExportJson, AFileThatCannotBeWrittenEndsTheRunAndLeavesNothingBehind)
{
    temporary_directory dir;
    program_output early = run_kalvento({"--export-json=" + dir.path + "/missing/x.json", "0.01"});
    EXPECT_EQ(early.status, 1);
    EXPECT_EQ(early.out, "") << "refused before the run";
    EXPECT_EQ(early.err, "kalvento: cannot write '" + dir.path +
                             "/missing/x.json': No such file or directory\n");

    // A directory in the way is found only when the document is renamed into place.
    std::string in_the_way = dir.path + "/x.json";
    ASSERT_EQ(mkdir(in_the_way.c_str(), 0755), 0);
    program_output late = run_kalvento({"--export-json=" + in_the_way, "0.01"});
    EXPECT_EQ(late.status, 1);
    EXPECT_NE(line_starting(late.out, "checksum:"), "");
    EXPECT_EQ(late.err, "kalvento: cannot write '" + in_the_way + "': Is a directory\n");
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"x.json"});

    program_output empty = run_kalvento({"--export-json=", "0.01"});
    EXPECT_EQ(empty.status, 2);
}

TEST(JsonContext, WarningsClockStepAndTheFlagsOfTheCodePath)
{
    program_output fast = run_kalvento({"--json", "--kernels=fft", "0.01"});
    ASSERT_EQ(fast.status, 0) << fast.err;
    EXPECT_EQ(fast.err.find("warning"), std::string::npos)
        << "warnings go to standard error only when it is a terminal";
    json context = json::parse(fast.out)["context"];
    ASSERT_TRUE(context["warnings"].is_array());
    for (const json& warning : context["warnings"])
        EXPECT_TRUE(warning.is_string());
    EXPECT_EQ(context["clock"], "clock (processor time of the process)");
    ASSERT_TRUE(context["clock_step_seconds"].is_number());
    double step = context["clock_step_seconds"];
    EXPECT_GE(step, context["clock_resolution_seconds"].get<double>());
    EXPECT_LT(step, 0.1);

    std::string flags = context["code_path_flags"];
    std::string build_flags = context["build_flags"];
    EXPECT_EQ(build_flags.rfind(flags.substr(0, flags.find(" -m")), 0), 0u)
        << "the plain code's flags start the build flags";
    program_output plain = run_kalvento({"--json", "--plain", "--kernels=fft", "0.01"});
    json plain_context = json::parse(plain.out)["context"];
    EXPECT_EQ(plain_context["code_path"], "plain");
    EXPECT_EQ(build_flags.rfind(plain_context["code_path_flags"].get<std::string>() + " (", 0), 0u);
}

} // namespace
