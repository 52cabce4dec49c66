// The daemon's API client on the wire: what the mining program sends back
// on 127.0.0.1, received in as many pieces as it comes, up to the peer's
// close, and parsed.
//
// Input: one byte giving where the peer splits its answer (two writes),
// then the answer bytes. A call succeeds exactly when the answer it
// received parses, and then hands back the parsed answer.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <thread>

#include "fuzz_support.h"
#include "stats.h"

namespace {

int s_listen = -1;
int s_port = 0;

void send_all(int fd, const uint8_t *p, size_t n) {
    while (n > 0) {
        const ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w <= 0) return;
        p += w;
        n -= size_t(w);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::setup_machine();
    s_listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (s_listen < 0 || bind(s_listen, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(s_listen, 4) != 0 ||
        getsockname(s_listen, reinterpret_cast<sockaddr *>(&a), &len) != 0)
        fuzz::fail("listen", strerror(errno));
    s_port = ntohs(a.sin_port);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return -1;
    const size_t split = std::min<size_t>(data[0] * 32, size - 1);
    std::thread peer([&] {
        const int fd = accept(s_listen, nullptr, nullptr);
        if (fd < 0) return;
        char cmd[256];
        (void)recv(fd, cmd, sizeof cmd, 0);  // the command, whatever it is
        send_all(fd, data + 1, split);
        send_all(fd, data + 1 + split, size - 1 - split);
        close(fd);
    });
    json_t *answer = nullptr;
    const int rc = zelmon::call_miner_api("{\"command\":\"stats\"}", "127.0.0.1", s_port, &answer);
    peer.join();
    json_t *direct = zelmon::parse_api_answer(reinterpret_cast<const char *>(data) + 1, size - 1);
    if ((rc == 0) != (answer != nullptr)) fuzz::fail("result and answer disagree", std::to_string(rc));
    if ((answer != nullptr) != (direct != nullptr)) fuzz::fail("received answer parsed differently", "");
    if (answer && !json_equal(answer, direct)) fuzz::fail("received answer differs from the one sent", "");
    json_decref(answer);
    json_decref(direct);
    return 0;
}
