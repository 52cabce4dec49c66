// The record area on /dev/mtd9 (0xA00000 bytes, erase blocks of 0x20000),
// and the power-safe layer that changes its blocks:
//
//   block 0       head (bytes 0-49), key (50-511), ring slots 2-511
//   blocks 1-21   the rest of the ring, up to slot 10803
//   blocks 22-76  unused
//   block 77      the ring copy's tag (0x9A0000): which block the ring copy
//                 is for, with a CRC-32 of its image
//   block 78      the ring copy (0x9C0000): the new image of the one ring
//                 block other than 0 being rewritten
//   block 79      block 0's copy (0x9E0000): block 0's new image
//
// Every change to a ring block goes through rewrite_block(): a block other
// than 0 after erasing the tag, writing the ring copy and then its tag;
// block 0 after its copy. At start a whole tag whose copy differs from its
// block is written back over the block, so a change made to that block any
// other way is undone at the next start. This is the one gate: besides
// rewrite_block(), only the start writes ring blocks, when it takes a copy
// back over its block, or erases the whole area (the tag with it) under a
// head it refuses.
//
// The cut points: where a power cut can fall while rewrite_block() changes
// a block, what it leaves on flash, and what the start
// (init_cache_head_and_key: block 0's head and copy first, then the ring
// copy's tag) does with it. The head moves on only with block 0, so until
// then the batch also waits in the record file in RAM, and what reached
// ring slots past the head is written again by the next flush, into the
// same slots.
//
//   cut while                      leaves on flash                 start
//   -- ring block N (1-21) -------------------------------------------------------
//   1 the tag (77) is erased       no whole tag, or the previous   as after that
//                                  rewrite's tag and copy          rewrite (4, 5)
//   2 the ring copy (78) is        no whole tag; N as it was       nothing taken back
//     erased or written
//   3 the tag is written           a tag that fails its CRC;       nothing taken back
//                                  N as it was
//   4 N is erased or written,      a whole tag naming N, its copy  the copy goes back
//     its first 50 bytes last      whole, N cut short              over N: "log block
//                                                                  %u is taken from
//                                                                  its copy !"
//   5 after N, before block 0      a whole tag naming N, N equal   nothing to do
//                                  to its copy, the old head
//   -- block 0 (head, key, slots 2-511), after every other block ------------------
//   6 block 0's copy (79) is       block 0 whole with the old      block 0 as it is;
//     erased or written, its       head; the copy cut short or     the copy unread
//     head last                    whole
//   7 block 0 is erased or         block 0's head erased or cut    head and key from
//     written, its head last       short; its copy whole with      the copy, which
//                                  the new head                    goes back over
//                                                                  block 0: "log_head
//                                                                  is taken from its
//                                                                  copy !"; then as 8
//   8 after block 0's head,        the batch and the new head on   the file's first
//     before the record file       flash, the batch still in the   records that are
//     lets the batch go            file                            the last on flash
//                                                                  leave it
//
// A cut during a take-back leaves the same tag or copy whole, and the next
// start takes it back again. Within an hour of a failed flush the start
// writes no block: the copy taken back waits in memory for the next flush,
// which rewrites it before any other block (the copy on flash holds it
// until then). A rewrite that fails without a cut keeps its
// image in s_unwritten, and the next flush starts from that image.
#include "record/kmx_record.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <map>
#include <vector>

#include "module/kmx_log.h"
#include "os/devices.h"
#include "os/os.h"
#include "record/kmx_record_internal.h"
#include "record/kmx_record_parts_internal.h"

using namespace kmx_record;

namespace {

// Where block 0's image is written before block 0 itself.
constexpr uint32_t kCopyBlock = KMX_RECORD_AREA / KMX_RECORD_BLOCK - 1;
// Where the image of any other ring block is written before that block,
// and the tag that names the block and proves the image whole.
constexpr uint32_t kRingCopyBlock = kCopyBlock - 1;
constexpr uint32_t kRingTagBlock = kCopyBlock - 2;
// The ring's last block (slot 10803).
constexpr uint32_t kLastRingBlock =
    ((KMX_RECORD_FIRST_SLOT + KMX_RECORD_SLOTS) * KMX_RECORD_SIZE - 1) / KMX_RECORD_BLOCK;
static_assert(kLastRingBlock < kRingTagBlock, "the copies lie past the ring");
// Reads of the head and the copies at start: a failed one is tried again
// before the area counts as unreadable.
constexpr int kStartReadTries = 3;
constexpr unsigned kStartReadPauseMs = 100;

// ---- CRC-32 (reflected 0xEDB88320) ------------------------------------------

constexpr std::array<uint32_t, 256> make_crc_table() {
    std::array<uint32_t, 256> t{};
    for (uint32_t n = 0; n < 256; n++) {
        uint32_t c = n;
        for (int k = 0; k < 8; k++) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[n] = c;
    }
    return t;
}
constexpr std::array<uint32_t, 256> kCrcTable = make_crc_table();

uint32_t crc_update(uint32_t crc, const unsigned char *p, unsigned len) {
    for (unsigned i = 0; i < len; i++) crc = kCrcTable[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    return crc;
}

}  // namespace

namespace kmx_record {

std::vector<std::vector<uint8_t>> &BlockBuf::spares() {
    static thread_local std::vector<std::vector<uint8_t>> s;
    return s;
}

uint32_t head_crc(const record_head_sec &h) {
    return kmx_crc32(0, reinterpret_cast<const unsigned char *>(&h), offsetof(record_head_sec, crc));
}

}  // namespace kmx_record

namespace {

// ---- flash ------------------------------------------------------------------

// Reads all `len` bytes, continuing after partial reads. A device that ends
// early is logged; `need_all` callers then fail instead of using the rest of
// their buffer as if it came from flash.
int32_t read_flash(uint32_t offset, uint8_t *buf, uint32_t len, bool need_all) {
    int fd = kos::mtd_open(KMX_RECORD_MTD);
    if (fd < 0) {
        kmx_logf(3, "%s    %d  errno:%d\n", "kmx_read_flash", __LINE__, errno);
        return -1;
    }
    uint32_t got = 0;
    while (got < len) {
        long n = kos::mtd_pread(fd, buf + got, len - got, offset + got);
        if (n < 0) {
            kmx_logf(3, "%s    %d  errno:%d\n", "kmx_read_flash", __LINE__, errno);
            kos::mtd_close(fd);
            return -1;
        }
        if (n == 0) break;
        got += uint32_t(n);
    }
    kos::mtd_close(fd);
    if (got < len) {
        kmx_logf(3, "%s: short read, requested %#x, read %#x\n", "kmx_read_flash", len, got);
        if (need_all) return -1;
    }
    return 0;
}

}  // namespace

namespace kmx_record {

// Blocks whose rewrite failed, possibly after their erase: what they should
// hold. Reading them back from flash would give erased bytes and lose what
// they held, so the next pass starts from this image instead.
// Never destroyed: the mining program's exit runs the static destructors
// while the record thread may be in the middle of a flush.
std::map<uint32_t, std::vector<uint8_t>> &s_unwritten = *new std::map<uint32_t, std::vector<uint8_t>>;

std::string unwritten_image(uint32_t block) {
    const auto it = s_unwritten.find(block);
    return it == s_unwritten.end() ? std::string() : std::string(it->second.begin(), it->second.end());
}

std::vector<uint8_t> *block_image(Blocks &blocks, uint32_t block) {
    auto it = blocks.find(block);
    if (it != blocks.end()) return &it->second.img();
    it = blocks.try_emplace(block).first;
    std::vector<uint8_t> &img = it->second.img();
    auto kept = s_unwritten.find(block);
    if (kept != s_unwritten.end()) {
        img = kept->second;
    } else if (read_flash(block * KMX_RECORD_BLOCK, img.data(), KMX_RECORD_BLOCK, true) != 0) {
        blocks.erase(it);
        return nullptr;
    }
    return &img;
}

}  // namespace kmx_record

namespace {

// Erases one block and writes its image with the head area last: the head
// of a block that holds one then proves that everything behind it reached
// flash, and a write cut short leaves a head that fails its check.
bool program_block(uint32_t block, std::vector<uint8_t> &img) {
    const uint32_t off = block * KMX_RECORD_BLOCK;
    return kmx_erase_flash(off, KMX_RECORD_BLOCK) == 0 &&
           kmx_write_flash(off + kKeyOffset, img.data() + kKeyOffset, KMX_RECORD_BLOCK - kKeyOffset) == 0 &&
           kmx_write_flash(off, img.data(), kKeyOffset) == 0;
}

// What names the image in the ring copy block: the block it is for and a
// CRC-32 over the image, with a CRC-32 over these first 12 bytes.
struct RingCopyTag {
    char tag[4];
    uint32_t block;
    uint32_t image_crc;
    uint32_t crc;
};
static_assert(sizeof(RingCopyTag) == 16, "ring copy tag");
constexpr char kRingCopyMark[4] = {'B', 'L', 'K', '#'};

uint32_t image_crc(const std::vector<uint8_t> &img) { return kmx_crc32(0, img.data(), unsigned(img.size())); }

uint32_t ring_tag_crc(const RingCopyTag &t) {
    return kmx_crc32(0, reinterpret_cast<const unsigned char *>(&t), offsetof(RingCopyTag, crc));
}

// The new image of ring block `block` (not 0) goes to the ring copy block
// before the block is erased, and its tag after it: a whole tag proves a
// whole image, which the start writes back over a block cut short.
bool program_ring_copy(uint32_t block, std::vector<uint8_t> &img) {
    RingCopyTag t{};
    memcpy(t.tag, kRingCopyMark, sizeof t.tag);
    t.block = block;
    t.image_crc = image_crc(img);
    t.crc = ring_tag_crc(t);
    return kmx_erase_flash(kRingTagBlock * KMX_RECORD_BLOCK, KMX_RECORD_BLOCK) == 0 &&
           kmx_erase_flash(kRingCopyBlock * KMX_RECORD_BLOCK, KMX_RECORD_BLOCK) == 0 &&
           kmx_write_flash(kRingCopyBlock * KMX_RECORD_BLOCK, img.data(), KMX_RECORD_BLOCK) == 0 &&
           kmx_write_flash(kRingTagBlock * KMX_RECORD_BLOCK, reinterpret_cast<uint8_t *>(&t), sizeof t) == 0;
}

}  // namespace

namespace kmx_record {

// Every ring block holds records already on flash: its erase would lose
// them at a power cut. Its new image is written to a copy first. Block 0
// (head, key and the first 510 slots) has its own copy in the last block of
// the record area, which the start takes back when block 0's head is
// broken; the other ring blocks share the ring copy block.
bool rewrite_block(uint32_t block, std::vector<uint8_t> &img) {
    const bool copied = block == 0 ? program_block(kCopyBlock, img) : program_ring_copy(block, img);
    if (!copied || !program_block(block, img)) {
        s_unwritten[block] = img;
        return false;
    }
    s_unwritten.erase(block);
    return true;
}

// A read at start, tried again after a failure: a read error is no proof
// that the flash holds nothing worth keeping.
bool read_at_start(uint32_t offset, uint8_t *buf, uint32_t len) {
    for (int i = 0; i < kStartReadTries; i++) {
        if (i) kos::sleep_ms(kStartReadPauseMs);
        if (read_flash(offset, buf, len, true) == 0) return true;
    }
    return false;
}

bool read_kept_at_start(uint32_t offset, uint8_t *buf, uint32_t len) {
    if (!read_at_start(offset, buf, len)) return false;
    for (const auto &[block, img] : s_unwritten) {
        const uint32_t from = std::max(offset, block * KMX_RECORD_BLOCK);
        const uint32_t to = std::min(offset + len, (block + 1) * KMX_RECORD_BLOCK);
        if (from < to) memcpy(buf + (from - offset), img.data() + (from - block * KMX_RECORD_BLOCK), to - from);
    }
    return true;
}

// A copy taken back at start goes over its block at once, unless a flush
// failed within the hour: a worn block would then be erased again at every
// start of a program restarted in a loop. Its image waits in s_unwritten for
// the next flush, which writes it first; the copy on flash keeps it until then.
static void put_back(uint32_t block, std::vector<uint8_t> &img) {
    if (!flush_backing_off() && program_block(block, img))
        s_unwritten.erase(block);
    else
        s_unwritten[block] = img;
}

// Reads and checks the head of `block`; `log` names each fault found,
// `why` (when given) gets the fault of a head that was read whole.
Head read_head(uint32_t block, record_head_sec &h, bool log, const char **why = nullptr) {
    const char *fn = "init_cache_head_and_key";
    const char *fault = nullptr;
    Head verdict = Head::kBroken;
    if (!read_at_start(block * KMX_RECORD_BLOCK, reinterpret_cast<uint8_t *>(&h), sizeof h)) {
        if (log) kmx_logf(3, "%s    %d\n", fn, __LINE__);
        return Head::kUnreadable;
    }
    if (memcmp(h.tag, "LOG#", 4) != 0) {
        fault = "log_head_tag is wrong";
    } else if (head_crc(h) != h.crc) {
        fault = "log_head crc  is wrong";
    } else if (verdict = Head::kRefused; memcmp(h.version, "0106", 4) < 0) {
        fault = "log_head_version has changed";
    } else if (h.cur_pos > KMX_RECORD_SLOTS || h.total_records > KMX_RECORD_SLOTS) {
        // A head with a good CRC but positions outside the ring would send
        // the next flush past the record area.
        fault = "log_head is out of range";
    } else {
        verdict = Head::kValid;
    }
    if (fault && log) kmx_logf(3, "%s    %d  %s !\n", fn, __LINE__, fault);
    if (why) *why = fault;
    return verdict;
}

// Block 0 cut short (its head written last is broken): its copy, when whole,
// holds what the interrupted rewrite was putting there. Block 0 is written
// back from it; should that fail, the next flush writes it.
Copy take_back_copy() {
    record_head_sec h;
    const Head verdict = read_head(kCopyBlock, h, false);
    if (verdict == Head::kUnreadable) return Copy::kUnreadable;
    if (verdict != Head::kValid) return Copy::kNone;
    BlockBuf buf;
    std::vector<uint8_t> &img = buf.img();
    if (!read_at_start(kCopyBlock * KMX_RECORD_BLOCK, img.data(), KMX_RECORD_BLOCK)) return Copy::kUnreadable;
    kmx_logf(3, "%s    %d  log_head is taken from its copy !\n", "init_cache_head_and_key", __LINE__);
    g_record_head_info = h;
    record_key_sec key;
    memcpy(&key, img.data() + kKeyOffset, sizeof key);
    set_key(key);
    put_back(0, img);
    return Copy::kTaken;
}

// A ring block cut short during its rewrite: the ring copy, when its tag is
// whole and the image matches it, holds what the block was receiving, and
// goes back over it. A copy whose block already holds it is the last
// rewrite done; nothing to do. False when the flash cannot be read.
// Whatever else changed the named block since its copy was written is lost
// here: every change to a ring block must go through rewrite_block(), which
// erases the tag before anything else.
bool take_back_ring_copy() {
    RingCopyTag t;
    if (!read_at_start(kRingTagBlock * KMX_RECORD_BLOCK, reinterpret_cast<uint8_t *>(&t), sizeof t)) return false;
    if (memcmp(t.tag, kRingCopyMark, sizeof t.tag) != 0 || ring_tag_crc(t) != t.crc || t.block == 0 ||
        t.block > kLastRingBlock)
        return true;
    BlockBuf img_buf, cur_buf;
    std::vector<uint8_t> &img = img_buf.img(), &cur = cur_buf.img();
    if (!read_at_start(kRingCopyBlock * KMX_RECORD_BLOCK, img.data(), KMX_RECORD_BLOCK)) return false;
    if (image_crc(img) != t.image_crc) return true;
    if (!read_at_start(t.block * KMX_RECORD_BLOCK, cur.data(), KMX_RECORD_BLOCK)) return false;
    if (cur == img) return true;
    kmx_logf(3, "%s    %d  log block %u is taken from its copy !\n", "init_cache_head_and_key", __LINE__,
             unsigned(t.block));
    put_back(t.block, img);
    return true;
}

}  // namespace kmx_record

// ---- CRC ------------------------------------------------------------------------

extern "C" uint32_t kmx_crc32(uint32_t crc, const unsigned char *p, unsigned int len) {
    if (!p) return 0;
    return crc_update(crc ^ 0xFFFFFFFFu, p, len) ^ 0xFFFFFFFFu;
}

extern "C" uint32_t crc32_no_comp(uint32_t crc, const unsigned char *p, unsigned int len) {
    if (!p) return crc;
    return crc_update(crc, p, len);
}

// ---- flash access -----------------------------------------------------------------

// The two writers of the record area. A ring block (0 to 21) is changed only
// through rewrite_block(), which erases the ring copy's tag first: a block
// erased or written here by anyone else while a whole tag names it gets the
// ring copy back at the next start, and the change is undone.
extern "C" int32_t kmx_erase_flash(uint32_t offset, uint32_t bytes) {
    int fd = kos::mtd_open(KMX_RECORD_MTD);
    if (fd < 0) {
        kmx_logf(3, "%s    %d  errno:%d\n", __func__, __LINE__, errno);
        return -1;
    }
    kos::mtd_close(fd);
    if (!kos::mtd_erase(KMX_RECORD_MTD, offset, bytes)) {
        kmx_logf(3, "%s    %d  errno:%d\n", __func__, __LINE__, errno);
        return 1;
    }
    return 0;
}

// Like kmx_erase_flash: ring blocks change only through rewrite_block().
extern "C" int32_t kmx_write_flash(uint32_t offset, uint8_t *buf, uint32_t len) {
    int fd = kos::mtd_open(KMX_RECORD_MTD);
    if (fd < 0) {
        kmx_logf(3, "%s    %d  errno:%d\n", __func__, __LINE__, errno);
        return -1;
    }
    uint32_t done = 0;
    while (done < len) {
        long n = kos::mtd_pwrite(fd, buf + done, len - done, offset + done);
        if (n <= 0) {
            kmx_logf(3, "%s    %d  errno:%d\n", __func__, __LINE__, errno);
            kos::mtd_close(fd);
            return 1;
        }
        done += uint32_t(n);
    }
    kos::mtd_sync(fd);
    kos::mtd_close(fd);
    return 0;
}

extern "C" int32_t kmx_read_flash(uint32_t offset, uint8_t *buf, uint32_t len) {
    return read_flash(offset, buf, len, false);
}
