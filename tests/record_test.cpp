// Running-record steps in one process: the value getters, the events, the
// history temperatures, the flush gates and the batching of a large record
// file. The flash is the machine's emulated /dev/mtd9.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "module/kmx_chain.h"
#include "record/kmx_record.h"
#include "record/kmx_record_internal.h"
#include "support/fake_shell.h"
#include "support/log_capture.h"
#include "support/sim_files.h"

namespace {

uint64_t s_now = 100000;
uint64_t test_clock() { return s_now; }

void put(const std::string &path, const std::string &text) { std::ofstream(path, std::ios::trunc) << text; }

std::string erase_log() {
    std::string out;
    for (const std::string &l : sim_lines("mtd.log")) out += l + "\n";
    return out;
}

// Block 0 is rewritten after its copy in the area's last block (0x9E0000).
constexpr const char *kCopyErase = "erase /run/sim/mtd9.img 10354688 131072\n";
const std::string kBlock0Rewrite = std::string(kCopyErase) + "erase /run/sim/mtd9.img 0 131072\n";

class Record : public testing::Test {
protected:
    void SetUp() override {
        kmx_record::set_clock(test_clock);
        fake_shell().reset();
        fake_shell().answer(" top  -n 1", "96%\n");
        log_capture_clear();
        unlink(KMX_RECORD_DDR);
        g_records_ddr = 0;
        g_force_flush_nand = 0;
        g_log_last_ddr_time = g_log_last_nand_time = 0;
        g_detect_over = false;
        ASSERT_TRUE(kmx_record_init());
        sim_remove("mtd.log");
    }
    void TearDown() override {
        kmx_record::set_clock(nullptr);
        kmx_record::set_meminfo_path(nullptr);
    }
    // n records, one a minute.
    void append(int n) {
        for (int i = 0; i < n; i++) {
            s_now += 60;
            ASSERT_TRUE(kmx_write_record_to_ddr());
        }
    }
};

TEST(RecordCrc, StandardCheckValues) {
    const unsigned char text[] = "123456789";
    EXPECT_EQ(kmx_crc32(0, text, 9), 0xCBF43926u);
    // Chained over two parts.
    EXPECT_EQ(kmx_crc32(kmx_crc32(0, text, 4), text + 4, 5), 0xCBF43926u);
    EXPECT_EQ(crc32_no_comp(0xFFFFFFFFu, text, 9) ^ 0xFFFFFFFFu, 0xCBF43926u);
}

TEST_F(Record, ValueGetters) {
    put("/dev/tmp_sensor", std::string("\x2c\x01\x00\x00", 4));  // r = 300: 90 degrees
    EXPECT_EQ(uint8_t(kmx_get_cpu_temp()), 154);
    put("/dev/tmp_sensor", std::string("\xce\xff\xff\xff", 4));  // r = -50
    EXPECT_EQ(uint8_t(kmx_get_cpu_temp()), uint8_t(29 + 331));
    EXPECT_EQ(kmx_get_cpu_usage(), 4);
    fake_shell().answer(" top  -n 1", "");
    EXPECT_EQ(kmx_get_cpu_usage(), 0);

    kmx_record::set_meminfo_path("/tmp/meminfo");
    put("/tmp/meminfo", "MemTotal:  1000 kB\nMemFree:  250 kB\n");
    EXPECT_EQ(kmx_get_mem_usage(), 75);
    put("/tmp/meminfo", "MemTotal:  0 kB\nMemFree:  250 kB\n");
    EXPECT_EQ(kmx_get_mem_usage(), 0);
    put("/tmp/meminfo", "garbage\n");
    EXPECT_EQ(kmx_get_mem_usage(), 0);

    uint8_t v[16];
    EXPECT_EQ(kmx_get_fwversion(v), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(v), 16), std::string(".2.3-abcdefghij\0", 16));
    put("/etc/fwrevision", "V1.2\n");  // shorter than the field
    memset(v, 0xAA, sizeof v);
    EXPECT_EQ(kmx_get_fwversion(v), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(v), 16), std::string("V1.2", 4) + std::string(12, '\0'));
    put("/etc/fwrevision", "V1.2.3-abcdefghij\n");
    EXPECT_EQ(kmx_get_fwversion(nullptr), -1);

    put("/tmp/errcode", "47\nWATCHDOG\n");
    uint8_t code = 0;
    EXPECT_TRUE(kmx_get_errno(&code));
    EXPECT_EQ(code, 47);
    put("/tmp/errcode", "");
    EXPECT_FALSE(kmx_get_errno(&code));
    unlink("/tmp/errcode");
    EXPECT_FALSE(kmx_get_errno(&code));
    EXPECT_EQ(kmx_get_fsize("/tmp/no-such-file"), 0);
}

TEST_F(Record, FirmwareAndModeChangesRaiseEvents) {
    EXPECT_TRUE(kmx_check_fw_update());
    EXPECT_EQ(g_force_flush_nand, EVENTS_FW_CHANGE);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(g_record_key_info.hw_version)), ".2.3-abcdefghij");
    g_force_flush_nand = 0;
    EXPECT_FALSE(kmx_check_fw_update());
    EXPECT_EQ(g_force_flush_nand, 0);
    put("/etc/fwrevision", "V1.2.4-abcdefghij\n");
    EXPECT_TRUE(kmx_check_fw_update());
    EXPECT_EQ(g_force_flush_nand, EVENTS_FW_CHANGE);
    unlink("/etc/fwrevision");
    g_force_flush_nand = 0;
    EXPECT_TRUE(kmx_check_fw_update());
    EXPECT_EQ(g_force_flush_nand, 0);
    put("/etc/fwrevision", "V1.2.3-abcdefghij\n");

    EXPECT_EQ(g_machine_info.running_mode, 255);
    kmx_check_runmode_switch(0);  // the key starts at 0: no change
    EXPECT_EQ(g_force_flush_nand, 0);
    EXPECT_EQ(g_machine_info.running_mode, 0);
    kmx_check_runmode_switch(2);
    EXPECT_EQ(g_force_flush_nand, EVENTS_MODE_CHANGE);
    EXPECT_EQ(g_record_key_info.running_mode, 2);
    EXPECT_EQ(g_machine_info.running_mode, 2);
}

TEST_F(Record, HistoryTemperaturesKeepTheFiveHighest) {
    g_chains_info[1] = chain_para{143, 163, 100, 0, 0, 0, 11, {}};
    append(1);
    EXPECT_EQ(g_force_flush_nand, 0);  // 79 and 99 degrees are not history
    g_chains_info[1] = chain_para{144, 164, 100, 0, 0, 0, 12, {}};
    append(1);
    EXPECT_EQ(g_force_flush_nand, EVENTS_OVER_HISTORY_TEMP);
    EXPECT_EQ(g_record_key_info.avg_temp[1][0], 144);
    EXPECT_EQ(g_record_key_info.avg_temp_timestamp[1][0], 12u);
    EXPECT_EQ(g_record_key_info.max_temp[1][0], 164);
    // The event clears the chain temperatures after the append.
    EXPECT_EQ(g_chains_info[1].tmp_avg, 0);
    EXPECT_EQ(g_chains_info[1].tmp_max, 0);
    // Next: the first of the equal smallest (index 1) is replaced.
    g_chains_info[1] = chain_para{150, 0, 0, 0, 0, 0, 13, {}};
    append(1);
    EXPECT_EQ(g_record_key_info.avg_temp[1][1], 150);
    EXPECT_EQ(g_record_key_info.avg_temp[1][2], 0);
    EXPECT_TRUE(log_contains("events:4 chain1 tmp_avg exceeds 5 history max_tem_avg !\n"));
}

TEST_F(Record, FlushGates) {
    append(10);
    EXPECT_TRUE(kmx_write_record_to_nand());
    EXPECT_EQ(g_records_ddr, 10u);  // 10 waiting: not yet
    append(1);
    g_log_last_nand_time = s_now - 3599;
    EXPECT_TRUE(kmx_write_record_to_nand());
    EXPECT_EQ(g_records_ddr, 11u);  // not an hour since the last flush
    EXPECT_EQ(erase_log(), "");
    g_log_last_nand_time = s_now - 3600;
    EXPECT_TRUE(kmx_write_record_to_nand());
    EXPECT_EQ(g_records_ddr, 0u);
    EXPECT_EQ(g_record_head_info.cur_pos, 11u);
    EXPECT_EQ(g_log_last_nand_time, s_now);
    // An append waits a minute unless an event is pending.
    s_now += 30;
    EXPECT_TRUE(kmx_write_record_to_ddr());
    EXPECT_EQ(g_records_ddr, 0u);
    kmx_chain_overheat(0);
    EXPECT_TRUE(kmx_write_record_to_ddr());
    EXPECT_EQ(g_records_ddr, 1u);
    EXPECT_TRUE(kmx_write_record_to_nand());  // any event: at once
    EXPECT_EQ(g_records_ddr, 0u);
    EXPECT_EQ(g_force_flush_nand, 0);
}

TEST_F(Record, EventWithoutWaitingRecordsWritesOnlyTheHeadBlock) {
    kmx_check_runmode_switch(3);
    EXPECT_TRUE(kmx_write_record_to_nand());
    EXPECT_EQ(g_force_flush_nand, 0);
    EXPECT_EQ(erase_log(), kBlock0Rewrite);
    record_key_sec key;
    ASSERT_EQ(kmx_read_flash(50, reinterpret_cast<uint8_t *>(&key), sizeof key), 0);
    EXPECT_EQ(key.running_mode, 3);
}

// The keep-alive stores the supply's voltage and current while the record
// thread copies the machine part: every record holds one reading whole.
TEST_F(Record, SupplyReadingGoesInAsOnePair) {
    std::atomic<bool> stop{false};
    std::thread feeder([&] {
        for (uint16_t i = 0; !stop.load(); i++) kmx_record_set_supply(i, i);
    });
    append(200);
    stop = true;
    feeder.join();
    kmx_record_set_supply(1234, 567);
    append(1);
    std::ifstream in(KMX_RECORD_DDR, std::ios::binary);
    const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(all.size(), 201u * KMX_RECORD_SIZE);
    const auto u16 = [&](size_t at) { return uint16_t(uint8_t(all[at]) | uint8_t(all[at + 1]) << 8); };
    for (size_t r = 0; r < 200; r++)
        ASSERT_EQ(u16(r * KMX_RECORD_SIZE + 38), u16(r * KMX_RECORD_SIZE + 36)) << "record " << r;
    // Voltage at byte 36, current at 38 of the record.
    EXPECT_EQ(u16(200 * KMX_RECORD_SIZE + 36), 1234);
    EXPECT_EQ(u16(200 * KMX_RECORD_SIZE + 38), 567);
}

TEST_F(Record, ErrorCodeGoesIntoEveryChainAfterDetection) {
    put("/tmp/errcode", "35\n");
    append(1);
    EXPECT_EQ(g_chains_info[4].error_code, 0);
    g_detect_over = true;
    append(1);
    for (const chain_para &c : g_chains_info) EXPECT_EQ(c.error_code, 35);
    unlink("/tmp/errcode");
    g_detect_over = false;
}

TEST_F(Record, LargeRecordFileGoesOutInBatchesWithoutLossOrRepeats) {
    // 150 waiting records: three batches (66, 66, 18). The second batch's
    // flash write fails; what went out has left the record file.
    const uint32_t p0 = g_record_head_info.cur_pos, t0 = g_record_head_info.total_records;
    ASSERT_LT(p0 + 150, 510u);
    append(150);
    std::string before(150 * KMX_RECORD_SIZE, '\0');
    ASSERT_TRUE(kmx_read_record_ddr(reinterpret_cast<uint8_t *>(before.data()), uint32_t(before.size())));
    // Each rewrite of block 0 is four writes (its copy, then itself, each
    // head last): the second batch's first write fails.
    put("/run/sim/mtd.faults", "write 4\n");
    s_now += 3600;
    EXPECT_FALSE(kmx_write_record_to_nand());
    EXPECT_EQ(g_records_ddr, 84u);
    EXPECT_EQ(kmx_get_fsize(KMX_RECORD_DDR), int32_t(84 * KMX_RECORD_SIZE));
    EXPECT_EQ(g_record_head_info.cur_pos, p0 + 66);
    s_now += 3600;
    EXPECT_TRUE(kmx_write_record_to_nand());
    EXPECT_EQ(g_records_ddr, 0u);
    EXPECT_EQ(g_record_head_info.cur_pos, p0 + 150);
    EXPECT_EQ(g_record_head_info.total_records, t0 + 150);
    std::string flash(150 * KMX_RECORD_SIZE, '\0');
    ASSERT_EQ(kmx_read_flash((p0 + 2) * KMX_RECORD_SIZE, reinterpret_cast<uint8_t *>(flash.data()), uint32_t(flash.size())),
              0);
    EXPECT_TRUE(flash == before);
    // The 256-byte slots of block 0 only: one rewrite per batch; the failed
    // one stopped at its copy, block 0 untouched.
    EXPECT_EQ(erase_log(), std::string(kBlock0Rewrite) + kCopyErase + kBlock0Rewrite + kBlock0Rewrite);
}

}  // namespace
