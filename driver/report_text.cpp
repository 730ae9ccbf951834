#include "driver/report_text.h"

#include "support/platform.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace kalvento {

namespace {

bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\f' || c == '\v';
}

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

std::string read_error(const std::string& path, const std::string& why)
{
    std::string message = "cannot read '";
    message.append(excerpt(path, 200)).append("': ").append(why);
    return message;
}

// UTF-16 code units narrowed to 8-bit characters; `low_first` is the byte order.
std::string narrowed_utf16(std::string_view bytes, bool low_first)
{
    std::string text;
    text.reserve(bytes.size() / 2);
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        unsigned char a = static_cast<unsigned char>(bytes[i]);
        unsigned char b = static_cast<unsigned char>(bytes[i + 1]);
        unsigned unit = low_first ? a | (b << 8) : (a << 8) | b;
        text += unit < 0x80 ? static_cast<char>(unit) : '?';
    }
    return text;
}

// Which byte order a text without a byte-order mark is in, judged by where the zero bytes of
// its ASCII characters fall in its first kilobytes: 1 low byte first, -1 high byte first, 0 not
// UTF-16.
int utf16_order(std::string_view bytes)
{
    std::size_t pairs = std::min<std::size_t>(bytes.size() / 2, 4096);
    if (pairs < 2)
        return 0;
    std::size_t zero_even = 0, zero_odd = 0;
    for (std::size_t i = 0; i < pairs; ++i) {
        zero_even += bytes[2 * i] == 0;
        zero_odd += bytes[2 * i + 1] == 0;
    }
    if (zero_odd * 10 >= pairs * 4 && zero_even * 20 < pairs)
        return 1;
    if (zero_even * 10 >= pairs * 4 && zero_odd * 20 < pairs)
        return -1;
    return 0;
}

} // namespace

bool starts_with_word(std::string_view text, std::string_view word)
{
    if (text.size() < word.size())
        return false;
    for (std::size_t i = 0; i < word.size(); ++i) {
        char c = text[i];
        if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != word[i])
            return false;
    }
    return true;
}

bool is_letter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

file_reading read_bounded_file(const std::string& path, std::size_t limit)
{
    file_reading reading;
    bool standard_input = path == "-";
    int fd = standard_input ? STDIN_FILENO : open_for_reading(path);
    if (fd < 0) {
        reading.error = read_error(path, std::strerror(errno));
        return reading;
    }
    constexpr std::size_t CHUNK = std::size_t{1} << 16;
    while (reading.error.empty()) {
        std::size_t had = reading.bytes.size();
        reading.bytes.resize(had + CHUNK);
        ssize_t got = read(fd, reading.bytes.data() + had, CHUNK);
        if (got < 0 && errno == EINTR) {
            reading.bytes.resize(had);
            continue;
        }
        if (got < 0) {
            reading.error = read_error(path, std::strerror(errno));
            break;
        }
        reading.bytes.resize(had + static_cast<std::size_t>(got));
        if (got == 0)
            break;
        if (reading.bytes.size() > limit)
            reading.error = read_error(path, "it holds more than " + std::to_string(limit >> 20) +
                                                 " MiB, and a report is a few kilobytes");
    }
    if (!standard_input)
        close(fd);
    if (!reading.error.empty())
        reading.bytes.clear();
    return reading;
}

std::string decoded_text(std::string_view bytes)
{
    auto starts = [&](const char* mark, std::size_t n) {
        return bytes.size() >= n && std::memcmp(bytes.data(), mark, n) == 0;
    };
    if (starts("\xFF\xFE", 2))
        return narrowed_utf16(bytes.substr(2), true);
    if (starts("\xFE\xFF", 2))
        return narrowed_utf16(bytes.substr(2), false);
    if (starts("\xEF\xBB\xBF", 3))
        return std::string(bytes.substr(3));
    int order = utf16_order(bytes);
    if (order != 0)
        return narrowed_utf16(bytes, order > 0);
    return std::string(bytes);
}

bool line_cursor::next(std::string_view& line)
{
    if (offset >= text.size())
        return false;
    std::size_t end = text.find_first_of("\r\n", offset);
    if (end == std::string_view::npos)
        end = text.size();
    line = text.substr(offset, end - offset);
    offset = end + 1;
    if (end < text.size() && text[end] == '\r' && offset < text.size() && text[offset] == '\n')
        ++offset;
    ++number;
    return true;
}

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && is_blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back()))
        text.remove_suffix(1);
    return text;
}

std::string excerpt(std::string_view text, std::size_t limit)
{
    std::string shown;
    for (std::size_t i = 0; i < text.size() && i < limit; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        shown += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
    }
    if (text.size() > limit)
        shown += "...";
    return shown;
}

line_prefix prefix_of(std::string_view text)
{
    line_prefix prefix;
    for (std::size_t i = 0; i < text.size();) {
        if (is_digit(text[i]) || is_blank(text[i])) {
            bool digits = is_digit(text[i]);
            prefix.shape += digits ? '#' : ' ';
            while (i < text.size() && (digits ? is_digit(text[i]) : is_blank(text[i])))
                ++i;
        } else {
            prefix.shape += text[i++];
        }
    }
    return prefix;
}

std::optional<std::string_view> after_prefix(const line_prefix& prefix, std::string_view line)
{
    // The shape never holds two runs of one kind in a row, so matching needs no backtracking.
    std::size_t at = 0;
    for (char s : prefix.shape) {
        if (s == '#') {
            if (at == line.size() || !is_digit(line[at]))
                return std::nullopt;
            while (at < line.size() && is_digit(line[at]))
                ++at;
        } else if (s == ' ') {
            if (at < line.size() && !is_blank(line[at]))
                return std::nullopt;
            while (at < line.size() && is_blank(line[at]))
                ++at;
        } else {
            if (at == line.size() || line[at] != s)
                return std::nullopt;
            ++at;
        }
    }
    return line.substr(at);
}

line_numbers numbers_in(std::string_view line, std::size_t max_numbers)
{
    line_numbers found;
    auto joined = [&](std::size_t i) {
        return i < line.size() && (is_letter(line[i]) || is_digit(line[i]) || line[i] == '_');
    };
    std::size_t i = 0;
    while (i < line.size() && found.numbers.size() <= max_numbers) {
        bool after_word = i > 0 && (joined(i - 1) || line[i - 1] == '.');
        std::size_t start = i;
        std::size_t at = i;
        if (at < line.size() && (line[at] == '+' || line[at] == '-'))
            ++at;
        std::size_t digits_start = at;
        std::size_t integer_digits = 0, fraction_digits = 0;
        while (at < line.size() && is_digit(line[at]))
            ++at, ++integer_digits;
        bool point = at < line.size() && line[at] == '.';
        if (point) {
            ++at;
            while (at < line.size() && is_digit(line[at]))
                ++at, ++fraction_digits;
        }
        bool special = integer_digits + fraction_digits == 0 && !point &&
                       (starts_with_word(line.substr(digits_start), "nan") ||
                        starts_with_word(line.substr(digits_start), "inf"));
        if (after_word || (integer_digits + fraction_digits == 0 && !special)) {
            i = start + 1;
            continue;
        }
        long exponent = 0;
        if (special) {
            at = digits_start + 3;
            if (starts_with_word(line.substr(digits_start), "infinity"))
                at = digits_start + 8;
        } else if (at < line.size() && (line[at] == 'e' || line[at] == 'E')) {
            std::size_t e = at + 1;
            if (e < line.size() && (line[e] == '+' || line[e] == '-'))
                ++e;
            std::size_t exponent_start = e;
            while (e < line.size() && is_digit(line[e]) && e - exponent_start < 6)
                ++e;
            if (e > exponent_start && !(e < line.size() && is_digit(line[e]))) {
                exponent =
                    std::strtol(std::string(line.substr(at + 1, e - at - 1)).c_str(), nullptr, 10);
                at = e;
            }
        }
        // Scan to the end of a word that runs on, so that "12abc" is not taken apart.
        if (joined(at)) {
            while (joined(at))
                ++at;
            i = at;
            continue;
        }
        std::string_view text = line.substr(start, at - start);
        if (text.size() > MAX_NUMBER_LENGTH) {
            found.too_long = true;
            return found;
        }
        number_token token;
        token.text = text;
        token.value = std::strtod(std::string(text).c_str(), nullptr);
        token.digits_only =
            !special && !point && at == digits_start + integer_digits && digits_start == start;
        token.half_unit = special ? 0.0 : 0.5 * std::pow(10.0, exponent - long(fraction_digits));
        found.numbers.push_back(token);
        i = at;
    }
    return found;
}

} // namespace kalvento
