// The running record's ring on flash, its record file in RAM and the flush
// policy with its thread. The block layer that rewrites the record area's
// blocks power-safe is in kmx_record_blocks.cpp, the machine values a record
// takes in kmx_record_values.cpp.
#include "record/kmx_record.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "misc/kmx_misc.h"
#include "module/kmx_chain.h"
#include "module/kmx_log.h"
#include "os/os.h"
#include "record/kmx_record_internal.h"
#include "record/kmx_record_parts_internal.h"
#include "record/kmx_record_shared_internal.h"

using namespace kmx_record;

extern "C" {
machine_para g_machine_info;
chain_para g_chains_info[8];
volatile int g_force_flush_nand;
record_head_sec g_record_head_info;
record_key_sec g_record_key_info;
uint32_t g_records_ddr;
bool g_update_events_type;
uint64_t g_log_last_ddr_time;
uint64_t g_log_last_nand_time;
uint32_t g_xg_start_time;
}

namespace {

constexpr uint32_t kSlotsPerBlock = KMX_RECORD_BLOCK / KMX_RECORD_SIZE;
std::atomic<bool> s_stop{false};
// A new head starts with a zeroed key in memory while the flash key area is
// erased (all 0xFF). The first head written takes the key along: a later
// start would read 255 as every history temperature, which no reading can
// beat, and the history would stay empty for good.
bool s_key_unwritten = false;
// The flash could not be read at start: nothing is written over (or
// erased in) an area whose state is not known. The records stay in the
// record file in RAM; each flush reads the area again first, and stores
// them once it reads.
bool s_area_unreadable = false;
// When the last flush failed (an area that still could not be read, or a
// block that would not erase or write; 0: none): without an event the next
// try waits an hour after it, as after a flush.
// A flash that keeps failing then costs a few reads, erases and log lines an
// hour, not a rewrite of the ring copy every pass, which would wear healthy
// blocks out within days. The time is kept beside the record file too (see
// save_backoff), so that a program restarted again and again waits as well.
uint64_t s_flush_failed = 0;
constexpr uint64_t kFlushEveryS = 3600;
// The record file in RAM holds at most what the ring takes: records beyond
// that would only overwrite each other on flash. While the flash cannot take
// them the oldest go first, an hour of them at once, with one log line each
// time the file fills.
constexpr uint32_t kDdrMostRecords = KMX_RECORD_SLOTS;
constexpr uint32_t kDdrTrimRecords = 60;
static_assert(kDdrTrimRecords < kDdrMostRecords, "a trim keeps records");
bool s_ddr_full = false;
// The last trim found no room in /tmp for the records it keeps: the new
// records are dropped (said once, until a trim goes through).
bool s_ddr_no_room = false;
// Records at the record file's front that are on flash already: a flush
// stored them but had no room in /tmp to rewrite the file without them, and
// a later batch of it failed.
uint32_t s_front_stored = 0;
// Passes of the record thread (a test watches it idle).
std::atomic<uint64_t> s_passes{0};
std::atomic<bool> s_running{false};

}  // namespace

namespace kmx_record {

// The event word is written by other threads: read it and clear it
// atomically, so an event raised meanwhile is never wiped unrecorded.
int pending_event() { return __atomic_load_n(&g_force_flush_nand, __ATOMIC_SEQ_CST); }
void set_event(int ev) { __atomic_store_n(&g_force_flush_nand, ev, __ATOMIC_SEQ_CST); }
void consume_event(int ev) {
    int expected = ev;
    __atomic_compare_exchange_n(&g_force_flush_nand, &expected, EVENTS_NULL, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
}

// The key as it goes to flash (kmx_check_runmode_switch writes its mode).
void put_key(uint8_t *out) {
    copy_with_shared_byte(out, g_record_key_info, offsetof(record_key_sec, running_mode),
                          g_record_key_info.running_mode);
}

// Replaces the key in memory, its mode byte by an atomic store: a flush
// that finds the area readable again does it while the mining thread may
// set the mode.
void set_key(const record_key_sec &k) {
    constexpr size_t at = offsetof(record_key_sec, running_mode);
    uint8_t *to = reinterpret_cast<uint8_t *>(&g_record_key_info);
    const uint8_t *from = reinterpret_cast<const uint8_t *>(&k);
    memcpy(to, from, at);
    kmx_record::shared_store(g_record_key_info.running_mode, k.running_mode);
    memcpy(to + at + 1, from + at + 1, sizeof k - at - 1);
}

}  // namespace kmx_record

namespace {

void put_head_and_key(std::vector<uint8_t> &block0, const record_head_sec &head, bool with_key) {
    memcpy(block0.data(), &head, sizeof head);
    if (with_key) put_key(block0.data() + kKeyOffset);
}

record_head_sec advanced_head(uint32_t n) {
    record_head_sec h = g_record_head_info;
    h.total_records = std::min<uint32_t>(h.total_records + n, KMX_RECORD_SLOTS);
    h.cur_pos += n;
    if (h.cur_pos > KMX_RECORD_SLOTS) h.cur_pos -= KMX_RECORD_SLOTS;
    h.crc = head_crc(h);
    return h;
}

// Stores `n` (at most one batch) records from the ring position cur_pos on:
// each block that receives records is read, patched, erased and written
// once; block 0, which holds the head, goes last and carries the new head
// in the same rewrite. The blocks are rewritten one at a time, each after a
// copy of its new image; the head moves on only after every record block
// is on flash. At most three ring blocks are erased, each beside its copy:
// power lost while a block is rewritten leaves the copy whole (the start
// writes it back), or the copy broken and the block as it was.
bool store_batch(const uint8_t *recs, uint32_t n, bool with_key) {
    Blocks blocks;
    // Ring blocks an earlier rewrite or the start's take-back left unwritten
    // go first: until then the ring copy may be all that holds them, and the
    // next block's rewrite replaces it.
    std::vector<uint32_t> order;
    for (const auto &[block, img] : s_unwritten)
        if (block != 0) order.push_back(block);
    for (uint32_t block : order) block_image(blocks, block);  // taken from s_unwritten: no read
    if (!block_image(blocks, 0)) {
        kmx_logf(3, "%s    %d\n", "kmx_write_record_to_nand", __LINE__);
        return false;
    }
    for (uint32_t j = 0; j < n; j++) {
        uint32_t idx = g_record_head_info.cur_pos + j;
        if (idx >= KMX_RECORD_SLOTS) idx -= KMX_RECORD_SLOTS;
        const uint32_t slot = idx + KMX_RECORD_FIRST_SLOT;
        std::vector<uint8_t> *img = block_image(blocks, slot / kSlotsPerBlock);
        if (!img) {
            kmx_logf(3, "%s    %d\n", "kmx_write_record_to_nand", __LINE__);
            return false;
        }
        memcpy(img->data() + (slot % kSlotsPerBlock) * KMX_RECORD_SIZE, recs + size_t(j) * KMX_RECORD_SIZE,
               KMX_RECORD_SIZE);
    }
    for (const auto &[block, buf] : blocks)
        if (block != 0 && std::find(order.begin(), order.end(), block) == order.end()) order.push_back(block);
    for (uint32_t block : order) {
        if (!rewrite_block(block, blocks.at(block).img())) {
            kmx_logf(3, "%s    %d\n", "kmx_write_record_to_nand", __LINE__);
            return false;
        }
    }
    g_log_last_nand_time = now_s();
    const record_head_sec head = advanced_head(n);
    std::vector<uint8_t> &block0 = blocks.at(0).img();
    put_head_and_key(block0, head, with_key);
    if (!rewrite_block(0, block0)) {
        kmx_logf(3, "%s    %d\n", "kmx_update_cache_record_head_and_key", __LINE__);
        return false;
    }
    g_record_head_info = head;
    if (with_key) s_key_unwritten = false;
    return true;
}

// ---- the DDR record file ------------------------------------------------------

bool read_ddr(std::string &out) {
    out.clear();
    return kos::read_file(KMX_RECORD_DDR, out, size_t(1) << 30);
}

// A record file left by a crash in the middle of an append ends in part of a
// record: cut it back to whole records so every later append stays aligned.
void take_over_ddr() {
    const int32_t size = kmx_get_fsize(KMX_RECORD_DDR);
    if (g_records_ddr != 0 || size <= 0) return;
    const int32_t whole = size - size % int32_t(KMX_RECORD_SIZE);
    if (whole != size && truncate(KMX_RECORD_DDR, whole) != 0)
        kmx_logf(3, "%s  %d  errno:%d!\n", __func__, __LINE__, errno);
    g_records_ddr = uint32_t(whole) / KMX_RECORD_SIZE;
    kmx_logf(5, "has %d records no store because of xg existing !\n", int(g_records_ddr));
}

// Makes room for one more record in a record file that holds all the ring
// takes (the flash has taken nothing for a week): the oldest hour of records
// goes at once, so a full file is rewritten once an hour, not at every
// append. The rewrite needs room in /tmp for the records it keeps. Without
// it the new record is dropped instead (false): the file must not grow past
// the bound, and cutting it in place would leave records twice, or lose them,
// were the program killed in the middle.
bool make_room_in_ddr() {
    if (g_records_ddr < kDdrMostRecords) {
        // Below what a trim leaves: a flush emptied the file.
        if (g_records_ddr < kDdrMostRecords - kDdrTrimRecords) s_ddr_full = s_ddr_no_room = false;
        return true;
    }
    const uint32_t in_file = uint32_t(kmx_get_fsize(KMX_RECORD_DDR)) / KMX_RECORD_SIZE;
    g_records_ddr = in_file;
    if (in_file < kDdrMostRecords) return true;
    if (!s_ddr_full)
        kmx_logf(3, "%s holds %u records, all the ring takes: the oldest ones are dropped !\n", KMX_RECORD_DDR,
                 unsigned(in_file));
    s_ddr_full = true;
    const uint32_t keep = kDdrMostRecords - kDdrTrimRecords;
    // Tried only when the copy fits: a try that fills /tmp would fail the
    // writes of every other program meanwhile.
    const size_t kept = size_t(keep) * KMX_RECORD_SIZE;
    struct statvfs fs {};
    std::string ddr;
    const bool room = statvfs("/tmp", &fs) == 0 && uint64_t(fs.f_bavail) * fs.f_frsize >= kept;
    if (room && read_ddr(ddr) && ddr.size() >= kept) {
        const size_t whole = ddr.size() - ddr.size() % KMX_RECORD_SIZE;
        if (misc_write_owned_file(KMX_RECORD_DDR, std::string_view(ddr).substr(whole - kept, kept))) {
            s_front_stored -= std::min(s_front_stored, uint32_t((whole - kept) / KMX_RECORD_SIZE));
            s_ddr_no_room = false;
            g_records_ddr = keep;
            return true;
        }
    }
    if (!s_ddr_no_room)
        kmx_logf(3, "%s holds %u records and /tmp has no room to drop the oldest: the new ones are dropped !\n",
                 KMX_RECORD_DDR, unsigned(in_file));
    s_ddr_no_room = true;
    return false;
}

// Writes the event code into the last waiting record of the file.
bool mark_last_record(int ev, uint32_t n) {
    int fd = open(KMX_RECORD_DDR, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        kmx_logf(3, "%s  %d  open %s failed !\n", __func__, __LINE__, KMX_RECORD_DDR);
        return false;
    }
    const uint8_t b = uint8_t(ev);
    const off_t at = off_t(n - 1) * KMX_RECORD_SIZE + offsetof(machine_para, event_type);
    const bool ok = pwrite(fd, &b, 1, at) == 1 && fsync(fd) == 0;
    close(fd);
    if (!ok) kmx_logf(3, "%s  %d  errno:%d!\n", __func__, __LINE__, errno);
    return ok;
}

// The first records of the record file that are already the last ones on
// flash: left by a run that ended after a batch reached flash (or after
// block 0 was cut short and its copy, which holds the batch, was taken
// back) but before the file let the batch go. They leave the file, so that
// no record is stored twice. A copy taken back but not yet written over its
// block counts as on flash: the next flush writes it first.
void drop_stored_from_ddr() {
    std::string ddr;
    if (!read_ddr(ddr)) return;
    const uint32_t in_file = uint32_t(ddr.size() / KMX_RECORD_SIZE);
    const uint32_t most = std::min({in_file, KMX_RECORD_BATCH, g_record_head_info.total_records});
    if (most == 0) return;
    // The `most` records before the ring position, oldest first.
    std::string tail(size_t(most) * KMX_RECORD_SIZE, '\0');
    uint8_t *t = reinterpret_cast<uint8_t *>(tail.data());
    const uint32_t first = (g_record_head_info.cur_pos + KMX_RECORD_SLOTS - most) % KMX_RECORD_SLOTS;
    const uint32_t to_end = std::min(most, KMX_RECORD_SLOTS - first);
    if (!read_kept_at_start((first + KMX_RECORD_FIRST_SLOT) * KMX_RECORD_SIZE, t, to_end * KMX_RECORD_SIZE) ||
        (to_end < most &&
         !read_kept_at_start(KMX_RECORD_FIRST_SLOT * KMX_RECORD_SIZE, t + size_t(to_end) * KMX_RECORD_SIZE,
                             (most - to_end) * KMX_RECORD_SIZE))) {
        kmx_logf(3, "%s    %d\n", "init_cache_head_and_key", __LINE__);
        return;
    }
    for (uint32_t k = most; k > 0; k--) {
        if (memcmp(ddr.data(), tail.data() + size_t(most - k) * KMX_RECORD_SIZE, size_t(k) * KMX_RECORD_SIZE) != 0)
            continue;
        kmx_logf(3, "%u records of %s are on flash already, not stored again !\n", unsigned(k), KMX_RECORD_DDR);
        if (k == in_file)
            kmx_clear_record_ddr();
        else if (!misc_write_owned_file(KMX_RECORD_DDR, std::string_view(ddr).substr(size_t(k) * KMX_RECORD_SIZE)))
            kmx_logf(3, "%s  %d  errno:%d!\n", __func__, __LINE__, errno);
        return;
    }
}

// The flash gave no head or copy even after retries: nothing is known of
// what it holds, so nothing is erased; the records wait in RAM.
bool area_unreadable() {
    kmx_logf(3, "%s    %d  log area unreadable, records stay in %s !\n", "init_cache_head_and_key", __LINE__,
             KMX_RECORD_DDR);
    s_area_unreadable = true;
    return false;
}

// A head read whole that fails its checks, with no copy to take back: the
// area is erased and a new head starts in memory (tag "LOG#", version
// "0106", no records); it reaches flash with the first flush.
bool reset_area(const char *why) {
    const bool erased = kmx_erase_flash(0, KMX_RECORD_AREA) == 0;
    if (erased)
        kmx_logf(3, "%s    %d  log area erased: %s !\n", "init_cache_head_and_key", __LINE__, why);
    memset(&g_record_head_info, 0, sizeof g_record_head_info);
    memcpy(g_record_head_info.tag, "LOG#", 4);
    memcpy(g_record_head_info.version, "0106", 4);
    g_record_head_info.key_info_len = sizeof(record_key_sec);
    g_record_head_info.bytes_per_record = KMX_RECORD_SIZE;
    g_record_head_info.crc = head_crc(g_record_head_info);
    set_key(record_key_sec{});
    s_key_unwritten = true;
    return erased;
}

bool init_cache_head_and_key() {
    s_area_unreadable = false;
    record_head_sec h;
    const char *why = nullptr;
    const Head verdict = read_head(0, h, true, &why);
    if (verdict == Head::kValid) {
        record_key_sec key;
        if (!read_at_start(kKeyOffset, reinterpret_cast<uint8_t *>(&key), sizeof key)) {
            kmx_logf(3, "%s    %d\n", __func__, __LINE__);
            return area_unreadable();
        }
        g_record_head_info = h;
        set_key(key);
    } else {
        // A head cut short, or one the flash does not give: block 0's copy,
        // when whole, is what block 0 holds or was receiving.
        const Copy copy = verdict == Head::kRefused ? Copy::kNone : take_back_copy();
        if (copy == Copy::kUnreadable) return area_unreadable();
        if (copy == Copy::kNone) {
            if (verdict == Head::kUnreadable) return area_unreadable();
            return reset_area(why);
        }
    }
    if (!take_back_ring_copy()) return area_unreadable();
    drop_stored_from_ddr();
    return true;
}

// What this run put into the key while the area could not be read goes
// over the key read from flash: the firmware now running, the work mode
// now set and the history temperatures seen meanwhile.
void merge_run_key(const record_key_sec &run, uint8_t run_mode) {
    record_key_sec &key = g_record_key_info;
    static const uint8_t kNoVersion[sizeof run.hw_version] = {};
    if (memcmp(run.hw_version, kNoVersion, sizeof kNoVersion) != 0)
        memcpy(key.hw_version, run.hw_version, sizeof key.hw_version);
    if (run_mode != 255) kmx_record::shared_store(key.running_mode, run_mode);
    for (int c = 0; c < 8; c++)
        for (int k = 0; k < 5; k++) {
            int i = history_slot(key.avg_temp[c], run.avg_temp[c][k], kAvgHistoryFloor);
            if (i >= 0) {
                key.avg_temp[c][i] = run.avg_temp[c][k];
                key.avg_temp_timestamp[c][i] = run.avg_temp_timestamp[c][k];
            }
            i = history_slot(key.max_temp[c], run.max_temp[c][k], kMaxHistoryFloor);
            if (i >= 0) {
                key.max_temp[c][i] = run.max_temp[c][k];
                key.max_temp_timestamp[c][i] = run.max_temp_timestamp[c][k];
            }
        }
    s_key_unwritten = true;  // the merged key goes out with the next head
}

// A flush over an area that could not be read: the start's reads once more.
// True once the area reads and its head and key are known.
bool area_read_again() {
    record_key_sec run;
    put_key(reinterpret_cast<uint8_t *>(&run));
    const uint8_t run_mode = kmx_record::shared_load(g_machine_info.running_mode);
    if (!init_cache_head_and_key()) {
        // Nothing of this run's key may go before the flash's is known.
        set_key(run);
        return false;
    }
    merge_run_key(run, run_mode);
    return true;
}

// ---- the flush back-off kept beside the record file ----------------------------

// What a restarted program needs to wait as this one would: the time of the
// last failed flush and the key that flush could not store (with the firmware
// version and work mode its events announced, so a restart raises them no
// more; they are in the waiting records already). The time is on the
// monotonic clock, which a wall-clock change does not move; the file is in
// RAM like the record file, and goes with it at a reboot. One kept over a
// reboot (a time ahead of the clock) counts as a failure at the start, so a
// back-off never lasts more than an hour.
constexpr const char *kBackoffFile = KMX_RECORD_DDR ".backoff";
constexpr char kBackoffMark[4] = {'B', 'O', 'F', '#'};
struct __attribute__((packed)) BackoffState {
    char tag[4];
    uint64_t failed_at;
    uint8_t key_owed;
    record_key_sec key;
    uint32_t crc;  // CRC-32 of the bytes before it
};

uint32_t backoff_crc(const BackoffState &b) {
    return kmx_crc32(0, reinterpret_cast<const unsigned char *>(&b), offsetof(BackoffState, crc));
}

void save_backoff() {
    BackoffState b{};
    memcpy(b.tag, kBackoffMark, sizeof b.tag);
    b.failed_at = s_flush_failed;
    b.key_owed = s_key_unwritten;
    if (s_key_unwritten) put_key(reinterpret_cast<uint8_t *>(&b.key));
    b.crc = backoff_crc(b);
    if (!misc_write_owned_file(kBackoffFile, std::string_view(reinterpret_cast<const char *>(&b), sizeof b)))
        kmx_logf(3, "%s  %d  errno:%d!\n", __func__, __LINE__, errno);
}

// A flush stored everything: no back-off for the next start either.
void clear_backoff() {
    if (s_flush_failed == 0) return;
    s_flush_failed = 0;
    if (unlink(kBackoffFile) != 0 && errno != ENOENT) kmx_logf(3, "%s  %d  errno:%d!\n", __func__, __LINE__, errno);
}

// At start: an earlier run's back-off goes on. Its time is known before the
// head is read (the start's take-backs wait for it too); the key it owes goes
// over the key read from flash, after the head.
bool load_backoff(BackoffState &b) {
    std::string text;
    if (!kos::read_file(kBackoffFile, text, sizeof(BackoffState) + 1)) return false;
    if (text.size() == sizeof b) memcpy(&b, text.data(), sizeof b);
    if (text.size() != sizeof b || memcmp(b.tag, kBackoffMark, sizeof b.tag) != 0 || backoff_crc(b) != b.crc) {
        kmx_logf(3, "%s is damaged, not used !\n", kBackoffFile);
        unlink(kBackoffFile);
        return false;
    }
    // Copied out of the packed state: std::min takes references.
    const uint64_t now = now_s(), failed_at = b.failed_at;
    s_flush_failed = std::min(failed_at, now);
    return true;
}

void resume_backoff(const BackoffState &b) {
    if (b.key_owed) merge_run_key(b.key, b.key.running_mode);
    if (b.failed_at > now_s()) save_backoff();
}

// A flush that stored nothing more: the event, which is in the last waiting
// record, is taken (or the thread would not sleep), and without a new one
// the next try waits an hour. What the event changed in the key goes out
// with the next flush that stores.
bool flush_failed(int ev) {
    if (ev) {
        consume_event(ev);
        s_key_unwritten = true;
    }
    s_flush_failed = now_s();
    save_backoff();
    return false;
}

void *thread_running_log(void *) {
    pthread_setname_np(pthread_self(), "running_log");
    while (!s_stop.load()) {
        if (!pending_event()) kos::sleep_s(5);
        kmx_write_record_to_ddr();
        kmx_write_record_to_nand();
        s_passes.fetch_add(1);
    }
    s_running.store(false);
    return nullptr;
}

}  // namespace

namespace kmx_record {
bool flush_backing_off() { return s_flush_failed != 0 && now_s() - s_flush_failed < kFlushEveryS; }
void stop_thread() { s_stop.store(true); }
bool thread_running() { return s_running.load(); }
uint64_t thread_passes() { return s_passes.load(); }
}  // namespace kmx_record

// ---- set-up and events ----------------------------------------------------------------

extern "C" uint32_t kmx_set_xg_starting_time(void) {
    g_xg_start_time = uint32_t(now_s());
    return g_xg_start_time;
}

extern "C" bool kmx_record_init(void) {
    {
        std::lock_guard<std::mutex> hold(s_supply_lock);
        memset(&g_machine_info, 0, sizeof g_machine_info);
    }
    kmx_record::shared_store(g_machine_info.running_mode, 255);
    memset(g_chains_info, 0, sizeof g_chains_info);
    s_unwritten.clear();
    s_key_unwritten = false;
    s_flush_failed = 0;
    s_ddr_full = s_ddr_no_room = false;
    s_front_stored = 0;
    // What a rewrite of the record file killed in an earlier run left
    // beside it goes before this run writes it.
    misc_remove_write_leftovers(KMX_RECORD_DDR);
    BackoffState backoff{};
    const bool backing_off = load_backoff(backoff);
    const bool ok = init_cache_head_and_key();
    if (backing_off) resume_backoff(backoff);
    return ok;
}

extern "C" bool kmx_create_thread_running_log(void) {
    pthread_t t;
    s_stop.store(false);
    s_running.store(true);
    if (pthread_create(&t, nullptr, thread_running_log, nullptr) != 0) {
        s_running.store(false);
        kmx_logf(3, "thread_running_log create fail !\n");
        return false;
    }
    pthread_detach(t);
    kmx_logf(5, "thread_running_log create success !\n");
    return true;
}

extern "C" bool kmx_check_fw_update(void) {
    uint8_t v[16] = {0};
    if (kmx_get_fwversion(v) != 0) {
        kmx_logf(3, "%s    %d\n", __func__, __LINE__);
        return true;
    }
    if (memcmp(v, g_record_key_info.hw_version, 15) == 0) return false;
    kmx_logf(5, "events:%d fw_version has changed !\n", EVENTS_FW_CHANGE);
    memcpy(g_record_key_info.hw_version, v, 15);
    set_event(EVENTS_FW_CHANGE);
    return true;
}

extern "C" bool kmx_check_runmode_switch(uint8_t cur_mode) {
    if (cur_mode != kmx_record::shared_load(g_record_key_info.running_mode)) {
        set_event(EVENTS_MODE_CHANGE);
        kmx_logf(5, "evnets:%d run_mode has changed !\n", EVENTS_MODE_CHANGE);
        kmx_record::shared_store(g_record_key_info.running_mode, cur_mode);
    }
    kmx_record::shared_store(g_machine_info.running_mode, cur_mode);
    return true;
}

extern "C" bool kmx_chain_overheat(int cid) {
    set_event(EVENTS_OVER_TEMP);
    kmx_logf(5, "evnets:%d chain_%d over temp !\n", EVENTS_OVER_TEMP, cid);
    return true;
}

// ---- record steps -------------------------------------------------------------------

extern "C" bool kmx_write_record_to_ddr(void) {
    const uint64_t now = now_s();
    if (!pending_event() && now - g_log_last_ddr_time < 60) return true;
    if (kmx_record::shared_load(g_detect_over)) update_chains_errno();
    check_history_temp();
    update_machine_info();
    take_over_ddr();
    if (!make_room_in_ddr()) {
        // A full file without room to trim: this record is dropped, and the
        // next one waits its minute.
        g_log_last_ddr_time = now;
        return false;
    }

    uint8_t rec[KMX_RECORD_SIZE];
    put_machine(rec);
    for (int c = 0; c < 8; c++) {
        const chain_para ch = chain_snapshot(g_chains_info[c]);
        memcpy(rec + sizeof g_machine_info + c * sizeof ch, &ch, sizeof ch);
    }
    int fd = open(KMX_RECORD_DDR, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        kmx_logf(3, "%s  %d  open %s failed !\n", __func__, __LINE__, KMX_RECORD_DDR);
        return false;
    }
    const off_t before = lseek(fd, 0, SEEK_END);
    if (write(fd, rec, sizeof rec) != ssize_t(sizeof rec)) {
        // Never leave part of a record behind: later appends would be shifted.
        kmx_logf(3, "%s  %d  errno:%d!\n", __func__, __LINE__, errno);
        if (before >= 0 && ftruncate(fd, before) != 0) kmx_logf(3, "%s  %d  errno:%d!\n", __func__, __LINE__, errno);
        close(fd);
        return false;
    }
    fsync(fd);
    close(fd);
    g_log_last_ddr_time = now;
    g_records_ddr++;
    const int ev = pending_event();
    if (ev == EVENTS_OVER_TEMP || ev == EVENTS_OVER_HISTORY_TEMP)
        for (chain_para &c : g_chains_info) {
            kmx_record::shared_store(c.tmp_avg, 0);
            kmx_record::shared_store(c.tmp_max, 0);
            kmx_record::shared_store(c.tmp_min, 0);
        }
    return true;
}

extern "C" bool kmx_write_record_to_nand(void) {
    const int ev = pending_event();
    if (!ev && g_records_ddr <= 10) return true;
    if (!ev && now_s() - g_log_last_nand_time < kFlushEveryS) return true;
    if (!ev && kmx_record::flush_backing_off()) return false;

    std::string ddr;
    read_ddr(ddr);
    // Only whole records that are in the file can be moved.
    uint32_t n = std::min<uint32_t>(g_records_ddr, uint32_t(ddr.size() / KMX_RECORD_SIZE));
    if (!ev && n == 0) {
        g_records_ddr = 0;
        return true;
    }
    g_update_events_type = false;
    if (ev && n > 0) {
        g_update_events_type = mark_last_record(ev, n);
        if (g_update_events_type) ddr[size_t(n - 1) * KMX_RECORD_SIZE + offsetof(machine_para, event_type)] = char(ev);
    } else if (ev) {
        // No record to carry it: the head and key still go out, and the
        // event must not keep the thread from sleeping.
        g_update_events_type = true;
    }
    // An area that still cannot be read fails the flush like a block that
    // does not write.
    if (s_area_unreadable) {
        if (!area_read_again()) return flush_failed(ev);
        // Records already on flash may have left the file.
        read_ddr(ddr);
        n = std::min<uint32_t>(g_records_ddr, uint32_t(ddr.size() / KMX_RECORD_SIZE));
    }

    // At most one batch per flash rewrite; what is on flash leaves the
    // record file before the next batch, so a failure later on neither loses
    // nor repeats records. Without room in /tmp for that rewrite the stored
    // batches stay at the file's front: the flush goes on, and should a later
    // batch fail, the next flush starts behind them.
    uint32_t done = std::min(s_front_stored, n);
    uint32_t file_from = 0;  // where the file now starts in `ddr`
    do {
        const uint32_t k = std::min(n - done, KMX_RECORD_BATCH);
        if (!store_batch(reinterpret_cast<const uint8_t *>(ddr.data()) + size_t(done) * KMX_RECORD_SIZE, k,
                         ev != 0 || s_key_unwritten)) {
            s_front_stored = done - file_from;
            return flush_failed(ev);
        }
        done += k;
        if (done == n) {
            kmx_clear_record_ddr();
        } else {
            const std::string rest = ddr.substr(size_t(done) * KMX_RECORD_SIZE, size_t(n - done) * KMX_RECORD_SIZE);
            if (misc_write_owned_file(KMX_RECORD_DDR, rest)) {
                file_from = done;
                g_records_ddr = n - done;
            } else {
                kmx_logf(3, "%s  %d  errno:%d!\n", __func__, __LINE__, errno);
            }
        }
    } while (done < n);
    s_front_stored = 0;
    if (ev && g_update_events_type) consume_event(ev);
    clear_backoff();
    return true;
}

extern "C" bool kmx_update_record_key(void) {
    if (s_area_unreadable) return false;
    if (!pending_event()) return true;
    Blocks blocks;
    std::vector<uint8_t> *block0 = block_image(blocks, 0);
    if (!block0) {
        kmx_logf(3, "%s    %d\n", __func__, __LINE__);
        return false;
    }
    put_key(block0->data() + kKeyOffset);
    if (!rewrite_block(0, *block0)) {
        kmx_logf(3, "%s    %d\n", __func__, __LINE__);
        return false;
    }
    return true;
}

extern "C" bool kmx_read_record_ddr(uint8_t *buf, uint32_t len) {
    int fd = open(KMX_RECORD_DDR, O_RDONLY | O_CLOEXEC);
    if (fd < 0 || !buf) {
        kmx_logf(3, "%s  %d  open %s failed !\n", __func__, __LINE__, KMX_RECORD_DDR);
        if (fd >= 0) close(fd);
        return false;
    }
    uint32_t got = 0;
    while (got < len) {
        ssize_t n = read(fd, buf + got, len - got);
        if (n <= 0) break;
        got += uint32_t(n);
    }
    close(fd);
    return true;
}

extern "C" bool kmx_clear_record_ddr(void) {
    bool ok = true;
    if (truncate(KMX_RECORD_DDR, 0) != 0 && errno != ENOENT) {
        kmx_logf(3, "%s  %d  errno:%d!\n", __func__, __LINE__, errno);
        ok = false;
    }
    if (unlink(KMX_RECORD_DDR) != 0 && errno != ENOENT) {
        kmx_logf(3, "%s  %d  errno:%d!\n", __func__, __LINE__, errno);
        ok = false;
    }
    g_records_ddr = 0;
    s_front_stored = 0;
    return ok;
}
