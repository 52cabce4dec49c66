// Decoding of the chips' register read-backs: the 12-byte configuration
// register (command 0A) and the 12-byte reply of command 0D.
#pragma once
#include <cstdint>


struct cfg_fields {
    uint16_t pre_div;
    uint16_t fb_div;
    uint16_t post_div;
    uint16_t pll_freq;
    uint16_t half_freq;
    uint16_t cores;
    uint16_t flag_b11_7;
    uint16_t flag_b9_0;
    uint16_t flag_b9_1;
    uint16_t pll_lock;
    uint16_t sensor;
    uint8_t nibble_lo;
    uint8_t nibble_hi;
};

struct reg0d_fields {
    uint16_t aux_pll_lock;
    uint16_t osc;
    uint16_t sensor;
    uint16_t divider;
    uint16_t identity;
};

// Fields the chip type does not have keep what *out held.
void parse_cfg_reg(int chain, const uint8_t raw[12], cfg_fields *out, unsigned chip_type);
void parse_reg0d(int chain, const uint8_t r[12], reg0d_fields *out, unsigned chip_type);

