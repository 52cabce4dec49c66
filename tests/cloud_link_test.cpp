#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>

#include "minerCloud/kmx_cloud.h"
#include "sim/mgmt_frame.h"
#include "support/fake_shell.h"
#include "support/log_capture.h"

namespace {

const std::string VEC1 = std::string("\x55\xAA\x00\x00\x00\x00\x00\x00\x00\x11\x00\x00\x7B\x7D\x07\xAA\x55", 17);
const std::string VEC2_PAYLOAD =
    R"({"plantId":1,"ip":"127.0.0.1","mac":"02:00:00:00:00:01","src_id":2,"dst_id":1,"cmd":10})";

std::string lib_frame(const std::string &payload) {
    auto f = kmx_cloud_frame(payload, 0);
    return std::string(f.begin(), f.end());
}

TEST(CloudFrame, BothCodecsGiveTheFixedVectors) {
    EXPECT_EQ(lib_frame("{}"), VEC1);
    EXPECT_EQ(mgmt::encode("{}"), VEC1);
    ASSERT_EQ(VEC2_PAYLOAD.size(), 87u);
    for (const std::string &f : {lib_frame(VEC2_PAYLOAD), mgmt::encode(VEC2_PAYLOAD)}) {
        ASSERT_EQ(f.size(), 102u);
        EXPECT_EQ(f.substr(0, 12), std::string("\x55\xAA\x00\x00\x00\x00\x00\x00\x00\x66\x00\x00", 12));
        EXPECT_EQ(uint8_t(f[99]), 0xB8);
        EXPECT_EQ(f.substr(100), "\xAA\x55");
    }
    mgmt::Decoded d = mgmt::decode(lib_frame(VEC2_PAYLOAD));
    EXPECT_EQ(d.status, mgmt::Status::ok);
    EXPECT_EQ(d.payload, VEC2_PAYLOAD);
}

TEST(CloudFrame, TotalBytesAreSummed) {
    // A 285-byte payload gives total 300: 00 .. 01 2C count in the sum byte.
    std::string payload(285, ' ');
    std::string f = lib_frame(payload);
    ASSERT_EQ(f.size(), 300u);
    EXPECT_EQ(f.substr(2, 8), std::string("\x00\x00\x00\x00\x00\x00\x01\x2C", 8));
    unsigned sum = 0x55 + 0xAA + 0x01 + 0x2C + 285u * ' ' + 0xAA + 0x55;
    EXPECT_EQ(uint8_t(f[297]), uint8_t(sum));
}

TEST(CloudFrame, LargeReportIsFramedWhole) {
    std::string payload(20000, 'x');
    std::string f = lib_frame(payload);
    EXPECT_EQ(mgmt::decode(f).status, mgmt::Status::ok);
    EXPECT_EQ(mgmt::decode(f).payload, payload);
}

// ---- the reply loop ----------------------------------------------------------

const char *const IDENT = R"("plantId":7,"ip":"192.0.2.10","mac":"02:00:c0:00:02:0a","src_id":2,"dst_id":1)";

std::string reply(const std::string &fields) { return std::string("{") + IDENT + "," + fields + "}"; }
const std::string LOCK = reply(R"("cmd":5)");

class ReplyLoop : public testing::Test {
protected:
    void SetUp() override {
        fake_shell().reset();
        fake_shell().answer("flagutils", "");
        fake_shell().answer("systemctl", "");
        log_capture_clear();
        memset(&cfg, 0, sizeof cfg);
        cfg.plantId = 7;
    }
    // Feeds the bytes to do_server and returns the shell commands it ran.
    std::vector<std::string> feed(const std::string &bytes) {
        int sv[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        EXPECT_EQ(write(sv[1], bytes.data(), bytes.size()), ssize_t(bytes.size()));
        shutdown(sv[1], SHUT_WR);
        do_server(sv[0], &cfg);
        close(sv[0]);
        close(sv[1]);
        return fake_shell().commands();
    }
    static bool locked(const std::vector<std::string> &cmds) {
        return std::find(cmds.begin(), cmds.end(), "flagutils set") != cmds.end();
    }
    dtu_config cfg;
};

TEST_F(ReplyLoop, ValidRepliesBackToBackAreAllCarriedOut) {
    auto cmds = feed(mgmt::encode(reply(R"("cmd":6)")) + mgmt::encode(LOCK));
    std::vector<std::string> want = {"flagutils clear", "systemctl restart cgminer\n", "flagutils set",
                                     "systemctl restart cgminer\n"};
    EXPECT_EQ(cmds, want);
    EXPECT_TRUE(log_contains("the cmd is gUnlockMiner from 2 !"));
}

TEST_F(ReplyLoop, EachFailedCheckEndsTheLoopBeforeAnyCommand) {
    const std::string cases[] = {
        R"({"ip":"192.0.2.10","mac":"02:00:c0:00:02:0a","src_id":2,"dst_id":1,"cmd":5})",
        R"({"plantId":8,"ip":"192.0.2.10","mac":"02:00:c0:00:02:0a","src_id":2,"dst_id":1,"cmd":5})",
        R"({"plantId":"7","ip":"192.0.2.10","mac":"02:00:c0:00:02:0a","src_id":2,"dst_id":1,"cmd":5})",
        R"({"plantId":7,"mac":"02:00:c0:00:02:0a","src_id":2,"dst_id":1,"cmd":5})",
        R"({"plantId":7,"ip":"192.0.2.11","mac":"02:00:c0:00:02:0a","src_id":2,"dst_id":1,"cmd":5})",
        R"({"plantId":7,"ip":17,"mac":"02:00:c0:00:02:0a","src_id":2,"dst_id":1,"cmd":5})",
        R"({"plantId":7,"ip":"192.0.2.10","src_id":2,"dst_id":1,"cmd":5})",
        R"({"plantId":7,"ip":"192.0.2.10","mac":"02:00:C0:00:02:0A","src_id":2,"dst_id":1,"cmd":5})",
        R"({"plantId":7,"ip":"192.0.2.10","mac":null,"src_id":2,"dst_id":1,"cmd":5})",
        R"({"plantId":7,"ip":"192.0.2.10","mac":"02:00:c0:00:02:0a","dst_id":1,"cmd":5})",
        R"({"plantId":7,"ip":"192.0.2.10","mac":"02:00:c0:00:02:0a","src_id":2,"cmd":5})",
        R"({"plantId":7,"ip":"192.0.2.10","mac":"02:00:c0:00:02:0a","src_id":2,"dst_id":0,"cmd":5})",
        R"({"plantId":7,"ip":"192.0.2.10","mac":"02:00:c0:00:02:0a","src_id":2,"dst_id":1})",
        R"({"plantId":7,"ip":"192.0.2.10","mac":"02:00:c0:00:02:0a","src_id":2,"dst_id":1,"cmd":"5"})",
        "not json",
    };
    for (const std::string &bad : cases) {
        SetUp();
        EXPECT_FALSE(locked(feed(mgmt::encode(bad) + mgmt::encode(LOCK)))) << bad;
    }
}

// A number must be that integer and a text must match whole: near misses
// are refused with their reason, and what only looks like one passes.
TEST_F(ReplyLoop, IdentityNearMissesAreRefused) {
    const std::string id = R"("ip":"192.0.2.10","mac":"02:00:c0:00:02:0a")";
    const std::pair<std::string, std::string> cases[] = {
        {R"({"plantId":7.9,)" + id + R"(,"src_id":2,"dst_id":1,"cmd":5})",
         "plantId:7.9000000000000004 is not an integer !"},
        {R"({"plantId":4294967303,)" + id + R"(,"src_id":2,"dst_id":1,"cmd":5})",
         "plantId:4294967303 is not an integer !"},
        {R"({"plantId":7,)" + id + R"(,"src_id":2.5,"dst_id":1,"cmd":5})", "src_id:2.5 is not an integer !"},
        {R"({"plantId":7,)" + id + R"(,"src_id":2,"dst_id":1.5,"cmd":5})", "dst_id:1.5 is not an integer !"},
        {R"({"plantId":7,)" + id + R"(,"src_id":2,"dst_id":1,"cmd":5.5})", "cmd:5.5 is not an integer !"},
        {R"({"plantId":7,"ip":"192.0.2.10\u0000x","mac":"02:00:c0:00:02:0a","src_id":2,"dst_id":1,"cmd":5})",
         "reply holds a text with a NUL character !"},
        {R"({"plantId":7,"ip":"192.0.2.10","mac":"02:00:c0:00:02:0a\u0000","src_id":2,"dst_id":1,"cmd":5})",
         "reply holds a text with a NUL character !"},
    };
    for (const auto &[bad, why] : cases) {
        SetUp();
        EXPECT_FALSE(locked(feed(mgmt::encode(bad) + mgmt::encode(LOCK)))) << bad;
        EXPECT_TRUE(log_has_part(why)) << bad;
        EXPECT_FALSE(log_has_part("is null!")) << bad;
    }
    // 7.0 is 7; an escaped backslash before "u0000" is no NUL.
    for (const std::string &good : {R"({"plantId":7.0,)" + id + R"(,"src_id":2,"dst_id":1e0,"cmd":5})",
                                    reply(R"("cmd":5,"note":"\\u0000")")}) {
        SetUp();
        EXPECT_TRUE(locked(feed(mgmt::encode(good)))) << good;
    }
}

// The address and MAC compared are 29 characters at most: a longer text is
// no identity. A board that cannot tell its own (no eth0, no MAC file)
// matches no reply, one naming an empty address or MAC included.
TEST_F(ReplyLoop, IdentityTextsAreComparedWhole) {
    const std::string rest = R"(,"mac":"02:00:c0:00:02:0a","src_id":2,"dst_id":1,"cmd":5})";
    for (const auto &[ip, why] : {std::pair<std::string, const char *>{std::string(19, '0') + "192.0.2.10", "ip not match"},
                                  {std::string(20, '0') + "192.0.2.10", "ip is null!"}}) {
        SetUp();
        EXPECT_FALSE(locked(feed(mgmt::encode(R"({"plantId":7,"ip":")" + ip + '"' + rest)))) << ip;
        EXPECT_TRUE(log_has_part(why)) << ip;
    }
    // In a child: a network without eth0, or a MAC file hidden.
    auto refused_alone = [this](int ns, const std::string &bad, const char *why) {
        const pid_t pid = fork();
        if (pid == 0) {
            if (unshare(ns) != 0) _exit(2);
            if (ns == CLONE_NEWNS && (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                                      mount("tmpfs", "/sys/class/net/eth0", "tmpfs", 0, nullptr) != 0))
                _exit(2);
            SetUp();
            _exit(!locked(feed(mgmt::encode(bad))) && log_has_part(why) ? 0 : 1);
        }
        int st = -1;
        waitpid(pid, &st, 0);
        return st;
    };
    EXPECT_EQ(0, refused_alone(CLONE_NEWNET, R"({"plantId":7,"ip":"")" + rest, "ip not match ! local:;remote:"));
    EXPECT_EQ(0, refused_alone(CLONE_NEWNS, R"({"plantId":7,"ip":"192.0.2.10","mac":"","src_id":2,"dst_id":1,"cmd":5})",
                               "mac not match ! local:;remote:"));
}

TEST_F(ReplyLoop, FramingFaultsAreRefused) {
    std::string badsum = mgmt::encode(LOCK);
    badsum[badsum.size() - 3]++;
    std::string badhead = mgmt::encode(LOCK);
    badhead[1] = 0x00;
    auto total = [](uint64_t t) {
        std::string f = "\x55\xAA";
        for (int s = 56; s >= 0; s -= 8) f += char((t >> s) & 0xFF);
        return f + std::string(40, '\0');
    };
    std::string truncated = mgmt::encode(LOCK);
    truncated.pop_back();
    for (const std::string &bad : {badsum, badhead, total(4096), total(1ull << 32 | 20), total(14), total(3),
                                   total(0)}) {
        SetUp();
        EXPECT_FALSE(locked(feed(bad + mgmt::encode(LOCK)))) << testing::PrintToString(bad);
    }
    SetUp();
    EXPECT_FALSE(locked(feed(truncated)));
}

TEST_F(ReplyLoop, LargestAcceptedTotalAndAWrongTailWithARightSumPass) {
    std::string big = reply(R"("cmd":5,"pad":")" + std::string(4095 - 15 - LOCK.size() - 9, 'p') + "\"");
    ASSERT_EQ(mgmt::encode(big).size(), 4095u);
    EXPECT_TRUE(locked(feed(mgmt::encode(big))));
    SetUp();
    std::string tail = mgmt::encode(LOCK);
    tail[tail.size() - 2]++;  // AB 54: another tail, the same sum
    tail[tail.size() - 1]--;
    EXPECT_TRUE(locked(feed(tail)));
}

TEST_F(ReplyLoop, UnknownCommandsAreIgnoredAndTheNextReplyRuns) {
    for (const char *c : {"0", "7", "8", "12", "13", "14", "49", "-1", "1000000"}) {
        SetUp();
        EXPECT_TRUE(locked(feed(mgmt::encode(reply(std::string("\"cmd\":") + c)) + mgmt::encode(LOCK)))) << c;
    }
    EXPECT_TRUE(log_contains("the cmd is unknown from 2 !"));
}

// ---- commands -------------------------------------------------------------------

void put(const char *path, const std::string &text) { std::ofstream(path, std::ios::trunc) << text; }
std::string get(const char *path) {
    std::string s;
    kos::read_file(path, s);
    return s;
}

TEST_F(ReplyLoop, SetPoolsWritesThreePoolsKeepsOtherKeysAndRunsInOrder) {
    fake_shell().answer("fw_setenv", "");
    put("/config/cgminer.conf", R"({"pools":[{"url":"old","user":"o","pass":"o"}],"api-listen":true,"N5efficient":true})");
    auto cmds = feed(mgmt::encode(reply(
        R"("cmd":1,"data":[{"url":"u1","user":"a.b","pass":"`reboot`;x"},{"url":"","user":"x","pass":"y"},{"url":"u3","user":null,"pass":"p3"},{"url":"u4","user":"d","pass":"p4"}])")));
    EXPECT_EQ(get("/config/cgminer.conf"),
              R"({"api-listen":true,"N5efficient":true,"pools":[{"url":"u1","user":"a.b","pass":"`reboot`;x"},{"url":"u3","user":"","pass":"p3"}]})");
    std::vector<std::string> want = {"fw_setenv  iflag  0\n", "flagutils set\n", "systemctl restart cgminer\n"};
    EXPECT_EQ(cmds, want);
}

TEST_F(ReplyLoop, SetPoolsThatDoesNotFitLeavesTheFileUnchanged) {
    fake_shell().answer("fw_setenv", "");
    const std::string before = R"({"pools":[],"keep":")" + std::string(3500, 'k') + "\"}";
    put("/config/cgminer.conf", before);
    std::string long_url(1500, 'u');
    feed(mgmt::encode(reply(R"("cmd":1,"data":[{"url":")" + long_url.substr(0, 500) + R"(","user":"a","pass":"b"},{"url":")" +
                            long_url.substr(0, 500) + R"(","user":"a","pass":"b"}])")));
    EXPECT_EQ(get("/config/cgminer.conf"), before);
}

// A "data" that is not a list of pools is a malformed command: the pools
// stay, nothing is locked or restarted, and the log says why.
TEST_F(ReplyLoop, SetPoolsWithoutAPoolListLeavesTheFileUnchanged) {
    fake_shell().answer("fw_setenv", "");
    const std::string before = R"({"pools":[{"url":"old","user":"o","pass":"o"}],"api-listen":true})";
    for (const char *data : {R"({"url":"u1","user":"a","pass":"b"})", R"("u1")", "5", "null", "true"}) {
        SetUp();
        fake_shell().answer("fw_setenv", "");
        put("/config/cgminer.conf", before);
        auto cmds = feed(mgmt::encode(reply(std::string(R"("cmd":1,"data":)") + data)));
        EXPECT_EQ(get("/config/cgminer.conf"), before) << data;
        EXPECT_EQ(cmds, std::vector<std::string>({"fw_setenv  iflag  0\n"})) << data;
        EXPECT_TRUE(log_has_part("cmd_set_pools")) << data;
        EXPECT_TRUE(log_has_part("data is not an array, pools left as they are!")) << data;
    }
    // An empty list is a list: no pools.
    SetUp();
    fake_shell().answer("fw_setenv", "");
    put("/config/cgminer.conf", before);
    feed(mgmt::encode(reply(R"("cmd":1,"data":[])")));
    EXPECT_EQ(get("/config/cgminer.conf"), R"({"api-listen":true,"pools":[]})");
}

// Items that name no pool are skipped; a list with none that does is
// refused whole: the pools stay, the miner is neither locked nor restarted.
TEST_F(ReplyLoop, SetPoolsSkipsItemsWithoutAPoolAndRefusesAListOfNone) {
    const std::string before = R"({"pools":[{"url":"old","user":"o","pass":"o"}],"api-listen":true})";
    for (const char *data : {"[1,2,3]", R"([{"user":"u"}])", R"([[{"url":"x"}]])",
                             R"([1,2,3,{"url":"u4"}])", R"([{"url":"","user":"u"},null,{"url":null}])"}) {
        SetUp();
        fake_shell().answer("fw_setenv", "");
        put("/config/cgminer.conf", before);
        auto cmds = feed(mgmt::encode(reply(std::string(R"("cmd":1,"data":)") + data)) + mgmt::encode(LOCK));
        EXPECT_EQ(get("/config/cgminer.conf"), before) << data;
        // The loop goes on with the next reply.
        const std::vector<std::string> want = {"fw_setenv  iflag  0\n", "flagutils set", "systemctl restart cgminer\n"};
        EXPECT_EQ(cmds, want) << data;
        EXPECT_TRUE(log_has_part("cmd_set_pools")) << data;
        EXPECT_TRUE(log_has_part("no usable pool in data, pools left as they are!")) << data;
    }
    // The last list's reasons.
    EXPECT_TRUE(log_has_part("pool item 0 has no url text, skipped!"));
    EXPECT_TRUE(log_has_part("pool item 1 is not an object, skipped!"));
    EXPECT_TRUE(log_has_part("pool item 2 has no url text, skipped!"));
    SetUp();
    fake_shell().answer("fw_setenv", "");
    put("/config/cgminer.conf", before);
    auto cmds = feed(mgmt::encode(reply(R"("cmd":1,"data":[5,{"url":"u2","user":"a","pass":"b"},{"user":"x"}])")));
    EXPECT_EQ(get("/config/cgminer.conf"), R"({"api-listen":true,"pools":[{"url":"u2","user":"a","pass":"b"}]})");
    const std::vector<std::string> want = {"fw_setenv  iflag  0\n", "flagutils set\n", "systemctl restart cgminer\n"};
    EXPECT_EQ(cmds, want);
    EXPECT_TRUE(log_has_part("pool item 0 is not an object, skipped!"));
    EXPECT_TRUE(log_has_part("pool item 2 has no url text, skipped!"));
    EXPECT_FALSE(log_has_part("no usable pool"));
}

// Every reader of cgminer.conf fails on a byte that is not UTF-8: such a
// pool text refuses the command, as one that does not fit its 511 bytes
// does; one that just fits is stored whole.
TEST_F(ReplyLoop, SetPoolsRefusesTextsThatAreNotUtf8) {
    const std::string before = R"({"pools":[{"url":"old","user":"o","pass":"o"}]})";
    const std::pair<std::string, std::string> cases[] = {
        {"\xff", "url"},         {"a\xc3", "user"},          {"\xed\xa0\x80", "pass"},
        {"\xc0\xaf", "url"},     {"\xf4\x90\x80\x80", "user"}, {"\xe2\x82", "pass"},
        {"\x80", "url"},         {"\xe0\x82\x80", "user"},      {"\xf0\x8f\xbf\xbf", "pass"},
    };
    for (const auto &[text, key] : cases) {
        SetUp();
        fake_shell().answer("fw_setenv", "");
        put("/config/cgminer.conf", before);
        std::string item = R"({"url":"u1","user":"a","pass":"b"})";
        item.replace(item.find("\"" + key + "\":\"") + key.size() + 4, 0, text);
        auto cmds = feed(mgmt::encode(reply(R"("cmd":1,"data":[)" + item + "]")));
        EXPECT_EQ(get("/config/cgminer.conf"), before) << key;
        EXPECT_EQ(cmds, std::vector<std::string>({"fw_setenv  iflag  0\n"})) << key;
        EXPECT_TRUE(log_has_part("pool item 0: " + key + " is not UTF-8 text, pools left as they are!")) << key;
    }
    SetUp();
    fake_shell().answer("fw_setenv", "");
    put("/config/cgminer.conf", before);
    const std::string url = "\xe2\x82\xac\xf0\x9d\x84\x9e";
    const std::string user = std::string(509, 'a') + "\xc3\xa9";  // 511 bytes
    feed(mgmt::encode(reply("\"cmd\":1,\"data\":[{\"url\":\"" + url + "\",\"user\":\"" + user + "a" +
                            "\",\"pass\":\"\\u00e9\"}]")));
    EXPECT_EQ(get("/config/cgminer.conf"), before);
    EXPECT_TRUE(log_has_part("pool item 0: user is longer than 511 bytes, pools left as they are!"));
    feed(mgmt::encode(reply("\"cmd\":1,\"data\":[{\"url\":\"" + url + "\",\"user\":\"" + user +
                            "\",\"pass\":\"\\u00e9\"}]")));
    EXPECT_EQ(get("/config/cgminer.conf"),
              "{\"pools\":[{\"url\":\"" + url + "\",\"user\":\"" + user + "\",\"pass\":\"\xc3\xa9\"}]}");
}

TEST_F(ReplyLoop, RunModeLeavesExactlyOneModeKey) {
    put("/config/cgminer.conf", R"({"N5performance":false,"N5efficient":true,"N5adjust":"0","x":1})");
    feed(mgmt::encode(reply(R"("cmd":9,"data":{"N5performance":"x","N5efficient":"N5factory","N5adjust":"1"})")));
    EXPECT_EQ(get("/config/cgminer.conf"), R"({"x":1,"N5adjust":"1","N5factory":true})");
    SetUp();
    feed(mgmt::encode(reply(R"("cmd":9,"data":{"N5efficient":"rm -rf /"})")));
    EXPECT_EQ(get("/config/cgminer.conf"), R"({"x":1,"N5adjust":""})");
    // A mode text is read to its 31 bytes, whole characters only: the log
    // line that names it stays UTF-8.
    feed(mgmt::encode(reply("\"cmd\":9,\"data\":{\"N5factory\":\"" + std::string(30, 'm') + "\xc3\xa9\"}")));
    EXPECT_TRUE(log_has_part("not surport run_mode:" + std::string(30, 'm') + "!"));
    SetUp();
    put("/config/cgminer.conf", "{broken");
    auto cmds = feed(mgmt::encode(reply(R"("cmd":9,"data":{"N5efficient":"N5efficient"})")));
    EXPECT_EQ(get("/config/cgminer.conf"), "{broken");
    // An adjust text that is not UTF-8 would make the file unreadable to
    // every reader: the mode stays, the miner is not restarted.
    SetUp();
    put("/config/cgminer.conf", R"({"x":1,"N5adjust":"1"})");
    cmds = feed(mgmt::encode(reply("\"cmd\":9,\"data\":{\"N5factory\":1,\"N5adjust\":\"2\xc3\"}")));
    EXPECT_EQ(get("/config/cgminer.conf"), R"({"x":1,"N5adjust":"1"})");
    EXPECT_TRUE(cmds.empty());
    EXPECT_TRUE(log_has_part("N5adjust is not UTF-8 text, run mode left as it is!"));
}

// The reset removes every /config entry but the lock and the encrypted
// pools, whatever characters the names hold, before it reboots.
TEST_F(ReplyLoop, FactoryResetRemovesAwkwardNames) {
    fake_shell().answer("sync;", "");
    ASSERT_EQ(0, system("mkdir -p /config/network /config/etc/ssh"));
    put("/config/network/25-wired.network", "Address=1.2.3.4\n");
    put("/config/etc/ssh/key", "k");
    const std::vector<std::string> gone = {"it's", "a \"b\"", "two words", "new\nline", "-rf", "cgminer.conf",
                                           "dtu.conf"};
    for (const std::string &n : gone) put(("/config/" + n).c_str(), "x");
    const std::vector<std::string> kept = {"author.au", "cg.conf", "cg.conf.bak", "authorXau", ".hidden"};
    for (const std::string &n : kept) put(("/config/" + n).c_str(), "x");
    put("/etc/hwrevision", "soc n7.x\n");
    EXPECT_TRUE(kmx_reset_factory_conf());
    EXPECT_NE(access("/config/network", F_OK), 0);
    EXPECT_NE(access("/config/etc", F_OK), 0);
    for (const std::string &n : gone) EXPECT_NE(access(("/config/" + n).c_str(), F_OK), 0) << n;
    for (const std::string &n : kept) EXPECT_EQ(access(("/config/" + n).c_str(), F_OK), 0) << n;
    // The reboot comes after the removal.
    EXPECT_EQ(fake_shell().commands(), std::vector<std::string>{"sync;sleep 1; reboot -f"});
    ASSERT_EQ(0, system("mkdir -p /config/network"));
}

TEST_F(ReplyLoop, RebootResetAndDhcpTexts) {
    fake_shell().answer("sync;", "");
    put("/etc/hwrevision", "B37 rk9h.xx\n");
    EXPECT_TRUE(kmx_reboot_miner());
    EXPECT_TRUE(kmx_reset_factory_conf());
    put("/etc/hwrevision", "soc n7.x\n");
    EXPECT_TRUE(kmx_reboot_miner());
    EXPECT_TRUE(kmx_reset_factory_conf());
    std::vector<std::string> want = {"sync;sleep 1;reboot", "sync;reboot", "sync;sleep 1;reboot -f",
                                     "sync;sleep 1; reboot -f"};
    EXPECT_EQ(fake_shell().commands(), want);

    SetUp();
    rmdir("/config/network");
    EXPECT_EQ(kmx_set_dhcp(), 0);
    EXPECT_TRUE(fake_shell().commands().empty());
    mkdir("/config/network", 0755);
    kmx_set_dhcp();
    EXPECT_EQ(get("/config/network/25-wired.network"),
              "[Match]\nName=eth0\n[Network]\nDHCP=yes\n[DHCP]\nClientIdentifier=mac\n");
    EXPECT_EQ(fake_shell().commands(), std::vector<std::string>{"systemctl restart systemd-networkd\n"});
}

// ---- failover -----------------------------------------------------------------------

TEST(CloudFailover, TenthFailedConnectSwitchesAndASwitchBackFollows) {
    dtu_config cfg;
    memset(&cfg, 0, sizeof cfg);
    strcpy(cfg.ip, "127.0.0.1");
    cfg.port = 1;
    strcpy(cfg.nucIp, "127.0.0.1");  // same address, other port: still switches back
    cfg.nucPort = 2;
    dtu_server_config srv = {"127.0.0.1", 1};
    cfg.usedServer = &srv;
    kmx_cloud_reset_fail_count();
    const unsigned char text[] = "{}";
    for (int i = 0; i < 9; i++) EXPECT_FALSE(kmx_send_cloud(text, &cfg));
    EXPECT_EQ(srv.usedPort, 1);
    EXPECT_FALSE(kmx_send_cloud(text, &cfg));
    EXPECT_EQ(srv.usedPort, 2);
    EXPECT_EQ(kmx_cloud_fail_count(), 0);
    for (int i = 0; i < 10; i++) EXPECT_FALSE(kmx_send_cloud(text, &cfg));
    EXPECT_EQ(srv.usedPort, 1);

    // No Nuc: no switch, and every later failure tries again.
    cfg.nucIp[0] = '\0';
    kmx_cloud_reset_fail_count();
    for (int i = 0; i < 12; i++) EXPECT_FALSE(kmx_send_cloud(text, &cfg));
    EXPECT_EQ(srv.usedPort, 1);
    EXPECT_EQ(kmx_cloud_fail_count(), 12);
    EXPECT_FALSE(kmx_send_cloud(nullptr, &cfg));
    cfg.usedServer = nullptr;
    EXPECT_FALSE(kmx_send_cloud(text, &cfg));
}

}  // namespace
