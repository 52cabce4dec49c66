// Versions, clocks and time texts, file sizes, eth0's addresses, a small
// TCP client and the legacy status-sender thread.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <net/if.h>
#include <netinet/in.h>
#include <pthread.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "misc/kmx_legacy.h"
#include "misc/kmx_misc.h"
#include "module/kmx_log.h"
#include "os/os.h"

namespace {

struct timeval start_time;
struct timeval end_time;

// Copies src into dst (size bytes) without a final newline; false when
// nothing is left.
bool copy_value(const char *src, char *dst, size_t size) {
    size_t n = strlen(src);
    if (n > 0 && src[n - 1] == '\n') n--;
    // A buffer with room for the terminator only would hand on an empty text.
    if (n == 0 || size < 2) return false;
    if (n > size - 1) n = size - 1;
    memcpy(dst, src, n);
    dst[n] = '\0';
    return true;
}

// Largest answer misc_call_api keeps from a peer.
constexpr size_t API_REPLY_MAX = 4u << 20;
constexpr size_t API_REPLY_STEP = 64u << 10;

int tcp_connect(const char *host, short port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        printf("Socket initialisation failed: %s\n", strerror(errno));
        return -2;
    }
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons((uint16_t)port);
    addr.sin_addr.s_addr = inet_addr(host);
    if (connect(fd, (struct sockaddr *)&addr, sizeof addr) < 0) {
        int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

}  // namespace

extern "C" bool kmx_get_version_from_env(unsigned char *result, int len) {
    if (!result) {
        kmx_logf(5, "%s    %d  result is null pointer\n", __func__, __LINE__);
        return false;
    }
    if (len > 0) result[0] = '\0';
    char buf[128];
    misc_system("/sbin/fw_printenv -n image_flag\n", buf, sizeof buf);
    const char *name;
    switch (buf[0]) {
    case 'a': name = "version_a"; break;
    case 'b': name = "version_b"; break;
    case '0': name = "version_0"; break;
    case '1': name = "version_1"; break;
    default:
        kmx_logf(5, "image_flag:%s failed!\n", buf);
        return false;
    }
    std::string cmd = std::string("/sbin/fw_printenv -n ") + name + "\n";
    misc_system(cmd.c_str(), buf, sizeof buf);
    // An unset version is no version: never hand on an empty text.
    return len > 0 && copy_value(buf, (char *)result, size_t(len));
}

extern "C" int kmx_get_fwver_from_etc(char *version) {
    if (!version) {
        kmx_logf(5, "%s  %d  version is null !\n", __func__, __LINE__);
        return -1;
    }
    const char *path = "/etc/fwrevision";
    FILE *fp = fopen(path, "r");
    if (!fp) {
        kmx_logf(5, "%s  %d  open %s failed !\n", __func__, __LINE__, path);
        return -1;
    }
    // Callers hold 64 bytes.
    version[0] = '\0';
    const int n = fscanf(fp, "%63s", version);
    fclose(fp);
    // A word that begins with a NUL byte reads as no version at all.
    return n == 1 && version[0] ? 0 : -1;
}

// ---- clocks -------------------------------------------------------------------

extern "C" int kmx_get_systime(struct timespec *ts) {
    if (!ts) {
        kmx_logf(5, "%s failed !\n", __func__);
        kos::terminate(0);
    }
    const uint64_t us = kos::mono_us();
    ts->tv_sec = time_t(us / 1000000u);
    ts->tv_nsec = long(us % 1000000u) * 1000L;
    return 0;
}

extern "C" uint64_t kmx_get_systime_ms(void) {
    struct timespec ts;
    kmx_get_systime(&ts);
    return uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u;
}

extern "C" uint64_t kmx_get_systime_s(void) {
    struct timespec ts;
    kmx_get_systime(&ts);
    return uint64_t(ts.tv_sec);
}

extern "C" void kmx_time(struct timeval *tv) {
    struct timespec ts;
    kmx_get_systime(&ts);
    tv->tv_sec = ts.tv_sec;
    tv->tv_usec = ts.tv_nsec / 1000;
}

extern "C" bool kmx_get_start_time(void) {
    start_time = kos::wall_time();
    return true;
}

extern "C" bool kmx_get_end_time(void) {
    end_time = kos::wall_time();
    return true;
}

extern "C" bool kmx_timersub(struct timeval *a, struct timeval *b, struct timeval *result) {
    result->tv_sec = a->tv_sec - b->tv_sec;
    result->tv_usec = a->tv_usec - b->tv_usec;
    if (result->tv_usec < 0) {
        result->tv_sec -= 1;
        result->tv_usec += 1000000;
    }
    return true;
}

extern "C" bool kmx_get_total_run_time(unsigned char *datetime) {
    struct timeval diff;
    kmx_timersub(&end_time, &start_time, &diff);
    // A duration, not a moment: broken down in UTC so the machine's time
    // zone does not shift the hours.
    time_t secs = diff.tv_sec;
    struct tm t;
    gmtime_r(&secs, &t);
    snprintf((char *)datetime, 64, "%04d-%02d-%02d %02d:%02d:%02d", t.tm_year - 70, t.tm_mon, t.tm_mday - 1,
             t.tm_hour, t.tm_min, t.tm_sec);
    return true;
}

extern "C" bool kmx_get_time_str(struct timeval *tv, unsigned char *time_str) {
    time_t secs = tv->tv_sec;
    struct tm t;
    localtime_r(&secs, &t);
    snprintf((char *)time_str, 64, "%d-%02d-%02d %02d:%02d:%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
             t.tm_hour, t.tm_min, t.tm_sec);
    return true;
}

extern "C" unsigned long kmx_get_file_size(const char *path) {
    struct stat st;
    if (!path || stat(path, &st) != 0) return 0;
    return (unsigned long)st.st_size;
}

// ---- network ------------------------------------------------------------------

extern "C" bool kmx_get_mac(unsigned char *mac) {
    if (!mac) {
        kmx_logf(5, "%s  %s  %d mac is null !\n", __FILE__, __func__, __LINE__);
        return false;
    }
    const char *path = "/sys/class/net/eth0/address";
    FILE *fp = fopen(path, "r");
    if (!fp) {
        kmx_logf(5, "%s    %s  %d  open %s failed !\n", __FILE__, __func__, __LINE__, path);
        return false;
    }
    char buf[21] = "";
    size_t n = fread(buf, 1, 20, fp);
    fclose(fp);
    buf[n] = '\0';
    // "aa:bb:cc:dd:ee:ff": 17 characters.
    return copy_value(buf, (char *)mac, 18);
}

extern "C" bool kmx_get_ip(unsigned char *ip) {
    bool ok = false;
    int fd = ip ? socket(AF_INET, SOCK_DGRAM, 0) : -1;
    if (fd >= 0) {
        struct ifreq ifr;
        memset(&ifr, 0, sizeof ifr);
        snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "eth0");
        if (ioctl(fd, SIOCGIFADDR, &ifr) == 0) {
            char text[INET_ADDRSTRLEN];
            const struct sockaddr_in *sin = (const struct sockaddr_in *)&ifr.ifr_addr;
            if (inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text)) {
                memcpy(ip, text, strlen(text) + 1);  // at most 15 characters
                ok = true;
            }
        }
        close(fd);
    }
    if (!ok) kmx_logf(5, "%s  %s  %d failed !\n", __FILE__, __func__, __LINE__);
    return ok;
}

extern "C" int misc_call_api(char *command, char *host, short port) {
    int fd = tcp_connect(host, port);
    if (fd == -2) return -1;
    if (fd < 0) {
        printf("Socket connect failed: %s\n", strerror(errno));
        return -1;
    }
    const size_t len = strlen(command);
    if (send(fd, command, len, MSG_NOSIGNAL) < 0) {
        printf("Send failed: %s\n", strerror(errno));
        close(fd);
        return -1;
    }
    std::string reply;
    char chunk[4096];
    int rc = 0;
    for (;;) {
        ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            printf("Recv failed: %s\n", strerror(errno));
            rc = -1;
            break;
        }
        // Grown in 64 KiB steps, up to a bound: a peer that never stops
        // sending must not take all memory.
        if (reply.size() + size_t(n) > API_REPLY_MAX) {
            printf("Err: OOM (%d)\n", int(reply.capacity() + API_REPLY_STEP));
            close(fd);
            return -1;
        }
        if (reply.size() + size_t(n) > reply.capacity()) reply.reserve(reply.capacity() + API_REPLY_STEP);
        reply.append(chunk, size_t(n));
    }
    close(fd);
    fwrite(reply.data(), 1, reply.size(), stdout);
    fflush(stdout);
    return rc;
}

extern "C" bool misc_tcp_is_ok(char *host, short port) {
    int fd = tcp_connect(host, port);
    if (fd < 0) return false;
    close(fd);
    return true;
}

// ---- legacy status sender -------------------------------------------------------

extern "C" void *kmx_send_miner_status_thread(void *argv) {
    pthread_detach(pthread_self());
    prctl(PR_SET_NAME, "send_status");
    dtu_config *cfg = (dtu_config *)argv;
    for (;;) {
        if (kmx_read_lock()) {
            const int interval = cfg && cfg->interval >= 1 ? cfg->interval : 120;
            kos::sleep_s(unsigned(interval));
            // The thread keeps no chain statistics of its own: an empty list.
            chain_status chains[9];
            memset(chains, 0, sizeof chains);
            kmx_send_status(cfg, chains);
        } else {
            kos::sleep_s(120);
        }
    }
    return nullptr;
}
