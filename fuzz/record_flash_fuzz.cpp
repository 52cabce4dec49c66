// The running record's head and key area as read from flash at start
// (/dev/mtd9, bytes 0-511), and the first flush that follows.
//
// Input: one selector byte, then the head and key bytes (missing bytes read
// as erased flash). Selector bits 0-1: 0 takes the head as it is, 1 puts the
// right CRC-32 into it, 2 and 3 also the right tag and version, so the
// fuzzer reaches past those checks; bits 2-7 give the chains' temperatures
// of the first record.
// After start the head in memory must lie inside the ring; after a flush
// the head on flash must be whole (tag, CRC, ring positions) and the key on
// flash must be the key in memory.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "record_fuzz.h"
#include "module/kmx_chain.h"
#include "record/kmx_record.h"
#include "record/kmx_record_internal.h"

namespace {

uint32_t crc_of(const record_head_sec &h) { return fuzz::head_crc(h); }

void check_head(const record_head_sec &h, const char *where) {
    if (memcmp(h.tag, "LOG#", 4) != 0) fuzz::fail(where, "head tag");
    if (crc_of(h) != h.crc) fuzz::fail(where, "head CRC");
    if (h.cur_pos > KMX_RECORD_SLOTS || h.total_records > KMX_RECORD_SLOTS)
        fuzz::fail(where, "head outside the ring: " + std::to_string(h.cur_pos) + " " + std::to_string(h.total_records));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::setup_record_machine();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 || size > 1 + 512) return -1;
    const unsigned sel = data[0];
    std::vector<uint8_t> area(512, 0xFF);
    memcpy(area.data(), data + 1, size - 1);
    record_head_sec h;
    memcpy(&h, area.data(), sizeof h);
    if ((sel & 3) >= 2) {
        memcpy(h.tag, "LOG#", 4);
        memcpy(h.version, "0106", 4);
    }
    if (sel & 3) h.crc = crc_of(h);
    memcpy(area.data(), &h, sizeof h);
    fuzz::erase_left_copies(true);
    if (kmx_erase_flash(0, KMX_RECORD_BLOCK) != 0 || kmx_write_flash(0, area.data(), uint32_t(area.size())) != 0)
        fuzz::fail("flash", "cannot lay the head down");
    kmx_clear_record_ddr();

    if (!kmx_record_init()) fuzz::fail("record", "start failed on a working flash");
    check_head(g_record_head_info, "head after start");
    const record_head_sec start = g_record_head_info;

    // One minute's record with the chosen temperatures, and an event that
    // sends it to flash at once.
    g_detect_over = false;
    for (chain_para &c : g_chains_info) {
        c.tmp_avg = uint8_t(sel & 0xFC);
        c.tmp_max = uint8_t((sel & 0xFC) + 3);
        c.temp_timestamp = 77;
    }
    fuzz::s_record_now += 61;
    if (!kmx_write_record_to_ddr()) fuzz::fail("record", "record file write failed");
    kmx_chain_overheat(1);
    fuzz::s_record_now += 1;
    if (!kmx_write_record_to_nand()) fuzz::fail("record", "flush failed on a working flash");

    record_head_sec on_flash;
    if (kmx_read_flash(0, reinterpret_cast<uint8_t *>(&on_flash), sizeof on_flash) != 0) fuzz::fail("flash", "read");
    check_head(on_flash, "head on flash after a flush");
    uint32_t want_pos = start.cur_pos + 1;
    if (want_pos > KMX_RECORD_SLOTS) want_pos -= KMX_RECORD_SLOTS;
    if (on_flash.cur_pos != want_pos) fuzz::fail("record", "ring position did not move by one record");
    record_key_sec key;
    if (kmx_read_flash(sizeof(record_head_sec), reinterpret_cast<uint8_t *>(&key), sizeof key) != 0 ||
        memcmp(&key, &g_record_key_info, sizeof key) != 0)
        fuzz::fail("record", "key on flash differs from the key in memory");
    kmx_clear_record_ddr();
    // The record's CPU reading runs a command each flush: the recorder's
    // list is emptied, or it grows by one every input, and libFuzzer runs
    // every input a second time looking for the leak.
    fuzz::shell().take();
    return 0;
}
