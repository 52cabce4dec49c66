#include <gtest/gtest.h>
#include <syslog.h>

#include <cstring>
#include <string>
#include <string_view>

#include "module/kmx_log.h"
#include "os/os.h"
#include "support/log_capture.h"

namespace {

struct timeval fixed_clock() {
    // 2026-03-04 05:06:07.089 UTC
    struct timeval tv;
    tv.tv_sec = 1772600767;
    tv.tv_usec = 89999;
    return tv;
}

class LogTest : public testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        g_log_level = 0;
        log_capture_clear();
    }
    void TearDown() override {
        kos::set_wall_clock(nullptr);
        g_log_level = 0;
    }
    static void log(int prio, std::string text, bool prefix) { _kmx_log(prio, text.data(), prefix); }
};

TEST_F(LogTest, LevelFilterDropsOnlyLinesBelowTheLevel) {
    log(1, "debug before init", false);  // level 0: everything passes
    g_log_level = 2;
    log(1, "dropped", false);
    log(2, "kept", false);
    kmx_logf(1, "dropped %d", 1);
    kmx_logf(9, "high %d", 9);
    auto lines = log_captured();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].text, "debug before init");
    EXPECT_EQ(lines[1].text, "kept");
    EXPECT_EQ(lines[2].text, "high 9");
    EXPECT_EQ(lines[2].priority, LOG_EMERG | LOG_LOCAL0);
}

TEST_F(LogTest, SeverityMapCarriesLocal0) {
    const int expect[] = {LOG_EMERG, LOG_DEBUG, LOG_INFO, LOG_NOTICE, LOG_WARNING,
                          LOG_ERR,   LOG_CRIT,  LOG_ALERT, LOG_EMERG, LOG_EMERG};
    for (int level = 0; level <= 9; level++) {
        log_capture_clear();
        log(level, "x", false);
        auto lines = log_captured();
        ASSERT_EQ(lines.size(), 1u) << level;
        EXPECT_EQ(lines[0].priority, expect[level] | LOG_LOCAL0) << level;
    }
}

TEST_F(LogTest, PrefixTagsAndTimeStamp) {
    kos::set_wall_clock(fixed_clock);
    const char *tags[] = {"[NIMP:", "[DEBG:", "[INFO:", "[NOTI:", "[NIMP:", "[ERRO:", "[NIMP:"};
    for (int level = 0; level <= 6; level++) {
        log_capture_clear();
        log(level, "text", true);
        auto lines = log_captured();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].text, std::string(tags[level]) + "2026-03-04 05:06:07.089] text") << level;
    }
}

TEST_F(LogTest, LongLinesAreCutAt511AndPercentIsLiteral) {
    kos::set_wall_clock(fixed_clock);
    log(2, std::string(600, 'a'), false);
    log(2, std::string(600, 'b'), true);
    log(2, "100%s done %n", false);
    auto lines = log_captured();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].text.size(), 511u);
    EXPECT_EQ(lines[1].text.size(), 511u);
    EXPECT_EQ(lines[1].text.rfind("[INFO:", 0), 0u);
    EXPECT_EQ(lines[2].text, "100%s done %n");
}

TEST_F(LogTest, FormattedCallersCutAt256) {
    kmx_logf(2, "%s", std::string(400, 'c').c_str());
    auto lines = log_captured();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text.size(), 255u);
}

TEST_F(LogTest, ToFileWritesTheLineWithoutNewlineOrSyslog) {
    char buf[64] = {};
    FILE *fp = fmemopen(buf, sizeof buf, "w");
    ASSERT_NE(fp, nullptr);
    char text[] = "plain line";
    _kmx_log_to_file(fp, 2, text, false);
    fclose(fp);
    EXPECT_STREQ(buf, "plain line");
    EXPECT_TRUE(log_captured().empty());
}

// Bytes from outside cannot forge a line or act on a terminal: all but
// printable ASCII come out as \xHH, the backslash doubled so that an escape
// in the text cannot pass for one; the caller's own line breaks stay.
TEST_F(LogTest, OutsideBytesAreEscapedWholeAndOwnLineBreaksStay) {
    for (int b = 0; b < 256; b++) {
        const char c = char(b);
        char want[8];
        if (b == '\\')
            snprintf(want, sizeof want, "\\\\");
        else if (b >= 0x20 && b < 0x7f)
            snprintf(want, sizeof want, "%c", b);
        else
            snprintf(want, sizeof want, "\\x%02x", b);
        EXPECT_STREQ(klog::Outside(std::string_view(&c, 1)).c_str(), want) << b;
    }
    // An escape that does not fit is left out whole, never cut.
    const char esc[] = "ab\x1b";
    for (size_t cap : {3, 6, 7}) {
        char out[9];
        memset(out, '#', sizeof out);
        const size_t n = kmx_log_escape(out, cap, esc, 3);
        EXPECT_STREQ(out, cap == 7 ? "ab\\x1b" : "ab") << cap;
        EXPECT_EQ(n, strlen(out)) << cap;
        EXPECT_EQ(out[cap], '#') << cap;
    }
    char two[3];
    EXPECT_EQ(kmx_log_escape(two, sizeof two, "a\\", 2), 1u);
    EXPECT_STREQ(two, "a");
    // A whole line's worth: as many escapes as fit 255 characters.
    std::string controls;
    for (int i = 0; i < 63; i++) controls += "\\x01";
    EXPECT_EQ(klog::Outside(std::string(300, '\x01')).c_str(), controls);
    EXPECT_STREQ(klog::Outside("abcdef", 4).c_str(), "abcd");
    EXPECT_STREQ(klog::Outside::line("1,2\n").c_str(), "1,2");
    EXPECT_STREQ(klog::Outside::line("1\n\n").c_str(), "1\\x0a");
    kmx_logf(5, "remote:%s;\n", klog::Outside("x\r\nfake: started\\x").c_str());
    auto lines = log_captured();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "remote:x\\x0d\\x0afake: started\\\\x;\n");
}

}  // namespace
