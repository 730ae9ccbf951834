// The classic command line: option positions, fallbacks and the "-huge" size table.

#include "driver/command_line.h"

#include <gtest/gtest.h>
#include <initializer_list>
#include <vector>

using namespace kalvento;

namespace {

run_settings parse(std::initializer_list<const char*> args)
{
    std::vector<const char*> argv{"kalvento"};
    argv.insert(argv.end(), args);
    return read_command_line(static_cast<int>(argv.size()), argv.data());
}

void expect_sizes(const problem_sizes& actual, const problem_sizes& expected)
{
    EXPECT_EQ(actual.fft_points, expected.fft_points);
    EXPECT_EQ(actual.grid_size, expected.grid_size);
    EXPECT_EQ(actual.sparse_rows, expected.sparse_rows);
    EXPECT_EQ(actual.sparse_nonzeros, expected.sparse_nonzeros);
}

} // namespace

TEST(CommandLine, DefaultsAndOptions)
{
    run_settings none = parse({});
    expect_sizes(none.sizes, {1024, 100, 1000, 5000});
    EXPECT_EQ(none.min_seconds, 2.0);
    EXPECT_FALSE(none.megabytes);
    EXPECT_FALSE(none.help_requested);

    run_settings large = parse({"-large"});
    expect_sizes(large.sizes, {1048576, 1000, 100000, 1000000});
    EXPECT_EQ(large.min_seconds, 2.0);
    EXPECT_EQ(parse({"-large", "0.5"}).min_seconds, 0.5);
    EXPECT_EQ(parse({"-large", "0"}).min_seconds, 2.0);
    EXPECT_EQ(parse({"-large", "-3"}).min_seconds, 2.0);

    // "-huge" alone is no option: it reads as a minimum time that is no number.
    run_settings huge_alone = parse({"-huge"});
    expect_sizes(huge_alone.sizes, DEFAULT_SIZES);
    EXPECT_EQ(huge_alone.min_seconds, 2.0);
    EXPECT_FALSE(huge_alone.megabytes);

    run_settings huge = parse({"-huge", "1"});
    expect_sizes(huge.sizes, {131072, 362, 16384, 131072});
    EXPECT_EQ(huge.min_seconds, 2.0);
    EXPECT_EQ(huge.megabytes, 1);
    EXPECT_EQ(parse({"-huge", "1", "0.25"}).min_seconds, 0.25);
}

TEST(CommandLine, OnlyTheFirstArgumentIsAnOption)
{
    run_settings seven = parse({"7"});
    expect_sizes(seven.sizes, DEFAULT_SIZES);
    EXPECT_EQ(seven.min_seconds, 7.0);
    EXPECT_EQ(parse({"fast"}).min_seconds, 2.0);

    run_settings five_large = parse({"5", "-large"});
    expect_sizes(five_large.sizes, DEFAULT_SIZES);
    EXPECT_EQ(five_large.min_seconds, 5.0);

    run_settings large_huge = parse({"-large", "-huge"});
    expect_sizes(large_huge.sizes, LARGE_SIZES);
    EXPECT_EQ(large_huge.min_seconds, 2.0);

    run_settings huge_large = parse({"-huge", "8", "-large"});
    expect_sizes(huge_large.sizes, sizes_from_megabytes(8));
    EXPECT_EQ(huge_large.min_seconds, 2.0);
    EXPECT_EQ(huge_large.megabytes, 8);

    // Arguments after the minimum time are ignored.
    EXPECT_EQ(parse({"3", "4", "5"}).min_seconds, 3.0);
}

TEST(CommandLine, HelpIsExactlyHOrHelp)
{
    EXPECT_TRUE(parse({"-h"}).help_requested);
    EXPECT_TRUE(parse({"-help"}).help_requested);
    EXPECT_TRUE(parse({"-help", "-large", "3"}).help_requested);
    EXPECT_FALSE(parse({"-hu"}).help_requested);
    EXPECT_FALSE(parse({"-helpme"}).help_requested);
    EXPECT_FALSE(parse({"3", "-h"}).help_requested);
    EXPECT_EQ(parse({"-hx"}).min_seconds, 2.0);
}

TEST(CommandLine, MinimumTimeReadsAsAtof)
{
    EXPECT_EQ(read_min_seconds("0.5"), 0.5);
    EXPECT_EQ(read_min_seconds("  1.5e1xyz"), 15.0);
    EXPECT_EQ(read_min_seconds("abc"), 2.0);
    EXPECT_EQ(read_min_seconds(""), 2.0);
    EXPECT_EQ(read_min_seconds("nan"), 2.0);
    EXPECT_EQ(read_min_seconds("-0.1"), 2.0);
    EXPECT_EQ(read_min_seconds("inf"), 2.0);
    EXPECT_EQ(read_min_seconds("1e999"), 2.0);
    EXPECT_EQ(read_min_seconds("1e-300"), 1e-300);
}

TEST(CommandLine, HugeCountsReadAsAtoiAndClamp)
{
    EXPECT_EQ(read_megabytes("12.5"), 12);
    EXPECT_EQ(read_megabytes("  +8MB"), 8);
    EXPECT_EQ(read_megabytes("lots"), 0);
    EXPECT_EQ(read_megabytes("4095"), 4095);
    EXPECT_EQ(read_megabytes("4096"), 4095);
    EXPECT_EQ(read_megabytes("99999999999999999999999"), 4095);
    EXPECT_EQ(read_megabytes("-1"), 0);
    EXPECT_EQ(read_megabytes("-99999999999999999999999"), 0);
    run_settings clamped = parse({"-huge", "100000"});
    EXPECT_EQ(clamped.megabytes, 4095);
    expect_sizes(clamped.sizes, sizes_from_megabytes(4095));
}

TEST(CommandLine, SizeTable)
{
    struct row {
        std::int32_t count;
        problem_sizes sizes;
    };
    for (const row& r : std::initializer_list<row>{
             {0, {1, 0, 0, 0}},
             {1, {131072, 362, 16384, 131072}},
             {3, {262144, 627, 49152, 393216}},
             {8, {1048576, 1024, 131072, 1048576}},
             {100, {8388608, 3620, 1638400, 13107200}},
             {1000, {67108864, 11448, 16384000, 131072000}},
             {4095, {268435456, 23167, 67092480, 536739840}},
         }) {
        SCOPED_TRACE(r.count);
        expect_sizes(sizes_from_megabytes(r.count), r.sizes);
    }
}

TEST(CommandLine, FloorLog2)
{
    EXPECT_EQ(floor_log2(0), 0u);
    EXPECT_EQ(floor_log2(1), 0u);
    EXPECT_EQ(floor_log2(2), 1u);
    EXPECT_EQ(floor_log2(3), 1u);
    EXPECT_EQ(floor_log2(393216), 18u);
    EXPECT_EQ(floor_log2(4294967295u), 31u);
}

TEST(CommandLine, NamesWhatIsNotReadAsWritten)
{
    struct noted {
        std::initializer_list<const char*> args;
        std::vector<std::string> notes;
    };
    for (const noted& n : std::initializer_list<noted>{
             {{}, {}},
             {{"0.5"}, {}},
             {{"-large", "3"}, {}},
             {{"-huge", "8", "+0.25"}, {}},
             {{"-huge", " +8"}, {}},
             {{"100ms"}, {"minimum time '100ms' read only in part, as 100 seconds"}},
             {{"1s"}, {"minimum time '1s' read only in part, as 1 second"}},
             {{" 1.5e1xyz"}, {"minimum time ' 1.5e1xyz' read only in part, as 1.5e1 seconds"}},
             {{"0,1"},
              {"minimum time '0,1' is not a positive, finite number of seconds; it stays 2.00"}},
             {{"-large", "-3"},
              {"minimum time '-3' is not a positive, finite number of seconds; it stays 2.00"}},
             {{"inf"},
              {"minimum time 'inf' is not a positive, finite number of seconds; it stays 2.00"}},
             {{"-V"}, {"'-V' is neither an option nor a number; the minimum time stays 2.00"}},
             {{"-version"},
              {"'-version' is neither an option nor a number; the minimum time stays 2.00"}},
             {{"-?"}, {"'-?' is neither an option nor a number; the minimum time stays 2.00"}},
             {{"-large", "-huge"},
              {"'-huge' is ignored: only the first argument can be an option; the minimum time "
               "stays 2.00"}},
             {{"0.05", "-large"},
              {"'-large' is ignored: only the first argument can be an option"}},
             {{"-huge"}, {"'-huge' needs a count of megabytes after it; the default sizes run"}},
             {{"-huge", "abc"}, {"the -huge count 'abc' is no number; read as 0 megabytes"}},
             {{"-huge", "-5"},
              {"the -huge count '-5' is out of range (0 to 4095); read as 0 megabytes"}},
             {{"-huge", "99999"},
              {"the -huge count '99999' is out of range (0 to 4095); read as 4095 megabytes"}},
             {{"-huge", "12.5", "1s"},
              {"the -huge count '12.5' read only in part, as 12 megabytes",
               "minimum time '1s' read only in part, as 1 second"}},
             {{"3", "4", "-h"},
              {"'4' is ignored: nothing is read after the minimum time",
               "'-h' is ignored: only the first argument can be an option"}},
         }) {
        SCOPED_TRACE(n.args.size() ? *n.args.begin() : "none");
        EXPECT_EQ(parse(n.args).notes, n.notes);
    }

    // However many arguments follow, the notes stay few.
    std::vector<const char*> many(1000, "7");
    many[0] = "kalvento";
    std::vector<std::string> notes =
        read_command_line(static_cast<int>(many.size()), many.data()).notes;
    ASSERT_EQ(notes.size(), 9u);
    EXPECT_EQ(notes.back(), "and 990 more arguments are ignored");
}

TEST(CommandLine, QuotesArgumentsShortAndPrintable)
{
    EXPECT_EQ(quoted_argument("-V"), "'-V'");
    EXPECT_EQ(quoted_argument("a\tb\x7f"), "'a?b?'");
    EXPECT_EQ(quoted_argument(std::string(61, '9')), "'" + std::string(60, '9') + "...'");
}
