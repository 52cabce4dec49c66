/* Tables of operations filled by the platform back-ends, and the kmx_ front
 * functions through which every chain, GPIO, chip-command and fan call goes. */
#ifndef KMX_OPS_H
#define KMX_OPS_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct kmx_fan_temp_s kmx_fan_temp_s;

typedef struct KMX_CHAIN_TAG {
    bool (*power_on)(uint8_t chain_id, uint8_t mode);
    bool (*power_down)(uint8_t chain_id);
    bool (*hw_reset)(uint8_t chain_id);
    bool (*power_on_all)(void);
    bool (*power_down_all)(void);
    bool (*record_params)(void);
} KMX_CHAIN_T;

typedef struct KMX_CMD_TAG {
    void (*set_speed)(uint8_t chain_id, int index);
    bool (*cmd_reset)(uint8_t chain_id, uint8_t chip_id, uint8_t *in, uint8_t *out);
    bool (*cmd_reset_hub)(uint8_t chain_id);
    bool (*cmd_clean_spi_chain)(uint8_t chain_id);
    int (*cmd_bist_start)(uint8_t chain_id, uint8_t chip_id);
    bool (*cmd_bist_collect)(uint8_t chain_id, uint8_t chip_id);
    bool (*cmd_bist_fix)(uint8_t chain_id, uint8_t chip_id);
    bool (*cmd_write_register)(uint8_t chain_id, uint8_t chip_id, uint8_t *reg, int len);
    bool (*cmd_read_register)(uint8_t chain_id, uint8_t chip_id, uint8_t *reg, int len);
    bool (*cmd_read_write_reg0d)(uint8_t chain_id, uint8_t chip_id, uint8_t *in, int len, uint8_t *out);
    bool (*cmd_write_job)(uint8_t chain_id, uint8_t chip_id, uint8_t *job, int len);
    bool (*cmd_read_result)(uint8_t chain_id, uint8_t chip_id, uint8_t *res, int len);
    bool (*cmd_auto_nonce)(uint8_t chain_id, int mode, int len);
    bool (*cmd_read_nonce)(uint8_t chain_id, uint8_t *res, int len);
    bool (*cmd_get_temp)(kmx_fan_temp_s *fan_temp);
    bool (*cmd_write_reg05)(uint8_t chain_id, uint8_t chip_id, uint8_t *reg, int len);
    bool (*cmd_read_reg06)(uint8_t chain_id, uint8_t chip_id, uint8_t *in, int len, uint8_t *out);
} KMX_CMD_T;

typedef struct KMX_GPIO_TAG {
    void (*set_power_en)(uint8_t chain_id, int val);
    void (*set_start_en)(uint8_t chain_id, int val);
    void (*set_reset)(uint8_t chain_id, int val);
    void (*set_led)(uint8_t chain_id, int val);
    int (*get_plug)(uint8_t chain_id);
    bool (*set_vid)(uint8_t chain_id, int vid);
    void (*set_green_led)(int mode);
    void (*set_red_led)(int mode);
    int (*get_button)(void);
} KMX_GPIO_T;

typedef struct KMX_PWM_TAG {
    void (*set_pwm)(uint8_t fan_id, int frequency, int duty);
    void (*get_pwm)(uint8_t fan_id, int *frequency, int *duty);
} KMX_PWM_T;

/* Fill a table for g_platform (each zeroes its table first). */
void init_kmx_chain(void);
void init_kmx_cmd(void);
void init_kmx_gpio(void);
void init_kmx_pwm(void);

/* Overrides for a caller outside the library; only the named slots, and
 * only non-null entries, are copied. */
void register_kmx_chain(KMX_CHAIN_T *ops);
void register_kmx_cmd(KMX_CMD_T *ops);
void register_kmx_gpio(KMX_GPIO_T *ops);
void register_kmx_pwm(KMX_PWM_T *ops);

/* Chain table */
bool kmx_chain_power_on(uint8_t chain_id, uint8_t mode);
bool kmx_chain_power_down(uint8_t chain_id);
bool kmx_chain_hw_reset(uint8_t chain_id);
bool kmx_chain_power_on_all(void);
bool kmx_chain_power_down_all(void);
bool kmx_record_params(void);

/* Command table */
bool kmx_set_spi_speed(uint8_t chain_id, int index);
bool kmx_cmd_reset_hub(uint8_t chain_id);
bool kmx_cmd_clean_spi_hub(uint8_t chain_id);
bool kmx_cmd_reset(uint8_t chain_id, uint8_t chip_id, uint8_t *in, uint8_t *out);
int kmx_cmd_bist_start(uint8_t chain_id, uint8_t chip_id);
bool kmx_cmd_bist_collect(uint8_t chain_id, uint8_t chip_id);
bool kmx_cmd_bist_fix(uint8_t chain_id, uint8_t chip_id);
bool kmx_cmd_write_register(uint8_t chain_id, uint8_t chip_id, uint8_t *reg, int len);
bool kmx_cmd_read_register(uint8_t chain_id, uint8_t chip_id, uint8_t *reg, int len);
bool kmx_cmd_read_write_reg0d(uint8_t chain_id, uint8_t chip_id, uint8_t *in, int len, uint8_t *out);
bool kmx_cmd_write_job(uint8_t chain_id, uint8_t chip_id, uint8_t *job, int len);
bool kmx_cmd_read_result(uint8_t chain_id, uint8_t chip_id, uint8_t *res, int len);
bool kmx_cmd_auto_nonce(uint8_t chain_id, int mode, int len);
bool kmx_cmd_read_nonce(uint8_t chain_id, uint8_t *res, int len);
bool kmx_cmd_get_temp(kmx_fan_temp_s *fan_temp);
bool kmx_cmd_resetall(uint8_t chain_id, uint8_t chip_id, uint8_t *out);
bool kmx_cmd_resetjob(uint8_t chain_id, uint8_t chip_id, uint8_t *out);
bool kmx_cmd_resetbist(uint8_t chain_id, uint8_t chip_id, uint8_t *out);

/* GPIO table */
void kmx_set_power_en(uint8_t chain_id, int val);
void kmx_set_start_en(uint8_t chain_id, int val);
void kmx_set_reset(uint8_t chain_id, int val);
void kmx_set_led(uint8_t chain_id, int val);
int kmx_get_plug(uint8_t chain_id);
bool kmx_set_vid(uint8_t chain_id, int vid);
bool kmx_set_vid_by_step(uint8_t chain_id, int start_vid, int target_vid);
void kmx_set_green_led(int mode);
void kmx_set_red_led(int mode);
int kmx_get_button(void);

/* PWM table */
void kmx_set_pwm(uint8_t fan_id, int frequency, int duty);
void kmx_get_pwm(uint8_t fan_id);

/* Called once by chain bring-up after the first chain that comes up. */
typedef void (*kmx_chain_callback_t)(int chain_id, int chip_type);
void kmx_chain_callback_register(kmx_chain_callback_t callback);
extern kmx_chain_callback_t g_chain_callback;

/* 1 while a chain is up; cleared on power-down in the mining process. */
extern int g_chain_alive[8];

#ifdef __cplusplus
}
#endif

#endif
