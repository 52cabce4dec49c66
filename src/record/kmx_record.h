/* Running records on flash (SoC platform). */
#ifndef KMX_RECORD_H
#define KMX_RECORD_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

uint32_t kmx_set_xg_starting_time(void);
bool kmx_record_init(void);
bool kmx_check_fw_update(void);
bool kmx_create_thread_running_log(void);

#ifdef __cplusplus
}
#endif

#endif
