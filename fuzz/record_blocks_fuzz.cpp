// The running record's flash past block 0's head: the copy of block 0 in
// the record area's last block (taken back at start when block 0's head is
// broken) and the record slots behind the head, then a flush over them.
//
// Input: one selector byte, then the copy's first bytes (head and key,
// missing bytes erased), then the bytes of block 0's slots from slot 2 on.
// Selector bits 0-1: 0 takes the copy's head as it is, 1 puts the right
// CRC-32 into it, 2 and 3 also the right tag and version; bit 2 set leaves
// block 0's head erased (an interrupted rewrite), else block 0 gets a whole
// head at ring position 0.
// After start the head in memory must lie inside the ring; after a flush
// block 0's head must be whole, have moved by one record, the record must
// be in its slot, and the copy must equal block 0.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "record_fuzz.h"
#include "record/kmx_record.h"
#include "record/kmx_record_internal.h"

namespace {

constexpr uint32_t kCopyAt = KMX_RECORD_AREA - KMX_RECORD_BLOCK;
uint32_t crc_of(const record_head_sec &h) { return fuzz::head_crc(h); }

record_head_sec whole_head(record_head_sec h) {
    memcpy(h.tag, "LOG#", 4);
    memcpy(h.version, "0106", 4);
    h.crc = crc_of(h);
    return h;
}

void lay(uint32_t off, const std::vector<uint8_t> &img) {
    if (kmx_erase_flash(off, KMX_RECORD_BLOCK) != 0 ||
        kmx_write_flash(off, const_cast<uint8_t *>(img.data()), uint32_t(img.size())) != 0)
        fuzz::fail("flash", "cannot lay a block down");
}

void read_block(uint32_t off, std::vector<uint8_t> &img) {
    img.resize(KMX_RECORD_BLOCK);
    if (kmx_read_flash(off, img.data(), KMX_RECORD_BLOCK) != 0) fuzz::fail("flash", "read");
}

// The block images of an input, kept from one input to the next: fresh
// 128 KiB buffers per input cost more than the input itself.
std::vector<uint8_t> s_copy(KMX_RECORD_BLOCK), s_block0(KMX_RECORD_BLOCK), s_after, s_copy_after;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::setup_record_machine();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return -1;
    const unsigned sel = data[0];
    std::vector<uint8_t> &copy = s_copy, &block0 = s_block0;
    std::fill(copy.begin(), copy.end(), 0xFF);
    std::fill(block0.begin(), block0.end(), 0xFF);
    const size_t in_copy = std::min<size_t>(size - 1, 512);
    memcpy(copy.data(), data + 1, in_copy);
    memcpy(block0.data() + 512, data + 1 + in_copy, std::min<size_t>(size - 1 - in_copy, KMX_RECORD_BLOCK - 512));
    record_head_sec h;
    memcpy(&h, copy.data(), sizeof h);
    if ((sel & 3) >= 2) h = whole_head(h);
    if (sel & 3) h.crc = crc_of(h);
    memcpy(copy.data(), &h, sizeof h);
    if (!(sel & 4)) {
        record_head_sec b{};
        b.key_info_len = sizeof(record_key_sec);
        b.bytes_per_record = KMX_RECORD_SIZE;
        b = whole_head(b);
        memcpy(block0.data(), &b, sizeof b);
        memset(block0.data() + sizeof b, 0, sizeof(record_key_sec));
    }
    fuzz::erase_left_copies(false);
    lay(kCopyAt, copy);
    lay(0, block0);
    kmx_clear_record_ddr();

    if (!kmx_record_init()) fuzz::fail("record", "start failed on a working flash");
    const record_head_sec start = g_record_head_info;
    if (start.cur_pos > KMX_RECORD_SLOTS || start.total_records > KMX_RECORD_SLOTS)
        fuzz::fail("record", "head outside the ring after start");

    fuzz::s_record_now += 61;
    if (!kmx_write_record_to_ddr()) fuzz::fail("record", "record file write failed");
    std::string rec;
    if (!kos::read_file(KMX_RECORD_DDR, rec) || rec.size() != KMX_RECORD_SIZE) fuzz::fail("record", "record file");
    kmx_chain_overheat(1);
    rec[offsetof(machine_para, event_type)] = char(EVENTS_OVER_TEMP);
    fuzz::s_record_now += 1;
    if (!kmx_write_record_to_nand()) fuzz::fail("record", "flush failed on a working flash");

    std::vector<uint8_t> &after = s_after;
    read_block(0, after);
    record_head_sec on_flash;
    memcpy(&on_flash, after.data(), sizeof on_flash);
    if (memcmp(on_flash.tag, "LOG#", 4) != 0 || crc_of(on_flash) != on_flash.crc)
        fuzz::fail("record", "head on flash not whole after a flush");
    uint32_t want_pos = start.cur_pos + 1;
    if (want_pos > KMX_RECORD_SLOTS) want_pos -= KMX_RECORD_SLOTS;
    if (on_flash.cur_pos != want_pos) fuzz::fail("record", "ring position did not move by one record");
    uint32_t idx = start.cur_pos == KMX_RECORD_SLOTS ? 0 : start.cur_pos;
    std::string slot(KMX_RECORD_SIZE, '\0');
    if (kmx_read_flash((idx + KMX_RECORD_FIRST_SLOT) * KMX_RECORD_SIZE, reinterpret_cast<uint8_t *>(slot.data()),
                       KMX_RECORD_SIZE) != 0 ||
        slot != rec)
        fuzz::fail("record", "the record is not in its slot");
    read_block(kCopyAt, s_copy_after);
    if (s_copy_after != after) fuzz::fail("record", "the copy differs from block 0");
    kmx_clear_record_ddr();
    // The flush's CPU reading runs a command: emptied here, or the
    // recorder grows every input and libFuzzer runs each input again
    // looking for the leak.
    fuzz::shell().take();
    return 0;
}
