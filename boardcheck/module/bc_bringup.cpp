// Chain bring-up steps: LEDs, SPI speed, power-on with chip-type detection,
// chip count and machine type, register initialisation, the chip BIST
// sequence, power-off and the endless command-04 loop.
#include <cassert>
#include <cstdlib>
#include <cstring>

#include "drv/bc_links.h"
#include "module/bc_chain.h"
#include "module/bc_miner.h"
#include "module/bc_platform.h"
#include "module/bc_steps.h"
#include "module/chip_features.h"
#include "module/chip_reg.h"
#include "module/test_log.h"
#include "os/os.h"

namespace {

constexpr int kPowerOnVid = 18;
constexpr int kMaxChainChips = 169;

struct TypeCode {
    uint8_t reply0;
    int type;
};
constexpr TypeCode kTypeCodes[] = {{0x04, 0}, {0x34, 8},  {0x54, 10}, {0x64, 1}, {0x74, 6},
                                   {0x94, 12}, {0xA4, 13}, {0xB4, 5},  {0xC4, 7}};

struct CountType {
    int chips;
    int machine;
};

int lookup(const CountType *t, size_t n, int chips) {
    for (size_t i = 0; i < n; i++)
        if (t[i].chips == chips) return t[i].machine;
    return MACHINE_TYPE_UNKNOWN;
}

// Command-09 words 1..6 by chip type.
void reg09_words(int chip_type, uint16_t w[6]) {
    static const uint16_t k567[6] = {0x0250, 0x4052, 0, 0x00A0, 0x0024, 0xFFFF};
    static const uint16_t k10[6] = {0x0250, 0x4050, 0, 0x00A0, 0x0004, 0};
    static const uint16_t k12[6] = {0x0250, 0x4052, 0, 0x00A0, 0x0024, 0};
    static const uint16_t k13[6] = {0x0560, 0x0700, 0x0100, 0x00A0, 0x0004, 0xFFFF};
    static const uint16_t k1415[6] = {0x0250, 0x4030, 0, 0x00A0, 0x0004, 0};
    static const uint16_t k389[6] = {0x0250, 0x40C2, 0x0005, 0x5000, 0x0004, 0};
    static const uint16_t kOther[6] = {0x0250, 0x40C2, 0, 0x00A0, 0x0024, 0xFFFF};
    const uint16_t *src = kOther;
    switch (chip_type) {
    case 5: case 6: case 7: src = k567; break;
    case 10: src = k10; break;
    case 12: src = k12; break;
    case 13: src = k13; break;
    case 14: case 15: src = k1415; break;
    case 3: case 8: case 9: src = k389; break;
    default: break;
    }
    memcpy(w, src, 6 * sizeof(uint16_t));
}

// Command-0D words 1..7 by chip type.
void reg0d_words(int chip_type, uint16_t w[7]) {
    static const uint16_t k1012[7] = {0, 0, 62, 512, 0, 0, 0};
    static const uint16_t k13[7] = {0x3E02, 0, 0, 0, 0, 0, 0};
    static const uint16_t k1415[7] = {0, 0, 6, 512, 0, 0, 0};
    static const uint16_t k389[7] = {0, 0xA000, 16000, 512, 8, 100, 0};
    static const uint16_t kOther[7] = {0x0250, 0xA006, 10240, 768, 0, 0, 0};
    const uint16_t *src = kOther;
    switch (chip_type) {
    case 10: case 12: src = k1012; break;
    case 13: src = k13; break;
    case 14: case 15: src = k1415; break;
    case 3: case 8: case 9: src = k389; break;
    default: break;
    }
    memcpy(w, src, 7 * sizeof(uint16_t));
}

void put_words(const uint16_t *w, int n, uint8_t *out) {
    for (int i = 0; i < n; i++) {
        out[2 * i] = uint8_t(w[i] >> 8);
        out[2 * i + 1] = uint8_t(w[i]);
    }
}

// A type-10 reply can come from a type-14 chip: those reset to a 120 MHz
// PLL where type 10 resets to 30 MHz. A type-14 chain then reports its chip
// count, and a 0D identity of 6484 marks type 15.
int refine_type10(int chain, bc_chain *c) {
    c->feat.clk_mult = 12;
    uint8_t cfg[12] = {};
    cfg_fields f{};
    if (kmx_cmd_read_register(chain, 0, cfg, 12)) parse_cfg_reg(chain, cfg, &f, 10);
    if (f.pll_freq != 120) return 10;
    c->chip_num = kmx_cmd_bist_start(chain, 0);
    kos::sleep_ms(10);
    uint16_t w[7];
    reg0d_words(14, w);
    uint8_t req[12], reply[12] = {};
    put_words(w, 6, req);
    reg0d_fields r{};
    if (kmx_cmd_read_write_reg0d(chain, 1, req, 12, reply)) parse_reg0d(chain, reply, &r, 14);
    return r.identity == 6484 ? 15 : 14;
}

bool fail_bist(int chain, const char *text) {
    test_logf(5, TL_PLAIN, text, chain);
    if (bc_chain *c = bc_chain_rec(chain)) c->cmd_return_failed = 1;
    test_logf(5, TL_PLAIN, "chain%d: failed in kmx_chain_init(), SHUTDOWN\n", chain);
    return false;
}

}  // namespace

int chip_type_from_reset(uint8_t reply0) {
    for (const TypeCode &t : kTypeCodes)
        if (t.reply0 == reply0) return t.type;
    return 4;
}

void build_reg_images(int chain, int chip_type) {
    bc_chain *c = bc_chain_rec(chain);
    if (!c) return;
    c->img09[0] = 0x0900;
    reg09_words(chip_type, c->img09 + 1);
    c->img09[7] = 0;
    c->img09_set = 1;
    c->img0d[0] = 0x0D00;
    reg0d_words(chip_type, c->img0d + 1);
}

int machine_type_for(int chip_type, int chips, int mode) {
    if (mode == TEST_MODE_PARALLEL) return MACHINE_TYPE_PARALLEL;
    static const CountType t0[] = {{63, 31}, {68, 0}, {99, 13}, {105, 17}, {140, 18}, {164, 15}};
    static const CountType t1[] = {{72, 1}, {120, 26}};
    static const CountType t10[] = {{93, 19}, {99, 12}, {105, 16}, {140, 20}, {164, 14}};
    static const CountType t14[] = {{140, 22}, {148, 21}, {111, 23}, {114, 24}};
    static const CountType t15[] = {{70, 27}, {74, 28}, {105, 29}, {111, 30}};
    switch (chip_type) {
    case 0: return lookup(t0, 6, chips);
    case 1: return lookup(t1, 2, chips);
    case 5: case 6: case 7: return chip_type;
    case 8: return 3;
    case 10: return lookup(t10, 5, chips);
    case 12: return 11;
    case 13: return 32;
    case 14: return lookup(t14, 4, chips);
    case 15: return lookup(t15, 4, chips);
    default: return MACHINE_TYPE_UNKNOWN;
    }
}

int set_board_leds(int green, int red) {
    test_log(3, TL_SECTION, "Set control board led");
    kmx_set_green_led(green);
    kmx_set_red_led(red);
    return 1;
}

int set_chain_led(int chain, int value) {
    test_logf(3, TL_SECTION, "Set chain%d led", chain);
    kmx_set_led(chain, value);
    return 1;
}

int set_chain_spi_speed(int chain) {
    bc_chain *c = bc_chain_rec(chain);
    const int index = c ? c->spi_speed : 0;
    test_logf(3, TL_PLAIN, "chain%d: set spi speed %d\n", chain, index);
    return kmx_set_spi_speed(chain, index) ? 1 : 0;
}

int power_on_and_detect(int chain, int machine_type, int mode) {
    (void)machine_type;
    bc_chain *c = bc_chain_rec(chain);
    if (!c) return 0;
    test_logf(3, TL_SECTION, "chain%d power on, vid %0d", chain, kPowerOnVid);
    test_logf(3, TL_PLAIN, "chain%d: set power on vid: %d\n", chain, kPowerOnVid);
    kmx_set_vid(chain, kPowerOnVid);
    test_logf(2, TL_PLAIN, "chain%d: sleep %ds \n", chain, 1);
    kos::sleep_s(1);
    test_logf(2, TL_PLAIN, "chain%d: power on\n", chain);
    zynq_chain_power_on(chain, 0, mode);
    kos::sleep_s(1);
    uint8_t out[4] = {};  // a chain that never answers stays type 4
    if (!kmx_cmd_resetall(chain, out)) {
        test_logf(4, TL_PLAIN, "chain%d: RESET failed 1 times\n", chain);
        if (!kmx_cmd_resetall(chain, out)) test_logf(5, TL_PLAIN, "chain%d: RESET failed 2 times\n", chain);
    }
    int type = chip_type_from_reset(out[0]);
    c->chip_type = unsigned(type);
    if (type == 4) {
        c->chip_type_not_found = 1;
        test_logf(5, TL_PLAIN, "chain%d: cann't find right chip type!!!\n", chain);
        return 0;
    }
    if (type == 10) type = refine_type10(chain, c);
    c->chip_type = unsigned(type);
    if (g_kmx_obj) g_kmx_obj->chip_type = type;
    test_logf(3, TL_PLAIN, "chain%d: detect chip type: %d\n", chain, type);
    set_chip_feature(chain, unsigned(type), mode);
    return 1;
}

int bist_and_get_chipnum(int chain, int *machine_type, int mode) {
    bc_chain *c = bc_chain_rec(chain);
    if (!c) return 0;
    *machine_type = MACHINE_TYPE_UNKNOWN;
    c->machine_type = MACHINE_TYPE_UNKNOWN;
    const int chips = (c->chip_type == 14 || c->chip_type == 15) ? c->chip_num : kmx_cmd_bist_start(chain, 0);
    if (chips < 1 || chips > kMaxChainChips) {
        c->chip_num_wrong = 1;
        // A board of more chips than a chain holds fails on the first chip
        // past that count, as a count above the machine type's row does.
        if (chips > kMaxChainChips) c->failing_chip = uint8_t(kMaxChainChips + 1);
        test_logf(5, TL_PLAIN, "chain%d: BIST01 failed!!! Cannot get chip number!\n", chain);
        return 0;
    }
    c->chip_num = chips;
    c->chip_num_wrong = 0;
    memset(c->chips, 0, sizeof c->chips);
    *machine_type = machine_type_for(int(c->chip_type), chips, mode);
    c->machine_type = *machine_type;
    if (*machine_type == MACHINE_TYPE_UNKNOWN) {
        c->chip_num_wrong = 1;
        test_logf(3, TL_PLAIN, "chain%d: detect %d chips\n", chain, chips);
        test_logf(5, TL_PLAIN, "chain%d: Cannot get machine type!\n", chain);
        return 0;
    }
    const char *model = machine_type_name(*machine_type);
    test_logf(3, TL_PLAIN, "chain%d: detect %d chips, machine type: %s\n", chain, chips, model);
    // Where the machine type does not follow the count, the row's count is
    // what every later step works on: chips past it would never be read.
    const int row_chips = machine_type_chips(*machine_type);
    if (chips > row_chips) {
        c->chip_num_wrong = 1;
        c->failing_chip = uint8_t(row_chips + 1);
        test_logf(5, TL_PLAIN, "chain%d: %d chips found, machine type %s has %d!\n", chain, chips, model, row_chips);
        return 0;
    }
    chip_count_hook(chain, chips);
    return 1;
}

int init_chip_registers(int chain, int chip_type, int machine_type) {
    test_logf(3, TL_SECTION, "chain%d init register %0d", chain, machine_type);
    apply_machine_type(chain, machine_type);
    bc_chain *c = bc_chain_rec(chain);
    if (!c) return 0;
    build_reg_images(chain, chip_type);
    uint8_t img[12];
    put_words(c->img09 + 1, 6, img);
    test_logf(1, TL_MINER, "chain%0d init reg09 type: %0d\n", chain, chip_type);
    kmx_cmd_write_register(chain, 0, img, 12);
    test_logf(1, TL_MINER, "chain%0d init reg0d type: %0d\n", chain, chip_type);
    kmx_cfg_tsadc_divider(chain, machine_type_min_freq(machine_type), chip_type);
    if (g_miner) g_miner->chip_regs_init = 1;
    return 1;
}

int chip_bist(int chain, bool mask, bool bist_fix) {
    cmd_reset_bist(chain, nullptr);
    kos::sleep_ms(10);
    if (!cmd_reset_bist(chain, nullptr)) return fail_bist(chain, "chain%d: RESETBIST failed\n");
    kos::sleep_s(1);
    if (mask) {
        test_logf(3, TL_PLAIN, "chain%d: enable BISTMASK\n", chain);
        uint8_t img[12] = {};
        kmx_cmd_read_register(chain, 1, img, 12);
        img[7] |= 0x10;
        kmx_cmd_write_register(chain, 0, img, 12);
        kos::sleep_us(200);
    }
    test_logf(3, TL_PLAIN, "chain%d: BISTSTART\n", chain);
    if (kmx_cmd_bist_start(chain, 0) != 0) return fail_bist(chain, "chain%d: BISTSTART failed\n");
    kos::sleep_ms(10);
    test_logf(3, TL_PLAIN, "chain%d: BISTCOLLECT\n", chain);
    if (!kmx_cmd_bist_collect(chain, 0)) return fail_bist(chain, "chain%d: BISTCOLLECT failed\n");
    kos::sleep_ms(10);
    if (bist_fix) {
        test_logf(3, TL_PLAIN, "chain%d: BISTFIX\n", chain);
        if (!kmx_cmd_bist_fix(chain, 0)) return fail_bist(chain, "chain%d: BISTFIX failed\n");
        kos::sleep_us(200);
    }
    if (bc_chain *c = bc_chain_rec(chain)) c->bist_fix_done = mask ? 1 : 0;
    return 1;
}

int chain_power_off(int chain) {
    test_logf(3, TL_PLAIN, "chain%d power off\n", chain);
    return kmx_chain_power_down(chain);
}

int send_cmd04_endless(int chain) {
    test_log(3, TL_PLAIN, "Start to send cmd04 endlessly. \n");
    test_log(3, TL_PLAIN, "Press IPset button to restart... \n");
    for (;;) {
        read_iic_power(chain);
        for (int i = 0; i < 51; i++) {
            if (kmx_get_button() == 0) return 0;
            cmd_reset_ffff(chain, nullptr);
            kos::sleep_ms(200);
        }
    }
}
