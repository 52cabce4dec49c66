// The chip command seam of the memory bring-up: the few chip commands that
// the register access, PHY PLL, training, BIST and DAG code needs. The board
// test's hub driver fills it at start-up; tests fill it with a chip model.
#pragma once
#include <cstdint>

// The chip memory bring-up keeps its own chain records until they are
// merged with the test's; its names live apart meanwhile.
namespace bcmem {

// Log categories of the board test logger used here.
constexpr int BC_LOG_PLAIN = 0x1;
constexpr int BC_LOG_MINER = 0x1000000;
constexpr int BC_LOG_CONT = int(0x80000000u);  // continuation piece: no prefix, no tag

struct chip_cmd_ops {
    // Command 0A: the 12-byte configuration register of one chip.
    bool (*read_cfg)(int chain, int chip, uint8_t out[12]);
    // Command 09: write the 12-byte configuration register (chip 0 = all).
    bool (*write_cfg)(int chain, int chip, const uint8_t data[12]);
    // Command 0D: 12 data bytes out, 12 reply bytes back; false = no answer.
    bool (*reg0d)(int chain, int chip, const uint8_t data[12], uint8_t reply[12]);
    // Command 04 to chip 0 with a two-byte pattern.
    bool (*reset)(int chain, uint8_t p0, uint8_t p1);
    int (*bist_start)(int chain);  // command 01: chip count, -1 on failure
    bool (*bist_collect)(int chain);  // command 0B
    bool (*bist_fix)(int chain);  // command 03
    void (*set_spi_speed)(int chain, int index);
    // Clock and sensor check of the chain for chip type 13, printing on,
    // without the supply read: 1 good, 0 failed.
    int (*clock_check)(int chain);
    // The board test logger: level, category word, finished text.
    void (*log)(int level, int category, const char *text);
};

extern chip_cmd_ops g_chip_cmd;

// Formats into 256 bytes and hands the text to g_chip_cmd.log.
void bc_logf(int level, int category, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
// A progress dot: continuation piece at level 3, then stdout is flushed.
void bc_log_dot();

}  // namespace bcmem
