/* Frequency micro-adjustment: per-chip PLL refinement from the nonce and
 * hardware-error counts, and the voltage-balancing phase before it. */
#ifndef KMX_MICROADJUST_H
#define KMX_MICROADJUST_H

#include <stdbool.h>
#include <stdint.h>
#include <sys/time.h>

#include "module/kmx_tvsensor.h"

#ifdef __cplusplus
extern "C" {
#endif

#define MAX_ADJUST_RANGE 20

typedef struct chip_freq_nonce {
    int pll;
    int nonce;
    int hwerr;
} chip_freq_nonce_t;

typedef struct m_chip {
    int nonces_found;
    int hw_errors;
    int nVol;
    int nPll;
    int basePll;
    uint32_t last_nonce;
    int last_nonce_cnt;
    int last_hwerr_cnt;
    chip_freq_nonce_t freq_nonce_table[MAX_ADJUST_RANGE];
    bool adjust_en;
    int freq_adjust_cnt;
    int b_use_cnt;
} m_chip_t;

typedef struct m_chain {
    int chain_id;
    int num_active_chips;
    m_chip_t chips[168];
    struct timeval dev_start_tv;
    struct timeval freq_start;
    struct timeval volt_adjust_start;
    bool freq_adjust_en;
    bool freq_adjust_terminated;
    bool b_monitor;
    bool b_adjust;
    int freq_cnt;
    int freq_adjust_error;
    int volt;
    int volt_max;
    int volt_min;
    int pll;
    bool adjusted;
    bool hash_checked;
    struct timeval adjust_time;
    bool pllRefineDone;
} m_chain_t;

typedef enum { ADJUST_DOWN_UP = 0, ADJUST_DOWN = 1, ADJUST_UP = 2 } e_freq_adjut_mode;

extern m_chain_t g_n5chains[8];
/* Chips per series group on the board; groups are smoothed when above 2. */
extern int g_chip_rows;

void kmx_microadjust_setconfig(int monitor_time, int adjust_time, int adjust_cnt, int adjust_mode);
void kmx_microadjust_init(int chain_id, int num_active_chips, int pll);
void kmx_microadjust_nonce_inc(int chain_id, int chip_id);
void kmx_microadjust_hwerr_inc(int chain_id, int chip_id);
void kmx_microadjust_scan(int chain_id);
void kmx_adjust_volt_config(int volt_diff, int pll_step, int cnt, int start_time, int check_time);
void kmx_adjust_volt_by_pll(int chain_id);
void kmx_no_need_adjust_volt_by_pll(int chain_id);
void kmx_after_adjust_volt(int chain_id, double hash, double tuneHash);
bool kmx_get_adjust_volt_status(int chain_id);
bool kmx_get_microadjust_status(int chain_id);
int kmx_get_npll(int chain_id, int chip_id);
int kmx_set_npll(int chain_id, int chip_id, int npll);
void check_chip_pll(int chain, int chip_id);
void check_chain_pll(int chain);
bool kmx_get_eva_voltages(int chain_id, int num_active_chips, c_volt *pVoltStat, int *pVolt);
int kmx_get_mid(int *a, int size);
int kmx_get_mid_val(int *a, int size);
long sec_diff(struct timeval end, struct timeval start);
bool check_time_valid(struct timeval end, struct timeval start);

#ifdef __cplusplus
}
#endif

#endif
