// The chain power steps the library's own code shares.
#pragma once

#include <stdint.h>

#include "zynq/zynq_chain.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The chain's I2C supply output off (then 1 s), as every power-down does;
 * kept on under Vin-sync unless the chains are being brought up together. */
void chain_supply_off(uint8_t chain_id);

#ifdef __cplusplus
}
#endif
