// The trimmed mean of supply readings and the micro-adjustment error.
#include <gtest/gtest.h>

#include <string>

#include "misc/kmx_errcode.h"
#include "module/kmx_chain.h"
#include "os/os.h"

TEST(TrimmedMean, DropsTheLowestAndHighest) {
    int a[] = {5, 1, 4, 2, 3};
    EXPECT_EQ(kmx_count_mid_val(a, 5), 3);
    int b[] = {-1, 1200, 1210, 1190, 5000};  // a failed read among them
    EXPECT_EQ(kmx_count_mid_val(b, 5), 1200);
}

TEST(TrimmedMean, ShortInputsNeverDivideByZero) {
    int one[] = {7};
    EXPECT_EQ(kmx_count_mid_val(one, 1), 7);
    int two[] = {4, 8};
    EXPECT_EQ(kmx_count_mid_val(two, 2), 6);
    EXPECT_EQ(kmx_count_mid_val(two, 0), 0);
    EXPECT_EQ(kmx_count_mid_val(nullptr, 5), 0);
}

TEST(MicroAdjust, RaisesErrorWithOverwrite) {
    kmx_errcode_init();
    kmx_set_errcode(ERRCODE_SETPLL_FAIL, nullptr, false, 2, nullptr, 0);
    kmx_set_microadjust_error(2);
    kmx_save_errcode();
    std::string code;
    ASSERT_TRUE(kos::read_file("/tmp/errcode", code));
    EXPECT_EQ(code.rfind("162\n", 0), 0u) << code;
    std::string log;
    ASSERT_TRUE(kos::read_file("/tmp/errlog", log));
    EXPECT_NE(log.find("/3/162/"), std::string::npos) << log;
    EXPECT_EQ(log.find("/3/162/"), log.rfind("/3/162/")) << log;
}
