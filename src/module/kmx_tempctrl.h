/* Chain temperature policy: plausibility, overheat shutdown, watchdog
 * reports and status codes for the fan and frequency decisions. */
#ifndef KMX_TEMPCTRL_H
#define KMX_TEMPCTRL_H

#include <pthread.h>
#include <stdbool.h>
#include <stdint.h>

#include "module/kmx_tvsensor.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct c_temp_cfg {
    int16_t tmp_min;
    int16_t tmp_max;
    int16_t tmp_target;
    int16_t tmp_thr_lo;
    int16_t tmp_thr_hi;
    int16_t tmp_thr_warn;
    int16_t tmp_thr_pd;
    int tmp_exp_time; /* ms */
    bool tmp_read_by_group;
    int tmp_read_group_cnt;
} c_temp_cfg;

/* Status codes of kmx_tempctrl_update_chain_temp. */
enum { TEMP_INVALID = -1, TEMP_NORMAL = 0, TEMP_COLD = 1, TEMP_HOT = 2, TEMP_WARNING = 3, TEMP_OVERHEAT = 4,
       TEMP_NEAR_WARNING = 5 };

extern c_temp_cfg g_tmp_cfg;
extern c_temp g_chain_tmp[8];
extern int g_chip_tmp[8][168];
extern int g_chain_tmp_fails[8];
extern int g_temp_status[8];
extern bool g_overheat;
extern pthread_mutex_t g_temp_lock;
/* Per-chip temperature offsets from the board map. */
extern int adjust_temp_map[8][168];

void kmx_tempctrl_get_defcfg(c_temp_cfg *p_cfg);
void kmx_tempctrl_set_cfg(c_temp_cfg *p_cfg);
void kmx_tempctrl_init(c_temp_cfg *p_cfg);
/* Really signed: -1 .. 5. */
uint32_t kmx_tempctrl_update_chain_temp(int chain_id);
void kmx_tempctrl_update_temp(uint8_t chain_mask);
int kmx_get_tmp_target(void);
/* The last status. */
int kmx_check_temp_loop(int chain_id, int count);
void kmx_chain_preheat(unsigned chain_id, int target, unsigned time_out);
int get_all_chain_aver_temp_max(void);

#ifdef __cplusplus
}
#endif

#endif
