#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "numeric/stats.h"

TEST(Stats, CompensatedSumRecoversCancelledTerm) {
    std::vector<double> x{1e16, 1.0, -1e16};
    EXPECT_EQ(stats::sum(x), 1.0);
}
