#include <gtest/gtest.h>
#include <syslog.h>

#include <cstring>
#include <string>

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

}  // namespace
