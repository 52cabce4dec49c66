/* Management-server settings (/config/dtu.conf) and the server choice. */
#ifndef KMX_DTU_H
#define KMX_DTU_H

#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct dtu_server_config {
    char usedIp[30];
    int usedPort;
} dtu_server_config;

typedef struct dtu_config {
    char domain[128];
    char ip[30];
    int port;
    int interval;
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

/* Address used when dtu.conf names no Cloud server address. */
#define KMX_DTU_DEFAULT_IP "10.0.0.1"

bool kmx_get_dtu_cfg_from_file(dtu_config *dtu_cfg);
bool kmx_get_dtu_cfg_from_env(dtu_config *dtu_cfg);
bool kmx_get_serv_ip(const char *hostname, char ip_str[][17], int ip_num, int max_num);
int kmx_get_dev_ip_by_mac(char *mac, char *try_ip, char *dst_ip);

#ifdef __cplusplus
}
#endif

#endif
