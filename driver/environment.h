// Warnings about a machine that is not quiet enough for steady rates: a frequency governor that
// is not "performance", turbo or boost, other work on the processor, a virtual machine or an
// emulator, valgrind, an unoptimised or sanitizer build. Checked once before a run; the run goes
// on whatever they say. Each is one line of text, printed on standard error when it is a terminal
// and recorded in the JSON document as context.warnings.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace kalvento {

// Where the facts come from. Tests point `root` at a faked tree holding proc/ and sys/.
struct environment_probe {
    std::filesystem::path root = "/";
    std::string hypervisor_vendor; // the CPU's hypervisor vendor text, empty when none
    bool optimised_build = true;
    bool sanitized_build = false;
};

// This machine and this build.
environment_probe this_environment();

std::vector<std::string> environment_warnings(const environment_probe& probe);

// One line per warning, "kalvento: warning: ...", when `out` is a terminal.
void show_warnings(std::FILE* out, const std::vector<std::string>& warnings);

} // namespace kalvento
