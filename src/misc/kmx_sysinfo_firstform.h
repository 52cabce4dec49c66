/* Declarations of the system-information first forms (see the .cpp). */
#ifndef KMX_SYSINFO_FIRSTFORM_H
#define KMX_SYSINFO_FIRSTFORM_H

#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

bool kmx_get_mac(unsigned char *mac);
bool kmx_get_ip(unsigned char *ip);
bool kmx_get_version_from_env(unsigned char *result, int len);
int kmx_get_fwver_from_etc(char *version);

#ifdef __cplusplus
}
#endif

#endif
