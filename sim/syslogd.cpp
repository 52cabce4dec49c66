// kmx-sim-syslogd: minimal syslog receiver for the emulated machine.
//
// Usage: kmx-sim-syslogd SOCKET_PATH LOGFILE
//
// Listens on an AF_UNIX datagram socket (normally /dev/log) and appends one
// line per received message to LOGFILE:
//
//     IDENT FACILITY.SEVERITY MESSAGE
//
// The socket appears atomically (bound under a temporary name, then renamed),
// so a launcher may treat its existence as "ready". Exits on SIGTERM/SIGINT.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t g_stop = 0;

void on_signal(int) { g_stop = 1; }

constexpr const char* kFacilities[24] = {
    "kern",   "user",   "mail",   "daemon", "auth",   "syslog", "lpr",    "news",
    "uucp",   "cron",   "authpriv", "ftp",  "ntp",    "security", "console", "clock",
    "local0", "local1", "local2", "local3", "local4", "local5", "local6", "local7",
};

constexpr const char* kSeverities[8] = {
    "emerg", "alert", "crit", "err", "warning", "notice", "info", "debug",
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// "Mmm dd hh:mm:ss " as produced by strftime("%h %e %T ").
bool looks_like_timestamp(std::string_view s) {
    if (s.size() < 16) return false;
    return s[3] == ' ' && s[6] == ' ' && s[9] == ':' && s[12] == ':' && s[15] == ' ' &&
           is_digit(s[7]) && is_digit(s[8]) && is_digit(s[10]) && is_digit(s[11]) &&
           is_digit(s[13]) && is_digit(s[14]);
}

struct Parsed {
    int pri = 13;  // user.notice when no <PRI> is given
    std::string_view ident = "-";
    std::string_view message;
};

Parsed parse(std::string_view s) {
    Parsed p;

    // glibc terminates stream-socket messages with NUL; be lenient either way.
    while (!s.empty() && (s.back() == '\n' || s.back() == '\0' || s.back() == '\r'))
        s.remove_suffix(1);

    if (s.size() >= 3 && s[0] == '<') {
        std::size_t i = 1;
        int v = 0;
        while (i < s.size() && i <= 4 && is_digit(s[i])) {
            v = v * 10 + (s[i] - '0');
            ++i;
        }
        if (i > 1 && i < s.size() && s[i] == '>' && v < 24 * 8) {
            p.pri = v;
            s.remove_prefix(i + 1);
        }
    }

    if (looks_like_timestamp(s)) s.remove_prefix(16);

    // "IDENT[PID]: " or "IDENT: " - IDENT is a single token without blanks.
    std::size_t colon = s.find(": ");
    if (colon != std::string_view::npos && colon > 0) {
        std::string_view tag = s.substr(0, colon);
        if (tag.find_first_of(" \t\n") == std::string_view::npos) {
            if (tag.back() == ']') {
                std::size_t lb = tag.rfind('[');
                if (lb != std::string_view::npos && lb > 0) tag = tag.substr(0, lb);
            }
            p.ident = tag;
            s.remove_prefix(colon + 2);
        }
    }
    p.message = s;
    return p;
}

std::string format_line(const Parsed& p) {
    std::string line;
    line.reserve(p.ident.size() + p.message.size() + 32);
    line.append(p.ident);
    line.push_back(' ');
    line.append(kFacilities[(p.pri >> 3) % 24]);
    line.push_back('.');
    line.append(kSeverities[p.pri & 7]);
    line.push_back(' ');
    for (char c : p.message) {
        if (c == '\n') {
            line.append("\\n");
        } else if (c == '\0') {
            line.append("\\0");
        } else {
            line.push_back(c);
        }
    }
    line.push_back('\n');
    return line;
}

bool write_all(int fd, const std::string& s) {
    const char* data = s.data();
    std::size_t left = s.size();
    while (left > 0) {
        ssize_t n = ::write(fd, data, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s SOCKET_PATH LOGFILE\n", argv[0]);
        return 2;
    }
    const std::string sock_path = argv[1];
    const std::string tmp_path = sock_path + ".new";

    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (tmp_path.size() >= sizeof(addr.sun_path)) {
        std::fprintf(stderr, "kmx-sim-syslogd: socket path too long: %s\n", sock_path.c_str());
        return 1;
    }
    std::memcpy(addr.sun_path, tmp_path.c_str(), tmp_path.size() + 1);

    int log_fd = ::open(argv[2], O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log_fd < 0) {
        std::fprintf(stderr, "kmx-sim-syslogd: %s: %s\n", argv[2], std::strerror(errno));
        return 1;
    }

    int sock = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        std::fprintf(stderr, "kmx-sim-syslogd: socket: %s\n", std::strerror(errno));
        return 1;
    }
    int rcvbuf = 1 << 20;
    (void)::setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));

    ::unlink(tmp_path.c_str());
    if (::bind(sock, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
        std::fprintf(stderr, "kmx-sim-syslogd: bind %s: %s\n", tmp_path.c_str(),
                     std::strerror(errno));
        return 1;
    }
    ::chmod(tmp_path.c_str(), 0666);
    ::unlink(sock_path.c_str());
    if (::rename(tmp_path.c_str(), sock_path.c_str()) != 0) {
        std::fprintf(stderr, "kmx-sim-syslogd: rename to %s: %s\n", sock_path.c_str(),
                     std::strerror(errno));
        ::unlink(tmp_path.c_str());
        return 1;
    }

    struct sigaction sa{};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: recv() must return so the flag is seen
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    // Messages are limited to 8 KiB by the senders; leave headroom so a longer
    // one is truncated rather than split.
    static char buf[16 * 1024 + 1];
    // A stop signal landing just before recv() must not leave it blocked.
    struct timeval tick{0, 100000};
    ::setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
    while (!g_stop) {
        ssize_t n = ::recv(sock, buf, sizeof(buf) - 1, 0);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            std::fprintf(stderr, "kmx-sim-syslogd: recv: %s\n", std::strerror(errno));
            break;
        }
        Parsed p = parse(std::string_view(buf, static_cast<std::size_t>(n)));
        if (!write_all(log_fd, format_line(p))) {
            std::fprintf(stderr, "kmx-sim-syslogd: write: %s\n", std::strerror(errno));
            break;
        }
    }

    // Lines already queued when the machine stops still belong in the log.
    if (g_stop) {
        ssize_t n;
        while ((n = ::recv(sock, buf, sizeof(buf) - 1, MSG_DONTWAIT)) > 0)
            if (!write_all(log_fd, format_line(parse(std::string_view(buf, static_cast<std::size_t>(n)))))) break;
    }
    ::unlink(sock_path.c_str());
    ::close(sock);
    ::close(log_fd);
    return g_stop ? 0 : 1;
}
