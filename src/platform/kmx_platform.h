/* Platform start-up and exit, and the globals start-up fills. */
#ifndef KMX_PLATFORM_H
#define KMX_PLATFORM_H

#include <pthread.h>
#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    ZYNQ_SPI_B3 = 1,
    ZYNQ_SPI_B13 = 2,
    ZYNQ_HUB_B3 = 3,
    ZYNQ_HUB_B13 = 4,
    SOC = 16,
    OPI_H3 = 32
};

#define KMX_MAX_CHAIN 8
#define KMX_MAX_CHIP 168

extern int g_platform;
extern int g_chip_type;
extern int g_chain_num_tar;
extern int g_chain_num;
extern int g_chain_id[KMX_MAX_CHAIN];
extern int g_chain_plug[KMX_MAX_CHAIN];
extern int g_chip_num;
extern int g_core_num;
extern int g_vid_type;
extern uint8_t g_vin_sync;
extern int g_vendor;
extern const char *g_vendor_str[4];
extern int g_cgminer_pid;
extern pthread_mutex_t g_vin_sync_lock;
extern pthread_mutex_t g_callback_lock;
extern pthread_mutex_t g_sync_err_lock;
extern pthread_mutex_t g_fwver_scan_lock;

void sys_platform_debug_init(int debug_level);
bool sys_platform_init(int platform, int chip_type, int chain_num, int chip_num);
void sys_init(void);
bool sys_platform_exit(void);
void save_psu_info(void);
void kmx_sync_time_with_net(int seconds);
/* Body of the file-check thread: runs /bin/filemend 1 every 60 s. */
void *filemend(void *arg);

/* Which build of the library this is: 1 the older (file repair tool),
 * 2 the monitor daemon's, 3 the newer one of the service tools. */
extern const int g_kmx_lib_revision;

#ifdef __cplusplus
}
#endif

#endif
