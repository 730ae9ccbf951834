// The choice of code path: the default is the widest path the CPU has (read from the kernel's
// own list of CPU flags, not from the code that decides), every built-in path forced runs its
// own kernels and gives the plain kernels' bits, and --code-path, --version and JSON agree. A
// path this CPU lacks is reported as skipped.

#include "driver/run.h"
#include "kernels/code_path.h"
#include "program_runner.h"

#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

using namespace kalvento;
using namespace kalvento::testing;
using nlohmann::json;

namespace {

// The flags of the first processor in /proc/cpuinfo ("Features" on 64-bit ARM); empty where
// there is none.
std::set<std::string> cpu_flags(const std::string& name = "flags")
{
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);) {
        if (line.rfind(name, 0) != 0)
            continue;
        std::istringstream words(line.substr(line.find(':') + 1));
        std::set<std::string> flags;
        for (std::string word; words >> word;)
            flags.insert(word);
        return flags;
    }
    return {};
}

// The x86-64 paths and the CPU flags each is compiled for.
struct x86_path {
    const char* name;
    std::vector<std::string> flags;
};
const std::vector<x86_path> X86_PATHS = {
    {"avx512", {"avx512f", "avx512vl", "avx512dq", "avx512bw"}},
    {"avx2", {"avx2"}},
};

bool has_all(const std::set<std::string>& flags, const std::vector<std::string>& wanted)
{
    for (const std::string& flag : wanted)
        if (!flags.contains(flag))
            return false;
    return true;
}

TEST(CodePath, TheTableListsEachPathOnceUnderItsKernelsName)
{
    std::set<std::string> names;
    ASSERT_FALSE(code_paths().empty());
    for (const code_path& path : code_paths()) {
        EXPECT_STREQ(path.kernels().name, path.name);
        EXPECT_TRUE(names.insert(path.name).second) << path.name;
        EXPECT_EQ(find_code_path(path.name), &path);
    }
    EXPECT_TRUE(code_paths().back().supported()) << "the last path must run everywhere";
    EXPECT_EQ(find_code_path("plain"), nullptr);
    EXPECT_EQ(find_code_path(""), nullptr);
}

TEST(CodePath, TheDefaultIsTheWidestPathTheCpuHas)
{
    std::set<std::string> flags = cpu_flags();
    if (flags.empty() || !find_code_path("avx2"))
        GTEST_SKIP() << "not a build with the x86-64 paths, or no /proc/cpuinfo";
    std::string expected = code_paths().back().name;
    for (const x86_path& path : X86_PATHS) {
        bool has = has_all(flags, path.flags);
        ASSERT_NE(find_code_path(path.name), nullptr) << path.name;
        EXPECT_EQ(find_code_path(path.name)->supported(), has) << path.name;
        if (has && expected == code_paths().back().name)
            expected = path.name;
    }
    EXPECT_EQ(best_code_path().name, expected);
    EXPECT_EQ(supported_code_paths().front(), &best_code_path());
}

TEST(CodePath, NeonIsTheDefaultWhereTheCpuHasAdvancedSimd)
{
    std::set<std::string> features = cpu_flags("Features");
    if (features.empty() || !find_code_path("neon"))
        GTEST_SKIP() << "not a build with the NEON path, or no Features in /proc/cpuinfo (an "
                        "emulator shows its host's)";
    bool has = features.contains("asimd");
    EXPECT_EQ(find_code_path("neon")->supported(), has);
    EXPECT_STREQ(best_code_path().name, has ? "neon" : code_paths().back().name);
}

// Sizes around the vectors' widths and the FFT's smallest vector transform, and the defaults.
constexpr problem_sizes SIZES[] = {
    {16, 3, 5, 9},           {64, 9, 17, 60},          {256, 31, 333, 1000},
    {1024, 100, 1000, 5000}, {16384, 67, 4099, 30001},
};

// Parameterised by the path's name, which the test's name shows.
class ForcedCodePath : public ::testing::TestWithParam<std::string> {
protected:
    const code_path& path() const { return *find_code_path(GetParam()); }
    void SetUp() override
    {
        if (!path().supported())
            GTEST_SKIP() << "this CPU lacks the " << GetParam() << " code path";
    }
};

TEST_P(ForcedCodePath, GivesThePlainKernelsBitsThroughTheKernelSet)
{
    const kernel_reps reps{4, 2, 8, 4, 2};
    for (const problem_sizes& sizes : SIZES) {
        SCOPED_TRACE(sizes.fft_points);
        std::array<kernel_result, 5> plain = replay_run(sizes, ALL_KERNELS, reps, plain_kernels());
        std::array<kernel_result, 5> fast = replay_run(sizes, ALL_KERNELS, reps, path().kernels());
        for (std::size_t k = 0; k < plain.size(); ++k) {
            EXPECT_TRUE(same_bits(fast[k].checksum, plain[k].checksum))
                << kernel_name(RUN_ORDER[k]) << ": " << fast[k].checksum << " instead of "
                << plain[k].checksum;
            EXPECT_EQ(fast[k].reps, plain[k].reps);
        }
    }
}

TEST_P(ForcedCodePath, TheProgramMeasuresItAndNamesItInJsonAndVersion)
{
    const std::string name = GetParam();
    program_output run =
        run_kalvento({"--code-path=" + name, "--json", "--kernels=fft,sparse,lu", "0.01"});
    ASSERT_EQ(run.status, 0) << run.err;
    json document = json::parse(run.out);
    EXPECT_EQ(document["context"]["code_path"], name);
    kernel_reps reps{1, 1, 1, 1, 1};
    const kernel_id ran[] = {kernel_id::fft, kernel_id::sparse, kernel_id::lu};
    for (std::size_t i = 0; i < 3; ++i)
        reps[kernel_index(ran[i])] = document["kernels"][i]["reps"].get<std::int64_t>();
    std::array<kernel_result, 5> plain =
        replay_run(DEFAULT_SIZES, ALL_KERNELS, reps, plain_kernels());
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_EQ(document["kernels"][i]["checksum"].get<double>(),
                  plain[kernel_index(ran[i])].checksum)
            << kernel_name(ran[i]);

    program_output version = run_kalvento({"--version", "--code-path", name});
    EXPECT_EQ(version.status, 0);
    EXPECT_NE(version.out.find("code path: " + name + " (this CPU supports:"), std::string::npos)
        << version.out;

    program_output verified = run_kalvento({"--code-path", name, "--verify", "0.01"});
    EXPECT_EQ(verified.status, 0) << verified.out << verified.err;
}

std::vector<std::string> built_in_paths()
{
    std::vector<std::string> names;
    for (const code_path& path : code_paths())
        names.push_back(path.name);
    return names;
}

INSTANTIATE_TEST_SUITE_P(BuiltIn, ForcedCodePath, ::testing::ValuesIn(built_in_paths()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             std::string name = info.param;
                             for (char& c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c)))
                                     c = '_';
                             return name;
                         });

TEST(CodePath, UnknownNamesExitWithTheSupportedOnes)
{
    for (std::string arg : {"--code-path=sse9", "--code-path=plain", "--code-path="}) {
        SCOPED_TRACE(arg);
        program_output run = run_kalvento({arg, "0.01"});
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.out, "");
        for (const code_path* path : supported_code_paths())
            EXPECT_NE(run.err.find(path->name), std::string::npos) << run.err;
    }
    program_output no_value = run_kalvento({"--code-path"});
    EXPECT_EQ(no_value.status, 2);
    EXPECT_NE(no_value.err.find("needs a value"), std::string::npos) << no_value.err;
    program_output misspelt = run_kalvento({"--code-pth=avx2"});
    EXPECT_EQ(misspelt.status, 2);
    EXPECT_NE(misspelt.err.find("did you mean '--code-path'?"), std::string::npos) << misspelt.err;
    program_output with_plain = run_kalvento({"--plain", "--code-path", best_code_path().name});
    EXPECT_EQ(with_plain.status, 2);
    EXPECT_NE(with_plain.err.find("--code-path"), std::string::npos) << with_plain.err;
}

} // namespace
