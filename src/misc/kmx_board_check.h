/* Board identity and integrity checks run at start-up. */
#ifndef KMX_BOARD_CHECK_H
#define KMX_BOARD_CHECK_H

#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

bool kmx_get_standby_env(void);
bool kmx_check_type_and_psuver(void);
int kmx_check_rootfs_integrity(void);
int spi_hub_register_test(int *chain_ids, int chain_num);

#ifdef __cplusplus
}
#endif

#endif
