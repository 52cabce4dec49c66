// kmx-test-api-peer: a scripted stand-in for the mining program's API.
//
//   kmx-test-api-peer --dir DIR [--port P] [--ready FILE]
//
// Listens on 127.0.0.1:P (default 4028). Each connection is served on its
// own thread: one read of the request, which is appended to DIR/requests.log
// with a newline; the command named in it ("stats", "devs" or "pools")
// selects the answer file DIR/<command>, read afresh for every request. The
// answer goes out followed by a NUL byte, then the connection is closed.
// A missing answer file closes the connection without an answer. An answer
// file may start with one directive line:
//   @hang        send nothing, keep the connection until the client closes
//   @rst N       send the first N bytes of the rest, then reset
//   @slow MS     wait MS milliseconds before answering
// --ready FILE is created once the peer listens.
#include <poll.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "support/loopback.h"

namespace {

std::string g_dir;
std::mutex g_log_lock;

std::string command_of(const std::string &req) {
    for (const char *c : {"stats", "devs", "pools"})
        if (req.find(std::string("\"") + c + "\"") != std::string::npos) return c;
    return "unknown";
}

void serve(int fd) {
    char buf[4096];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    std::string req = n > 0 ? std::string(buf, size_t(n)) : std::string();
    {
        std::lock_guard<std::mutex> g(g_log_lock);
        std::ofstream(g_dir + "/requests.log", std::ios::app) << req << "\n";
    }
    std::ifstream in(g_dir + "/" + command_of(req), std::ios::binary);
    if (!in) {
        close(fd);
        return;
    }
    std::stringstream ss;
    ss << in.rdbuf();
    std::string answer = ss.str();
    std::string directive;
    if (!answer.empty() && answer[0] == '@') {
        size_t nl = answer.find('\n');
        directive = answer.substr(0, nl);
        answer = nl == std::string::npos ? std::string() : answer.substr(nl + 1);
    }
    if (directive == "@hang") {
        while (recv(fd, buf, sizeof buf, 0) > 0) {
        }
        close(fd);
        return;
    }
    if (directive.rfind("@slow ", 0) == 0) poll(nullptr, 0, atoi(directive.c_str() + 6));
    if (directive.rfind("@rst ", 0) == 0) {
        size_t keep = std::min(answer.size(), size_t(strtoul(directive.c_str() + 5, nullptr, 10)));
        loopback::send_all(fd, answer.data(), keep);
        linger lg{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        close(fd);
        return;
    }
    answer.push_back('\0');
    loopback::send_all(fd, answer.data(), answer.size());
    close(fd);
}

}  // namespace

int main(int argc, char **argv) {
    int port = 4028;
    std::string ready;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string k = argv[i];
        if (k == "--port") port = atoi(argv[i + 1]);
        else if (k == "--dir") g_dir = argv[i + 1];
        else if (k == "--ready") ready = argv[i + 1];
    }
    if (g_dir.empty()) {
        fprintf(stderr, "usage: kmx-test-api-peer --dir DIR [--port P] [--ready FILE]\n");
        return 2;
    }
    int lfd = loopback::listen_on(port, 16);
    if (lfd < 0) {
        perror("kmx-test-api-peer");
        return 1;
    }
    if (!ready.empty()) std::ofstream(ready) << "ready\n";
    for (;;) {
        int fd = accept(lfd, nullptr, nullptr);
        if (fd < 0) continue;
        std::thread(serve, fd).detach();
    }
}
