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

inline void setup_record_machine() {
    setup_machine();
    kmx_record::set_clock(record_clock);
}

}  // namespace fuzz
