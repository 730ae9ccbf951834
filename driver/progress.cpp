#include "driver/progress.h"

#include "support/platform.h"

namespace kalvento {

namespace {

constexpr std::size_t FALLBACK_WIDTH = 80;

std::size_t terminal_width(std::FILE* out)
{
    std::size_t columns = terminal_columns(out);
    return columns > 1 ? columns : FALLBACK_WIDTH;
}

// The number of the attempt that runs batch_size repetitions: 1 for 1, 2 for 2, 3 for 4, ...
int attempt_number(std::int64_t batch_size)
{
    int attempt = 1;
    for (; batch_size > 1; batch_size >>= 1)
        ++attempt;
    return attempt;
}

} // namespace

progress_line::~progress_line()
{
    progress_clear(*this);
}

void progress_open(progress_line& line, std::FILE* out)
{
    progress_clear(line);
    line.out = is_terminal(out) ? out : nullptr;
    // One column is left free: a line that fills the width wraps on some terminals, and "\r" then
    // returns to the start of the wrong row.
    line.width = line.out ? terminal_width(out) - 1 : 0;
}

void progress_show(progress_line& line, std::string_view text)
{
    if (!line.out)
        return;
    text = text.substr(0, line.width);
    std::string update = "\r";
    update.append(text);
    if (line.shown > text.size())
        update.append(line.shown - text.size(), ' ').append("\r").append(text);
    std::fwrite(update.data(), 1, update.size(), line.out);
    std::fflush(line.out);
    line.shown = text.size();
}

void progress_clear(progress_line& line)
{
    if (!line.out || line.shown == 0)
        return;
    std::string blank(line.shown + 2, ' ');
    blank.front() = blank.back() = '\r';
    std::fwrite(blank.data(), 1, blank.size(), line.out);
    std::fflush(line.out);
    line.shown = 0;
}

attempt_watch progress_watch(progress_line& line, std::string doing)
{
    if (!line.out)
        return {};
    return [&line, doing = std::move(doing)](kernel_id kernel, std::int64_t batch_size,
                                             std::int64_t final_reps) {
        std::string text = "kalvento: " + doing + " " + kernel_label(kernel) + ": attempt " +
                           std::to_string(attempt_number(batch_size));
        if (final_reps > 0)
            text += " of " + std::to_string(attempt_number(final_reps));
        text += " (" + std::to_string(batch_size) + (batch_size == 1 ? " rep)" : " reps)");
        progress_show(line, text);
    };
}

} // namespace kalvento
