// Asks the mining program's API on 127.0.0.1:4028 the way the monitor
// daemon does (one command per connection, read until the peer closes,
// parse with jansson) and prints the fields the daemon takes.
// usage: miner-api-client [PORT]   exit 1 when a request fails
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <jansson.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

// A peer that died or hangs fails the request within half a minute,
// however loaded the host, rather than at the test's timeout.
json_t *ask(const char *command, int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const timeval bound{30, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        if (fd >= 0) close(fd);
        return nullptr;
    }
    const std::string req = std::string("{\"command\" : \"") + command + "\"}";
    if (write(fd, req.data(), req.size()) != ssize_t(req.size())) {
        close(fd);
        return nullptr;
    }
    std::string text;
    char buf[16384];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) text.append(buf, size_t(n));
    close(fd);
    if (n < 0) return nullptr;
    json_error_t e;
    return json_loads(text.c_str(), 0, &e);
}

// A real, or an integer when the real reads 0 (as the daemon takes them).
int num(json_t *o, const char *key) {
    json_t *v = json_object_get(o, key);
    const double d = json_real_value(v);
    return d != 0 ? int(d) : int(json_integer_value(v));
}

}  // namespace

int main(int argc, char **argv) {
    const int port = argc > 1 ? atoi(argv[1]) : 4028;
    json_t *stats = ask("stats", port);
    if (!stats) return 1;
    size_t i;
    json_t *e;
    int chains = 0;
    json_array_foreach(json_object_get(stats, "STATS"), i, e) {
        if (!json_object_get(e, "Chain ID")) continue;
        chains++;
        printf("stats chain %d: fan %d elapsed %d tmp_hi %d tmp_av %d pll %d vid %d power %d\n", num(e, "Chain ID"),
               num(e, "Fan duty"), num(e, "Elapsed"), num(e, "Temp max"), num(e, "Temp"), num(e, "PLL"),
               num(e, "vid Voltage"), num(e, "power"));
    }
    json_decref(stats);
    json_t *devs = ask("devs", port);
    if (!devs) return 1;
    json_array_foreach(json_object_get(devs, "DEVS"), i, e) {
        if (int(i) >= chains) break;
        const bool windows = json_object_get(e, "MHS 5m") && json_object_get(e, "MHS 15m");
        printf("devs %zu: asc %d hash %s accepted %d rejected %d hw %d vendor %s\n", i, num(e, "ASC"),
               windows && num(e, "MHS 5s") > 0 ? "positive" : "zero", num(e, "Accepted"), num(e, "Rejected"),
               num(e, "Hardware Errors"), json_string_value(json_object_get(e, "Power Vendor")));
    }
    json_decref(devs);
    json_t *pools = ask("pools", port);
    if (!pools) return 1;
    json_array_foreach(json_object_get(pools, "POOLS"), i, e) {
        if (json_is_true(json_object_get(e, "Stratum Active"))) {
            printf("pools: active %d url %s\n", num(e, "POOL"), json_string_value(json_object_get(e, "URL")));
            break;
        }
    }
    json_decref(pools);
    return 0;
}
