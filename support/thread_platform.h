// What the copies of a rate run need from the operating system, and nothing else: the CPUs the
// process may run on and pinning the calling thread to one of them (the calling thread's
// processor time is the stopwatch's, cpu_timer.h). Every platform-specific line of thread code
// lives in thread_platform.cpp.
#pragma once

#include <string>
#include <vector>

namespace kalvento {

// The CPUs this process may run on, in increasing order. Where the platform cannot tell, the
// numbers 0 to (hardware threads - 1).
std::vector<int> allowed_cpus();

// Whether this platform can pin a thread to a CPU at all.
bool thread_pinning_supported();

// Pins the calling thread to `cpu`. Returns "" when it is pinned, or why it is not.
std::string pin_this_thread(int cpu);

// The CPU the calling thread runs on at this moment, or -1 where the platform cannot tell.
int current_cpu();

} // namespace kalvento
