// Reply loop and command dispatch of the management-server link, fed the
// input as the byte stream a server sends after a report. Besides memory
// and undefined-behaviour faults, it fails when a command text outside the
// fixed set reaches the shell, or when cgminer.conf is left unparsable.
#include <cjson/cJSON.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <string>

#include "drv/hub.h"
#include "fuzz_leds.h"
#include "minerCloud/kmx_cloud.h"
#include "module/kmx_ops.h"
#include "platform/kmx_platform.h"

namespace {

// The machine's identity in replies: plantId 7, eth0 and its MAC.
const int PLANT_ID = 7;
const char *const BASE_CONF =
    R"({"api-listen":true,"pools":[{"url":"stratum+tcp://a:3333","user":"u.1","pass":"x"}],"N5efficient":true})";
const size_t kMaxInput = 64 * 1024;  // below the socket buffer: written before the loop reads

const std::set<std::string> &allowed_commands() {
    static const std::set<std::string> s = {
        "fw_setenv  iflag  0\n",
        "flagutils set\n",
        "flagutils set",
        "flagutils clear",
        "systemctl restart cgminer\n",
        "systemctl restart systemd-networkd\n",
        "sync;sleep 1;reboot",
        "sync;sleep 1;reboot -f",
        // The factory reset removes /config's files itself, then reboots.
        "sync;reboot",
        "sync;sleep 1; reboot -f",
    };
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::setup_machine_with_leds();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > kMaxInput) return -1;
    fuzz::write_or_die("/config/cgminer.conf", BASE_CONF);
    int sv[2];
    fuzz::socket_with_input(data, size, sv);

    dtu_config cfg;
    memset(&cfg, 0, sizeof cfg);
    cfg.plantId = PLANT_ID;
    do_server(sv[0], &cfg);
    close(sv[0]);
    close(sv[1]);

    bool reset = false;
    for (const std::string &cmd : fuzz::shell().take()) {
        if (!allowed_commands().count(cmd)) fuzz::fail("unexpected shell command", cmd);
        reset = reset || cmd == "sync;reboot" || cmd == "sync;sleep 1; reboot -f";
    }
    std::string text;
    if (!kos::read_file("/config/cgminer.conf", text)) {
        // Only a factory reset may take the file away.
        if (reset) return 0;
        fuzz::fail("cgminer.conf", "missing after the replies");
    }
    cJSON *root = cJSON_Parse(text.c_str());
    if (!cJSON_IsObject(root)) fuzz::fail("cgminer.conf is no longer a JSON object", text);
    cJSON_Delete(root);
    return 0;
}
