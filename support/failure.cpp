#include "support/failure.h"

#include "support/exact_arithmetic.h"

#include <cstdarg>
#include <cstdio>

namespace kalvento {

namespace {

template <class Failure>
Failure formatted(const char* format, va_list args)
{
    Failure failure;
    std::vsnprintf(failure.message, sizeof failure.message, format, args);
    return failure;
}

} // namespace

void fail(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    run_failure failure = formatted<run_failure>(format, args);
    va_end(args);
    throw failure;
}

void fail_in_report(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    report_failure failure = formatted<report_failure>(format, args);
    va_end(args);
    throw failure;
}

} // namespace kalvento
