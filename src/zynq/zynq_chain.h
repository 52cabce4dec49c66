/* Chain power sequences of the Zynq and SoC boards. */
#ifndef KMX_ZYNQ_CHAIN_H
#define KMX_ZYNQ_CHAIN_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

bool zynq_chain_power_down(uint8_t chain_id);
bool zynq_chain_hw_reset(uint8_t chain_id);
bool zynq_chain_power_down_all(void);
/* Supply output of a chain on the I2C supply: switched and remembered. */
void set_i2c_psu_en(int chain, int enable);
bool kmx_get_i2c_psu(int chain);

#ifdef __cplusplus
}
#endif

#endif
