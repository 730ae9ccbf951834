// Progress of long work on one line of standard error, rewritten in place, while standard error
// is a terminal; where it is not (a file, a pipe), nothing at all is written.
//
// Show it only between timed attempts, never during one, and clear it before the report goes
// on: the report on a terminal must read as if the line had never been there.
#pragma once

#include "driver/run.h"

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

namespace kalvento {

struct progress_line {
    std::FILE* out = nullptr; // null: no terminal, nothing is shown
    std::size_t width = 0;    // columns the text may take
    std::size_t shown = 0;    // characters of text on the line now

    progress_line() = default;
    progress_line(const progress_line&) = delete;
    progress_line& operator=(const progress_line&) = delete;
    ~progress_line();
};

// Opens the line on `out` if it is a terminal; the text is cut to the terminal's width.
void progress_open(progress_line& line, std::FILE* out = stderr);

// Replaces the text on the line.
void progress_show(progress_line& line, std::string_view text);

// Removes the text and leaves the cursor at the start of the empty line.
void progress_clear(progress_line& line);

// A watch for run_measurement and replay_run that shows, before each attempt,
// "kalvento: <doing> LU: attempt 9 of 11 (256 reps)" (without "of" in a timed run).
attempt_watch progress_watch(progress_line& line, std::string doing);

} // namespace kalvento
