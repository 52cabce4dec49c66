/* Running records on flash (SoC platform).
 *
 * Every minute one 256-byte record (machine values, then the 8 chain slots)
 * is appended to /tmp/running_record; about once an hour, or at once when
 * an event is pending, the waiting records move into a ring of 256-byte
 * slots on /dev/mtd9, behind a head (with its CRC-32) and a key area.
 * All multi-byte fields are little-endian. */
#ifndef KMX_RECORD_H
#define KMX_RECORD_H

#include <assert.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#define KMX_RECORD_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define KMX_RECORD_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

#define KMX_RECORD_MTD "/dev/mtd9"
#define KMX_RECORD_DDR "/tmp/running_record"
#define KMX_RECORD_SIZE 256u
#define KMX_RECORD_SLOTS 10802u     /* ring slots 2 .. 10803 */
#define KMX_RECORD_FIRST_SLOT 2u
#define KMX_RECORD_BLOCK 0x20000u   /* erase block: 512 slots */
#define KMX_RECORD_AREA 0xA00000u   /* erased whole when the head is bad */
#define KMX_RECORD_BATCH 66u        /* records moved to flash per step */

/* Machine part of the record (g_machine_info). The values come from other
 * threads; a record may mix values of two moments, but the supply's voltage
 * and current are one reading (kmx_record_set_supply). */
typedef struct machine_para {
    uint32_t time_stamp; /* seconds since the epoch */
    uint32_t boot_time;  /* seconds since boot */
    uint32_t xg_time;    /* seconds since kmx_set_xg_starting_time */
    uint8_t fan_set;
    uint8_t fan0_read;
    uint8_t fan1_read;
    uint8_t cpu_temp; /* degrees Celsius + 64 */
    uint8_t cpu_usage;
    uint8_t mem_usage;
    uint8_t running_mode; /* 255 after init */
    uint8_t fw_version[16];
    uint8_t event_type;
    uint16_t volt;
    uint16_t current;
    uint8_t reserved[56];
} machine_para;

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

/* Bytes 0-49 of the partition. */
typedef struct __attribute__((packed)) record_head_sec {
    uint8_t tag[4];     /* "LOG#" */
    uint8_t version[4]; /* "0106" */
    uint16_t key_info_len;
    uint16_t bytes_per_record;
    uint32_t total_records; /* at most KMX_RECORD_SLOTS */
    uint32_t cur_pos;       /* next ring index, 0 .. KMX_RECORD_SLOTS */
    uint8_t reserved[26];
    uint32_t crc; /* CRC-32 of bytes 0-45 */
} record_head_sec;

/* Bytes 50-511 of the partition. */
typedef struct __attribute__((packed)) record_key_sec {
    uint8_t hw_version[16];
    uint8_t running_mode;
    uint8_t avg_temp[8][5];
    uint32_t avg_temp_timestamp[8][5];
    uint8_t max_temp[8][5];
    uint32_t max_temp_timestamp[8][5];
    uint8_t reserved[45];
} record_key_sec;

KMX_RECORD_ASSERT(sizeof(machine_para) == 96, "machine_para is 96 bytes");
KMX_RECORD_ASSERT(offsetof(machine_para, fan_set) == 12, "machine_para.fan_set at 12");
KMX_RECORD_ASSERT(offsetof(machine_para, running_mode) == 18, "machine_para.running_mode at 18");
KMX_RECORD_ASSERT(offsetof(machine_para, fw_version) == 19, "machine_para.fw_version at 19");
KMX_RECORD_ASSERT(offsetof(machine_para, event_type) == 35, "machine_para.event_type at 35");
KMX_RECORD_ASSERT(offsetof(machine_para, volt) == 36, "machine_para.volt at 36");
KMX_RECORD_ASSERT(offsetof(machine_para, current) == 38, "machine_para.current at 38");
KMX_RECORD_ASSERT(offsetof(machine_para, reserved) == 40, "machine_para.reserved at 40");
KMX_RECORD_ASSERT(sizeof(chain_para) == 20, "chain_para is 20 bytes");
KMX_RECORD_ASSERT(offsetof(chain_para, freq) == 4, "chain_para.freq at 4");
KMX_RECORD_ASSERT(offsetof(chain_para, vol) == 6, "chain_para.vol at 6");
KMX_RECORD_ASSERT(offsetof(chain_para, temp_timestamp) == 8, "chain_para.temp_timestamp at 8");
KMX_RECORD_ASSERT(offsetof(chain_para, reserved) == 12, "chain_para.reserved at 12");
KMX_RECORD_ASSERT(sizeof(machine_para) + 8 * sizeof(chain_para) == KMX_RECORD_SIZE, "a record is 256 bytes");
KMX_RECORD_ASSERT(sizeof(record_head_sec) == 50, "record_head_sec is 50 bytes");
KMX_RECORD_ASSERT(offsetof(record_head_sec, key_info_len) == 8, "head.key_info_len at 8");
KMX_RECORD_ASSERT(offsetof(record_head_sec, total_records) == 12, "head.total_records at 12");
KMX_RECORD_ASSERT(offsetof(record_head_sec, cur_pos) == 16, "head.cur_pos at 16");
KMX_RECORD_ASSERT(offsetof(record_head_sec, crc) == 46, "head.crc at 46");
KMX_RECORD_ASSERT(sizeof(record_key_sec) == 462, "record_key_sec is 462 bytes");
KMX_RECORD_ASSERT(offsetof(record_key_sec, running_mode) == 16, "key.running_mode at 16");
KMX_RECORD_ASSERT(offsetof(record_key_sec, avg_temp) == 17, "key.avg_temp at 17");
KMX_RECORD_ASSERT(offsetof(record_key_sec, avg_temp_timestamp) == 57, "key.avg_temp_timestamp at 57");
KMX_RECORD_ASSERT(offsetof(record_key_sec, max_temp) == 217, "key.max_temp at 217");
KMX_RECORD_ASSERT(offsetof(record_key_sec, max_temp_timestamp) == 257, "key.max_temp_timestamp at 257");
KMX_RECORD_ASSERT(offsetof(record_key_sec, reserved) == 417, "key.reserved at 417");

enum { EVENTS_NULL = 0, EVENTS_FW_CHANGE, EVENTS_MODE_CHANGE, EVENTS_OVER_TEMP, EVENTS_OVER_HISTORY_TEMP,
       EVENTS_TEMP_NOT_UPDATE };

extern machine_para g_machine_info;
extern chain_para g_chains_info[8];
/* Pending event for the next record (EVENTS_*), 0 when none. A later event
 * replaces a pending one. */
extern volatile int g_force_flush_nand;
extern record_head_sec g_record_head_info;
extern record_key_sec g_record_key_info;
/* Records in the DDR record file not yet on flash. */
extern uint32_t g_records_ddr;
extern bool g_update_events_type;
/* Monotonic seconds of the last append and of the last successful flush. */
extern uint64_t g_log_last_ddr_time;
extern uint64_t g_log_last_nand_time;
extern uint32_t g_xg_start_time;

/* Set-up (sys_init on the SoC platform). */
uint32_t kmx_set_xg_starting_time(void);
bool kmx_record_init(void);
bool kmx_create_thread_running_log(void);
/* The supply keep-alive's reading of output 1 into the machine part: the
 * voltage and current go in together, as the record thread copies them. */
void kmx_record_set_supply(uint16_t volt, uint16_t current);

/* Events. */
bool kmx_check_fw_update(void);
bool kmx_check_runmode_switch(uint8_t cur_mode);
bool kmx_chain_overheat(int cid);

/* Record steps (one pass of the record thread: ddr, then nand). */
bool kmx_write_record_to_ddr(void);
bool kmx_write_record_to_nand(void);
bool kmx_update_record_key(void);
bool kmx_read_record_ddr(uint8_t *buf, uint32_t len);
bool kmx_clear_record_ddr(void);

/* Values. */
uint32_t kmx_get_time_stamp(void);
uint32_t kmx_get_boot_time(void);
uint32_t kmx_get_xg_runing_time(void);
int8_t kmx_get_cpu_temp(void);
uint8_t kmx_get_cpu_usage(void);
uint8_t kmx_get_mem_usage(void);
/* 15 characters of /etc/fwrevision into version[16]; 0 or -1. */
int32_t kmx_get_fwversion(uint8_t *version);
bool kmx_get_errno(uint8_t *errcode);
int32_t kmx_get_fsize(const char *path);
bool kmx_get_current_pname(void);

/* Flash access on /dev/mtd9. erase/write: 0 ok, 1 failed, -1 open failed;
 * read: 0 ok (a short read is logged), -1 failed. */
int32_t kmx_erase_flash(uint32_t offset, uint32_t bytes);
int32_t kmx_write_flash(uint32_t offset, uint8_t *buf, uint32_t len);
int32_t kmx_read_flash(uint32_t offset, uint8_t *buf, uint32_t len);

/* CRC-32 as zlib computes it (named apart from zlib's crc32, which a mining
 * program may link beside it); crc32_no_comp without the inversions. */
uint32_t kmx_crc32(uint32_t crc, const unsigned char *p, unsigned int len);
uint32_t crc32_no_comp(uint32_t crc, const unsigned char *p, unsigned int len);

#undef KMX_RECORD_ASSERT

#ifdef __cplusplus
}
#endif

#endif
