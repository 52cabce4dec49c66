/* Board identity and integrity checks run at start-up. */
#ifndef KMX_BOARD_CHECK_H
#define KMX_BOARD_CHECK_H

#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Per-chain counter files: eight integers, one per slot 0..7. */
int kmx_get_chain_cnt(int chain_id, char *file_path);
void kmx_cnt_inc(int chain_id, char *file_path);
void kmx_set_chain_cnt(int chain_id, char *file_path, int cnt);
bool kmx_check_cnt(int chain_id, int max_cnt, char *file_path);
void kmx_clear_cnt(char *file_path);

bool kmx_get_standby_env(void);
bool kmx_check_type_and_psuver(void);
int kmx_check_rootfs_integrity(void);
void kmx_compare_fwver(void);
int spi_hub_register_test(int *chain_ids, int chain_num);

#ifdef __cplusplus
}
#endif

#endif
