// End to end: the report driver in an emulated machine talks to the
// stand-in management server, whose scripted replies must have their
// visible effects (files, stub calls, LED register) and no others.
#include <gtest/gtest.h>
#include <jansson.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/lock_wait.h"
#include "support/machine_runner.h"
#include "support/text_search.h"

namespace {


std::string desc() {
    std::ifstream in(std::string(KMX_SOURCE_DIR) + "/tests/machines/fpga_three_boards.json");
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// The line of the library's server commands where `fn` takes the settings'
// lock.
std::string lock_line(const std::string &fn) {
    std::ifstream in(std::string(KMX_SOURCE_DIR) + "/src/minerCloud/kmx_cloud_cmd.cpp");
    bool inside = false;
    int n = 0;
    for (std::string l; std::getline(in, l);) {
        n++;
        if (has(l, " " + fn + "(")) inside = true;
        if (inside && has(l, "kmisc::ConfLock lock(")) return std::to_string(n);
    }
    return "(no lock in " + fn + ")";
}

const std::string ID = R"("plantId":7,"ip":"192.0.2.10","mac":"02:00:c0:00:02:0a","src_id":2,"dst_id":1)";

MachineRun run(const std::string &script) {
    const std::string bin = build_path("");
    std::string setup =
        "set -u\nB=" + bin +
        "\nmkdir -p /config/network\n"
        "echo 'B37 rk9h.abc' > /etc/hwrevision\n"
        "printf '%s' '{\"pools\":[{\"url\":\"stratum+tcp://a:1\",\"user\":\"u.w\",\"pass\":\"x\"}],\"api-listen\":true}' "
        "> /config/cgminer.conf\n"
        "serve() { rm -f /tmp/ready; $B/kmx-sim-mgmt --ready /tmp/ready \"$@\" & "
        "while [ ! -f /tmp/ready ]; do sleep 0.02; done; }\n"
        "led() { $B/kmx-sim peek 0x43C00024 > /tmp/led.$1; }\n";
    return run_machine(desc(), {"bash", "-c", setup + script});
}

std::vector<json_t *> reports(const MachineRun &r) {
    std::vector<json_t *> out;
    std::istringstream in(r.file("/run/sim/mgmt_reports.jsonl"));
    std::string line;
    while (std::getline(in, line)) {
        json_error_t e;
        out.push_back(json_loads(line.c_str(), 0, &e));
    }
    return out;
}

std::string script_file(const std::vector<std::string> &lines) {
    std::string s = "cat > /tmp/script <<'EOS'\n";
    for (const std::string &l : lines) s += l + "\n";
    return s + "EOS\n";
}

TEST(CloudE2E, ReportReachesTheServerAndEachCommandHasItsEffect) {
    std::string conf = R"({"enabled":"true","plantId":"7","dtu_ip":"127.0.0.1","dtu_port":"20001","nuc_mac":"aa:bb"})";
    MachineRun r = run(
        "printf '%s' '" + conf + "' > /etc/dtu.conf.def\n" +
        script_file({
            "{" + ID + R"J(,"cmd":1,"data":[{"url":"stratum+tcp://new:3333","user":"acc.w1","pass":"p';reboot;'"},{"url":"$(touch /tmp/pwned)","user":"`touch /tmp/pwned`","pass":"x"}]})J",
            "{" + ID + R"(,"cmd":10})",
            "{" + ID + R"(,"cmd":5})",
            R"({"plantId":7,"ip":"192.0.2.10","mac":"02:00:c0:00:02:0b","src_id":2,"dst_id":1,"cmd":6})",
            "{" + ID + R"(,"cmd":2})",
            "---",
            "badsum {" + ID + R"(,"cmd":6})",
            "---",
            "{" + ID + R"(,"cmd":9,"data":{"N5adjust":"1","N5factory":"N5\u001b[2K\r\nfake: x"}})",
            "{" + ID + R"(,"cmd":11})",
            "{" + ID + R"(,"cmd":6})",
            "{" + ID + R"(,"cmd":2})",
        }) +
        "serve --port 20001 --script /tmp/script --connections 3\n"
        "$B/kmx-cloud-driver --led; led 1; cp /run/sim/calls.log /tmp/calls.1\n"
        "$B/kmx-cloud-driver --led; cp /run/sim/calls.log /tmp/calls.2\n"
        "$B/kmx-cloud-driver --led; led 3\n"
        "wait; cp /config/cgminer.conf /tmp/cgminer.conf; cp /config/dtu.conf /tmp/dtu.conf\n");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "report 1: ok\nreport 1: ok\nreport 1: ok\n");

    auto reps = reports(r);
    ASSERT_EQ(reps.size(), 3u) << r.file("/run/sim/mgmt_reports.jsonl");
    json_t *rep = reps[0];
    EXPECT_EQ(json_integer_value(json_object_get(rep, "cmd")), 7);
    EXPECT_EQ(json_integer_value(json_object_get(rep, "plantId")), 7);
    EXPECT_STREQ(json_string_value(json_object_get(rep, "ip")), "192.0.2.10");
    EXPECT_STREQ(json_string_value(json_object_get(rep, "mac")), "02:00:c0:00:02:0a");
    EXPECT_STREQ(json_string_value(json_object_get(rep, "nucmac")), "aa:bb");
    EXPECT_TRUE(json_is_null(json_object_get(rep, "err_msg")));
    json_t *data = json_array_get(json_object_get(rep, "data"), 0);
    ASSERT_TRUE(json_is_object(data));
    EXPECT_STREQ(json_string_value(json_object_get(data, "type")), "rk9h");
    EXPECT_STREQ(json_string_value(json_object_get(data, "hwver")), "B37");
    EXPECT_STREQ(json_string_value(json_object_get(data, "duty")), "55");
    EXPECT_STREQ(json_string_value(json_object_get(data, "dna")), "0x0123456789abcdef");
    EXPECT_EQ(json_integer_value(json_object_get(data, "cpuUsage")), 4);
    EXPECT_EQ(json_integer_value(json_object_get(data, "memUsage")), 39);
    EXPECT_EQ(json_integer_value(json_object_get(data, "runtime")), 3600);
    EXPECT_EQ(json_array_size(json_object_get(data, "chains")), 2u);
    EXPECT_EQ(json_integer_value(json_object_get(json_array_get(json_object_get(data, "chains"), 1), "id")), 2);
    EXPECT_EQ(json_array_size(json_object_get(data, "pools_ip")), 3u);
    EXPECT_TRUE(json_is_false(json_object_get(data, "lock")));
    EXPECT_TRUE(json_is_true(json_object_get(reps[1] ? json_array_get(json_object_get(reps[1], "data"), 0) : nullptr,
                                             "lock")));
    for (json_t *j : reps) json_decref(j);

    // Connection 1: pools, LED lit, lock; the wrong-MAC unlock and all after it refused.
    // Connection 3 then asks for a run mode that does not exist: the adjust
    // value alone is written, and the mode is logged escaped.
    EXPECT_EQ(r.file("/tmp/cgminer.conf"),
              R"J({"api-listen":true,"pools":[{"url":"stratum+tcp://new:3333","user":"acc.w1","pass":"p';reboot;'"},{"url":"$(touch /tmp/pwned)","user":"`touch /tmp/pwned`","pass":"x"}],"N5adjust":"1"})J");
    EXPECT_TRUE(has(r.syslog(), "  not surport run_mode:N5\\x1b[2K\\x0d\\x0afake: x!\n")) << r.syslog();
    EXPECT_EQ(r.file("/tmp/pwned"), "");
    const std::string calls1 = r.file("/tmp/calls.1");
    EXPECT_NE(calls1.find("fw_setenv iflag 0\nflagutils set\nsystemctl restart cgminer\n"), std::string::npos) << calls1;
    EXPECT_NE(calls1.find("flagutils set\nsystemctl restart cgminer\n", calls1.find("cgminer\n") + 8), std::string::npos);
    EXPECT_EQ(calls1.find("flagutils clear"), std::string::npos);
    EXPECT_EQ(calls1.find("reboot"), std::string::npos);
    // The red LED is bit 10 of the hub's LED word, active low: clear while lit.
    EXPECT_EQ(std::stoul(r.file("/tmp/led.1"), nullptr, 0) & 0x400u, 0u);  // command 10: lit
    // Connection 2: a bad sum byte: nothing.
    EXPECT_EQ(r.file("/tmp/calls.2").find("flagutils clear"), std::string::npos);
    // Connection 3: LED dark, unlock, reboot with the B37 text.
    const std::string calls = r.file("/run/sim/calls.log");
    EXPECT_NE(calls.find("systemctl restart cgminer\nflagutils clear\nsystemctl restart cgminer\nsync\nreboot\n"),
              std::string::npos)
        << calls;
    EXPECT_EQ(std::stoul(r.file("/tmp/led.3"), nullptr, 0) & 0x400u, 0x400u);  // command 11: dark
    EXPECT_EQ(r.file("/run/sim/flag"), "0\n");
    EXPECT_EQ(r.file("/tmp/dtu.conf"), conf);
}

// Garbled commands from the server: pool lists that name no pool, hold a
// text that is not UTF-8, does not fit its field or is no text, run modes
// whose adjust value is no text or too long, a command code sent as a
// text, identities that only nearly match, and a plant id in dtu.conf that
// only begins with a number; and commands whose change cannot reach the
// file (too long for it, or its lock refused). The pools, the lock and the
// miner stay as they were; each refusal is logged with its reason.
TEST(CloudE2E, GarbledCommandsLeaveThePoolsAndTheMinerAlone) {
    const std::string conf = R"({"enabled":"true","plantId":"7","dtu_ip":"127.0.0.1","dtu_port":"20001"})";
    const std::string near = R"("ip":"192.0.2.10","mac":"02:00:c0:00:02:0a","src_id":2)";
    const std::string t400(400, 'a'), t512(512, 'a');
    // Settings with a long key of their own, and three pools whose texts
    // each fit and would fit a frame, yet not the file beside that key.
    const std::string settings =
        R"({"pools":[{"url":"stratum+tcp://a:1","user":"u.w","pass":"x"}],"api-listen":true,"note":")" +
        std::string(900, 'n') + R"("})";
    std::string big = "[";
    for (int i = 0; i < 3; i++)
        big += std::string(i ? "," : "") + R"({"url":")" + t400 + R"(","user":")" + t400 + R"(","pass":")" + t400 +
               R"("})";
    big += "]";
    MachineRun r = run(
        "printf '%s' '" + settings + "' > /config/cgminer.conf\n"
        "printf '%s' '" + conf + "' > /config/dtu.conf\n" + script_file({
            "{" + ID + R"(,"cmd":1,"data":[1,2,3]})",
            "{" + ID + R"(,"cmd":1,"data":[{"user":"u"}]})",
            "{" + ID + R"(,"cmd":1,"data":[{"url":5}]})",
            "{" + ID + R"(,"cmd":1,"data":[{"url":")" + t512 + R"(","user":"u","pass":"p"}]})",
            "{" + ID + R"(,"cmd":1,"data":[{"url":"stratum+tcp://c:1","user":5,"pass":"p"}]})",
            "{" + ID + R"(,"cmd":1,"data":[{"url":"stratum+tcp://c:1","user":"u","pass":")" + t512 + R"("}]})",
            "{" + ID + R"(,"cmd":1,"data":)" + big + "}",
            "{" + ID + R"(,"cmd":9,"data":{"N5adjust":5,"N5factory":"N5factory"}})",
            "{" + ID + R"(,"cmd":9,"data":{"N5adjust":"123456789","N5factory":"N5factory"}})",
            "{" + ID + R"(,"cmd":1,"data":[[{"url":"stratum+tcp://x:1"}]]})",
            "{" + ID + R"(,"cmd":1,"data":[{"url":"stratum+tcp://b)" + "\xff" + R"(:1","user":"u","pass":"p"}]})",
            "{" + ID + R"(,"cmd":10})",
            "{" + ID + R"(,"cmd":"9","data":{"N5adjust":"1","N5factory":"N5factory"}})",
            "---",
            R"({"plantId":7.9,)" + near + R"(,"dst_id":1,"cmd":5})",
            "---",
            R"({"plantId":7,)" + near + R"(,"dst_id":1.5,"cmd":5})",
            "---",
            R"({"plantId":7,"ip":"192.0.2.10\u0000x","mac":"02:00:c0:00:02:0a","src_id":2,"dst_id":1,"cmd":5})",
            "---",
            R"({"plantId":7,"ip":"192.0.2.10\u001b[2K\r\nfake","mac":"02:00:c0:00:02:0a","src_id":2,"dst_id":1,"cmd":5})",
            "---",
            R"({"plantId":7,"ip":"192.0.2.10","mac":"02:00\\\r\nfake: x","src_id":2,"dst_id":1,"cmd":5})",
            "---",
            "{" + ID + R"(,"cmd":9,"data":{"N5adjust":"1","N5factory":"N5factory"}})",
            "{" + ID + R"(,"cmd":1,"data":[{"url":"stratum+tcp://c:1","user":"u","pass":"p"}]})",
            "---",
            "{" + ID + R"(,"cmd":5})",
        }) +
        "serve --port 20001 --script /tmp/script --connections 8\n"
        "$B/kmx-cloud-driver --led --reports 6; led 1\n"
        "rm -f /run/cgminer.conf.lock; mkdir /run/cgminer.conf.lock; $B/kmx-cloud-driver; rmdir /run/cgminer.conf.lock\n"
        "sed -i 's/\"plantId\":\"7\"/\"plantId\":\"7abc\"/' /config/dtu.conf\n"
        "$B/kmx-cloud-driver\nwait\ncp /config/cgminer.conf /tmp/cgminer.conf\n");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "report 1: ok\nreport 2: ok\nreport 3: ok\nreport 4: ok\nreport 5: ok\nreport 6: ok\nreport 1: ok\n"
                     "report 1: ok\n");
    EXPECT_EQ(r.file("/tmp/cgminer.conf"), settings);
    const std::string calls = r.file("/run/sim/calls.log");
    EXPECT_FALSE(has(calls, "flagutils set")) << calls;
    EXPECT_FALSE(has(calls, "systemctl restart")) << calls;
    EXPECT_TRUE(has(calls, "fw_setenv iflag 0\n")) << calls;
    // The loop went on after the refused pool lists: the LED is lit.
    EXPECT_EQ(std::stoul(r.file("/tmp/led.1"), nullptr, 0) & 0x400u, 0u);
    const std::string log = r.syslog();
    for (const char *why : {"pool item 0 is not an object, skipped!", "pool item 2 is not an object, skipped!",
                            "pool item 0 has no url text, skipped!", "no usable pool in data, pools left as they are!",
                            "pool item 0: url is not UTF-8 text, pools left as they are!",
                            "pool item 0: url is not a text, pools left as they are!",
                            "pool item 0: url is longer than 511 bytes, pools left as they are!",
                            "pool item 0: user is not a text, pools left as they are!",
                            "pool item 0: pass is longer than 511 bytes, pools left as they are!",
                            "N5adjust is not a text, run mode left as it is!",
                            "N5adjust is longer than 8 bytes, run mode left as it is!", "cmd is not a number !",
                            "plantId:7.9000000000000004 is not an integer !", "dst_id:1.5 is not an integer !",
                            "reply holds a text with a NUL character !", "plantId:[7abc] is not a whole number !",
                            "plantId not match ! local:0;remote:7",
                            // Identities that would forge a line, escaped.
                            "ip not match ! local:192.0.2.10;remote:192.0.2.10\\x1b[2K\\x0d\\x0afake\n",
                            "mac not match ! local:02:00:c0:00:02:0a;remote:02:00\\\\\\x0d\\x0afake: x\n"})
        EXPECT_TRUE(has(log, why)) << why << "\n" << log;
    // Changes that did not reach the file: the reason, then the command's
    // own line; nothing restarted (above).
    const std::pair<const char *, const char *> lines[] = {
        {"kmx_set_pools   ", "  the settings take 4632 bytes, more than 4095, /config/cgminer.conf left as it is !"},
        {"cmd_set_pools  ", "  pools not changed, the miner is not restarted!"},
        {"cmd_runmode  ", "  run mode not changed, the miner is not restarted!"},
    };
    for (const auto &[head, tail] : lines) EXPECT_TRUE(has_numbered(log, head, tail)) << head << tail << "\n" << log;
    EXPECT_EQ(count(log, "pools not changed, the miner is not restarted!"), 2) << log;
    // A refused lock names the line where its holder takes it.
    for (const char *fn : {"kmx_set_runmode", "kmx_set_pools"}) {
        const std::string line =
            std::string(fn) + "  " + lock_line(fn) + "  cannot lock /run/cgminer.conf.lock: Is a directory";
        EXPECT_TRUE(has(log, line)) << line << "\n" << log;
    }
}

// The factory reset clears /config under the settings' lock: another
// program's change in flight ends first and is cleared with the rest,
// instead of coming back after the reset. The management lock and the
// encrypted pools stay.
TEST(CloudE2E, FactoryResetWaitsForAWriterInFlight) {
    const std::string conf = R"({"enabled":"true","plantId":"7","dtu_ip":"127.0.0.1","dtu_port":"20001"})";
    MachineRun r = run("printf '%s' '" + conf + "' > /config/dtu.conf; : > /config/cg.conf\n" +
                       script_file({"{" + ID + R"(,"cmd":3})"}) +
                       "serve --port 20001 --script /tmp/script\n"
                       "touch /run/cgminer.conf.lock\n"
                       "(flock 9; touch /tmp/held; w=0; for i in $(seq 3000); do if " + kWaitsOnLock +
                       "; then w=1; break; fi; sleep 0.01; done; echo waiter=$w; "
                       "printf '{}' > /config/cgminer.conf) 9>/run/cgminer.conf.lock & H=$!\n"
                       "while [ ! -f /tmp/held ]; do sleep 0.01; done\n"
                       "$B/kmx-cloud-driver\nwait $H\nwait\nls /config\n");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "waiter=1\nreport 1: ok\ncg.conf\n") << r.out;
    EXPECT_TRUE(has(r.file("/run/sim/calls.log"), "sync\nreboot\n")) << r.file("/run/sim/calls.log");
}

TEST(CloudE2E, TenthFailedConnectSwitchesToTheNucServer) {
    MachineRun r = run(
        R"(printf '%s' '{"enabled":"true","plantId":"7","dtu_ip":"127.0.0.1","dtu_port":"20009","nuc_ip":"127.0.0.2","nuc_port":"20002","compressed":"true"}' > /config/dtu.conf
)"
        "serve --addr 127.0.0.2 --port 20002\n"
        "$B/kmx-cloud-driver --reports 11\nwait\n");
    ASSERT_EQ(r.status, 0) << r.out;
    auto reps = reports(r);
    ASSERT_EQ(reps.size(), 1u);
    // Compressed: LZ4 block, compression type 1.
    EXPECT_EQ(json_integer_value(json_object_get(reps[0], "_flag")), 0x40);
    EXPECT_EQ(json_integer_value(json_object_get(reps[0], "cmd")), 7);
    json_decref(reps[0]);
    EXPECT_NE(r.syslog().find("switch from Cloud server [127.0.0.1:20009] to Nuc server [127.0.0.2:20002]"),
              std::string::npos);
    EXPECT_NE(r.syslog().find("cnt=10"), std::string::npos);
}

// Each reply is awaited 3 s of the board's clock (the machine runs at the
// board's pace here). The device reads 5 s after sending; the server answers
// 6.5 s after the report, 1.5 s into the first wait: that reply is carried
// out (the lock). It sends the next one 4.5 s later, 1.5 s after the second
// wait ran out: the device has closed and the unlock never happens.
TEST(CloudE2E, EachReplyIsAwaitedThreeSeconds) {
    MachineRun r = run(
        R"(printf '%s' '{"enabled":"true","plantId":"7","dtu_ip":"127.0.0.1","dtu_port":"20001"}' > /config/dtu.conf
)" + script_file({"wait 6500", "{" + ID + R"(,"cmd":5})", "wait 4500", "{" + ID + R"(,"cmd":6})"}) +
        "serve --port 20001 --script /tmp/script\n"
        "KMX_TIME_SCALE=1 $B/kmx-cloud-driver\nwait\n");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "report 1: ok\n");
    const std::string log = r.syslog();
    const size_t lock = log.find("the cmd is gLockMiner from 2 !");
    ASSERT_NE(lock, std::string::npos) << log;
    EXPECT_EQ(log.find("recv timeout !"), log.find("recv timeout !", lock)) << "no wait ran out before the lock\n" << log;
    EXPECT_NE(log.find("recv timeout !", lock), std::string::npos) << log;
    EXPECT_EQ(log.find("gUnlockMiner"), std::string::npos) << log;
    const std::string calls = r.file("/run/sim/calls.log");
    EXPECT_NE(calls.find("flagutils set\n"), std::string::npos) << calls;
    EXPECT_EQ(calls.find("flagutils clear"), std::string::npos) << calls;
}

TEST(CloudE2E, SilentOrResettingServerDoesNotStallOrKillTheSender) {
    MachineRun r = run(
        R"(printf '%s' '{"enabled":"true","plantId":"7","dtu_ip":"127.0.0.1","dtu_port":"20001"}' > /config/dtu.conf
printf 'stall\n' > /tmp/script
)"
        "serve --port 20001 --script /tmp/script\n"
        "$B/kmx-cloud-driver\nwait\n"
        // A peer that closes before reading: the write must not end the process.
        "python3 -c 'import socket,struct;s=socket.socket();s.setsockopt(socket.SOL_SOCKET,socket.SO_REUSEADDR,1);"
        "s.bind((\"127.0.0.1\",20001));s.listen(1);open(\"/tmp/ready\",\"w\").close();c,_=s.accept();"
        "c.setsockopt(socket.SOL_SOCKET,socket.SO_LINGER,struct.pack(\"ii\",1,0));c.close()' &\n"
        "rm -f /tmp/ready; while [ ! -f /tmp/ready ]; do sleep 0.02; done\n"
        "$B/kmx-cloud-driver; echo status $?\nwait\n");
    EXPECT_EQ(r.out, "report 1: ok\nreport 1: ok\nstatus 0\n") << r.syslog();
}

}  // namespace
