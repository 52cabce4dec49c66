/* Logging: one process-wide level filter, an optional tag and time prefix,
 * and syslog (facility LOCAL0) as the destination. */
#ifndef KMX_LOG_H
#define KMX_LOG_H

#include <stdbool.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Lowest level that is logged; 0 until kmx_log_init, so everything is. */
extern int g_log_level;

void kmx_log_init(int default_level, const char *ident);
void _kmx_log(int prio, char *text, bool has_prefix);
void _kmx_log_to_file(FILE *fp, int prio, char *text, bool has_prefix);

/* The callers' convention in one place: test the level first, format into
 * 256 bytes, hand the text to _kmx_log without prefix. */
void kmx_logf(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
/* For a tool's usage and argument errors: logged as kmx_logf does, and also
 * printed on standard error (ended by a newline) for whoever typed the call. */
void kmx_logf_user(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

#ifdef __cplusplus
}
#endif

#define KMX_LOG_DEBUG 1
#define KMX_LOG_INFO 2
#define KMX_LOG_NOTICE 3
#define KMX_LOG_WARN 4
#define KMX_LOG_ERROR 5

#endif
