/* Legacy per-chain temperature statistics from the hub's automatic sweep. */
#ifndef KMX_HUB_TEMP_H
#define KMX_HUB_TEMP_H

#include <stdbool.h>
#include <stdint.h>

#include "drv/hub_gpio.h"

#ifdef __cplusplus
extern "C" {
#endif

bool hub_cmd_get_temp(struct kmx_fan_temp_s *fan_temp_ctrl, uint8_t chain_id);
int hub_get_hitemp_stat(uint8_t chain_id, kmx_temp_s *t);
int hub_get_lotemp_stat(uint8_t chain_id, kmx_temp_s *t);
int hub_get_avgtemp_stat(uint8_t chain_id, kmx_temp_s *t);

#ifdef __cplusplus
}
#endif

#endif
