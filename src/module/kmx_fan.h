/* Fan control. */
#ifndef KMX_FAN_H
#define KMX_FAN_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct c_fan_cfg {
    char fan_mode;
    char fan_speed;
    char fan_speed_manual;
    char fan_speed_target;
    char fan_speed_preheat;
    char fan_ctrl_cycle;
    bool preheat;
    bool bypass;
} c_fan_cfg;

extern c_fan_cfg g_fan_cfg;
extern int g_fan_speed_set;
/* Raw hub temperature thresholds (lower raw = hotter), set by the fan set-up. */
extern int g_temp_hi_thr;
extern int g_temp_lo_thr;
extern int g_dangerous_temp;

void kmx_fan_speed_set(uint8_t fan_id, int speed);
void kmx_fanctrl_set_fan_speed(int speed);
void kmx_fanctrl_set_fan_speed_target(int target);
void kmx_fanctrl_set_bypass(bool bypass);

#ifdef __cplusplus
}
#endif

#endif
