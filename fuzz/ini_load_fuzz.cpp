// The INI loader of /miners/status.ini and /events/events.ini, with its
// repair of bad lines, and the key reads and writes over it.
//
// Input: the file's text. The loads must reach a clean file: each failing
// load takes lines out of the file, so after at most one load per line (and
// one more) the file loads. A key written then must read back, and the
// counters must count.
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iniparser.h>
#include <string>

#include "fuzz_support.h"
#include "misc/kmx_ini.h"

namespace {
const char *const INI_FILE = "/tmp/fuzz/status.ini";
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::setup_machine();
    mkdir("/tmp/fuzz", 0755);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 64 * 1024) return -1;
    const std::string text(reinterpret_cast<const char *>(data), size);
    fuzz::write_or_die(INI_FILE, text);

    const size_t lines = size_t(std::count(text.begin(), text.end(), '\n')) + 1;
    size_t last_size = size;
    dictionary *d = nullptr;
    for (size_t i = 0; i <= lines && !(d = iniparser_load(INI_FILE)); i++) {
        std::string now;
        if (!kos::read_file(INI_FILE, now)) fuzz::fail("ini", "file gone after a failed load");
        // A failed load that leaves the file as it was would fail for ever.
        if (now.size() >= last_size) fuzz::fail("ini", "failed load repaired nothing");
        last_size = now.size();
    }
    if (!d) fuzz::fail("ini", "file never loads");
    iniparser_freedict(d);

    if (!kmx_write_key_to_ini("times_7", "times_7:lock", "1", INI_FILE)) fuzz::fail("ini", "write failed");
    char got[64] = "";
    if (!kmx_read_key_from_ini("times_7:lock", got, INI_FILE, sizeof got) || strcmp(got, "1") != 0)
        fuzz::fail("ini", std::string("written key reads back as ") + got);

    int count = 0;
    if (!kmx_get_count_from_ini("now", "count", &count, INI_FILE) || count == 0) fuzz::fail("ini", "count read");
    int next = 0;
    if (!kmx_update_count_to_ini("now", "now:count", &next, INI_FILE)) fuzz::fail("ini", "count update");
    if (count > 0 && count < INT32_MAX && next != count + 1)
        fuzz::fail("ini", "count " + std::to_string(count) + " became " + std::to_string(next));

    // The repair is done in the file itself: no command runs.
    for (const std::string &cmd : fuzz::shell().take()) fuzz::fail("unexpected shell command", cmd);
    return 0;
}
