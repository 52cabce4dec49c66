/* Legacy status senders and the report records they are handed. */
#ifndef KMX_LEGACY_H
#define KMX_LEGACY_H

#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct dtu_server_config {
    char usedIp[30];
    int usedPort;
} dtu_server_config;

/* Report settings from /config/dtu.conf. */
typedef struct dtu_config {
    char domain[128];
    char ip[30];
    int port;
    int interval; /* seconds between reports */
    int plantId;
    bool enabled;
    bool nucTransfer;
    char nucMac[18];
    char nucIp[30];
    int nucPort;
    bool compressed;
    bool encrypted;
    char *usedIp;
    int usedPort;
    dtu_server_config *usedServer;
} dtu_config;

/* One chain's statistics; senders keep 9, indexed by chain number. */
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

bool kmx_send_status(dtu_config *dtu_cfg, chain_status *chains_status);

#ifdef __cplusplus
}
#endif

#endif
