/* The machine's error state: a current code and message, one per chain slot,
 * and the files /tmp/errcode, /tmp/errchain and /tmp/errlog. */
#ifndef KMX_ERRCODE_H
#define KMX_ERRCODE_H

#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum _ERRCODE_TAG {
    ERRCODE_SUCC = 0,
    ERRCODE_NOT_PLUGGED = 21,
    ERRCODE_PSU_I2C_FAIL = 22,
    ERRCODE_ENCORE_ALL_FAIL = 23,
    ERRCODE_ENCORE_FAIL = 24,
    ERRCODE_SETPLL_FAIL = 25,
    ERRCODE_SETVOL_FAIL = 26,
    ERRCODE_BIST_FAIL = 27,
    ERRCODE_SPI_FAIL = 28,
    ERRCODE_I2C_FAIL = 29,
    ERRCODE_CONN_FAIL = 30,
    ERRCODE_BAD_CHIP = 31,
    ERRCODE_OVERHEAT = 32,
    ERRCODE_INV_TEMP = 33,
    ERRCODE_MISPLUGGED = 34,
    ERRCODE_PSU_LOW_VOLT = 35,
    ERRCODE_INV_CORENUM = 36,
    ERRCODE_INV_VIDTYPE = 37,
    ERRCODE_PSU_LOW_POWER = 40,
    ERRCODE_PSU_STARTUP_VOLT = 41,
    ERRCODE_SETPLL_PLANB_FAIL = 42,
    ERRCODE_VOLT_DIFF_FAIL = 43,
    ERRCODE_VOLTAB_DIFF_FAIL = 44,
    ERRCODE_BOARD_TEST = 46,
    ERRCODE_WATCHDOG = 47,
    ERRCODE_BAD_TEMP = 48,
    ERRCODE_PSU_TYPE_FAIL = 49,
    ERRCODE_SPI_HUB = 50,
    ERRCODE_SPI_HIGHSPEED = 51,
    ERRCODE_CONF_PARA1 = 52,
    ERRCODE_CONF_PARA2 = 53,
    ERRCODE_FWVER_CONFLICT = 54,
    ERRCODE_GDDR_SPEED_LOW = 55,
    ERRCODE_GDDR_ASIC_MASK = 56,
    ERRCODE_PSU_BAD_POWER = 57,
    ERRCODE_SWITCH_MODE = 160,
    ERRCODE_DEC_POWER = 161,
    ERRCODE_FREQ_ADJUST_ERR = 162,
    ERRCODE_PLL_REG_DIFF = 163,
    ERRCODE_VOLTAB_DIFF_WARN = 164,
    ERRCODE_HEX2BIN = 176,
    ERRCODE_BAD_REAR_CHIPS = 177,
    ERRCODE_INV_TUNE_PARAM = 178
} ERRCODE;

typedef struct {
    int code;
    const char *str;
} err_str_t;

bool kmx_set_errcode(ERRCODE code, char *errmsg, bool overwrite, int chain_id, int *chip_arr, int chip_arr_len);
void kmx_save_errcode(void);
void kmx_errcode_init(void);
const char *get_errstr(int code);
void kmx_save_errcode_log(int code, int chain_id);

#ifdef __cplusplus
}
#endif

#endif
