/* The status report sent to the management server, and the status getters
 * it and the daemon use. */
#ifndef KMX_REPORT_H
#define KMX_REPORT_H

#include <pthread.h>
#include <stdbool.h>

#include "misc/kmx_dtu.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct chain_status {
    bool valid;
    int chain_id;
    int tmp_hi;
    int tmp_av;
    double hash;
    double runtime;
    int fan_duty;
    int accCnt;
    int rejCnt;
    int hwerrCnt;
    int pll;
    int vid_volt;
    int power;
    char powerVendor[30];
    char powerVersion[30];
} chain_status;

typedef struct pool_ip_status {
    bool finish_flag;
    char pool_url[3][512];
    char pool_ip[3][512];
} pool_ip_status;

/* Filled by the daemon's pool-address resolver, read by the report. */
extern pool_ip_status pool_ip_rst;
extern pthread_mutex_t g_get_pools_ip_lock;

bool kmx_make_one_packet(dtu_config *dtu_cfg, chain_status *chains_status, int active_pool_idx);

int kmx_get_miner_type(char *type, int size);
char *kmx_get_hwversion(void);
bool kmx_get_dna(char *dna); /* dna: at least 64 bytes */
bool kmx_get_mode(char *mode);
bool kmx_get_errcode(int *errcode, char *errmsg); /* errmsg: at least 256 bytes */
bool kmx_get_cpu_mem_usage(int *cpu_rate, int *mem_rate);
bool kmx_get_uptime(char *info); /* info: at least 256 bytes */
char *kmx_get_lock_status(void);
bool kmx_get_fan_duty(int *duty, chain_status *chains_status);
bool kmx_get_power_info(chain_status *chains_status, char *power_vendor, char *power_version); /* 30 bytes each */
bool kmx_get_runtime(long long *runtime, chain_status *chains_status);
int kmx_get_gateway(char *eth, char *gateway);  /* gateway: at least 20 bytes */
int kmx_get_dns_server(char *dns1, char *dns2); /* 40 bytes each */
bool kmx_get_dhcp_mode(void);

#ifdef __cplusplus
}
#endif

#endif
