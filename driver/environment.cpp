#include "driver/environment.h"

#include "support/platform.h"

#include <algorithm>
#include <cstring>
#include <fstream>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace kalvento {

namespace {

// Files of proc and sys are small; a longer one is not what it should be.
constexpr std::size_t MAX_PROBED_LINES = 1 << 16;
constexpr std::size_t MAX_PROBED_CPUS = 4096;

// The lines of a file, at most MAX_PROBED_LINES; none when it cannot be read.
std::vector<std::string> read_lines(const std::filesystem::path& path)
{
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; lines.size() < MAX_PROBED_LINES && std::getline(in, line);)
        lines.push_back(line.substr(0, 4096));
    return lines;
}

std::string first_line(const std::filesystem::path& path)
{
    std::vector<std::string> lines = read_lines(path);
    if (lines.empty())
        return "";
    std::string line = lines.front();
    line.erase(line.find_last_not_of(" \t\r") + 1);
    return line;
}

bool has_word(const std::string& text, const std::string& word)
{
    std::size_t at = 0;
    while ((at = text.find(word, at)) != std::string::npos) {
        bool starts = at == 0 || text[at - 1] == ' ' || text[at - 1] == '\t';
        std::size_t end = at + word.size();
        if (starts && (end == text.size() || text[end] == ' ' || text[end] == '\t'))
            return true;
        at = end;
    }
    return false;
}

std::string readable_vendor(std::string vendor)
{
    static const char* const KNOWN[][2] = {
        {"KVMKVMKVM", "KVM"},        {"Microsoft Hv", "Hyper-V"},    {"VMwareVMware", "VMware"},
        {"XenVMMXenVMM", "Xen"},     {"VBoxVBoxVBox", "VirtualBox"}, {"bhyve bhyve ", "bhyve"},
        {"TCGTCGTCGTCG", "QEMU TCG"}};
    for (const auto& known : KNOWN)
        if (vendor == known[0])
            return known[1];
    vendor.erase(
        std::remove_if(vendor.begin(), vendor.end(), [](char c) { return c < ' ' || c > '~'; }),
        vendor.end());
    vendor.erase(vendor.find_last_not_of(' ') + 1);
    return vendor;
}

void check_cpu(const environment_probe& probe, std::vector<std::string>& warnings)
{
    bool hypervisor = false;
    for (const std::string& line : read_lines(probe.root / "proc/cpuinfo"))
        if (line.rfind("flags", 0) == 0 && has_word(line, "hypervisor")) {
            hypervisor = true;
            break;
        }
    std::string vendor = readable_vendor(probe.hypervisor_vendor);
    if (vendor == "QEMU TCG")
        warnings.push_back("emulator: the CPU is emulated in software by QEMU (TCG); its rates "
                           "say little about real hardware");
    else if (hypervisor)
        warnings.push_back("virtual machine: the CPU reports the hypervisor flag" +
                           (vendor.empty() ? std::string() : " (" + vendor + ")") +
                           "; rates depend on the host and on its other guests");
}

void check_frequency(const environment_probe& probe, std::vector<std::string>& warnings)
{
    std::filesystem::path cpus = probe.root / "sys/devices/system/cpu";
    std::vector<std::string> governors;
    std::error_code error;
    std::filesystem::directory_iterator entries(cpus, error), end;
    for (std::size_t seen = 0; !error && entries != end && seen < MAX_PROBED_CPUS;
         entries.increment(error), ++seen) {
        std::string name = entries->path().filename().string();
        if (name.size() < 4 || name.rfind("cpu", 0) != 0 ||
            name.find_first_not_of("0123456789", 3) != std::string::npos)
            continue;
        std::string governor = first_line(entries->path() / "cpufreq/scaling_governor");
        if (!governor.empty() && governor != "performance" &&
            std::find(governors.begin(), governors.end(), governor) == governors.end())
            governors.push_back(governor);
    }
    std::sort(governors.begin(), governors.end());
    if (!governors.empty()) {
        std::string names;
        for (const std::string& governor : governors)
            names += (names.empty() ? "\"" : ", \"") + governor + "\"";
        warnings.push_back("CPU frequency governor " + names +
                           ", not \"performance\": the clock speed can change during the run");
    }

    if (first_line(cpus / "intel_pstate/no_turbo") == "0")
        warnings.push_back("turbo boost is on (intel_pstate/no_turbo is 0): the clock speed "
                           "depends on temperature and on the load of the other cores");
    else if (first_line(cpus / "cpufreq/boost") == "1")
        warnings.push_back("frequency boost is on (cpufreq/boost is 1): the clock speed depends "
                           "on temperature and on the load of the other cores");
}

void check_load(const environment_probe& probe, std::vector<std::string>& warnings)
{
    int cores = 0;
    for (const std::string& line : read_lines(probe.root / "proc/cpuinfo"))
        if (line.rfind("processor", 0) == 0)
            ++cores;
    cores = std::max(cores, 1);

    // "0.52 0.58 0.59 3/467 12345": the one-minute load, then runnable/all tasks.
    std::string loadavg = first_line(probe.root / "proc/loadavg");
    double load = 0.0;
    long runnable = 0, tasks = 0;
    if (std::sscanf(loadavg.c_str(), "%lf %*f %*f %ld/%ld", &load, &runnable, &tasks) != 3 ||
        !(load >= 0.0 && load < 1e6))
        return;
    long others = std::max(runnable - 1, 0L); // this process is one of them
    bool loaded = load > 0.2 * cores;
    if (!loaded && others == 0)
        return;
    char text[160];
    std::snprintf(text, sizeof text, "busy machine: load average %.2f on %d core%s", load, cores,
                  cores == 1 ? "" : "s");
    std::string line = text;
    if (others > 0)
        line +=
            ", " + std::to_string(others) + " other runnable process" + (others == 1 ? "" : "es");
    else
        line += " (above 0.2 per core)";
    warnings.push_back(line + ": other work competes for the processor and its caches");
}

void check_tools(const environment_probe& probe, std::vector<std::string>& warnings)
{
    for (const std::string& line : read_lines(probe.root / "proc/self/maps"))
        if (line.find("vgpreload") != std::string::npos) {
            warnings.push_back("running under valgrind: every instruction is translated, rates "
                               "are many times too low");
            break;
        }
    if (probe.sanitized_build)
        warnings.push_back("sanitizer build (AddressSanitizer, UndefinedBehaviorSanitizer): "
                           "rates are far below those of a release build");
    if (!probe.optimised_build)
        warnings.push_back("unoptimised (debug) build: rates are far below those of a release "
                           "build");
}

std::string cpu_hypervisor_vendor()
{
#if defined(__x86_64__) || defined(__i386__)
    unsigned int a = 0, b = 0, c = 0, d = 0;
    __cpuid(1, a, b, c, d);
    if (!(c & (1u << 31)))
        return "";
    __cpuid(0x40000000, a, b, c, d);
    char vendor[13] = {};
    std::memcpy(vendor, &b, 4);
    std::memcpy(vendor + 4, &c, 4);
    std::memcpy(vendor + 8, &d, 4);
    return vendor;
#else
    return "";
#endif
}

} // namespace

environment_probe this_environment()
{
    environment_probe probe;
    probe.hypervisor_vendor = cpu_hypervisor_vendor();
#ifndef __OPTIMIZE__
    probe.optimised_build = false;
#endif
#ifdef KALVENTO_SANITIZED
    probe.sanitized_build = true;
#endif
    return probe;
}

std::vector<std::string> environment_warnings(const environment_probe& probe)
{
    std::vector<std::string> warnings;
    check_cpu(probe, warnings);
    check_frequency(probe, warnings);
    check_load(probe, warnings);
    check_tools(probe, warnings);
    return warnings;
}

void show_warnings(std::FILE* out, const std::vector<std::string>& warnings)
{
    if (!is_terminal(out))
        return;
    for (const std::string& warning : warnings)
        std::fprintf(out, "kalvento: warning: %s\n", warning.c_str());
    std::fflush(out);
}

} // namespace kalvento
