// The daemon's LED server, one connection: the request bytes as a client
// sends them, read, parsed, acted on and answered.
//
// Input: the request bytes. The reply must be exactly one of the two reply
// texts with its terminator, and "true" exactly when the request is a JSON
// object whose "red_light" is a prefix of "on" or "off".
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <jansson.h>
#include <string>

#include "daemon.h"
#include "drv/hub.h"
#include "fuzz_leds.h"
#include "module/kmx_ops.h"
#include "platform/kmx_platform.h"

namespace {

const std::string REPLY_TRUE("{\"success\": \"true\"}", sizeof "{\"success\": \"true\"}");
const std::string REPLY_FALSE("{\"success\": \"false\"}", sizeof "{\"success\": \"false\"}");

bool prefix(const std::string &v, const char *word) { return v.size() <= strlen(word) && strncmp(v.c_str(), word, v.size()) == 0; }

bool wants_true(const uint8_t *data, size_t size) {
    if (size >= 1024) return false;
    const std::string text(reinterpret_cast<const char *>(data), strnlen(reinterpret_cast<const char *>(data), size));
    json_error_t err;
    json_t *root = json_loads(text.c_str(), 0, &err);
    const char *v = json_string_value(json_object_get(root, "red_light"));
    const bool yes = v && (prefix(v, "on") || prefix(v, "off"));
    json_decref(root);
    return yes;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::setup_machine_with_leds();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 8192) return -1;
    int sv[2];
    fuzz::socket_with_input(data, size, sv);
    zelmon::led_serve_client(sv[0]);  // closes its end

    std::string reply;
    char buf[256];
    ssize_t n;
    while ((n = read(sv[1], buf, sizeof buf)) > 0) reply.append(buf, size_t(n));
    close(sv[1]);
    if (reply != REPLY_TRUE && reply != REPLY_FALSE) fuzz::fail("led reply", reply);
    if ((reply == REPLY_TRUE) != wants_true(data, size)) fuzz::fail("led reply", "wrong answer: " + reply);
    for (const std::string &cmd : fuzz::shell().take()) fuzz::fail("unexpected shell command", cmd);
    return 0;
}
