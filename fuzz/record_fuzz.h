// What the running-record targets share: the record clock they move by
// hand, the head's CRC and the set-up.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "record/kmx_record.h"
#include "record/kmx_record_internal.h"

extern "C" uint32_t kmx_crc32(uint32_t crc, const unsigned char *p, unsigned int len);

namespace fuzz {

inline uint64_t s_record_now = 1000000;
inline uint64_t record_clock() { return s_record_now; }

inline uint32_t head_crc(const record_head_sec &h) {
    return kmx_crc32(0, reinterpret_cast<const unsigned char *>(&h), offsetof(record_head_sec, crc));
}

// Blocks an earlier input's flush leaves behind that the start reads: block
// 0's copy (the area's last block) and the ring copy's tag (third from
// last). Erased before each input, so that the input alone decides the start
// and a fault found replays from its input.
inline void erase_left_copies(bool with_block0_copy) {
    const uint32_t copy = KMX_RECORD_AREA - KMX_RECORD_BLOCK, ring_tag = KMX_RECORD_AREA - 3 * KMX_RECORD_BLOCK;
    if ((with_block0_copy && kmx_erase_flash(copy, KMX_RECORD_BLOCK) != 0) ||
        kmx_erase_flash(ring_tag, KMX_RECORD_BLOCK) != 0)
        fail("flash", "cannot erase the copies an earlier input left");
}

inline void setup_record_machine() {
    setup_machine();
    kmx_record::set_clock(record_clock);
}

}  // namespace fuzz
