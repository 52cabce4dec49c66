// The history files: the loader's repair of bad lines, key writes and reads,
// counts, the dump format, and the event records.
#include <gtest/gtest.h>
#include <iniparser.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "misc/kmx_ini.h"
#include "support/fake_shell.h"
#include "support/log_capture.h"

namespace {

const char *kFile = "/tmp/test.ini";

void put(const std::string &path, const std::string &text) { std::ofstream(path, std::ios::trunc) << text; }
std::string get(const std::string &path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}
std::string key(const char *k, const char *path = kFile) {
    char buf[512] = "";
    return kmx_read_key_from_ini(k, buf, path, sizeof buf) ? buf : "<none>";
}

TEST(IniLoad, BadLinesAreDeletedAndTheNextLoadSucceeds) {
    put(kFile, "[a]\nx = 1\nno equals here\ny = 2\n\x01\x02\xff\ny = 2\nz = 3\n");
    EXPECT_EQ(iniparser_load(kFile), nullptr);
    EXPECT_EQ(get(kFile), "[a]\nx = 1\ny = 2\ny = 2\nz = 3\n");
    dictionary *d = iniparser_load(kFile);
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(iniparser_getstring(d, "a:z", ""), "3");
    iniparser_freedict(d);
}

// A section whose name holds the key separator cannot be written back as
// it was read: its line goes like any bad line, and a key written after the
// repair reads back (found by the fuzz target).
TEST(IniLoad, SectionNamedWithTheKeySeparatorIsABadLine) {
    put(kFile, "[times_7:[version]\nnow = V1.2\n[run]\ncount = 2\n");
    EXPECT_EQ(iniparser_load(kFile), nullptr);
    EXPECT_EQ(get(kFile), "now = V1.2\n[run]\ncount = 2\n");
    ASSERT_TRUE(kmx_write_key_to_ini("times_7", "times_7:lock", "1", kFile));
    EXPECT_EQ(key("times_7:lock"), "1");
    EXPECT_EQ(key("run:count"), "2");
}

// Every unreadable line goes in one load, too-long ones and those holding
// a NUL byte included: one operation fails, the next goes in. The syslog
// tells how many lines were removed, stderr shows the first three, escaped.
TEST(IniLoad, EveryUnreadableLineGoesInOneLoad) {
    const std::string longline = "k = " + std::string(1100, 'v') + "\n";
    const std::string nul("n = a\0b\n", 8);
    // 1022 characters fit the loader's line, 1023 do not.
    const std::string fits = "f = " + std::string(1018, 'w') + "\n";
    const std::string over = "o = " + std::string(1019, 'w') + "\n";
    put(kFile, "[a]\nx = 1\n" + longline + "bad line\n" + nul + fits + over + "cont \\\n" + longline + "y = 2\n" +
                   longline);
    log_capture_clear();
    testing::internal::CaptureStderr();
    EXPECT_EQ(iniparser_load(kFile), nullptr);
    // The log lines follow (echoed by the capture).
    const std::string shown = "iniparser: input line too long in /tmp/test.ini (3)\n"
                              "iniparser: syntax error in /tmp/test.ini (4):\n-> bad line\n"
                              "iniparser: syntax error in /tmp/test.ini (5):\n-> n = a\\x00b\n"
                              "iniparser: 3 more unreadable lines in /tmp/test.ini not shown\n"
                              "iniparser: removed 7 unreadable lines from /tmp/test.ini\n";
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(said.substr(0, shown.size()), shown) << said;
    EXPECT_EQ(get(kFile), "[a]\nx = 1\n" + fits + "y = 2\n");
    EXPECT_TRUE(log_has_part("iniparser: removed 7 unreadable lines from /tmp/test.ini")) << [] {
        std::string all;
        for (auto &l : log_captured()) all += l.text + "\n";
        return all;
    }();
    dictionary *d = iniparser_load(kFile);
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(iniparser_getstring(d, "a:y", ""), "2");
    iniparser_freedict(d);
    // A last line without its newline is too long only when more than a
    // line's worth of it is there.
    put(kFile, "[a]\n" + fits.substr(0, fits.size() - 1));
    d = iniparser_load(kFile);
    ASSERT_NE(d, nullptr);
    iniparser_freedict(d);
}

// A damaged history file of random bytes costs one failed write, not one
// per bad line; the write after it goes in and reads back.
TEST(IniLoad, RandomFileCostsOneFailedWrite) {
    std::string junk(1 << 20, '\0');
    unsigned x = 12345;
    for (char &c : junk) {
        x = x * 1103515245u + 12345u;
        c = char(x >> 16);
    }
    put(kFile, junk);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(kmx_write_key_to_ini("s", "s:k", "v1", kFile));
    // Three lines shown (a 1023-byte line escaped is 4 KiB at most) and
    // the count of the rest, not the file's bytes.
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_LT(err.size(), 3u * 4200 + 200);
    for (const char c : err) ASSERT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7F)) << int(c);
    EXPECT_NE(err.find("more unreadable lines in /tmp/test.ini not shown\n"), std::string::npos);
    EXPECT_TRUE(kmx_write_key_to_ini("s", "s:k", "v2", kFile));
    EXPECT_EQ(key("s:k"), "v2");
    EXPECT_TRUE(kmx_write_key_to_ini("s", "s:j", "v3", kFile));
    EXPECT_EQ(key("s:j"), "v3");
}

// A damaged file that cannot be rewritten is reported with the reason.
TEST(IniLoad, FailedRepairIsLogged) {
    mkdir("/tmp/rofs", 0755);
    ASSERT_EQ(0, mount("tmpfs", "/tmp/rofs", "tmpfs", 0, "size=64k"));
    put("/tmp/rofs/t.ini", "[a]\nbad line\n");
    ASSERT_EQ(0, mount(nullptr, "/tmp/rofs", nullptr, MS_REMOUNT | MS_RDONLY, nullptr));
    log_capture_clear();
    EXPECT_EQ(iniparser_load("/tmp/rofs/t.ini"), nullptr);
    EXPECT_TRUE(log_has_part("iniparser: cannot remove the unreadable lines from /tmp/rofs/t.ini: Read-only file system"));
    EXPECT_FALSE(log_has_part("iniparser: removed"));
    umount("/tmp/rofs");
}

// A rewrite that cannot be stored (a full file system) leaves the file as
// it was and says why.
TEST(IniLoad, FailedSaveIsLoggedWithItsReason) {
    mkdir("/tmp/full", 0755);
    ASSERT_EQ(0, mount("tmpfs", "/tmp/full", "tmpfs", 0, "size=4k"));
    put("/tmp/full/t.ini", "[a]\nx = 1\n");
    log_capture_clear();
    EXPECT_FALSE(kmx_write_key_to_ini("a", "a:y", "2", "/tmp/full/t.ini"));
    EXPECT_EQ(get("/tmp/full/t.ini"), "[a]\nx = 1\n");
    EXPECT_TRUE(log_has_part("open /tmp/full/t.ini failed !: No space left on device"));
    umount("/tmp/full");
}

// A file longer than a write would ever leave it (reads do not cap it) is
// not rewritten from a partial read: its end is not cut off.
TEST(IniLoad, OverlongFileIsNotCutByTheRepair) {
    std::string body = "[a]\nbad line\n";
    const std::string comment = ";" + std::string(98, '-') + "\n";
    while (body.size() < 0xA01000u) body += comment;
    body += "x = 1\n";
    put(kFile, body);
    log_capture_clear();
    EXPECT_EQ(iniparser_load(kFile), nullptr);
    EXPECT_EQ(get(kFile).size(), body.size());
    EXPECT_TRUE(log_has_part("iniparser: cannot remove the unreadable lines from /tmp/test.ini: file too large"));
}

TEST(IniLoad, TruncatedLastLineWithoutNewlineIsRead) {
    put(kFile, "[a]\nx = 1\ny = 2");
    dictionary *d = iniparser_load(kFile);
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(iniparser_getstring(d, "a:y", ""), "2");
    iniparser_freedict(d);
}

TEST(IniLoad, ContinuedBadLineIsDeletedWhole) {
    put(kFile, "[a]\nbad \\\nstill bad\nx = 1\n");
    EXPECT_EQ(iniparser_load(kFile), nullptr);
    EXPECT_EQ(get(kFile), "[a]\nx = 1\n");
}

TEST(IniWrite, DumpFormatAndRoundTrip) {
    unlink(kFile);
    ASSERT_TRUE(kmx_write_key_to_ini("times_1", "times_1:start_t", "2024-01-02 03:04:05", kFile));
    ASSERT_TRUE(kmx_write_key_to_ini("times_1", "times_1:pool1", "stratum+tcp://p:3333", kFile));
    ASSERT_TRUE(kmx_write_key_to_ini("now", "now:count", "1", kFile));
    EXPECT_EQ(get(kFile),
              "\n[times_1]\n"
              "start_t                        = 2024-01-02 03:04:05\n"
              "pool1                          = stratum+tcp://p:3333\n\n"
              "\n[now]\n"
              "count                          = 1\n\n\n");
    EXPECT_EQ(key("times_1:start_t"), "2024-01-02 03:04:05");
    EXPECT_EQ(key("times_1:pool1"), "stratum+tcp://p:3333");
}

// A loaded line that the dump's key padding would push past the loader's
// 1022 characters is written unpadded; a value no line can hold is cut.
TEST(IniWrite, LongLoadedValuesStayReadableAfterARewrite) {
    std::string full(1018, 'v');  // "k = " + 1018 = 1022 characters
    put(kFile, "[s]\nk = " + full + "\n");
    ASSERT_TRUE(kmx_write_key_to_ini("s", "s:n", "1", kFile));
    EXPECT_EQ(get(kFile), "\n[s]\nk=" + full + "\nn                              = 1\n\n\n");
    EXPECT_EQ(key("s:n"), "1");
    char buf[1100] = "";
    ASSERT_TRUE(kmx_read_key_from_ini("s:k", buf, kFile, sizeof buf));
    EXPECT_EQ(std::string(buf), full);
    // The padded form is kept up to 1022 characters.
    const std::string fits(1022 - 33, 'w');
    ASSERT_TRUE(kmx_write_key_to_ini("s", "s:k", fits.c_str(), kFile));
    EXPECT_NE(get(kFile).find("k                              = " + fits + "\n"), std::string::npos);
    // A value written longer than any line can hold is cut to one line.
    const std::string huge(1030, 'x');
    ASSERT_TRUE(kmx_write_key_to_ini("s", "s:k", huge.c_str(), kFile));
    ASSERT_TRUE(kmx_read_key_from_ini("s:k", buf, kFile, sizeof buf));
    EXPECT_EQ(std::string(buf), huge.substr(0, 1020));
    // Cut to fit with its quotes: a comment mark keeps them.
    std::string marked(1030, 'y');
    marked[5] = ';';
    ASSERT_TRUE(kmx_write_key_to_ini("s", "s:k", marked.c_str(), kFile));
    ASSERT_TRUE(kmx_read_key_from_ini("s:k", buf, kFile, sizeof buf));
    EXPECT_EQ(std::string(buf), marked.substr(0, 1018));
    EXPECT_EQ(key("s:n"), "1");
}

TEST(IniWrite, ValuesStayOnOneLineAndReadBackAsWritten) {
    unlink(kFile);
    ASSERT_TRUE(kmx_write_key_to_ini("p", "p:pass", "ab\n[evil]\nc", kFile));
    EXPECT_EQ(key("p:pass"), "ab [evil] c");
    // Comment marks, an ending '\', spaces at the ends and quotes: quoted
    // where a bare value would read back otherwise, bare where it would not.
    const std::vector<std::pair<std::string, std::string>> values = {
        {"x#y", "\"x#y\""},     {"a;b", "\"a;b\""},     {"end\\", "\"end\\\""},
        {" pad ", "\" pad \""}, {"\"q\"", "'\"q\"'"}, {"it's", "it's"},
        {"plain", "plain"},     {"", ""},                 {"  lead", "\"  lead\""},
    };
    for (const auto &[value, written] : values) {
        ASSERT_TRUE(kmx_write_key_to_ini("p", "p:pass", value.c_str(), kFile));
        EXPECT_EQ(key("p:pass"), value) << written;
        EXPECT_NE(get(kFile).find("pass                           = " + written + "\n"), std::string::npos)
            << get(kFile);
    }
    // Both kinds of quote and a comment mark: its double quotes become single.
    ASSERT_TRUE(kmx_write_key_to_ini("p", "p:pass", "a\"b';c", kFile));
    EXPECT_EQ(key("p:pass"), "a'b';c");
    // A line that starts with '[' and ends with ']' reads as a section.
    ASSERT_TRUE(kmx_write_key_to_ini("p", "p:[x", "y]", kFile));
    EXPECT_EQ(key("p:[x"), "y]");
    EXPECT_FALSE(kmx_write_key_to_ini("a]b", "a]b:k", "v", kFile));
}

// A loaded value that ends in '\' (kept by its quotes) was written back
// bare: at the next load it took the lines after it, the next section's
// name among them, and that section's keys went into the one before.
TEST(IniWrite, ValueEndingInABackslashKeepsTheNextSection) {
    put(kFile, "[a]\nq = \"v;\\\\\\\"\n\n[times_7]\nk = o\n");
    ASSERT_TRUE(kmx_write_key_to_ini("times_7", "times_7:lock", "1", kFile));
    EXPECT_EQ(key("times_7:lock"), "1");
    EXPECT_EQ(key("times_7:k"), "o");
    EXPECT_EQ(key("a:q"), "v;\\\\\\");
    ASSERT_TRUE(kmx_write_key_to_ini("times_7", "times_7:lock", "2", kFile));
    EXPECT_EQ(key("times_7:lock"), "2");
    EXPECT_EQ(key("a:q"), "v;\\\\\\");
}

// Keys before the first section, which iniparser's dump leaves out once
// there is a section, stay through a rewrite.
TEST(IniWrite, KeysBeforeAnySectionStay) {
    put(kFile, "top = 1\n[s]\nk = v\n");
    ASSERT_TRUE(kmx_write_key_to_ini("s", "s:n", "2", kFile));
    EXPECT_EQ(get(kFile).rfind("top                            = 1\n", 0), 0u) << get(kFile);
    EXPECT_EQ(key(":top"), "1");
    EXPECT_EQ(key("s:k"), "v");
    EXPECT_EQ(key("s:n"), "2");
}

TEST(IniRead, NullPrefixAndMissingKeysAndLongValues) {
    put(kFile, "[a]\nx = nullx\ny = abcdefghij\n");
    log_capture_clear();
    EXPECT_EQ(key("a:x"), "<none>");
    bool logged = false;
    for (auto &l : log_captured()) logged |= l.text.find("  get a:x failed!\n") != std::string::npos;
    EXPECT_TRUE(logged);
    EXPECT_EQ(key("a:missing"), "<none>");
    char small[5];
    EXPECT_TRUE(kmx_read_key_from_ini("a:y", small, kFile, sizeof small));
    EXPECT_STREQ(small, "abcd");
}

TEST(IniCount, MissingCountIsCreatedPresentOneLeftAlone) {
    put(kFile, "");
    int n = 0;
    EXPECT_TRUE(kmx_get_count_from_ini("now", "count", &n, kFile));
    EXPECT_EQ(n, 1);
    EXPECT_EQ(key("now:count"), "1");
    put(kFile, "[now]\ncount=7\n");
    EXPECT_TRUE(kmx_get_count_from_ini("now", "count", &n, kFile));
    EXPECT_EQ(n, 7);
    EXPECT_EQ(get(kFile), "[now]\ncount=7\n");
    EXPECT_TRUE(kmx_update_count_to_ini("now", "now:count", &n, kFile));
    EXPECT_EQ(n, 8);
    put(kFile, "[now]\ncount=0\n");
    EXPECT_TRUE(kmx_update_count_to_ini("now", "now:count", &n, kFile));
    EXPECT_EQ(n, 1);
}

TEST(IniCount, CountAtTheTopOfIntStaysThere) {
    int n = 0;
    put(kFile, "[now]\ncount=2147483646\n");
    EXPECT_TRUE(kmx_update_count_to_ini("now", "now:count", &n, kFile));
    EXPECT_EQ(n, 2147483647);
    EXPECT_TRUE(kmx_update_count_to_ini("now", "now:count", &n, kFile));
    EXPECT_EQ(n, 2147483647);
    EXPECT_EQ(key("now:count"), "2147483647");
}

TEST(IniCap, FileOverTheCapIsEmptiedBeforeAWrite) {
    std::string body = "[a]\nx = 1\n";
    const std::string comment = ";" + std::string(98, '-') + "\n";
    while (body.size() + comment.size() <= 0x9fffff) body += comment;
    body += std::string(0x9fffff - body.size() - 1, ';') + "\n";
    ASSERT_EQ(body.size(), 0x9fffffu);
    put(kFile, body);
    ASSERT_TRUE(kmx_write_key_to_ini("b", "b:y", "2", kFile));
    EXPECT_EQ(key("a:x"), "1");
    put(kFile, body + ";");
    ASSERT_TRUE(kmx_write_key_to_ini("b", "b:y", "2", kFile));
    EXPECT_EQ(get(kFile), "\n[b]\ny                              = 2\n\n\n");
}

TEST(IniWrite, ConcurrentWritersLoseNothing) {
    unlink(kFile);
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; t++)
        ts.emplace_back([t] {
            for (int i = 0; i < 10; i++) {
                std::string k = "s:k" + std::to_string(t) + "_" + std::to_string(i);
                kmx_write_key_to_ini("s", k.c_str(), "v", kFile);
            }
        });
    for (auto &t : ts) t.join();
    dictionary *d = iniparser_load(kFile);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(iniparser_getsecnkeys(d, "s"), 40);
    iniparser_freedict(d);
}

// ---- event records -------------------------------------------------------

// "YYYY-MM-DD hh:mm:ss" followed by exactly `rest`.
bool stamped(const std::string &text, const std::string &rest) {
    const std::string shape = "dddd-dd-dd dd:dd:dd";
    if (text.size() != shape.size() + rest.size()) return false;
    for (size_t i = 0; i < shape.size(); i++) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (shape[i] == 'd' ? !digit : text[i] != shape[i]) return false;
    }
    return text.compare(shape.size(), std::string::npos, rest) == 0;
}

TEST(IniEvents, RecordText) {
    char out[512];
    kmx_packaging_one_record(3, "", "1.0", out);
    EXPECT_TRUE(stamped(out, "\tzel_tools\tnull\t1.0")) << out;
    kmx_packaging_one_record(9, "a", "b", out);
    EXPECT_TRUE(stamped(out, "\tunknow\ta\tb")) << out;
}

TEST(IniEvents, VersionChangesAreNumberedRecords) {
    unlink(KMX_EVENTS_INI);
    FakeShell &sh = fake_shell();
    auto version = [&](const char *v) {
        sh.reset();
        sh.answer("/sbin/fw_printenv -n image_flag", "0\n");
        sh.answer("/sbin/fw_printenv -n version_0", std::string(v) + "\n");
        return kmx_system_update_record();
    };
    EXPECT_TRUE(version("1.0"));
    EXPECT_EQ(key("version:now", KMX_EVENTS_INI), "1.0");
    EXPECT_EQ(key("version:count", KMX_EVENTS_INI), "<none>");
    EXPECT_TRUE(version("1.0.1"));  // starts with the stored one: no record
    EXPECT_EQ(key("version:now", KMX_EVENTS_INI), "1.0");
    EXPECT_TRUE(version("2.0"));
    EXPECT_EQ(key("version:now", KMX_EVENTS_INI), "2.0");
    EXPECT_EQ(key("version:count", KMX_EVENTS_INI), "1");
    EXPECT_TRUE(stamped(key("version:seq_1", KMX_EVENTS_INI), "\tunknow\t1.0\t2.0"));
    sh.reset();
}

TEST(IniEvents, UnlockAndNamedEvents) {
    unlink(KMX_EVENTS_INI);
    EXPECT_TRUE(kmx_unlock_record());
    EXPECT_TRUE(kmx_unlock_record());
    EXPECT_EQ(key("lock:count", KMX_EVENTS_INI), "2");
    EXPECT_EQ(key("lock:now", KMX_EVENTS_INI), "0");
    EXPECT_TRUE(stamped(key("lock:seq_2", KMX_EVENTS_INI), "\tgui\t1\t0"));

    EXPECT_TRUE(kmx_write_events_record_to_ini(1, "pool_change_of_a_long_name", "a", "b"));
    EXPECT_EQ(key("pool_change_of_a_long_name:seq_1", KMX_EVENTS_INI).substr(19), "\tweb\ta\tb");
    EXPECT_EQ(key("pool_change_of_a_long_name:now", KMX_EVENTS_INI), "b");
}

TEST(IniStatus, FreeKeyGoesToTheCurrentRun) {
    put(KMX_STATUS_INI, "[now]\ncount=4\n");
    EXPECT_TRUE(kmx_write_miners_status_to_ini("foo", "bar"));
    EXPECT_EQ(key("times_4:foo", KMX_STATUS_INI), "bar");
    struct timeval tv = {86400 * 365, 0};
    EXPECT_TRUE(kmx_write_starttime_to_ini(&tv, 123456, KMX_STATUS_INI));
    EXPECT_TRUE(stamped(key("times_123456:start_t", KMX_STATUS_INI), ""));
}

}  // namespace
