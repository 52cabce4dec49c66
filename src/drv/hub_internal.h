// The hub's own register window of the SoC, for the library's own use.
#pragma once

#include "drv/hub.h"

#ifdef __cplusplus
extern "C" {
#endif

void Xil_Zynq_Out32(uint32_t offset, uint32_t value);
uint32_t Xil_Zynq_In32(uint32_t offset);

#ifdef __cplusplus
}
#endif
