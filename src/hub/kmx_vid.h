/* Voltage-ID links and their locks. */
#ifndef KMX_VID_H
#define KMX_VID_H

#include <pthread.h>
#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

extern pthread_mutex_t g_i2c_lock;
extern pthread_mutex_t g_vid_lock;
extern pthread_mutex_t g_uart_lock;
extern pthread_mutex_t g_set_vid_lock;

bool hub_set_vid(uint8_t chain_id, int vid);

#ifdef __cplusplus
}
#endif

#endif
