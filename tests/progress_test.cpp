// The progress line: shown on a terminal only, rewritten in place, cleared before the report goes
// on, and never between the lines of the report itself.

#include "driver/progress.h"
#include "program_runner.h"

#include <gtest/gtest.h>
#include <regex>

using namespace kalvento;
using namespace kalvento::testing;

namespace {

// What a terminal shows at the end: each "\r" returns to the start of the line it is on.
std::string screen_of(const std::string& bytes)
{
    std::vector<std::string> lines{""};
    std::size_t column = 0;
    for (char c : bytes) {
        if (c == '\r') {
            column = 0;
        } else if (c == '\n') {
            lines.emplace_back();
            column = 0;
        } else {
            std::string& line = lines.back();
            if (column < line.size())
                line[column] = c;
            else
                line += c;
            ++column;
        }
    }
    std::string screen;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string line = lines[i];
        line.erase(line.find_last_not_of(' ') + 1);
        screen += line;
        if (i + 1 < lines.size())
            screen += '\n';
    }
    return screen;
}

// The texts the progress line showed, in order.
std::vector<std::string> shown_texts(const std::string& err)
{
    std::vector<std::string> texts;
    // Rewritten in place: each text ends where the next one (or the clearing) returns the cursor.
    static const std::regex shown(R"(\r(kalvento: [^\r\n]*)(?=\r))");
    for (std::sregex_iterator it(err.begin(), err.end(), shown), end; it != end; ++it)
        texts.push_back((*it)[1]);
    return texts;
}

struct terminal_pair {
    int master = -1;
    std::FILE* terminal = nullptr;
    explicit terminal_pair(unsigned short columns)
    {
        int slave = -1;
        winsize size{};
        size.ws_col = columns;
        size.ws_row = 24;
        if (openpty(&master, &slave, nullptr, nullptr, &size) == 0) {
            termios mode{};
            tcgetattr(slave, &mode);
            mode.c_oflag &= ~static_cast<tcflag_t>(OPOST);
            tcsetattr(slave, TCSANOW, &mode);
            terminal = fdopen(slave, "w");
        }
    }
    ~terminal_pair()
    {
        if (terminal)
            std::fclose(terminal);
        if (master >= 0)
            close(master);
    }
    std::string received()
    {
        std::string bytes;
        char buffer[256];
        fcntl(master, F_SETFL, O_NONBLOCK);
        for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;)
            bytes.append(buffer, static_cast<std::size_t>(n));
        return bytes;
    }
};

} // namespace

TEST(Progress, RewritesOneLineInPlaceWithinTheWidth)
{
    terminal_pair pair(12);
    ASSERT_TRUE(pair.terminal);
    {
        progress_line line;
        progress_open(line, pair.terminal);
        progress_show(line, "abcdef");
        EXPECT_EQ(pair.received(), "\rabcdef");
        progress_show(line, "xy");
        EXPECT_EQ(pair.received(), "\rxy    \rxy");
        progress_show(line, "0123456789abcdef"); // cut to 11 of the 12 columns
        EXPECT_EQ(pair.received(), "\r0123456789a");
        progress_clear(line);
        EXPECT_EQ(pair.received(), "\r           \r");
        progress_clear(line);
        EXPECT_EQ(pair.received(), "");
        progress_show(line, "left");
    }
    // The line clears itself when it goes out of scope.
    EXPECT_EQ(pair.received(), "\rleft\r    \r");
}

TEST(Progress, NothingWhereThereIsNoTerminal)
{
    std::FILE* file = std::tmpfile();
    ASSERT_TRUE(file);
    {
        progress_line line;
        progress_open(line, file);
        EXPECT_FALSE(line.out);
        progress_show(line, "abc");
        EXPECT_FALSE(progress_watch(line, "verifying"));
    }
    EXPECT_EQ(std::ftell(file), 0L);
    std::fclose(file);
}

TEST(Progress, VerifyShowsEveryKernelsReplayOnATerminal)
{
    program_output run = run_on_terminal(KALVENTO_BINARY, {"--verify", "0.01"});
    EXPECT_EQ(run.status, 0) << run.err;
    std::vector<std::string> texts = shown_texts(run.err);
    ASSERT_FALSE(texts.empty()) << run.err;
    EXPECT_EQ(texts.front().rfind("kalvento: verifying FFT: attempt 1 of ", 0), 0u);
    for (const char* kernel : {"FFT", "SOR", "MonteCarlo", "Sparse matmult", "LU"}) {
        std::regex attempt("kalvento: verifying " + std::string(kernel) +
                           R"(: attempt ([0-9]+) of ([0-9]+) \(([0-9]+) reps?\))");
        int seen = 0;
        for (const std::string& text : texts) {
            std::smatch m;
            if (std::regex_match(text, m, attempt)) {
                ++seen;
                EXPECT_EQ(std::stoll(m[3]), 1LL << (std::stoi(m[1]) - 1)) << text;
            }
        }
        EXPECT_GT(seen, 0) << kernel;
    }
    for (const std::string& text : texts)
        EXPECT_LT(text.size(), 100u) << text;
    // Cleared at the end (what stays on the screen is at most warnings about the machine), and the
    // report on standard output is untouched.
    EXPECT_EQ(screen_of(run.err).find("attempt"), std::string::npos) << screen_of(run.err);
    std::vector<std::string> lines = lines_of(run.out);
    ASSERT_EQ(lines.size(), 29u) << run.out;
    EXPECT_EQ(run.out.find('\r'), std::string::npos);
    EXPECT_EQ(lines[28], "LU              verified");

    // The last LU attempt shown is the one that ends at the report's LU count.
    long long lu_reps = std::stoll(lines[20].substr(23));
    int attempts = 1;
    for (long long r = lu_reps; r > 1; r /= 2)
        ++attempts;
    EXPECT_EQ(texts.back(), "kalvento: verifying LU: attempt " + std::to_string(attempts) + " of " +
                                std::to_string(attempts) + " (" + std::to_string(lu_reps) +
                                (lu_reps == 1 ? " rep)" : " reps)"));
}

TEST(Progress, LargeSizesShowTheCalibrationDefaultSizesDoNot)
{
    program_output large = run_on_terminal(KALVENTO_BINARY, {"-large", "--kernels=fft", "0.01"});
    EXPECT_EQ(large.status, 0) << large.err;
    std::vector<std::string> texts = shown_texts(large.err);
    ASSERT_FALSE(texts.empty()) << large.err;
    EXPECT_EQ(texts.front(), "kalvento: measuring FFT: attempt 1 (1 rep)");
    EXPECT_EQ(screen_of(large.err).find("attempt"), std::string::npos) << screen_of(large.err);
    EXPECT_EQ(lines_of(large.out).size(), 15u);

    program_output repeated =
        run_on_terminal(KALVENTO_BINARY, {"-huge", "1", "--kernels=lu", "--repeat=2", "0.01"});
    texts = shown_texts(repeated.err);
    ASSERT_FALSE(texts.empty()) << repeated.err;
    EXPECT_EQ(texts.back().rfind("kalvento: measuring (run 2 of 2) LU: attempt ", 0), 0u);

    program_output classic = run_on_terminal(KALVENTO_BINARY, {"--kernels=fft", "0.01"});
    EXPECT_EQ(classic.status, 0);
    EXPECT_TRUE(shown_texts(classic.err).empty()) << classic.err;
}

TEST(Progress, CheckReportShowsItsReplay)
{
    program_output report = run_kalvento({"0.01"});
    ASSERT_EQ(report.status, 0);
    char path[] = "/tmp/kalvento_report_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, report.out.data(), report.out.size()),
              static_cast<ssize_t>(report.out.size()));
    close(fd);
    program_output check = run_on_terminal(KALVENTO_BINARY, {"--check-report", path});
    std::remove(path);
    EXPECT_EQ(check.status, 0) << check.out << check.err;
    std::vector<std::string> texts = shown_texts(check.err);
    ASSERT_FALSE(texts.empty()) << check.err;
    EXPECT_EQ(texts.front().rfind("kalvento: replaying FFT: attempt 1 of ", 0), 0u);
    EXPECT_EQ(screen_of(check.err).find("attempt"), std::string::npos) << screen_of(check.err);
}

TEST(Progress, NoneWhenStandardErrorIsNoTerminal)
{
    program_output run = run_kalvento({"--verify", "-huge", "1", "--kernels=sor", "0.01"});
    EXPECT_EQ(run.status, 0);
    // Only the line that says what produced the rates.
    ASSERT_EQ(lines_of(run.err).size(), 1u) << run.err;
    EXPECT_EQ(run.err.find('\r'), std::string::npos);
}
