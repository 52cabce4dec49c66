/* FPGA and SoC hub register windows and their 32-bit accessors. */
#ifndef KMX_HUB_H
#define KMX_HUB_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define HUB_SPI_PHY 0x43C30000u
#define HUB_SPI_SIZE 0x2000u
#define HUB_PERIPHERAL_PHY 0x43C00000u
#define HUB_PERIPHERAL_SIZE 0x1000u
#define HUB_ZYNQ_PHY 0xF8000000u
#define HUB_ZYNQ_SIZE 0x1000u
#define SOC_SPI_PHY 0x10000000u
#define SOC_VID_PHY 0x602F0000u
#define SOC_APBSYS_PHY 0x60000000u
#define SOC_WIN_SIZE 0x10000u

void hub_init(void);
void hub_deinit(void);
void soc_hub_init(void);
void soc_hub_deinit(void);
/* Whether the SoC (soc != 0) or FPGA hub windows are mapped now. */
int hub_windows_mapped(int soc);

void Xil_SPI_Out32(uint32_t offset, uint32_t value);
uint32_t Xil_SPI_In32(uint32_t offset);
void Xil_Peripheral_Out32(uint32_t offset, uint32_t value);
uint32_t Xil_Peripheral_In32(uint32_t offset);
void Soc_Peripheral_Out32(uint32_t offset, uint32_t value);
uint32_t Soc_Peripheral_In32(uint32_t offset);
void Soc_Apbsys_Out32(uint32_t offset, uint32_t value);
uint32_t Soc_Apbsys_In32(uint32_t offset);
void hub_i2c_reset(int i2c_id);

#ifdef __cplusplus
}
#endif

#endif
