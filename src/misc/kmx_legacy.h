/* Legacy status senders: a short JSON status in a 0xAA 0xBB frame
 * (head, big-endian length = payload + 4, payload, 8-bit sum of the rest),
 * sent over TCP or UDP without reading a reply. */
#ifndef KMX_LEGACY_H
#define KMX_LEGACY_H

#include <stdbool.h>

#include "misc/kmx_dtu.h"
#include "misc/kmx_report.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The frame is at most 4096 bytes: longer payloads are refused. */
#define KMX_LEGACY_MAX_PAYLOAD 4091

bool kmx_send_status(dtu_config *dtu_cfg, chain_status *chains_status);
/* To usedIp/usedPort (ip/port when no server was chosen); buf is the text. */
bool kmx_tcp_send(unsigned char *buf, dtu_config *dtu_cfg);
/* One datagram of the plain text to ip/port. */
bool kmx_udp_send(unsigned char *buf, dtu_config *dtu_cfg);
int kmx_checksum_16bit(unsigned char *buf, int len, unsigned short *checksum);
/* Thread starters; both always true. The miner_status thread starts only
 * off the SoC board and once the status volumes are mounted. */
bool kmx_send_miner_status(dtu_config *dtu_cfg);
bool kmx_get_miner_status(void);
/* "times_<seq>:pool<i>", user<i>, pass<i> for each pool with a url. */
bool kmx_write_pools_to_ini(int seq_num, char *path);

#ifdef __cplusplus
}

#include <cstddef>
#include <vector>
/* The frame around n payload bytes; empty when n is over the limit. */
std::vector<unsigned char> kmx_legacy_frame(const unsigned char *payload, size_t n);
/* The miner_status thread's start, after its first wait: raises the run
 * count and writes the run's entries. */
void kmx_legacy_miner_status_start();
#endif

#endif
