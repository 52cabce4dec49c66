// What the three parts of the running-record code share: the block layer
// (kmx_record_blocks.cpp), the machine values (kmx_record_values.cpp) and
// the ring with the record file in RAM, the flush policy and its thread
// (kmx_record.cpp). Not part of the library's interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "record/kmx_record.h"
#include "record/kmx_record_shared_internal.h"

namespace kmx_record {

// ---- the block layer (kmx_record_blocks.cpp) ---------------------------------

// Where the key lies in block 0, behind the head.
constexpr uint32_t kKeyOffset = sizeof(record_head_sec);

// The head's CRC-32, over the bytes before its crc field.
uint32_t head_crc(const record_head_sec &h);

// A block image whose buffer stays with its thread for the next flush:
// every flush reads and rewrites whole 128 KiB blocks, and a fresh zeroed
// allocation for each costs new pages each time. Its bytes are whatever
// the last user left; block_image() fills all of them.
class BlockBuf {
public:
    BlockBuf() {
        std::vector<std::vector<uint8_t>> &sp = spares();
        if (sp.empty()) {
            img_.resize(KMX_RECORD_BLOCK);
        } else {
            img_ = std::move(sp.back());
            sp.pop_back();
        }
    }
    ~BlockBuf() {
        // A flush holds at most four blocks; a moved-from buffer is empty.
        if (img_.size() == KMX_RECORD_BLOCK && spares().size() < 4) spares().push_back(std::move(img_));
    }
    BlockBuf(const BlockBuf &) = delete;
    BlockBuf &operator=(const BlockBuf &) = delete;
    std::vector<uint8_t> &img() { return img_; }

private:
    // This thread's spare buffers; out of line, so that the pool is one
    // object of the block layer's and no name of the archive's own.
    static std::vector<std::vector<uint8_t>> &spares();
    std::vector<uint8_t> img_;
};

// The block images one flush changes, by block index.
using Blocks = std::map<uint32_t, BlockBuf>;

// What blocks whose rewrite failed should hold, by block index.
extern std::map<uint32_t, std::vector<uint8_t>> &s_unwritten;

// A block's image for this flush: the one already taken, the one a failed
// rewrite left, or what the flash holds; nullptr when it cannot be read.
std::vector<uint8_t> *block_image(Blocks &blocks, uint32_t block);
// The one way a ring block changes: after a copy of its new image.
bool rewrite_block(uint32_t block, std::vector<uint8_t> &img);

// A read at start, tried again after a failure.
bool read_at_start(uint32_t offset, uint8_t *buf, uint32_t len);
// The same, with what the blocks whose rewrite failed should hold in place
// of what the flash holds there.
bool read_kept_at_start(uint32_t offset, uint8_t *buf, uint32_t len);

// kBroken: a head cut short or damaged (its copy may hold it); kRefused: a
// whole head this code does not take; kUnreadable: the flash gave no head.
enum class Head { kValid, kBroken, kRefused, kUnreadable };
// Reads and checks the head of `block` (`why`, when given, gets the fault).
Head read_head(uint32_t block, record_head_sec &h, bool log, const char **why);

enum class Copy { kTaken, kNone, kUnreadable };
// Block 0's copy taken back over a block 0 cut short.
Copy take_back_copy();
// The ring copy taken back over the block its tag names; false when the
// flash cannot be read.
bool take_back_ring_copy();

// ---- the machine values (kmx_record_values.cpp) ------------------------------

constexpr uint8_t kAvgHistoryFloor = 143;  // 79 degrees Celsius
constexpr uint8_t kMaxHistoryFloor = 163;  // 99 degrees Celsius

// Monotonic seconds: kmx_get_systime_s, or the clock a test set.
uint64_t now_s();

// Held while the supply's reading is stored or the machine part copied.
extern std::mutex s_supply_lock;

// One chain's values as the record takes them.
chain_para chain_snapshot(const chain_para &c);
// The machine part of a record.
void put_machine(uint8_t *out);
void update_chains_errno();
// Which of the five kept history temperatures `cur` replaces; -1 when none.
int history_slot(const uint8_t (&hist)[5], uint8_t cur, uint8_t floor);
void check_history_temp();
void update_machine_info();

// ---- the event word and the key in memory (kmx_record.cpp) -------------------

// A flush failed less than an hour ago: no block is erased before the next try.
bool flush_backing_off();

int pending_event();
void set_event(int ev);
void consume_event(int ev);
void put_key(uint8_t *out);
void set_key(const record_key_sec &k);

// The bytes of `rec` with the one byte at `at` (the running mode, which
// the mining thread writes) taken by an atomic load.
template <typename T>
void copy_with_shared_byte(uint8_t *out, const T &rec, size_t at, const uint8_t &shared) {
    const uint8_t *p = reinterpret_cast<const uint8_t *>(&rec);
    memcpy(out, p, at);
    out[at] = kmx_record::shared_load(shared);
    memcpy(out + at + 1, p + at + 1, sizeof rec - at - 1);
}

}  // namespace kmx_record
