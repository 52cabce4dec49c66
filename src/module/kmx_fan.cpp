#include "module/kmx_fan.h"

#include "module/kmx_log.h"
#include "module/kmx_ops.h"
#include "platform/kmx_platform.h"

c_fan_cfg g_fan_cfg = {1, char(255), 0, 50, 10, 2, false, false};
int g_fan_speed_set = 0;
int g_temp_hi_thr;
int g_temp_lo_thr;
int g_dangerous_temp;

extern "C" void kmx_fan_speed_set(uint8_t fan_id, int speed) {
    int duty = speed;
    // These boards wire the fan drive inverted.
    if (g_vid_type == 15 && (g_chip_type == 0 || g_chip_type == 3 || g_chip_type == 6 || g_chip_type == 7 ||
                             g_chip_type == 11 || g_chip_type == 12))
        duty = 100 - speed;
    if (duty < 0 || duty > 100) {
        kmx_logf(5, "error:fan duty:%d,so force fan duty to 100", duty);
        duty = 100;
    }
    kmx_set_pwm(fan_id, 20000, duty);
}

extern "C" void kmx_fanctrl_set_fan_speed(int speed) {
    int duty = speed / 5 > 20 ? 100 : (speed / 5) * 5;
    if (duty < g_fan_cfg.fan_speed_preheat) duty = g_fan_cfg.fan_speed_preheat;
    if (duty != (unsigned char)g_fan_cfg.fan_speed) kmx_logf(2, "fan speed set to %d", duty);
    g_fan_cfg.fan_speed = char(duty);
    g_fan_speed_set = duty;
    for (uint8_t fan = 0; fan < 3; fan++) kmx_fan_speed_set(fan, duty);
}

extern "C" void kmx_fanctrl_set_fan_speed_target(int target) {
    if (target > 100) target = 100;
    if (target < g_fan_cfg.fan_speed_preheat) target = g_fan_cfg.fan_speed_preheat;
    if (target != g_fan_cfg.fan_speed_target) kmx_logf(3, "FAN SPEED TARGET set to %d", target);
    g_fan_cfg.fan_speed_target = char(target);
}

extern "C" void kmx_fanctrl_set_bypass(bool bypass) {
    g_fan_cfg.bypass = bypass;
    kmx_logf(5, bypass ? "fan ctrl BYPASS mode enabled" : "fan ctrl BYPASS mode disabled");
}
