#include "hub/kmx_vid.h"

#include "module/kmx_log.h"

// Initialised once, statically: they are never re-created while held.
pthread_mutex_t g_i2c_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t g_vid_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t g_uart_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t g_set_vid_lock = PTHREAD_MUTEX_INITIALIZER;

extern "C" bool hub_set_vid(uint8_t chain_id, int vid) {
    kmx_logf(5, "chain%d: no voltage-ID link for VID %d\n", chain_id, vid);
    return false;
}
