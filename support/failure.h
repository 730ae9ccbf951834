// Failures that end a run.
//
// A measurement that cannot go on (memory exhausted, no processor clock) throws a run_failure; the
// entry point prints its text as one line on standard error and exits with status 1, after the
// report lines already written. Unwinding releases everything the measurements own.
#pragma once

#include <exception>

namespace kalvento {

struct run_failure : std::exception {
    // Fixed room, so that reporting an exhausted heap needs no heap.
    char message[200];
    const char* what() const noexcept override { return message; }
};

[[noreturn]] void fail(const char* format, ...) __attribute__((format(printf, 1, 2)));

} // namespace kalvento
