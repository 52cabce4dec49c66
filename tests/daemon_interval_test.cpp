// The report sender's pause between two reports.
#include <gtest/gtest.h>

#include <climits>

#include "stats.h"

namespace {

TEST(ReportInterval, BelowOneSecondMeans180) {
    EXPECT_EQ(zelmon::report_interval_s(0), 180);
    EXPECT_EQ(zelmon::report_interval_s(-5), 180);
    EXPECT_EQ(zelmon::report_interval_s(INT_MIN), 180);
    EXPECT_EQ(zelmon::report_interval_s(1), 1);
    EXPECT_EQ(zelmon::report_interval_s(2), 2);
    EXPECT_EQ(zelmon::report_interval_s(179), 179);
    EXPECT_EQ(zelmon::report_interval_s(3600), 3600);
}

}  // namespace
