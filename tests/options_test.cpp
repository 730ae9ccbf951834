// The long options: parsing, errors, and what they do to a run of the real program.

#include "driver/options.h"
#include "driver/run.h"
#include "kernels/code_path.h"
#include "program_runner.h"

#include <cmath>
#include <gtest/gtest.h>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <regex>

using namespace kalvento;
using namespace kalvento::testing;
using json = nlohmann::json;

namespace {

options_reading read(std::initializer_list<const char*> args)
{
    std::vector<const char*> argv{"kalvento"};
    argv.insert(argv.end(), args);
    return read_long_options(static_cast<int>(argv.size()), argv.data());
}

kernel_selection only(std::initializer_list<kernel_id> kernels)
{
    kernel_selection selection{};
    for (kernel_id k : kernels)
        selection[kernel_index(k)] = true;
    return selection;
}

} // namespace

TEST(Options, ReadsLongOptionsBeforeTheClassicArguments)
{
    options_reading none = read({"-large", "--json"});
    EXPECT_EQ(none.error, "");
    EXPECT_EQ(none.classic_start, 1);
    EXPECT_FALSE(none.options.json);

    options_reading all =
        read({"--json", "--verify", "--kernels=lu,fft", "--repeat", "7", "-huge", "8"});
    EXPECT_EQ(all.error, "");
    EXPECT_EQ(all.classic_start, 6);
    EXPECT_TRUE(all.options.json && all.options.verify);
    EXPECT_EQ(all.options.kernels, only({kernel_id::fft, kernel_id::lu}));
    EXPECT_EQ(all.options.repeat, 7);

    options_reading ended = read({"--json", "--", "--verify"});
    EXPECT_EQ(ended.classic_start, 3);
    EXPECT_FALSE(ended.options.verify);

    EXPECT_EQ(read({"--check-report=-"}).options.check_report, "-");
    EXPECT_EQ(read({"--check-report", "r.txt"}).options.check_report, "r.txt");
}

TEST(Options, RejectsWhatCannotBeUsed)
{
    for (std::initializer_list<const char*> bad : {
             std::initializer_list<const char*>{"--bogus"},
             {"--json=yes"},
             {"--kernels"},
             {"--kernels="},
             {"--kernels=fft,,lu"},
             {"--kernels=FFT"},
             {"--repeat=0"},
             {"--repeat=101"},
             {"--repeat=3x"},
             {"--repeat=-1"},
             {"--check-report="},
             {"--check-report=r.txt", "--verify"},
             {"--check-report=r.txt", "--plain"},
             {"--plain=1"},
             {"--check-report=r.txt", "0.5"},
         }) {
        EXPECT_NE(read(bad).error, "") << *bad.begin();
    }
    EXPECT_EQ(read({"--bogus"}).error, "unknown option '--bogus'");
}

TEST(Options, HelpVersionAndErrorsThroughTheProgram)
{
    program_output help = run_kalvento({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.err, "");
    EXPECT_EQ(help.out, EXTENDED_USAGE);

    program_output version = run_kalvento({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(
        std::regex_search(version.out, std::regex(R"(^kalvento [0-9]+\.[0-9]+\.[0-9]+\n)")));
    EXPECT_NE(version.out.find("code path: "), std::string::npos);

    program_output unknown = run_kalvento({"--bogus", "0.01"});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_EQ(unknown.out, "");
    EXPECT_EQ(unknown.err, std::string("kalvento: unknown option '--bogus'\n\n") + EXTENDED_USAGE);

    // The classic help is untouched.
    program_output classic = run_kalvento({"-h"});
    EXPECT_EQ(classic.status, 0);
    EXPECT_EQ(classic.err, "Usage: [-large | -huge #MB] [minimum_time]\n");
}

TEST(Options, VerifyFindsEveryKernelEqualToThePlainOnes)
{
    program_output run = run_kalvento({"--verify", "0.01"});
    EXPECT_EQ(run.status, 0) << run.err;
    std::vector<std::string> lines = lines_of(run.out);
    ASSERT_EQ(lines.size(), 29u) << run.out;
    EXPECT_EQ(lines[22].rfind("checksum:", 0), 0u);
    EXPECT_EQ(lines[23], "");
    EXPECT_EQ(lines[24], "FFT             verified");
    EXPECT_EQ(lines[25], "SOR             verified");
    EXPECT_EQ(lines[26], "MonteCarlo      verified");
    EXPECT_EQ(lines[27], "Sparse matmult  verified");
    EXPECT_EQ(lines[28], "LU              verified");
}

TEST(Options, VerifyCatchesADifferentKernel)
{
    program_output run = run_binary(KALVENTO_PERTURBED_BINARY, {"--verify", "0.01"});
    EXPECT_EQ(run.status, 3);
    EXPECT_TRUE(std::regex_search(
        run.out,
        std::regex(R"(\nMonteCarlo      DIFFERS: fast ([-+.e0-9]+), plain ([-+.e0-9]+)\n)")))
        << run.out;
    EXPECT_NE(run.out.find("\nLU              verified\n"), std::string::npos);

    program_output as_json = run_binary(KALVENTO_PERTURBED_BINARY, {"--json", "--verify", "0.01"});
    EXPECT_EQ(as_json.status, 3);
    json document = json::parse(as_json.out);
    EXPECT_FALSE(document["verified"].get<bool>());
    EXPECT_FALSE(document["kernels"][2]["verification"]["verified"].get<bool>());
    EXPECT_TRUE(document["kernels"][4]["verification"]["verified"].get<bool>());
}

TEST(Options, JsonDocumentDescribesTheRun)
{
    program_output run = run_kalvento({"--json", "-huge", "1", "0.01"});
    EXPECT_EQ(run.status, 0) << run.err;
    json document = json::parse(run.out);
    EXPECT_EQ(document["schema_version"], 1);
    const json& context = document["context"];
    EXPECT_EQ(context["sizes"]["fft_points"], 131072);
    EXPECT_EQ(context["sizes"]["grid_size"], 362);
    EXPECT_EQ(context["megabytes"], 1);
    EXPECT_EQ(context["min_seconds"], 0.01);
    EXPECT_EQ(context["command_line"].size(), 5u);
    ASSERT_EQ(document["kernels"].size(), 5u);

    // The checksums are those of the kernels at the reported repetition counts, and the summary
    // is computed from the entries as the classic report computes it.
    kernel_reps reps{};
    double rates = 0.0, checksums = 0.0;
    for (std::size_t k = 0; k < 5; ++k) {
        const json& entry = document["kernels"][k];
        EXPECT_EQ(entry["name"], kernel_name(RUN_ORDER[k]));
        reps[k] = entry["reps"].get<std::int64_t>();
        rates += entry["mflops"].get<double>();
        checksums += entry["checksum"].get<double>();
        char text[40];
        std::snprintf(text, sizeof text, "%.16e", entry["checksum"].get<double>());
        EXPECT_EQ(entry["checksum_text"], text);
        EXPECT_GT(entry["seconds"].get<double>(), 0.0);
    }
    EXPECT_EQ(document["composite_score"].get<double>(), rates / 5.0);
    EXPECT_EQ(document["mean_checksum"].get<double>(), checksums / 5.0);
    std::array<kernel_result, 5> replayed =
        replay_run(sizes_from_megabytes(1), ALL_KERNELS, reps, plain_kernels());
    for (std::size_t k = 0; k < 5; ++k)
        EXPECT_EQ(document["kernels"][k]["checksum"].get<double>(), replayed[k].checksum) << k;
}

TEST(Options, SubsetsGetTheDataOfAFullRun)
{
    program_output run = run_kalvento({"--json", "--kernels=lu,sparse", "0.01"});
    EXPECT_EQ(run.status, 0) << run.err;
    json document = json::parse(run.out);
    ASSERT_EQ(document["kernels"].size(), 2u);
    EXPECT_EQ(document["kernels"][0]["name"], "sparse");
    EXPECT_EQ(document["kernels"][1]["name"], "lu");
    kernel_reps reps{1, 1, 1, 1, 1};
    reps[kernel_index(kernel_id::sparse)] = document["kernels"][0]["reps"].get<std::int64_t>();
    reps[kernel_index(kernel_id::lu)] = document["kernels"][1]["reps"].get<std::int64_t>();
    std::array<kernel_result, 5> full =
        replay_run(DEFAULT_SIZES, ALL_KERNELS, reps, plain_kernels());
    EXPECT_EQ(document["kernels"][0]["checksum"].get<double>(),
              full[kernel_index(kernel_id::sparse)].checksum);
    EXPECT_EQ(document["kernels"][1]["checksum"].get<double>(),
              full[kernel_index(kernel_id::lu)].checksum);

    program_output classic = run_kalvento({"--kernels=sor", "0.01"});
    std::vector<std::string> lines = lines_of(classic.out);
    ASSERT_EQ(lines.size(), 15u) << classic.out;
    EXPECT_EQ(lines[6].rfind("SOR             Mflops: ", 0), 0u);
    EXPECT_EQ(lines[12].rfind("SOR reps:              ", 0), 0u);
    EXPECT_EQ(lines[14].rfind("checksum:              ", 0), 0u);
}

TEST(Options, PlainMeasuresTheReferenceKernelsOnTheSameData)
{
    program_output run = run_kalvento({"--json", "--plain", "--kernels=sor,lu", "0.01"});
    EXPECT_EQ(run.status, 0) << run.err;
    json document = json::parse(run.out);
    EXPECT_EQ(document["context"]["code_path"], "plain");
    kernel_reps reps{1, 1, 1, 1, 1};
    reps[kernel_index(kernel_id::sor)] = document["kernels"][0]["reps"].get<std::int64_t>();
    reps[kernel_index(kernel_id::lu)] = document["kernels"][1]["reps"].get<std::int64_t>();
    std::array<kernel_result, 5> fast =
        replay_run(DEFAULT_SIZES, ALL_KERNELS, reps, selected_kernels());
    EXPECT_EQ(document["kernels"][0]["checksum"].get<double>(),
              fast[kernel_index(kernel_id::sor)].checksum);
    EXPECT_EQ(document["kernels"][1]["checksum"].get<double>(),
              fast[kernel_index(kernel_id::lu)].checksum);
}

TEST(Options, RepeatReportsMediansAndTheFirstRunsChecksum)
{
    program_output run = run_kalvento({"--json", "--repeat=3", "--kernels=montecarlo,lu", "0.01"});
    EXPECT_EQ(run.status, 0) << run.err;
    json document = json::parse(run.out);
    for (const json& entry : document["kernels"]) {
        ASSERT_EQ(entry["runs"].size(), 3u);
        std::vector<double> rates;
        for (const json& r : entry["runs"])
            rates.push_back(r["mflops"].get<double>());
        std::sort(rates.begin(), rates.end());
        EXPECT_EQ(entry["median_mflops"].get<double>(), rates[1]);
        EXPECT_EQ(entry["min_mflops"].get<double>(), rates[0]);
        EXPECT_EQ(entry["max_mflops"].get<double>(), rates[2]);
        EXPECT_EQ(entry["mflops"], entry["median_mflops"]);
        EXPECT_EQ(entry["checksum"], entry["runs"][0]["checksum"]);
        EXPECT_EQ(entry["reps"], entry["runs"][0]["reps"]);
    }

    program_output classic = run_kalvento({"--repeat=2", "0.01"});
    EXPECT_EQ(classic.status, 0);
    EXPECT_EQ(lines_of(classic.out).size(), 23u);
}
