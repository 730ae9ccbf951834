#include "support/failure.h"

#include <cstdarg>
#include <cstdio>

namespace kalvento {

void fail(const char* format, ...)
{
    run_failure failure;
    va_list args;
    va_start(args, format);
    std::vsnprintf(failure.message, sizeof failure.message, format, args);
    va_end(args);
    throw failure;
}

} // namespace kalvento
