// LED server: one JSON request per TCP connection on port 8001 lights or
// darkens the red board LED. Clients are served one after the other; a
// client can neither stall the server (a short deadline for its request)
// nor stop it.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <jansson.h>
#include <netinet/in.h>
#include <poll.h>
#include <ctime>
#include <cstdint>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "daemon.h"
#include "module/kmx_ops.h"
#include "os/os.h"

namespace zelmon {

namespace {

constexpr int kPort = 8001;
constexpr size_t kRecvBufSize = 1024;
constexpr int kClientTimeoutS = 5;  // for the reply
// The whole request must arrive within this: clients are served one after
// the other, so an idle one holds the rest for at most this long.
constexpr int kRequestDeadlineMs = 1000;
// Replies go out with their terminating NUL: clients read a C string.
constexpr char kReplyTrue[] = "{\"success\": \"true\"}";
constexpr char kReplyFalse[] = "{\"success\": \"false\"}";

bool prefix_of(const char *val, const char *word) { return strncmp(val, word, strlen(val)) == 0; }

int64_t now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// A request is complete once it ends in its NUL or holds a whole JSON text.
bool request_complete(const char *buf, size_t len) {
    if (memchr(buf, '\0', len)) return true;
    json_error_t err;
    json_t *root = json_loadb(buf, len, 0, &err);
    json_decref(root);
    return root != nullptr;
}

// Reads until the request is complete, the peer stops sending, the buffer
// is full or the deadline passes. -1 on a receive error.
ssize_t read_request(int fd, char *buf, size_t cap) {
    const int64_t deadline = now_ms() + kRequestDeadlineMs;
    size_t total = 0;
    while (total < cap) {
        const int64_t left = deadline - now_ms();
        if (left <= 0) break;
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, int(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return -1;
        if (ready == 0) break;
        const ssize_t n = recv(fd, buf + total, cap - total, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        total += size_t(n);
        if (request_complete(buf, total)) break;
    }
    return ssize_t(total);
}

}  // namespace

LedRequest led_parse_request(const char *text, size_t len) {
    LedRequest r;
    // Parsed as the C string the buffer holds.
    std::string s(text, strnlen(text, len));
    json_error_t err;
    json_t *root = json_loads(s.c_str(), 0, &err);
    if (!root) {
        fprintf(stderr, "error: on line %d: %s\n", err.line, err.text);
        return r;
    }
    json_t *val = json_object_get(root, "red_light");
    if (!val) {
        fprintf(stderr, "error: red_light not impl.\n");
    } else if (!json_is_string(val)) {
        fprintf(stderr, "error: red_light_val is not a string.\n");
    } else {
        const char *v = json_string_value(val);
        if (prefix_of(v, "on")) {
            printf("red_light_val is on.\n");
            r = {true, kLedLit};
        } else if (prefix_of(v, "off")) {
            printf("red_light_val is off.\n");
            r = {true, kLedDark};
        } else if (prefix_of(v, "twinkle")) {
            printf("red_light_val is twinkle(not impl).\n");
        } else {
            fprintf(stderr, "error: red_light_val is not a valid val:%s.\n", v);
        }
        fflush(stdout);
    }
    json_decref(root);
    return r;
}

void led_serve_client(int fd) {
    timeval tv{kClientTimeoutS, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);

    char buf[kRecvBufSize + 1];
    memset(buf, 0, sizeof buf);
    ssize_t n = read_request(fd, buf, kRecvBufSize);
    if (n < 0) {
        perror("recv");
        close(fd);
        return;
    }
    LedRequest r;
    if (size_t(n) >= kRecvBufSize) {
        // Too long to be a request: refuse it and go on serving others.
        fprintf(stderr, "ZEL_RECV_BUF_SIZE is too small.");
        fflush(stderr);
        // Take what is already queued so closing does not reset the
        // connection before the client has read the reply.
        char sink[4096];
        for (int i = 0; i < 16 && recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0; ++i) {
        }
    } else {
        r = led_parse_request(buf, size_t(n));
        if (r.led >= 0) kmx_set_red_led(r.led);
    }
    const char *reply = r.ok ? kReplyTrue : kReplyFalse;
    const size_t len = r.ok ? sizeof kReplyTrue : sizeof kReplyFalse;
    // A peer that has gone away gets EPIPE here, not a signal.
    if (send(fd, reply, len, MSG_NOSIGNAL) < 0) perror("send");
    close(fd);
}

void *thread_socket_server(void *) {
    int lfd = socket(AF_INET, SOCK_STREAM, 0);
    if (lfd < 0) {
        perror("socket");
        return nullptr;
    }
    // A restarted daemon must get its port back at once.
    int one = 1;
    setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(kPort);
    if (bind(lfd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) {
        perror("bind");
        close(lfd);
        return nullptr;
    }
    if (listen(lfd, 5) < 0) {
        perror("listen");
        close(lfd);
        return nullptr;
    }
    for (;;) {
        int fd = accept(lfd, nullptr, nullptr);
        if (fd < 0) {
            perror("accept");
            // Out of descriptors and the like: do not spin on the error.
            kos::sleep_ms(100);
            continue;
        }
        led_serve_client(fd);
    }
}

}  // namespace zelmon
