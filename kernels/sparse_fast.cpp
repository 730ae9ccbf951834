// The sparse multiply, with fewer and wider loads than one entry at a time.
//
// A row's sum must be formed exactly as defined: +0.0, then each product x[col] * value rounded
// and added in the row's order. What can change is how the operands arrive: the values of a few
// entries come in one vector load, the gathered x values are paired into a vector so that one
// multiply forms several products, and the products are then taken out one by one for the
// additions in order. Rows are taken eight at a time when they all have the same length (read
// from row_start in every call, nothing assumed about the columns), so that the row loop knows
// its length and the eight sums go into y with vector additions; other rows take the same steps
// with their own lengths.
#include "kernels/fast_kernels.h"

#include <cstdint>

#if defined(__AVX2__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kalvento::KALVENTO_FAST_NS {

namespace {

constexpr int BLOCK_ROWS = 8;

#if defined(__AVX2__)

// Entries whose products one multiply forms.
constexpr int GROUP = 4;

// sum + the products of the four entries at (v, c), added in order.
inline double add_group(double sum, const double* v, const std::int32_t* c, const double* x)
{
    __m128d x01 = _mm_unpacklo_pd(_mm_load_sd(x + c[0]), _mm_load_sd(x + c[1]));
    __m128d x23 = _mm_unpacklo_pd(_mm_load_sd(x + c[2]), _mm_load_sd(x + c[3]));
    __m256d p = _mm256_mul_pd(_mm256_insertf128_pd(_mm256_castpd128_pd256(x01), x23, 1),
                              _mm256_loadu_pd(v));
    __m128d p01 = _mm256_castpd256_pd128(p);
    __m128d p23 = _mm256_extractf128_pd(p, 1);
    sum += _mm_cvtsd_f64(p01);
    sum += _mm_cvtsd_f64(_mm_unpackhi_pd(p01, p01));
    sum += _mm_cvtsd_f64(p23);
    sum += _mm_cvtsd_f64(_mm_unpackhi_pd(p23, p23));
    return sum;
}

// y[i] += row_sum(i) for the block's eight rows, taken one after the other: the sums go straight
// into vector lanes, which keeps the compiler from interleaving the rows' chains and running out of
// registers.
template <class RowSum>
inline void add_to_block(double* y, RowSum row_sum)
{
    auto pair = [&](int i) {
        __m128d first = _mm_set_sd(row_sum(i));
        return _mm_unpacklo_pd(first, _mm_set_sd(row_sum(i + 1)));
    };
    __m128d s01 = pair(0);
    __m128d s23 = pair(2);
    __m256d low = _mm256_insertf128_pd(_mm256_castpd128_pd256(s01), s23, 1);
    __m128d s45 = pair(4);
    __m128d s67 = pair(6);
    __m256d high = _mm256_insertf128_pd(_mm256_castpd128_pd256(s45), s67, 1);
    _mm256_storeu_pd(y, _mm256_add_pd(_mm256_loadu_pd(y), low));
    _mm256_storeu_pd(y + 4, _mm256_add_pd(_mm256_loadu_pd(y + 4), high));
}

// Whether rows 0..7 of the block starting at start all hold `length` entries.
inline bool block_is_even(const std::int32_t* start, std::int32_t length)
{
    __m256i from = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(start));
    __m256i to = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(start + 1));
    __m256i same = _mm256_cmpeq_epi32(_mm256_sub_epi32(to, from), _mm256_set1_epi32(length));
    return _mm256_movemask_epi8(same) == -1;
}

#elif defined(__SSE2__)

constexpr int GROUP = 2;

inline double add_group(double sum, const double* v, const std::int32_t* c, const double* x)
{
    __m128d p =
        _mm_mul_pd(_mm_unpacklo_pd(_mm_load_sd(x + c[0]), _mm_load_sd(x + c[1])), _mm_loadu_pd(v));
    sum += _mm_cvtsd_f64(p);
    sum += _mm_cvtsd_f64(_mm_unpackhi_pd(p, p));
    return sum;
}

template <class RowSum>
inline void add_to_block(double* y, RowSum row_sum)
{
    for (int i = 0; i < BLOCK_ROWS; i += 2) {
        __m128d first = _mm_set_sd(row_sum(i));
        __m128d s = _mm_unpacklo_pd(first, _mm_set_sd(row_sum(i + 1)));
        _mm_storeu_pd(y + i, _mm_add_pd(_mm_loadu_pd(y + i), s));
    }
}

inline bool block_is_even(const std::int32_t* start, std::int32_t length)
{
    __m128i want = _mm_set1_epi32(length);
    int same = 0xFFFF;
    for (int i = 0; i < BLOCK_ROWS; i += 4) {
        __m128i from = _mm_loadu_si128(reinterpret_cast<const __m128i*>(start + i));
        __m128i to = _mm_loadu_si128(reinterpret_cast<const __m128i*>(start + i + 1));
        same &= _mm_movemask_epi8(_mm_cmpeq_epi32(_mm_sub_epi32(to, from), want));
    }
    return same == 0xFFFF;
}

#else

constexpr int GROUP = 1;

inline double add_group(double sum, const double* v, const std::int32_t* c, const double* x)
{
    return sum + x[c[0]] * v[0];
}

template <class RowSum>
inline void add_to_block(double* y, RowSum row_sum)
{
    for (int i = 0; i < BLOCK_ROWS; ++i)
        y[i] += row_sum(i);
}

inline bool block_is_even(const std::int32_t* start, std::int32_t length)
{
    for (int i = 0; i < BLOCK_ROWS; ++i)
        if (start[i + 1] - start[i] != length)
            return false;
    return true;
}

#endif

// The sum of a row of `length` entries, in order from +0.0.
template <int LENGTH>
inline double row_sum(const double* v, const std::int32_t* c, const double* x)
{
    double sum = 0.0;
    int k = 0;
#pragma GCC unroll 4
    for (; k + GROUP <= LENGTH; k += GROUP)
        sum = add_group(sum, v + k, c + k, x);
    for (; k < LENGTH; ++k)
        sum += x[c[k]] * v[k];
    return sum;
}

inline double row_sum(const double* v, const std::int32_t* c, std::int32_t length, const double* x)
{
    double sum = 0.0;
    std::int32_t k = 0;
    for (; k + GROUP <= length; k += GROUP)
        sum = add_group(sum, v + k, c + k, x);
    for (; k < length; ++k)
        sum += x[c[k]] * v[k];
    return sum;
}

// Eight-row blocks whose rows all hold LENGTH entries, from row r on for as long as they last;
// (v, c) is row r's first entry. Returns the first row not done. The entries are found by counting
// from there, so that the loads of a block do not wait for loads of row_start, which only decide
// where the run ends. Each run has a loop and registers of its own.
template <int LENGTH>
[[gnu::noinline]] std::int32_t multiply_even_blocks(std::int32_t r, std::int32_t n, double* y,
                                                    const double* v, const std::int32_t* c,
                                                    const std::int32_t* row_start, const double* x)
{
    for (; r + BLOCK_ROWS <= n && block_is_even(row_start + r, LENGTH); r += BLOCK_ROWS) {
        add_to_block(y + r,
                     [&](int i) { return row_sum<LENGTH>(v + i * LENGTH, c + i * LENGTH, x); });
        v += BLOCK_ROWS * LENGTH;
        c += BLOCK_ROWS * LENGTH;
    }
    return r;
}

[[gnu::noinline]] std::int32_t multiply_even_blocks(std::int32_t r, std::int32_t n, double* y,
                                                    const double* v, const std::int32_t* c,
                                                    std::int32_t length,
                                                    const std::int32_t* row_start, const double* x)
{
    for (; r + BLOCK_ROWS <= n && block_is_even(row_start + r, length); r += BLOCK_ROWS) {
        add_to_block(y + r,
                     [&](int i) { return row_sum(v + i * length, c + i * length, length, x); });
        v += BLOCK_ROWS * length;
        c += BLOCK_ROWS * length;
    }
    return r;
}

void multiply_once(std::int32_t n, double* y, const double* entry_value,
                   const std::int32_t* row_start, const std::int32_t* col_index, const double* x)
{
    std::int32_t r = 0;
    while (r + BLOCK_ROWS <= n) {
        std::int32_t first = row_start[r];
        std::int32_t length = row_start[r + 1] - first;
        const double* v = entry_value + first;
        const std::int32_t* c = col_index + first;
        std::int32_t done;
        // The lengths of every size the benchmark's command line can choose.
        switch (length) {
        case 5:
            done = multiply_even_blocks<5>(r, n, y, v, c, row_start, x);
            break;
        case 8:
            done = multiply_even_blocks<8>(r, n, y, v, c, row_start, x);
            break;
        case 10:
            done = multiply_even_blocks<10>(r, n, y, v, c, row_start, x);
            break;
        default:
            done = multiply_even_blocks(r, n, y, v, c, length, row_start, x);
            break;
        }
        if (done > r) {
            r = done;
            continue;
        }
        // A block of rows of different lengths.
        for (std::int32_t end = r + BLOCK_ROWS; r < end; ++r)
            y[r] += row_sum(entry_value + row_start[r], col_index + row_start[r],
                            row_start[r + 1] - row_start[r], x);
    }
    for (; r < n; ++r)
        y[r] += row_sum(entry_value + row_start[r], col_index + row_start[r],
                        row_start[r + 1] - row_start[r], x);
}

} // namespace

void csr_multiply(std::int32_t n, double* y, const double* entry_value,
                  const std::int32_t* row_start, const std::int32_t* col_index, const double* x,
                  std::int32_t batch_size)
{
    for (std::int32_t rep = 0; rep < batch_size; ++rep)
        multiply_once(n, y, entry_value, row_start, col_index, x);
}

} // namespace kalvento::KALVENTO_FAST_NS
