// Running-record steps in one process: the value getters, the events, the
// history temperatures, the flush gates and the batching of a large record
// file. The flash is the machine's emulated /dev/mtd9.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "module/kmx_chain.h"
#include "os/os.h"
#include "record/kmx_record.h"
#include "record/kmx_record_internal.h"
#include "support/fake_shell.h"
#include "support/log_capture.h"
#include "support/sim_files.h"

namespace {

constexpr const char *kImage = "/run/sim/mtd9.img";
constexpr const char *kFaults = "/run/sim/mtd.faults";
// The flash image a power-cut sweep starts each case from.
constexpr const char *kBaseImage = "/run/sim/mtd9.base";

// Where a failed flush's back-off waits for the next start.
constexpr const char *kBackoff = "/tmp/running_record.backoff";

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
        unlink(kBackoff);
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
    // A copy: the key section is packed, and EXPECT_EQ takes references.
    EXPECT_EQ(uint32_t{g_record_key_info.avg_temp_timestamp[1][0]}, 12u);
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


// ---- start-up over a flash that fails ------------------------------------------

std::string image_bytes(uint32_t off, uint32_t len) {
    std::string out(len, '\0');
    const int fd = open(kImage, O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(pread(fd, out.data(), len, off), ssize_t(len));
    close(fd);
    return out;
}

// A blank record area and a new head.
void fresh_area() {
    ASSERT_EQ(kmx_erase_flash(0, KMX_RECORD_AREA), 0);
    ASSERT_TRUE(kmx_record_init());
    sim_remove("mtd.log");
}

// The first `n` records of the record file.
std::string waiting_records(uint32_t n) {
    std::string b(size_t(n) * KMX_RECORD_SIZE, '\0');
    EXPECT_TRUE(kmx_read_record_ddr(reinterpret_cast<uint8_t *>(b.data()), uint32_t(b.size())));
    return b;
}

TEST_F(Record, AFailedReadAtStartErasesNothing) {
    fresh_area();
    append(11);
    s_now += 3600;
    ASSERT_TRUE(kmx_write_record_to_nand());
    // Block 0's copy not whole, as on the first start after an update from a
    // release without it.
    ASSERT_EQ(kmx_erase_flash(KMX_RECORD_AREA - KMX_RECORD_BLOCK, KMX_RECORD_BLOCK), 0);
    const std::string before = image_bytes(0, KMX_RECORD_BLOCK);
    for (const char *fault : {"read\n", "open\n", "read\nopen\n"}) {
        // One failed read or open: tried again.
        put(kFaults, fault);
        sim_remove("mtd.log");
        log_capture_clear();
        EXPECT_TRUE(kmx_record_init()) << fault;
        EXPECT_EQ(g_record_head_info.total_records, 11u) << fault;
        EXPECT_EQ(erase_log(), "") << fault;
    }
    // A flash that stays unreadable: the area is left alone, the records
    // wait in RAM and each flush reads the area again.
    put(kFaults, "read\nread\nread\n");
    sim_remove("mtd.log");
    log_capture_clear();
    EXPECT_FALSE(kmx_record_init());
    EXPECT_TRUE(log_has_part("log area unreadable, records stay in /tmp/running_record !"));
    EXPECT_FALSE(log_has_part("log area erased"));
    // What this run puts into the key meanwhile: the firmware, the mode and
    // a history temperature.
    EXPECT_TRUE(kmx_check_fw_update());
    kmx_check_runmode_switch(3);
    g_chains_info[1] = chain_para{150, 0, 0, 0, 0, 0, 21, {}};
    append(2);
    EXPECT_EQ(kmx_get_fsize(KMX_RECORD_DDR), int32_t(2 * KMX_RECORD_SIZE));
    put(kFaults, "read\nread\nread\n");
    EXPECT_FALSE(kmx_write_record_to_nand());
    // The event is in the last record and taken: the thread would not
    // sleep while it waits.
    EXPECT_EQ(g_force_flush_nand, 0);
    EXPECT_EQ(uint8_t(waiting_records(2)[KMX_RECORD_SIZE + 35]), EVENTS_OVER_HISTORY_TEMP);
    EXPECT_FALSE(kmx_update_record_key());
    EXPECT_EQ(erase_log(), "");
    EXPECT_TRUE(image_bytes(0, KMX_RECORD_BLOCK) == before);
    // Without an event the next read waits an hour after the last one.
    append(9);
    put(kFaults, "read\n");
    s_now += 3600 - 9 * 60 - 1;
    EXPECT_FALSE(kmx_write_record_to_nand());
    EXPECT_EQ(sim_lines("mtd.faults"), std::vector<std::string>{"read"});
    s_now += 1;
    // One failed read is tried again: the 11 records go out, with the key
    // as this run left it over the one on flash.
    const std::string waiting = waiting_records(11);
    EXPECT_TRUE(kmx_write_record_to_nand());
    EXPECT_EQ(kmx_get_fsize(KMX_RECORD_DDR), 0);
    EXPECT_EQ(g_record_head_info.total_records, 22u);
    EXPECT_TRUE(image_bytes(13 * KMX_RECORD_SIZE, 11 * KMX_RECORD_SIZE) == waiting);
    record_key_sec key;
    ASSERT_EQ(kmx_read_flash(50, reinterpret_cast<uint8_t *>(&key), sizeof key), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(key.hw_version), 15), ".2.3-abcdefghij");
    EXPECT_EQ(key.running_mode, 3);
    EXPECT_EQ(key.avg_temp[1][0], 150);
    EXPECT_EQ(uint32_t{key.avg_temp_timestamp[1][0]}, 21u);
    // Block 0's head unreadable, its copy whole: the copy stands in.
    put(kFaults, "read\nread\nread\n");
    sim_remove("mtd.log");
    log_capture_clear();
    EXPECT_TRUE(kmx_record_init());
    EXPECT_TRUE(log_has_part("log_head is taken from its copy !"));
    EXPECT_EQ(g_record_head_info.total_records, 22u);
    EXPECT_EQ(key.running_mode, g_record_key_info.running_mode);
    EXPECT_EQ(erase_log(), "erase /run/sim/mtd9.img 0 131072\n");
    // The next start reads it again.
    ASSERT_EQ(kmx_erase_flash(KMX_RECORD_AREA - KMX_RECORD_BLOCK, KMX_RECORD_BLOCK), 0);
    sim_remove("mtd.log");
    EXPECT_TRUE(kmx_record_init());
    EXPECT_EQ(g_record_head_info.total_records, 22u);
    // Head and key read, the ring copy's tag not: unreadable as well.
    put(kFaults, "read 2\nread\nread\n");
    log_capture_clear();
    EXPECT_FALSE(kmx_record_init());
    EXPECT_TRUE(log_has_part("log area unreadable, records stay in /tmp/running_record !"));
    // A head read whole that fails its checks still resets the area, and
    // says why.
    std::string head = image_bytes(0, sizeof(record_head_sec));
    head[20] = 7;
    const int fd = open(kImage, O_WRONLY | O_CLOEXEC);
    ASSERT_EQ(pwrite(fd, head.data(), head.size(), 0), ssize_t(head.size()));
    close(fd);
    // Block 0's head read whole and broken, its copy unreadable: nothing
    // is known of the copy, nothing is erased.
    put(kFaults, "read 1\nread\nread\n");
    log_capture_clear();
    EXPECT_FALSE(kmx_record_init());
    EXPECT_TRUE(log_has_part("log area unreadable, records stay in /tmp/running_record !"));
    EXPECT_EQ(erase_log(), "");
    log_capture_clear();
    EXPECT_TRUE(kmx_record_init());
    EXPECT_EQ(g_record_head_info.total_records, 0u);
    EXPECT_TRUE(log_has_part("log area erased: log_head crc  is wrong !"));
    EXPECT_EQ(erase_log(), "erase /run/sim/mtd9.img 0 10485760\n");
}

// Waits on the machine's clock until `done`, at most `board_s` seconds of it.
template <typename F>
bool wait_until(F done, unsigned board_s) {
    const uint64_t end = kos::mono_ms() + uint64_t(board_s) * 1000;
    while (!done()) {
        if (kos::mono_ms() > end) return false;
        kos::sleep_ms(1000);
    }
    return true;
}

// The record thread over an area that cannot be read, with the firmware
// check's event pending as after every start: it sleeps between passes as
// over a readable one, the record file grows, and the records reach flash
// once the area reads again.
TEST_F(Record, ThreadIdlesOverAnUnreadableAreaAndStoresOnceItReads) {
    fresh_area();
    append(11);
    s_now += 3600;
    ASSERT_TRUE(kmx_write_record_to_nand());
    put(kFaults, "dead\n");
    log_capture_clear();
    EXPECT_FALSE(kmx_record_init());
    EXPECT_TRUE(kmx_check_fw_update());
    // The thread's gates on the clock its sleeps follow.
    kmx_record::set_clock(nullptr);
    g_log_last_ddr_time = g_log_last_nand_time = 0;
    const uint64_t passes0 = kmx_record::thread_passes(), t0 = kos::mono_ms();
    ASSERT_TRUE(kmx_create_thread_running_log());
    // Three records, a minute apart.
    const bool grew = wait_until([] { return kmx_get_fsize(KMX_RECORD_DDR) >= int32_t(3 * KMX_RECORD_SIZE); }, 3600);
    const uint64_t passes = kmx_record::thread_passes() - passes0, board_s = (kos::mono_ms() - t0) / 1000;
    EXPECT_TRUE(grew);
    // A pass sleeps 5 s unless an event waits: only the first one did not.
    EXPECT_LE(passes, board_s / 5 + 2) << board_s << " s";
    EXPECT_EQ(__atomic_load_n(&g_force_flush_nand, __ATOMIC_SEQ_CST), 0);
    // The flash back, and a mode change: the records go out.
    unlink(kFaults);
    kmx_check_runmode_switch(3);
    EXPECT_TRUE(wait_until([] { return kmx_get_fsize(KMX_RECORD_DDR) == 0; }, 3600));
    kmx_record::stop_thread();
    ASSERT_TRUE(wait_until([] { return !kmx_record::thread_running(); }, 3600));
    EXPECT_GE(g_record_head_info.total_records, 11u + 4);
    record_key_sec key;
    ASSERT_EQ(kmx_read_flash(50, reinterpret_cast<uint8_t *>(&key), sizeof key), 0);
    EXPECT_EQ(key.running_mode, 3);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(key.hw_version), 15), ".2.3-abcdefghij");
    // Read again at the start's event only, not at every pass.
    int unreadable = 0;
    for (const LogLine &l : log_captured()) unreadable += l.text.find("log area unreadable") != std::string::npos;
    EXPECT_EQ(unreadable, 2);
}

// A run whose block 0 write failed ends with the batch in block 0's copy and
// in the record file; the next run takes the copy back and must not store
// the batch a second time.
TEST_F(Record, ABatchTakenBackFromTheCopyIsNotStoredAgain) {
    fresh_area();
    append(11);
    const std::string batch = waiting_records(11);
    // The copy's two writes go through, block 0's first one fails.
    put(kFaults, "write 2\n");
    s_now += 3600;
    EXPECT_FALSE(kmx_write_record_to_nand());
    EXPECT_EQ(kmx_get_fsize(KMX_RECORD_DDR), int32_t(11 * KMX_RECORD_SIZE));
    // The program restarts; the record file in RAM is still there. Within
    // the hour of the failure the copy waits in memory for the next flush,
    // and counts as on flash.
    g_records_ddr = 0;
    log_capture_clear();
    sim_remove("mtd.log");
    ASSERT_TRUE(kmx_record_init());
    EXPECT_EQ(erase_log(), "");
    EXPECT_TRUE(log_has_part("log_head is taken from its copy !"));
    EXPECT_TRUE(log_contains("11 records of /tmp/running_record are on flash already, not stored again !\n"));
    EXPECT_EQ(g_record_head_info.total_records, 11u);
    EXPECT_EQ(kmx_get_fsize(KMX_RECORD_DDR), 0);
    append(11);
    s_now += 3600;
    ASSERT_TRUE(kmx_write_record_to_nand());
    EXPECT_EQ(g_record_head_info.total_records, 22u);
    EXPECT_TRUE(image_bytes(2 * KMX_RECORD_SIZE, 11 * KMX_RECORD_SIZE) == batch);
    // Only the records that are on flash leave the file: a file that goes on
    // past them keeps the rest.
    append(12);
    const std::string waiting = waiting_records(12);
    put(kFaults, "write 2\n");
    s_now += 3600;
    EXPECT_FALSE(kmx_write_record_to_nand());
    append(1);  // the file now holds one record more than the batch
    g_records_ddr = 0;
    ASSERT_TRUE(kmx_record_init());
    EXPECT_EQ(g_record_head_info.total_records, 34u);
    EXPECT_EQ(kmx_get_fsize(KMX_RECORD_DDR), int32_t(KMX_RECORD_SIZE));
    // Block 0's copy holds them until the next flush writes block 0.
    EXPECT_TRUE(image_bytes(0x9E0000 + 24 * KMX_RECORD_SIZE, 12 * KMX_RECORD_SIZE) == waiting);
    // The same with the area unreadable at that start: the flush that reads
    // it again takes the copy back, and stores only what is not on flash.
    kmx_clear_record_ddr();
    append(11);
    put(kFaults, "write 2\n");
    s_now += 3600;
    EXPECT_FALSE(kmx_write_record_to_nand());
    g_records_ddr = 0;
    put(kFaults, "read\nread\nread\nread\nread\nread\n");
    EXPECT_FALSE(kmx_record_init());
    append(1);
    kmx_chain_overheat(0);
    EXPECT_TRUE(kmx_write_record_to_nand());
    EXPECT_EQ(g_record_head_info.total_records, 34u + 11 + 1);
    EXPECT_EQ(kmx_get_fsize(KMX_RECORD_DDR), 0);
}

// ---- power cuts during a flush ------------------------------------------------------

// Record number `id` as the sweep lays it down: distinct, never erased.
std::string fake_record(uint32_t id) {
    std::string r(KMX_RECORD_SIZE, '\0');
    uint32_t x = id * 2654435761u + 7;
    for (char &c : r) {
        x = x * 1103515245u + 12345u;
        c = char(x >> 24);
    }
    memcpy(r.data(), &id, sizeof id);
    r[4] = 0;
    return r;
}

// What the ring should hold: a record id per ring position (0: none), and
// the head's position and count, moved as a flush moves them.
struct Ring {
    std::vector<uint32_t> id = std::vector<uint32_t>(KMX_RECORD_SLOTS, 0);
    uint32_t pos = 0, total = 0;
    void add(uint32_t rid) {
        const uint32_t at = pos >= KMX_RECORD_SLOTS ? pos - KMX_RECORD_SLOTS : pos;
        id[at] = rid;
        pos = at + 1;
        total = std::min(total + 1, KMX_RECORD_SLOTS);
    }
    // The positions the head counts, newest first.
    std::vector<uint32_t> counted() const {
        std::vector<uint32_t> out;
        for (uint32_t j = 0; j < total; j++) out.push_back((pos + 2 * KMX_RECORD_SLOTS - 1 - j) % KMX_RECORD_SLOTS);
        return out;
    }
};

constexpr uint32_t kSlotsPerBlock = KMX_RECORD_BLOCK / KMX_RECORD_SIZE;
uint32_t block_of(uint32_t position) { return (position + KMX_RECORD_FIRST_SLOT) / kSlotsPerBlock; }

record_head_sec head_of(const Ring &r) {
    record_head_sec h{};
    memcpy(h.tag, "LOG#", 4);
    memcpy(h.version, "0106", 4);
    h.key_info_len = sizeof(record_key_sec);
    h.bytes_per_record = KMX_RECORD_SIZE;
    h.total_records = r.total;
    h.cur_pos = r.pos;
    h.crc = kmx_crc32(0, reinterpret_cast<const unsigned char *>(&h), offsetof(record_head_sec, crc));
    return h;
}

// The whole flash image of a ring as flushes left it: the head and a zeroed
// key in block 0, block 0's copy equal to it, the ring copy blocks erased.
std::string ring_image(const Ring &r) {
    std::string img(KMX_RECORD_AREA, '\xFF');
    for (uint32_t p : r.counted())
        img.replace(size_t(p + KMX_RECORD_FIRST_SLOT) * KMX_RECORD_SIZE, KMX_RECORD_SIZE, fake_record(r.id[p]));
    const record_head_sec h = head_of(r);
    img.replace(0, sizeof h, reinterpret_cast<const char *>(&h), sizeof h);
    img.replace(sizeof h, sizeof(record_key_sec), std::string(sizeof(record_key_sec), '\0'));
    img.replace(KMX_RECORD_AREA - KMX_RECORD_BLOCK, KMX_RECORD_BLOCK, img.substr(0, KMX_RECORD_BLOCK));
    return img;
}

void write_image(uint32_t off, const std::string &bytes, const char *path = kImage) {
    const int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), off), ssize_t(bytes.size()));
    close(fd);
}

// Block `b` of the sweep's starting image.
std::string base_block(uint32_t b) {
    std::string out(KMX_RECORD_BLOCK, '\0');
    const int fd = open(kBaseImage, O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(pread(fd, out.data(), out.size(), off_t(b) * KMX_RECORD_BLOCK), ssize_t(out.size()));
    close(fd);
    return out;
}

// How often the flash log shows each block erased since it was last removed.
std::map<uint32_t, int> erases() {
    std::map<uint32_t, int> out;
    for (const std::string &l : sim_lines("mtd.log")) {
        unsigned long off = 0, len = 0;
        if (sscanf(l.c_str(), "erase %*s %lu %lu", &off, &len) != 2) continue;
        for (unsigned long b = off / KMX_RECORD_BLOCK; b < (off + len) / KMX_RECORD_BLOCK; b++) out[uint32_t(b)]++;
    }
    return out;
}

std::set<uint32_t> erased_blocks() {
    std::set<uint32_t> out;
    for (const auto &[b, n] : erases()) out.insert(b);
    return out;
}

// Runs one flush with `fault` armed in the emulated flash; `left` gets the
// first line the fault file holds after it ("dead" once the flash lost
// power). True when the flush stored its records.
bool flush_with_fault(const std::string &fault, std::string &left) {
    put(kFaults, fault);
    const bool stored = kmx_write_record_to_nand();
    std::ifstream in(kFaults);
    left.clear();
    std::getline(in, left);
    unlink(kFaults);
    return stored;
}

// One flush of `n` records over a ring of `before` records, and the bytes
// each of its writes programs, in order: each ring block other than 0 goes
// to the ring copy (image, then tag) and then to its place (body, then the
// first 50 bytes); block 0 goes last, to its copy and then to its place.
struct Sweep {
    const char *name;
    uint32_t before;  // records stored before, from id 1 on
    uint32_t n;
    std::vector<uint32_t> blocks;  // ring blocks the flush rewrites, in order
};

std::vector<uint32_t> write_plan(const Sweep &sw) {
    std::vector<uint32_t> plan;
    for (uint32_t b : sw.blocks) {
        if (b == 0) {
            for (int i = 0; i < 2; i++) plan.insert(plan.end(), {KMX_RECORD_BLOCK - 50, 50});
        } else {
            plan.insert(plan.end(), {KMX_RECORD_BLOCK, 16, KMX_RECORD_BLOCK - 50, 50});
        }
    }
    return plan;
}

// Cut points, in bytes from the flush's first write: in each write its first
// and last 64 bytes, the whole write, and every 4 KiB between.
std::vector<uint32_t> cut_points(const std::vector<uint32_t> &plan) {
    std::set<uint32_t> pts{0};
    uint32_t at = 0;
    for (uint32_t len : plan) {
        for (uint32_t d : {1u, 64u}) pts.insert(at + std::min(d, len));
        for (uint32_t d : {64u, 1u, 0u}) pts.insert(at + len - std::min(d, len - 1));
        for (uint32_t d = 4096; d < len; d += 4096) pts.insert(at + d);
        at += len;
    }
    return {pts.begin(), pts.end()};
}

class PowerCutSweep : public Record {
protected:
    Ring old_, new_;
    std::string batch_;
    std::vector<std::string> failures_;

    void lay(const Sweep &sw) {
        old_ = Ring{};
        for (uint32_t i = 1; i <= sw.before; i++) old_.add(i);
        new_ = old_;
        batch_.clear();
        for (uint32_t i = 1; i <= sw.n; i++) {
            new_.add(sw.before + i);
            batch_ += fake_record(sw.before + i);
        }
        // Kept beside the flash image: each case puts back the blocks the
        // one before it erased.
        const std::string img = ring_image(old_);
        write_image(0, img);
        write_image(0, img, kBaseImage);
        sim_remove("mtd.log");
    }

    // Puts back the blocks the last case erased, and the record file.
    void restore() {
        for (uint32_t b : erased_blocks()) write_image(b * KMX_RECORD_BLOCK, base_block(b));
        sim_remove("mtd.log");
        put(KMX_RECORD_DDR, batch_);
    }

    // What block `b` holds for the program: the flash's bytes, or the copy
    // a start within the hour of a failed flush took back into memory,
    // which the next flush writes first. That one counts only while the
    // copy on flash holds it too (the ring copy under a tag naming `b`), so
    // that a power cut before that flush loses nothing.
    std::string kept_block(uint32_t b) {
        const std::string on_flash = image_bytes(b * KMX_RECORD_BLOCK, KMX_RECORD_BLOCK);
        const std::string kept = kmx_record::unwritten_image(b);
        if (kept.empty()) return on_flash;
        const uint32_t copy_at = b == 0 ? 0x9E0000 : 0x9C0000;
        uint32_t named = 0;
        const std::string tag = image_bytes(0x9A0000, 8);
        memcpy(&named, tag.data() + 4, sizeof named);
        if (image_bytes(copy_at, KMX_RECORD_BLOCK) != kept || (b != 0 && (tag.substr(0, 4) != "BLK#" || named != b)))
            return on_flash;
        return kept;
    }

    // Counts the positions of `want` that the flash does not hold as `want`
    // has them, among those the head counts in the blocks `blocks`. With
    // `partial`, a position the batch rewrote may also hold its new record.
    int mismatches(const Ring &want, const std::set<uint32_t> &blocks, bool partial, bool kept, const Ring *extra = nullptr) {
        std::map<uint32_t, std::string> img;
        for (uint32_t b : blocks) img[b] = kept ? kept_block(b) : image_bytes(b * KMX_RECORD_BLOCK, KMX_RECORD_BLOCK);
        int bad = 0;
        for (uint32_t p : want.counted()) {
            const uint32_t b = block_of(p);
            if (!img.count(b)) continue;
            const size_t at = size_t((p + KMX_RECORD_FIRST_SLOT) % kSlotsPerBlock) * KMX_RECORD_SIZE;
            const std::string got = img[b].substr(at, KMX_RECORD_SIZE);
            if (got == fake_record(want.id[p])) continue;
            if (partial && extra && extra->id[p] != want.id[p] && got == fake_record(extra->id[p])) continue;
            bad++;
        }
        return bad;
    }

    // After the flush was cut (or failed): the program starts again with the
    // record file it had (a power cut takes that file too, but what start-up
    // does to the flash does not depend on it), then stores one more record.
    // The head the start finds is the old one or the new one; it counts no
    // blank slot and loses no stored record (in a full ring, a slot the
    // batch was overwriting may hold its new record); no block outside the
    // flush is erased; after the next flush every record is there once.
    void check_restart(const Sweep &sw, const std::string &what) {
        std::set<uint32_t> touched(sw.blocks.begin(), sw.blocks.end());
        g_records_ddr = 0;
        g_force_flush_nand = 0;
        // A power cut takes the back-off beside the record file as well, and
        // the start then writes what it takes back at once: only after a
        // failed flush may that wait in memory.
        const bool cut = what.compare(0, 4, "cut ") == 0;
        if (cut) unlink(kBackoff);
        // The start's first read fails once, as a flash read may.
        put(kFaults, "read\n");
        const bool started = kmx_record_init();
        unlink(kFaults);
        const record_head_sec h = g_record_head_info;
        std::string verdict;
        if (!started) verdict = "start failed";
        const bool is_old = h.cur_pos == old_.pos && h.total_records == old_.total;
        const bool is_new = h.cur_pos == new_.pos && h.total_records == new_.total;
        int lost = 0;
        if (is_old)
            lost = mismatches(old_, touched, true, !cut, &new_);
        else if (is_new)
            lost = mismatches(new_, touched, false, !cut);
        else
            verdict += " head " + std::to_string(h.cur_pos) + "/" + std::to_string(h.total_records);
        if (lost) verdict += " " + std::to_string(lost) + " counted slots lost or blank";
        for (uint32_t b : erased_blocks())
            if (!touched.count(b) && b < KMX_RECORD_AREA / KMX_RECORD_BLOCK - 3)
                verdict += " block " + std::to_string(b) + " erased";
        // One record more, then a flush: the ring holds the batch once.
        s_now += 60;
        g_force_flush_nand = EVENTS_MODE_CHANGE;
        if (!kmx_write_record_to_ddr() || !kmx_write_record_to_nand()) verdict += " next flush failed";
        Ring last = new_;
        last.add(0);
        const record_head_sec e = g_record_head_info;
        if (e.cur_pos != last.pos || e.total_records != last.total)
            verdict += " then head " + std::to_string(e.cur_pos) + "/" + std::to_string(e.total_records);
        // The batch and what came before, less the oldest one the new
        // record replaced in a full ring.
        Ring kept = new_;
        kept.total = std::min(kept.total, KMX_RECORD_SLOTS - 1);
        touched.insert(block_of(new_.pos % KMX_RECORD_SLOTS));
        if (const int bad = mismatches(kept, touched, false, false))
            verdict += " then " + std::to_string(bad) + " slots wrong";
        if (!verdict.empty()) failures_.push_back(std::string(sw.name) + " " + what + ":" + verdict);
    }

    void sweep(const Sweep &sw) {
        lay(sw);
        const std::vector<uint32_t> plan = write_plan(sw);
        uint32_t total = 0;
        for (uint32_t len : plan) total += len;
        // A whole flush programs the planned bytes.
        restore();
        ASSERT_TRUE(kmx_record_init());
        g_records_ddr = sw.n;
        s_now += 3600;
        std::string left;
        ASSERT_TRUE(flush_with_fault("lose 100000000\n", left)) << sw.name;
        ASSERT_EQ(left, "lose " + std::to_string(100000000 - total)) << sw.name;
        for (uint32_t cut : cut_points(plan)) {
            restore();
            ASSERT_TRUE(kmx_record_init()) << sw.name;
            ASSERT_EQ(g_record_head_info.cur_pos, old_.pos);
            g_records_ddr = sw.n;
            s_now += 3600;
            // The flash loses power `cut` bytes into the flush; what the
            // program does after that reaches no flash.
            std::string left;
            const bool stored = flush_with_fault("lose " + std::to_string(cut) + "\n", left);
            if (stored || left != "dead")
                failures_.push_back(std::string(sw.name) + " cut " + std::to_string(cut) + ": flash not cut off");
            check_restart(sw, "cut " + std::to_string(cut));
        }
        // Failed erases and writes: the flush ends with an error; the
        // program is restarted.
        // Three erases per ring block (the ring copy's tag and image, the
        // block), two for block 0 (its copy, itself).
        for (const std::string op : {"erase", "write"}) {
            const uint32_t calls = op == "erase" ? uint32_t(sw.blocks.size() * 3 - 1) : uint32_t(plan.size());
            for (uint32_t k = 0; k < calls; k++) {
                restore();
                ASSERT_TRUE(kmx_record_init());
                g_records_ddr = sw.n;
                s_now += 3600;
                std::string left;
                if (flush_with_fault(op + " " + std::to_string(k) + "\n", left) || !left.empty())
                    failures_.push_back(std::string(sw.name) + " " + op + " " + std::to_string(k) +
                                        ": flush did not fail");
                check_restart(sw, op + " " + std::to_string(k));
            }
        }
    }

    void TearDown() override {
        unlink(kFaults);
        unlink(kBaseImage);
        kmx_erase_flash(0, KMX_RECORD_AREA);
        for (const std::string &f : failures_) ADD_FAILURE() << f;
        EXPECT_EQ(failures_.size(), 0u);
        Record::TearDown();
    }
};

// A flush into a ring block other than 0 leaves its image in the ring copy
// (0x9C0000) under a tag (0x9A0000): "BLK#", the block, a CRC-32 of the
// image and one of those 12 bytes, as the next start (of this build or a
// later one) reads them. A copy damaged after its tag was written is not
// taken back over its block.
TEST_F(Record, RingCopyTagAndADamagedCopyLeftAlone) {
    Ring r;
    for (uint32_t i = 1; i <= 530; i++) r.add(i);
    write_image(0, ring_image(r));
    ASSERT_TRUE(kmx_record_init());
    std::string batch;
    for (uint32_t i = 531; i <= 541; i++) batch += fake_record(i);
    put(KMX_RECORD_DDR, batch);
    g_records_ddr = 11;
    s_now += 3600;
    ASSERT_TRUE(kmx_write_record_to_nand());
    const std::string block1 = image_bytes(KMX_RECORD_BLOCK, KMX_RECORD_BLOCK);
    EXPECT_TRUE(image_bytes(0x9C0000, KMX_RECORD_BLOCK) == block1);
    std::string tag = "BLK#";
    auto le32 = [&tag](uint32_t v) {
        for (int i = 0; i < 4; i++) tag += char(v >> (8 * i));
    };
    le32(1);
    le32(kmx_crc32(0, reinterpret_cast<const unsigned char *>(block1.data()), unsigned(block1.size())));
    le32(kmx_crc32(0, reinterpret_cast<const unsigned char *>(tag.data()), 12));
    EXPECT_EQ(image_bytes(0x9A0000, 16), tag);
    // One byte of the copy turns; the block differs from it, but only
    // because the copy is damaged.
    write_image(0x9C0000 + 1000, std::string(1, char(block1[1000] ^ 0x10)));
    log_capture_clear();
    ASSERT_TRUE(kmx_record_init());
    EXPECT_TRUE(image_bytes(KMX_RECORD_BLOCK, KMX_RECORD_BLOCK) == block1);
    EXPECT_FALSE(log_has_part("is taken from its copy"));
}

// A ring block worn out under the record thread (its erase fails for good):
// each try rewrites the ring copy's tag and image blocks (77 and 78), so
// after a failed one the next waits an hour, or an event. The records wait in
// RAM and reach flash, each once, when the block has been replaced.
TEST_F(Record, ThreadBacksOffAWornBlockAndStoresOnceItIsReplaced) {
    Ring r;
    for (uint32_t i = 1; i <= 600; i++) r.add(i);  // the next records go to block 1
    write_image(0, ring_image(r));
    ASSERT_TRUE(kmx_record_init());
    put(kFaults, "bad 1\n");
    sim_remove("mtd.log");
    log_capture_clear();
    // The thread's gates and sleeps on one test clock.
    kmx_record::set_clock(nullptr);
    g_log_last_ddr_time = g_log_last_nand_time = 0;
    kos::TestClock clock;
    // `s` seconds of passes, the thread asleep between them and at the end.
    const auto run_for = [&clock](uint64_t s) {
        for (uint64_t t = 0; t < s; t += 5) {
            if (!clock.wait_sleepers(1)) return false;
            clock.advance_us(5000000);
        }
        return clock.wait_sleepers(1);
    };
    ASSERT_TRUE(kmx_create_thread_running_log());
    // The first try at the 11th record (10 minutes in), then one an hour:
    // the ring copy's blocks and the worn block's failed erase.
    const std::map<uint32_t, int> one_try{{1, 1}, {77, 1}, {78, 1}};
    for (int hour = 1; hour <= 3; hour++) {
        ASSERT_TRUE(run_for(3600));
        EXPECT_EQ(erases(), one_try) << "hour " << hour;
        sim_remove("mtd.log");
    }
    // The worn block reads; a write to it fails too, one that ends before
    // it does not (0xFF programs nothing).
    uint8_t blank = 0xFF;
    EXPECT_EQ(kmx_read_flash(KMX_RECORD_BLOCK + 0x10000, &blank, 1), 0);
    EXPECT_EQ(kmx_write_flash(KMX_RECORD_BLOCK + 0x10000, &blank, 1), 1);
    EXPECT_EQ(kmx_write_flash(KMX_RECORD_BLOCK - 1, &blank, 1), 0);
    // A record a minute, all in RAM.
    std::ifstream in(KMX_RECORD_DDR, std::ios::binary);
    const std::string waiting((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(waiting.size(), 180u * KMX_RECORD_SIZE);
    EXPECT_EQ(g_record_head_info.cur_pos, 600u);
    // The block replaced: the next try, an hour after the last, stores them.
    unlink(kFaults);
    ASSERT_TRUE(run_for(3600));
    kmx_record::stop_thread();
    clock.advance_us(5000000);
    for (int ms = 0; ms < 120000 && kmx_record::thread_running(); ms++)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_FALSE(kmx_record::thread_running());
    // What reached flash and what waits: every record of the four hours and
    // of the last pass once, in order (each xg_time a minute after the one
    // before).
    const uint32_t stored = g_record_head_info.cur_pos - 600;
    EXPECT_EQ(g_record_head_info.total_records, 600 + stored);
    std::string all = image_bytes(602 * KMX_RECORD_SIZE, stored * KMX_RECORD_SIZE);
    std::ifstream rest(KMX_RECORD_DDR, std::ios::binary);
    all.append(std::istreambuf_iterator<char>(rest), std::istreambuf_iterator<char>());
    ASSERT_EQ(all.size(), 241u * KMX_RECORD_SIZE);
    EXPECT_TRUE(all.compare(0, waiting.size(), waiting) == 0);
    const auto xg_time = [&all](size_t i) {
        uint32_t v;
        memcpy(&v, all.data() + i * KMX_RECORD_SIZE + offsetof(machine_para, xg_time), sizeof v);
        return v;
    };
    for (size_t i = 1; i < 241; i++) ASSERT_EQ(xg_time(i), xg_time(i - 1) + 60) << "record " << i;
}

// A flash that has taken nothing for a week: the record file in RAM keeps
// the newest records, at most as many as the ring takes, and says so once.
// A full file lets the oldest hour go at once: it is rewritten once an hour,
// not at every append.
TEST_F(Record, RecordFileKeepsWhatTheRingTakes) {
    std::string old;
    for (uint32_t i = 1; i < KMX_RECORD_SLOTS; i++) old += fake_record(i);
    put(KMX_RECORD_DDR, old);
    const auto file = [] {
        std::ifstream in(KMX_RECORD_DDR, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    };
    const auto inode = [] {
        struct stat st {};
        stat(KMX_RECORD_DDR, &st);
        return st.st_ino;
    };
    append(1);  // the file is full, not trimmed yet
    EXPECT_EQ(file().size(), size_t(KMX_RECORD_SLOTS) * KMX_RECORD_SIZE);
    append(2);
    const std::string trimmed = file();
    ASSERT_EQ(trimmed.size(), size_t(KMX_RECORD_SLOTS - 60 + 2) * KMX_RECORD_SIZE);
    EXPECT_EQ(g_records_ddr, KMX_RECORD_SLOTS - 60 + 2);
    // The 60 oldest went, the three new ones came last.
    EXPECT_TRUE(trimmed.compare(0, old.size() - 60 * KMX_RECORD_SIZE, old, 60 * KMX_RECORD_SIZE) == 0);
    const auto said = [] {
        int n = 0;
        for (const LogLine &l : log_captured())
            n += l.text == "/tmp/running_record holds 10802 records, all the ring takes: the oldest ones are dropped !\n";
        return n;
    };
    EXPECT_EQ(said(), 1);
    // Appended to in place up to the bound, trimmed again (a new file) and
    // said no more while it stays full.
    const ino_t first = inode();
    append(58);
    EXPECT_EQ(inode(), first);
    EXPECT_EQ(file().size(), size_t(KMX_RECORD_SLOTS) * KMX_RECORD_SIZE);
    append(1);
    EXPECT_NE(inode(), first);
    EXPECT_EQ(file().size(), size_t(KMX_RECORD_SLOTS - 60 + 1) * KMX_RECORD_SIZE);
    EXPECT_EQ(said(), 1);
    // Emptied by a flush, the file says so again when it fills again.
    kmx_clear_record_ddr();
    append(1);
    put(KMX_RECORD_DDR, old);
    g_records_ddr = KMX_RECORD_SLOTS - 1;
    append(2);
    EXPECT_EQ(said(), 2);
    EXPECT_EQ(kmx_get_fsize(KMX_RECORD_DDR), int32_t((KMX_RECORD_SLOTS - 60 + 1) * KMX_RECORD_SIZE));
}

// A failed flush's back-off outlives a restart of the program. A failure
// time ahead of the clock (a file kept over a reboot) counts from the start
// that finds it, also for the starts after, so it never lasts past an hour.
TEST_F(Record, BackoffHoldsAcrossRestartsForAnHourAtMost) {
    Ring ring;
    for (uint32_t i = 1; i <= 600; i++) ring.add(i);  // the next records go to block 1
    write_image(0, ring_image(ring));
    put(kFaults, "bad 1\n");  // each try rewrites the ring copy (77, 78), then fails
    const auto tries = [] {
        const std::map<uint32_t, int> e = erases();
        const auto it = e.find(77);
        return it == e.end() ? 0 : it->second;
    };
    const auto start_at = [](uint64_t t) {
        s_now = t;
        g_records_ddr = 0;
        g_log_last_ddr_time = g_log_last_nand_time = 0;
        ASSERT_TRUE(kmx_record_init());
        sim_remove("mtd.log");
    };
    start_at(1000000000);
    append(11);
    EXPECT_FALSE(kmx_write_record_to_nand());
    EXPECT_EQ(tries(), 1);
    start_at(100000);
    append(1);
    EXPECT_FALSE(kmx_write_record_to_nand());
    EXPECT_EQ(tries(), 0);
    start_at(103000);
    append(1);
    s_now = 103599;
    EXPECT_FALSE(kmx_write_record_to_nand());
    EXPECT_EQ(tries(), 0);
    s_now = 103600;
    EXPECT_FALSE(kmx_write_record_to_nand());
    EXPECT_EQ(tries(), 1);
    // A flush that stores ends the back-off for the next start too.
    unlink(kFaults);
    s_now += 3600;
    EXPECT_TRUE(kmx_write_record_to_nand());
    EXPECT_EQ(g_record_head_info.total_records, 613u);
    EXPECT_NE(access(kBackoff, F_OK), 0);
    // A damaged back-off file is said, removed and not followed.
    put(kBackoff, "BOF#damaged");
    put(kFaults, "bad 1\n");
    start_at(s_now);
    EXPECT_TRUE(log_has_part("/tmp/running_record.backoff is damaged, not used !"));
    EXPECT_NE(access(kBackoff, F_OK), 0);
    append(11);
    EXPECT_FALSE(kmx_write_record_to_nand());
    EXPECT_EQ(tries(), 1);
}

// Every cut of every flush keeps the stored records, in each part of the
// ring, one case each.
TEST_F(PowerCutSweep, EveryCutKeepsTheStoredRecordsInBlockZero) { sweep({"block 0", 100, 11, {0}}); }
// 20 records in block 1, as found in the field.
TEST_F(PowerCutSweep, EveryCutKeepsTheStoredRecordsInAMiddleBlock) { sweep({"middle block", 530, 11, {1, 0}}); }
// Blocks 20 and 21, the ring's last.
TEST_F(PowerCutSweep, EveryCutKeepsTheStoredRecordsInTheLastBlocks) {
    sweep({"last block", 10745, 11, {20, 21, 0}});
}
// A full ring: 7 records at its end, 13 from its first slot on.
TEST_F(PowerCutSweep, EveryCutKeepsTheStoredRecordsAcrossTheWrap) {
    sweep({"wrap", KMX_RECORD_SLOTS + 10795, 20, {21, 0}});
}
}  // namespace
