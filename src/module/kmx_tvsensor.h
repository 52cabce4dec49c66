/* On-chip temperature and voltage sensors: conversions, mode switch, ADC
 * divider, per-chip reads and chain summaries. Per-chip buffers are
 * int[168] in chip order (index 0 = chip 1). */
#ifndef KMX_TVSENSOR_H
#define KMX_TVSENSOR_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* 9999 in every value = no valid reading. */
typedef struct c_temp {
    int16_t tmp_lo;
    int16_t tmp_hi;
    float tmp_avg;
    uint64_t last_update; /* ms */
} c_temp;

typedef struct c_volt {
    int16_t vol_lo;
    int16_t vol_hi;
    float vol_avg;
    uint64_t last_update;
} c_volt;

#define KMX_NO_READING 9999

/* Register-0x0d images per chain: chip type 5, and all others. */
extern uint8_t reg0d[8][12];
extern uint8_t reg0d_n5[8][12];
extern int reset_tsadc[8];
extern int s_tmp_read_group[8];
extern int g_err_chipnum;
extern bool g_tuning_over;

int kmx_temp_to_centigrade(int temp);
int kmx_volt_to_mV(int volt);
bool kmx_configure_tvsensor(int chain_id, int chip_id, bool is_tsensor);
void kmx_cfg_tsadc_divider(int chain_id, int chip_id, unsigned pll_clk);
int kmx_get_chip_temp(uint8_t chain_id, int *chip_temp);
int kmx_get_chip_temp_by_group(uint8_t chain_id, int *chip_temp, int group_cnt, bool read_all);
bool kmx_get_chip_volt(uint8_t chain_id, int *chip_volt);
void kmx_stat_chain_temp(int *chip_temp, c_temp *chain_temp);
void kmx_stat_chain_volt(int *chip_volt, c_volt *chain_volt);
bool kmx_get_chain_temp(uint8_t chain_id, c_temp *chain_tmp);
bool kmx_chain_get_volt(uint8_t chain_id, c_volt *volt);

#ifdef __cplusplus
}
#endif

#endif
