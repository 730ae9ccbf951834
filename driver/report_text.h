// Reading report text that comes from strangers: bounded file reads, the encodings other machines
// write (UTF-16 with or without a byte-order mark, CR-only line ends), the prefixes that e-mail
// quoting and logs put before every line, and the numbers in a line. Everything here is linear
// in the input and never recursive, whatever the bytes.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kalvento {

// A report is a few kilobytes; a log holding some may be larger, but not this large.
inline constexpr std::size_t MAX_REPORT_FILE_BYTES = std::size_t{64} << 20;

struct file_reading {
    std::string bytes;
    std::string error; // not empty: why the file cannot be read (one line)
};

// Reads `path` ("-": standard input) in chunks and stops as soon as more than `limit` bytes have
// come, so an endless input is never read to its end.
file_reading read_bounded_file(const std::string& path, std::size_t limit = MAX_REPORT_FILE_BYTES);

// The text as 8-bit characters: UTF-16 in either byte order, with or without a byte-order mark,
// is narrowed (characters beyond ASCII become '?'); a UTF-8 byte-order mark is dropped.
std::string decoded_text(std::string_view bytes);

// Walks the lines of a text, ended by "\n", "\r\n" or a lone "\r", one at a time (a text of
// nothing but line ends has tens of millions).
struct line_cursor {
    std::string_view text;
    std::size_t offset = 0; // where the next line starts
    std::size_t number = 0; // 1-based number of the line read last
    // The next line, without its end; false at the end of the text.
    bool next(std::string_view& line);
};

// The text without leading and trailing blanks.
std::string_view trimmed(std::string_view text);

// Whether `text` starts with `word` (given in lower case), in any case.
bool starts_with_word(std::string_view text, std::string_view word);

bool is_letter(char c);

// At most `limit` characters of `text` for a message, unprintable bytes shown as '?', and "..."
// when it was cut.
std::string excerpt(std::string_view text, std::size_t limit = 40);

// What every line of one report carries before its own text: e-mail quote marks, or a log's
// timestamp, host and program. Lines match the shape of the prefix, not its exact text, so that
// timestamps may differ from line to line: runs of digits match any run of digits and runs of
// blanks any run of blanks (or the end of the line).
struct line_prefix {
    std::string shape; // '#' for a run of digits, ' ' for a run of blanks, other bytes literally
};

line_prefix prefix_of(std::string_view text);

// The rest of `line` after the prefix, or nothing when the line does not carry it.
std::optional<std::string_view> after_prefix(const line_prefix& prefix, std::string_view line);

struct number_token {
    std::string_view text;
    double value = 0.0;
    bool digits_only = false; // no sign, no point, no exponent: a count or a size
    double half_unit = 0.0;   // half the unit of the last printed digit: the rounding error
};

// Numbers longer than this are no printed number: the line is refused.
inline constexpr std::size_t MAX_NUMBER_LENGTH = 64;

struct line_numbers {
    std::vector<number_token> numbers; // at most max_numbers + 1 (then there are too many)
    bool too_long = false;             // a number of more than MAX_NUMBER_LENGTH characters
};

// The numbers of a line in order: decimal numbers with an optional sign, point and exponent,
// and the words nan and inf (as the C library prints them), each standing apart from letters
// and digits ("FFT1D" holds none).
line_numbers numbers_in(std::string_view line, std::size_t max_numbers);

} // namespace kalvento
