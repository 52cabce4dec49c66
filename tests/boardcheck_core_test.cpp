// The board test's lower layers inside an emulated machine: logger, hub
// driver and chip commands, platform object, chain module and the state
// machine over the emulated chains of boardcheck_core.json.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

#include "drv/bc_hub.h"
#include "drv/bc_links.h"
#include "drv/bc_soc.h"
#include "module/bc_chain.h"
#include "module/bc_debug.h"
#include "module/bc_freq.h"
#include "module/bc_fsm.h"
#include "module/bc_miner.h"
#include "module/bc_platform.h"
#include "module/bc_report.h"
#include "module/bc_steps.h"
#include "module/chip_features.h"
#include "module/test_log.h"
#include "os/os.h"
#include "sim/devices/gpio_devices.h"

namespace {

// What reached the system log since the last call: a marker line is sent
// and waited for, so every earlier line has been written.
std::string log_since_last() {
    static size_t seen = 0;
    static int serial = 0;
    const std::string marker = "--marker " + std::to_string(++serial) + "--";
    const int level = g_test_log_level;
    const uint32_t mask = g_test_log_mask;
    g_test_log_level = 0;
    g_test_log_mask = TL_PLAIN;
    test_log(3, TL_PLAIN, marker.c_str());
    g_test_log_level = level;
    g_test_log_mask = mask;
    std::string text;
    for (int i = 0; i < 5000; i++) {
        kos::read_file((kos::sim_dir() + "/syslog.log").c_str(), text, 64 << 20);
        if (text.find(marker, seen) != std::string::npos) break;
        usleep(1000);
    }
    const size_t at = text.find(marker, seen);
    if (at == std::string::npos) return "";
    std::string part = text.substr(seen, at - seen);
    seen = at + marker.size();
    return part;
}

bool has(const std::string &text, const std::string &what) { return text.find(what) != std::string::npos; }
size_t count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

class Board : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        g_test_log_level = 3;
        g_test_log_mask = 1;
        // Each suite of this fixture starts from fresh board records; the
        // previous suite's are released first.
        if (s_miner) free(s_miner->chains), free(s_miner);
        free(s_obj);
        init_control_board(TEST_MODE_PRE_FIN);
        detect_spi_chain_plug(TEST_MODE_PRE_FIN);
        s_miner = g_miner;
        s_obj = g_kmx_obj;
    }
    static inline bc_miner *s_miner = nullptr;
    static inline kmx_obj_t *s_obj = nullptr;
    void SetUp() override {
        g_test_log_level = 3;
        g_test_log_mask = 1;
        for (int chain : {1, 2, 3}) zynq_chain_power_on(chain, 0, TEST_MODE_PRE_FIN);
        log_since_last();
    }
    static uint32_t spi_reg(int chain, uint32_t off) { return Xil_SPI_In32(uint32_t(chain) * 512 + off); }
};

// ---- logger ------------------------------------------------------------------

TEST_F(Board, LoggerLevelsPrefixesAndPriorities) {
    test_log(2, TL_PLAIN, "dropped");
    test_log(3, TL_PLAIN, "plain");
    test_log(4, TL_PLAIN, "x");
    test_log(5, TL_PLAIN, "x");
    const std::string log = log_since_last();
    EXPECT_FALSE(has(log, "dropped")) << log;
    EXPECT_TRUE(has(log, "local0.info plain\n")) << log;
    EXPECT_TRUE(has(log, "local0.warning [WARNING]:x\n")) << log;
    EXPECT_TRUE(has(log, "local0.err [ERROR]:x\n")) << log;
}

TEST_F(Board, LoggerCategoriesFollowTheMask) {
    test_log(3, TL_STEP, "step one");
    g_test_log_mask = TL_STEP | TL_SECTION | TL_SPI;
    test_log(3, TL_STEP, "step two");
    test_log(3, TL_SECTION, "Chain Detect");
    test_log(3, TL_SPI | TL_STEP, "both");  // the earlier row of the table wins
    test_log(3, TL_JOB, "job");
    test_log(5, TL_STEP | TL_CONT, "piece");
    const std::string log = log_since_last();
    EXPECT_FALSE(has(log, "step one")) << log;
    EXPECT_TRUE(has(log, "local0.info [STEP]:step two\n")) << log;
    EXPECT_TRUE(has(log, "local0.info ------- Chain Detect -------")) << log;
    EXPECT_TRUE(has(log, "local0.info [SPI]:both\n")) << log;
    EXPECT_FALSE(has(log, "job")) << log;
    EXPECT_TRUE(has(log, "local0.err piece\n")) << log;
}

TEST_F(Board, LoggerCutsLongLinesAndTakesTextAsData) {
    const std::string big(400, 'y');
    test_log(3, TL_PLAIN, ("%s%n" + big).c_str());
    const std::string log = log_since_last();
    EXPECT_TRUE(has(log, "local0.info %s%n" + std::string(251, 'y') + "\n")) << log;
    EXPECT_FALSE(has(log, std::string(256, 'y'))) << log;
}

TEST_F(Board, HexDumpLinesOfSixteen) {
    uint8_t data[20];
    for (int i = 0; i < 20; i++) data[i] = uint8_t(i);
    test_log_hexdump(data, 20, 3, TL_PLAIN);
    const std::string log = log_since_last();
    EXPECT_EQ(count(log, "00000000:"), 1u) << log;
    EXPECT_EQ(count(log, "00000010:"), 1u) << log;
    EXPECT_LT(log.find("00000000:"), log.find("local0.info 0f ")) << log;
    EXPECT_LT(log.find("local0.info 0f "), log.find("00000010:")) << log;
    EXPECT_LT(log.find("00000010:"), log.find("local0.info 13 ")) << log;
    EXPECT_EQ(count(log, "local0.info \n"), 2u) << log;  // after the full and the partial line
}

void typed(const char *text) {
    FILE *f = fopen("/tmp/console", "w");
    fputs(text, f);
    fclose(f);
    EXPECT_TRUE(freopen("/tmp/console", "r", stdin));
}

TEST_F(Board, ConsoleNumber) {
    typed("\n");
    EXPECT_EQ(read_console_number(900), 900);
    typed("a1b2\n77\r\n\n5");
    EXPECT_EQ(read_console_number(900), 12);
    EXPECT_EQ(read_console_number(900), 77);  // typed ahead: kept
    EXPECT_EQ(read_console_number(900), 900);  // "\r\n" ended one line only
    EXPECT_EQ(read_console_number(900), 5);
    typed("");
    EXPECT_EQ(read_console_number(5), 5);
    char w[4];
    typed("yes-and-more\nN\n");
    EXPECT_EQ(read_console_word(w, sizeof w), 3);
    EXPECT_STREQ(w, "yes");
    EXPECT_EQ(read_console_word(w, sizeof w), 1);
    EXPECT_STREQ(w, "N");
    EXPECT_EQ(read_console_word(w, sizeof w), -1);
    typed("99999999999999999999\n");  // does not wrap into a negative number
    EXPECT_GT(read_console_number(0), 0);
}

// ---- hub driver and chip commands --------------------------------------------------

TEST_F(Board, CommandLengthWords) {
    const uint8_t img[12] = {};
    ASSERT_TRUE(hub_cmd_write_register(1, 1, img, 12));
    EXPECT_EQ(spi_reg(1, BC_SPI_LEN), 0x08070807u);
    EXPECT_EQ(hub_cmd_auto_nonce(1, 1, 6), 1);
    EXPECT_EQ(spi_reg(1, BC_SPI_LEN), 0x02000604u);
    EXPECT_EQ(spi_reg(1, BC_SPI_AUTO_INTERVAL), 1u);
    EXPECT_EQ(spi_reg(1, BC_SPI_HDR), 0x0008u);
    EXPECT_EQ(hub_cmd_auto_nonce(1, 0, 6), 1);
    // The chain's configuration word from the start-up: 170 chips.
    EXPECT_EQ(spi_reg(1, BC_SPI_CFG) >> 24, 170u);
    EXPECT_EQ(spi_reg(1, BC_SPI_CHIPNUM), 0xF00FFu);
}

TEST_F(Board, ResetAndBistStartReadTheChain) {
    uint8_t out[4] = {};
    ASSERT_TRUE(kmx_cmd_resetall(1, out));
    EXPECT_EQ(out[0], 0x04);
    EXPECT_EQ(kmx_cmd_bist_start(1, 0), 68);
    ASSERT_TRUE(kmx_cmd_resetall(3, out));
    EXPECT_EQ(out[0], 0xA4);
}

TEST_F(Board, ReplyWithBadCrcFailsItsCommandAndMarksTheChain) {
    bc_chain *c = bc_chain_rec(2);
    ASSERT_NE(c, nullptr);
    c->feat.feature[2] = 1;
    uint8_t img[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, back[12] = {};
    ASSERT_TRUE(kmx_cmd_write_register(2, 1, img, 12));
    EXPECT_FALSE(kmx_cmd_read_register(2, 1, back, 12));
    EXPECT_EQ(back[0], 0);  // the data of a failed reply are not used
    EXPECT_EQ(back[11], 0);
    std::string log = log_since_last();
    EXPECT_TRUE(has(log, "local0.warning [WARNING]:hub_cmd_read_register spi crc error !")) << log;
    EXPECT_EQ(c->crc_error, 1);
    EXPECT_EQ(c->crc_error_chip, 1);
    // Unchecked replies hand their data on.
    c->feat.feature[2] = 0;
    EXPECT_TRUE(kmx_cmd_read_register(2, 1, back, 12));
    EXPECT_EQ(back[0], 1);
    EXPECT_EQ(back[10], 11);
    log = log_since_last();
    EXPECT_FALSE(has(log, "crc error")) << log;
    // Command 0D always checks; the mark keeps the first chip.
    uint8_t reply[12] = {};
    EXPECT_FALSE(kmx_cmd_read_write_reg0d(2, 3, img, 12, reply));
    EXPECT_EQ(reply[0], 0);
    EXPECT_TRUE(has(log_since_last(), "[WARNING]:hub_cmd_read_write_reg0d spi crc error!")) << "";
    EXPECT_EQ(c->crc_error_chip, 1);
    // A broadcast's reply names the chip that answered it (the last).
    c->crc_error = 0;
    EXPECT_FALSE(kmx_cmd_read_write_reg0d(2, 0, img, 12, reply));
    EXPECT_EQ(c->crc_error_chip, 4);
    c->crc_error = 0, c->crc_error_chip = 0;
}

TEST_F(Board, ReplyWithWrongHeaderFailsItsCommand) {
    // Chain 1's chip 2 answers 0x2A / 0x2D for 0x1A / 0x1D (CRC sound).
    const std::string ctl = kos::sim_dir() + "/chips1";
    ASSERT_TRUE(kos::write_file_atomic(ctl.c_str(), "badhead 2\n"));
    bc_chain *c = bc_chain_rec(1);
    const bc_chain saved = *c;
    c->feat.feature[2] = 1;
    uint8_t img[12] = {}, back[12] = {}, reply[12] = {};
    EXPECT_TRUE(kmx_cmd_read_register(1, 1, back, 12));
    EXPECT_EQ(c->crc_error, 0);
    EXPECT_FALSE(kmx_cmd_read_register(1, 2, back, 12));
    EXPECT_EQ(c->crc_error_chip, 2);
    c->crc_error = 0;
    EXPECT_FALSE(kmx_cmd_read_write_reg0d(1, 2, img, 12, reply));
    EXPECT_EQ(c->crc_error, 1);
    const std::string log = log_since_last();
    EXPECT_TRUE(has(log, "[WARNING]:0A02 command return value is [2a2], not 1A02 ")) << log;
    EXPECT_TRUE(has(log, "[WARNING]:0DNN command return value is [2d2], not 1DNN ")) << log;
    EXPECT_FALSE(has(log, "crc error")) << log;
    *c = saved;
    unlink(ctl.c_str());
}

TEST_F(Board, ChipFeaturesDecideTheReplyCrcCheck) {
    // Chain 2 answers with bad CRCs. Type 12's features leave replies
    // unchecked, type 0's and type 13's check them.
    uint8_t back[12] = {};
    set_chip_feature(2, 12, TEST_MODE_PRE_FIN);
    EXPECT_EQ(bc_chain_rec(2)->feat.feature[2], 0);
    EXPECT_EQ(bc_chain_rec(2)->feat.feature[3], 1);
    EXPECT_TRUE(kmx_cmd_read_register(2, 1, back, 12));
    std::string log = log_since_last();
    EXPECT_FALSE(has(log, "crc error")) << log;
    for (unsigned type : {0u, 13u}) {
        set_chip_feature(2, type, TEST_MODE_PRE_FIN);
        EXPECT_FALSE(kmx_cmd_read_register(2, 1, back, 12));
        log = log_since_last();
        EXPECT_TRUE(has(log, "local0.warning [WARNING]:hub_cmd_read_register spi crc error !")) << type << log;
    }
    bc_chain_rec(2)->feat = {};
    bc_chain_rec(2)->crc_error = 0;
}

TEST_F(Board, AutomaticCommand0aSweepsAndStops) {
    const uint32_t word = 100 | 24u << 16 | 33u << 24;
    hub_enable_auto_cmd0a(1, 100, 33, 24, 0, 0);
    EXPECT_EQ(spi_reg(1, 0x160), word | 0x1000);
    EXPECT_EQ(spi_reg(1, 0x14), 4u);
    EXPECT_EQ((spi_reg(1, 0x170) >> 24) & 1, 1u);  // the sweep ran
    hub_disable_auto_cmd0a(1, 100, 33, 24, 1, 1);
    EXPECT_EQ(spi_reg(1, 0x160), word | 1u << 13 | 1u << 14);
    EXPECT_EQ(spi_reg(1, 0x14), 4u);  // no command written
}

TEST_F(Board, JobsAndResultsWithAndWithoutTheManualHeader) {
    bc_chain *c = bc_chain_rec(1);
    for (bool manual : {false, true}) {
        SCOPED_TRACE(manual ? "manual header" : "engine push");
        c->feat.feature[3] = manual;
        uint8_t job[20] = {0x07, 0x01};
        for (int i = 2; i < 20; i++) job[i] = uint8_t(0x20 + i);
        uint8_t res[12] = {};
        EXPECT_FALSE(hub_cmd_read_result(1, 1, res, 8));  // nothing queued yet
        ASSERT_TRUE(hub_cmd_write_job(1, 1, job, 20));
        ASSERT_TRUE(hub_cmd_read_result(1, 1, res, 8));
        EXPECT_EQ(res[0], 0x18);
        EXPECT_EQ(res[1], 0x01);
        EXPECT_EQ(res[2], uint8_t(0x22 ^ 0x01));  // the emulated chip's answer to that job
        EXPECT_FALSE(hub_cmd_read_result(1, 1, res, 8));
    }
    c->feat.feature[3] = 0;
    EXPECT_FALSE(has(log_since_last(), "[ERROR]"));
}

TEST_F(Board, FailingCommandLogsAndDumpsTheChainRegisters) {
    g_test_log_level = 1;
    uint8_t out[4];
    EXPECT_FALSE(kmx_cmd_resetall(0, out));  // nothing in slot 0
    g_test_log_level = 3;
    const std::string log = log_since_last();
    EXPECT_TRUE(has(log, "[ERROR]:Check receive buffer ready timeout! ")) << log;
    EXPECT_TRUE(has(log, "[ERROR]:chain0: ERROR - failed to recv spi data cmd:0x400")) << log;
    EXPECT_TRUE(has(log, "SPI Hub register (0000 ~ 00ff): ")) << log;
    int words = 0;
    const std::string tag = " local0.emerg ";
    for (size_t at = log.find(tag); at != std::string::npos; at = log.find(tag, at + 1)) {
        const std::string w = log.substr(at + tag.size(), 10);
        words += w.size() == 10 && w[8] == ' ' && w[9] == '\n' && w.find_first_not_of("0123456789abcdef") == 8;
    }
    EXPECT_EQ(words, 64) << log;
    EXPECT_EQ(count(log, "local0.emerg \n"), 16u) << log;  // four words to a line
    EXPECT_EQ(hub_cmd_bist_start(0, 0), -1);
}

TEST_F(Board, UnsupportedLengthsAreRefused) {
    uint8_t big[64] = {};
    EXPECT_FALSE(hub_cmd_read_register(1, 1, big, 62));  // more than the receive buffer
    EXPECT_FALSE(hub_cmd_write_register(1, 1, big, 7));
    EXPECT_FALSE(hub_cmd_read_nonce(1, big, 40));
    EXPECT_EQ(hub_set_spi_speed(1, 6), 0);
    EXPECT_EQ(hub_set_spi_speed(1, 5), 1);
    EXPECT_EQ(spi_reg(1, BC_SPI_CFG) & 0x00FF0000u, 0x330000u);
}

TEST_F(Board, UartVidFrame) {
    uint8_t f[5];
    uart_vid_frame(uint8_t(g_vid_map_table[5][10]), f);
    EXPECT_EQ(std::vector<uint8_t>(f, f + 5), (std::vector<uint8_t>{0xAA, 0x02, 0x01, 0x50, 0xAD}));
    EXPECT_FALSE(g_kmx_obj->flags & KMX_OBJ_I2C_PSU);
    EXPECT_EQ(read_iic_power(1), 0.0f);  // no supply on I2C: no transfer
}

TEST_F(Board, SupplyKindChoosesTheOutput) {
    g_miner->psu_kind = 0;
    EXPECT_EQ(psu_output(0), 4);
    EXPECT_EQ(psu_output(5), 4);
    EXPECT_EQ(iic_power_identify(), 3);  // per-chain outputs
    EXPECT_EQ(g_miner->psu_kind, 1);
    EXPECT_EQ(psu_output(1), 2);
    g_kmx_obj->flags |= KMX_OBJ_I2C_PSU;
    EXPECT_TRUE(set_power_on_i2c(1, 1));
    EXPECT_TRUE(set_vol_on_i2c(1, 1250));
    EXPECT_EQ(get_vol_on_i2c(1), 1250);
    EXPECT_EQ(get_vol_on_i2c(2), 0);  // chain 2's output is off
    const float w = read_iic_power(1);
    EXPECT_EQ(read_iic_power(2), 0.0f);  // no current: 0 W, no division
    g_kmx_obj->flags &= uint8_t(~KMX_OBJ_I2C_PSU);
    EXPECT_FLOAT_EQ(w, 1000.0f * 1250 / 10000);
    const std::string log = log_since_last();
    EXPECT_TRUE(has(log, "iic power ID: 3")) << log;
    EXPECT_TRUE(has(log, "chain1: iic power current: 1000")) << log;
    EXPECT_TRUE(has(log, "chain1: iic power:  125.0W")) << log;
    set_power_on_i2c(1, 0);
}

// ---- platform ------------------------------------------------------------------------

TEST_F(Board, PlatformObjectFromTheBoardType) {
    EXPECT_EQ(ctrl_board_type_index(0xF), 0);
    EXPECT_EQ(ctrl_board_type_index(7), 3);
    EXPECT_EQ(ctrl_board_type_index(0), -1);
    EXPECT_EQ(g_kmx_obj->vid_type, 5u);
    EXPECT_EQ(g_kmx_obj->set_vid, &set_vid_uart);
    EXPECT_EQ(g_kmx_obj->vid_map, g_vid_map_table[5]);
    EXPECT_EQ(g_kmx_obj->cmd_config_core, &hub_cmd_write_reg05);
}

TEST_F(Board, VidByStepWalksTowardsTheTarget) {
    kmx_set_vid_by_step(1, 10, 10);
    std::string log = log_since_last();
    EXPECT_FALSE(has(log, "set vid to")) << log;
    kmx_set_vid_by_step(1, 10, 12);
    log = log_since_last();
    EXPECT_TRUE(has(log, "chain1: set vid to 11\n") && has(log, "chain1: set vid to 12\n")) << log;
    EXPECT_FALSE(has(log, "set vid to 10")) << log;
    EXPECT_LT(log.find("to 11"), log.find("to 12"));
    kmx_set_vid_by_step(1, 12, 10);
    log = log_since_last();
    EXPECT_LT(log.find("to 11"), log.find("to 10")) << log;
    EXPECT_FALSE(has(log, "set vid to 12")) << log;
}

TEST_F(Board, UnmappedWindowsRefuseAccess) {
    hub_hardware_release();
    EXPECT_FALSE(hub_spi_mapped());
    Xil_Peripheral_Out32(36, 0xFFFFFFFFu);  // dropped
    EXPECT_EQ(Xil_SPI_In32(BC_SPI_CFG + 512), 0u);
    uint8_t out[4];
    EXPECT_FALSE(kmx_cmd_resetall(1, out));
    hub_hardware_init();
    EXPECT_TRUE(hub_spi_mapped());
    EXPECT_NE(Xil_Peripheral_In32(36), 0xFFFFFFFFu);
    init_detected_chains(g_miner->chain_list, g_miner->chain_num);
    EXPECT_EQ(Xil_SPI_In32(BC_SPI_CFG + 512) >> 24, 170u);
}

TEST_F(Board, VidOutsideTheMapSendsNothing) {
    EXPECT_TRUE(set_vid_uart(1, 10));
    EXPECT_TRUE(set_vid_uart(1, 40));
    EXPECT_FALSE(i2c_set_vid(1, -1));
    const std::string log = log_since_last();
    EXPECT_TRUE(has(log, "[ERROR]:chain1: vid 40 out of range")) << log;
    EXPECT_FALSE(has(log, "failled")) << log;
}

TEST_F(Board, ChainList) {
    ASSERT_EQ(g_miner->chain_num, 4);  // slots 1 to 4
    EXPECT_EQ(chain_list_next(2), 3);
    EXPECT_EQ(chain_list_next(4), 0);
    EXPECT_EQ(chain_list_next(6), 0);
    EXPECT_EQ(chain_list_remove(2), 3);
    EXPECT_EQ(g_miner->chain_num, 3);
    EXPECT_EQ(chain_list_next(1), 3);
    EXPECT_EQ(chain_list_remove(4), 0);
    EXPECT_EQ(chain_list_remove(7), 0);
    EXPECT_EQ(g_miner->chain_num, 2);
    chain_list_rebuild();
    EXPECT_EQ(g_miner->chain_num, 4);
    EXPECT_EQ(std::vector<int>(g_miner->chain_list, g_miner->chain_list + 4), (std::vector<int>{1, 2, 3, 4}));
}

TEST_F(Board, EmptySlotOnlyLogs) {
    auto saved = g_kmx_obj->set_vid;
    auto saved_plug = g_kmx_obj->get_plug;
    g_kmx_obj->set_vid = nullptr;
    g_kmx_obj->get_plug = nullptr;
    EXPECT_FALSE(kmx_set_vid(1, 3));
    EXPECT_EQ(kmx_get_plug(1), -1);
    g_kmx_obj->set_vid = saved;
    g_kmx_obj->get_plug = saved_plug;
    const std::string log = log_since_last();
    EXPECT_TRUE(has(log, "local0.err [ERROR]:kmx_set_vid not register !")) << log;
    EXPECT_TRUE(has(log, "[ERROR]:kmx_get_plug not register !")) << log;
}

// ---- chain module -------------------------------------------------------------------------

TEST_F(Board, TemperatureStatistics) {
    bc_chain *c = bc_chain_rec(2);
    const int saved = c->chip_num;
    c->chip_num = 4;
    bc_stat s;
    const float t[4] = {40.0f, 41.5f, 200.0f, 39.0f};
    kmx_stat_chain_temp(t, &s, 2);
    EXPECT_FLOAT_EQ(s.highest, 41.5f);
    EXPECT_FLOAT_EQ(s.lowest, 39.0f);
    EXPECT_NEAR(s.average, 40.1667f, 1e-3);
    const float half[4] = {40.0f, 200.0f, 200.0f, 39.0f};
    kmx_stat_chain_temp(half, &s, 2);
    EXPECT_EQ(s.highest, 9999.0f);
    EXPECT_EQ(s.average, 9999.0f);
    c->chip_num = saved;
}

TEST_F(Board, FanDutyIsHalfUntilTheChipsAreSetUp) {
    const uint8_t init = g_miner->chip_regs_init;
    bc_chain *first = bc_chain_rec(g_miner->chain_list[0]);
    g_miner->chip_regs_init = 0;
    kmx_fan_speed_set(0, 30);
    EXPECT_EQ(Xil_Peripheral_In32(68), 50u * 200);
    EXPECT_EQ(Xil_Peripheral_In32(64), 20000u);
    g_miner->chip_regs_init = 1;
    first->feat.feature[4] = 1;
    kmx_fan_speed_set(0, 30);
    EXPECT_EQ(Xil_Peripheral_In32(68), 70u * 200);
    first->feat.feature[4] = 0;
    kmx_fan_speed_set(0, 130);
    EXPECT_EQ(Xil_Peripheral_In32(68), 100u * 200);
    EXPECT_TRUE(has(log_since_last(), "[ERROR]:error:fan duty:130,so force fan duty to 100"));
    g_miner->chip_regs_init = init;
}

TEST_F(Board, SensorSwitchTouchesTheChipsOncePerSetting) {
    g_test_log_level = 1;
    g_test_log_mask = TL_PLAIN | TL_MINER;
    EXPECT_TRUE(config_tv_sensor(1, 0, 1));
    EXPECT_TRUE(config_tv_sensor(1, 0, 1));
    EXPECT_TRUE(config_tv_sensor(3, 0, 1));
    const std::string log = log_since_last();
    EXPECT_EQ(count(log, "[MINER]:Start to config sensor to 1 !"), 2u) << log;
    EXPECT_EQ(count(log, "[MINER]:Ignore config sensor!"), 1u) << log;
    // A chain that never answers: the switch fails and is tried again.
    EXPECT_FALSE(config_tv_sensor(4, 0, 0));
    EXPECT_FALSE(config_tv_sensor(4, 0, 0));
    EXPECT_EQ(count(log_since_last(), "Start to config sensor to 0 !"), 2u);
}

TEST_F(Board, SensorSelectUsesTheChipsOneEncoding) {
    uint8_t img[12];
    // Voltage: byte 5 bits 1..0 = 1 and byte 6 bit 1 set.
    ASSERT_TRUE(config_tv_sensor(1, 0, 1));
    ASSERT_TRUE(kmx_cmd_read_register(1, 2, img, 12));
    EXPECT_EQ(img[5] & 3, 1);
    EXPECT_EQ(img[6] & 0x06, 0x06);
    EXPECT_EQ(img[7] & 0xA0, 0xA0);
    // Temperature: 0 and clear.
    ASSERT_TRUE(config_tv_sensor(1, 0, 0));
    ASSERT_TRUE(kmx_cmd_read_register(1, 2, img, 12));
    EXPECT_EQ(img[5] & 3, 0);
    EXPECT_EQ(img[6] & 0x06, 0x04);
    // A reset line drop makes the chips forget: the same setting is written
    // again.
    kmx_set_reset(1, 1);
    g_test_log_level = 1;
    g_test_log_mask = TL_PLAIN | TL_MINER;
    log_since_last();
    EXPECT_TRUE(config_tv_sensor(1, 0, 0));
    EXPECT_EQ(count(log_since_last(), "Start to config sensor to 0 !"), 1u);
    kmx_set_power_en(1, 1);
    EXPECT_TRUE(config_tv_sensor(1, 0, 0));
    EXPECT_EQ(count(log_since_last(), "Start to config sensor to 0 !"), 1u);
}

TEST_F(Board, PowerOnStopsWithoutABoard) {
    EXPECT_EQ(zynq_chain_power_on(0, 0, TEST_MODE_PRE_FIN), 0);
    EXPECT_TRUE(has(log_since_last(), "chain 0 >>> the board not inserted !!! "));
    EXPECT_EQ((Xil_Peripheral_In32(32) >> 18) & 1, 0u);
    EXPECT_EQ(zynq_chain_power_on(1, 0, TEST_MODE_PRE_FIN), 1);
    const uint32_t lines = Xil_Peripheral_In32(32);
    EXPECT_EQ((lines >> (18 + 1)) & 1, 1u);  // power
    EXPECT_EQ((lines >> (9 + 1)) & 1, 1u);   // reset released
    EXPECT_EQ((lines >> 1) & 1, 1u);         // start
    kmx_chain_power_down(1);
    EXPECT_EQ(Xil_Peripheral_In32(32) & (1u << 19 | 1u << 10 | 1u << 1), 0u);
}

// ---- report ---------------------------------------------------------------------------------

std::string result_file() {
    std::string text;
    kos::read_file("/tmp/mtest", text);
    return text;
}

TEST_F(Board, FailedStepAndBadRepliesAreNeverAPass) {
    bc_chain saved = *bc_chain_rec(2);
    bc_chain *c = bc_chain_rec(2);
    *c = bc_chain{};
    c->chip_num = 4;
    unlink("/tmp/mtest");
    // A step failed and named no reason: its commands are what failed.
    c->failed_state = 23;
    print_chain_report(2, TEST_MODE_PRE_FIN);
    EXPECT_EQ(result_file(), "{\n    \"3\": \"E10: 0\"\n}");
    const std::string log = log_since_last();
    EXPECT_TRUE(has(log, "State 23 failed")) << log;
    // A lenient flag of the failed step decides as the flag does: a scan
    // passes a chip soft-BIST failure.
    c->chip_softbist_failed = 1;
    print_chain_report(2, TEST_MODE_SCAN);
    EXPECT_EQ(result_file(), "{\n    \"3\": \"Pass\"\n}");
    // The CRC mark names its chip, ahead of the voltage, lock, command and
    // temperature flags the lost replies set; the chip count outranks it.
    c->crc_error = 1;
    c->crc_error_chip = 3;
    c->volt_out_of_range = c->pll_unlocked = c->cmd_return_failed = c->temp_out_of_range = 1;
    c->failing_chip = 2;
    print_chain_report(2, TEST_MODE_PRE_FIN);
    EXPECT_EQ(result_file(), "{\n    \"3\": \"E12: 3\"\n}");
    c->chip_num_wrong = 1;
    print_chain_report(2, TEST_MODE_PRE_FIN);
    EXPECT_EQ(result_file(), "{\n    \"3\": \"E9: 2\"\n}");
    *c = saved;
}

TEST_F(Board, LowCoresFailOnlyThePreFinTest) {
    bc_chain saved = *bc_chain_rec(2);
    bc_chain *c = bc_chain_rec(2);
    c->chip_num = 4;
    c->feat.cores_per_chip = 100;
    for (int i = 0; i < 4; i++) c->chips[i].good_cores = 100;
    // The count judged chip 3 on 29 cores; a later read found 29 on chip 4.
    c->chips[2].cores_low = 1;
    c->chips[2].judged_cores = 29;
    c->chips[3].good_cores = 29;
    c->chip_cores_low = 1;
    unlink("/tmp/mtest");
    print_chain_report(2, TEST_MODE_PRE_FIN);
    EXPECT_EQ(result_file(), "{\n    \"3\": \"E1:   3 \"\n}");
    std::string log = log_since_last();
    EXPECT_TRUE(has(log, "[ERROR]:Chip   3 Core error (  29)")) << log;
    print_chain_report(2, TEST_MODE_SCAN);
    EXPECT_EQ(result_file(), "{\n    \"3\": \"Pass\"\n}");
    print_chain_report(2, TEST_MODE_GRADING);  // a pass in grading writes nothing
    EXPECT_EQ(result_file(), "{\n    \"3\": \"Pass\"\n}");
    log = log_since_last();
    EXPECT_TRUE(has(log, "gold_freq=")) << log;
    EXPECT_EQ(count(log, "Error ID description"), 0u) << log;  // printed once per run
    // The chip count outranks the temperature.
    c->chip_num_wrong = 1;
    c->temp_out_of_range = 1;
    c->failing_chip = 7;
    print_chain_report(2, TEST_MODE_PRE_FIN);
    EXPECT_EQ(result_file(), "{\n    \"3\": \"E9: 7\"\n}");
    *c = saved;
}

TEST_F(Board, VoltageListAndFlagUseTheirOwnLimits) {
    bc_chain saved = *bc_chain_rec(2);
    bc_chain *c = bc_chain_rec(2);
    c->chip_num = 4;
    c->feat.min_chip_volt = 0.3f;
    c->chips[0].volt = 0.5f;
    c->chips[1].volt = 0.85f;  // listed, but within the flag's limit
    c->chips[2].volt = 0.2f;
    for (int i = 0; i < 3; i++) c->chips[i].volt_read = 1;
    // Chip 4 was never read: it holds the machine type's default.
    c->chips[3].volt = 123.0f;
    c->chips[3].volt_read = 0;
    c->volt_out_of_range = 1;
    print_chain_report(2, TEST_MODE_PRE_FIN);
    EXPECT_TRUE(has(result_file(), "\"3\": \"E6:   2   3 \"")) << result_file();
    const std::string log = log_since_last();
    EXPECT_TRUE(has(log, "Chip   3 Volt error (0.200)")) << log;
    EXPECT_FALSE(has(log, "Chip   2 Volt error")) << log;
    EXPECT_FALSE(has(log, "Chip   4 Volt error")) << log;
    *c = saved;
}

// ---- state machine ----------------------------------------------------------------------------

std::vector<int> run(int chain, int *machine_type) {
    *machine_type = MACHINE_TYPE_UNKNOWN;
    run_chain_test(chain, machine_type, TEST_MODE_PRE_FIN);
    const int *s;
    const int n = fsm_trace(&s);
    return std::vector<int>(s, s + n);
}

TEST_F(Board, UsualRunVisitsEveryStateInOrder) {
    int mt;
    EXPECT_EQ(run(1, &mt), (std::vector<int>{0, 1, 7, 4, 5, 9, 11, 14, 15, 29, 20, 23, 5, 26, 20, 25, 28, 30, 20, 31, 33, 34}));
    EXPECT_EQ(mt, 0);
    EXPECT_EQ(bc_chain_rec(1)->chip_num, 68);
    EXPECT_EQ(g_miner->chip_regs_init, 1);
    EXPECT_EQ((Xil_Peripheral_In32(32) >> 19) & 1, 0u);  // powered down at the end
}

TEST_F(Board, ParallelBoardPreparesTheDag) {
    int mt;
    const std::vector<int> s = run(3, &mt);
    EXPECT_EQ(mt, MACHINE_TYPE_PARALLEL);
    ASSERT_GE(s.size(), 16u) << ::testing::PrintToString(s) << log_since_last();
    EXPECT_EQ(std::vector<int>(s.begin() + 16, s.end()), (std::vector<int>{28, 27, 30, 20, 31, 33, 34}));
    const std::string log = log_since_last();
    EXPECT_TRUE(has(log, "chain3: enable BISTMASK")) << log;
    // The memory was brought up, the chips checked and the soft BIST run
    // over every chip, 400 rounds of one job.
    EXPECT_TRUE(has(log, "chain3: Waiting for ddr init done")) << log;
    EXPECT_TRUE(has(log, "chain3: check t v")) << log;
    EXPECT_TRUE(has(log, "chain3: V Max: 0.725\tMin: 0.725\tAVG: 0.725\tDELTA: 0mv")) << log;
    EXPECT_TRUE(has(log, "chain3: do job bist")) << log;
    EXPECT_TRUE(has(log, "job_id:1 job_num:400")) << log;
    for (int chip = 1; chip <= 8; chip++) {
        char line[48];
        snprintf(line, sizeof line, "Chip %02d:    -\t  0.0", chip);
        EXPECT_TRUE(has(log, line)) << log;
    }
    EXPECT_EQ(bc_chain_rec(3)->chip_softbist_failed, 0);
    for (int chip = 1; chip <= 8; chip++) EXPECT_TRUE(bc_chip_marked(3, chip)) << chip;
}

TEST_F(Board, UnknownChipTypeGoesStraightToPowerOff) {
    int mt;
    EXPECT_EQ(run(4, &mt), (std::vector<int>{0, 1, 7, 4, 5, 9, 31, 33, 34}));
    bc_chain *c = bc_chain_rec(4);
    EXPECT_EQ(c->chip_type_not_found, 1);
    EXPECT_EQ(c->failed_state, 9);  // the run's first failed state is kept
    EXPECT_EQ(c->chip_num, 170);
    EXPECT_EQ((Xil_Peripheral_In32(36) >> 4) & 1, 1u);  // chain LED set by the failure handler
}

// ---- frequency and voltage choice ----------------------------------------------------

class Freq : public Board {
protected:
    void SetUp() override {
        Board::SetUp();
        saved_ = g_bc_opts;
        freq_choice_reset();
    }
    void TearDown() override { g_bc_opts = saved_; }
    // Chain 1 as the test brings it up: powered, chips counted and
    // numbered, registers at their start image (120 MHz).
    static void bring_up() {
        int mt = MACHINE_TYPE_UNKNOWN;
        ASSERT_EQ(power_on_and_detect(1, mt, TEST_MODE_PRE_FIN), 1);
        ASSERT_EQ(bist_and_get_chipnum(1, &mt, TEST_MODE_PRE_FIN), 1);
        ASSERT_EQ(mt, 0);
        ASSERT_EQ(init_chip_registers(1, 0, mt), 1);
    }
    static void fixed(int freq, int vid) {
        g_bc_opts.fixed = true;
        g_bc_opts.fixed_freq = freq;
        g_bc_opts.fixed_vid = vid;
    }
    bc_options saved_;
};

TEST_F(Freq, FixedPairInRangeIsTakenAndItsTargetIsTheRowBelow) {
    fixed(850, 28);
    EXPECT_EQ(input_parameters(1, TEST_MODE_PRE_FIN, 0), 1);
    EXPECT_EQ(g_miner->work_freq, 850);
    EXPECT_EQ(g_miner->work_vid, 28);
    EXPECT_EQ(g_miner->target_freq, 846);  // rows step 6 MHz from 600
    const std::string log = log_since_last();
    EXPECT_TRUE(has(log, "local0.info working PLL frequency: 850MHz\n")) << log;
    EXPECT_TRUE(has(log, "local0.info Working VID :28\n")) << log;
    EXPECT_TRUE(has(log, "input working PLL frequency MHz(Rang 120 ~ 1400  default 200):")) << log;
    EXPECT_TRUE(has(log, "input Working VID value(Rang 0 ~ 31  default 25):")) << log;
}

TEST_F(Freq, FixedPairOutOfRangeWarnsAndTakesTheModeDefaults) {
    for (auto [f, v] : {std::pair{1401, 32}, std::pair{119, -1}}) {
        fixed(f, v);
        input_parameters(1, TEST_MODE_PRE_FIN, 0);
        EXPECT_EQ(g_miner->work_freq, 900);
        EXPECT_EQ(g_miner->work_vid, 25);
        const std::string log = log_since_last();
        EXPECT_TRUE(has(log, "local0.warning [WARNING]:Invalid frequency : " + std::to_string(f) +
                                 "MHz Use default: 900MHz\n")) << log;
        EXPECT_TRUE(has(log, "local0.warning [WARNING]:Invalid VID: " + std::to_string(v) + "! Use default: 25\n"))
            << log;
    }
    fixed(1400, 31);  // both limits are inside the range
    input_parameters(1, TEST_MODE_PRE_FIN, 0);
    EXPECT_EQ(g_miner->work_freq, 1400);
    EXPECT_EQ(g_miner->work_vid, 31);
    fixed(120, 0);
    input_parameters(1, TEST_MODE_PRE_FIN, 0);
    EXPECT_EQ(g_miner->work_freq, 120);
    EXPECT_EQ(g_miner->work_vid, 0);
}

TEST_F(Freq, DefaultsByModeAndMachineType) {
    g_bc_opts.fixed = false;
    input_parameters(1, TEST_MODE_PRE_FIN, 0);
    EXPECT_EQ(g_miner->work_freq, 900);
    EXPECT_EQ(g_miner->work_vid, 25);
    input_parameters(1, TEST_MODE_GRADING, 0);
    EXPECT_EQ(g_miner->work_freq, 1332);
    EXPECT_EQ(g_miner->work_vid, 8);
    input_parameters(1, TEST_MODE_PRE_FIN, MACHINE_TYPE_PARALLEL);
    EXPECT_EQ(g_miner->work_freq, 480);
    EXPECT_EQ(g_miner->work_vid, 18);
}

TEST_F(Freq, ScanPromptsTakeDefaultsAndEndAtTheEndOfInput) {
    typed("\n\n\n");
    input_parameters(1, TEST_MODE_SCAN, 0);
    EXPECT_EQ(g_miner->work_freq, 900);
    EXPECT_EQ(g_miner->end_freq, 1332);
    EXPECT_EQ(g_miner->freq_step, 6);
    EXPECT_EQ(g_miner->work_vid, 156);
    typed("50\n1000\n1400\n");
    input_parameters(1, TEST_MODE_SCAN, 0);
    EXPECT_EQ(g_miner->work_freq, 1000);
    EXPECT_EQ(g_miner->end_freq, 1400);
    EXPECT_TRUE(has(log_since_last(), "Invalid frequency : 50MHz")) ;
    // Machine type 5 tops out at 1200 MHz: the end default 1332 is out of
    // range, and at the end of the input the range's maximum is taken.
    typed("");
    input_parameters(1, TEST_MODE_SCAN, 5);
    EXPECT_EQ(g_miner->end_freq, 1200);
    EXPECT_EQ(g_miner->freq_step, 6);
}

TEST_F(Freq, TargetIsTheTableRowAtOrBelow) {
    EXPECT_EQ(pll_target_for(0, 900), 900);
    EXPECT_EQ(pll_target_for(0, 121), 120);
    EXPECT_EQ(pll_target_for(0, 2100), 2004);
    EXPECT_EQ(pll_target_for(0, 50), 120);  // below the first row: the first row
    EXPECT_EQ(pll_target_for(0, 605), 600);
}

TEST_F(Freq, VidPoints) {
    EXPECT_EQ(vid_point_count(0, TEST_MODE_PRE_FIN), 1);
    EXPECT_EQ(vid_point(0, TEST_MODE_PRE_FIN, 0), 161);
    EXPECT_EQ(vid_point_count(12, TEST_MODE_GRADING), 4);
    EXPECT_EQ(vid_point(19, TEST_MODE_GRADING, 3), 23);
    EXPECT_EQ(vid_point(30, TEST_MODE_GRADING, 0), 15);
    EXPECT_EQ(vid_point_count(MACHINE_TYPE_PARALLEL, TEST_MODE_GRADING), 1);
    // No VID row: one point all the same, never a scan done before it ran.
    EXPECT_EQ(vid_point_count(0, TEST_MODE_GRADING), 1);
}

TEST_F(Freq, PllRampReachesTheChipsInStepsOfThreeRows) {
    bring_up();
    EXPECT_EQ(chain_current_freq(1, 0), 120);
    g_test_log_level = 2;
    EXPECT_EQ(set_chain_pll(1, 0, 0, 120, 900), 1);
    g_test_log_level = 3;
    EXPECT_EQ(chain_current_freq(1, 0), 900);
    bc_chain *c = bc_chain_rec(1);
    EXPECT_EQ(c->spi_speed, 3);
    const std::string log = log_since_last();
    EXPECT_TRUE(has(log, "local0.info chain1: set pll  900.00\n")) << log;
    // 240 rows from 120 to 900 MHz: 80 writes, the first three rows up.
    EXPECT_EQ(count(log, "cmd09 chip  0 main pll"), 80u) << log;
    EXPECT_TRUE(has(log, "cmd09 chip  0 main pll   124.5 MHz,  1 times")) << log;
    EXPECT_TRUE(has(log, "cmd09 chip  0 main pll   900.0 MHz,  1 times")) << log;
    EXPECT_FALSE(has(log, "main pll   901")) << log;
    // Back down below the table: straight to the first row.
    EXPECT_EQ(set_chain_pll(1, 0, 0, 900, 50), 1);
    EXPECT_EQ(chain_current_freq(1, 0), 120);
    EXPECT_EQ(c->spi_speed, 0);
}

TEST_F(Freq, PllWithCurrentEqualToTargetSendsNothing) {
    bring_up();
    EXPECT_EQ(set_chain_pll(1, 0, 0, 600, 600), 1);
    EXPECT_EQ(chain_current_freq(1, 0), 120);
    bc_chain *c = bc_chain_rec(1);
    c->img09_set = 0;
    EXPECT_EQ(set_chain_pll(1, 0, 0, 120, 900), 0);
    EXPECT_EQ(chain_current_freq(1, 0), 120);
    EXPECT_TRUE(has(log_since_last(),
                    "local0.err [ERROR]:FATAL ERROR: Please init cmd09 default value before cfg pll !!!\n"));
    c->img09_set = 1;
}

TEST_F(Freq, ModeOnePointSetsTheWorkingVidAndAsksForTheChecks) {
    bring_up();
    fixed(900, 30);
    input_parameters(1, TEST_MODE_PRE_FIN, 0);
    log_since_last();
    EXPECT_EQ(get_freq_and_vid(1, 0, 0, TEST_MODE_PRE_FIN), 1);
    bc_chain *c = bc_chain_rec(1);
    EXPECT_EQ(c->scan_done, 0);
    EXPECT_EQ(c->cur_freq, 120);
    EXPECT_EQ(c->target_freq, 900);
    EXPECT_EQ(c->working_vid, 30);
    EXPECT_EQ(c->start_vid, 8);  // 900 MHz is no low-frequency point: the grading default
    EXPECT_TRUE(has(log_since_last(), "chain1: set vid to 30\n"));
    // The one point is done on the next call.
    get_freq_and_vid(1, 0, 0, TEST_MODE_PRE_FIN);
    EXPECT_EQ(c->scan_done, 1);
}

TEST_F(Freq, GradingKeepsTheBestPoint) {
    bc_chain *c = bc_chain_rec(1);
    // Each call measures the point before it; the fifth ends the four points.
    const float rates[] = {0.0f, 5.0f, 3.0f, 9.0f, 10.0f};
    for (float r : rates) {
        c->board_err_rate = r;
        get_freq_and_vid(1, 1, 5, TEST_MODE_GRADING);
    }
    EXPECT_FLOAT_EQ(c->best_err_rate, 3.0f);
    EXPECT_EQ(c->gold_vid, 12);  // the second point of machine type 5
    EXPECT_EQ(c->grade, 0);
    EXPECT_EQ(c->scan_done, 1);
    for (auto [r, g] : {std::pair{4.0f, 1}, std::pair{8.0f, 2}, std::pair{12.0f, 3}, std::pair{3.9f, 0}}) {
        freq_choice_reset();
        for (float x : {0.0f, r}) {
            c->board_err_rate = x;
            get_freq_and_vid(1, 1, 5, TEST_MODE_GRADING);
        }
        EXPECT_EQ(c->grade, g) << r;
    }
}

TEST_F(Freq, GradePointsChooseBeforeTheFirstClearRise) {
    bc_chain *c = bc_chain_rec(2);
    const float r1[] = {5.0f, 3.0f, 9.0f};
    for (int i = 0; i < 3; i++) record_grade_point(2, 3, i, r1[i], 600.0f + 100 * i, 10 + i);
    EXPECT_FLOAT_EQ(c->best_err_rate, 3.0f);
    EXPECT_FLOAT_EQ(c->gold_freq, 700.0f);
    EXPECT_EQ(c->gold_vid, 11);
    EXPECT_EQ(c->grade, 1);
    // Within 2.0 of the lowest the later points still count as good.
    const float r2[] = {3.0f, 4.9f, 5.0f, 8.0f};
    for (int i = 0; i < 4; i++) record_grade_point(2, 4, i, r2[i], 600.0f + 100 * i, 10 + i);
    EXPECT_FLOAT_EQ(c->gold_freq, 700.0f);
    EXPECT_EQ(c->grade, 2);
    const float r3[] = {3.0f, 4.9f, 4.0f};
    for (int i = 0; i < 3; i++) record_grade_point(2, 3, i, r3[i], 600.0f + 100 * i, 10 + i);
    EXPECT_FLOAT_EQ(c->gold_freq, 800.0f);  // no clear rise: the last point
    EXPECT_EQ(c->grade, 0);
}

TEST_F(Freq, GradingReportShowsTheGoldPoint) {
    bc_chain saved = *bc_chain_rec(2);
    bc_chain *c = bc_chain_rec(2);
    c->feat.board_err_limit = 10;
    const float r[] = {5.0f, 3.0f, 9.0f};
    for (int i = 0; i < 3; i++) record_grade_point(2, 3, i, r[i], 600.0f + 100 * i, 10 + i);
    c->board_err_rate = 9.0f;  // the last point's rate is not the grade's
    c->cur_freq = 800;
    print_chain_report(2, TEST_MODE_GRADING);
    std::string log = log_since_last();
    EXPECT_TRUE(has(log, "gold_freq=700.00   gold_vid=11   err_rate=  3.000%   \n")) << log;
    EXPECT_EQ(count(log, "local0.info  ****  \n"), 3u) << log;  // the letter B
    // A best point above the board limit finds no frequency (E11).
    const float bad[] = {12.0f, 11.0f};
    for (int i = 0; i < 2; i++) record_grade_point(2, 2, i, bad[i], 600.0f, 10);
    print_chain_report(2, TEST_MODE_GRADING);
    log = log_since_last();
    EXPECT_TRUE(has(log, "Min job err rate is  11.000")) << log;
    EXPECT_TRUE(has(log, "Test Failed!")) << log;
    *c = saved;
}

// ---- debug menu ---------------------------------------------------------------------

TEST_F(Board, DebugMenuMapsChoicesToCommands) {
    typed("12\nN\n4\nN\n");
    EXPECT_EQ(debug_menu(DEBUG_NONE), DEBUG_CMD04);
    std::string log = log_since_last();
    EXPECT_EQ(count(log, "====================START DEBUG MODE"), 2u) << log;
    EXPECT_TRUE(has(log, "local0.info \\n\rDebug command Error!!!\n")) << log;
    const std::pair<const char *, int> cases[] = {
        {"1\nN\n", DEBUG_START}, {"2\nn\n", DEBUG_RESET},      {"3\nN\n", DEBUG_ENCORE},
        {"5\nN\n", DEBUG_CMD01}, {"6\nN\n", DEBUG_CMD0A},      {"9\nN\n", DEBUG_IIC_VOLTAGE},
        {"\n\n", DEBUG_WATCHDOG}, {"7\nN\n", DEBUG_CMD0A},     {"8\nN\n", DEBUG_CMD0A},
        {"1\ny\n5\nN\n", DEBUG_CMD01}, {"1\nY\n10\nN\n", DEBUG_WATCHDOG},
    };
    for (auto [input, code] : cases) {
        typed(input);
        EXPECT_EQ(debug_menu(DEBUG_CMD0A), code) << input;
    }
    typed("12\nN\n");  // nothing left to answer the menu again
    EXPECT_EQ(debug_menu(DEBUG_CMD0A), DEBUG_NONE);
}

TEST_F(Board, DebugVoltageIsBoundedAndChainIdsAskedAgain) {
    g_miner->psu_kind = 1;
    set_power_on_i2c(2, 1);
    EXPECT_TRUE(set_volt_hook(2, 2000));
    EXPECT_EQ(get_vol_on_i2c(2), 1400);
    EXPECT_TRUE(set_volt_hook(2, 1900));
    EXPECT_EQ(get_vol_on_i2c(2), 1900);
    EXPECT_EQ(iic_volt_read(2), 0);  // the supply is not on I2C in this build
    set_power_on_i2c(2, 0);
    // Chain 8 and 200 are asked again; the button is pressed, so the
    // watchdog routine sets the supply and ends at the key.
    typed("8\n200\n2\n90\n\n");
    debug_watchdog();
    const std::string log = log_since_last();
    EXPECT_EQ(count(log, "Enter chain_id............."), 3u) << log;
    EXPECT_TRUE(has(log, "chain_id = 2  ,  Dogtime = 90 S\n")) << log;
}

TEST_F(Board, DebugCommandsRunUntilTheButton) {
    const uint32_t in = Xil_Peripheral_In32(40);
    Xil_Peripheral_Out32(40, in & ~(1u << 16));  // IPset pressed
    typed("1\n300\n");
    debug_cmd0a();
    std::string log = log_since_last();
    EXPECT_TRUE(has(log, "chain_id = 1  ,  Chip_ID = 300\n")) << log;
    EXPECT_TRUE(has(log, "******************Chip_id Error!!!*********************\n")) << log;
    EXPECT_TRUE(has(log, "Exit Debug Cmd0A Mode \n")) << log;
    EXPECT_EQ((Xil_Peripheral_In32(32) >> 19) & 1, 1u);  // chain 1 powered on
    Xil_Peripheral_Out32(40, in);
}

// ---- SoC hub ------------------------------------------------------------------------

TEST_F(Board, SocHubFlagDrivesTheSocPads) {
    const kmx_obj_t saved = *g_kmx_obj;
    g_kmx_obj->flags |= KMX_OBJ_SOC_HUB;
    init_hub_gpio();
    fill_hub_slots(*g_kmx_obj);
    kmx_set_power_en(1, 1);
    EXPECT_EQ(sim::soc_pad_output(169), 1);
    kmx_set_power_en(1, 0);
    EXPECT_EQ(sim::soc_pad_output(169), 0);
    kmx_set_reset(6, 1);
    EXPECT_EQ(sim::soc_pad_output(157), 1);
    kmx_set_start_en(3, 1);
    EXPECT_EQ(sim::soc_pad_output(72), 1);
    kmx_set_led(6, 1);
    EXPECT_EQ(sim::soc_pad_output(156), 1);
    kmx_set_led(6, 2);  // no such value: unchanged
    EXPECT_EQ(sim::soc_pad_output(156), 1);
    kmx_set_green_led(1);
    EXPECT_EQ(sim::soc_pad_output(131), 0);  // lit low
    kmx_set_red_led(0);
    EXPECT_EQ(sim::soc_pad_output(84), 1);
    sim::soc_pad_set_external(69, 0);
    EXPECT_EQ(kmx_get_button(), 0);
    sim::soc_pad_set_external(69, 1);
    EXPECT_EQ(kmx_get_button(), 1);
    sim::soc_pad_set_external(43, 0);
    EXPECT_EQ(kmx_get_plug(1), 0);
    sim::soc_pad_set_external(43, 1);
    EXPECT_EQ(kmx_get_plug(1), 1);
    // The checked wrappers refuse what the pad block cannot take.
    EXPECT_EQ(gpio_read(171), -1);
    EXPECT_EQ(gpio_write(170, 2, 0), -1);
    EXPECT_EQ(sim::soc_pad_output(170), 0);
    EXPECT_TRUE(has(log_since_last(), "sarn_gpio_read failled: not support gpio_id:171"));
    // The VID goes out on the chain's own regulator line, set to 9600 8N1.
    send_uart(2, 10);
    std::string uart;
    kos::read_file((kos::sim_dir() + "/uart.log").c_str(), uart);
    EXPECT_TRUE(has(uart, "/dev/ttySARN2 AA 02 01 50 AD\n")) << uart;
    *g_kmx_obj = saved;
    bc_soc_gpio_release();
    EXPECT_EQ(gpio_read(3), -1);  // unmapped: refused, logged
    EXPECT_TRUE(has(log_since_last(), "sarn_gpio_read failled\n"));
}

}  // namespace
