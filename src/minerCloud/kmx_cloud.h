/* Management-server link: report frame, reply loop and server commands. */
#ifndef KMX_CLOUD_H
#define KMX_CLOUD_H

#include <pthread.h>
#include <stdbool.h>
#include <stdint.h>

#include "misc/kmx_dtu.h"
#include "misc/kmx_pool.h"

#ifdef __cplusplus
extern "C" {
#endif

extern const char *cmd_string[50];

bool kmx_send_cloud(const unsigned char *buf, dtu_config *dtu_cfg);
void do_server(int fd, dtu_config *dtu_cfg);
bool kmx_set_pools(pool_conf *pool);
bool kmx_set_runmode(const unsigned char *mode, const unsigned char *adjust);
bool kmx_reboot_miner(void);
bool kmx_reset_factory_conf(void);
int kmx_set_dhcp(void);

int readn(int fd, void *buf, int count);
int writen(int fd, void *buf, int count);
void keep_writing_to_file(int fd, const unsigned char *buf, unsigned long long *pnbytes);
unsigned char kmx_check_xor(unsigned char *buf, unsigned long long len);
unsigned calculate_checksum(unsigned char *buf, int len);
void hexdump(char *prefix, uint8_t *buff, unsigned long long len);
unsigned long long htonll(unsigned long long host);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
#include <string_view>
#include <vector>
/* One frame around `payload` with the given flag. */
std::vector<unsigned char> kmx_cloud_frame(std::string_view payload, uint16_t flag);
/* A TCP socket with the report link's options (send buffer, address
 * reuse, 10 s linger, no delay); -1 (logged) on failure. */
int kmx_report_socket();
/* The consecutive connect-failure count, for tests. */
int kmx_cloud_fail_count();
void kmx_cloud_reset_fail_count();
#endif

#endif
