/* Fan control. */
#ifndef KMX_FAN_H
#define KMX_FAN_H

#include <stdbool.h>
#include <stdint.h>

#include "drv/hub_gpio.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Unsigned bytes: a duty of 255 ("not set yet") must stay 255. */
typedef struct c_fan_cfg {
    uint8_t fan_mode;
    uint8_t fan_speed;
    uint8_t fan_speed_manual;
    uint8_t fan_speed_target;
    uint8_t fan_speed_preheat;
    uint8_t fan_ctrl_cycle;
    bool preheat;
    bool bypass;
} c_fan_cfg;

enum { FAN_MODE_MANUAL = 0, FAN_MODE_AUTO = 1, FAN_MODE_MAX = 2 };
enum { FAN_PF_NORMAL = 0, FAN_PF_OVERHEAT = 1, FAN_PF_PREHEAT = 2 };

extern c_fan_cfg g_fan_cfg;
extern int g_fan_profile;
extern float g_pid_p;
extern float g_pid_i;
extern float g_component_I;
extern int g_fanctrl_cycles;
extern bool g_chain_temp_not_update[8];
extern int g_fan_speed_set;
/* Raw hub temperature thresholds (lower raw = hotter), set by the fan set-up. */
extern int g_temp_hi_thr;
extern int g_temp_lo_thr;
extern int g_dangerous_temp;
extern int g_temp_start_thr;
extern int g_work_temp;
extern int g_fan_speed;

/* Settings of the legacy fan curve over the hub's raw temperature codes. */
typedef struct kmx_temp_config_s {
    int temp_hi_thr;
    int temp_lo_thr;
    int temp_start_thr;
    int dangerous_stat_temp;
    int work_temp;
    int default_fan_speed;
} kmx_temp_config_s;

void kmx_fanctrl_get_defcfg(c_fan_cfg *p_cfg);
void kmx_fanctrl_get_cfg(c_fan_cfg *p_cfg);
void kmx_fanctrl_init(c_fan_cfg *p_cfg);
/* The control loop: never returns. */
void *kmx_fanctrl_thread(void *argv);
float kmx_get_tmp(void);
void kmx_fan_speed_set(uint8_t fan_id, int speed);
void kmx_fanctrl_set_fan_speed(int speed);
void kmx_fanctrl_set_fan_speed_target(int target);
void kmx_fanctrl_set_bypass(bool bypass);
void kmx_fan_temp_init(uint8_t fan_id, kmx_temp_config_s default_config);
void kmx_fan_speed_update_hub(struct kmx_fan_temp_s *fan_temp);

#ifdef __cplusplus
}
#endif

#endif
