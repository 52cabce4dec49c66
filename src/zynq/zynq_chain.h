/* Chain power sequences of the Zynq and SoC boards, and the pool-change
 * history on flash partition 11 (Zynq boards). */
#ifndef KMX_ZYNQ_CHAIN_H
#define KMX_ZYNQ_CHAIN_H

#include <stdbool.h>
#include <stdint.h>

#include "module/kmx_chain.h"

#ifdef __cplusplus
extern "C" {
#endif

bool zynq_chain_power_on(uint8_t chain_id, uint8_t mode);
bool zynq_chain_power_down(uint8_t chain_id);
bool zynq_chain_hw_reset(uint8_t chain_id);
bool zynq_chain_power_on_all(void);
bool zynq_chain_power_down_all(void);
bool zynq_record_params(void);
void set_i2c_psu_en(int chain, int en);
bool kmx_get_i2c_psu(int chain);

#ifdef __cplusplus
}
#endif

#endif
