// Readers of the small state files other programs leave behind: the
// per-chain counter files, /tmp/errcode, /tmp/psu_info, /etc/fwrevision and
// the meminfo file.
//
// Input: one selector byte (which file; for counter files also the chain),
// then the file's text. Texts handed back must end inside their buffers;
// a counter increment must change that chain's counter only, by one.
#include <sys/stat.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "misc/kmx_board_check.h"
#include "misc/kmx_misc.h"
#include "misc/kmx_report.h"
#include "record/kmx_record.h"
#include "record/kmx_record_internal.h"

namespace {

char CNT_FILE[] = "/tmp/fuzz/cnt";
const char *const MEMINFO = "/tmp/fuzz/meminfo";

void counters(int chain) {
    int before[8];
    for (int c = 0; c < 8; c++) before[c] = kmx_get_chain_cnt(c, CNT_FILE);
    kmx_check_cnt(chain, 3, CNT_FILE);
    kmx_cnt_inc(chain, CNT_FILE);
    std::string text;
    if (!kos::read_file(CNT_FILE, text)) fuzz::fail("counter", "file gone");
    int after[8];
    char end = 0;
    if (sscanf(text.c_str(), "%d %d %d %d %d %d %d %d%c", &after[0], &after[1], &after[2], &after[3], &after[4],
               &after[5], &after[6], &after[7], &end) != 8)
        fuzz::fail("counter file not eight numbers", text);
    for (int c = 0; c < 8; c++) {
        const long long want = c == chain ? (long long)before[c] + 1 : before[c];
        if (c == chain && before[c] == INT_MAX) continue;
        if (after[c] != want) fuzz::fail("counter", "slot " + std::to_string(c) + " now " + text);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::setup_machine();
    mkdir("/tmp/fuzz", 0755);
    kmx_record::set_meminfo_path(MEMINFO);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 || size > 8192) return -1;
    const unsigned sel = data[0];
    const std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    switch (sel % 5) {
    case 0:
        fuzz::write_or_die(CNT_FILE, text);
        counters(int(sel / 5) % 8);
        break;
    case 1: {
        fuzz::write_or_die("/tmp/errcode", text);
        int code = -1;
        char msg[256];
        memset(msg, 'x', sizeof msg);
        if (!kmx_get_errcode(&code, msg) || !fuzz::terminated(msg, sizeof msg)) fuzz::fail("errcode", "message");
        uint8_t b = 0;
        kmx_get_errno(&b);
        break;
    }
    case 2: {
        fuzz::write_or_die("/tmp/psu_info", text);
        char vendor[30], version[30];
        memset(vendor, 'x', sizeof vendor);
        memset(version, 'x', sizeof version);
        if (kmx_get_power_info(nullptr, vendor, version) &&
            (!fuzz::terminated(vendor, sizeof vendor) || !fuzz::terminated(version, sizeof version)))
            fuzz::fail("psu_info", "text not terminated");
        break;
    }
    case 3: {
        fuzz::write_or_die("/etc/fwrevision", text);
        char word[64];
        memset(word, 'x', sizeof word);
        if (kmx_get_fwver_from_etc(word) == 0 && (!fuzz::terminated(word, sizeof word) || !word[0]))
            fuzz::fail("fwrevision", "word");
        uint8_t v[17];
        memset(v, 'x', sizeof v);
        kmx_get_fwversion(v);
        if (v[16] != 'x') fuzz::fail("fwversion", "wrote past 16 bytes");
        break;
    }
    default:
        fuzz::write_or_die(MEMINFO, text);
        if (kmx_get_mem_usage() > 100) fuzz::fail("meminfo", "over 100%");
        break;
    }
    for (const std::string &cmd : fuzz::shell().take()) fuzz::fail("unexpected shell command", cmd);
    return 0;
}
