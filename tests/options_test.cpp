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

std::vector<std::string> classic_of(const options_reading& reading)
{
    return {reading.classic.begin(), reading.classic.end()};
}

std::vector<std::string> classic(std::initializer_list<const char*> args)
{
    std::vector<std::string> argv{"kalvento"};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

kernel_selection only(std::initializer_list<kernel_id> kernels)
{
    kernel_selection selection{};
    for (kernel_id k : kernels)
        selection[kernel_index(k)] = true;
    return selection;
}

} // namespace

TEST(Options, ReadsLongOptionsAnywhereBeforeDoubleDash)
{
    options_reading after = read({"-large", "--json"});
    EXPECT_EQ(after.error, "");
    EXPECT_TRUE(after.options.json);
    EXPECT_EQ(classic_of(after), classic({"-large"}));

    options_reading between = read({"--json", "0.05", "--plain"});
    EXPECT_EQ(between.error, "");
    EXPECT_TRUE(between.options.json && between.options.plain);
    EXPECT_EQ(classic_of(between), classic({"0.05"}));

    options_reading all =
        read({"-huge", "--json", "8", "--verify", "--kernels=lu,fft", "--repeat", "7", "0.5"});
    EXPECT_EQ(all.error, "");
    EXPECT_EQ(classic_of(all), classic({"-huge", "8", "0.5"}));
    EXPECT_TRUE(all.options.json && all.options.verify);
    EXPECT_EQ(all.options.kernels, only({kernel_id::fft, kernel_id::lu}));
    EXPECT_EQ(all.options.repeat, 7);
    EXPECT_EQ(read({"--repeat=7"}).options.repeat, 7);

    options_reading ended = read({"--json", "--", "--verify", "3"});
    EXPECT_EQ(ended.error, "");
    EXPECT_EQ(classic_of(ended), classic({"--verify", "3"}));
    EXPECT_FALSE(ended.options.verify);

    // A value is the next argument, whatever it looks like.
    EXPECT_EQ(read({"--check-report=-"}).options.check_report, "-");
    EXPECT_EQ(read({"--check-report", "-"}).options.check_report, "-");
    EXPECT_EQ(read({"--check-report", "--json"}).options.check_report, "--json");
}

TEST(Options, KernelNamesInAnyCaseAndAll)
{
    EXPECT_EQ(read({"--kernels=FFT,Lu"}).options.kernels, only({kernel_id::fft, kernel_id::lu}));
    EXPECT_EQ(read({"--kernels", "MonteCarlo"}).options.kernels, only({kernel_id::monte_carlo}));
    EXPECT_EQ(read({"--kernels=ALL"}).options.kernels, ALL_KERNELS);
    EXPECT_EQ(read({"--kernels=sor,all"}).options.kernels, ALL_KERNELS);
    EXPECT_EQ(read({"--kernels=lu,lu"}).options.kernels, only({kernel_id::lu}));
}

TEST(Options, RejectsWhatCannotBeUsedInOneLine)
{
    struct rejected {
        std::initializer_list<const char*> args;
        const char* error;
    };
    for (const rejected& r : std::initializer_list<rejected>{
             {{"--jsn"}, "unknown option '--jsn' (did you mean '--json'?)"},
             {{"0.05", "--JSON"}, "unknown option '--JSON' (did you mean '--json'?)"},
             {{"--verfy"}, "unknown option '--verfy' (did you mean '--verify'?)"},
             {{"--kernel=fft"}, "unknown option '--kernel' (did you mean '--kernels'?)"},
             {{"--check_report", "r"},
              "unknown option '--check_report' (did you mean '--check-report'?)"},
             {{"--repe=3"}, "unknown option '--repe' (did you mean '--repeat'?)"},
             {{"--re=3"}, "unknown option '--re'"}, // --repeat or --replay-budget
             {{"--bogus"}, "unknown option '--bogus'"},
             {{"--ver"}, "unknown option '--ver'"},
             {{"--json=yes"}, "option '--json' takes no value"},
             {{"--plain="}, "option '--plain' takes no value"},
             {{"--kernels"}, "option '--kernels' needs a value"},
             {{"0.5", "--repeat"}, "option '--repeat' needs a value"},
             {{"--kernels="},
              "--kernels takes a comma-separated list of fft, sor, montecarlo, sparse and lu (or "
              "all), not ''"},
             {{"--kernels=fft,,lu"},
              "--kernels takes a comma-separated list of fft, sor, montecarlo, sparse and lu (or "
              "all), not 'fft,,lu'"},
             {{"--repeat=0"}, "--repeat takes a whole number from 1 to 100, not '0'"},
             {{"--repeat=101"}, "--repeat takes a whole number from 1 to 100, not '101'"},
             {{"--repeat", "3x"}, "--repeat takes a whole number from 1 to 100, not '3x'"},
             {{"--repeat=-1"}, "--repeat takes a whole number from 1 to 100, not '-1'"},
             {{"--repeat=99999999999"},
              "--repeat takes a whole number from 1 to 100, not '99999999999'"},
             {{"--check-report="}, "--check-report needs a file name (or - for standard input)"},
             {{"--check-report=r", "--replay-budget=0"},
              "--replay-budget takes a positive number of seconds, not '0'"},
             {{"--check-report=r", "--replay-budget", "1e999"},
              "--replay-budget takes a positive number of seconds, not '1e999'"},
             {{"--replay-budget=60"}, "--replay-budget only applies to --check-report"},
             {{"--check-report=r.txt", "--verify"},
              "--check-report cannot be combined with --verify, --plain, --kernels or --repeat"},
             {{"--plain", "--check-report=r.txt"},
              "--check-report cannot be combined with --verify, --plain, --kernels or --repeat"},
             {{"0.5", "--check-report=r.txt"},
              "--check-report takes its sizes from the report, not from '0.5'"},
             {{"--verify", "--plain"},
              "--verify compares the fast kernels with the plain ones; with --plain it would "
              "compare the plain kernels with themselves"},
         }) {
        EXPECT_EQ(read(r.args).error, r.error) << *r.args.begin();
    }

    // Hostile arguments are quoted short and printable.
    std::string endless = "--" + std::string(100000, 'x');
    std::string error = read({endless.c_str()}).error;
    EXPECT_EQ(error, "unknown option '--" + std::string(58, 'x') + "...'");
    EXPECT_EQ(read({"--kernels=f\nft"}).error.find('\n'), std::string::npos);
}

TEST(Options, EveryOptionIsInTheHelpAndNearestToItself)
{
    std::string usage = extended_usage();
    for (const long_option& option : long_options()) {
        SCOPED_TRACE(option.name);
        EXPECT_NE(usage.find(std::string("\n  --") + option.name), std::string::npos);
        EXPECT_EQ(nearest_option(option.name), option.name);
    }
    for (const std::string& line : lines_of(usage))
        EXPECT_LE(line.size(), 96u) << line;
}

TEST(Options, HelpVersionAndErrorsThroughTheProgram)
{
    program_output help = run_kalvento({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.err, "");
    EXPECT_EQ(help.out, extended_usage());

    program_output version = run_kalvento({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(
        std::regex_search(version.out, std::regex(R"(^kalvento [0-9]+\.[0-9]+\.[0-9]+\n)")));
    EXPECT_NE(version.out.find("code path: "), std::string::npos);
    EXPECT_TRUE(std::regex_search(
        version.out,
        std::regex(R"(\nclock: clock \(processor time of the process\), unit [0-9.e-]+ )"
                   R"(s, measured step [0-9.e-]+ s\n)")))
        << version.out;

    program_output misspelt = run_kalvento({"0.01", "--jsn"});
    EXPECT_EQ(misspelt.status, 2);
    EXPECT_EQ(misspelt.out, "");
    EXPECT_EQ(misspelt.err, "kalvento: unknown option '--jsn' (did you mean '--json'?)\n"
                            "Try 'kalvento --help'.\n");

    program_output both = run_kalvento({"--verify", "--plain", "0.01"});
    EXPECT_EQ(both.status, 2);
    EXPECT_EQ(both.out, "");
    EXPECT_EQ(both.err, "kalvento: --verify compares the fast kernels with the plain ones; with "
                        "--plain it would compare the plain kernels with themselves\n"
                        "Try 'kalvento --help'.\n");

    // The classic help is untouched, after long options as well.
    for (std::vector<std::string> args :
         {std::vector<std::string>{"-h"}, {"-help", "0.5"}, {"--json", "-h"}}) {
        program_output classic = run_kalvento(args);
        EXPECT_EQ(classic.status, 0);
        EXPECT_EQ(classic.out, "");
        EXPECT_EQ(classic.err, "Usage: [-large | -huge #MB] [minimum_time]\n");
    }
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
    program_output run = run_kalvento({"-huge", "1", "--json", "0.01"});
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
        replay_run(DEFAULT_SIZES, ALL_KERNELS, reps, best_code_path().kernels());
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
