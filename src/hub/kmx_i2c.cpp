#include "hub/kmx_i2c.h"

#include <cstdio>

// The supply link is not wired up yet: every read fails as an absent
// supply would, and the texts keep their "unknown" defaults.
char g_power_vendor[10] = "unknown";
char g_power_ver[10] = "unknown";
int g_power_errorcode = 0;

extern "C" bool kmx_i2c_is_sync_output(void) { return false; }
extern "C" float kmx_i2c_get_voltage(int) { return -1.0f; }
extern "C" int get_vendor_on_i2c(void) {
    snprintf(g_power_vendor, sizeof g_power_vendor, "unknown");
    return -1;
}
extern "C" int get_fwver_on_i2c(void) {
    snprintf(g_power_ver, sizeof g_power_ver, "unknown");
    return -1;
}
extern "C" int get_psu_errorcode_on_i2c(void) {
    g_power_errorcode = 0;
    return -1;
}
