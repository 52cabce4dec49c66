/* Running records on flash (SoC platform). */
#ifndef KMX_RECORD_H
#define KMX_RECORD_H

#include <assert.h>
#include <stdbool.h>
#include <stddef.h>
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

/* Machine part of the running record (256 bytes: this, then chain_para[8]). */
typedef struct machine_para {
    uint32_t time_stamp;
    uint32_t boot_time;
    uint32_t xg_time;
    uint8_t fan_set;
    uint8_t fan0_read;
    uint8_t fan1_read;
    uint8_t cpu_temp; /* degrees Celsius + 64 */
    uint8_t cpu_usage;
    uint8_t mem_usage;
    uint8_t running_mode;
    uint8_t fw_version[16];
    uint8_t event_type;
    uint16_t volt;
    uint16_t current;
    uint8_t reserved[56];
} machine_para;

/* Head and key areas at the start of the record partition, packed. */
typedef struct __attribute__((packed)) record_head_sec {
    uint8_t tag[4];     /* "LOG#" */
    uint8_t version[4]; /* "0106" */
    uint16_t key_info_len;
    uint16_t bytes_per_record;
    uint32_t total_records;
    uint32_t cur_pos;
    uint8_t reserved[26];
    uint32_t crc; /* CRC-32 of the 46 bytes before it */
} record_head_sec;

typedef struct __attribute__((packed)) record_key_sec {
    uint8_t hw_version[16];
    uint8_t running_mode;
    uint8_t avg_temp[8][5];
    uint32_t avg_temp_timestamp[8][5];
    uint8_t max_temp[8][5];
    uint32_t max_temp_timestamp[8][5];
    uint8_t reserved[45];
} record_key_sec;

/* The records are written to flash as these bytes and read back by other
 * builds: the layout must be the same on the board (armhf) and the host. */
static_assert(sizeof(chain_para) == 20, "chain_para is 20 bytes");
static_assert(offsetof(chain_para, freq) == 4 && offsetof(chain_para, vol) == 6, "chain_para 16-bit fields");
static_assert(offsetof(chain_para, temp_timestamp) == 8 && offsetof(chain_para, reserved) == 12, "chain_para tail");
static_assert(sizeof(machine_para) == 96, "machine_para is 96 bytes");
static_assert(offsetof(machine_para, fan_set) == 12 && offsetof(machine_para, running_mode) == 18, "machine_para bytes");
static_assert(offsetof(machine_para, fw_version) == 19 && offsetof(machine_para, event_type) == 35,
              "machine_para version and event");
static_assert(offsetof(machine_para, volt) == 36 && offsetof(machine_para, current) == 38 &&
                  offsetof(machine_para, reserved) == 40,
              "machine_para supply fields");
static_assert(sizeof(machine_para) + 8 * sizeof(chain_para) == 256, "one record is one 256-byte slot");
static_assert(sizeof(record_head_sec) == 50, "record head is 50 bytes");
static_assert(offsetof(record_head_sec, key_info_len) == 8 && offsetof(record_head_sec, total_records) == 12 &&
                  offsetof(record_head_sec, cur_pos) == 16 && offsetof(record_head_sec, crc) == 46,
              "record head fields");
static_assert(sizeof(record_key_sec) == 462, "record key area is 462 bytes");
static_assert(offsetof(record_key_sec, avg_temp) == 17 && offsetof(record_key_sec, avg_temp_timestamp) == 57 &&
                  offsetof(record_key_sec, max_temp) == 217 && offsetof(record_key_sec, max_temp_timestamp) == 257 &&
                  offsetof(record_key_sec, reserved) == 417,
              "record key fields");

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
