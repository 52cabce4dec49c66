// The supply link against the emulated supply: the frames on the wire, the
// replies parsed, each injected failure and what the library makes of it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "drv/hub_internal.h"
#include "hub/kmx_i2c.h"
#include "hub/kmx_vid.h"
#include "platform/kmx_platform.h"
#include "record/kmx_record.h"
#include "support/log_capture.h"
#include "support/sim_files.h"

namespace {

const int kMap[] = {1300, 1280, 1250, 1600};

bool log_has(const std::string &part) {
    for (const auto &l : log_captured())
        if (l.text.find(part) != std::string::npos) return true;
    return false;
}

class Psu : public testing::Test {
protected:
    void SetUp() override {
        set_psu("{}");
        log_capture_clear();
        g_vid_type = 7;
        vidmap_t m{kMap, 4};
        kmx_vidmap_init(&m);
    }
    static std::vector<std::string> wire() { return sim_lines("psu.log"); }
};

TEST_F(Psu, ReadRequestsAndTheirReplies) {
    ASSERT_TRUE(hub_set_power_en_i2c(0, 5));
    EXPECT_EQ(kmx_i2c_get_voltage(0), 1250.0f);
    EXPECT_EQ(kmx_i2c_get_current(0), 1000.0f);
    EXPECT_EQ(kmx_i2c_get_real_current(0), 1000.0f);
    int st[3] = {-1, -1, -1};
    EXPECT_EQ(kmx_i2c_get_status(0, st), 0);
    EXPECT_EQ(st[0], 1);
    const auto w = wire();
    ASSERT_EQ(w.size(), 5u);
    EXPECT_EQ(w[0], "W 00 AB 00 85 00 02 01 01 89 CD");
    EXPECT_EQ(w[1], "R 00 AB 00 02 00 04 01 00 00 00 07 CD -> 00 AB 00 02 00 04 01 00 E2 04 ED CD");
    EXPECT_EQ(w[2].substr(0, 39), "R 00 AB 00 06 00 04 01 00 00 00 0B CD -");
    EXPECT_EQ(w[3].substr(0, 39), "R 00 AB 00 87 00 04 01 00 00 00 8C CD -");
    EXPECT_EQ(w[4].substr(0, 39), "R 00 AB 00 88 00 04 01 00 00 00 8D CD -");
    // Real-current and status replies are dumped as they arrive.
    EXPECT_TRUE(log_has("00,ab,00,87,00,04,01,00,e8,03,77,cd")) << w[3];
}

TEST_F(Psu, WriteFramesAndPayloadMappings) {
    EXPECT_TRUE(hub_set_power_en_i2c(0, 0));
    EXPECT_TRUE(kmx_soft_reset_power(0));
    EXPECT_TRUE(kmx_i2c_set_timeout(600));
    EXPECT_TRUE(kmx_i2c_set_timeout(29));
    EXPECT_TRUE(kmx_i2c_set_timeout(100000));  // clamped, not wrapped
    EXPECT_TRUE(kmx_i2c_set_timeout(-60));
    EXPECT_EQ(wire(), (std::vector<std::string>{
                          "W 00 AB 00 85 00 02 01 02 8A CD",
                          "W 00 AB 00 86 00 04 01 00 00 00 8B CD",
                          "W 00 AB 00 70 00 01 14 85 CD",
                          "W 00 AB 00 70 00 01 00 71 CD",
                          "W 00 AB 00 70 00 01 FF 70 CD",
                          "W 00 AB 00 70 00 01 00 71 CD",
                      }));
}

TEST_F(Psu, IdentityReads) {
    set_psu(R"({"vendor":"GP","fwver":[1,65],"errorcode":258,"sync_output":1,"gp_fwver":"65"})");
    EXPECT_EQ(get_vendor_on_i2c(), 0x5047);
    EXPECT_STREQ(g_power_vendor, "GP");
    EXPECT_EQ(get_fwver_on_i2c(), 0x4101);
    EXPECT_STREQ(g_power_ver, "1.65");
    EXPECT_EQ(get_psu_errorcode_on_i2c(), 258);
    EXPECT_EQ(g_power_errorcode, 258);
    EXPECT_TRUE(kmx_i2c_is_sync_output());
    EXPECT_EQ(get_gp_fwver_on_i2c(), 65);
    const auto w = wire();
    ASSERT_EQ(w.size(), 5u);
    EXPECT_EQ(w[0], "R 00 AB 00 10 00 04 00 00 00 00 14 CD -> 00 AB 00 10 00 04 00 00 47 50 AB CD");
    EXPECT_EQ(w[1], "R 00 AB 00 11 00 04 00 00 00 00 15 CD -> 00 AB 00 11 00 04 00 00 01 41 57 CD");
    EXPECT_EQ(w[2], "R 00 AB 00 05 00 02 00 00 07 CD -> 00 AB 00 05 00 02 02 01 0A CD");
    EXPECT_EQ(w[3], "R 00 AB 00 08 00 04 55 AA 00 00 0B CD -> 00 AB 00 08 00 04 55 AA 01 00 0C CD");
    EXPECT_EQ(w[4], "R 00 AB 00 17 00 0A 00 00 00 00 00 00 00 00 00 00 21 CD -> "
                    "00 AB 00 17 00 0A 00 00 00 00 36 35 00 00 00 00 8C CD");
    EXPECT_TRUE(log_has("I2C vendor: GP"));
    EXPECT_TRUE(log_has("I2C fwver: 1.65"));
    EXPECT_TRUE(log_has("psu erorcode: 258"));
    EXPECT_TRUE(log_has("gp fwver: 65"));
}

TEST_F(Psu, VendorCharactersThatWouldBreakThePsuInfoFile) {
    set_psu(R"({"vendor":"\n\u0001"})");
    get_vendor_on_i2c();
    EXPECT_STREQ(g_power_vendor, "??");
}

TEST_F(Psu, BadRepliesAreRejected) {
    set_psu(R"({"bad_checksum":true})");
    g_power_errorcode = 7;
    EXPECT_EQ(kmx_i2c_get_voltage(0), -1.0f);
    EXPECT_TRUE(log_has("src/hub/kmx_i2c.cpp,"));
    EXPECT_TRUE(log_has(":check sum error\n"));
    int st[3];
    EXPECT_EQ(kmx_i2c_get_status(0, st), -1);
    EXPECT_FALSE(kmx_i2c_is_sync_output());
    EXPECT_EQ(get_psu_errorcode_on_i2c(), -1);
    EXPECT_EQ(g_power_errorcode, 0);

    set_psu(R"({"bad_end":true})");
    log_capture_clear();
    EXPECT_EQ(get_vendor_on_i2c(), -1);
    EXPECT_STREQ(g_power_vendor, "unknown");
    EXPECT_TRUE(log_has(":No data or bad data received\n"));
    EXPECT_EQ(get_fwver_on_i2c(), -1);
    EXPECT_STREQ(g_power_ver, "unknown");
}

TEST_F(Psu, AbsentSupplyFailsWithoutAControllerReset) {
    set_psu(R"({"absent":true})");
    EXPECT_EQ(kmx_i2c_get_voltage(0), -1.0f);
    EXPECT_FALSE(hub_set_power_en_i2c(0, 1));
    EXPECT_TRUE(log_has("src/hub/kmx_i2c.cpp,"));
    EXPECT_TRUE(log_has(":open /dev/i2c-0 failled: 2.\n"));
    EXPECT_FALSE(kmx_i2c_set_timeout(600));
    bool bare = false;
    for (const auto &l : log_captured())
        if (l.text.size() > 11 && l.text.compare(l.text.size() - 11, 11, "failled: 2.") == 0) bare = true;
    EXPECT_TRUE(bare) << "the time-out write logs without the newline";
    EXPECT_FALSE(log_has("i2c hw reset"));
}

TEST_F(Psu, FailedTransferResetsTheController) {
    g_platform = ZYNQ_HUB_B13;
    hub_init();
    Xil_Zynq_Out32(0x224, 0x55);
    set_psu(R"({"fail_reads":1})");
    EXPECT_EQ(kmx_i2c_get_voltage(0), -1.0f);
    EXPECT_TRUE(log_has(":write iic failled: 5.\n"));
    EXPECT_TRUE(log_has("i2c hw reset done"));
    EXPECT_EQ(Xil_Zynq_In32(0x224), 0u);  // pulsed 1 then back to 0
    EXPECT_EQ(kmx_i2c_get_voltage(0), 0.0f) << "the next transfer goes through";
    hub_deinit();
}

TEST_F(Psu, FailedTransferOnABoardWithoutTheWindowSkipsTheReset) {
    g_platform = ZYNQ_SPI_B3;
    set_psu(R"({"fail_reads":1})");
    EXPECT_EQ(kmx_i2c_get_voltage(0), -1.0f);
    EXPECT_TRUE(log_has("i2c hw reset skipped: zynq window not mapped"));
    EXPECT_FALSE(log_has("i2c hw reset done"));
}

TEST_F(Psu, PowerReadsCurrentFirstAndNeverGoesNegative) {
    hub_set_power_en_i2c(0, 1);
    EXPECT_FLOAT_EQ(kmx_i2c_get_power(0), 1000.0f * 1250.0f / 10000.0f);
    set_psu(R"({"fail_reads":1})");
    hub_set_power_en_i2c(0, 1);
    sim_remove("psu.log");
    set_psu(R"({"fail_reads":1})");
    EXPECT_EQ(kmx_i2c_get_power(0), 0.0f);
    const auto w = wire();
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[0].substr(0, 14), "X 00 AB 00 06 ");
    EXPECT_EQ(w[1].substr(0, 14), "R 00 AB 00 02 ");
}

TEST_F(Psu, VoltageSetWithReadBack) {
    hub_set_power_en_i2c(2, 1);
    EXPECT_TRUE(hub_set_vid_on_i2c(2, 2));
    EXPECT_EQ(wire()[1], "W 00 AB 00 83 00 04 03 00 E2 04 70 CD");
    EXPECT_TRUE(log_has("chain2: set vid 2(12.50V), 12.50V"));

    set_psu(R"({"offset_cv":25})");  // exactly 2 % high
    hub_set_power_en_i2c(2, 1);
    log_capture_clear();
    EXPECT_TRUE(hub_set_vid_i2c(2, 2));
    EXPECT_TRUE(log_has("chain2: set vid 2(12.50V), 12.75V"));
    set_psu(R"({"offset_cv":26})");
    hub_set_power_en_i2c(2, 1);
    EXPECT_TRUE(hub_set_vid_i2c(2, 2)) << "a wrong read-back only shows in the log";
    EXPECT_TRUE(log_has("chain2: failed to set vid 2(12.50V), 12.76V"));
}

TEST_F(Psu, VoltageSetRefusals) {
    EXPECT_FALSE(hub_set_vid_i2c(0, 4));  // outside the map
    EXPECT_TRUE(log_has("vid out of range"));
    EXPECT_TRUE(log_has("invalid vol value"));
    EXPECT_TRUE(wire().empty()) << "nothing is sent for an invalid VID";
    // A write that never reached the supply is a failure.
    set_psu(R"({"write_fail":true})");
    EXPECT_FALSE(hub_set_vid_i2c(0, 2));
    // VID type 3 caps the voltage at 15.30 V; other types send the entry.
    set_psu("{}");
    g_vid_type = 3;
    hub_set_vid_i2c(0, 3);
    g_vid_type = 4;
    hub_set_vid_i2c(0, 3);
    std::vector<std::string> sets;
    for (const auto &l : wire())
        if (l.rfind("W 00 AB 00 83", 0) == 0) sets.push_back(l);
    EXPECT_EQ(sets, (std::vector<std::string>{"W 00 AB 00 83 00 04 01 00 FA 05 87 CD",
                                              "W 00 AB 00 83 00 04 01 00 40 06 CE CD"}));
}

TEST_F(Psu, KeepAlive) {
    // A feed right after a successful one does not read.
    hub_set_power_en_i2c(0, 1);
    g_machine_info.volt = g_machine_info.current = 0;
    EXPECT_TRUE(kmx_i2c_feed_watchdog(true));
    // Output 1's readings land in the machine record.
    EXPECT_NE(g_machine_info.volt, 0u);
    EXPECT_NE(g_machine_info.volt, 0xFFFFu);
    EXPECT_NE(g_machine_info.current, 0xFFFFu);
    const size_t after_first = wire().size();
    EXPECT_EQ(after_first, 3u);  // on, voltage, current
    EXPECT_TRUE(kmx_i2c_feed_watchdog(false));
    EXPECT_EQ(wire().size(), after_first);

    // A dead supply: fails only from the third consecutive feed on.
    set_psu(R"({"fail_always":true})");
    EXPECT_TRUE(kmx_i2c_feed_watchdog(true));
    EXPECT_EQ(g_machine_info.volt, 0xFFFFu);  // a failed read stores -1
    EXPECT_EQ(g_machine_info.current, 0xFFFFu);
    EXPECT_TRUE(kmx_i2c_feed_watchdog(true));
    EXPECT_FALSE(kmx_i2c_feed_watchdog(true));
    EXPECT_FALSE(kmx_i2c_feed_watchdog(true));
    EXPECT_EQ(wire().size(), 8u);
    set_psu("{}");
    EXPECT_TRUE(kmx_i2c_feed_watchdog(true));
    set_psu(R"({"fail_always":true})");
    EXPECT_TRUE(kmx_i2c_feed_watchdog(true)) << "the count was cleared";
}

TEST_F(Psu, StateIsKeptAcrossCalls) {
    hub_set_power_en_i2c(4, 1);
    EXPECT_EQ(kmx_i2c_get_voltage(4), 1250.0f);
    EXPECT_EQ(kmx_i2c_get_voltage(3), 0.0f);
    hub_set_power_en_i2c(4, 0);
    EXPECT_EQ(kmx_i2c_get_voltage(4), 0.0f);
}

}  // namespace
