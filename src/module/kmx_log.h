/* Logging: one process-wide level filter, an optional tag and time prefix,
 * and syslog (facility LOCAL0) as the destination. */
#ifndef KMX_LOG_H
#define KMX_LOG_H

#include <stdbool.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Lowest level that is logged; 0 until kmx_log_init, so everything is. */
extern int g_log_level;

void kmx_log_init(int default_level, const char *ident);
void _kmx_log(int prio, char *text, bool has_prefix);
void _kmx_log_to_file(FILE *fp, int prio, char *text, bool has_prefix);

/* The callers' convention in one place: test the level first, format into
 * 256 bytes, hand the text to _kmx_log without prefix. */
void kmx_logf(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
/* For a tool's usage and argument errors: logged as kmx_logf does, and also
 * printed on standard error (ended by a newline) for whoever typed the call. */
void kmx_logf_user(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

/* Renders `len` bytes that came from outside (a peer, a file, an argument)
 * for a log line: printable ASCII stays, a backslash becomes "\\" and every
 * other byte (controls, DEL, and all bytes from 0x80 up: no terminal may
 * read them as controls, no peer may forge a line) "\xHH". Writes at most
 * `cap` bytes with the closing NUL; an escape that does not fit is left out
 * whole. Returns the length written. */
size_t kmx_log_escape(char *dst, size_t cap, const char *src, size_t len);

#ifdef __cplusplus
}
#endif

#define KMX_LOG_DEBUG 1
#define KMX_LOG_INFO 2
#define KMX_LOG_NOTICE 3
#define KMX_LOG_WARN 4
#define KMX_LOG_ERROR 5

#ifdef __cplusplus
#include <string_view>

namespace klog {
// Outside text for a log line's "%s", escaped by kmx_log_escape into a
// buffer as long as the line itself:
//   kmx_logf(5, "remote:%s", klog::Outside(ip).c_str());
class Outside {
public:
    explicit Outside(std::string_view s) noexcept { kmx_log_escape(buf_, sizeof buf_, s.data(), s.size()); }
    explicit Outside(const char *s) noexcept : Outside(std::string_view(s ? s : "")) {}
    // At most the first `at_most` bytes of `s`.
    Outside(std::string_view s, size_t at_most) noexcept : Outside(s.substr(0, at_most)) {}
    // A line read from a file or a command: its own line end is not shown
    // (syslog ends each line itself).
    static Outside line(std::string_view s) noexcept {
        if (!s.empty() && s.back() == '\n') s.remove_suffix(1);
        return Outside(s);
    }
    const char *c_str() const noexcept { return buf_; }

private:
    char buf_[256];
};
}  // namespace klog
#endif

#endif
