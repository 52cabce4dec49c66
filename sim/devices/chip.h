// An emulated chain of chips on one SPI link, speaking the chip command
// protocol: [code, chip id, data..., CRC-16 high, low]. Built from the
// machine description's board object:
//   "chips": N            chips on the board, 0..255 (default 0 = nothing
//                         answers)
//   "chip_type": T        0..15: reset replies carry T in the high nibble; type 3
//                         answers the sensor its configuration register
//                         selects in bytes 2-3 (big-endian) of a
//                         register-0x0d exchange
//   "dead": true          the board never answers (all-zero words)
//   "silent_chip": k      chip k (1..chips) never answers; enumeration stops
//                         before it
//   "crc_error": true     every reply carries a corrupted CRC
//   "temp_raw": v         raw sensor code of chip 1 (chip i: v + i - 1) in the
//                         register image; a board without it reads its
//                         thermal model ("heat", 0 by default: 25 degrees)
//                         once it has a controls file
//   "temp_never_completes": true   the hub's temperature sweep never ends
//   "heat": W             thermal model on: at full fan stop the chips settle
//                         W degrees above 25; the fan duty divides the rise
//                         by (1 + duty / 25); 20 s time constant
//   "no_power": true     the plug says present but the board gets no power:
//                         nothing answers and its supply output reads 0 V
//   "stop_after_jobs": n  the chain goes silent after n jobs were written
//                         to it (a board that fails once mining): frames
//                         of code 7, and on the wide-job chips (reset
//                         codes 0 and 5) code C too
//   "pll_lock_ms": t      a PLL image with the PLL flag reads locked
//                         (byte 0 bit 6) only t ms after it was written
//   "pll_fail_mhz": F     the chips fail PLL writes of F MHz or more (1 or
//                         more; the MHz of an image as the chip decodes it,
//                         see the PLL choices in chip.cpp)
//   "pll_fail_chip": k    only chip k (1..chips; 0, the default: every chip)
//                         fails them
//   "chip_model": 14 / 15   chips of reset code 0x54 (chip_type 5) that are
//                         the later models: they reset to a 120 MHz PLL (02 50 40 30)
//                         and model 15 reads identity 0x1954 in 0D bytes 10-11
//   "volt_mv": m          the regulator's output at code 0 (default 420 mV,
//                         780 mV on a board of memory chips; modelled once
//                         this key, a controls file or a regulator setting
//                         exists)
//   "mv_per_vid": s       the regulator's step per VID (default 3 mV)
//   "min_mv": m           brown-out: below m mV of core voltage the chips
//                         stop answering and lose their ids and registers
//                         (default 0: never)
// The regulator takes a code, a byte: a higher code gives a lower voltage,
// mv_per_vid / 8 per code: output = volt_mv - mv_per_vid * code / 8, rounded
// (420 mV at code 0, 324 mV at 255). A UART VID frame's byte is that code;
// the pulse waveform (hub, SoC) and the VID generator carry a VID, which the
// regulator takes as code 8 x VID (3 mV per VID). So the board test's UART
// map rows (8 x VID up to VID 24: VID 18 -> 144 -> 366 mV, VID 25 -> 201 ->
// 345 mV; the other row 72..255 -> 393..324 mV), the mining program's code
// table and the VID roads at VIDs 0..31 give a hashing chip 324..420 mV, in the
// board test's limits for them (at least 0.26 to 0.32 V, at most 0.9 V); a
// memory-chip board gives 684..780 mV (at least 0.6 V). On every road a
// higher VID gives a lower core voltage. The regulator keeps its set point
// in <sim dir>/regulator<slot>, its own state apart from the controls a
// test writes: one line, "vid V" when the pulse waveform or the VID
// generator set it (code 8 x V), "code C" when a UART VID frame did. A
// pulled board's regulator takes no setting and forgets the one it had.
// A board pulled from its slot (its plug line high, `kmx-sim plug SLOT 0`)
// answers nothing: its chips, their sensors and its regulator are gone with
// it, and the chips come back without ids or registers.
// A control-board test fixture in place of a hash board ("fixture": true):
//   get-work-mode (0x0F) answers "work_mode" in byte 0 (default 0x0F, the
//   plain echo; -1 no answer); a job frame (0x07) is echoed as frame bytes
//   0-41 and its CRC (pair-swapped bytes 0-157) twice; "echo_fault": "data"
//   changes echo byte 17, "crc" byte 44, "none" drops the echo; BIST start
//   answers "chips" (default 10). The fixture leaves the plug inputs high.
// A chip's temperature sensor reads t degrees as the raw code T0 - 1.5 x t
// (10 bits), T0 by the chips' process: 588 on reset codes 0, 5 and 9, 605
// on chip model 15, 594 on the others. Its voltage sensor reads m mV as
// the code nearest m x 1024 / K, K by the same process: 1248, 1238, 1230.
// Sensor controls while the machine runs, <sim dir>/chips<slot>, a line each
// (N a chip, 0..255; other values whole decimal numbers unless said). A
// line with another key, a missing, extra or malformed value, a chip past
// the board's count, or a memory fault on a board without memory chips is
// refused (refusal.h) and does nothing:
//   temp N C     chip N (0 = every chip) reads C degrees
//   settle N C R chip N (0 = every chip) reads C degrees on its first R
//                register reads outside voltage mode after each reset (a
//                sensor that has not settled yet); its usual reading after
//   raw N V      chip N's sensor gives raw code V, 0..1023 (a lying sensor)
//   volt N D     chip N's core voltage is D mV off the chain's (its series
//                group takes more or less of the stack's voltage)
//   stale N      chip N repeats the code it gave last
//   badcrc N     chip N's (0: every chip's) replies carry a corrupted CRC
//   badhead N    chip N's (0: every chip's) data replies carry a corrupted
//                high nibble in their code byte (0x1A reads 0x2A), CRC sound
//   silent N     chip N ignores register reads
//   pllfail N F  chip N (0 = every chip) fails PLL writes of F MHz or more
//   fail C [N]   commands with code C (hex 0..f, e.g. 01, 0b) get no reply;
//                with N, only once the chain has answered N of them (a
//                link that gives out during the test; counted from the
//                machine's start, power cycles included)
//   cores N C    chip N (0 = every chip) reports C in register byte 11
//   unlocked N   chip N (0 = every chip) reports its main PLL unlocked
//   drop N       chip N (0 = every chip) loses its test-job results
//   corrupt N    chip N answers test jobs with a wrong nonce word
//                (chip type 12: every solution's; see test_jobs.h)
//   wrongjob N   chip N answers test jobs as if for another job id
//   groups N M   chip N finds wide-job nonces in core groups M (0..15) only
// Memory chips (chip type 10, reset code 0xA4) answer command 0D from a
// register space, with the fault keys "mem_faults" / mem* lines of
// chip_mem.h; they work test jobs only with their DAG in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <jansson.h>
#include <mutex>
#include <string>
#include <vector>
#include "drv/kmx_chip_frame_internal.h"

namespace sim {

// The frequency (MHz) of a configuration image that carries its PLL as
// divider fields (pre, feedback, post), decoded in the layout the board
// test packs for its chip type `chip_type` (its numbers, not reset codes);
// 0 when the fields give none.
int divider_image_mhz(const uint8_t *cfg, int chip_type);

class MemChips;
struct MemFault;

// CRC-16/MODBUS, bitwise; frames use it over byte-pair-swapped input.
uint16_t chip_crc16(const uint8_t *p, size_t n);
uint16_t chip_frame_crc16(const uint8_t *p, size_t n);

// The board's regulator (see the header comment): a VID road (pulse
// waveform, VID generator) or a UART frame sets its point; each replaces
// the other's. Nothing happens on a slot without a seated board.
void set_chain_vid(int slot, int vid);
void set_chain_code(int slot, int code);
// The regulator's code of the board in `slot` (0 before any setting); false
// when none was set.
bool regulator_code(int slot, int *code);
// The regulator loses its setting (its board was pulled).
void forget_regulator(int slot);
// Whether a board is described in `slot` and seated: its plug line reads
// low (kmx-sim boot and kmx-sim plug drive it). A test fixture is always
// seated: its plug line is its own loop-back.
bool board_seated(int slot);
// The regulator's output (mV) at `code`: top_mv less mv_per_vid per eight codes.
int regulator_mv(int top_mv, int mv_per_vid, int code);
// The regulator's output at code 0 on a board of hashing chips, of memory chips.
constexpr int kHashChipTopMv = 420;
constexpr int kMemChipTopMv = 780;

class ChipChain {
public:
    explicit ChipChain(json_t *board, int slot = -1);  // null: empty slot
    // Where the thermal model learns the fan duty (percent).
    void set_fan_duty_source(std::function<int()> f) { fan_duty_ = std::move(f); }

    // One frame in; reply_len bytes of reply out (zeros where no chip
    // answers). Thread-safe. `divider_pll`: a command-09 image without the
    // PLL flag still sets the PLL through its divider fields (the board
    // test's push codes).
    void exchange(const uint8_t *frame, size_t len, uint8_t *reply, size_t reply_len, bool divider_pll = false);
    // Power removed or reset held: the chips lose ids, registers and work.
    void lose_state();
    // The sensor field of each answering chip's register image, bits msb
    // down to lsb counted from the image's last bit (empty when none answer).
    std::vector<int> sensor_codes(int msb, int lsb);
    bool sweep_never_completes() const { return never_completes_; }
    bool is_fixture() const { return fixture_; }

private:
    struct Chip {
        uint8_t reg0a[12];
        uint8_t reg0d[12];
        bool addressed = false;   // given an id by a BIST start
        uint64_t pll_ms = 0;      // when its last PLL image was written
        bool pll_refused = false; // its last PLL image could not run
        // Its last configuration image came in the library's layout (its
        // push codes): the two programs place the lock flag differently, so
        // such an image reads back as written.
        bool library_image = false;
        int temp_reads = 0;  // reads outside voltage mode since the reset
        std::deque<std::vector<uint8_t>> results;
        std::deque<std::vector<uint8_t>> test_results;  // [code, data...]
    };
    void reset_chips();
    void fixture_exchange(const uint8_t *frame, size_t len, uint8_t *reply, size_t reply_len);
    int answering() const;  // chips reachable from the hub
    int wide_cores() const; // cores per core group of a wide-job chip
    int temp_t0() const;    // the sensor's temperature constant
    int volt_k() const;     // the sensor's voltage factor
    int pll_image_layout() const;  // the board-test chip type whose PLL image this chip takes
    bool is_job_write(uint8_t code) const;  // whether a frame of `code` writes a job
    uint8_t core_bits() const;  // the bits of register byte 11 that hold the good cores
    uint8_t healthy_cores() const;  // byte 11 of a chip whose cores are all good
    void reply_frame(uint8_t code, uint8_t id, const uint8_t *data, size_t dlen, uint8_t *reply, size_t reply_len);

    std::mutex lock_;
    int chips_ = 0;
    int chip_type_ = 0;
    int model_ = 0;
    bool dead_ = false;
    int silent_ = 0;
    bool crc_error_ = false;
    int bad_crc_chip_ = -1;  // from a "badcrc" control, for the exchange under way
    int bad_head_chip_ = -1; // from a "badhead" control, likewise
    int temp_raw_ = 600;
    bool raw_given_ = false;  // "temp_raw" described: no thermal model without "heat"
    bool never_completes_ = false;
    int pll_lock_ms_ = 0;
    int pll_fail_mhz_ = 0;
    int pll_fail_chip_ = 0;
    struct Control {
        std::string key;
        int n = 0, v = 0, r = 0;
    };
    // The controls file's lines (refusing those it does not know); whether
    // the file exists into has_controls_.
    std::vector<Control> controls();
    bool has_controls_ = false;
    // Whether a control `key` names chip k (0 in the control: every chip);
    // its value into *v.
    static bool names(const std::vector<Control> &ctl, const char *key, int k, int *v = nullptr);
    bool test_job(const uint8_t *frame, size_t len, Chip &target, int k, const std::vector<Control> &ctl);
    void queue_solutions(Chip &target, int job_id, uint32_t g, uint16_t start, uint16_t end, bool corrupt);
    void report_pll_lock(const Chip &c, int k, const std::vector<Control> &ctl, uint8_t data[12]) const;
    int slot_ = -1;
    bool fixture_ = false;
    int work_mode_ = 0x0F;
    std::string echo_fault_;
    double heat_ = 0;
    int volt_mv_ = 420;
    bool volt_modelled_ = false;
    int mv_per_vid_ = 3;
    int min_mv_ = 0;
    // Core voltage (mV) at the regulator's setting; whether it has one.
    int core_mv(bool *set = nullptr) const;
    double model_t_ = 25;
    uint64_t model_ms_ = 0;
    std::function<int()> fan_duty_;
    std::vector<int> last_code_;
    // Raw code chip k (1-based) reports now; -1: the read goes unanswered.
    int sensor_code(int k, bool volt_mode, const std::vector<Control> &ctl);
    static int sensor_selected(const uint8_t reg[12]);  // 0 temp, 1 volt, -1 neither
    std::vector<Chip> chip_;
    // The register space of memory chips (null for other chip types).
    std::shared_ptr<MemChips> mem_;
    std::vector<MemFault> mem_faults(const std::vector<Control> &ctl);

    // Faults of a board in service (see the keys above).
    void read_service_faults(json_t *board);
    bool silenced_by_fault(uint8_t code);
    bool no_power_ = false;
    long long stop_after_jobs_ = -1;
    long long jobs_seen_ = 0;
    long long code_seen_[16] = {};  // commands answered, by code
};

}  // namespace sim
