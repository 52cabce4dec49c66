// Emulated spidev nodes, for kmx-sim and for tests.
//
// Direct-SPI machines (any platform but 32): /dev/spidev<slot>.0 for slots
// 0..7, each the chain of chips in its slot. A write() is one frame
// [code, chip, data...]; frames 09 and 0D must carry a good CRC or the
// chips ignore them. read() hands back the reply stream: "spi_idle_words"
// (board key, default 2) idle 00 00 words, then the reply, then idle words.
// Read results carry "result_len" (board key, default 8) data bytes.
//
// Platform 32: /dev/spidev1.0 is the one bus of the single-board computer;
// each SPI_IOC_MESSAGE transfer (16-bit words) goes to the chain selected by
// the H3 PIO lines (PA0, PD14, PA1; PA2 low). Requests [69 96 code 00 ...]
// reach the microcontroller, which answers 69 96, [code 00], then data (the
// plug query, code 14 without data: [0 = present, 0]). Chip frames behind
// A5 5A answer A5 5A, [code 00], then the chip reply; read register, 0D and
// read result answer the chip reply alone, after the idle words.
#pragma once

#include <cstdint>
#include <vector>

namespace sim {

enum class SpiFault {
    None,
    NoReply,      // the chips (or microcontroller) stay silent
    WrongHeader,  // the reply's header code (or the 69 96 / A5 5A mark) is off
    BadAck,       // the second word of a wrapped reply has a non-zero second byte
    Decoy,        // a header-like word [code, 00] comes before the reply
    BadCrc,       // the reply's CRC is off by one bit
};

// Injection and records for this process; `chain` is the slot (direct) or
// the chain selected (single-board computer).
void spidev_set_idle(int chain, int words);
void spidev_inject(int chain, SpiFault fault, int times = 1);
// The next `n` reads, writes or transfers on any node fail with EIO.
void spidev_fail_io(int n);
// Requests written to the chain, as bytes on the wire.
std::vector<std::vector<uint8_t>> spidev_frames(int chain);
// Transfers or read() calls that fetched reply bytes.
int spidev_reads(int chain);
// The ioctl requests issued on any node, in order.
std::vector<unsigned long> spidev_ioctls();
// PIO select lines seen by the last transfer: PA0, PD14, PA1, PA2.
std::vector<int> spidev_last_select();
void spidev_clear_records();

// Registers the nodes with the os layer (from register_devices).
void register_spidev();

}  // namespace sim
