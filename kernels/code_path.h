// The one place that chooses the code path for the CPU the program runs on.
//
// The fast kernels are compiled once per instruction set and every build gives the same bits.
// code_paths() lists the sets built into this program, widest first; a run uses the first one
// the CPU supports unless --code-path names another.
#pragma once

#include "kernels/kernel_set.h"

#include <span>
#include <string_view>
#include <vector>

namespace kalvento {

struct code_path {
    const char* name;
    bool (*supported)(); // by this CPU (and its operating system)
    const kernel_set& (*kernels)();
};

// Built into this program, in order of preference.
std::span<const code_path> code_paths();
// Built in and supported by this CPU, in order of preference; never empty.
std::vector<const code_path*> supported_code_paths();
// What a run measures unless told otherwise: the first supported path.
const code_path& best_code_path();
// The built-in path of that name, or null.
const code_path* find_code_path(std::string_view name);

} // namespace kalvento
