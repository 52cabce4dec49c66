// The demo end to end: sim/demo-inside.sh over the real programs in the
// demo machine. Checks each section's heading in order and the lines a
// reader looks for in it, not the exact texts the programs may enrich.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "support/machine_runner.h"

namespace {

std::string read_source(const std::string &rel) {
    std::ifstream in(std::string(KMX_SOURCE_DIR) + "/" + rel);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

// The text of section N (from its heading to the next one).
std::string section(const std::string &out, int n, const std::string &title) {
    const std::string head = "\n== " + std::to_string(n) + ". " + title + " ==\n";
    const size_t b = out.find(head);
    if (b == std::string::npos) return "<missing " + head + ">";
    const size_t e = out.find("\n== ", b + head.size());
    return out.substr(b + head.size(), e == std::string::npos ? std::string::npos : e - b - head.size());
}

TEST(Demo, ShowsTheWholeMachineInOrder) {
    MachineRun r = run_machine(read_source("sim/machines/demo.json"),
                               {"bash", std::string(KMX_SOURCE_DIR) + "/sim/demo-inside.sh", build_path("")});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_FALSE(has(r.out, "demo: gave up")) << r.out;
    const char *const titles[] = {
        "boards come up under the mining program (systemctl start cgminer)",
        "zel-monitor starts: machine type check and its threads",
        "a report reaches the stand-in management server",
        "the server's commands carried out: new pools, red LED on",
        "an LED request on port 8001",
        "a button press and its broadcast",
        "a service tool: zel_fan 40",
        "boardcheck on a bench board in slot 7 (its chip 30 does not answer)",
    };
    size_t at = 0;
    for (int i = 0; i < 8; i++) {
        const size_t p = r.out.find("== " + std::to_string(i + 1) + ". " + titles[i] + " ==");
        ASSERT_NE(p, std::string::npos) << titles[i] << "\n" << r.out;
        EXPECT_GT(p, at) << titles[i];
        at = p;
    }

    // One table row per mining chain, each up with its chips and frequency.
    const std::string boards = section(r.out, 1, titles[0]);
    EXPECT_TRUE(has(boards, "chain    state  chips  frequency   voltage    temp    hash rate\n")) << boards;
    for (const char *c : {"chain0", "chain2", "chain5"})
        EXPECT_TRUE(std::regex_search(boards, std::regex(std::string("\n") + c + " +up +80 +600MHz +[0-9]+mV +[0-9.]+C +[0-9]+ MH/s\n")))
            << c << "\n" << boards;
    EXPECT_TRUE(has(boards, "detected 3 chains\n")) << boards;

    const std::string daemon = section(r.out, 2, titles[1]);
    EXPECT_TRUE(has(daemon, "after start-up:\n--- /etc/hwrevision\nzynq n5+.b\n---\n")) << daemon;
    EXPECT_TRUE(has(daemon, "zel_monitor compile time:")) << daemon;
    EXPECT_TRUE(std::regex_search(daemon, std::regex("threads of zel-monitor \\(pid [0-9]+\\): [0-9]+\n"))) << daemon;
    // Each worker by its name (the Ethernet guard has ended: eth0 holds its
    // address); only the main thread keeps the program's.
    EXPECT_TRUE(has(daemon, "as ps -L and top -H show them: each worker is named\n")) << daemon;
    for (const char *name : {"system_status", "feed_dog", "update_log", "get_stats", "send_stats", "socket_server",
                             "key_press_cnt", "button_monitor", "net_mode_flag", "file_bak"})
        EXPECT_TRUE(std::regex_search(daemon, std::regex(std::string("\n  [0-9]+ ") + name + "\n"))) << name << "\n" << daemon;
    size_t mains = 0;
    for (size_t p = daemon.find(" zel-monitor\n"); p != std::string::npos; p = daemon.find(" zel-monitor\n", p + 1)) mains++;
    EXPECT_EQ(mains, 1u) << daemon;

    const std::string report = section(r.out, 3, titles[2]);
    EXPECT_TRUE(has(report, R"({"cmd":7,"plantId":7,"ip":"192.0.2.10","mac":"02:00:c0:00:02:0a",)")) << report;
    EXPECT_TRUE(has(report, R"("type":"n5+")")) << report;
    // The machine's error code beside the report's err_msg.
    EXPECT_TRUE(std::regex_search(report, std::regex(R"("err_msg":null,"errcode":[0-9]+,"errmsg":"[^"]*","type":)")))
        << report;
    EXPECT_TRUE(has(report, R"("chains":3)")) << report;
    EXPECT_TRUE(has(report, R"({"id":5,"rate":)")) << report;
    // The error text's chain number is the slot plus one, and said so.
    std::smatch m;
    ASSERT_TRUE(std::regex_search(report, m, std::regex(R"(\.chain\(([0-9])\)\.chip)"))) << report;
    const int slot = std::stoi(m[1]) - 1;
    EXPECT_TRUE(has(report, "errmsg's chain(" + std::string(m[1]) + ") counts chains from 1: it is slot " +
                                std::to_string(slot) + ", chain" + std::to_string(slot) + "; the ids below,\n"
                                "like the tables above and every other line here, count from 0\n"))
        << report;

    const std::string cmds = section(r.out, 4, titles[3]);
    EXPECT_TRUE(has(cmds, "--- /config/cgminer.conf\n"
                          R"({"api-listen":true,"pools":[{"url":"stratum+tcp://new.pool.example:3333","user":"acc.w1","pass":"x"}]})"
                          "\n---\n"))
        << cmds;
    EXPECT_TRUE(has(cmds, "systemctl restart cgminer\n")) << cmds;
    EXPECT_FALSE(has(cmds, "reboot")) << cmds;
    EXPECT_TRUE(has(cmds, "mining program: active, bring-ups so far: 2\n")) << cmds;
    // Command 10 lights the red LED: its active-low bit cleared.
    EXPECT_TRUE(std::regex_search(
        cmds, std::regex("hub 0x43C00024: LED word 0x00000(000, red bit 0 \\(active low: red LED lit\\), green bit 0|"
                         "200, red bit 0 \\(active low: red LED lit\\), green bit 1)\n")))
        << cmds;

    const std::string led = section(r.out, 5, titles[4]);
    // The green bit goes its own way, and the section says so first.
    EXPECT_EQ(led.find("the requests switch the red LED (bit 10); the green mode LED (bit 9) blinks on its own,\n"
                       "every 2 s while the address comes from DHCP, so it changes between lines whatever was asked:\n"),
              0u)
        << led;
    EXPECT_TRUE(std::regex_search(led, std::regex(R"(\{"red_light":"off"\}    -> \{"success": "true"\}\\0   LED word 0x00000(400, red bit 1 \(active low: red LED dark\), green bit 0|600, red bit 1 \(active low: red LED dark\), green bit 1)\n)")))
        << led;
    EXPECT_TRUE(std::regex_search(led, std::regex(R"(\{"red_light":"on"\}     -> \{"success": "true"\}\\0   LED word 0x00000(000, red bit 0 \(active low: red LED lit\), green bit 0|200, red bit 0 \(active low: red LED lit\), green bit 1)\n)")))
        << led;
    EXPECT_TRUE(has(led, "{\"red_light\":\"blue\"}   -> {\"success\": \"false\"}\\0")) << led;

    const std::string button = section(r.out, 6, titles[5]);
    EXPECT_TRUE(has(button, "\n8001 {\"ip\":\"192.0.2.10\",\"mac\":\"02:00:C0:00:02:0A\",")) << button;
    EXPECT_TRUE(has(button, "\n14235 192.0.2.10,02:00:C0:00:02:0A\n")) << button;

    // Duty 40, then the exit's full speed, written as duty 0 on these
    // inverted fans, with the lines that say so and what duty 40 means.
    const std::string fan = section(r.out, 7, titles[6]);
    EXPECT_TRUE(has(fan, "zel_fan writes the duty it is given; this board's fans are wired inverted (speed is 100 - duty),\n"
                         "so duty 40 runs them at 60 % speed (zel_fan 40 1 would write duty 60 for 40 % speed).\n"
                         "its syslog lines: start-up sets full speed, a written duty 0 on these fans, then duty 40,\n"
                         "and its exit full speed again:\n"))
        << fan;
    EXPECT_TRUE(std::regex_search(fan, std::regex("fan_id 1, freq: 20000 duty: 40\\.\nfan speed set to 100\n"
                                                  "[^\n]*fan_id 0, freq: 20000 duty: 0\\.\n")))
        << fan;

    // The board test's texts grow; its verdict on the faulty board and the
    // result file's form are what stays.
    const std::string bench = section(r.out, 8, titles[7]);
    EXPECT_TRUE(has(bench, "$ boardcheck -a\n")) << bench;
    EXPECT_TRUE(has(bench, "exit status 0 (the board test always exits 0: its verdict is in /tmp/mtest)\n")) << bench;
    EXPECT_TRUE(has(bench, "TEST OVER")) << bench;
    EXPECT_FALSE(has(bench, "Test Passed")) << bench;
    EXPECT_TRUE(std::regex_search(bench, std::regex("--- /tmp/mtest\n\\{\n    \"8\": \"E[0-9]+: [^\"]*\"\n\\}\n---\n")))
        << bench;
    EXPECT_TRUE(std::regex_match(r.file("/tmp/mtest"), std::regex("\\{\n    \"8\": \"E[0-9]+: [^\"]*\"\n\\}")))
        << r.file("/tmp/mtest");
}

}  // namespace
