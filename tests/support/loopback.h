// Small socket helpers for the test peers that stand in for programs on
// the machine's loopback.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace loopback {

// A TCP listener on 127.0.0.1:port (0: any free port); -1 on failure.
// The port in use is stored in *bound when given.
inline int listen_on(int port, int backlog, int *bound = nullptr) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(port));
    socklen_t len = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, backlog) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
        close(fd);
        return -1;
    }
    if (bound) *bound = ntohs(a.sin_port);
    return fd;
}

// Sends all of `n` bytes unless the peer goes away.
inline void send_all(int fd, const char *p, size_t n) {
    while (n > 0) {
        ssize_t k = send(fd, p, n, MSG_NOSIGNAL);
        if (k <= 0) return;
        p += k;
        n -= size_t(k);
    }
}

inline void send_all(int fd, const std::string &s) { send_all(fd, s.data(), s.size()); }

}  // namespace loopback
