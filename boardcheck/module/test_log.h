// The board test's logger: a level threshold and a category mask, every line
// to the system log (facility LOCAL0, default identity).
#pragma once

#include <cstdint>

// Categories of a message; bit 31 marks a continuation piece (no prefix, no
// tag).
enum : uint32_t {
    TL_PLAIN = 0x1,
    TL_SPI = 0x10,
    TL_JOB = 0x100,
    TL_STEP = 0x1000,
    TL_SECTION = 0x10000,
    TL_HUB = 0x100000,
    TL_MINER = 0x1000000,
    TL_CONT = 0x80000000u,
};

extern int g_test_log_level;      // messages below it are dropped
extern uint32_t g_test_log_mask;  // categories that reach the log

// When set, every message at or above the level threshold is also handed,
// unformatted and whatever its category, to this function (test capture).
using test_log_sink_fn = void (*)(int level, uint32_t category, const char *text);
extern test_log_sink_fn g_test_log_sink;

inline bool test_log_on(int level) { return level >= g_test_log_level; }

// One line of at most 256 bytes: level prefix, tag, text, heading suffix.
void test_log(int level, uint32_t category, const char *text);
// Formats (256 bytes) and logs, after the level test.
void test_logf(int level, uint32_t category, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
// Shorthand for plain messages.
#define TLOG(level, ...) test_logf((level), TL_PLAIN, __VA_ARGS__)

void test_log_hexdump(const uint8_t *data, int length, int level, uint32_t category);
void test_log_hexrow(const uint8_t *data, int length, int level, uint32_t category);

// A progress dot: a continuation piece at level 3, then stdout is flushed.
void test_log_dot();

// A decimal number typed on standard input, or `def` for an empty line.
int read_console_number(int def);
