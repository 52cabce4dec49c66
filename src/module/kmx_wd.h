/* Client side of the watchdog program's System V message queue, and the
 * per-slot shutdown states kept in /tmp/watchdog. */
#ifndef KMX_WD_H
#define KMX_WD_H

#include <stdbool.h>
#include <stdint.h>
#include <sys/ipc.h> /* key_t, which <sys/types.h> leaves out in strict C */
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

#define WD_MSG_CHAIN_TEMP 257
#define WD_MSG_CHAIN_DOWN 258

/* 24-byte body as the watchdog program reads it. */
typedef struct wd_msg_data {
    int chain_id;
    int reserved;
    int16_t tmp_lo;
    int16_t tmp_hi;
    float tmp_avg;
    uint64_t last_update;
} wd_msg_data;

/* The queue carries the body right after mtype. The body holds a 64-bit
 * field, so on 32-bit ARM it would be padded to offset 8 and the watchdog
 * would read the padding as the chain id: the member is packed to keep it
 * at sizeof(long) on every architecture. */
typedef struct wd_msg {
    long mtype;
    wd_msg_data data __attribute__((packed));
} wd_msg;

void kmx_wd_client_init(void);
void kmx_wd_send_msg(long mtype, wd_msg_data *mdata);
int kmx_wd_get_state(int chain_id);
bool kmx_wd_load_state(void);
bool kmx_wd_save_state(void);
void kmx_wd_chain_shutdown(int chain_id, int reason);
key_t kmx_wd_get_msq_key(void);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
static_assert(sizeof(wd_msg_data) == 24, "watchdog body is 24 bytes");
static_assert(__builtin_offsetof(wd_msg_data, tmp_lo) == 8, "temperatures start at byte 8");
static_assert(__builtin_offsetof(wd_msg_data, last_update) == 16, "time stamp at byte 16");
static_assert(__builtin_offsetof(wd_msg, data) == sizeof(long), "body follows mtype as msgsnd takes it");
#else
_Static_assert(sizeof(wd_msg_data) == 24, "watchdog body is 24 bytes");
_Static_assert(__builtin_offsetof(wd_msg, data) == sizeof(long), "body follows mtype as msgsnd takes it");
#endif

#endif
