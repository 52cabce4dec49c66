/* Shell, U-Boot and system-information functions. */
#ifndef KMX_MISC_H
#define KMX_MISC_H

#include <stdbool.h>
#include <stdint.h>
#include <sys/time.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Miner subtype, set by the mining program; -1 when unknown. */
extern int g_miner_subtype;

/* Shell: output into rst_buf (at most buf_size - 1 bytes, terminated); true
 * whenever the pipe opened. Bad arguments or a pipe that cannot be opened
 * end the process with status 0. */
bool misc_system(const char *cmd, char *rst_buf, int buf_size);
/* Output appended line by line into result; bytes stored, 0 on pipe failure. */
int kmx_get_shell_cmd_rst(char *cmd, char *result, int size);
bool misc_get_uboot_env(const char *key, char *rst_buf, int buf_size);
bool misc_set_uboot_env(const char *key, const char *value, char *rst_buf, int buf_size);
/* True when the machine is locked to the management server. */
bool kmx_read_lock(void);

/* Version of the running image from U-Boot (image_flag picks version_a/b/0/1),
 * at most len - 1 characters, without the newline. False when unknown. */
bool kmx_get_version_from_env(unsigned char *result, int len);
/* First word of /etc/fwrevision (at most 63 characters); 0 or -1. */
int kmx_get_fwver_from_etc(char *version);

/* Clocks: monotonic unless named wall clock. struct timespec is declared
 * here for a strict C99 user, whose <time.h> leaves it out. */
struct timespec;
int kmx_get_systime(struct timespec *ts);
uint64_t kmx_get_systime_ms(void);
uint64_t kmx_get_systime_s(void);
void kmx_time(struct timeval *tv);
bool kmx_get_start_time(void); /* wall clock: start of the run */
bool kmx_get_end_time(void);   /* wall clock: end of the run */
bool kmx_timersub(struct timeval *a, struct timeval *b, struct timeval *result);
/* Run length as "0000-MM-DD hh:mm:ss" (months, days elapsed); 64-byte buffer. */
bool kmx_get_total_run_time(unsigned char *datetime);
/* Local time of tv as "Y-MM-DD hh:mm:ss"; 64-byte buffer. */
bool kmx_get_time_str(struct timeval *tv, unsigned char *time_str);
unsigned long kmx_get_file_size(const char *path);

/* eth0's MAC (17 characters) and IPv4 address (at most 15 characters). */
bool kmx_get_mac(unsigned char *mac);
bool kmx_get_ip(unsigned char *ip);
/* Send command to host:port over TCP and print the answer on stdout; 0 or -1. */
int misc_call_api(char *command, char *host, short port);
bool misc_tcp_is_ok(char *host, short port);
/* First word of str: leading blanks skipped, the text ended after it. */
char *misc_trim(char *str);
/* 3 or 13 from /tmp/hwver; any other board ends the process. */
int misc_get_board_version(void);
int misc_get_miner_type(void);

int misc_get_vid_type(void);
bool misc_vid_type_is_i2c(void);
/* False (and error 37 saved) when VID type, chip type, subtype and chip
 * count do not belong together. */
bool misc_check_vid_type(void);
int misc_get_vendor(void);
/* 1, 2 or 0 by chip type and subtype; -1 for an unknown chip type. */
int kmx_get_chip_tech(void);
/* False (and error 35 saved) when the chain's I2C supply is on but gives
 * less than 10 V. */
bool misc_check_power_supply(unsigned char chain_id);
/* Thread body of the legacy status sender; argv is a dtu_config. */
void *kmx_send_miner_status_thread(void *argv);

#ifdef __cplusplus
}

#include <string_view>

/* Replaces a file the library owns whole (temporary file and rename); the
 * first write of it in a process also removes, and logs, what a writer
 * killed in an earlier run left beside it. */
bool misc_write_owned_file(const char *path, std::string_view text);
/* Removes, and logs, what a writer killed in an earlier run left beside a
 * file the caller owns; for owners that clear them at other times than
 * their first write. Returns how many went. */
int misc_remove_write_leftovers(const char *path);
#endif

#endif
