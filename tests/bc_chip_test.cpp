// Chip features, machine types, PLL tables, command-0D register access and
// the decoding of register read-backs.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "bc_chip_model.h"
#include "module/bc_steps.h"
#include "module/chip_features.h"
#include "module/chip_reg.h"


TEST(ChipFeature, ModeDependentValues)
{
    bc_model m;
    set_chip_feature(0, 0, 2);
    const bc_features &f = bc_chain_rec(0)->feat;
    EXPECT_EQ(f.job_rounds, 3);
    EXPECT_EQ(f.jobs_per_chip, 384);
    EXPECT_FLOAT_EQ(f.min_chip_volt, 0.32f);
    set_chip_feature(0, 14, 3);
    EXPECT_EQ(f.job_rounds, 5);
    EXPECT_EQ(f.jobs_per_chip, 1200);
    EXPECT_FLOAT_EQ(f.min_chip_volt, 0.20f);
    EXPECT_EQ(f.clk_mult, 12);
    set_chip_feature(0, 13, 0);
    EXPECT_EQ(f.clk_mult, 50);
    EXPECT_EQ(f.jobs_per_chip, 400);
    EXPECT_EQ(f.result_len, 21);
}

TEST(ChipFeature, UnknownTypeLeavesRecord)
{
    bc_model m;
    set_chip_feature(0, 12, 0);
    bc_features before = bc_chain_rec(0)->feat;
    set_chip_feature(0, 16, 0);
    EXPECT_EQ(memcmp(&before, &bc_chain_rec(0)->feat, sizeof before), 0);
    EXPECT_TRUE(m.logged("Failed! Can't find the chip type in [set_chip_feature]!\n"));
}

TEST(MachineType, MemoryBoardDefaults)
{
    bc_model m;
    bc_chain_rec(0)->chips[3].volt = 0.5f;
    apply_machine_type(0, 32);
    EXPECT_EQ(bc_chain_rec(0)->chip_num, 8);
    EXPECT_EQ(g_miner->freq_max, 1500);
    EXPECT_EQ(g_miner->freq_min, 30);
    EXPECT_EQ(g_miner->prompt_vid, 18);
    EXPECT_EQ(g_miner->freq_def, 480);
    EXPECT_EQ(g_miner->pll_table, pll_table_get(3).rows);
    EXPECT_FLOAT_EQ(bc_chain_rec(0)->chips[3].volt, 123.0f);
    EXPECT_EQ(bc_chain_rec(0)->work_result_len, 21);
    EXPECT_EQ(g_machine_types[BC_MACHINE_TYPES].model, nullptr);
}

TEST(PllTables, RowsFollowTheirRule)
{
    bc_model m;
    const pll_table t1 = pll_table_get(1), t2 = pll_table_get(2), t3 = pll_table_get(3);
    ASSERT_EQ(t1.count, 358);
    ASSERT_EQ(t2.count, 403);
    ASSERT_EQ(t3.count, 89);
    EXPECT_EQ(t1.rows[0].word, 80);
    EXPECT_EQ(t1.rows[0].div2, 3);
    EXPECT_FLOAT_EQ(t1.rows[357].freq, 2004.0f);
    EXPECT_EQ(t1.rows[357].word, 167);
    EXPECT_EQ(t2.rows[0].word, 80);
    EXPECT_EQ(t2.rows[0].div2, 5);
    EXPECT_FLOAT_EQ(t3.rows[88].freq, 1980.0f);
    for (const pll_table &t : {t1, t2})
        for (int i = 0; i < t.count; i++) {
            const bc_pll_row &r = t.rows[i];
            EXPECT_FLOAT_EQ(12.0f * r.word / r.div1 / float(1 << r.div2), r.freq) << i;
            if (i) {
                EXPECT_LT(t.rows[i - 1].freq, r.freq);
            }
        }
    for (int i = 0; i < t3.count; i++) {
        const bc_pll_row &r = t3.rows[i];
        if (r.freq == 60.0f || r.freq == 800.0f)
            continue;
        EXPECT_FLOAT_EQ(25.0f * r.word / r.div1 / r.div2, r.freq) << i;
    }
    EXPECT_FLOAT_EQ(pll_row_find(t1, 5000).freq, 2004.0f);
    EXPECT_FLOAT_EQ(pll_row_find(t1, 121).freq, 121.5f);
}

TEST(PllTables, UnknownChipTypeKeepsTable)
{
    bc_model m;
    select_pll_table(5);
    select_pll_table(9);
    EXPECT_EQ(g_miner->pll_table, pll_table_get(2).rows);
    EXPECT_TRUE(m.logged("Failed! Chip type wrong!\n"));
}

TEST(SensorDivider, ValuesAndPlacement)
{
    bc_model m;
    uint16_t img[8] = {0x0D01, 0x3E02, 0, 0x0010, 0x1234, 0x0000, 0x5678, 0};
    uint8_t cmd[12];
    gen_tsadc_divider(0, 1, 900, 0, img, cmd);
    EXPECT_EQ(img[3], 0x0011);  // 17 in the low byte of word 3
    EXPECT_EQ(cmd[8], 0x80);  // chip 1 of a type with the third-chip bit
    EXPECT_EQ(cmd[0], 0x3E);
    gen_tsadc_divider(0, 2, 900, 15, img, cmd);
    EXPECT_EQ(img[3], 0x000A);
    EXPECT_EQ(cmd[8], 0x00);
    gen_tsadc_divider(0, 1, 50, 13, img, cmd);
    EXPECT_EQ(img[1], 0x0102);
    EXPECT_EQ(cmd[8], 0x00);
}

TEST(SensorDivider, Type12DividersDoNotPileUp)
{
    bc_model m;
    uint16_t img[8] = {0x0D00, 0, 0, 62, 512, 0, 0, 0};
    uint8_t cmd[12];
    gen_tsadc_divider(0, 1, 900, 12, img, cmd);  // 17
    EXPECT_EQ(cmd[4] << 8 | cmd[5], 62 | 17);
    gen_tsadc_divider(0, 1, 50, 12, img, cmd);  // 1
    EXPECT_EQ(cmd[4] << 8 | cmd[5], 62 | 1);
    EXPECT_EQ(img[3], 62);
    EXPECT_EQ(cmd[8], 0x80);  // chip 1 of type 12 carries the third-chip bit
}

TEST(Reg0d, WriteImageAndReadValue)
{
    bc_model m;
    reg0d_write(0, 3, 0xDA035, 0x89ABCDEF);
    const uint16_t *img = bc_chain_rec(0)->img0d;
    EXPECT_EQ(img[0], 0x0D03);
    EXPECT_EQ(img[3], 0x001D);
    EXPECT_EQ(img[4], 0xA035);
    EXPECT_EQ(img[5], 0x89AB);
    EXPECT_EQ(img[6], 0xCDEF);
    ASSERT_EQ(m.writes().size(), 1u);
    EXPECT_EQ(m.writes()[0], (bc_model::op{'W', 3, 0xDA035, 0x89ABCDEF}));
    EXPECT_EQ(reg0d_read(0, 3, 0xDA035), 0x89ABCDEFu);
    EXPECT_EQ(img[3], 0x000D);
    EXPECT_EQ(bc_chain_rec(0)->cmd_return_failed, 0);
}

TEST(Reg0d, FiveUnansweredTriesFlagTheChain)
{
    bc_model m;
    m.set(2, 0x84001, 7);
    m.unanswered_0d = 4;
    EXPECT_EQ(reg0d_read(0, 2, 0x84001), 7u);
    EXPECT_EQ(bc_chain_rec(0)->cmd_return_failed, 0);
    m.unanswered_0d = 5;
    EXPECT_EQ(reg0d_read(0, 2, 0x84001), 0u);
    EXPECT_EQ(bc_chain_rec(0)->cmd_return_failed, 1);
    EXPECT_EQ(bc_chain_rec(0)->failing_chip, 1);
    EXPECT_TRUE(m.logged("chain0: chip1 CMD 0D fail! \n"));
}

TEST(ConfigRegBits, FailedReadLeavesTheRegisterAlone)
{
    // A read that never got an answer must not turn into a write that
    // clears the rest of the register.
    bc_model m;
    m.set(1, 0xC8803, 0xC00FFFFF);
    m.clear_trace();
    m.unanswered_0d = 5;
    EXPECT_EQ(config_reg_bits(0, 1, 0xC8803, 29, 20, 1023), 0);
    EXPECT_TRUE(m.writes().empty());
    EXPECT_EQ(m.reg(1, 0xC8803), 0xC00FFFFFu);
    EXPECT_EQ(bc_chain_rec(0)->cmd_return_failed, 1);
    EXPECT_EQ(config_reg_bits(0, 1, 0xC8803, 29, 20, 1023), 1);
    EXPECT_EQ(m.reg(1, 0xC8803), 0xFFFFFFFFu);
}

TEST(Reg0d, NoChainRecordFailsLoudly)
{
    bc_model m;
    g_miner = nullptr;
    EXPECT_FALSE(reg0d_write(0, 1, 0x84001, 1));
    bool ok = true;
    EXPECT_EQ(reg0d_read(0, 1, 0x84001, &ok), 0u);
    EXPECT_FALSE(ok);
    EXPECT_TRUE(m.logged("chain0: no chain record for command 0D\n"));
    EXPECT_TRUE(m.writes().empty());
}

TEST(ConfigRegBits, FieldWrites)
{
    bc_model m;
    m.set(1, 0xC8803, 0xFFFFFFFF & ~(0x3FFu << 20));
    EXPECT_EQ(config_reg_bits(0, 1, 0xC8803, 29, 20, 1023), 1);
    EXPECT_EQ(m.reg(1, 0xC8803), 0xFFFFFFFFu);
    m.set(1, 0xC8803, 0xC00FFFFF);
    config_reg_bits(0, 1, 0xC8803, 29, 20, 0);
    EXPECT_EQ(m.reg(1, 0xC8803), 0xC00FFFFFu);
    EXPECT_EQ(config_reg_bits(0, 1, 0x84001, 31, 0, 0x12345678), 1);
    EXPECT_EQ(m.reg(1, 0x84001), 0x12345678u);
    m.clear_trace();
    EXPECT_EQ(config_reg_bits(0, 1, 0x84001, 3, 5, 1), 0);
    EXPECT_TRUE(m.writes().empty());
    EXPECT_TRUE(m.logged("ERROR: Config to addr[0x84001] via bits:  start_bit is high than stop_bit\r\n"));
}

TEST(PllWord, PackedRowsDecodeToTheirFrequency)
{
    bc_model m;
    struct c {
        unsigned type;
        int table;
    } cases[] = {{0, 1}, {1, 1}, {10, 2}, {5, 2}, {12, 2}, {14, 1}, {15, 1}};
    for (const c &k : cases) {
        set_chip_feature(0, k.type, 0);
        const pll_table t = pll_table_get(k.table);
        for (int i = 0; i < t.count; i += 7) {
            const bc_pll_row &r = t.rows[i];
            uint32_t p = r.word | uint32_t(r.div1) << 16 | uint32_t(r.div2) << 24;
            uint8_t cfg[12] = {};
            make_pll_word(0, 2, k.type, unsigned(r.freq), p, cfg);
            cfg_fields f{};
            parse_cfg_reg(0, cfg, &f, k.type);
            EXPECT_EQ(f.pll_freq, uint16_t(r.freq)) << "type " << k.type << " row " << i;
        }
    }
    set_chip_feature(0, 13, 0);
    uint8_t cfg[12] = {};
    make_pll_word(0, 1, 13, 850, 85 | 5u << 16, cfg);
    cfg_fields f{};
    parse_cfg_reg(0, cfg, &f, 13);
    EXPECT_EQ(f.pll_freq, 850);
    make_pll_word(0, 1, 15, 900, 75 | 1u << 16, cfg);
    EXPECT_EQ(cfg[7] & 0x20, 0x20);
}

TEST(ChipPllIndex, WritesTheMemoryPllRowToAllChips)
{
    bc_model m(3);
    m.cfg[2] = {0xC0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0, 0};
    ASSERT_EQ(set_chip_pll_index(0, 2, 6), 1);
    ASSERT_EQ(m.cfg_writes.size(), 1u);
    // No register command goes out; the image carries chip 1's new divider.
    EXPECT_TRUE(m.ops.empty());
    EXPECT_EQ(bc_chain_rec(0)->img0d[1] >> 8, 16);
    cfg_fields f{};
    parse_cfg_reg(0, m.cfg[3].data(), &f, 13);
    EXPECT_EQ(f.pll_freq, 850);
    EXPECT_EQ(m.cfg[3][0] & 0xC0, 0xC0);
    EXPECT_EQ(m.cfg[3][9], 0xF3);
    for (int i = 0; i < 13; i++) {
        set_chip_pll_index(0, 1, i);
        parse_cfg_reg(0, m.cfg[1].data(), &f, 13);
        EXPECT_EQ(f.pll_freq, g_mem_pll_rows[i].freq) << i;
    }
}

TEST(ChipPllIndex, FailedRegisterReadWritesNothing)
{
    // Unanswered, the image would go out with bytes 3 to 11 cleared.
    bc_model m(3);
    m.cfg[2] = {0xC0, 0, 0, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0xFF, 0x77, 0x88};
    m.obj.cmd_read_register = [](int, int, uint8_t *, int) { return false; };
    EXPECT_EQ(set_chip_pll_index(0, 2, 6), 0);
    EXPECT_TRUE(m.cfg_writes.empty());
    EXPECT_TRUE(m.logged("set 6 PLL faile"));
    EXPECT_EQ(m.cfg[2][3], 0x11);
}

TEST(BeginCheck, RebuildsTheRegisterImagesForTheTypeItSettlesOn)
{
    bc_model m(1);
    bc_chain &c = *bc_chain_rec(0);
    build_reg_images(0, 13);  // the images of the type detection had
    // Byte 3 bits 4 to 6 at 5: type 10.
    m.cfg[1] = {0, 0, 0, 0x50, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(begin_check(0), 10);
    EXPECT_EQ(std::vector<uint16_t>(c.img09, c.img09 + 8),
              (std::vector<uint16_t>{0x0900, 0x0250, 0x4050, 0, 0x00A0, 0x0004, 0, 0}));
    EXPECT_EQ(std::vector<uint16_t>(c.img0d, c.img0d + 8), (std::vector<uint16_t>{0x0D00, 0, 0, 62, 512, 0, 0, 0}));
    EXPECT_EQ(c.img09_set, 1);
    // Anything else: type 4, the images of the other types.
    build_reg_images(0, 13);
    m.cfg[1][3] = 0x40;
    EXPECT_EQ(begin_check(0), 4);
    EXPECT_EQ(std::vector<uint16_t>(c.img09, c.img09 + 8),
              (std::vector<uint16_t>{0x0900, 0x0250, 0x40C2, 0, 0x00A0, 0x0024, 0xFFFF, 0}));
    EXPECT_EQ(std::vector<uint16_t>(c.img0d, c.img0d + 8),
              (std::vector<uint16_t>{0x0D00, 0x0250, 0xA006, 10240, 768, 0, 0, 0}));
}

TEST(CfgDecode, EdgeCases)
{
    bc_model m;
    cfg_fields f{};
    uint8_t b[12] = {0x05, 0x55, 0x00};
    parse_cfg_reg(0, b, &f, 13);
    EXPECT_EQ(f.pre_div, 5);
    EXPECT_EQ(f.fb_div, 85);
    EXPECT_EQ(f.post_div, 0);
    EXPECT_EQ(f.pll_freq, 850);
    EXPECT_EQ(f.half_freq, 425);
    uint8_t c[12] = {0x05, 96, 0x07};
    parse_cfg_reg(0, c, &f, 13);
    EXPECT_EQ(f.pll_freq, 30);
    uint8_t z[12] = {0x00, 0xFF, 0xFF, 0xFF};
    parse_cfg_reg(0, z, &f, 13);
    EXPECT_EQ(f.pll_freq, 0);
    EXPECT_EQ(f.half_freq, 0);
    set_chip_feature(0, 8, 0);
    uint8_t d[12] = {};
    d[11] = 0xF0;
    f.flag_b9_0 = 7;
    f.sensor = 9;
    parse_cfg_reg(0, d, &f, 8);
    EXPECT_EQ(f.cores, 4);
    EXPECT_EQ(f.flag_b9_0, 7);  // not a field of this chip type
    EXPECT_EQ(f.sensor, 0);
}

TEST(Reg0dDecode, Fields)
{
    uint8_t r[12] = {0, 0, 0x03, 0x44, 0, 0x21, 0, 0x99, 0, 0, 0x19, 0x54};
    reg0d_fields f{};
    parse_reg0d(0, r, &f, 8);
    EXPECT_EQ(f.identity, 6484);
    EXPECT_EQ(f.sensor, 0x344);
    EXPECT_EQ(f.aux_pll_lock, 0);
    EXPECT_EQ(f.divider, 0x21);
    parse_reg0d(0, r, &f, 13);
    EXPECT_EQ(f.osc, 0);
    EXPECT_EQ(f.sensor, 0);
    parse_reg0d(0, r, &f, 0);
    EXPECT_EQ(f.aux_pll_lock, 1);
    EXPECT_EQ(f.osc, 0x99);
}
