#include "support/cpu_timer.h"

#include "support/exact_arithmetic.h"
#include "support/failure.h"
#include "support/thread_platform.h"

#include <ctime>
#include <new>

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

double cpu_seconds()
{
    if (clock_reader)
        return clock_reader();
    if (thread_clock)
        return thread_cpu_seconds();
    std::clock_t now = std::clock();
    if (now == static_cast<std::clock_t>(-1))
        fail("the processor-time clock cannot be read");
    return static_cast<double>(now) / CLOCKS_PER_SEC;
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
