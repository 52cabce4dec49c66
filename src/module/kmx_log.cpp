#include "module/kmx_log.h"

#include <atomic>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <syslog.h>

#include "module/log_sink.h"
#include "os/os.h"

int g_log_level = 0;

namespace klog {
namespace {

void syslog_sink(int pri, const char *line) { syslog(pri, "%s", line); }

std::atomic<Sink> s_sink{syslog_sink};

const char *tag_for(int prio) {
    switch (prio) {
    case 1: return "[DEBG:";
    case 2: return "[INFO:";
    case 3: return "[NOTI:";
    case 5: return "[ERRO:";
    default: return "[NIMP:";
    }
}

// Builds tag + stamp + text into `line` (512 bytes, at most 511 characters).
size_t build_line(char (&line)[512], int prio, const char *text, bool has_prefix) {
    char tag[16] = "";
    char stamp[64] = "";
    if (has_prefix) {
        struct timeval tv = kos::wall_time();
        time_t secs = tv.tv_sec;
        struct tm tmv;
        localtime_r(&secs, &tmv);
        snprintf(tag, sizeof tag, "%s", tag_for(prio));
        snprintf(stamp, sizeof stamp, "%d-%02d-%02d %02d:%02d:%02d.%03d] ", tmv.tm_year + 1900,
                 tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec,
                 int(tv.tv_usec / 1000));
    }
    int n = snprintf(line, sizeof line, "%s%s%s", tag, stamp, text ? text : "");
    if (n < 0) return 0;
    return size_t(n) < sizeof line ? size_t(n) : sizeof line - 1;
}

}  // namespace

void set_sink(Sink sink) { s_sink.store(sink ? sink : syslog_sink); }

int syslog_priority(int level) {
    int sev;
    switch (level) {
    case 1: sev = LOG_DEBUG; break;
    case 2: sev = LOG_INFO; break;
    case 3: sev = LOG_NOTICE; break;
    case 4: sev = LOG_WARNING; break;
    case 5: sev = LOG_ERR; break;
    case 6: sev = LOG_CRIT; break;
    case 7: sev = LOG_ALERT; break;
    default: sev = LOG_EMERG; break;
    }
    return sev | LOG_LOCAL0;
}

}  // namespace klog

extern "C" void kmx_log_init(int default_level, const char *ident) {
    g_log_level = default_level;
    openlog(ident, LOG_PID, LOG_USER);
}

extern "C" void _kmx_log(int prio, char *text, bool has_prefix) {
    if (prio < g_log_level) return;
    char line[512];
    klog::build_line(line, prio, text, has_prefix);
    klog::s_sink.load()(klog::syslog_priority(prio), line);
}

extern "C" void _kmx_log_to_file(FILE *fp, int prio, char *text, bool has_prefix) {
    if (!fp || prio < g_log_level) return;
    char line[512];
    size_t n = klog::build_line(line, prio, text, has_prefix);
    fwrite(line, 1, n, fp);
}

extern "C" void kmx_logf(int level, const char *fmt, ...) {
    if (level < g_log_level) return;
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    _kmx_log(level, buf, false);
}

extern "C" size_t kmx_log_escape(char *dst, size_t cap, const char *src, size_t len) {
    if (!dst || cap == 0) return 0;
    static const char hex[] = "0123456789abcdef";
    size_t n = 0;
    for (size_t i = 0; src && i < len; ++i) {
        const unsigned char c = static_cast<unsigned char>(src[i]);
        char piece[4];
        size_t k = 0;
        if (c == '\\') {
            piece[k++] = '\\';
            piece[k++] = '\\';
        } else if (c >= 0x20 && c < 0x7f) {
            piece[k++] = char(c);
        } else {
            piece[k++] = '\\';
            piece[k++] = 'x';
            piece[k++] = hex[c >> 4];
            piece[k++] = hex[c & 0xf];
        }
        if (n + k >= cap) break;
        memcpy(dst + n, piece, k);
        n += k;
    }
    dst[n] = '\0';
    return n;
}

extern "C" void kmx_logf_user(int level, const char *fmt, ...) {
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (level >= g_log_level) _kmx_log(level, buf, false);
    const size_t n = strlen(buf);
    fprintf(stderr, "%s%s", buf, n > 0 && buf[n - 1] == '\n' ? "" : "\n");
}
