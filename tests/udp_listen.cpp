// Test receiver of the button's address broadcasts.
//   udp-listen FILE PORT...   appends "PORT payload\n" to FILE for every
//                             datagram; creates FILE empty once bound.
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: udp-listen FILE PORT...\n");
        return 2;
    }
    std::vector<pollfd> fds;
    std::vector<int> ports;
    for (int i = 2; i < argc; ++i) {
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        a.sin_port = htons(uint16_t(atoi(argv[i])));
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
            perror("udp-listen: bind");
            return 1;
        }
        fds.push_back({fd, POLLIN, 0});
        ports.push_back(atoi(argv[i]));
    }
    FILE *out = fopen(argv[1], "w");
    if (!out) {
        perror(argv[1]);
        return 1;
    }
    fflush(out);
    for (;;) {
        if (poll(fds.data(), fds.size(), -1) < 0) continue;
        for (size_t i = 0; i < fds.size(); ++i) {
            if (!(fds[i].revents & POLLIN)) continue;
            char buf[2048];
            ssize_t n = recv(fds[i].fd, buf, sizeof buf, 0);
            if (n < 0) continue;
            fprintf(out, "%d %s\n", ports[i], std::string(buf, size_t(n)).c_str());
            fflush(out);
        }
    }
}
