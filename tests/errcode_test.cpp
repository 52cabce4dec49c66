#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "misc/kmx_errcode.h"
#include "os/os.h"
#include "platform/kmx_platform.h"

namespace {

std::string read(const char *path) {
    std::string s;
    kos::read_file(path, s);
    return s;
}

int lines(const std::string &s) {
    int n = 0;
    for (char c : s) n += c == '\n';
    return n;
}

[[noreturn]] void keeps_first_code() {
            kmx_set_errcode(ERRCODE_SETVOL_FAIL, nullptr, false, 2, nullptr, 0);
            int chips[] = {5, 9};
            char x[] = "x";
            kmx_set_errcode(ERRCODE_OVERHEAT, x, false, 0, chips, 2);
            kmx_save_errcode();
            if (read("/tmp/errcode") != "26\nSETVOL_FAIL.chain(3).chip().msg()\n") exit(1);
            if (read("/tmp/errchain") !=
                "1/32/OVERHEAT.chain(1).chip(5 9).msg(x)\n3/26/SETVOL_FAIL.chain(3).chip().msg()\n"
                "4/0/\n2/0/\n")
                exit(2);
            kmx_set_errcode(ERRCODE_OVERHEAT, x, true, 0, chips, 2);
            kmx_save_errcode();
            if (read("/tmp/errcode") != "32\nOVERHEAT.chain(1).chip(5 9).msg(x)\n") exit(3);
            exit(0);
}

[[noreturn]] void whole_machine_code() {
            char m[] = "errno:5";
            kmx_set_errcode(ERRCODE_PSU_I2C_FAIL, m, true, 255, nullptr, 0);
            kmx_save_errcode();
            if (read("/tmp/errcode") != "22\nPSU_I2C_FAIL.chain(ff).chip().msg(errno:5)\n") exit(1);
            std::string chain = read("/tmp/errchain");
            if (chain.find("1/22/PSU_I2C_FAIL.chain(1).chip().msg(errno:5)\n") != 0) exit(2);
            if (chain.find("4/22/PSU_I2C_FAIL.chain(4).chip().msg(errno:5)\n") == std::string::npos) exit(3);
            exit(0);
}

[[noreturn]] void history_on_change() {
            kmx_set_errcode(ERRCODE_SETVOL_FAIL, nullptr, false, 2, nullptr, 0);
            kmx_set_errcode(ERRCODE_SETVOL_FAIL, nullptr, false, 2, nullptr, 0);
            std::string log = read("/tmp/errlog");
            if (lines(log) != 1) exit(1);
            if (log.find("/3/26/SETVOL_FAIL.chain(3).chip().msg()\n") == std::string::npos) exit(2);
            kmx_set_errcode(ERRCODE_BIST_FAIL, nullptr, false, 2, nullptr, 0);
            if (lines(read("/tmp/errlog")) != 2) exit(3);
            kmx_save_errcode_log(1, 9);  // refused: not a slot
            if (lines(read("/tmp/errlog")) != 2) exit(4);
            exit(0);
}

[[noreturn]] void clean_state() {
            kmx_save_errcode();
            if (read("/tmp/errcode") != "0\n\n") exit(1);
            std::string log = read("/tmp/errlog");
            if (lines(log) != 1 || log.find("/ff/0/\n") == std::string::npos) exit(2);
            exit(0);
}

// Error state is process-wide, so each scenario runs in a child process.
class ErrcodeTest : public testing::Test {
protected:
    void SetUp() override {
        remove("/tmp/errcode");
        remove("/tmp/errchain");
        remove("/tmp/errlog");
        g_chain_num = 3;
        g_chain_num_tar = 4;
        int ids[] = {0, 2, 3};
        for (int i = 0; i < 3; i++) g_chain_id[i] = ids[i];
        int plug[8] = {1, 0, 1, 1, 0, 0, 0, 0};
        for (int i = 0; i < 8; i++) g_chain_plug[i] = plug[i];
    }
};

TEST_F(ErrcodeTest, CodeTextsAndTrap) {
    EXPECT_STREQ(get_errstr(0), "SUCC");
    EXPECT_STREQ(get_errstr(21), "NOT_PLUGGED");
    EXPECT_STREQ(get_errstr(48), "ERRCODE_BAD_TEMP");
    EXPECT_STREQ(get_errstr(50), "ERRCODE_SPI_HUB");
    EXPECT_STREQ(get_errstr(178), "INV_TUNE_PARAM");
    EXPECT_STREQ(get_errstr(38), "TRAP");
    EXPECT_STREQ(get_errstr(-1), "TRAP");
}

TEST_F(ErrcodeTest, CurrentCodeKeepsFirstUnlessOverwritten) {
    EXPECT_EXIT(keeps_first_code(), testing::ExitedWithCode(0), "");
}

TEST_F(ErrcodeTest, WholeMachineCodeReachesEveryChainInUse) {
    EXPECT_EXIT(whole_machine_code(), testing::ExitedWithCode(0), "");
}

TEST_F(ErrcodeTest, HistoryAppendsOnlyOnChange) {
    EXPECT_EXIT(history_on_change(), testing::ExitedWithCode(0), "");
}

TEST_F(ErrcodeTest, CleanStateIsRecordedAsWholeMachine) {
    EXPECT_EXIT(clean_state(), testing::ExitedWithCode(0), "");
}

}  // namespace
