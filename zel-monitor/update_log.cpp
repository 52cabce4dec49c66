// Update-log keeper: copies the update service's journal and the kernel log
// into a 2 MiB window of physical memory, where tools outside the running
// system find them after a reset. The window's address follows the image
// the board booted (U-Boot `image_flag`).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>

#include "daemon.h"
#include "module/kmx_log.h"
#include "os/os.h"

namespace zelmon {

namespace {

constexpr uint32_t kWindowSize = 0x200000;
constexpr size_t kJournalMax = 1536 * 1024;
constexpr size_t kKernelMax = 512 * 1024;
constexpr char kSeparator[] = "\nkernel log ------>>>>>>\n";

bool window_address(char flag, uint32_t *phys) {
    switch (flag) {
    case '0': *phys = 0x11a00000; return true;
    case '1': *phys = 0x11c00000; return true;
    case 'a': *phys = 0x8fc00000; return true;
    case 'b': *phys = 0x8fa00000; return true;
    default: return false;
    }
}

std::string capture(const char *cmd, size_t limit) {
    std::string out;
    kos::shell_capture(cmd, out, limit);
    if (out.size() > limit) out.resize(limit);
    return out;
}

size_t compose_update_log(const std::string &journal, const std::string &kernel, std::string &text) {
    text.assign(journal, 0, kWindowSize - 1);
    if (text.size() < kWindowSize - 1) text.append(kSeparator, std::min(sizeof kSeparator - 1, kWindowSize - 1 - text.size()));
    if (text.size() < kWindowSize - 1) text.append(kernel, 0, kWindowSize - 1 - text.size());
    return text.size();
}

void write_update_log(kos::Window *w, const std::string &text, size_t *previous_len) {
    // The new text is written over the old one, then only the tail of the
    // old text is cleared: the window never holds nothing, not even for a
    // moment (a reset may come at any time, and that is when it is read).
    const size_t len = text.size();  // the terminator follows: text < window
    const size_t end = std::max(len + 1, *previous_len + 1);
    for (size_t off = 0; off < end && off < kWindowSize; off += 4) {
        uint32_t word = 0;
        if (off < len) memcpy(&word, text.data() + off, std::min<size_t>(4, len - off));
        kos::window_write32(w, uint32_t(off), word);
    }
    *previous_len = len;
}

}  // namespace

void update_log_record(const char *file_name, const char *log, int len) {
    if (!file_name || !log || len < 0) return;
    // Replaced whole, so a reader never finds half a log.
    if (!kos::write_file_atomic(file_name, std::string_view(log, size_t(len))))
        kmx_logf(5, "%s  %d  open %s failed !", __func__, __LINE__, file_name);
}

void *thread_record_swudate_log(void *) {
    int mem = kos::mem_open(O_SYNC);
    if (mem < 0) {
        kmx_logf(5, "%s  %d  open /dev/mem failed !", __func__, __LINE__);
        return nullptr;
    }
    const std::string flag = capture("fw_printenv -n image_flag\n", 512 * 1024);
    uint32_t phys = 0;
    if (flag.empty() || !window_address(flag[0], &phys)) {
        // Never map memory at an address the table does not name.
        kmx_logf(5, "%s  %d  get env:image_flag failed !", __func__, __LINE__);
        kos::mem_close(mem);
        return nullptr;
    }
    kos::Window *w = kos::window_map(mem, "update_log", phys, kWindowSize);
    if (!w) {
        kmx_logf(5, "%s  %d  mmap failed !", __func__, __LINE__);
        kos::mem_close(mem);
        return nullptr;
    }

    // Until the update status is known: while it reads "Error", another
    // writer's log is presumably in the window; leave it alone.
    for (;;) {
        kos::sleep_s(1);
        std::string status = capture("fw_printenv -n recovery_status\n", 63);
        kmx_logf(5, "%s  %d  update_flag:%s\n", __func__, __LINE__, klog::Outside::line(status).c_str());
        if (status.find("Error") == std::string::npos) break;
        kos::sleep_s(10);
    }

    std::string journal, kernel, text;
    journal.reserve(kJournalMax);
    kernel.reserve(kKernelMax);
    text.reserve(kWindowSize);
    size_t previous_len = kWindowSize - 1;  // the first refresh clears all
    size_t last_journal_len = size_t(-1);
    bool first = true;
    for (;;) {
        if (!first) kos::sleep_s(1);
        first = false;
        journal.clear();
        kernel.clear();
        kos::shell_capture("journalctl --no-pager  -u  swupdate\n", journal, kJournalMax);
        if (journal.size() > kJournalMax) journal.resize(kJournalMax);
        kos::shell_capture("dmesg\n", kernel, kKernelMax);
        if (kernel.size() > kKernelMax) kernel.resize(kKernelMax);
        compose_update_log(journal, kernel, text);
        write_update_log(w, text, &previous_len);
        if (journal.size() == last_journal_len) kos::sleep_s(1);
        last_journal_len = journal.size();
    }
}

}  // namespace zelmon
