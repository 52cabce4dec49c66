/* Shell, U-Boot and system-information functions. */
#ifndef KMX_MISC_H
#define KMX_MISC_H

#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Miner subtype, set by the mining program; -1 when unknown. */
extern int g_miner_subtype;

int misc_get_vid_type(void);
bool misc_vid_type_is_i2c(void);
int misc_get_vendor(void);

#ifdef __cplusplus
}
#endif

#endif
