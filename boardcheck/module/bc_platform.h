// The board test's one object of operations, filled at start-up from the
// hub kind and the voltage-ID type, and the front functions over it.
#pragma once

#include <cstdint>

enum : uint8_t {
    KMX_OBJ_I2C_PSU = 0x1,  // the supply is driven over I2C
    KMX_OBJ_SOC_HUB = 0x2,  // SoC hub (else the FPGA hub)
};

struct kmx_obj_t {
    uint8_t flags;
    uint32_t vid_type;        // 255 while being detected, then 0..5
    const uint32_t *vid_map;  // 32 entries indexed by VID
    int chip_type;            // last seen on a chain
    void (*set_power_en)(int chain, int value);
    void (*set_start_en)(int chain, int value);
    void (*set_reset)(int chain, int value);
    void (*set_led)(int chain, int value);
    int (*get_plug)(int chain);
    bool (*set_vid)(int chain, int vid);
    void (*set_green_led)(int on);
    void (*set_red_led)(int on);
    int (*get_button)();
    int (*set_spi_speed)(int chain, int index);
    bool (*cmd_reset)(int chain, int chip, const uint8_t pattern[2], uint8_t out[4]);
    int (*cmd_bist_start)(int chain, int chip);
    bool (*cmd_bist_collect)(int chain, int chip);
    bool (*cmd_bist_fix)(int chain, int chip);
    bool (*cmd_write_register)(int chain, int chip, const uint8_t *data, int len);
    bool (*cmd_read_register)(int chain, int chip, uint8_t *buf, int len);
    bool (*cmd_read_write_reg0d)(int chain, int chip, const uint8_t *data, int len, uint8_t *reply);
    bool (*cmd_write_job)(int chain, int chip, const uint8_t *job, int len);
    bool (*cmd_read_result)(int chain, int chip, uint8_t *buf, int len);
    int (*cmd_auto_nonce)(int chain, int on, int n);
    bool (*cmd_read_nonce)(int chain, uint8_t *buf, int n);
    bool (*cmd_config_core)(int chain, int chip, const uint8_t *data, int len);
    void (*set_pwm)(int fan, int freq, int duty);
};

extern kmx_obj_t *g_kmx_obj;
extern const uint32_t g_vid_map_table[6][32];

int sys_platform_init(int mode);  // 1
// Starts the GPIO block of the hub the SoC-hub flag selects.
void init_hub_gpio();
// The line, LED, button and fan slots of the hub the SoC-hub flag selects.
void fill_hub_slots(kmx_obj_t &o);
// The 4-bit board-type pin value → its index in the type code table, or -1.
int ctrl_board_type_index(int gpio_value);

void kmx_set_power_en(int chain, int value);
void kmx_set_start_en(int chain, int value);
void kmx_set_reset(int chain, int value);
void kmx_set_led(int chain, int value);
int kmx_get_plug(int chain);
bool kmx_set_vid(int chain, int vid);
void kmx_set_green_led(int on);
void kmx_set_red_led(int on);
int kmx_get_button();
int kmx_set_spi_speed(int chain, int index);
bool kmx_cmd_reset(int chain, int chip, const uint8_t pattern[2], uint8_t out[4]);
int kmx_cmd_bist_start(int chain, int chip);
bool kmx_cmd_bist_collect(int chain, int chip);
bool kmx_cmd_bist_fix(int chain, int chip);
bool kmx_cmd_write_register(int chain, int chip, const uint8_t *data, int len);
bool kmx_cmd_read_register(int chain, int chip, uint8_t *buf, int len);
bool kmx_cmd_read_write_reg0d(int chain, int chip, const uint8_t *data, int len, uint8_t *reply);
bool kmx_cmd_write_job(int chain, int chip, const uint8_t *job, int len);
bool kmx_cmd_read_result(int chain, int chip, uint8_t *buf, int len);
int kmx_cmd_auto_nonce(int chain, int on, int n);
bool kmx_cmd_read_nonce(int chain, uint8_t *buf, int n);
bool kmx_cmd_config_core(int chain, int chip, const uint8_t *data, int len);
void kmx_set_pwm(int fan, int freq, int duty);

int kmx_set_vid_by_step(int chain, int from, int to);  // 1

// Command 04 with fixed patterns, chip 0 = all chips.
bool kmx_cmd_resetall(int chain, uint8_t out[4]);
bool cmd_reset_ffff(int chain, uint8_t out[4]);
bool cmd_reset_eded(int chain, uint8_t out[4]);
bool cmd_reset_bist(int chain, uint8_t out[4]);
bool cmd_reset_dag(int chain, uint8_t out[4]);

void chip_count_hook(int chain, int chips);
int job_hook(int chain, int words, int us);
void init_detected_chains(const uint8_t *chains, int count);
