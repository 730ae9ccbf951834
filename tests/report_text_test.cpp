// Report text from strangers: encodings, line ends, prefixes, numbers, bounded reads.

#include "driver/report_text.h"

#include <cmath>
#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace kalvento;

namespace {

std::string utf16(const std::string& text, bool low_first, bool mark)
{
    std::string bytes = mark ? (low_first ? "\xFF\xFE" : "\xFE\xFF") : "";
    for (char c : text) {
        bytes += low_first ? c : '\0';
        bytes += low_first ? '\0' : c;
    }
    return bytes;
}

} // namespace

TEST(ReportText, DecodesUtf16InBothOrdersWithOrWithoutMark)
{
    std::string text = "Using 2.00 seconds\nFFT 1.5 (N=1024)\n";
    for (bool low_first : {true, false})
        for (bool mark : {true, false})
            EXPECT_EQ(decoded_text(utf16(text, low_first, mark)), text) << low_first << mark;
    EXPECT_EQ(decoded_text("\xEF\xBB\xBFUsing"), "Using");
    // Beyond ASCII, and a lone last byte.
    EXPECT_EQ(decoded_text(std::string("\xFF\xFE\x41\x00\xE9\x00\x42", 7)), "A?");
    // Eight-bit text with a few zero bytes stays as it is.
    std::string binary("ab\0cdefgh", 9);
    EXPECT_EQ(decoded_text(binary), binary);
}

TEST(ReportText, SplitsAtEveryKindOfLineEnd)
{
    auto lines = [](std::string_view text) {
        std::vector<std::string_view> found;
        line_cursor cursor{text};
        for (std::string_view line; cursor.next(line);) {
            found.push_back(line);
            EXPECT_EQ(cursor.number, found.size());
        }
        return found;
    };
    std::vector<std::string_view> expected{"a", "b", "c", "", "d"};
    EXPECT_EQ(lines("a\nb\r\nc\r\rd"), expected);
    EXPECT_EQ(lines("a\rb\rc\r\r\nd\n"), expected);
    EXPECT_TRUE(lines("").empty());
}

TEST(ReportText, PrefixesMatchByShape)
{
    line_prefix log = prefix_of("2026-12-09T10:00:01  node7 kalvento[88]: ");
    EXPECT_EQ(log.shape, "#-#-#T#:#:# node# kalvento[#]: ");
    EXPECT_EQ(after_prefix(log, "2026-12-09T10:00:12 node7 kalvento[88]: FFT 1"), "FFT 1");
    EXPECT_EQ(after_prefix(log, "2026-12-09T10:00:12 node7 kalvento[88]:"), "");
    EXPECT_FALSE(after_prefix(log, "2026-12-09T10:00:12 node7 other[88]: FFT 1"));
    EXPECT_FALSE(after_prefix(log, "FFT 1"));

    line_prefix quote = prefix_of(">> ");
    EXPECT_EQ(after_prefix(quote, ">>  SOR"), "SOR");
    EXPECT_EQ(after_prefix(quote, ">>"), "");
    EXPECT_FALSE(after_prefix(quote, "> SOR"));
    EXPECT_FALSE(after_prefix(quote, ">>SOR"));
    EXPECT_EQ(after_prefix(prefix_of(""), "  anything"), "  anything");
}

TEST(ReportText, FindsTheNumbersOfALine)
{
    auto texts = [](std::string_view line) {
        std::vector<std::string_view> found;
        for (const number_token& n : numbers_in(line, 10).numbers)
            found.push_back(n.text);
        return found;
    };
    using list = std::vector<std::string_view>;
    EXPECT_EQ(texts("Sparse matmult  Mflops:  6656.92    (N=1000, nz=5000)  "),
              (list{"6656.92", "1000", "5000"}));
    EXPECT_EQ(texts("SOR Mflops: -0.00 (100 x 100)"), (list{"-0.00", "100", "100"}));
    EXPECT_EQ(texts("FFT1D nan -inf Infinity info nano 12abc 3.4090576005277135e+03."),
              (list{"nan", "-inf", "Infinity", "3.4090576005277135e+03"}));
    EXPECT_EQ(texts("kernel. 1e 2e+ x-7 0x10"), (list{"7"}));

    line_numbers rate = numbers_in("Mflops: 12.25 and 1.5e+03 and 8", 10);
    ASSERT_EQ(rate.numbers.size(), 3u);
    EXPECT_EQ(rate.numbers[0].value, 12.25);
    EXPECT_DOUBLE_EQ(rate.numbers[0].half_unit, 0.005);
    EXPECT_FALSE(rate.numbers[0].digits_only);
    EXPECT_DOUBLE_EQ(rate.numbers[1].half_unit, 0.5e2);
    EXPECT_TRUE(rate.numbers[2].digits_only);
    EXPECT_TRUE(std::isnan(numbers_in("-nan", 1).numbers[0].value));

    // Bounded: the count and the length of a number.
    EXPECT_EQ(numbers_in("1 2 3 4 5 6", 2).numbers.size(), 3u);
    EXPECT_TRUE(numbers_in("1." + std::string(100, '1'), 2).too_long);
    std::string digits(20'000'000, '7');
    EXPECT_TRUE(numbers_in(digits, 2).too_long);
}

TEST(ReportText, ExcerptsAreShortAndPrintable)
{
    EXPECT_EQ(excerpt("ab\x01\xFF"), "ab??");
    EXPECT_EQ(excerpt(std::string(1000, 'x'), 5), "xxxxx...");
}

TEST(ReportText, ReadsAreBounded)
{
    file_reading zero = read_bounded_file("/dev/zero", 1 << 20);
    EXPECT_NE(zero.error.find("holds more than 1 MiB"), std::string::npos) << zero.error;
    EXPECT_TRUE(zero.bytes.empty());
    EXPECT_EQ(read_bounded_file("/").error, "cannot read '/': Is a directory");
    EXPECT_EQ(read_bounded_file("/proc/self/mem").error,
              "cannot read '/proc/self/mem': Input/output error");
    EXPECT_EQ(read_bounded_file("/nonexistent/r.txt").error,
              "cannot read '/nonexistent/r.txt': No such file or directory");

    std::string path = "/tmp/kalvento_text_" + std::to_string(getpid());
    std::string content(200'000, 'r');
    std::ofstream(path, std::ios::binary) << content;
    EXPECT_EQ(read_bounded_file(path).bytes, content);
    EXPECT_FALSE(read_bounded_file(path, 100'000).error.empty());
    std::remove(path.c_str());
}
