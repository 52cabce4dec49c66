#include "module/test_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <stdio_ext.h>
#include <syslog.h>

int g_test_log_level = 0;
uint32_t g_test_log_mask = 0;
test_log_sink_fn g_test_log_sink = nullptr;

namespace {

struct Tag {
    uint32_t bit;
    const char *before;
    const char *after;
};
// The first row whose bit the (masked) category carries decides.
constexpr Tag kTags[] = {
    {TL_PLAIN, "", ""},          {TL_SPI, "[SPI]:", ""},   {TL_JOB, "[JOB]:", ""},
    {TL_HUB, "[HUB]:", ""},      {TL_STEP, "[STEP]:", ""}, {TL_MINER, "[MINER]:", ""},
    {TL_SECTION, "------- ", " -------\n"},
};

int priority(int level) {
    switch (level) {
    case 2: return LOG_DEBUG;
    case 3: return LOG_INFO;
    case 4: return LOG_WARNING;
    case 5: return LOG_ERR;
    default: return LOG_EMERG;
    }
}

}  // namespace

void test_log(int level, uint32_t category, const char *text) {
    if (level < g_test_log_level) return;
    if (g_test_log_sink) g_test_log_sink(level, category, text);
    const uint32_t c = category & (g_test_log_mask | TL_CONT);
    const Tag *tag = nullptr;
    for (const Tag &t : kTags)
        if (c & t.bit) {
            tag = &t;
            break;
        }
    if (!tag) return;
    char line[256];
    if (c & TL_CONT) {
        snprintf(line, sizeof line, "%s", text);
    } else {
        const char *prefix = level == 4 ? "[WARNING]:" : level == 5 ? "[ERROR]:" : "";
        snprintf(line, sizeof line, "%s%s%s%s", prefix, tag->before, text, tag->after);
    }
    syslog(LOG_LOCAL0 | priority(level), "%s", line);
}

void test_logf(int level, uint32_t category, const char *fmt, ...) {
    if (level < g_test_log_level) return;
    char text[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    test_log(level, category, text);
}

void test_log_hexdump(const uint8_t *data, int length, int level, uint32_t category) {
    if (level < g_test_log_level) return;
    for (int i = 0; i < length; i++) {
        if (i % 16 == 0) test_logf(level, category, "%08x:\t", unsigned(i));
        test_logf(level, category | TL_CONT, "%02x ", data[i]);
        if (i % 16 == 15 || i == length - 1) test_log(level, category | TL_CONT, "\n");
    }
}

void test_log_hexrow(const uint8_t *data, int length, int level, uint32_t category) {
    if (level < g_test_log_level) return;
    for (int i = 0; i < length; i++) test_logf(level, category | TL_CONT, "%02x ", data[i]);
    test_log(level, category | TL_CONT, "\n");
}

void test_log_dot() {
    test_log(3, TL_CONT | TL_PLAIN, ".");
    fflush(stdout);
}

int read_console_number(int def) {
    long value = 0;
    bool digits = false;
    for (;;) {
        const int ch = getchar();
        if (ch == EOF) break;
        if (ch == '\n' || ch == '\r') {
            if (digits) __fpurge(stdin);  // drop what was typed ahead
            break;
        }
        if (ch >= '0' && ch <= '9' && value < 100000000) {
            value = value * 10 + (ch - '0');
            digits = true;
        }
    }
    return digits ? int(value) : def;
}
