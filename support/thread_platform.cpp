#include "support/thread_platform.h"

#include <cstring>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#else
#include <cerrno>
#if defined(__linux__)
#include <pthread.h>
#include <sched.h>
#endif
#endif

namespace kalvento {

namespace {

std::vector<int> first_cpus()
{
    unsigned count = std::thread::hardware_concurrency();
    std::vector<int> cpus;
    for (unsigned cpu = 0; cpu < (count > 0 ? count : 1); ++cpu)
        cpus.push_back(static_cast<int>(cpu));
    return cpus;
}

} // namespace

#if defined(_WIN32)

// One processor group of up to 64 CPUs: the group the process runs in.

std::vector<int> allowed_cpus()
{
    DWORD_PTR process_mask = 0, system_mask = 0;
    if (!GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask))
        return first_cpus();
    std::vector<int> cpus;
    for (int cpu = 0; cpu < static_cast<int>(8 * sizeof(DWORD_PTR)); ++cpu)
        if (process_mask & (DWORD_PTR{1} << cpu))
            cpus.push_back(cpu);
    return cpus;
}

bool thread_pinning_supported()
{
    return true;
}

std::string pin_this_thread(int cpu)
{
    if (cpu < 0 || cpu >= static_cast<int>(8 * sizeof(DWORD_PTR)))
        return "CPU " + std::to_string(cpu) + " is outside this process's processor group";
    if (SetThreadAffinityMask(GetCurrentThread(), DWORD_PTR{1} << cpu) == 0)
        return "SetThreadAffinityMask failed with error " + std::to_string(GetLastError());
    return "";
}

int current_cpu()
{
    return static_cast<int>(GetCurrentProcessorNumber());
}

#else

#if defined(__linux__)

std::vector<int> allowed_cpus()
{
    // The set is sized for the CPUs the kernel may have, not the fixed 1024 of cpu_set_t.
    for (int room = CPU_SETSIZE; room <= (1 << 20); room *= 4) {
        cpu_set_t* set = CPU_ALLOC(room);
        if (!set)
            break;
        std::size_t bytes = CPU_ALLOC_SIZE(room);
        CPU_ZERO_S(bytes, set);
        if (sched_getaffinity(0, bytes, set) == 0) {
            std::vector<int> cpus;
            for (int cpu = 0; cpu < room; ++cpu)
                if (CPU_ISSET_S(cpu, bytes, set))
                    cpus.push_back(cpu);
            CPU_FREE(set);
            return cpus;
        }
        CPU_FREE(set);
        if (errno != EINVAL)
            break;
    }
    return first_cpus();
}

bool thread_pinning_supported()
{
    return true;
}

std::string pin_this_thread(int cpu)
{
    if (cpu < 0)
        return "there is no CPU " + std::to_string(cpu);
    cpu_set_t* set = CPU_ALLOC(cpu + 1);
    if (!set)
        return "out of memory";
    std::size_t bytes = CPU_ALLOC_SIZE(cpu + 1);
    CPU_ZERO_S(bytes, set);
    CPU_SET_S(cpu, bytes, set);
    int error = pthread_setaffinity_np(pthread_self(), bytes, set);
    CPU_FREE(set);
    return error == 0 ? "" : std::strerror(error);
}

int current_cpu()
{
    return sched_getcpu();
}

#else

std::vector<int> allowed_cpus()
{
    return first_cpus();
}

bool thread_pinning_supported()
{
    return false;
}

std::string pin_this_thread(int)
{
    return "this platform cannot pin threads to CPUs";
}

int current_cpu()
{
    return -1;
}

#endif

#endif

} // namespace kalvento
