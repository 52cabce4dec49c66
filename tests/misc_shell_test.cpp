#include <gtest/gtest.h>

#include <cstring>

#include "misc/kmx_misc.h"
#include "support/fake_shell.h"

namespace {

class ShellTest : public testing::Test {
protected:
    void SetUp() override { fake_shell().reset(); }
};

TEST_F(ShellTest, CaptureIsCutToTheBufferAndTerminated) {
    fake_shell().answer("echo", "0123456789");
    char buf[5];
    memset(buf, 'x', sizeof buf);
    EXPECT_TRUE(misc_system("echo long", buf, sizeof buf));
    EXPECT_STREQ(buf, "0123");
}

TEST_F(ShellTest, LineReaderStopsAtTheSize) {
    fake_shell().answer("cat", "ab\ncd\nef\n");
    char out[6] = "";
    char cmd[] = "cat x";
    EXPECT_EQ(kmx_get_shell_cmd_rst(cmd, out, sizeof out), 5);
    EXPECT_STREQ(out, "ab\ncd");
}

TEST_F(ShellTest, UbootCommandsKeepTheirTextAndQuoteUnsafeValues) {
    fake_shell().answer("/sbin/fw_printenv -n standby", "1\n");
    fake_shell().answer("/sbin/fw_setenv", "");
    char buf[32];
    EXPECT_TRUE(misc_get_uboot_env("standby", buf, sizeof buf));
    EXPECT_STREQ(buf, "1\n");
    EXPECT_TRUE(misc_set_uboot_env("image_flag", "b", buf, sizeof buf));
    EXPECT_TRUE(misc_set_uboot_env("hwver", "x;reboot", buf, sizeof buf));
    EXPECT_FALSE(misc_set_uboot_env("a;b", "1", buf, sizeof buf));
    EXPECT_FALSE(misc_get_uboot_env("$(reboot)", buf, sizeof buf));
    auto cmds = fake_shell().commands();
    ASSERT_EQ(cmds.size(), 3u);
    EXPECT_EQ(cmds[0], "/sbin/fw_printenv -n standby 2>/dev/null\n");
    EXPECT_EQ(cmds[1], "/sbin/fw_setenv image_flag b 2>/dev/null\n");
    EXPECT_EQ(cmds[2], "/sbin/fw_setenv hwver 'x;reboot' 2>/dev/null\n");
}

TEST_F(ShellTest, LockIsReadFromFlagutils) {
    fake_shell().answer("/sbin/flagutils read", "1\n");
    EXPECT_TRUE(kmx_read_lock());
    fake_shell().answer("/sbin/flagutils read", "0\n");
    EXPECT_FALSE(kmx_read_lock());
}

}  // namespace
