// The emulated memory chips' register space: each status answers only after
// the write that starts it, on that chip and channel; check cycles follow
// their pulses; PLL locks and faults are per channel and rate; the core
// BIST answers only a reset, armed and seeded chip.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sim/devices/chip_mem.h"

namespace {

constexpr uint32_t AB = 0x0000, CD = 0x2000, GH = 0x6000;
constexpr uint32_t PHY = 0xD8000, PLL = 0xD0000, C1 = 0xC8000, C2 = 0xC9000, CFG = 0xC8800;

struct Chips {
    sim::MemChips m;
    std::vector<sim::MemFault> faults;
    explicit Chips(int n = 2) : m(n, nullptr, -1) {}
    void fault(const std::string &line) {
        sim::MemFault f;
        ASSERT_TRUE(sim::MemChips::parse_fault(line, &f)) << line;
        faults.push_back(f);
    }
    void wr(int chip, uint32_t addr, uint32_t v) {
        const uint8_t req[12] = {0, 0, 0, 0, 0, uint8_t(0x10 | addr >> 16), uint8_t(addr >> 8), uint8_t(addr),
                                 uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
        uint8_t out[12];
        m.reg0d(chip ? chip : 1, chip ? chip : 2, req, out, faults);
    }
    uint32_t rd(int chip, uint32_t addr) {
        const uint8_t req[12] = {0, 0, 0, 0, 0, uint8_t(addr >> 16), uint8_t(addr >> 8), uint8_t(addr), 0, 0, 0, 0};
        uint8_t out[12];
        m.reg0d(chip, chip, req, out, faults);
        return uint32_t(out[8]) << 24 | uint32_t(out[9]) << 16 | uint32_t(out[10]) << 8 | out[11];
    }
    // The PHY PLL set up for a ring-type rate (3 or 10 GHz).
    void pll(int chip, uint32_t ghz) {
        wr(chip, PLL + 0x500, 0x4281096);
        wr(chip, PLL + 0x504, 0x20000081 + (40 * ghz + 2) * 256);
    }
    // One check cycle: the pulse, then the lane-group-0 word.
    uint32_t cycle(int chip, uint32_t ch, bool read_check) {
        const uint32_t reg = PHY | ch | (read_check ? 0x2A : 9), pulse = read_check ? 1u << 8 : 1u << 2;
        const uint32_t v = rd(chip, reg);
        wr(chip, reg, v | pulse);
        wr(chip, reg, v & ~pulse);
        return rd(chip, PHY | ch | 0x17F);
    }
};

TEST(MemChips, ControllerStatusFollowsTheWritesOfItsChannel) {
    Chips c;
    EXPECT_EQ(c.rd(1, C1 | CD | 0x1F), 0u);
    c.wr(1, C1 | CD, 8);  // held in reset
    EXPECT_EQ(c.rd(1, C1 | CD | 0x1F), 0u);
    c.wr(1, C1 | CD, 0);  // out of reset: bit 0 of C1 only
    EXPECT_EQ(c.rd(1, C1 | CD | 0x1F), 1u);
    EXPECT_EQ(c.rd(1, C2 | CD | 0x1F), 0u);
    EXPECT_EQ(c.rd(1, C1 | AB | 0x1F), 0u);
    EXPECT_EQ(c.rd(2, C1 | CD | 0x1F), 0u);
    c.wr(1, CFG | CD, 0x10);  // memory init: bit 8 of both controllers
    EXPECT_EQ(c.rd(1, C1 | CD | 0x1F), 0x101u);
    EXPECT_EQ(c.rd(1, C2 | CD | 0x1F), 0x100u);
    c.wr(1, CFG | CD | 29, 1u << 17);  // timing handshake: bit 16
    EXPECT_EQ(c.rd(1, C2 | CD | 0x1F), 0x10100u);
    c.wr(1, CFG | CD, 0);
    c.wr(1, CFG | CD | 29, 0);
    c.wr(1, C1 | CD, 8);
    EXPECT_EQ(c.rd(1, C1 | CD | 0x1F), 0u);
}

TEST(MemChips, TrainingIsDoneOnlyStartedWithThePllLocked) {
    Chips c;
    c.wr(1, PHY | AB | 4, 1);  // WCK2CK start without a PLL
    EXPECT_EQ(c.rd(1, PHY | AB | 0x30) & 3, 0u);
    EXPECT_EQ(c.rd(1, PHY | AB | 0x35), 0u);
    c.pll(1, 3);
    EXPECT_EQ(c.rd(1, PHY | AB | 0x35), 2u);
    EXPECT_EQ(c.rd(1, PHY | AB | 0x30) & 3, 3u);
    EXPECT_EQ(c.rd(1, PHY | AB | 0x34) & 3, 0u);  // write training not started
    c.wr(1, PHY | AB | 4, 0);
    EXPECT_EQ(c.rd(1, PHY | AB | 0x30) & 3, 0u);
    c.wr(1, PLL + 0x500, 0x281078);  // LC-type PLL
    EXPECT_EQ(c.rd(1, PHY | GH | 0x35), 1u);
}

TEST(MemChips, PllFaultsHoldOneChannelAtOneRate) {
    Chips c;
    c.fault("memphy 1 GH 10");
    c.pll(1, 3);
    EXPECT_EQ(c.rd(1, PHY | GH | 0x35), 2u);
    c.pll(1, 10);
    EXPECT_EQ(c.rd(1, PHY | GH | 0x35), 0u);
    EXPECT_EQ(c.rd(1, PHY | CD | 0x35), 2u);
    EXPECT_EQ(c.rd(2, PHY | GH | 0x35), 0u);  // chip 2 has no PLL set up
    c.pll(2, 10);
    EXPECT_EQ(c.rd(2, PHY | GH | 0x35), 2u);
}

TEST(MemChips, EachPulseIsOneCheckCycle) {
    Chips c;
    c.fault("memread 1 CD 3 3");
    c.pll(1, 3);
    for (uint32_t ch : {AB, CD}) {
        c.wr(1, PHY | ch | 8, 1);
        c.wr(1, PHY | ch | 0x2A, 1u << 10);
    }
    EXPECT_EQ(c.rd(1, PHY | CD | 0x27F), 0x03FF03FFu);
    for (int i = 0; i < 3; i++) EXPECT_NE(c.cycle(1, CD, true), 0x03FF03FFu) << i;
    // Reads without a pulse keep the last cycle's words.
    EXPECT_NE(c.rd(1, PHY | CD | 0x17F), 0x03FF03FFu);
    EXPECT_EQ(c.cycle(1, CD, true), 0x03FF03FFu);
    EXPECT_EQ(c.cycle(1, AB, true), 0x03FF03FFu);
    // A new check at another rate: the fault was for 3 GHz only.
    c.wr(1, PHY | CD | 0x2A, 0);
    c.pll(1, 10);
    c.wr(1, PHY | CD | 0x2A, 1u << 10);
    EXPECT_EQ(c.cycle(1, CD, true), 0x03FF03FFu);
    // The write check: PHY[9] bit 1 on, bit 2 pulses, its own pattern.
    c.wr(1, PHY | AB | 0x2A, 0);
    c.wr(1, PHY | AB | 9, 3);
    EXPECT_EQ(c.cycle(1, AB, false), 0x03FF01FFu);
    // Not started (bit 0 clear): every cycle fails.
    c.wr(1, PHY | AB | 9, 2);
    EXPECT_NE(c.cycle(1, AB, false), 0x03FF01FFu);
}

TEST(MemChips, FaultsLastTheirNumberOfChecks) {
    Chips c;
    c.fault("memwrite 0 * 31 3 1");
    c.pll(2, 3);
    for (int check = 0; check < 2; check++) {
        c.wr(2, PHY | GH | 9, 1);
        c.wr(2, PHY | GH | 9, 3);
        int failed = 0;
        for (int i = 0; i < 31; i++) failed += c.cycle(2, GH, false) != 0x03FF01FFu;
        EXPECT_EQ(failed, check == 0 ? 31 : 0) << check;
        c.wr(2, PHY | GH | 9, 0);
    }
}

TEST(MemChips, CoreBistAnswersAResetArmedSeededChip) {
    static const uint16_t seeds[26] = {14619, 31779, 20334, 35369, 54,    42642, 25768, 12453, 34540,
                                       5040,  47990, 19808, 39291, 7119,  35054, 51222, 19167, 62689,
                                       57516, 43879, 15169, 33935, 16793, 9370,  62213, 12212};
    Chips c;
    c.fault("membits 1 3 1FFFFF");
    const uint32_t st3 = 0x8E000 + 0x300, lo3 = st3 + 4, hi3 = st3 + 5;
    for (uint32_t i = 0; i < 8; i++) c.wr(0, 0xC8082 + 0x1000 * i, i);
    c.wr(0, 0xC0001, 0x4A252D10);
    c.wr(0, 0x84001, 64);
    c.wr(0, 0x86040, seeds[0]);
    for (uint32_t i = 1; i < 26; i++) c.wr(0, 0x86041 + i, seeds[i]);
    c.m.bist_start(1, 2, c.faults);  // no BIST reset before: nothing runs
    EXPECT_EQ(c.rd(1, st3) & 0x20, 0u);
    c.m.bist_reset(1, 2);
    c.m.bist_start(1, 2, c.faults);
    EXPECT_EQ(c.rd(1, st3) & 0x20, 0x20u);
    EXPECT_EQ(c.rd(1, lo3), 0xFFFFu);
    EXPECT_EQ(c.rd(1, hi3), 0x1Fu);
    EXPECT_EQ(c.rd(2, lo3), 0u);
    // A wrong seed word: every sub-core fails.
    c.wr(2, 0x8605A, 1);
    c.m.bist_reset(1, 2);
    c.m.bist_start(1, 2, c.faults);
    EXPECT_EQ(c.rd(2, lo3), 0xFFFFu);
    EXPECT_EQ(c.rd(2, hi3), 0xFFFFu);
}

TEST(MemChips, FaultLinesParse) {
    sim::MemFault f;
    ASSERT_TRUE(sim::MemChips::parse_fault("memread 3 EF 16 10 2", &f));
    EXPECT_EQ(f.chip, 3);
    EXPECT_EQ(f.ch, 2);
    EXPECT_EQ(f.cycles, 16);
    EXPECT_EQ(f.speed, 10);
    EXPECT_EQ(f.times, 2);
    ASSERT_TRUE(sim::MemChips::parse_fault("memdag 8 3 71", &f));
    EXPECT_TRUE(f.late);
    EXPECT_EQ(f.block, 3);
    EXPECT_EQ(f.cycles, 71);
    ASSERT_TRUE(sim::MemChips::parse_fault("memcount 4 dag 147FFF4", &f));
    EXPECT_EQ(f.v, 0x147FFF4u);
    EXPECT_FALSE(sim::MemChips::parse_fault("memread 3 XY 16", &f));
    EXPECT_FALSE(sim::MemChips::parse_fault("memcount 4 nonce 1", &f));
    EXPECT_FALSE(sim::MemChips::parse_fault("memdag 8 3", &f));
}

}  // namespace
