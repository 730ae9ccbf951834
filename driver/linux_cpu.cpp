#include "driver/linux_cpu.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>
#include <utility>
#include <vector>

namespace kalvento {

namespace {

struct arm_implementer {
    unsigned id;
    const char* name;
};
constexpr arm_implementer IMPLEMENTERS[] = {
    {0x41, "ARM"},       {0x42, "Broadcom"},  {0x43, "Cavium"}, {0x46, "Fujitsu"},
    {0x48, "HiSilicon"}, {0x4e, "NVIDIA"},    {0x50, "APM"},    {0x51, "Qualcomm"},
    {0x61, "Apple"},     {0x6d, "Microsoft"}, {0xc0, "Ampere"},
};

struct arm_part {
    unsigned implementer;
    unsigned id;
    const char* name;
};
constexpr arm_part PARTS[] = {
    {0x41, 0xd03, "Cortex-A53"},   {0x41, 0xd04, "Cortex-A35"},   {0x41, 0xd05, "Cortex-A55"},
    {0x41, 0xd07, "Cortex-A57"},   {0x41, 0xd08, "Cortex-A72"},   {0x41, 0xd09, "Cortex-A73"},
    {0x41, 0xd0a, "Cortex-A75"},   {0x41, 0xd0b, "Cortex-A76"},   {0x41, 0xd0c, "Neoverse-N1"},
    {0x41, 0xd0d, "Cortex-A77"},   {0x41, 0xd40, "Neoverse-V1"},  {0x41, 0xd41, "Cortex-A78"},
    {0x41, 0xd44, "Cortex-X1"},    {0x41, 0xd46, "Cortex-A510"},  {0x41, 0xd47, "Cortex-A710"},
    {0x41, 0xd48, "Cortex-X2"},    {0x41, 0xd49, "Neoverse-N2"},  {0x41, 0xd4d, "Cortex-A715"},
    {0x41, 0xd4e, "Cortex-X3"},    {0x41, 0xd4f, "Neoverse-V2"},  {0x43, 0x0af, "ThunderX2"},
    {0x46, 0x001, "A64FX"},        {0x48, 0xd01, "Kunpeng-920"},  {0x4e, 0x004, "Carmel"},
    {0x61, 0x022, "M1 Icestorm"},  {0x61, 0x023, "M1 Firestorm"}, {0x61, 0x032, "M2 Blizzard"},
    {0x61, 0x033, "M2 Avalanche"}, {0xc0, 0xac3, "AmpereOne"},
};

std::string hex(unsigned value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

std::string model_name(unsigned implementer, unsigned part)
{
    std::string maker = "implementer " + hex(implementer);
    for (const arm_implementer& known : IMPLEMENTERS)
        if (known.id == implementer)
            maker = known.name;
    for (const arm_part& known : PARTS)
        if (known.implementer == implementer && known.id == part)
            return maker + " " + known.name;
    return maker + " part " + hex(part);
}

// The number after the colon of a "name : 0x41" line, if it is one.
bool number_after_colon(const std::string& line, unsigned& value)
{
    std::size_t colon = line.find(':');
    if (colon == std::string::npos)
        return false;
    const char* text = line.c_str() + colon + 1;
    char* end = nullptr;
    unsigned long number = std::strtoul(text, &end, 0);
    if (end == text || number > 0xffff)
        return false;
    value = static_cast<unsigned>(number);
    return true;
}

// "32K", "1024K", "8M": bytes, or 0.
std::int64_t size_in_bytes(const std::string& text)
{
    char* end = nullptr;
    unsigned long long number = std::strtoull(text.c_str(), &end, 10);
    if (end == text.c_str() || number > (1ull << 40))
        return 0;
    switch (*end) {
    case 'K':
        return static_cast<std::int64_t>(number) << 10;
    case 'M':
        return static_cast<std::int64_t>(number) << 20;
    case 'G':
        return static_cast<std::int64_t>(number) << 30;
    case '\0':
    case '\n':
        return static_cast<std::int64_t>(number);
    default:
        return 0;
    }
}

std::string first_line(const std::filesystem::path& path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

} // namespace

std::string arm_cpu_model(const std::string& cpuinfo)
{
    std::vector<std::pair<unsigned, unsigned>> seen;
    std::istringstream lines(cpuinfo);
    unsigned implementer = 0;
    bool has_implementer = false;
    for (std::string line; std::getline(lines, line);) {
        unsigned value = 0;
        if (line.rfind("CPU implementer", 0) == 0) {
            has_implementer = number_after_colon(line, implementer);
        } else if (line.rfind("CPU part", 0) == 0 && has_implementer &&
                   number_after_colon(line, value)) {
            std::pair<unsigned, unsigned> model{implementer, value};
            bool known = false;
            for (const auto& other : seen)
                known = known || other == model;
            if (!known)
                seen.push_back(model);
        }
    }
    std::string models;
    for (const auto& [maker, part] : seen)
        models += (models.empty() ? "" : " + ") + model_name(maker, part);
    return models;
}

cache_sizes sysfs_cache_sizes(const std::filesystem::path& directory)
{
    cache_sizes sizes;
    std::error_code error;
    for (std::filesystem::directory_iterator entry(directory, error), end; !error && entry != end;
         entry.increment(error)) {
        if (entry->path().filename().string().rfind("index", 0) != 0)
            continue;
        std::string level = first_line(entry->path() / "level");
        std::string type = first_line(entry->path() / "type");
        std::int64_t bytes = size_in_bytes(first_line(entry->path() / "size"));
        if (type == "Instruction" || bytes == 0)
            continue;
        if (level == "1")
            sizes.l1d_bytes = bytes;
        else if (level == "2")
            sizes.l2_bytes = bytes;
        else if (level == "3")
            sizes.l3_bytes = bytes;
    }
    return sizes;
}

} // namespace kalvento
