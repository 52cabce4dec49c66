/* Chip command frames on a chain's SPI link: the command codes, the fixed
 * length words and the CRC-16. The frame builders and reply checks that
 * every link shares (hub engine, direct SPI, the board test) are the
 * library's own: drv/kmx_chip_frame_internal.h. */
#ifndef KMX_CHIP_FRAME_H
#define KMX_CHIP_FRAME_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Command codes (low nibble of frame byte 0). */
#define CHIP_CMD_BIST_START 0x01
#define CHIP_CMD_BIST_FIX 0x03
#define CHIP_CMD_RESET 0x04
#define CHIP_CMD_WRITE_REG05 0x05
#define CHIP_CMD_READ_REG06 0x06
#define CHIP_CMD_WRITE_JOB 0x07
#define CHIP_CMD_READ_RESULT 0x08
#define CHIP_CMD_WRITE_REG 0x09
#define CHIP_CMD_READ_REG 0x0A
#define CHIP_CMD_BIST_COLLECT 0x0B
#define CHIP_CMD_RW_REG0D 0x0D

/* Fixed length words. */
#define CHIP_LW_RESET 0x03000200u
#define CHIP_LW_BIST 0x02000200u
#define CHIP_LW_CLEAN 0x10001000u

/* CRC-16/MODBUS (reflected 0xA001, init 0xFFFF, no final XOR). */
uint16_t CRC16_2(const uint8_t *buf, int len);

#ifdef __cplusplus
}
#endif

#endif
