// The splitters of /etc/hwrevision ("board type.suffix"): the model and
// supply-version check, the report's machine type and hardware version, and
// the daemon's start-up (machine-type reconciling with U-Boot through
// /etc/map.conf, and the SoC board test).
//
// Input: one selector byte (bit 0: the supply vendor is "GP"), then the
// file's text, a NUL, the supply's version text, a NUL, and what
// `fw_printenv -n miner_type` prints.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "daemon.h"
#include "fuzz_support.h"
#include "hub/kmx_i2c.h"
#include "misc/kmx_board_check.h"
#include "misc/kmx_report.h"

namespace {

const char *const HWREV = "/etc/hwrevision";
const char *const MAP = "/etc/map.conf";

void check_commands() {
    static const std::set<std::string> allowed = {
        "/sbin/fw_printenv -n miner_type 2>/dev/null\n",
        "mount -o rw,remount,dirsync /",
        "mount -o ro,remount /",
        "systemctl restart swupdate",
    };
    for (const std::string &cmd : fuzz::shell().take())
        if (!allowed.count(cmd)) fuzz::fail("unexpected shell command", cmd);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::setup_machine();
    fuzz::write_or_die(MAP, R"({"rk9h":"rk9hf","n7":"n7+","odd":"two words","dot":"a.b","num":5})");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 || size > 4096) return -1;
    const bool gp = data[0] & 1;
    auto [rev, rest] = fuzz::split_at_nul(data + 1, size - 1);
    auto [ver, env] = fuzz::split_at_nul(reinterpret_cast<const uint8_t *>(rest.data()), rest.size());
    fuzz::write_or_die(HWREV, rev);
    snprintf(g_power_vendor, sizeof g_power_vendor, "%s", gp ? "GP" : "XX");
    snprintf(g_power_ver, sizeof g_power_ver, "%s", ver.c_str());
    fuzz::shell().answers = {{"miner_type", env}};

    // Any other supply vendor passes every model.
    if (!kmx_check_type_and_psuver() && !gp) fuzz::fail("psu check", "refused a supply that is not GP's");

    char type[16];
    memset(type, 'x', sizeof type);
    if (kmx_get_miner_type(type, 12) == 0) {
        if (!fuzz::terminated(type, 12)) fuzz::fail("miner type", "not terminated within its size");
        if (strchr(type, '.')) fuzz::fail("miner type", "holds the dot");
    }
    const std::string hw = kmx_get_hwversion();
    if (hw != "B37" && hw != "B13" && hw != "B21" && hw != "B3" && hw != "SOC" && hw != "unkowm")
        fuzz::fail("hardware version", hw);

    zelmon::reconcile_hwrevision(HWREV, MAP);
    std::string after;
    if (!kos::read_file(HWREV, after)) fuzz::fail("hwrevision", "gone after reconciling");
    if (after != rev) {
        // A rewritten file names the mapped type and splits back to it.
        char board[64] = "", t[64] = "", suffix[64] = "";
        if (sscanf(after.c_str(), "%63s %63[^.].%63s", board, t, suffix) < 2 || after.size() >= 50)
            fuzz::fail("hwrevision rewritten unsplittable", after);
        // The variable is read as a C text into 50 bytes, up to its newline.
        std::string wanted = env.substr(0, std::min<size_t>(49, strnlen(env.c_str(), env.size())));
        wanted = wanted.substr(0, wanted.find('\n'));
        if (wanted == "rk9h") wanted = "rk9hf";
        if (wanted == "n7") wanted = "n7+";
        if (wanted != t) fuzz::fail("hwrevision rewritten to another type", after + " / " + env);
    }
    bool readable = false;
    const bool soc = zelmon::board_is_soc(HWREV, &readable);
    if (!readable) fuzz::fail("hwrevision", "unreadable");
    if (soc != (strcasestr(after.substr(0, 50).c_str(), "soc") != nullptr)) fuzz::fail("soc test", after);
    check_commands();
    return 0;
}
