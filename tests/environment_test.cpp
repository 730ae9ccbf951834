#include "driver/environment.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <stdlib.h>

namespace kalvento {
namespace {

namespace fs = std::filesystem;

// A faked proc and sys tree of a quiet two-core machine, which tests then disturb.
class FakedMachine : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/kalvento_env_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        probe.root = pattern;
        write("proc/cpuinfo", "processor\t: 0\nmodel name\t: Some CPU\nflags\t\t: fpu sse2 avx2\n\n"
                              "processor\t: 1\nmodel name\t: Some CPU\nflags\t\t: fpu sse2 avx2\n");
        write("proc/loadavg", "0.10 0.20 0.30 1/123 4567\n");
        write("proc/self/maps", "00400000-00452000 r-xp 00000000 08:02 173521 /usr/bin/kalvento\n");
        for (const char* cpu : {"cpu0", "cpu1"})
            write(std::string("sys/devices/system/cpu/") + cpu + "/cpufreq/scaling_governor",
                  "performance\n");
    }
    void TearDown() override { fs::remove_all(probe.root); }

    void write(const std::string& relative, const std::string& text)
    {
        fs::path path = probe.root / relative;
        fs::create_directories(path.parent_path());
        std::ofstream(path) << text;
    }
    std::vector<std::string> warnings() { return environment_warnings(probe); }

    environment_probe probe;
};

TEST_F(FakedMachine, AQuietMachineGivesNoWarning)
{
    EXPECT_TRUE(warnings().empty());
}

TEST_F(FakedMachine, NamesTheHypervisorFlagAndTheVendor)
{
    write("proc/cpuinfo", "processor\t: 0\nflags\t\t: fpu sse2 hypervisor avx2\n"
                          "processor\t: 1\nflags\t\t: fpu sse2 hypervisor avx2\n");
    ASSERT_EQ(warnings().size(), 1u);
    EXPECT_EQ(warnings()[0], "virtual machine: the CPU reports the hypervisor flag; rates depend "
                             "on the host and on its other guests");
    probe.hypervisor_vendor = "KVMKVMKVM";
    EXPECT_NE(warnings()[0].find("hypervisor flag (KVM)"), std::string::npos);
    // Only the whole word counts.
    write("proc/cpuinfo", "processor\t: 0\nflags\t\t: fpu nothypervisor\n");
    probe.hypervisor_vendor = "";
    EXPECT_TRUE(warnings().empty());
}

TEST_F(FakedMachine, RecognisesSoftwareEmulationAndValgrind)
{
    probe.hypervisor_vendor = "TCGTCGTCGTCG";
    ASSERT_EQ(warnings().size(), 1u);
    EXPECT_EQ(warnings()[0].rfind("emulator: ", 0), 0u);
    probe.hypervisor_vendor = "";
    write("proc/self/maps", "04000000-04001000 r-xp 0 08:02 1 "
                            "/usr/libexec/valgrind/vgpreload_memcheck-amd64-linux.so\n");
    ASSERT_EQ(warnings().size(), 1u);
    EXPECT_EQ(warnings()[0].rfind("running under valgrind", 0), 0u);
}

TEST_F(FakedMachine, GovernorsOtherThanPerformanceAreNamedOnce)
{
    write("sys/devices/system/cpu/cpu0/cpufreq/scaling_governor", "powersave\n");
    write("sys/devices/system/cpu/cpu1/cpufreq/scaling_governor", "powersave\n");
    write("sys/devices/system/cpu/cpu12/cpufreq/scaling_governor", "schedutil\n");
    // Not a processor directory.
    write("sys/devices/system/cpu/cpufreq/policy0/scaling_governor", "ondemand\n");
    ASSERT_EQ(warnings().size(), 1u);
    EXPECT_EQ(warnings()[0], "CPU frequency governor \"powersave\", \"schedutil\", not "
                             "\"performance\": the clock speed can change during the run");
}

TEST_F(FakedMachine, TurboAndBoost)
{
    write("sys/devices/system/cpu/intel_pstate/no_turbo", "1\n");
    write("sys/devices/system/cpu/cpufreq/boost", "0\n");
    EXPECT_TRUE(warnings().empty());
    write("sys/devices/system/cpu/cpufreq/boost", "1\n");
    ASSERT_EQ(warnings().size(), 1u);
    EXPECT_EQ(warnings()[0].rfind("frequency boost is on", 0), 0u);
    write("sys/devices/system/cpu/intel_pstate/no_turbo", "0\n");
    ASSERT_EQ(warnings().size(), 1u);
    EXPECT_EQ(warnings()[0].rfind("turbo boost is on", 0), 0u);
}

TEST_F(FakedMachine, LoadAndOtherRunnableProcesses)
{
    // 0.4 on two cores is 0.2 per core: not yet busy.
    write("proc/loadavg", "0.40 0.20 0.30 1/123 4567\n");
    EXPECT_TRUE(warnings().empty());
    write("proc/loadavg", "0.45 0.20 0.30 1/123 4567\n");
    ASSERT_EQ(warnings().size(), 1u);
    EXPECT_EQ(warnings()[0], "busy machine: load average 0.45 on 2 cores (above 0.2 per core): "
                             "other work competes for the processor and its caches");
    write("proc/loadavg", "0.05 0.20 0.30 3/123 4567\n");
    ASSERT_EQ(warnings().size(), 1u);
    EXPECT_EQ(warnings()[0], "busy machine: load average 0.05 on 2 cores, 2 other runnable "
                             "processes: other work competes for the processor and its caches");
    for (const char* damaged : {"", "nan 1 1 1/1 1", "-3 1 1 1/1 1", "1e300 0 0 2/3 4", "x"}) {
        write("proc/loadavg", damaged);
        EXPECT_TRUE(warnings().empty()) << damaged;
    }
}

TEST_F(FakedMachine, BuildsThatAreNotForMeasuring)
{
    probe.sanitized_build = true;
    probe.optimised_build = false;
    ASSERT_EQ(warnings().size(), 2u);
    EXPECT_EQ(warnings()[0].rfind("sanitizer build", 0), 0u);
    EXPECT_EQ(warnings()[1].rfind("unoptimised (debug) build", 0), 0u);
}

TEST_F(FakedMachine, MissingOrDamagedFilesGiveNoWarningAndNoFailure)
{
    write("proc/cpuinfo", std::string(1 << 20, '\0'));
    write("sys/devices/system/cpu/cpu0/cpufreq/scaling_governor", "");
    fs::remove(probe.root / "proc/loadavg");
    EXPECT_TRUE(warnings().empty());
    environment_probe elsewhere = probe;
    elsewhere.root = probe.root / "nowhere";
    EXPECT_TRUE(environment_warnings(elsewhere).empty());
}

TEST(Environment, ThisMachine)
{
    environment_probe probe = this_environment();
    EXPECT_EQ(probe.root, fs::path("/"));
#ifdef KALVENTO_SANITIZED
    EXPECT_TRUE(probe.sanitized_build);
#endif
    // Whatever this machine is, the warnings are single lines.
    for (const std::string& warning : environment_warnings(probe))
        EXPECT_EQ(warning.find('\n'), std::string::npos);
}

} // namespace
} // namespace kalvento
