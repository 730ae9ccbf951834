#include "driver/kernel_table.h"

#include "kernels/fft.h"
#include "kernels/lu.h"
#include "kernels/monte_carlo.h"
#include "kernels/sor.h"
#include "kernels/sparse.h"

#include <string_view>

namespace kalvento {

namespace {

constexpr std::uint64_t DOUBLE_BYTES = sizeof(double);
constexpr std::uint64_t INDEX_BYTES = sizeof(std::int32_t);

std::uint64_t grid_cells(const problem_sizes& s)
{
    std::uint64_t grid = static_cast<std::uint64_t>(s.grid_size);
    return grid * grid;
}

// A row matrix of the grid's size: its rows and its table of row pointers.
std::uint64_t grid_matrix_bytes(const problem_sizes& s)
{
    return grid_cells(s) * DOUBLE_BYTES + static_cast<std::uint64_t>(s.grid_size) * sizeof(double*);
}

std::uint64_t sparse_draws(const problem_sizes& s)
{
    std::uint64_t rows = static_cast<std::uint64_t>(s.sparse_rows);
    std::uint64_t per_row = rows > 0 ? static_cast<std::uint64_t>(s.sparse_nonzeros) / rows : 0;
    return rows + per_row * rows;
}

constexpr shown_size FFT_SIZES[] = {{"points", &problem_sizes::fft_points}};
constexpr shown_size GRID_SIZES[] = {{"rows", &problem_sizes::grid_size},
                                     {"columns", &problem_sizes::grid_size}};
constexpr shown_size SPARSE_SIZES[] = {{"rows", &problem_sizes::sparse_rows},
                                       {"nonzeros", &problem_sizes::sparse_nonzeros}};

const kernel_descriptor TABLE[] = {
    {
        kernel_id::fft,
        "fft",
        "FFT",
        "FFT             Mflops: %8.2f    (N=%d) \n",
        FFT_SIZES,
        "FFT reps:",
        LARGEST_BATCH<fft_batch>,
        [](const problem_sizes& s) { return fft_has_work(s.fft_points); },
        [](const problem_sizes& s, std::int64_t reps) {
            return fft_attempt_operations(s.fft_points, reps);
        },
        [](const problem_sizes& s) { return 2 * static_cast<std::uint64_t>(s.fft_points); },
        [](const problem_sizes& s) {
            return 2 * static_cast<std::uint64_t>(s.fft_points) * DOUBLE_BYTES;
        },
        [](const problem_sizes& s, lagged_rng& shared, const calibration& plan,
           const kernel_set& kernels,
           kernel_result& result) { bench_fft(s.fft_points, shared, plan, kernels, result); },
    },
    {
        kernel_id::sor,
        "sor",
        "SOR",
        "SOR             Mflops: %8.2f    (%d x %d) \n",
        GRID_SIZES,
        "SOR reps:",
        LARGEST_BATCH<std::int32_t>,
        [](const problem_sizes& s) { return sor_has_work(s.grid_size); },
        [](const problem_sizes& s, std::int64_t reps) {
            return sor_attempt_operations(s.grid_size, reps);
        },
        grid_cells,
        grid_matrix_bytes,
        [](const problem_sizes& s, lagged_rng& shared, const calibration& plan,
           const kernel_set& kernels,
           kernel_result& result) { bench_sor(s.grid_size, shared, plan, kernels, result); },
    },
    {
        kernel_id::monte_carlo,
        "montecarlo",
        "MonteCarlo",
        "MonteCarlo:     Mflops: %8.2f  \n",
        {},
        "Montel Carlo reps:",
        LARGEST_BATCH<std::int32_t>,
        [](const problem_sizes&) { return true; },
        [](const problem_sizes&, std::int64_t reps) {
            return monte_carlo_attempt_operations(reps);
        },
        // Its generator is private to every call.
        [](const problem_sizes&) { return std::uint64_t{0}; },
        [](const problem_sizes&) { return std::uint64_t{0}; },
        [](const problem_sizes&, lagged_rng&, const calibration& plan, const kernel_set& kernels,
           kernel_result& result) { bench_monte_carlo(plan, kernels, result); },
    },
    {
        kernel_id::sparse,
        "sparse",
        "Sparse matmult",
        "Sparse matmult  Mflops: %8.2f    (N=%d, nz=%d)  \n",
        SPARSE_SIZES,
        "Sparse MatMult repss:",
        LARGEST_BATCH<std::int32_t>,
        [](const problem_sizes& s) { return sparse_has_work(s.sparse_rows); },
        [](const problem_sizes& s, std::int64_t reps) {
            return sparse_attempt_operations(s.sparse_rows, s.sparse_nonzeros, reps);
        },
        sparse_draws,
        [](const problem_sizes& s) {
            std::uint64_t rows = static_cast<std::uint64_t>(s.sparse_rows);
            // x, the entry values and y; the column indices and the row starts.
            return (sparse_draws(s) + rows) * DOUBLE_BYTES +
                   (static_cast<std::uint64_t>(s.sparse_nonzeros) + rows + 1) * INDEX_BYTES;
        },
        [](const problem_sizes& s, lagged_rng& shared, const calibration& plan,
           const kernel_set& kernels, kernel_result& result) {
            bench_sparse(static_cast<std::uint32_t>(s.sparse_rows),
                         static_cast<std::uint32_t>(s.sparse_nonzeros), shared, plan, kernels,
                         result);
        },
    },
    {
        kernel_id::lu,
        "lu",
        "LU",
        "LU              Mflops: %8.2f    (M=%d, N=%d) \n",
        GRID_SIZES,
        "LU reps:",
        LARGEST_BATCH<std::int32_t>,
        [](const problem_sizes& s) { return lu_has_work(s.grid_size); },
        [](const problem_sizes& s, std::int64_t reps) {
            return lu_attempt_operations(s.grid_size, reps);
        },
        grid_cells,
        // The drawn matrix, the working copy and the pivots.
        [](const problem_sizes& s) {
            return 2 * grid_matrix_bytes(s) + static_cast<std::uint64_t>(s.grid_size) * INDEX_BYTES;
        },
        [](const problem_sizes& s, lagged_rng& shared, const calibration& plan,
           const kernel_set& kernels, kernel_result& result) {
            bench_lu(static_cast<std::uint32_t>(s.grid_size), shared, plan, kernels, result);
        },
    },
};

} // namespace

std::span<const kernel_descriptor, 5> kernel_table()
{
    return std::span<const kernel_descriptor, 5>(TABLE);
}

std::string kernel_names(const char* separator, const char* last_separator)
{
    std::string names;
    for (const kernel_descriptor& kernel : kernel_table()) {
        if (!names.empty())
            names += kernel.id == RUN_ORDER.back() ? last_separator : separator;
        names += kernel.name;
    }
    return names;
}

std::string report_line_pattern(const kernel_descriptor& kernel)
{
    std::string format = kernel.line_format;
    format.erase(format.find_last_not_of(" \n") + 1);
    std::string pattern;
    for (std::size_t i = 0; i < format.size(); ++i) {
        char c = format[i];
        if (format.compare(i, 5, "%8.2f") == 0) {
            pattern += R"((\S+))";
            i += 4;
        } else if (format.compare(i, 2, "%d") == 0) {
            pattern += R"((\d+))";
            i += 1;
        } else if (c == ' ') {
            pattern += R"(\s+)";
            while (i + 1 < format.size() && format[i + 1] == ' ')
                ++i;
        } else {
            if (std::string_view(R"(.*+?^${}()|[]\)").find(c) != std::string_view::npos)
                pattern += '\\';
            pattern += c;
        }
    }
    return pattern;
}

} // namespace kalvento
