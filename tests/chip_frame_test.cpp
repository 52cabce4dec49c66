// CRC-16 and chip frames against fixed vectors; the emulated chips' job
// count and sensor code by chip type.
#include <gtest/gtest.h>

#include <cstring>
#include <jansson.h>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "drv/kmx_chip_frame_internal.h"
#include "sim/devices/chip.h"

namespace {

// The emulated chips' plain bitwise CRC-16/MODBUS as the reference.
uint16_t bitwise_modbus(const uint8_t *p, int n) { return sim::chip_crc16(p, size_t(n)); }

TEST(Crc16, CheckValueAndRandomData) {
    EXPECT_EQ(CRC16_2(reinterpret_cast<const uint8_t *>("123456789"), 9), 0x4B37);
    std::mt19937 rng(7);
    uint8_t buf[300];
    for (int round = 0; round < 50; round++) {
        const int n = int(rng() % sizeof buf);
        for (int i = 0; i < n; i++) buf[i] = uint8_t(rng());
        ASSERT_EQ(CRC16_2(buf, n), bitwise_modbus(buf, n)) << n;
    }
}

// The fast CRC folds eight bytes at a time: every tail length and a whole
// 4 KiB block must agree with the bitwise one, as must the frame CRC.
TEST(Crc16, FastEqualsBitwiseOnEveryTailAndLongBlocks) {
    std::mt19937 rng(11);
    std::vector<uint8_t> buf(4096);
    for (int round = 0; round < 4; round++) {
        for (auto &b : buf) b = uint8_t(rng());
        for (int n = 0; n <= 40; n++) ASSERT_EQ(CRC16_2(buf.data() + round, n), bitwise_modbus(buf.data() + round, n)) << n;
        ASSERT_EQ(CRC16_2(buf.data(), 4096), bitwise_modbus(buf.data(), 4096));
        for (int n = 2; n <= 160; n += 2) ASSERT_EQ(chip_frame_crc(buf.data(), n), sim::chip_frame_crc16(buf.data(), size_t(n))) << n;
    }
}

TEST(Crc16, FrameCrcOverSwappedPairs) {
    uint8_t reply[8] = {0x1A, 0x03, 0x11, 0x22, 0x33, 0x44};
    EXPECT_EQ(chip_frame_crc(reply, 6), 0x8270);
    chip_frame_seal(reply, 6);
    EXPECT_EQ(reply[6], 0x82);
    EXPECT_EQ(reply[7], 0x70);
    EXPECT_TRUE(chip_frame_crc_ok(reply, 6));
    // A CRC taken over the unswapped bytes must fail the check.
    EXPECT_EQ(CRC16_2(reply, 6), 0xD4F7);
    reply[6] = 0xD4;
    reply[7] = 0xF7;
    EXPECT_FALSE(chip_frame_crc_ok(reply, 6));

    const uint8_t reg0d[14] = {0x1A, 0x01, 0x02, 0x50, 0xA0, 0x06, 0x28, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(chip_frame_crc(reg0d, 14), 0x38B2);

    uint8_t job[158] = {0x17, 0x0A};
    EXPECT_EQ(chip_frame_crc(job, 158), 0x319E);
    memset(job + 2, 0xFF, sizeof job - 2);
    EXPECT_EQ(chip_frame_crc(job, 158), 0x4A61);
}

TEST(ChipFrame, LengthWords) {
    EXPECT_EQ(chip_lw_write(6), 0x06040504u);
    EXPECT_EQ(chip_lw_write(12), 0x09070807u);
    EXPECT_EQ(chip_lw_read(4), 0x02000403u);
    EXPECT_EQ(chip_lw_read(12), 0x02000807u);
    EXPECT_EQ(chip_lw_read(8), 0x02000605u);
    EXPECT_EQ(chip_lw_job(160), 0x514F0000u);
    EXPECT_EQ(CHIP_LW_RESET, 0x03000200u);
    EXPECT_EQ(CHIP_LW_BIST, 0x02000200u);
    EXPECT_EQ(CHIP_LW_CLEAN, 0x10001000u);
}

TEST(ChipFrame, BuildLeavesCrcWordsZeroAndChecksEcho) {
    uint8_t f[16] = {};
    const uint8_t reg[6] = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(chip_frame_build(f, CHIP_CMD_WRITE_REG, 3, reg, 6), 8);
    const uint8_t want[12] = {0x09, 0x03, 1, 2, 3, 4, 5, 6, 0, 0, 0, 0};
    EXPECT_EQ(memcmp(f, want, 12), 0);
    EXPECT_EQ(chip_frame_build(f, CHIP_CMD_BIST_START, 0, nullptr, 0), 2);
    EXPECT_TRUE(chip_frame_echo_ok(0x0A, 0x1A));
    EXPECT_FALSE(chip_frame_echo_ok(0x0A, 0x00));
}

// An emulated chain of two chips from the board keys `keys` (no slot: no
// controls file, no regulator).
class Chain {
public:
    explicit Chain(const std::string &keys)
        : desc_(json_loads(("{\"chips\": 2, " + keys + "}").c_str(), 0, nullptr)), chain_(desc_) {}
    ~Chain() { json_decref(desc_); }
    // A frame [code, chip, data (12 bytes, zeros without)]; the reply into `reply`.
    void send(uint8_t code, uint8_t chip, uint8_t *reply = nullptr, size_t reply_len = 0,
              const uint8_t *data = nullptr) {
        uint8_t frame[20] = {code, chip};
        if (data) memcpy(frame + 2, data, 12);
        uint8_t sink[4];
        chain_.exchange(frame, sizeof frame, reply ? reply : sink, reply ? reply_len : sizeof sink);
    }
    // Whether a reset of every chip is answered.
    bool answers_reset() {
        uint8_t r[4] = {};
        send(0x04, 0, r, sizeof r);
        return r[0] != 0;
    }

private:
    json_t *desc_;
    sim::ChipChain chain_;
};

// A board that stops after two jobs counts every job written to it: code 7
// on every chip, code C (the wide job) on the chips of reset codes 0 and 5.
TEST(EmulatedChips, StopAfterJobsCountsTheJobWritesOfTheChipType) {
    for (const auto &[type, wide] : {std::pair{0, true}, std::pair{5, true}, std::pair{3, false}, std::pair{6, false}}) {
        for (const uint8_t code : {uint8_t(0x07), uint8_t(0x0C)}) {
            Chain c("\"chip_type\": " + std::to_string(type) + ", \"stop_after_jobs\": 2");
            c.send(code, 1);
            c.send(code, 2);
            EXPECT_TRUE(c.answers_reset()) << type << " " << int(code);
            c.send(code, 1);
            EXPECT_EQ(c.answers_reset(), !(code == 0x07 || wide)) << type << " " << int(code);
        }
    }
}

// A chip's sensor gives t degrees as raw code T0 - 1.5 x t, T0 by the
// chips' process. With "heat": 1 and no fan the chips settle at 26
// degrees: chip 1 reads code T0 - 39. Switched to voltage (image byte 5
// bits 0-1 at 1, byte 6 bit 1 set), it gives m mV as the code nearest
// m x 1024 / K, K by the same process; 905 and 420 mV each fall past a
// half code on some process.
TEST(EmulatedChips, TemperatureCodeByTheChipsProcess) {
    struct Board {
        const char *keys;
        int t0, k;
    };
    const Board boards[] = {
        {"\"chip_type\": 0", 588, 1248},  {"\"chip_type\": 5", 588, 1248},
        {"\"chip_type\": 5, \"chip_model\": 14", 588, 1248}, {"\"chip_type\": 5, \"chip_model\": 15", 605, 1238},
        {"\"chip_type\": 9", 588, 1248},  {"\"chip_type\": 3", 594, 1230},
        {"\"chip_type\": 6", 594, 1230},  {"\"chip_type\": 12", 594, 1230},
    };
    // Register bytes 7 (bits 0-1) and 8 after the 2-byte header.
    const auto code = [](const uint8_t r[16]) { return (r[9] & 0x3) << 8 | r[10]; };
    for (const auto &[keys, t0, k] : boards) {
        Chain c(std::string(keys) + ", \"heat\": 1");
        uint8_t r[16] = {};
        c.send(0x0A, 1, r, sizeof r);
        ASSERT_EQ(r[0], 0x1A) << keys;
        EXPECT_EQ(code(r), t0 - 39) << keys;
        for (const int mv : {905, 420}) {
            Chain v(std::string(keys) + ", \"volt_mv\": " + std::to_string(mv));
            const uint8_t volt_mode[12] = {0, 0, 0, 0, 0, 0x01, 0x02};
            v.send(0x09, 1, nullptr, 0, volt_mode);
            v.send(0x0A, 1, r, sizeof r);
            ASSERT_EQ(r[0], 0x1A) << keys;
            EXPECT_EQ(code(r), (mv * 1024 + k / 2) / k) << keys << " " << mv << " mV";
        }
    }
}

}  // namespace
