#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <atomic>
#include <string>
#include <thread>

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

[[noreturn]] void long_lines_deduplicated() {
    // A message near the longest and a 168-chip list: the previous line's
    // fields are still found, so a repeat is not appended again.
    std::string m(240, 'm');
    int chips[KMX_MAX_CHIP];
    for (int i = 0; i < KMX_MAX_CHIP; i++) chips[i] = i + 1;
    kmx_set_errcode(ERRCODE_BAD_CHIP, m.data(), false, 2, chips, KMX_MAX_CHIP);
    kmx_set_errcode(ERRCODE_BAD_CHIP, m.data(), false, 2, chips, KMX_MAX_CHIP);
    std::string log = read("/tmp/errlog");
    if (lines(log) != 1) exit(1);
    // Cut to 254 characters.
    size_t a = log.find("/3/31/"), b = log.find('\n');
    if (a == std::string::npos || b - (a + 6) != 254) exit(2);
    if (log.compare(a + 6, 28, "BAD_CHIP.chain(3).chip(1 2 3") != 0) exit(3);
    // A file whose only line is not ours: appended after it.
    if (!kos::write_file_atomic("/tmp/errlog", std::string(2000, 'x'))) exit(4);
    kmx_set_errcode(ERRCODE_BAD_CHIP, nullptr, false, 2, nullptr, 0);
    if (read("/tmp/errlog").find("/3/31/BAD_CHIP.chain(3).chip().msg()\n") == std::string::npos) exit(5);
    exit(0);
}

[[noreturn]] void no_chain_in_use() {
    g_chain_num = 0;
    g_chain_num_tar = 0;
    kmx_set_errcode(ERRCODE_NOT_PLUGGED, nullptr, false, 255, nullptr, 0);
    // The history records what was raised, not an empty slot.
    if (read("/tmp/errlog").find("/ff/21/NOT_PLUGGED.chain(ff).chip().msg()\n") == std::string::npos) exit(1);
    // Neither a slot nor the whole machine: nothing changes.
    char x[] = "x";
    kmx_set_errcode(ERRCODE_OVERHEAT, x, true, 9, nullptr, 0);
    kmx_set_errcode(ERRCODE_OVERHEAT, x, true, -1, nullptr, 0);
    kmx_save_errcode();
    if (read("/tmp/errcode") != "21\nNOT_PLUGGED.chain(ff).chip().msg()\n") exit(2);
    if (lines(read("/tmp/errlog")) != 1) exit(3);
    exit(0);
}

TEST_F(ErrcodeTest, LongHistoryLinesAreFoundAndChipListsBounded) {
    EXPECT_EXIT(long_lines_deduplicated(), testing::ExitedWithCode(0), "");
}

TEST_F(ErrcodeTest, WholeMachineLineWithoutChainsAndInvalidIds) {
    EXPECT_EXIT(no_chain_in_use(), testing::ExitedWithCode(0), "");
}

TEST_F(ErrcodeTest, ReaderNeverSeesAnEmptyCodeFile) {
    kmx_set_errcode(ERRCODE_CONN_FAIL, nullptr, true, 0, nullptr, 0);
    kmx_save_errcode();
    std::atomic<bool> stop{false};
    std::atomic<int> empty{0}, reads{0};
    std::thread reader([&] {
        while (!stop.load()) {
            FILE *fp = fopen("/tmp/errcode", "r");
            if (!fp) continue;
            int c = fgetc(fp);
            fclose(fp);
            if (c == EOF) empty++;
            reads++;
        }
    });
    for (int i = 0; i < 2000; i++) kmx_save_errcode();
    stop = true;
    reader.join();
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(empty.load(), 0);
}

// What a save killed mid-write left beside the error files goes with the
// next process's first save; the files are whole.
[[noreturn]] void clears_leftovers() {
    kos::write_file_atomic("/tmp/errcode.tmpAb12Cd", "half");
    kos::write_file_atomic("/tmp/errchain.tmp9zY8xW", "half");
    kos::write_file_atomic("/tmp/errcodes.tmpAb12Cd", "not ours");
    kmx_save_errcode();
    if (access("/tmp/errcode.tmpAb12Cd", F_OK) == 0) exit(1);
    if (access("/tmp/errchain.tmp9zY8xW", F_OK) == 0) exit(2);
    if (access("/tmp/errcodes.tmpAb12Cd", F_OK) != 0) exit(3);
    if (read("/tmp/errcode").compare(0, 2, "0\n") != 0) exit(4);
    exit(0);
}

TEST_F(ErrcodeTest, FirstSaveClearsLeftoversOfAKilledWriter) {
    EXPECT_EXIT(clears_leftovers(), testing::ExitedWithCode(0), "");
}

}  // namespace
