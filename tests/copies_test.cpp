// Copies side by side: the options, the placement on CPUs, pinning, the barrier and the joint
// doubling, the checks of the copies' checksums, and the reports of the real program.

#include "driver/copies.h"
#include "driver/options.h"
#include "driver/run.h"
#include "kernels/kernel_set.h"
#include "program_runner.h"
#include "support/cpu_timer.h"
#include "support/thread_platform.h"

#include <chrono>
#include <cmath>
#include <gtest/gtest.h>
#include <initializer_list>
#include <limits>
#include <mutex>
#include <nlohmann/json.hpp>
#include <regex>
#include <thread>

using namespace kalvento;
using namespace kalvento::testing;
using json = nlohmann::ordered_json;

namespace {

options_reading read(std::initializer_list<const char*> args)
{
    std::vector<const char*> argv{"kalvento"};
    argv.insert(argv.end(), args);
    return read_long_options(static_cast<int>(argv.size()), argv.data());
}

kernel_selection only(kernel_id kernel)
{
    kernel_selection selection{};
    selection[kernel_index(kernel)] = true;
    return selection;
}

// Two CPUs this process may run on, in reverse order so that a copy on the CPU of its own index
// could not pass by chance; empty when there are fewer than two.
std::vector<int> two_cpus()
{
    std::vector<int> allowed = allowed_cpus();
    if (allowed.size() < 2)
        return {};
    return {allowed[1], allowed[0]};
}

copies_plan plan_of(std::vector<int> cpus, std::vector<const kernel_set*> kernels,
                    kernel_selection selection, double min_seconds)
{
    copies_plan plan;
    plan.sizes = DEFAULT_SIZES;
    plan.min_seconds = min_seconds;
    plan.selection = selection;
    plan.cpus = std::move(cpus);
    plan.kernels = std::move(kernels);
    return plan;
}

std::vector<kernel_copies> run_all(const copies_plan& plan)
{
    std::vector<kernel_copies> measured;
    run_copies(plan, [&](const kernel_copies& kernel) { measured.push_back(kernel); });
    return measured;
}

// A processor clock of the test's own making: each copy's thread charges itself for the samples
// it draws, one copy four times as much as the other, so the doubling is known in advance.
thread_local double charged_seconds = 0.0;
double charged_clock()
{
    return charged_seconds;
}

constexpr double SECONDS_PER_SAMPLE = 1.0e-6;
constexpr double SLOWED_SECONDS_PER_SAMPLE = 4.0e-6;

struct attempt_span {
    bool slowed;
    std::int32_t samples;
    std::chrono::steady_clock::time_point entered, left;
};
std::mutex attempts_lock;
std::vector<attempt_span> attempts;

double logged_pi(std::int32_t samples, bool slowed)
{
    auto entered = std::chrono::steady_clock::now();
    charged_seconds += samples * (slowed ? SLOWED_SECONDS_PER_SAMPLE : SECONDS_PER_SAMPLE);
    // The slowed copy also lags on the wall clock, which the barrier must wait for.
    if (slowed)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    double estimate = plain_kernels().monte_carlo_pi(samples);
    std::lock_guard<std::mutex> hold(attempts_lock);
    attempts.push_back({slowed, samples, entered, std::chrono::steady_clock::now()});
    return estimate;
}

double charged_pi(std::int32_t samples)
{
    return logged_pi(samples, false);
}

double slowed_pi(std::int32_t samples)
{
    return logged_pi(samples, true);
}

kernel_set with_monte_carlo(double (*pi)(std::int32_t))
{
    kernel_set set = plain_kernels();
    set.monte_carlo_pi = pi;
    return set;
}

double corrupted_pi(std::int32_t samples)
{
    return std::nextafter(plain_kernels().monte_carlo_pi(samples),
                          std::numeric_limits<double>::infinity());
}

copy_run run_with(double checksum, double operations, double started, double finished,
                  double mflops)
{
    copy_run run;
    run.result.checksum = checksum;
    run.result.operations = operations;
    run.result.mflops = mflops;
    run.result.reps = 4;
    run.started = started;
    run.finished = finished;
    return run;
}

} // namespace

TEST(CopiesOptions, ReadCountsAllAndLists)
{
    EXPECT_EQ(read({"--copies=2"}).options.copies, 2);
    EXPECT_EQ(read({"--copies", "ALL"}).options.copies, ALL_COPIES);
    options_reading listed = read({"--cpus=0,2,4-7"});
    ASSERT_EQ(listed.error, "");
    EXPECT_EQ(listed.options.cpus, (std::vector<int>{0, 2, 4, 5, 6, 7}));
    EXPECT_EQ(read({"--cpus=3,1"}).options.cpus, (std::vector<int>{3, 1}));
    EXPECT_EQ(read({"--copies=2", "--cpus=1-2"}).error, "");
    EXPECT_EQ(read({"--copies=all", "--cpus=1-2"}).error, "");
    EXPECT_EQ(read({"--copies=2", "--kernels=lu", "--verify", "--json"}).error, "");
}

TEST(CopiesOptions, RefuseBadCountsListsAndCombinations)
{
    for (const char* count : {"0", "-1", "", "two", "2.5", "1e3", "1234567890", " 2", "al"})
        EXPECT_NE(read({"--copies", count}).error.find("--copies takes a number"),
                  std::string::npos)
            << count;
    for (const char* list : {"", ",", "1,", ",1", "1,,2", "3-1", "0,0", "0-2,1", "a", "1-", "-1",
                             "0x1", "8192", "1 2", "0-99999999999"})
        EXPECT_NE(read({"--cpus", list}).error.find("--cpus takes"), std::string::npos) << list;
    EXPECT_NE(read({"--copies=3", "--cpus=0,1"}).error.find("lists 2 CPUs"), std::string::npos);
    EXPECT_NE(read({"--copies=2", "--repeat=3"}).error, "");
    EXPECT_NE(read({"--cpus=0", "--check-report=-"}).error, "");
    EXPECT_NE(read({"--copies=2", "--compare", "a", "b"}).error, "");
}

TEST(CopiesPlacement, TakesTheFirstAllowedOrTheListedCpus)
{
    const std::vector<int> allowed{0, 2, 3, 8};
    extended_options options;
    EXPECT_TRUE(place_copies(options, allowed).cpus.empty());
    options.copies = 3;
    EXPECT_EQ(place_copies(options, allowed).cpus, (std::vector<int>{0, 2, 3}));
    options.copies = ALL_COPIES;
    EXPECT_EQ(place_copies(options, allowed).cpus, allowed);
    options.copies = 5;
    copy_placement too_many = place_copies(options, allowed);
    EXPECT_TRUE(too_many.cpus.empty());
    EXPECT_NE(too_many.error.find("may run on 4 CPUs (0,2,3,8)"), std::string::npos)
        << too_many.error;
    options.copies = 0;
    options.cpus = {8, 2};
    EXPECT_EQ(place_copies(options, allowed).cpus, (std::vector<int>{8, 2}));
    options.cpus = {2, 1};
    EXPECT_NE(place_copies(options, allowed).error.find("names CPU 1"), std::string::npos);

    EXPECT_EQ(cpu_list_text(std::vector<int>{0, 1, 2, 3, 6, 9, 10}), "0-3,6,9,10");
    EXPECT_EQ(cpu_list_text(std::vector<int>{}), "");
}

TEST(CopiesRun, PinsEveryCopyAndComputesTheDataOfASingleRun)
{
    std::vector<int> cpus = two_cpus();
    if (cpus.empty() || !thread_pinning_supported())
        GTEST_SKIP() << "needs two CPUs and thread pinning";
    const kernel_set& plain = plain_kernels();
    std::vector<kernel_copies> measured =
        run_all(plan_of(cpus, {&plain, &plain}, ALL_KERNELS, 0.002));
    ASSERT_EQ(measured.size(), 5u);
    kernel_reps reps{};
    for (const kernel_copies& kernel : measured)
        reps[kernel_index(kernel.kernel)] = kernel.copies[0].result.reps;
    std::array<kernel_result, 5> single = replay_run(DEFAULT_SIZES, ALL_KERNELS, reps, plain);
    for (const kernel_copies& kernel : measured) {
        SCOPED_TRACE(kernel_label(kernel.kernel));
        ASSERT_EQ(kernel.copies.size(), 2u);
        EXPECT_EQ(kernel.alone.cpu_seen, cpus[0]);
        for (std::size_t copy = 0; copy < 2; ++copy) {
            const copy_run& run = kernel.copies[copy];
            EXPECT_EQ(run.cpu_seen, cpus[copy]);
            EXPECT_EQ(run.result.reps, reps[kernel_index(kernel.kernel)]);
            EXPECT_TRUE(
                same_bits(run.result.checksum, single[kernel_index(kernel.kernel)].checksum));
            EXPECT_LE(run.started, run.finished);
        }
        copies_outcome outcome = summarize_copies(kernel, cpus);
        EXPECT_TRUE(outcome.differing.empty());
        EXPECT_GT(outcome.aggregate_mflops, 0.0);
        EXPECT_GT(outcome.scaling_efficiency, 0.0);
    }
}

TEST(CopiesRun, ASlowedCopyEndsWithTheOthersAndEveryAttemptStartsTogether)
{
    std::vector<int> cpus = two_cpus();
    if (cpus.empty())
        GTEST_SKIP() << "needs two CPUs";
    attempts.clear();
    kernel_set charged = with_monte_carlo(charged_pi);
    kernel_set slowed = with_monte_carlo(slowed_pi);
    cpu_clock_override(charged_clock);
    std::vector<kernel_copies> measured =
        run_all(plan_of(cpus, {&charged, &slowed}, only(kernel_id::monte_carlo), 1.0));
    cpu_clock_override(nullptr);
    ASSERT_EQ(measured.size(), 1u);
    const kernel_copies& mc = measured[0];

    // Alone, the slowed copy would stop at 2^18 samples (1.05 s); the other needs 2^20.
    constexpr std::int64_t JOINT_REPS = std::int64_t{1} << 20;
    EXPECT_EQ(mc.alone.result.reps, JOINT_REPS);
    EXPECT_EQ(mc.copies[0].result.reps, JOINT_REPS);
    EXPECT_EQ(mc.copies[1].result.reps, JOINT_REPS);
    EXPECT_DOUBLE_EQ(mc.copies[0].result.seconds, JOINT_REPS * SECONDS_PER_SAMPLE);
    EXPECT_DOUBLE_EQ(mc.copies[1].result.seconds, JOINT_REPS * SLOWED_SECONDS_PER_SAMPLE);
    EXPECT_DOUBLE_EQ(mc.copies[1].result.mflops, mc.copies[0].result.mflops / 4.0);
    EXPECT_TRUE(same_bits(mc.copies[0].result.checksum, mc.copies[1].result.checksum));

    // The copies' attempts, after copy 0's attempts alone: each starts only once both copies
    // have finished the one before.
    std::vector<attempt_span> together[2];
    for (const attempt_span& a : attempts)
        together[a.slowed].push_back(a);
    ASSERT_EQ(together[1].size(), 21u);
    ASSERT_EQ(together[0].size(), 42u);
    together[0].erase(together[0].begin(), together[0].begin() + 21);
    for (std::size_t i = 1; i < 21; ++i)
        for (int copy = 0; copy < 2; ++copy) {
            EXPECT_EQ(together[copy][i].samples, std::int32_t{1} << i);
            EXPECT_GE(together[copy][i].entered, together[0][i - 1].left);
            EXPECT_GE(together[copy][i].entered, together[1][i - 1].left);
        }
}

TEST(CopiesRun, FindsTheCopyWhoseChecksumDiffers)
{
    std::vector<int> cpus = two_cpus();
    if (cpus.empty())
        GTEST_SKIP() << "needs two CPUs";
    kernel_set corrupted = with_monte_carlo(corrupted_pi);
    const kernel_set& plain = plain_kernels();
    kernel_selection selection = only(kernel_id::monte_carlo);
    selection[kernel_index(kernel_id::sor)] = true;
    std::vector<kernel_copies> measured =
        run_all(plan_of(cpus, {&plain, &corrupted}, selection, 0.002));
    ASSERT_EQ(measured.size(), 2u);
    copies_outcome sor = summarize_copies(measured[0], cpus);
    copies_outcome mc = summarize_copies(measured[1], cpus);
    EXPECT_TRUE(sor.differing.empty());
    ASSERT_EQ(mc.differing, (std::vector<std::size_t>{1}));
    EXPECT_EQ(mc.copies[1].cpu, cpus[1]);
    EXPECT_TRUE(same_bits(mc.common_checksum, measured[1].copies[0].result.checksum));
}

TEST(CopiesSummary, AggregatesOverTheWallClockSpanAndTakesTheMajorityChecksum)
{
    kernel_copies three{kernel_id::lu, {}, {}};
    three.copies = {run_with(1.5, 2.0e6, 0.0, 1.0, 2.0), run_with(2.5, 2.0e6, 0.5, 1.5, 4.0),
                    run_with(1.5, 2.0e6, 0.25, 2.0, 3.0)};
    three.alone = run_with(1.5, 1.0e6, 3.0, 3.5, 2.0);
    copies_outcome outcome = summarize_copies(three, std::vector<int>{4, -1, 6});
    EXPECT_DOUBLE_EQ(outcome.wall_seconds, 2.0);
    EXPECT_DOUBLE_EQ(outcome.aggregate_mflops, 3.0);
    EXPECT_DOUBLE_EQ(outcome.min_mflops, 2.0);
    EXPECT_DOUBLE_EQ(outcome.median_mflops, 3.0);
    EXPECT_DOUBLE_EQ(outcome.max_mflops, 4.0);
    EXPECT_DOUBLE_EQ(outcome.alone_mflops, 2.0); // 1e6 operations in 0.5 s of wall clock
    EXPECT_DOUBLE_EQ(outcome.scaling_efficiency, 0.5);
    EXPECT_EQ(outcome.common_checksum, 1.5);
    EXPECT_EQ(outcome.differing, (std::vector<std::size_t>{1}));
    EXPECT_EQ(outcome.copies[1].cpu, -1);

    // Two copies that disagree: the lower copy's checksum is taken as the common one.
    kernel_copies two{kernel_id::lu, {}, {}};
    two.copies = {run_with(2.5, 1.0, 0.0, 1.0, 1.0), run_with(1.5, 1.0, 0.0, 1.0, 1.0)};
    EXPECT_EQ(summarize_copies(two, std::vector<int>{0, 1}).differing,
              (std::vector<std::size_t>{1}));
    // Zeros of both signs differ in their bits.
    two.copies[0].result.checksum = 0.0;
    two.copies[1].result.checksum = -0.0;
    EXPECT_EQ(summarize_copies(two, std::vector<int>{0, 1}).differing.size(), 1u);
}

TEST(CopiesProgram, RefusesCountsAndListsTheMachineCannotMeet)
{
    std::vector<int> allowed = allowed_cpus();
    std::string too_many = "--copies=" + std::to_string(allowed.size() + 1);
    program_output refused = run_kalvento({too_many, "0.01"});
    EXPECT_EQ(refused.status, 2);
    EXPECT_EQ(refused.out, "");
    EXPECT_NE(refused.err.find("needs a CPU for every copy"), std::string::npos) << refused.err;
    EXPECT_EQ(run_kalvento({"--copies=0", "0.01"}).status, 2);
    EXPECT_EQ(run_kalvento({"--cpus=1-0", "0.01"}).status, 2);
    if (allowed.back() < MAX_CPU_NUMBER) {
        program_output unknown =
            run_kalvento({"--cpus=" + std::to_string(allowed.back() + 1), "0.01"});
        EXPECT_EQ(unknown.status, 2);
        EXPECT_NE(unknown.err.find("--cpus names CPU"), std::string::npos) << unknown.err;
    }
}

TEST(CopiesProgram, ClassicReportShowsAggregatesThenOneLinePerCopy)
{
    std::vector<int> cpus = two_cpus();
    if (cpus.empty())
        GTEST_SKIP() << "needs two CPUs";
    program_output run =
        run_kalvento({"--copies=2", "--kernels=montecarlo,lu", "--verify", "0.01"});
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<std::string> lines = lines_of(run.out);
    ASSERT_EQ(lines.size(), 31u) << run.out;
    std::string rate = R"( *\d+\.\d\d)";
    std::vector<std::string> expected = {
        R"(MonteCarlo:     Mflops: )" + rate + "  ",
        R"(LU              Mflops: )" + rate + R"(    \(M=100, N=100\) )",
        "",
        R"(\*{36})",
        R"(Composite Score:       )" + rate,
        R"(\*{36})",
        "",
        R"(Montel Carlo reps:     \d+)",
        R"(LU reps:               \d+)",
        "",
        R"(checksum:              \d\.\d{16}e[+-]\d\d)",
        "",
        R"(Copies side by side:   2)",
        R"(Mflops                      MonteCarlo             LU)",
        R"(Copy 0 \(CPU )" + std::to_string(allowed_cpus()[0]) + R"(\)        )" + rate + rate,
        R"(Copy 1 \(CPU )" + std::to_string(allowed_cpus()[1]) + R"(\)        )" + rate + rate,
        R"(Copy minimum           )" + rate + rate,
        R"(Copy median            )" + rate + rate,
        R"(Copy maximum           )" + rate + rate,
        R"(One copy alone         )" + rate + rate,
        R"(Scaling efficiency      *\d+\.\d{3} *\d+\.\d{3})",
        R"(Checksums:             all 2 copies agree)",
        "",
        R"(MonteCarlo      verified)",
        R"(LU              verified)",
    };
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_TRUE(std::regex_match(lines[6 + i], std::regex(expected[i])))
            << "line " << 7 + i << ": '" << lines[6 + i] << "'";
}

TEST(CopiesProgram, JsonNamesEveryCopyAndADifferingOneEndsWithStatus3)
{
    std::vector<int> cpus = two_cpus();
    if (cpus.empty())
        GTEST_SKIP() << "needs two CPUs";
    program_output agreeing =
        run_kalvento({"--copies=2", "--json", "--verify", "--kernels=sor,sparse", "0.01"});
    ASSERT_EQ(agreeing.status, 0) << agreeing.err;
    json document = json::parse(agreeing.out);
    EXPECT_EQ(document["copies"], 2);
    EXPECT_EQ(document["all_copies_agree"], true);
    EXPECT_EQ(document["verified"], true);
    for (const json& kernel : document["kernels"]) {
        EXPECT_EQ(kernel["aggregate_mflops"], kernel["mflops"]);
        ASSERT_EQ(kernel["copies"].size(), 2u);
        for (std::size_t copy = 0; copy < 2; ++copy) {
            const json& entry = kernel["copies"][copy];
            std::vector<std::string> fields;
            for (const auto& [name, value] : entry.items())
                fields.push_back(name);
            EXPECT_EQ(fields, (std::vector<std::string>{"copy", "cpu", "mflops", "reps", "seconds",
                                                        "checksum", "checksum_text"}));
            EXPECT_EQ(entry["copy"], copy);
            EXPECT_EQ(entry["cpu"], allowed_cpus()[copy]);
            EXPECT_EQ(entry["reps"], kernel["reps"]);
            EXPECT_EQ(entry["checksum_text"], kernel["verification"]["plain_checksum_text"]);
        }
        EXPECT_TRUE(kernel["differing_copies"].empty());
    }

    // The test build's last copy computes a Monte Carlo estimate one unit in the last place off.
    program_output differing = run_binary(KALVENTO_PERTURBED_BINARY,
                                          {"--copies=2", "--json", "--kernels=montecarlo", "0.01"});
    EXPECT_EQ(differing.status, 3);
    EXPECT_TRUE(std::regex_search(
        differing.err, std::regex(R"(copy 1 \(CPU \d+\) computed another MonteCarlo checksum: )"
                                  R"(\S+, where the other copies computed \S+)")))
        << differing.err;
    json named = json::parse(differing.out);
    EXPECT_EQ(named["all_copies_agree"], false);
    const json& wrong = named["kernels"][0]["differing_copies"];
    ASSERT_EQ(wrong.size(), 1u);
    EXPECT_EQ(wrong[0]["copy"], 1);
    EXPECT_EQ(wrong[0]["common_checksum_text"], named["kernels"][0]["copies"][0]["checksum_text"]);
    EXPECT_NE(wrong[0]["checksum_text"], wrong[0]["common_checksum_text"]);
}
