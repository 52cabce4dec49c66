// Test client of the LED server on 127.0.0.1:8001.
//   led-client send TEXT     one request; prints the reply, NUL shown as \0
//   led-client post TEXT     the same, then ends its sending side
//   led-client pad N         a valid request padded with blanks to N bytes
//   led-client reset         connects, sends half a request, resets
//   led-client idle          connects and sends nothing until killed
//   led-client hold          connects, sends nothing, prints the reply
//   led-client split TEXT MS one request in two segments, MS ms apart
//   led-client flood N MS    N connections one after another, each left
//                            silent and open; all closed MS ms after the last
//   led-client junk N        N connections at once, each sending a cut
//                            object and waiting for its reply
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <thread>
#include <vector>

namespace {

// No call waits longer for the server, however loaded the host: a daemon
// that died or hangs fails its case within a minute, not at ctest's
// timeout.
constexpr int kWaitS = 30;

// The daemon may still be starting: retry for a while.
int connect_server() {
    for (int i = 0; i < 1000; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        const timeval bound{kWaitS, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(8001);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) return fd;
        close(fd);
        usleep(10000);
    }
    return -1;
}

// Reads the reply until the server closes and prints it, NUL shown as \0.
// Fails when the server sent nothing more for kWaitS seconds.
bool print_reply(int fd) {
    std::string reply;
    char buf[256];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) reply.append(buf, size_t(n));
    const bool timed_out = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    close(fd);
    if (timed_out) {
        printf("no reply within %d s\n", kWaitS);
        return false;
    }
    for (char c : reply) {
        if (c == '\0')
            fputs("\\0", stdout);
        else
            putchar(c);
    }
    putchar('\n');
    return true;
}

int exchange(const std::string &req, int gap_ms = -1, bool end_sending = false) {
    int fd = connect_server();
    if (fd < 0) {
        puts("connect failed");
        return 1;
    }
    if (gap_ms >= 0) {
        const size_t half = req.size() / 2;
        if (write(fd, req.data(), half) != ssize_t(half)) return 1;
        usleep(useconds_t(gap_ms) * 1000);
        if (write(fd, req.data() + half, req.size() - half) != ssize_t(req.size() - half)) return 1;
    } else if (!req.empty() && write(fd, req.data(), req.size()) != ssize_t(req.size())) {
        return 1;
    }
    if (req.empty() || end_sending) shutdown(fd, SHUT_WR);
    return print_reply(fd) ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    const std::string cmd = argc > 1 ? argv[1] : "";
    if (cmd == "send" && argc == 3) return exchange(argv[2]);
    if (cmd == "post" && argc == 3) return exchange(argv[2], -1, true);
    if (cmd == "split" && argc == 4) return exchange(argv[2], atoi(argv[3]));
    if (cmd == "pad" && argc == 3) {
        std::string req = "{\"red_light\":\"on\"}";
        req.resize(size_t(atoi(argv[2])), ' ');
        return exchange(req);
    }
    if (cmd == "hold") {
        int fd = connect_server();
        if (fd < 0) return 1;
        puts("held");
        fflush(stdout);
        return print_reply(fd) ? 0 : 1;
    }
    if ((cmd == "flood" && argc == 4) || (cmd == "junk" && argc == 3)) {
        // From many threads at once: one connector alone waits out every
        // handshake the short listen backlog drops, and never gets ahead of
        // the server.
        const int n = atoi(argv[2]);
        const bool junk = cmd == "junk";
        if (junk) alarm(120);  // a server that stopped answering fails the test, not hangs it
        constexpr int kThreads = 16;
        std::vector<int> fds(size_t(n), -1);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&fds, n, t, junk] {
                for (int i = t; i < n; i += kThreads) {
                    int fd = connect_server();
                    if (junk && fd >= 0) {
                        const bool sent = write(fd, "{\"red_l", 7) == 7;
                        shutdown(fd, SHUT_WR);
                        char reply[64];
                        const bool answered = sent && read(fd, reply, sizeof reply) > 0;
                        close(fd);
                        fd = answered ? 1 : -1;  // answered, already closed
                    }
                    fds[size_t(i)] = fd;
                }
            });
        for (std::thread &t : threads) t.join();
        if (!junk) usleep(useconds_t(atoi(argv[3])) * 1000);
        int connected = 0;
        for (int fd : fds) {
            if (fd < 0) continue;
            connected++;
            if (!junk) close(fd);
        }
        printf("%s %d\n", junk ? "answered" : "flooded", connected);
        return connected == n ? 0 : 1;
    }
    if (cmd == "reset" || cmd == "idle") {
        int fd = connect_server();
        if (fd < 0) return 1;
        if (cmd == "idle") {
            puts("idle");
            fflush(stdout);
            pause();
        }
        if (write(fd, "{\"red_l", 7) != 7) return 1;
        linger l{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        close(fd);
        return 0;
    }
    fprintf(stderr,
            "usage: led-client send TEXT | post TEXT | pad N | reset | idle | hold | split TEXT MS | flood N MS | "
            "junk N\n");
    return 2;
}
