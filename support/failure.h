// Failures that end a run.
//
// A measurement that cannot go on (memory exhausted, no processor clock) throws a run_failure; the
// entry point prints its text as one line on standard error and exits with status 1, after the
// report lines already written. Unwinding releases everything the measurements own. Only the
// entry point ends the process.
#pragma once

#include <exception>

namespace kalvento {

struct run_failure : std::exception {
    // Fixed room, so that reporting an exhausted heap needs no heap.
    char message[200];
    const char* what() const noexcept override { return message; }
};

// A failure whose classic message belongs to the report: the entry point writes it to standard
// output as it stands, without a newline, and exits with status 1 (the FFT's length check).
struct report_failure : run_failure {};

// mingw-w64 builds format with its own C99 printf, not the Windows C library's.
#if defined(__MINGW32__)
#define KALVENTO_PRINTF_STYLE gnu_printf
#else
#define KALVENTO_PRINTF_STYLE printf
#endif

[[noreturn]] void fail(const char* format, ...)
    __attribute__((format(KALVENTO_PRINTF_STYLE, 1, 2)));
[[noreturn]] void fail_in_report(const char* format, ...)
    __attribute__((format(KALVENTO_PRINTF_STYLE, 1, 2)));

} // namespace kalvento
