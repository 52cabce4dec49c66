// The register space of the memory chips (reset code 0xA4): each chip has
// an addressed 32-bit register file behind command 0D, and the registers the
// board test polls during core BIST, trainings, cache and DAG preparation
// answer from what was written to the chip.
//
// Command 0D data (12 bytes) are six big-endian words w1..w6: w3 bit 4 is
// the write flag, the address is (w3 & 0xF) << 16 | w4, w5/w6 the value
// (high word first). A read answers the request with the value in the w5/w6
// bytes. Cells are kept by address | 0x8000, so a field written at an
// address reads back at its bit-15 twin. Chip 0 writes every chip; a read
// of chip 0 answers chip 1's value.
//
// Faults, from the board's "mem_faults" list in the machine description
// (strings) or from lines of <sim dir>/chips<slot>; N is a chip, 0 = every
// chip:
//   memtrain N     write-training check words of chip N never match
//   memdag N       chip N never reports DAG generation done
//   membad N B     core block B of chip N fails all 32 sub-cores in BIST
//   memcache N W   chip N's last cache word reads W (decimal)
//   memphy N       the PHY PLL of chip N's channel AB never locks
#pragma once

#include <cstdint>
#include <jansson.h>
#include <string>
#include <unordered_map>
#include <vector>

namespace sim {

struct MemFault {
    std::string key;
    int chip = 0;
    int v = 0;
};

class MemChips {
public:
    MemChips(int chips, json_t *board, int slot);
    // Power-on defaults: every register 0.
    void reset();
    // Command 0D to chips first..last: the 12 request bytes in, the 12 reply
    // data bytes out.
    void reg0d(int first, int last, const uint8_t req[12], uint8_t out[12], const std::vector<MemFault> &extra);
    // Command 01: a chip armed for core BIST (register 0x84001 = 64)
    // completes it: every block reports BIST done and its fail bits.
    void bist_start(int first, int last, const std::vector<MemFault> &extra);
    // A memory fault line of the controls file ("memtrain 2"), or false.
    static bool parse_fault(const std::string &line, MemFault *out);

private:
    struct Chip {
        std::unordered_map<uint32_t, uint32_t> cell;
        uint32_t lock_value = 2;  // PHY PLL lock word after the last PLL kind set up
    };
    uint32_t get(const Chip &c, uint32_t addr) const;
    uint32_t read(int k, uint32_t addr, const std::vector<MemFault> &f) const;
    void write(int k, uint32_t addr, uint32_t v, const std::vector<MemFault> &f);
    bool has(const std::vector<MemFault> &f, const char *key, int k, int *v = nullptr) const;
    void announce();

    std::vector<Chip> chip_;
    std::vector<MemFault> desc_faults_;
    int slot_;
    bool announced_ = false;
};

}  // namespace sim
