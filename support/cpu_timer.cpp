#include "support/cpu_timer.h"

#include "support/exact_arithmetic.h"
#include "support/failure.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <new>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace kalvento {

namespace {
double (*clock_reader)() = nullptr;
thread_local bool thread_clock = false;
} // namespace

void cpu_clock_override(double (*reader)()) noexcept
{
    clock_reader = reader;
}

void cpu_clock_per_thread() noexcept
{
    thread_clock = true;
}

#if defined(_WIN32)

// FILETIME counts 100-nanosecond ticks.
constexpr double FILETIME_TICK_SECONDS = 1.0e-7;

const char* cpu_clock_name() noexcept
{
    return "GetProcessTimes (processor time of the process, user + kernel)";
}

double cpu_clock_unit_seconds() noexcept
{
    return FILETIME_TICK_SECONDS;
}

namespace {
double user_and_kernel_seconds(const FILETIME& kernel, const FILETIME& user)
{
    auto ticks = [](const FILETIME& t) {
        return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    return static_cast<double>(ticks(kernel) + ticks(user)) * FILETIME_TICK_SECONDS;
}

double process_cpu_seconds()
{
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user))
        fail("the processor-time clock cannot be read (error %lu)", GetLastError());
    return user_and_kernel_seconds(kernel, user);
}
} // namespace

double thread_cpu_seconds()
{
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user))
        fail("the thread's processor time cannot be read (error %lu)", GetLastError());
    return user_and_kernel_seconds(kernel, user);
}

#else

const char* cpu_clock_name() noexcept
{
    return "clock (processor time of the process)";
}

double cpu_clock_unit_seconds() noexcept
{
    return 1.0 / CLOCKS_PER_SEC;
}

namespace {
double process_cpu_seconds()
{
    std::clock_t now = std::clock();
    if (now == static_cast<std::clock_t>(-1))
        fail("the processor-time clock cannot be read");
    return static_cast<double>(now) / CLOCKS_PER_SEC;
}
} // namespace

double thread_cpu_seconds()
{
    timespec now{};
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now) != 0)
        fail("the thread's processor time cannot be read: %s", std::strerror(errno));
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1.0e-9;
}

#endif

double cpu_seconds()
{
    if (clock_reader)
        return clock_reader();
    if (thread_clock)
        return thread_cpu_seconds();
    return process_cpu_seconds();
}

double cpu_clock_step_seconds()
{
    static const double step = [] {
        constexpr int TICKS = 8;
        auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration<double>(CPU_CLOCK_PROBE_SECONDS);
        double last = cpu_seconds();
        double smallest = 0.0;
        for (int ticks = 0; ticks < TICKS && std::chrono::steady_clock::now() < deadline;) {
            double now = cpu_seconds();
            if (now == last)
                continue;
            // Every change is a whole number of steps: the smallest one seen is the step.
            if (now > last && (smallest == 0.0 || now - last < smallest))
                smallest = now - last;
            last = now;
            ++ticks;
        }
        // The readings are whole units, their differences in double precision not quite.
        double unit = cpu_clock_unit_seconds();
        return std::round(smallest / unit) * unit;
    }();
    return step;
}

std::unique_ptr<cpu_timer> cpu_timer_create()
{
    return std::unique_ptr<cpu_timer>(new (std::nothrow) cpu_timer{0, 0.0, 0.0});
}

void cpu_timer_start(cpu_timer& t)
{
    if (t.active)
        return;
    t.active = 1;
    t.total_seconds = 0.0;
    t.last_seconds = cpu_seconds();
}

void cpu_timer_stop(cpu_timer& t)
{
    if (!t.active)
        return;
    double now = cpu_seconds();
    t.total_seconds = (now - t.last_seconds) + t.total_seconds;
    t.active = 0;
}

double cpu_timer_read(cpu_timer& t)
{
    if (t.active) {
        double now = cpu_seconds();
        t.total_seconds = (now - t.last_seconds) + t.total_seconds;
        t.last_seconds = now;
    }
    return t.total_seconds;
}

} // namespace kalvento
