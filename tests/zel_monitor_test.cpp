// The daemon's decisions in-process: the LED server's request parser and the
// machine-type reconciliation against files in the machine's /tmp, with the
// shell a recording fake.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "daemon.h"
#include "os/os.h"
#include "support/fake_shell.h"
#include "support/log_capture.h"

namespace {

using zelmon::LedRequest;

LedRequest parse(const std::string &s) { return zelmon::led_parse_request(s.c_str(), s.size()); }

TEST(LedRequestParser, PrefixesOfTheWordsInOrder) {
    struct Case {
        const char *value;
        bool ok;
        int led;
    } cases[] = {
        {"on", true, zelmon::kLedLit},    {"o", true, zelmon::kLedLit},   {"", true, zelmon::kLedLit},
        {"off", true, zelmon::kLedDark},  {"of", true, zelmon::kLedDark}, {"twinkle", false, -1},
        {"tw", false, -1},                {"t", false, -1},               {"onx", false, -1},
        {"x", false, -1},                 {"offf", false, -1},
    };
    for (const Case &c : cases) {
        LedRequest r = parse(std::string("{\"red_light\":\"") + c.value + "\"}");
        EXPECT_EQ(r.ok, c.ok) << c.value;
        EXPECT_EQ(r.led, c.led) << c.value;
    }
}

TEST(LedRequestParser, MalformedRequestsChangeNothing) {
    for (const char *s : {"", "not json", "[\"red_light\"]", "{\"red\":\"on\"}", "{\"red_light\":0}",
                          "{\"red_light\":null}", "{\"red_light\":\"on\""}) {
        LedRequest r = parse(s);
        EXPECT_FALSE(r.ok) << s;
        EXPECT_EQ(r.led, -1) << s;
    }
    // Only the C string counts: bytes after a NUL are not looked at.
    const char with_nul[] = "{\"red_light\":\"on\"}\0garbage";
    EXPECT_TRUE(zelmon::led_parse_request(with_nul, sizeof with_nul - 1).ok);
    const char cut[] = "{\"red_light\"\0:\"on\"}";
    EXPECT_FALSE(zelmon::led_parse_request(cut, sizeof cut - 1).ok);
    // Each refusal says why, for the server to tell; the request's bytes
    // in it are escaped.
    EXPECT_EQ(parse("not json").refusal, "error: on line 1: '[' or '{' expected near 'not'");
    EXPECT_EQ(parse("{\"red\":\"on\"}").refusal, "error: red_light not impl.");
    EXPECT_EQ(parse("{\"red_light\":0}").refusal, "error: red_light_val is not a string.");
    EXPECT_EQ(parse("{\"red_light\":\"onx\\u0007\\\\\"}").refusal, "error: red_light_val is not a valid val:onx\\x07\\\\.");
    EXPECT_EQ(parse("{\"red_light\":\"twinkle\"}").refusal, "");
    EXPECT_EQ(parse("{\"red_light\":\"of\"}").refusal, "");
}

class Reconcile : public ::testing::Test {
protected:
    const char *hw = "/tmp/hwrevision";
    const char *map = "/tmp/map.conf";
    void SetUp() override { fake_shell().reset(); }
    void given(const std::string &hwrev, const std::string &map_text, const std::string &miner_type) {
        ASSERT_TRUE(kos::write_file_atomic(hw, hwrev));
        ASSERT_TRUE(kos::write_file_atomic(map, map_text));
        fake_shell().answer("/sbin/fw_printenv -n miner_type", miner_type);
        fake_shell().answer("mount", "");
        fake_shell().answer("systemctl restart swupdate", "");
    }
    std::string hwrevision() {
        std::string s;
        kos::read_file(hw, s);
        return s;
    }
    bool rewrote() {
        for (const std::string &c : fake_shell().commands())
            if (c.find("mount") == 0) return true;
        return false;
    }
};

TEST_F(Reconcile, UnmappedTypeIsWrittenAsIs) {
    given("B13 n5.abc\n", "{\"y\":\"n7\"}", "x\n");
    zelmon::reconcile_hwrevision(hw, map);
    EXPECT_EQ(hwrevision(), "B13 x.abc");
    const std::vector<std::string> want{"/sbin/fw_printenv -n miner_type 2>/dev/null\n",
                                        "mount -o rw,remount,dirsync /", "mount -o ro,remount /",
                                        "systemctl restart swupdate"};
    EXPECT_EQ(fake_shell().commands(), want);
}

TEST_F(Reconcile, NothingChangesWithoutAUsableWantedType) {
    struct Case {
        const char *hwrev, *map, *env;
    } cases[] = {
        {"B13 n5+.abc", "{\"x\":\"n5+\"}", "x\n"},  // already so
        {"B13 n5.abc", "{\"x\":5}", "x\n"},          // not a string
        {"B13 n5.abc", "[\"x\"]", "x\n"},            // not an object
        {"B13 n5.abc", "{", "x\n"},                  // not JSON
        {"B13 n5.abc", "{}", ""},                    // miner_type unset
        // A dot or blank would make the file split differently next boot.
        {"B13 n5.abc", "{\"x\":\"n5.1\"}", "x\n"},
        {"B13 n5.abc", "{\"x\":\"n 5\"}", "x\n"},
        // Would not fit the 49 characters: refused rather than cut.
        {"B13 n5.abc", "{\"x\":\"nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn\"}", "x\n"},
        // No type in the file: nothing to compare with.
        {"", "{}", "x\n"},
        {"B13", "{}", "x\n"},
    };
    for (const Case &c : cases) {
        fake_shell().reset();
        given(c.hwrev, c.map, c.env);
        zelmon::reconcile_hwrevision(hw, map);
        EXPECT_EQ(hwrevision(), c.hwrev) << c.hwrev << " / " << c.map;
        EXPECT_FALSE(rewrote()) << c.hwrev << " / " << c.map;
    }
}

// Only a file whose 50-byte head holds all of its text is rewritten: the
// rest would be lost.
TEST_F(Reconcile, LongFilesAreLeftAndSayWhy) {
    const std::string at_limit = "B13 n5." + std::string(50 - 7, 's');
    const std::string long_line = at_limit + "s";
    const std::string two_lines = "B13 n5.abc\nmore\n";
    for (const std::string &text : {long_line, two_lines, "B13 n5." + std::string(4000, 's')}) {
        fake_shell().reset();
        log_capture_clear();
        given(text, "{\"x\":\"n7\"}", "x\n");
        zelmon::reconcile_hwrevision(hw, map);
        EXPECT_EQ(hwrevision(), text);
        EXPECT_FALSE(rewrote());
        EXPECT_TRUE(log_has_part("left as it is: ")) << text.substr(0, 60);
    }
    EXPECT_TRUE(log_has_part("left as it is: its line is longer than 50 bytes"));
    const std::string fits = at_limit.substr(0, 49);  // the rewrite's own limit
    for (const std::string &text : {fits, fits + "\n", std::string("B13 n5.abc\n \n")}) {
        fake_shell().reset();
        given(text, "{\"x\":\"n7\"}", "x\n");
        zelmon::reconcile_hwrevision(hw, map);
        EXPECT_TRUE(rewrote()) << text;
        EXPECT_EQ(hwrevision().substr(0, 7), "B13 n7.") << text;
    }
}

// Blanks or the newline after a type without a dot do not make it differ.
TEST_F(Reconcile, TrailingWhiteSpaceIsTheSameType) {
    for (const char *text : {"B13 n7\n", "B13 n7 \t\n", "B13 n7  .abc"}) {
        fake_shell().reset();
        given(text, "{\"x\":\"n7\"}", "x\n");
        zelmon::reconcile_hwrevision(hw, map);
        EXPECT_EQ(hwrevision(), text);
        EXPECT_FALSE(rewrote()) << text;
    }
}

TEST(BoardKind, SocInEitherCaseAndUnreadableFile) {
    bool readable = false;
    ASSERT_TRUE(kos::write_file_atomic("/tmp/hw1", "soc n5.b"));
    EXPECT_TRUE(zelmon::board_is_soc("/tmp/hw1", &readable));
    EXPECT_TRUE(readable);
    ASSERT_TRUE(kos::write_file_atomic("/tmp/hw1", "SOC n5.b"));
    EXPECT_TRUE(zelmon::board_is_soc("/tmp/hw1", &readable));
    ASSERT_TRUE(kos::write_file_atomic("/tmp/hw1", "zynq n5.b"));
    EXPECT_FALSE(zelmon::board_is_soc("/tmp/hw1", &readable));
    EXPECT_FALSE(zelmon::board_is_soc("/tmp/no-such-file", &readable));
    EXPECT_FALSE(readable);
}

// The image that was run goes by its own name whatever the folder's
// emptying did (here the shell is a fake that removes nothing); names that
// begin with '.' or '-' are never run, and go by their names too.
TEST(SupplyUpgrade, TheImageRunIsRemovedByItsOwnName) {
    fake_shell().reset();
    for (const char *prefix : {"/bin/power_upgrade", "mount", "rm -rf", "sync"}) fake_shell().answer(prefix, "");
    const std::string dir = "/tmp/psu-upgrade-unit";
    mkdir(dir.c_str(), 0755);
    for (const char *name : {".x.bin", ".bin", "-v.hex", "p.bin"})
        ASSERT_TRUE(kos::write_file_atomic((dir + "/" + name).c_str(), ""));
    zelmon::run_pending_psu_upgrade(dir.c_str());
    const std::vector<std::string> want = {"/bin/power_upgrade 0 p.bin", "mount / -o rw,remount,dirsync",
                                           "rm -rf /opt/psu-upgrade/*", "mount / -o ro,remount",
                                           "sync; /bin/systemctl reboot"};
    EXPECT_EQ(fake_shell().commands(), want);
    EXPECT_NE(access((dir + "/p.bin").c_str(), F_OK), 0);
    for (const char *name : {".x.bin", ".bin", "-v.hex"}) EXPECT_NE(access((dir + "/" + name).c_str(), F_OK), 0) << name;
}

}  // namespace
