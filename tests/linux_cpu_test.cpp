// The processor as Linux describes it: 64-bit ARM models from their implementer and part
// numbers, and cache sizes from a faked sysfs tree.

#include "driver/linux_cpu.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <stdlib.h>

namespace kalvento {
namespace {

namespace fs = std::filesystem;

std::string arm_processor(int number, const char* implementer, const char* part)
{
    return "processor\t: " + std::to_string(number) +
           "\nBogoMIPS\t: 50.00\nFeatures\t: fp asimd evtstrm aes pmull sha1 sha2 crc32\n"
           "CPU implementer\t: " +
           implementer + "\nCPU architecture: 8\nCPU variant\t: 0x3\nCPU part\t: " + part +
           "\nCPU revision\t: 1\n\n";
}

TEST(ArmCpuModel, KnownImplementersAndParts)
{
    EXPECT_EQ(arm_cpu_model(arm_processor(0, "0x41", "0xd0c") + arm_processor(1, "0x41", "0xd0c")),
              "ARM Neoverse-N1");
    EXPECT_EQ(arm_cpu_model(arm_processor(0, "0x41", "0xd4f")), "ARM Neoverse-V2");
    EXPECT_EQ(arm_cpu_model(arm_processor(0, "0x61", "0x023")), "Apple M1 Firestorm");
    EXPECT_EQ(arm_cpu_model(arm_processor(0, "0xc0", "0xac3")), "Ampere AmpereOne");
}

TEST(ArmCpuModel, EachDistinctCoreOnceInOrder)
{
    std::string big_little = arm_processor(0, "0x41", "0xd05") + arm_processor(1, "0x41", "0xd05") +
                             arm_processor(2, "0x41", "0xd0b") + arm_processor(3, "0x41", "0xd05");
    EXPECT_EQ(arm_cpu_model(big_little), "ARM Cortex-A55 + ARM Cortex-A76");
}

TEST(ArmCpuModel, UnknownNumbersInHex)
{
    EXPECT_EQ(arm_cpu_model(arm_processor(0, "0x51", "0x802")), "Qualcomm part 0x802");
    EXPECT_EQ(arm_cpu_model(arm_processor(0, "0x99", "0x001")), "implementer 0x99 part 0x1");
}

TEST(ArmCpuModel, NothingFromOtherOrDamagedTexts)
{
    EXPECT_EQ(arm_cpu_model(""), "");
    EXPECT_EQ(arm_cpu_model("processor\t: 0\nmodel name\t: Some CPU\nflags\t\t: fpu sse2\n"), "");
    EXPECT_EQ(arm_cpu_model("CPU part\t: 0xd0c\n"), "") << "a part without its implementer";
    EXPECT_EQ(arm_cpu_model(arm_processor(0, "x41", "0xd0c")), "");
    EXPECT_EQ(arm_cpu_model(arm_processor(0, "0x41", "")), "");
    EXPECT_EQ(arm_cpu_model(arm_processor(0, "0x41", "0x123456789")), "");
}

class FakedCaches : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/kalvento_cache_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
    }
    void TearDown() override { fs::remove_all(root); }

    void cache(int index, const char* level, const char* type, const char* size)
    {
        fs::path dir = root / ("index" + std::to_string(index));
        fs::create_directories(dir);
        std::ofstream(dir / "level") << level << "\n";
        std::ofstream(dir / "type") << type << "\n";
        std::ofstream(dir / "size") << size << "\n";
    }

    fs::path root;
};

TEST_F(FakedCaches, DataAndUnifiedCachesByLevel)
{
    cache(0, "1", "Data", "64K");
    cache(1, "1", "Instruction", "48K");
    cache(2, "2", "Unified", "1024K");
    cache(3, "3", "Unified", "32M");
    cache_sizes sizes = sysfs_cache_sizes(root);
    EXPECT_EQ(sizes.l1d_bytes, 64 << 10);
    EXPECT_EQ(sizes.l2_bytes, 1 << 20);
    EXPECT_EQ(sizes.l3_bytes, 32 << 20);
}

TEST_F(FakedCaches, MissingOrDamagedEntriesStayUnknown)
{
    cache(0, "1", "Data", "lots");
    cache(1, "2", "Unified", "");
    fs::create_directories(root / "index2");
    cache(3, "3", "Unified", "2048K");
    cache_sizes sizes = sysfs_cache_sizes(root);
    EXPECT_EQ(sizes.l1d_bytes, 0);
    EXPECT_EQ(sizes.l2_bytes, 0);
    EXPECT_EQ(sizes.l3_bytes, 2 << 20);
    cache_sizes none = sysfs_cache_sizes(root / "absent");
    EXPECT_EQ(none.l1d_bytes + none.l2_bytes + none.l3_bytes, 0);
}

} // namespace
} // namespace kalvento
