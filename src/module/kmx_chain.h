/* Chain detection and bring-up state shared with the power sequences. */
#ifndef KMX_CHAIN_H
#define KMX_CHAIN_H

#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

/* True while chains are being powered up in parallel. */
extern volatile bool g_poweron_flag;

#ifdef __cplusplus
}
#endif

#endif
