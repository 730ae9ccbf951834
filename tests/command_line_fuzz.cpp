// libFuzzer target for the command line: whatever the arguments, parsing the long options and the
// classic arguments must not crash and must yield sizes that the kernels accept, a minimum time
// that is positive and finite, and long options within their ranges.
//
// Input bytes are split at NUL bytes into arguments. Build with
//   CXX=clang++ cmake -S . -B build-fuzz -DKALVENTO_FUZZ=ON && cmake --build build-fuzz
// and run build-fuzz/command_line_fuzz -max_total_time=600 corpus/

#include "driver/command_line.h"
#include "driver/options.h"
#include "driver/run.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using namespace kalvento;

namespace {

void require(bool condition)
{
    if (!condition)
        __builtin_trap();
}

bool power_of_two(std::int32_t n)
{
    return n > 0 && (n & (n - 1)) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::string> words{"kalvento"};
    std::string word;
    for (std::size_t i = 0; i < size && words.size() < 8; ++i) {
        if (data[i] == 0) {
            words.push_back(word);
            word.clear();
        } else {
            word += static_cast<char>(data[i]);
        }
    }
    words.push_back(word);
    std::vector<const char*> argv;
    for (const std::string& w : words)
        argv.push_back(w.c_str());
    argv.push_back(nullptr);

    // The long options, then the classic arguments among them.
    int argc = static_cast<int>(words.size());
    options_reading reading = read_long_options(argc, argv.data());
    // An error is one line of bounded length, whatever the arguments.
    require(reading.error.find('\n') == std::string::npos && reading.error.size() < 400);
    if (!reading.error.empty())
        return 0;
    const extended_options& options = reading.options;
    const std::vector<const char*>& classic = reading.classic;
    require(!classic.empty() && classic.size() <= words.size());
    require(options.repeat >= 1 && options.repeat <= MAX_REPEAT);
    require(options.kernels != kernel_selection{});
    run_settings settings = read_command_line(static_cast<int>(classic.size()), classic.data());
    if (settings.help_requested)
        return 0;
    require(settings.notes.size() <= 12);
    for (const std::string& note : settings.notes)
        require(note.find('\n') == std::string::npos && note.size() < 300);
    const problem_sizes& s = settings.sizes;
    require(settings.min_seconds > 0.0 && std::isfinite(settings.min_seconds));
    require(power_of_two(s.fft_points) && s.fft_points <= (1 << 29));
    require(s.grid_size >= 0 && std::int64_t{s.grid_size} * s.grid_size < (std::int64_t{1} << 31));
    require(s.sparse_rows >= 0 && s.sparse_nonzeros >= 0);
    require(s.sparse_rows == 0 || s.sparse_nonzeros / s.sparse_rows <= s.sparse_rows);
    require(!settings.megabytes ||
            (*settings.megabytes >= 0 && *settings.megabytes <= MAX_MEGABYTES));
    require(run_peak_bytes(s) <= (std::uint64_t{9} << 30));
    return 0;
}
