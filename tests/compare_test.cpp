#include "driver/compare.h"
#include "driver/options.h"
#include "program_runner.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

namespace kalvento {
namespace {

using json = nlohmann::ordered_json;
using testing::lines_of;
using testing::run_kalvento;

// A document as --json writes it, with the given rates per run for every kernel (one run: no
// "runs" list, as without --repeat).
json document(const std::vector<std::vector<double>>& rates,
              const std::string& code_path = "avx512", double min_seconds = 0.5)
{
    json kernels = json::array();
    for (std::size_t k = 0; k < rates.size(); ++k) {
        json entry = {{"name", kernel_name(RUN_ORDER[k])}, {"mflops", rates[k].front()}};
        if (rates[k].size() > 1) {
            json runs = json::array();
            for (double rate : rates[k])
                runs.push_back({{"mflops", rate}, {"reps", 64}});
            entry["runs"] = runs;
        }
        kernels.push_back(entry);
    }
    return {{"schema_version", 1},
            {"context",
             {{"compiler", "gcc 12.2.0"},
              {"code_path", code_path},
              {"cpu_model", "Some CPU"},
              {"sizes",
               {{"fft_points", 1024},
                {"grid_size", 100},
                {"sparse_rows", 1000},
                {"sparse_nonzeros", 5000}}},
              {"min_seconds", min_seconds},
              {"warnings", json::array()}}},
            {"kernels", kernels}};
}

std::vector<std::vector<double>> five_kernels(std::vector<double> runs, double scale = 1.0)
{
    std::vector<std::vector<double>> rates;
    for (int k = 0; k < 5; ++k) {
        std::vector<double> kernel;
        for (double rate : runs)
            kernel.push_back(rate * scale * (k + 1));
        rates.push_back(kernel);
    }
    return rates;
}

result_file read_ok(const json& doc)
{
    result_reading reading = read_result_text(doc.dump());
    EXPECT_TRUE(reading.file) << reading.error;
    return reading.file.value_or(result_file{});
}

std::string refusal(const std::string& text)
{
    result_reading reading = read_result_text(text);
    EXPECT_FALSE(reading.file) << text.substr(0, 200);
    return reading.error;
}

const std::vector<double> FIVE_RUNS{1000, 1010, 990, 1005, 995};

TEST(CompareReading, RunsOrTheSingleRateOfEachKernel)
{
    result_file repeated = read_ok(document(five_kernels(FIVE_RUNS)));
    EXPECT_EQ(repeated.rates[0], FIVE_RUNS);
    EXPECT_EQ(repeated.rates[4].size(), 5u);
    result_file once = read_ok(document(five_kernels({1234.5})));
    EXPECT_EQ(once.rates[2], std::vector<double>{3703.5});
    EXPECT_EQ(once.min_seconds, 0.5);
    EXPECT_FALSE(once.classic);

    // Kernels left out by --kernels stay empty; names of newer kernels are passed over.
    json doc = document(five_kernels({1000}));
    doc["kernels"].erase(1);
    doc["kernels"].push_back({{"name", "stream"}, {"mflops", 1.0}});
    result_file some = read_ok(doc);
    EXPECT_TRUE(some.rates[1].empty());
    EXPECT_EQ(some.rates[0].size(), 1u);
}

TEST(CompareReading, RefusesWhatIsNoResult)
{
    EXPECT_NE(refusal("{\"schema_version\": 1,").find("not valid JSON"), std::string::npos);
    EXPECT_NE(refusal("{\"schema_version\": 2, \"kernels\": []}").find("schema_version 1"),
              std::string::npos);
    EXPECT_NE(refusal("{\"schema_version\": 1, \"check_report\": {}}").find("without kernel"),
              std::string::npos);
    EXPECT_NE(refusal("[1, 2]").find("neither a JSON document of kalvento nor a classic report"),
              std::string::npos);
    EXPECT_NE(refusal("{\"a\":" + std::string(100000, '[')).find("nested too deeply"),
              std::string::npos);
    EXPECT_NE(refusal("").find("classic report"), std::string::npos);
    EXPECT_NE(refusal("hello\nworld\n").find("classic report"), std::string::npos);
    EXPECT_NE(refusal("Using " + std::string(1 << 20, '1') + " seconds min time per kernel.\n")
                  .find("classic report"),
              std::string::npos);

    json doc = document(five_kernels(FIVE_RUNS));
    for (json bad : {json(-1.0), json("fast"), json(nullptr), json(1e13), json::array()}) {
        json damaged = doc;
        damaged["kernels"][3]["runs"][2]["mflops"] = bad;
        EXPECT_NE(refusal(damaged.dump()).find("run 3 of kernel \"sparse\""), std::string::npos);
    }
    json twice = doc;
    twice["kernels"].push_back(doc["kernels"][0]);
    EXPECT_NE(refusal(twice.dump()).find("\"fft\" appears twice"), std::string::npos);
    json many = doc;
    many["kernels"][0]["runs"] = json::array();
    for (std::size_t i = 0; i <= MAX_COMPARED_RUNS; ++i)
        many["kernels"][0]["runs"].push_back({{"mflops", 1.0}});
    EXPECT_NE(refusal(many.dump()).find("1 to 1000 runs"), std::string::npos);
    json no_name = doc;
    no_name["kernels"][0].erase("name");
    EXPECT_NE(refusal(no_name.dump()).find("has no name"), std::string::npos);
    // Context fields of the wrong type are not shown, and not fatal.
    json odd = doc;
    odd["context"]["compiler"] = 12;
    odd["context"]["sizes"]["grid_size"] = -1;
    odd["context"]["warnings"] = {1, "two", nullptr};
    result_file file = read_ok(odd);
    for (const context_field& field : file.context)
        EXPECT_TRUE(field.name != "compiler" && field.name != "sizes") << field.name;
    EXPECT_EQ(file.warnings, std::vector<std::string>{"two"});
}

TEST(CompareReading, ContextTextIsMadeSafeToPrint)
{
    json doc = document(five_kernels({1000}));
    doc["context"]["cpu_model"] = "evil\x1b[2J\ncpu" + std::string(10000, 'x');
    result_file file = read_ok(doc);
    for (const context_field& field : file.context)
        if (field.name == "CPU model") {
            EXPECT_EQ(field.value.rfind("evil?[2J?cpu", 0), 0u);
            EXPECT_LT(field.value.size(), 400u);
        }
}

comparison compare(const json& base, const json& next)
{
    result_file b = read_ok(base), n = read_ok(next);
    b.path = "base.json";
    n.path = "new.json";
    std::optional<comparison> result = compare_results(b, n);
    EXPECT_TRUE(result);
    return result.value_or(comparison{});
}

TEST(CompareResults, SeparatedRunsAreSignificantAndTheSameRunsAreNot)
{
    comparison faster =
        compare(document(five_kernels(FIVE_RUNS), "plain"), document(five_kernels(FIVE_RUNS, 3.0)));
    ASSERT_EQ(faster.kernels.size(), 5u);
    for (const kernel_comparison& k : faster.kernels) {
        EXPECT_TRUE(k.rates.significant());
        EXPECT_DOUBLE_EQ(k.rates.test.p_value, 2.0 / 252.0);
        EXPECT_EQ(k.rates.test.u, 25.0); // NEW faster in every pair
        EXPECT_DOUBLE_EQ(*k.rates.ratio, 3.0);
    }
    EXPECT_EQ(faster.kernels[1].rates.base_median, 2.0 * 1000.0);
    EXPECT_TRUE(faster.composite.significant());
    EXPECT_DOUBLE_EQ(faster.composite.base_median, 3000.0); // mean of 1000, 2000, ... 5000
    EXPECT_DOUBLE_EQ(*faster.geometric_mean_ratio, 3.0);
    ASSERT_EQ(faster.differences.size(), 1u);
    EXPECT_EQ(faster.differences[0].name, "code path");
    EXPECT_EQ(faster.differences[0].base_value, "plain");
    EXPECT_EQ(faster.differences[0].new_value, "avx512");
    EXPECT_TRUE(faster.warnings.empty());

    comparison same = compare(document(five_kernels(FIVE_RUNS)), document(five_kernels(FIVE_RUNS)));
    for (const kernel_comparison& k : same.kernels) {
        EXPECT_FALSE(k.rates.significant());
        EXPECT_EQ(k.rates.test.p_value, 1.0);
    }
    EXPECT_FALSE(same.composite.significant());
    EXPECT_TRUE(same.differences.empty());
}

TEST(CompareResults, TooFewOrTooShortRunsAreNeverSignificantAndSaySo)
{
    // Three runs a side, completely separated: p = 0.1 at best.
    comparison three = compare(document(five_kernels({1, 2, 3})),
                               document(five_kernels({7, 8, 9}), "avx512", 0.02));
    EXPECT_FALSE(three.kernels[0].rates.enough_runs);
    EXPECT_FALSE(three.kernels[0].rates.significant());
    ASSERT_EQ(three.warnings.size(), 3u);
    EXPECT_EQ(three.warnings[0], "base.json has 3 runs of each kernel: the rank test needs 4 or "
                                 "more a side to reach p < 0.05 (--repeat=4)");
    EXPECT_EQ(three.warnings[2].rfind("new.json was measured with a minimum time of 0.02 s", 0),
              0u);

    comparison four =
        compare(document(five_kernels({1, 2, 3, 4})), document(five_kernels({7, 8, 9, 10})));
    EXPECT_TRUE(four.kernels[0].rates.significant());
}

TEST(CompareResults, OnlyKernelsInBothAndWarningsOfOneSide)
{
    json base = document(five_kernels(FIVE_RUNS));
    json next = document(five_kernels(FIVE_RUNS, 2.0));
    base["kernels"].erase(4);
    next["kernels"].erase(0);
    next["context"]["warnings"] = {"virtual machine: x"};
    comparison c = compare(base, next);
    ASSERT_EQ(c.kernels.size(), 3u);
    EXPECT_EQ(c.kernels.front().kernel, kernel_id::sor);
    EXPECT_EQ(c.kernels.back().kernel, kernel_id::sparse);
    EXPECT_DOUBLE_EQ(c.composite.base_median, 3000.0); // mean of 2000, 3000, 4000
    ASSERT_EQ(c.warnings.size(), 1u);
    EXPECT_EQ(c.warnings[0], "only new.json was measured with the warning: virtual machine: x");

    // A rate of 0 (sizes with nothing to compute) has no ratio and stays out of the mean.
    json zero = document(five_kernels(FIVE_RUNS));
    for (json& run : zero["kernels"][0]["runs"])
        run["mflops"] = 0.0;
    comparison z = compare(zero, document(five_kernels(FIVE_RUNS, 2.0)));
    EXPECT_FALSE(z.kernels[0].rates.ratio);
    EXPECT_DOUBLE_EQ(*z.geometric_mean_ratio, 2.0);

    result_file b = read_ok(base), n = read_ok(next);
    b.rates[1].clear(), b.rates[2].clear(), b.rates[3].clear();
    EXPECT_FALSE(compare_results(b, n));
}

options_reading read_options(std::vector<const char*> args)
{
    args.insert(args.begin(), "kalvento");
    return read_long_options(static_cast<int>(args.size()), args.data());
}

TEST(CompareOptions, TwoFilesInAnyOfTheUsualForms)
{
    for (auto args :
         std::vector<std::vector<const char*>>{{"--compare", "a.json", "b.json"},
                                               {"--compare=a.json", "b.json"},
                                               {"--compare", "a.json", "--json", "b.json"},
                                               {"--json", "--compare=a.json", "--", "b.json"}}) {
        options_reading reading = read_options(args);
        ASSERT_EQ(reading.error, "") << args[0];
        EXPECT_EQ(reading.options.compare, (std::vector<std::string>{"a.json", "b.json"}));
        EXPECT_EQ(reading.classic.size(), 1u);
    }
    EXPECT_TRUE(read_options({"--compare", "a.json", "b.json", "--json"}).options.json);
    for (auto args :
         std::vector<std::vector<const char*>>{{"--compare", "a.json"},
                                               {"--compare", "a", "b", "c"},
                                               {"--compare="},
                                               {"--compare", "a", "b", "--plain"},
                                               {"--compare", "a", "b", "--repeat=3"},
                                               {"--compare", "a", "b", "--export-json=x"}})
        EXPECT_NE(read_options(args).error, "") << args.size();
    EXPECT_EQ(*read_options({"--export-json", "x.json", "0.5"}).options.export_json, "x.json");
    EXPECT_NE(read_options({"--export-json="}).error, "");
}

// Writes `text` to a temporary file that is removed at the end of the test.
struct temporary_file {
    explicit temporary_file(const std::string& text)
    {
        char pattern[] = "/tmp/kalvento_compare_XXXXXX";
        int fd = mkstemp(pattern);
        path = pattern;
        if (fd >= 0) {
            std::FILE* out = fdopen(fd, "w");
            std::fputs(text.c_str(), out);
            std::fclose(out);
        }
    }
    ~temporary_file() { std::remove(path.c_str()); }
    std::string path;
};

TEST(CompareProgram, PrintsOneRowPerKernelThenCompositeAndGeometricMean)
{
    temporary_file base(document(five_kernels(FIVE_RUNS), "plain").dump());
    temporary_file next(document(five_kernels(FIVE_RUNS, 2.5)).dump());
    testing::program_output out = run_kalvento({"--compare", base.path, next.path});
    ASSERT_EQ(out.status, 0) << out.err;
    EXPECT_EQ(out.err, ""); // standard error is no terminal here
    std::vector<std::string> lines = lines_of(out.out);
    ASSERT_EQ(lines.size(), 13u) << out.out;
    EXPECT_EQ(lines[0], "base: " + base.path);
    EXPECT_EQ(lines[1], "new:  " + next.path);
    EXPECT_EQ(lines[2], "differs: code path        base plain");
    EXPECT_EQ(lines[3], "                          new  avx512");
    EXPECT_EQ(lines[5], "Kernel            base Mflops   new Mflops   new/base      runs  "
                        "Mann-Whitney U");
    EXPECT_EQ(lines[6], "FFT                   1000.00      2500.00     2.500x       5/5  p=0.008");
    EXPECT_EQ(lines[9].substr(0, 20), "Sparse matmult      ");
    EXPECT_EQ(lines[11],
              "Composite score       3000.00      7500.00     2.500x       5/5  p=0.008");
    EXPECT_EQ(lines[12], "Geometric mean                                 2.500x");

    testing::program_output same = run_kalvento({"--compare", base.path, base.path});
    ASSERT_EQ(same.status, 0);
    lines = lines_of(same.out);
    ASSERT_GE(lines.size(), 12u);
    EXPECT_EQ(lines[2], "Same context: code path, compiler, CPU model, sizes, minimum time");
    for (std::size_t i = 5; i < 10; ++i)
        EXPECT_EQ(lines[i].substr(lines[i].size() - 3), "  ~") << lines[i];
}

TEST(CompareProgram, JsonDocument)
{
    temporary_file base(document(five_kernels({1, 2}), "plain").dump());
    temporary_file next(document(five_kernels({5, 6})).dump());
    testing::program_output out = run_kalvento({"--json", "--compare", base.path, next.path});
    ASSERT_EQ(out.status, 0) << out.err;
    json doc = json::parse(out.out);
    EXPECT_EQ(doc["schema_version"], 1);
    const json& compare = doc["compare"];
    EXPECT_EQ(compare["base"]["file"], base.path);
    EXPECT_EQ(compare["context_differences"][0]["field"], "code path");
    EXPECT_EQ(compare["kernels"].size(), 5u);
    EXPECT_EQ(compare["kernels"][0]["label"], "FFT");
    EXPECT_EQ(compare["kernels"][0]["p_value"], 2.0 / 6.0);
    EXPECT_EQ(compare["kernels"][0]["enough_runs"], false);
    EXPECT_EQ(compare["kernels"][0]["significant"], false);
    EXPECT_EQ(compare["runs_needed_per_side"], 4);
    EXPECT_EQ(doc["context"]["warnings"].size(), 2u); // two runs on each side
}

TEST(CompareProgram, UnreadableFilesEndWithOneLineAndStatusTwo)
{
    temporary_file good(document(five_kernels(FIVE_RUNS)).dump());
    temporary_file bad("{\"schema_version\": 1, \"kernels\": [{\"name\": \"fft\"}]}");
    temporary_file huge(std::string(MAX_RESULT_FILE_BYTES + 1, ' '));
    struct case_ {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"--compare", "/nonexistent/a.json", good.path},
         "kalvento: cannot compare /nonexistent/a.json: No such file or directory\n"},
        {{"--compare", good.path, "/tmp"}, "kalvento: cannot compare /tmp: Is a directory\n"},
        {{"--compare", good.path, bad.path},
         "kalvento: cannot compare " + bad.path + ": kernel \"fft\" has no usable \"mflops\"\n"},
        {{"--compare", huge.path, good.path},
         "kalvento: cannot compare " + huge.path +
             ": larger than 8 MB, no result of this program\n"},
    };
    for (const case_& c : cases) {
        testing::program_output out = run_kalvento(c.args);
        EXPECT_EQ(out.status, 2) << c.args[2];
        EXPECT_EQ(out.out, "");
        EXPECT_EQ(out.err, c.message);
    }
    testing::program_output one = run_kalvento({"--compare", good.path});
    EXPECT_EQ(one.status, 2);
}

} // namespace
} // namespace kalvento
