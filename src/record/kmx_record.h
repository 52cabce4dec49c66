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

/* Per-chain part of the running record. */
typedef struct chain_para {
    uint8_t tmp_avg; /* degrees Celsius + 64 */
    uint8_t tmp_max;
    uint8_t tmp_min;
    uint8_t error_code;
    uint16_t freq;
    uint16_t vol;
    uint32_t temp_timestamp;
    uint8_t reserved[8];
} chain_para;

enum { EVENTS_NULL = 0, EVENTS_FW_CHANGE, EVENTS_MODE_CHANGE, EVENTS_OVER_TEMP, EVENTS_OVER_HISTORY_TEMP,
       EVENTS_TEMP_NOT_UPDATE };

extern chain_para g_chains_info[8];
/* Pending event for the next record (EVENTS_*), 0 when none. */
extern volatile int g_force_flush_nand;
bool kmx_chain_overheat(int cid);
uint32_t kmx_get_time_stamp(void);

#ifdef __cplusplus
}
#endif

#endif
