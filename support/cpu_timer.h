// Processor-time stopwatch.
//
// Every kernel is timed in processor seconds of the process (the C library's clock; on Windows,
// where clock counts wall time, GetProcessTimes), never in wall-clock time, so that time spent in
// other processes on a shared machine is not charged to it.
#pragma once

#include <cstdint>
#include <memory>

namespace kalvento {

struct cpu_timer {
    std::int32_t active;  // 1 while timing
    double last_seconds;  // clock at the last start, or read while running
    double total_seconds; // accumulated so far
};

// Processor time of the process (or of the calling thread, see cpu_clock_per_thread) in seconds. A
// clock that cannot be read ends the run with a run_failure: a benchmark cannot measure anything
// without it.
double cpu_seconds();

// Processor seconds the calling thread alone has used; a clock that cannot be read ends the run
// with a run_failure.
double thread_cpu_seconds();

// The clock cpu_seconds reads on the main thread, by name, as reports give it.
const char* cpu_clock_name() noexcept;

// The unit the clock counts in, in seconds: its nominal resolution. Its real step can be coarser.
double cpu_clock_unit_seconds() noexcept;

// The clock's real step: the smallest advance of cpu_seconds seen over a few of its ticks while
// spinning, for at most CPU_CLOCK_PROBE_SECONDS of wall time; 0 when it did not move at all. It
// is measured on the first call (which costs up to that much processor time) and kept.
inline constexpr double CPU_CLOCK_PROBE_SECONDS = 0.1;
double cpu_clock_step_seconds();

// Test support: replaces the clock that cpu_seconds reads (null restores the C library's), so
// that the stopwatch's arithmetic can be checked against known readings.
void cpu_clock_override(double (*reader)()) noexcept;

// From now on cpu_seconds on the calling thread reads the processor time of that thread alone,
// so that copies running side by side are each timed by their own work.
void cpu_clock_per_thread() noexcept;

// Null when the record cannot be allocated. Reads no clock.
std::unique_ptr<cpu_timer> cpu_timer_create();

// Start clears the total and does nothing while running; stop adds the span since the start and
// does nothing while stopped; read returns the total, adding the span so far while running.
void cpu_timer_start(cpu_timer& t);
void cpu_timer_stop(cpu_timer& t);
double cpu_timer_read(cpu_timer& t);

} // namespace kalvento
