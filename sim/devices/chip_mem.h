// The register space of the memory chips (reset code 0xA4): each chip has
// an addressed 32-bit register file behind command 0D, four memory channels
// (AB, CD, EF, GH at channel bases 0x0000..0x6000) with a PHY, two
// controllers and a shared PHY PLL, a cache and DAG generator and sixteen
// core blocks. Status registers answer from what was written to that chip
// and channel.
//
// Command 0D data (12 bytes) are six big-endian words w1..w6: w3 bit 4 is
// the write flag, the address is (w3 & 0xF) << 16 | w4, w5/w6 the value
// (high word first). A read answers the request with the value in the w5/w6
// bytes. Cells are kept by address | 0x8000, so a field written at an
// address reads back at its bit-15 twin. Chip 0 writes every chip; a read
// of chip 0 answers chip 1's value.
//
// Faults, from the board's "mem_faults" list in the machine description
// (strings) or from lines of <sim dir>/chips<slot>. N is a chip (0 = every
// chip), CH a channel (AB, CD, EF, GH or 0..3; "*" every channel), S a PHY
// rate in GHz (3 low speed, 10 high speed; 0 every rate):
//   memtrain N            every write-check cycle of chip N fails
//   memwrite N CH C [S [T]]  the first C write-check cycles of channel CH
//                         fail (only in the first T write checks at rate S
//                         since power-on when T > 0)
//   memread N CH C [S [T]]   the same for the read check
//   memdag N              chip N never reports DAG generation done
//   memdag N H K          hub H of chip N shows done only at the (K+1)-th
//                         read of its block's status after the DAG start
//                         (its generation outlasts K of the test's polls)
//   membad N B            core block B of chip N fails all 32 sub-cores
//   membits N B MASK      core block B of chip N fails the sub-cores of the
//                         set bits of MASK (hex)
//   memcache N W          chip N's last cache word reads W (decimal)
//   memcount N cache|dag V   chip N counts V (hex) valid cache or DAG items
//   memphy N [CH [S]]     the PHY PLL of channel CH (default AB) of chip N
//                         never locks at rate S
//
// Logs, for tests: every register write to chip k of the chain in slot s is
// a line "<order> <address> <value>" (hex) of <sim dir>/mem<s>/writes<k>,
// every mode-register command a line "<order> <channel> <word>" of
// <sim dir>/mem<s>/mr<k>; the order counts the chain's writes from 1.
#pragma once

#include <cstdint>
#include <cstdio>
#include <jansson.h>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

namespace sim {

struct MemFault {
    std::string key;
    int chip = 0;
    int ch = -1;        // -1: every channel
    int block = 0;      // membad, membits; the hub for memdag
    int cycles = 0;     // memread, memwrite: failing cycles; memdag: polls
    int speed = 0;      // GHz, 0: every rate
    int times = 0;      // checks the fault lasts, 0: for good
    uint32_t v = 0;     // memcache word, membits mask, memcount value
    bool late = false;  // memdag with a hub
    std::string which;  // memcount: "cache" or "dag"
};

class MemChips {
public:
    MemChips(int chips, json_t *board, int slot);
    ~MemChips();
    // Power-on defaults: every register 0, no PLL, nothing generated.
    void reset();
    // Command 0D to chips first..last: the 12 request bytes in, the 12 reply
    // data bytes out.
    void reg0d(int first, int last, const uint8_t req[12], uint8_t out[12], const std::vector<MemFault> &extra);
    // Command 04 with the BIST pattern: the core blocks of first..last drop
    // their BIST results and take the next BIST start.
    void bist_reset(int first, int last);
    // Command 01: a chip reset for BIST and armed for core BIST (register
    // 0x84001 = 64) runs it: every block reports BIST done and its fail
    // bits, all set when the BIST seeds were not the chip's.
    void bist_start(int first, int last, const std::vector<MemFault> &extra);
    // Whether chip k can work a test job: its DAG is complete and right and
    // its memory reads back at the rate its PHY runs.
    bool can_hash(int k, const std::vector<MemFault> &extra) const;
    // A memory fault line of the controls file ("memtrain 2"), or false.
    static bool parse_fault(const std::string &line, MemFault *out);

private:
    struct Check {
        bool on = false;
        int index = 0;  // checks at this rate before this one
        int cycle = 0, failed = 0;
        bool good = false;  // the last cycle's words
    };
    struct Channel {
        Check read, write;
        bool c1_ready = false, c2_ready = false;  // controllers out of reset
        std::map<int, int> reads_at, writes_at;  // checks started per rate
        // Per rate: whether most cycles of the channel's last read / write
        // check at that rate were good.
        std::map<int, bool> read_ok, write_ok;
    };
    struct Chip {
        std::unordered_map<uint32_t, uint32_t> cell;
        Channel chan[4];
        uint32_t pll500 = 0, pll504 = 0;  // PHY PLL set-up and VCO words
        bool bist_reset = false;
        bool seeded = false;
        uint32_t seed = 0;
        uint32_t cache_items = 0, dag_items = 0;
        bool cache_done = false, cache_right = false;
        bool dag_started = false, dag_params_right = false;
        int dag_polls[16] = {};  // polls a block still shows not done; -1 never
        bool block_done[16] = {};
    };
    uint32_t get(const Chip &c, uint32_t addr) const;
    uint32_t read(int k, uint32_t addr, const std::vector<MemFault> &f);
    void write(int k, uint32_t addr, uint32_t v, const std::vector<MemFault> &f);
    void check_pulse(int k, int ch, bool read_check, uint32_t old, uint32_t v, const std::vector<MemFault> &f);
    void start_dag(int k, const std::vector<MemFault> &f);
    bool has(const std::vector<MemFault> &f, const char *key, int k, const MemFault **hit = nullptr) const;
    std::vector<const MemFault *> all(const std::vector<MemFault> &f, const char *key, int k) const;
    // Every channel of chip k locked and reading back right at the PHY's rate.
    bool memory_right(int k, const std::vector<MemFault> &f) const;
    int speed_ghz(const Chip &c) const;  // the PHY PLL's rate, 0 when none or not a memory rate
    uint32_t pll_lock(int k, int ch, const std::vector<MemFault> &f) const;
    uint32_t block_fails(int k, int b, const std::vector<MemFault> &f) const;
    void log_write(int k, uint32_t addr, uint32_t v);
    void log_mr(int k, int ch, uint32_t word);
    FILE *log_file(std::vector<FILE *> &files, const char *name, int k);
    void announce();

    std::vector<Chip> chip_;
    std::vector<MemFault> desc_faults_;
    int slot_;
    bool announced_ = false;
    uint64_t order_ = 0;
    std::vector<FILE *> write_logs_, mr_logs_;
};

}  // namespace sim
