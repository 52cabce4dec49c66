// LED server: one JSON request per TCP connection on port 8001 lights or
// darkens the red board LED. One thread reads every waiting client at once
// and answers each as soon as its request is whole, so a client can neither
// stall the others (a short deadline for its request, a bound on those
// waiting) nor stop the server.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <jansson.h>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "daemon.h"
#include "module/kmx_log.h"
#include "module/kmx_ops.h"
#include "os/os.h"

namespace zelmon {

namespace {

constexpr int kPort = 8001;
constexpr size_t kRecvBufSize = 1024;
// The whole request must arrive within this.
constexpr int kRequestDeadlineMs = 1000;
// Connections waiting for their request at most; one more ends the oldest
// at once, as if its deadline had passed.
constexpr size_t kMaxWaiting = 64;
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

// One accepted connection and what it has sent so far.
struct Client {
    int fd;
    int64_t deadline;
    size_t len = 0;
    char buf[kRecvBufSize + 1] = {};
};

enum class Input { waiting, whole, failed, timed_out, evicted };

// Clients closed early to make room, those whose deadline passed, and the
// requests refused are counted and told in one line of each kind at most
// every kSummaryMs: a connection flood must not fill the journal.
constexpr int64_t kSummaryMs = 1000;

void tell_evictions(size_t count, const std::string &) {
    fprintf(stderr, "error: clients refused to make room for newer ones: %zu (more than %zu waited).\n", count,
            kMaxWaiting);
}

void tell_timeouts(size_t count, const std::string &) {
    fprintf(stderr, "error: clients without a whole request within %d ms: %zu.\n", kRequestDeadlineMs, count);
}

// A refusal alone is told by its own line; more within a second by their
// count and the first one's line.
void tell_refusals(size_t count, const std::string &first) {
    if (count == 1)
        fprintf(stderr, "%s\n", first.c_str());
    else
        fprintf(stderr, "error: requests refused: %zu, the first: %s\n", count, first.c_str());
}

struct Summary {
    explicit Summary(void (*t)(size_t count, const std::string &first)) : tell(t) {}
    void (*tell)(size_t count, const std::string &first);
    size_t count = 0;  // not yet told
    std::string first;  // why the first of them was refused
    int64_t next_line = 0;

    void add(const std::string &why = {}) {
        if (count++ == 0) first = why;
    }
    // Tells what is counted once its line is due; the wait until the
    // next line is due while some are untold, -1 when none is.
    int flush(int64_t now) {
        if (count == 0) return -1;
        if (now < next_line) return int(next_line - now);
        tell(count, first);
        fflush(stderr);
        count = 0;
        next_line = now + kSummaryMs;
        return -1;
    }
};

// The line of a failed socket call, as perror writes it.
std::string call_failed(const char *call) { return std::string(call) + ": " + strerror(errno); }

// Takes what the client has sent without waiting: whole once the request
// is complete, the peer stops sending or the buffer is full.
Input take_input(Client &c) {
    for (;;) {
        const ssize_t n = recv(c.fd, c.buf + c.len, kRecvBufSize - c.len, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Input::waiting;
        if (n < 0) return Input::failed;
        if (n == 0) return Input::whole;
        c.len += size_t(n);
        if (c.len >= kRecvBufSize || request_complete(c.buf, c.len)) return Input::whole;
    }
}

// Acts on the client's request, replies and closes the connection; returns
// why the request was refused (told by the caller), empty when it was not
// or when a summary of its own tells it (evictions, time-outs).
std::string answer(Client &c, Input in) {
    if (in == Input::failed) {
        std::string why = call_failed("recv");
        close(c.fd);
        return why;
    }
    LedRequest r;
    if (in == Input::evicted || in == Input::timed_out) {
        // Told in the summary lines.
    } else if (c.len >= kRecvBufSize) {
        // Too long to be a request: refuse it and go on serving others.
        r.refusal = "ZEL_RECV_BUF_SIZE is too small.";
        // Take what is already queued so closing does not reset the
        // connection before the client has read the reply.
        char sink[4096];
        for (int i = 0; i < 16 && recv(c.fd, sink, sizeof sink, MSG_DONTWAIT) > 0; ++i) {
        }
    } else {
        r = led_parse_request(c.buf, c.len);
        if (r.led >= 0) kmx_set_red_led(r.led);
    }
    const char *reply = r.ok ? kReplyTrue : kReplyFalse;
    const size_t len = r.ok ? sizeof kReplyTrue : sizeof kReplyFalse;
    // The reply fits an empty send buffer: never wait on a peer here. A
    // peer that has gone away gets EPIPE, not a signal.
    if (send(c.fd, reply, len, MSG_NOSIGNAL | MSG_DONTWAIT) < 0 && r.refusal.empty()) r.refusal = call_failed("send");
    close(c.fd);
    return r.refusal;
}

int poll_timeout(int64_t deadline, int64_t now) { return deadline > now ? int(deadline - now) : 0; }

}  // namespace

LedRequest led_parse_request(const char *text, size_t len) {
    LedRequest r;
    // Parsed as the C string the buffer holds.
    std::string s(text, strnlen(text, len));
    json_error_t err;
    json_t *root = json_loads(s.c_str(), 0, &err);
    if (!root) {
        // The parser's message quotes the request's bytes.
        r.refusal = "error: on line " + std::to_string(err.line) + ": " + klog::Outside(err.text).c_str();
        return r;
    }
    json_t *val = json_object_get(root, "red_light");
    if (!val) {
        r.refusal = "error: red_light not impl.";
    } else if (!json_is_string(val)) {
        r.refusal = "error: red_light_val is not a string.";
    } else {
        const char *v = json_string_value(val);
        if (prefix_of(v, "on")) {
            printf("red_light_val is on.\n");
            r.ok = true, r.led = kLedLit;
        } else if (prefix_of(v, "off")) {
            printf("red_light_val is off.\n");
            r.ok = true, r.led = kLedDark;
        } else if (prefix_of(v, "twinkle")) {
            printf("red_light_val is twinkle(not impl).\n");
        } else {
            const klog::Outside shown(std::string_view(v, json_string_length(val)));
            r.refusal = std::string("error: red_light_val is not a valid val:") + shown.c_str() + ".";
        }
        fflush(stdout);
    }
    json_decref(root);
    return r;
}

void led_serve_client(int fd) {
    Client c{fd, now_ms() + kRequestDeadlineMs};
    Input in = Input::waiting;
    while (in == Input::waiting) {
        const int64_t now = now_ms();
        if (now >= c.deadline) {
            in = Input::timed_out;
            break;
        }
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, poll_timeout(c.deadline, now));
        if (ready < 0 && errno != EINTR) in = Input::failed;
        if (ready > 0) in = take_input(c);
    }
    const std::string why = answer(c, in);
    if (!why.empty()) tell_refusals(1, why);
    if (in == Input::timed_out) tell_timeouts(1, {});
    fflush(stderr);
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
    // Readiness comes from poll: a connection gone before it is taken must
    // not block the accept.
    fcntl(lfd, F_SETFL, fcntl(lfd, F_GETFL) | O_NONBLOCK);
    std::vector<std::unique_ptr<Client>> clients;
    std::vector<pollfd> fds;
    Summary evictions{tell_evictions}, timeouts{tell_timeouts}, refusals{tell_refusals};
    for (;;) {
        int64_t now = now_ms();
        int timeout = -1;
        for (Summary *s : {&evictions, &timeouts, &refusals}) {
            const int due = s->flush(now);
            if (due >= 0) timeout = timeout < 0 ? due : std::min(timeout, due);
        }
        fds.assign(1, pollfd{lfd, POLLIN, 0});
        for (const auto &c : clients) {
            fds.push_back(pollfd{c->fd, POLLIN, 0});
            const int left = poll_timeout(c->deadline, now);
            timeout = timeout < 0 ? left : std::min(timeout, left);
        }
        const int ready = poll(fds.data(), fds.size(), timeout);
        if (ready < 0 && errno != EINTR) {
            perror("poll");
            kos::sleep_ms(100);
            continue;
        }
        // Each client in the order it came: answered once its request is
        // whole or its deadline has passed.
        now = now_ms();
        size_t slot = 1;
        for (auto it = clients.begin(); it != clients.end(); ++slot) {
            Client &c = **it;
            Input in = ready > 0 && fds[slot].revents != 0 ? take_input(c) : Input::waiting;
            if (in == Input::waiting && now >= c.deadline) in = Input::timed_out;
            if (in == Input::waiting) {
                ++it;
                continue;
            }
            const std::string why = answer(c, in);
            if (!why.empty()) refusals.add(why);
            if (in == Input::timed_out) timeouts.add();
            it = clients.erase(it);
        }
        if (ready <= 0 || !(fds[0].revents & POLLIN)) continue;
        // Take every connection queued: the backlog is short.
        int fd;
        while ((fd = accept(lfd, nullptr, nullptr)) >= 0) {
            if (clients.size() >= kMaxWaiting) {
                answer(*clients.front(), Input::evicted);
                clients.erase(clients.begin());
                evictions.add();
            }
            clients.push_back(std::make_unique<Client>(Client{fd, now_ms() + kRequestDeadlineMs}));
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            perror("accept");
            // Out of descriptors and the like: do not spin on the error.
            kos::sleep_ms(100);
        }
    }
}

}  // namespace zelmon
