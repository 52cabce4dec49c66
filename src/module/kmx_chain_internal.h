/* Bring-up state shared by the detection threads and the ramps; not part
 * of the mining program's interface. */
#ifndef KMX_CHAIN_INTERNAL_H
#define KMX_CHAIN_INTERNAL_H

/* Vin-sync step flags of one power-up attempt: 0 not done, 1 done,
 * -1 failed (flags 2, 3, 7); arrival counters (flags 5, 6, 8, 9). */
extern int s_vin_sync_flag2;
extern int s_vin_sync_flag3;
extern int s_vin_sync_flag5;
extern int s_vin_sync_flag6;
extern int s_vin_sync_flag7;
extern int s_vin_sync_flag8;
extern int s_vin_sync_flag9;

/* Detection attempt (1..5) of each chain, 0 after a failed chain: the
 * per-chain form of g_retry_cnt, which parallel threads overwrite. */
extern int s_retry_cnt[8];
int kmx_chain_retry_cnt(int chain);

/* Work frequency of a chain judged against the others (errors 52, 53). */
bool check_workpll_valid(int chain_id);

#endif
