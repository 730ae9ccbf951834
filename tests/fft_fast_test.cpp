// The fast fft kernel against the plain one, bit for bit.

#include "differential.h"
#include "kernels/kernel_set.h"
#include "support/row_matrix.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <vector>

using namespace kalvento;
using namespace kalvento::testing;

TEST(FftFast, SameBitsAsPlain)
{
    for_each_code_path([](const kernel_set& fast) {
        for (std::int32_t points : {1, 2, 4, 1024}) {
            lagged_rng g = advanced_generator(0);
            block<double> plain = vector_from_rng(2 * points, g);
            std::vector<double> expected(plain.get(), plain.get() + 2 * points);
            std::vector<double> actual = expected;
            plain_kernels().fft_transform_pair(2 * points, expected.data());
            fast.fft_transform_pair(2 * points, actual.data());
            EXPECT_EQ(first_difference(actual, expected), -1) << points;
        }
    });
}
