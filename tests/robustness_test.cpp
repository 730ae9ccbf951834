// Failures a user can cause: a full device, an interrupt, too little memory, odd sizes.

#include "driver/run.h"
#include "program_runner.h"
#include "support/failure.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <regex>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace kalvento;
using namespace kalvento::testing;

TEST(Robustness, AFullDeviceIsAnError)
{
    // The runner redirects standard output itself, so send it to the device by hand.
    std::string command =
        shell_command(KALVENTO_BINARY, {"0.01"}) + " >/dev/full 2>/tmp/kalvento_full_err";
    int raw = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(raw));
    EXPECT_EQ(WEXITSTATUS(raw), 1);
    EXPECT_EQ(read_file("/tmp/kalvento_full_err"),
              "kalvento: cannot write the report: No space left on device\n");
    std::remove("/tmp/kalvento_full_err");
}

TEST(Robustness, AnInterruptedRunKeepsTheMeasuredLines)
{
    char path[] = "/tmp/kalvento_interrupt_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        dup2(fd, 1);
        exec_program(KALVENTO_BINARY, {"0.2"});
        _exit(127);
    }
    // Interrupt as soon as the first kernel line is out.
    std::string text;
    for (int i = 0; i < 3000 && text.find("SOR") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        text = read_file(path);
    }
    kill(child, SIGINT);
    int status = 0;
    waitpid(child, &status, 0);
    text = read_file(path);
    close(fd);
    unlink(path);
    EXPECT_TRUE(WIFSIGNALED(status));
    std::vector<std::string> lines = lines_of(text);
    ASSERT_GE(lines.size(), 8u) << text;
    EXPECT_EQ(lines[4], "Using       0.20 seconds min time per kernel.");
    EXPECT_TRUE(
        std::regex_match(lines[6], std::regex(R"(FFT +Mflops: +[0-9]+\.[0-9]{2} +\(N=1024\) )")));
    EXPECT_TRUE(std::regex_match(lines[7],
                                 std::regex(R"(SOR +Mflops: +[0-9]+\.[0-9]{2} +\(100 x 100\) )")));
}

#ifndef KALVENTO_SANITIZED // the sanitizers reserve far more address space than any limit here
TEST(Robustness, RunningOutOfMemoryNamesTheKernelAndKeepsEarlierLines)
{
    if (*EMULATOR)
        GTEST_SKIP() << "the emulator itself needs more address space than these limits";
    // 64 MB cannot hold the FFT's 128 MB vector of a 100 MB budget.
    program_output first = run_kalvento({"-huge", "100", "0.01"}, "prlimit --as=67108864");
    EXPECT_EQ(first.status, 1);
    EXPECT_EQ(first.err, "kalvento: out of memory for the FFT (N=8388608)\n");
    std::vector<std::string> lines = lines_of(first.out);
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[4],
              "Using       0.01 seconds min time per kernel. Approx. problem size: 100 (MB)");

    // With 45 MB a 20 MB budget gets through the FFT (32 MB) but not the last kernels.
    program_output later = run_kalvento({"-huge", "20", "0.01"}, "prlimit --as=47185920");
    EXPECT_EQ(later.status, 1);
    std::smatch failed;
    ASSERT_TRUE(std::regex_match(
        later.err, failed,
        std::regex(
            R"(kalvento: out of memory for (the sparse matrix \(N=327680, nz=2621440\)|LU \(M=1619, N=1619\))\n)")))
        << later.err;
    lines = lines_of(later.out);
    bool lu_failed = failed[1].str().rfind("LU", 0) == 0;
    ASSERT_EQ(lines.size(), lu_failed ? 10u : 9u) << later.out;
    EXPECT_EQ(lines[6].rfind("FFT             Mflops: ", 0), 0u);
    EXPECT_EQ(lines[7].rfind("SOR             Mflops: ", 0), 0u);
    EXPECT_EQ(lines[8].rfind("MonteCarlo:     Mflops: ", 0), 0u);
}
#endif

TEST(Robustness, OddCommandLinesComplete)
{
    struct odd {
        std::vector<std::string> args;
        std::string settings;
    };
    for (const odd& o : std::vector<odd>{
             {{"-huge", "-5", "0.01"},
              "Using       0.01 seconds min time per kernel. Approx. problem size: 0 (MB)"},
             {{"-huge", "many", "0.01"},
              "Using       0.01 seconds min time per kernel. Approx. problem size: 0 (MB)"},
             {{"-huge", "", "0.01"},
              "Using       0.01 seconds min time per kernel. Approx. problem size: 0 (MB)"},
             {{"0.01", "-huge", "99999"}, "Using       0.01 seconds min time per kernel."},
             {{"1e-300"}, "Using       0.00 seconds min time per kernel."},
         }) {
        program_output run = run_kalvento(o.args);
        EXPECT_EQ(run.status, 0) << o.args[0];
        std::vector<std::string> lines = lines_of(run.out);
        ASSERT_EQ(lines.size(), 23u) << run.out;
        EXPECT_EQ(lines[4], o.settings);
        EXPECT_EQ(run.out.find("nan"), std::string::npos);
        EXPECT_EQ(run.out.find("inf"), std::string::npos);
    }
}

TEST(Robustness, StreamOffsetsAndMemoryOfTheSizes)
{
    problem_sizes d = DEFAULT_SIZES;
    EXPECT_EQ(describe(kernel_id::fft).shared_draws(d), 2048u);
    EXPECT_EQ(describe(kernel_id::sor).shared_draws(d), 10000u);
    EXPECT_EQ(describe(kernel_id::monte_carlo).shared_draws(d), 0u);
    EXPECT_EQ(describe(kernel_id::sparse).shared_draws(d), 6000u);
    EXPECT_EQ(describe(kernel_id::lu).shared_draws(d), 10000u);
    EXPECT_EQ(describe(kernel_id::sparse).shared_draws(problem_sizes{1, 0, 10, 95}), 100u);
    EXPECT_EQ(describe(kernel_id::sparse).shared_draws(problem_sizes{1, 0, 0, 95}), 0u);

    // Every kernel but Monte Carlo holds at most about twice the budget.
    for (std::int32_t mb : {1, 3, 8, 100, 1000, 4095}) {
        std::uint64_t budget = static_cast<std::uint64_t>(mb) << 20;
        EXPECT_LE(run_peak_bytes(sizes_from_megabytes(mb)), 2 * budget + (budget >> 4)) << mb;
    }
    EXPECT_NO_THROW(check_memory(sizes_from_megabytes(4095), 0));
    EXPECT_NO_THROW(check_memory(sizes_from_megabytes(100), 1ull << 30));
    try {
        check_memory(sizes_from_megabytes(1000), 1ull << 30);
        FAIL() << "a 1000 MB budget fits no 1 GB machine";
    } catch (const run_failure& failure) {
        EXPECT_STREQ(failure.what(), "these sizes need about 2000 MB of memory at once, more than "
                                     "this machine's 1024 MB");
    }
}
