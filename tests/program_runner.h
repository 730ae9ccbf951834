// Runs the built kalvento binary and captures what it writes.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <pty.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace kalvento::testing {

struct program_output {
    int status = -1; // exit status, or -1 when the program did not exit normally
    std::string out;
    std::string err;
};

inline std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline std::string shell_quote(const std::string& word)
{
    std::string quoted = "'";
    for (char c : word)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// The emulator that runs the programs of a cross build (words separated by spaces), or none.
#ifdef KALVENTO_EMULATOR
inline constexpr char EMULATOR[] = KALVENTO_EMULATOR;
#else
inline constexpr char EMULATOR[] = "";
#endif

// The words that start `binary`: the emulator's first, if any.
inline std::vector<std::string> program_command(const std::string& binary)
{
    std::vector<std::string> words;
    std::istringstream emulator(EMULATOR);
    for (std::string word; emulator >> word;)
        words.push_back(word);
    words.push_back(binary);
    return words;
}

// A shell command that starts `binary` with `args`, every word quoted.
inline std::string shell_command(const std::string& binary, const std::vector<std::string>& args)
{
    std::string command;
    for (const std::string& word : program_command(binary))
        command.append(command.empty() ? "" : " ").append(shell_quote(word));
    for (const std::string& a : args)
        command.append(" ").append(shell_quote(a));
    return command;
}

// Replaces this process with `binary` (in a child after fork); returns only on failure.
inline void exec_program(const std::string& binary, const std::vector<std::string>& args)
{
    std::vector<std::string> words = program_command(binary);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
}

// `prefix` goes before the program in the shell command (for example a resource limit), `input`
// (when not empty) is a file to read standard input from.
inline program_output run_binary(const std::string& binary, const std::vector<std::string>& args,
                                 const std::string& prefix = "", const std::string& input = "")
{
    char dir[] = "/tmp/kalvento_run_XXXXXX";
    program_output result;
    if (!mkdtemp(dir))
        return result;
    std::string out_path = std::string(dir) + "/out", err_path = std::string(dir) + "/err";
    std::string command = prefix;
    command.append(" ").append(shell_command(binary, args));
    command.append(" >").append(out_path).append(" 2>").append(err_path);
    if (!input.empty())
        command.append(" <").append(shell_quote(input));
    int raw = std::system(command.c_str());
    if (raw != -1 && WIFEXITED(raw))
        result.status = WEXITSTATUS(raw);
    result.out = read_file(out_path);
    result.err = read_file(err_path);
    std::remove(out_path.c_str());
    std::remove(err_path.c_str());
    rmdir(dir);
    return result;
}

inline program_output run_kalvento(const std::vector<std::string>& args,
                                   const std::string& prefix = "")
{
    return run_binary(KALVENTO_BINARY, args, prefix);
}

// Runs the program with standard error on a pseudo-terminal of `columns` columns (which passes
// its bytes through unchanged) and standard output to a file; `err` is what the terminal got.
inline program_output run_on_terminal(const std::string& binary,
                                      const std::vector<std::string>& args,
                                      unsigned short columns = 100)
{
    program_output result;
    int master = -1, terminal = -1;
    winsize size{};
    size.ws_col = columns;
    size.ws_row = 24;
    if (openpty(&master, &terminal, nullptr, nullptr, &size) != 0)
        return result;
    termios mode{};
    tcgetattr(terminal, &mode);
    mode.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tcsetattr(terminal, TCSANOW, &mode);
    char out_path[] = "/tmp/kalvento_tty_XXXXXX";
    int out = mkstemp(out_path);
    pid_t child = fork();
    if (child == 0) {
        int nothing = open("/dev/null", O_RDONLY);
        dup2(nothing, 0);
        dup2(out, 1);
        dup2(terminal, 2);
        exec_program(binary, args);
        _exit(127);
    }
    close(terminal);
    close(out);
    char buffer[4096];
    for (ssize_t n; (n = read(master, buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) // EIO: the program and everything it started have closed the terminal
            break;
        result.err.append(buffer, static_cast<std::size_t>(n));
    }
    close(master);
    int raw = 0;
    if (child > 0 && waitpid(child, &raw, 0) == child && WIFEXITED(raw))
        result.status = WEXITSTATUS(raw);
    result.out = read_file(out_path);
    std::remove(out_path);
    return result;
}

inline std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::stringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

} // namespace kalvento::testing
