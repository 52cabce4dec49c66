// VID type, its consistency check and the chip technology, built against
// the library revisions whose tables differ (subtype 69 is known only to
// the newer one).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "misc/kmx_misc.h"
#include "os/os.h"
#include "platform/kmx_platform.h"

namespace {

constexpr bool NEWER = KMX_LIB_REV >= 3;

int vid_type(int chip_type, int subtype, int platform = ZYNQ_HUB_B13) {
    g_chip_type = chip_type;
    g_miner_subtype = subtype;
    g_platform = platform;
    return misc_get_vid_type();
}

TEST(VidType, TableOrder) {
    EXPECT_EQ(vid_type(10, 3), 12);  // chip type first
    EXPECT_EQ(vid_type(169, 1), 15);
    for (int st : {1, 2, 4, 6, 14, 20, 27, 32, 65, 67, 68}) EXPECT_EQ(vid_type(0, st), 7) << st;
    EXPECT_EQ(vid_type(0, 69), NEWER ? 7 : 15);
    EXPECT_EQ(vid_type(0, 66), 15);
    EXPECT_EQ(vid_type(0, 3), 5);
    EXPECT_EQ(vid_type(0, 48), 11);
    EXPECT_EQ(vid_type(0, 81), 3);
    EXPECT_EQ(vid_type(0, 80, OPI_H3), -1);
    EXPECT_EQ(vid_type(0, -1), 15);
    EXPECT_EXIT(vid_type(0, 80, 7), testing::ExitedWithCode(0), "");
}

bool check(int vid, int chip, int subtype, int chips) {
    g_vid_type = vid;
    g_chip_type = chip;
    g_miner_subtype = subtype;
    g_chip_num = chips;
    return misc_check_vid_type();
}

[[noreturn]] void mismatch_saves_error() {
    if (check(7, 5, 15, 149)) exit(1);
    std::string code;
    kos::read_file("/tmp/errcode", code);
    if (code != "37\nINV_VIDTYPE.chain(ff).chip().msg(vidtype:7,chiptype:5,subtype:15,chipnum:149)\n") exit(2);
    exit(0);
}

TEST(VidType, AcceptedCombinations) {
    EXPECT_TRUE(check(3, 0, 99, 68));
    EXPECT_TRUE(check(5, 5, 3, 164));
    EXPECT_TRUE(check(7, 0, 24, 140));
    EXPECT_TRUE(check(7, 5, 15, 148));
    EXPECT_TRUE(check(7, 5, 66, 105));
    EXPECT_TRUE(check(7, 5, 68, 74));
    EXPECT_TRUE(check(7, 6, 6, 1));
    EXPECT_TRUE(check(11, 0, 1, 63));
    EXPECT_TRUE(check(13, 169, 0, 14));
    EXPECT_TRUE(check(15, 9, 9, 9));
    EXPECT_EXIT(mismatch_saves_error(), testing::ExitedWithCode(0), "");
    EXPECT_EXIT(exit(check(7, 5, 69, 105) ? 0 : 1), testing::ExitedWithCode(NEWER ? 0 : 1), "");
}

TEST(VidType, ChipTechnology) {
    g_miner_subtype = 64;
    for (int ct : {3, 6, 7, 10, 11, 12}) {
        g_chip_type = ct;
        EXPECT_EQ(kmx_get_chip_tech(), 1) << ct;
    }
    for (int ct : {0, 5, 9, 169}) {
        g_chip_type = ct;
        g_miner_subtype = 68;
        EXPECT_EQ(kmx_get_chip_tech(), 2) << ct;
        g_miner_subtype = 69;
        EXPECT_EQ(kmx_get_chip_tech(), NEWER ? 2 : 0) << ct;
        g_miner_subtype = 63;
        EXPECT_EQ(kmx_get_chip_tech(), 0) << ct;
    }
    g_chip_type = 8;
    EXPECT_EQ(kmx_get_chip_tech(), -1);
}

}  // namespace
