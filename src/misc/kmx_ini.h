/* Machine history in INI files: /miners/status.ini (one section per run of
 * the mining program) and /events/events.ini (numbered change records). */
#ifndef KMX_INI_H
#define KMX_INI_H

#include <stdbool.h>
#include <stdio.h>
#include <sys/time.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KMX_STATUS_INI "/miners/status.ini"
#define KMX_EVENTS_INI "/events/events.ini"

struct _dictionary_;

/* Number of the current run, kept as "now:count" of the status file. */
extern int g_total_start_cnt;
/* Set once kmx_mount_fs has run (never on the SoC platform). */
extern bool g_mount_flag;

/* Attaches, formats when needed, creates and mounts the two history
 * volumes (/events: MTD 11 as UBI 2, /miners: MTD 12 as UBI 3). False only
 * when a needed format fails. Nothing on the SoC platform. */
bool kmx_mount_fs(void);
/* True when something is mounted on /<name> ("events", "miners"). */
bool kmx_check_fs_mounted(const char *name);

bool kmx_write_key_to_ini(const char *section, const char *key, const char *value, const char *path);
bool kmx_check_section_exist(struct _dictionary_ *dict, const char *section);
/* Copies the value into result (at most result_size - 1 characters). */
bool kmx_read_key_from_ini(const char *key, char *result, const char *path, int result_size);
bool kmx_get_count_from_ini(const char *section, const char *key, int *count, const char *path);
bool kmx_update_count_to_ini(const char *section, const char *key, int *count, const char *path);
FILE *kmx_dump_ini_to_file(const char *path);

bool kmx_write_starttime_to_ini(struct timeval *tv, int n, const char *path);
bool kmx_write_ip_to_ini(int n, const char *path);
bool kmx_write_mac_to_ini(int n, const char *path);
bool kmx_write_lockstatus_to_ini(int n, const char *path);
bool kmx_write_endtime_to_ini(void);
bool kmx_write_exitcode_to_ini(int exit_code);
/* Per chain in use: when its average temperature beats the run's highest
 * so far, "times_<run>:cid<slot>" = "lo  avg  hi  MM-DD hh:mm:ss". */
bool kmx_write_chains_tmp_to_ini(void);
bool kmx_write_miners_status_to_ini(const char *key_name, const char *value);
bool kmx_write_chains_tmp_to_ini(void);

bool kmx_packaging_one_record(int src_type, const char *before, const char *now, char *last);
bool kmx_system_update_record(void);
bool kmx_mac_record(void);
bool kmx_unlock_record(void);
bool kmx_write_events_record_to_ini(int src, const char *sec_name, const char *old, const char *new_val);

#ifdef __cplusplus
}
#endif

#endif
