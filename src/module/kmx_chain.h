/* Chain detection and bring-up, PLL levels and ramps, voltage setting and
 * VID search, BIST and chip queries. */
#ifndef KMX_CHAIN_H
#define KMX_CHAIN_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One per chain, indexed by the chain's position in g_chain_id. */
typedef struct {
    int chain_id;
    int spi_speed;
    int pll;
    int vol;
    int vid;
    int bist_pll;
    int bist_vid;
    int chip_num;
    bool tuning;
} c_chain_param;

/* ---- detection and bring-up ---- */
extern volatile bool s_detect_done[8];
/* False while kmx_chain_detect_all runs. */
extern bool g_detect_over;
/* True while chains are being powered up in parallel. */
extern volatile bool g_poweron_flag;
extern int s_chain_pwon_mode[8];
extern volatile int g_vsync_total_chains;
extern int s_vin_sync_flag0;
extern int s_vin_sync_flag1;
extern int s_vin_sync_flag4;
extern volatile int s_work_vid;
extern int g_retry_cnt;
extern int s_workpll[8];

int kmx_chain_detect_all(uint16_t mask, c_chain_param *params, bool quick_start, bool fan_bypass);
void *kmx_chain_detect_thread(void *param);
int kmx_chain_preinit(uint8_t chain);
void kmx_set_microadjust_error(int chain);
int kmx_get_first_i2c_voltage(int chain);
int kmx_count_mid_val(int *a, int n);

/* ---- PLL levels and frequency ramps ---- */
extern int *s_pll_list;
extern int s_pll_cnt;
extern const uint8_t (*s_pll_regs)[12];
extern int s_setpll[8];

void kmx_chain_set_pllcfg(const int *pll_list, const uint8_t (*pll_regs)[12], int length);
int kmx_chain_pll_to_level(int pll);
bool kmx_chain_set_pll(uint8_t chain_id, uint8_t chip_id, int start_pll, bool increase);
bool kmx_chain_set_pll__(uint8_t chain_id, uint8_t chip_id, int start_pll, bool increase, int interval);
bool kmx_chain_set_pll_by_step(uint8_t chain_id, uint8_t chip_id, int start_pll, int target_pll);
bool kmx_chain_set_pll_by_interval(uint8_t chain_id, uint8_t chip_id, int start_pll, int target_pll);
double kmx_chain_get_theory_hash(int chip_num, int core_num, int sub_core_num, int pll);

/* ---- voltage setting and VID search ---- */
extern int s_tune_pll;
extern int s_tune_vol;
extern int s_tune_vid;

bool kmx_chain_set_pll_vid(uint8_t chain_id, int work_pll, int work_vid, int bist_pll, int bist_vid);
bool kmx_chain_set_pll_volt(uint8_t chain_id, int work_pll, int work_volt, int *work_vid, int bist_pll,
                            int bist_vid);
int kmx_chain_find_vid(uint8_t chain_id, int chip_num, int vid_start, double volt_target);
void kmx_chain_set_volt(uint8_t chain_id, int work_volt, int *work_vid);
void kmx_chain_init_tune(int pll, int vol, int vid);
void kmx_chain_set_board_info(int row, int col, int *map_info);
int kmx_chain_adjust_temp(int chain_id);
void kmx_chain_set_temp_map_file(int chain_id, char *file_buf);
void kmx_chain_get_temp_map_file(int chain_id, char *file_buf);

/* ---- BIST and chip queries ---- */
extern int g_core_num;

bool kmx_chain_init(uint8_t chain_id, bool use_bistmask);
bool kmx_chain_get_chip_cores(uint8_t chain_id, int chip_num, int *cores);
void kmx_enhance_clk_io(int chain_id, int chip_id);
void kmx_enhance_spi_io(int chain_id, int chip_id);
void read_io(int cid, uint8_t chip_id);
void read_ver(int cid, uint8_t chip_id);

#ifdef __cplusplus
}
#endif

#endif
