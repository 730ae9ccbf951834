// libFuzzer target for the report reader and the timing check: whatever the bytes, reading must
// not crash, every report read must have sizes the classic command line gives and counts a run
// can reach, and every message must be one short printable line.
//
// Build as the command-line fuzzer is built (-DKALVENTO_FUZZ=ON), then run
//   build-fuzz/check_report_fuzz -max_total_time=600 -max_len=65536 corpus/
// with a copy of tests/check_report_corpus as corpus/.

#include "driver/check_report.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

using namespace kalvento;

namespace {

void require(bool condition)
{
    if (!condition)
        __builtin_trap();
}

void require_short_line(const std::string& message)
{
    require(message.size() < 400);
    for (char c : message)
        require(c >= 0x20 && c < 0x7F);
}

bool classic_sizes(const classic_report& r)
{
    auto same = [](const problem_sizes& a, const problem_sizes& b) {
        return a.fft_points == b.fft_points && a.grid_size == b.grid_size &&
               a.sparse_rows == b.sparse_rows && a.sparse_nonzeros == b.sparse_nonzeros;
    };
    if (r.megabytes)
        return *r.megabytes >= 0 && *r.megabytes <= MAX_MEGABYTES &&
               same(r.sizes, sizes_from_megabytes(*r.megabytes));
    return same(r.sizes, DEFAULT_SIZES) || same(r.sizes, LARGE_SIZES);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::vector<report_reading> readings = read_classic_reports(bytes);
    require(!readings.empty() && readings.size() <= MAX_REPORTS + 1);
    std::size_t last_line = 0;
    for (const report_reading& reading : readings) {
        require(reading.first_line >= last_line);
        last_line = reading.first_line;
        if (!reading.report) {
            require(!reading.error.empty());
            require_short_line(reading.error);
            continue;
        }
        const classic_report& r = *reading.report;
        require(classic_sizes(r));
        for (kernel_id kernel : RUN_ORDER) {
            std::int64_t reps = r.reps[kernel_index(kernel)];
            require(reps >= 1 && reps <= describe(kernel).largest_reps && (reps & (reps - 1)) == 0);
        }
        require(!r.checksum_text.empty() && r.checksum_text.size() <= 64);
        require_short_line(timing_inconsistency(r));
    }
    return 0;
}
