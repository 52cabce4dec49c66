// The board test's hub: register windows, the SPI engine of each chain and
// the chip commands spoken over it.
#pragma once

#include <cstdint>

// ---- register windows ----------------------------------------------------
// Maps the FPGA hub's spi, peripheral and zynq windows; failures are logged
// and the window stays unmapped (its accesses read 0 and drop writes).
void hub_hardware_init();
// The SoC hub's spi, vid_vid and apb_sys windows (not used by the test flow).
void soc_hub_hardware_init();
void hub_hardware_release();
// True when the window that `Xil_SPI_*` reaches is mapped.
bool hub_spi_mapped();

void Xil_SPI_Out32(uint32_t offset, uint32_t value);
uint32_t Xil_SPI_In32(uint32_t offset);
void Xil_Peripheral_Out32(uint32_t offset, uint32_t value);
uint32_t Xil_Peripheral_In32(uint32_t offset);
void Xil_Zynq_Out32(uint32_t offset, uint32_t value);
uint32_t Xil_Zynq_In32(uint32_t offset);
void Soc_Apbsys_Out32(uint32_t offset, uint32_t value);
uint32_t Soc_Apbsys_In32(uint32_t offset);

// ---- SPI engine (per-chain block at chain * 512) -------------------------
enum : uint32_t {
    BC_SPI_CFG = 0x00,
    BC_SPI_CTRL = 0x04,
    BC_SPI_AUTO_INTERVAL = 0x0C,
    BC_SPI_LEN = 0x10,
    BC_SPI_CMD = 0x14,
    BC_SPI_STATUS = 0x18,
    BC_SPI_CHIPNUM = 0x1C,
    BC_SPI_RX = 0x20,
    BC_SPI_HDR = 0x60,
    BC_SPI_TX = 0x64,
    BC_SPI_AUTO_CFG = 0x160,
    BC_SPI_CHAIN_EN = 0x1200,
};
constexpr int BC_SPI_RX_BYTES = 64;
constexpr int BC_SPI_TX_BYTES = 252;
constexpr int BC_CMD_BUF = 2560;

void hub_spi_init(int chain, int chips);
void hub_spi_set_chipnum(int chain, int chips);
int hub_set_spi_speed(int chain, int index);  // 1
int hub_spi_reset(int chain);
int reset_rx_buffer(int chain);
int wait_spi_idle(int chain, int us);        // 0 idle, 1 timeout
int wait_write_buf_empty(int chain);         // 0 / 1
int clear_wait_st_idle(int chain, int polls);
int wait_phy_idle(int chain, int polls);
int push_one_cmd(int chain, const uint8_t *tx, uint32_t len_word, int last);
int auto_push_one_cmd(int chain, const uint8_t *tx, uint32_t len_word, int last);
int rece_queue_ready_check(int chain, int words, int us);  // 1 ready, 0 timeout
void read_rx_buffer(int chain, uint8_t *buf, uint32_t len_word);
int pop_one_rece(int chain, uint8_t *buf, uint32_t len_word);
void spi_padding(int chain, uint8_t *buf, int words);
void send_spi_header(int chain, const uint8_t *tx, uint32_t len_word);
void hub_dump_registers(int chain, int bytes);
int do_spi_cmd(int chain, const uint8_t *tx, uint8_t *rx, uint32_t len_word);  // 0 / 1
void hub_spi_clean_chain(int chain);
// The engine's automatic command 0A (temperature sweep over the chips):
// enable writes command 4 and the configuration word with bit 12 (on);
// disable writes the same word without bit 12 and no command.
void hub_enable_auto_cmd0a(int chain, int threshold, int msb, int lsb, int large_en, int mode);
void hub_disable_auto_cmd0a(int chain, int threshold, int msb, int lsb, int large_en, int mode);

// ---- chip commands ---------------------------------------------------------
bool hub_cmd_reset(int chain, int chip, const uint8_t pattern[2], uint8_t out[4]);
int hub_cmd_bist_start(int chain, int chip);  // chip count, -1 on failure
bool hub_cmd_bist_collect(int chain, int chip);
bool hub_cmd_bist_fix(int chain, int chip);
bool hub_cmd_write_register(int chain, int chip, const uint8_t *data, int len);
bool hub_cmd_write_reg05(int chain, int chip, const uint8_t *data, int len);
bool hub_cmd_read_register(int chain, int chip, uint8_t *buf, int len);
bool hub_cmd_read_write_reg0d(int chain, int chip, const uint8_t *data, int len, uint8_t *reply);
bool hub_cmd_write_job(int chain, int chip, const uint8_t *job, int len);
bool hub_cmd_read_result(int chain, int chip, uint8_t *buf, int len);
int hub_cmd_auto_nonce(int chain, int on, int n);
bool hub_cmd_read_nonce(int chain, uint8_t *buf, int n);

// The per-chain reply options the chip features set: CRC check of replies
// and the manual header for jobs and results.
bool bc_chain_crc_check(int chain);
bool bc_chain_manual_header(int chain);
// A reply of `chip` failed its CRC or header check: the chain's CRC-error
// mark is set (the first such chip is kept for the report).
void bc_chain_mark_crc_error(int chain, int chip);
