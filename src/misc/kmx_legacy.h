/* Legacy status senders and the report records they are handed. */
#ifndef KMX_LEGACY_H
#define KMX_LEGACY_H

#include <stdbool.h>

#include "misc/kmx_dtu.h"
#include "misc/kmx_report.h"

#ifdef __cplusplus
extern "C" {
#endif

bool kmx_send_status(dtu_config *dtu_cfg, chain_status *chains_status);

#ifdef __cplusplus
}
#endif

#endif
