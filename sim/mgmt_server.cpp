// kmx-sim-mgmt: a stand-in management server for the emulated machine.
//
//   kmx-sim-mgmt --port P [--addr A] [--record FILE] [--script FILE]
//                [--connections N] [--ready FILE]
//
// Listens on A:P (default 127.0.0.1), accepts N connections (default 1), and
// for each reads one report frame, checks it, appends the decoded report as
// one JSON line to FILE (default /run/sim/mgmt_reports.jsonl; a frame that
// fails a check is recorded as {"bad_frame": "..."}), then answers with the
// next section of the script and closes. Script sections are separated by
// lines "---"; each line of a section is one reply:
//   JSON             a well-formed reply frame around JSON
//   badsum JSON      the same with a wrong sum byte
//   badtail JSON     a wrong tail but a correct sum
//   badhead JSON     a wrong head
//   total N          a head and a total of N, then nothing more
//   raw JSON         JSON framed, then cut before its last byte
//   stall            keep the connection open and send nothing (until the
//                    device closes)
//   wait MS          send nothing for MS milliseconds of the host's clock
//                    (counted from the report's arrival for a first line),
//                    then go on with the next line: a server that answers late
// --ready FILE is created once the server listens.
#include <arpa/inet.h>
#include <jansson.h>
#include <lz4.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/mgmt_frame.h"

namespace {

bool read_exact(int fd, std::string &out, size_t n) {
    size_t old = out.size();
    out.resize(old + n);
    size_t got = 0;
    while (got < n) {
        ssize_t r = recv(fd, &out[old + got], n - got, 0);
        if (r <= 0) {
            out.resize(old + got);
            return false;
        }
        got += size_t(r);
    }
    return true;
}

void send_all(int fd, const std::string &s) {
    size_t off = 0;
    while (off < s.size()) {
        ssize_t n = send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
        if (n <= 0) return;
        off += size_t(n);
    }
}

void record(const std::string &path, const std::string &line) {
    std::ofstream out(path, std::ios::app);
    out << line << "\n";
}

const char *status_name(mgmt::Status s) {
    switch (s) {
    case mgmt::Status::ok: return "ok";
    case mgmt::Status::short_frame: return "short";
    case mgmt::Status::bad_head: return "head";
    case mgmt::Status::bad_length: return "length";
    case mgmt::Status::bad_sum: return "sum";
    case mgmt::Status::bad_tail: return "tail";
    }
    return "?";
}

void receive_report(int fd, const std::string &rec) {
    std::string f;
    if (!read_exact(fd, f, 10)) {
        record(rec, "{\"bad_frame\":\"short\"}");
        return;
    }
    uint64_t total = 0;
    for (int i = 2; i < 10; i++) total = total << 8 | uint8_t(f[i]);
    if (total < 15 || total > (64u << 20) || !read_exact(fd, f, total - 10)) {
        record(rec, "{\"bad_frame\":\"length\"}");
        return;
    }
    mgmt::Decoded d = mgmt::decode(f);
    if (d.status != mgmt::Status::ok) {
        record(rec, std::string("{\"bad_frame\":\"") + status_name(d.status) + "\"}");
        return;
    }
    std::string text = d.payload;
    if (((d.flag >> 6) & 7) == 1) {
        std::vector<char> out(1 << 20);
        int n = LZ4_decompress_safe(d.payload.data(), out.data(), int(d.payload.size()), int(out.size()));
        if (n <= 0) {
            record(rec, "{\"bad_frame\":\"lz4\"}");
            return;
        }
        text.assign(out.data(), strnlen(out.data(), size_t(n)));
    }
    json_error_t err;
    json_t *root = json_loads(text.c_str(), 0, &err);
    if (!root) {
        record(rec, "{\"bad_frame\":\"json\"}");
        return;
    }
    json_object_set_new(root, "_flag", json_integer(d.flag));
    char *line = json_dumps(root, JSON_COMPACT | JSON_PRESERVE_ORDER);
    record(rec, line ? line : "{}");
    free(line);
    json_decref(root);
}

void answer(int fd, const std::vector<std::string> &lines) {
    for (const std::string &l : lines) {
        std::string word = l.substr(0, l.find(' '));
        std::string rest = l.find(' ') == std::string::npos ? "" : l.substr(l.find(' ') + 1);
        if (!l.empty() && l[0] == '{') {
            send_all(fd, mgmt::encode(l));
        } else if (word == "badsum") {
            std::string f = mgmt::encode(rest);
            f[f.size() - 3] = char(f[f.size() - 3] + 1);
            send_all(fd, f);
        } else if (word == "badtail") {
            std::string f = mgmt::encode(rest);
            // Move one unit from the tail into the payload's last byte so the sum holds.
            f[f.size() - 1] = char(f[f.size() - 1] - 1);
            f[f.size() - 4] = char(f[f.size() - 4] + 1);
            send_all(fd, f);
        } else if (word == "badhead") {
            std::string f = mgmt::encode(rest);
            f[0] = 0x56;
            send_all(fd, f);
        } else if (word == "total") {
            uint64_t t = strtoull(rest.c_str(), nullptr, 0);
            std::string f = "\x55\xAA";
            for (int s = 56; s >= 0; s -= 8) f += char((t >> s) & 0xFF);
            send_all(fd, f);
        } else if (word == "raw") {
            std::string f = mgmt::encode(rest);
            send_all(fd, f.substr(0, f.size() - 1));
        } else if (word == "wait") {
            const long ms = strtol(rest.c_str(), nullptr, 10);
            if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        } else if (word == "stall") {
            char c;
            while (recv(fd, &c, 1, 0) > 0) {
            }
            return;
        }
    }
}

}  // namespace

int main(int argc, char **argv) {
    std::string addr = "127.0.0.1", rec = "/run/sim/mgmt_reports.jsonl", script, ready;
    int port = 0, conns = 1;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string k = argv[i];
        if (k == "--port") port = atoi(argv[i + 1]);
        else if (k == "--addr") addr = argv[i + 1];
        else if (k == "--record") rec = argv[i + 1];
        else if (k == "--script") script = argv[i + 1];
        else if (k == "--connections") conns = atoi(argv[i + 1]);
        else if (k == "--ready") ready = argv[i + 1];
    }
    if (port <= 0) {
        fprintf(stderr, "usage: kmx-sim-mgmt --port P [--addr A] [--record F] [--script F] [--connections N]\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    std::vector<std::vector<std::string>> sections(1);
    if (!script.empty()) {
        std::ifstream in(script);
        std::string line;
        while (std::getline(in, line)) {
            if (line == "---")
                sections.emplace_back();
            else if (!line.empty())
                sections.back().push_back(line);
        }
    }
    int ls = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(port));
    if (inet_pton(AF_INET, addr.c_str(), &sa.sin_addr) != 1 || bind(ls, (sockaddr *)&sa, sizeof sa) != 0 ||
        listen(ls, 8) != 0) {
        perror("kmx-sim-mgmt");
        return 1;
    }
    if (!ready.empty()) std::ofstream(ready) << "ready\n";
    for (int c = 0; c < conns; c++) {
        int fd = accept(ls, nullptr, nullptr);
        if (fd < 0) return 1;
        receive_report(fd, rec);
        if (size_t(c) < sections.size()) answer(fd, sections[size_t(c)]);
        close(fd);
    }
    close(ls);
    return 0;
}
