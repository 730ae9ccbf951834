// The one place that chooses the code path for the CPU the program runs on.
//
// The fast kernels are compiled once per instruction set (baseline x86-64, AVX2, AVX-512) and
// every build gives the same bits; the run uses the widest set the CPU supports. Other
// architectures build the portable set alone.
#pragma once

#include "kernels/kernel_set.h"

#include <vector>

namespace kalvento {

enum class code_path { portable, avx2, avx512 };

const char* code_path_name(code_path path);

// Built into this program and supported by this CPU.
bool code_path_supported(code_path path);
std::vector<code_path> supported_code_paths();
code_path best_code_path();

const kernel_set& fast_kernels(code_path path);

// What a run measures: the fast kernels of the best supported path.
const kernel_set& selected_kernels();

} // namespace kalvento
