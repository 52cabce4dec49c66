// What the service tools leave in files and on the hardware, pinned value by
// value: the chip-type names by reset-reply nibble, the probe with no chains,
// and the control-board exercise tool's pins, VID waveform and fan sweep.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/machine_runner.h"

namespace {

bool has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

int count(const std::string &hay, const std::string &needle) {
    int n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) n++;
    return n;
}

// Eight boards whose chips answer the reset with the given type nibbles.
std::string typed_boards(const std::vector<int> &types) {
    std::string d = R"({"platform": 4, "uboot": {"hwver": "HW1", "dev_type": "7"}, "boards": [)";
    for (size_t s = 0; s < types.size(); s++)
        d += (s ? "," : "") + std::string(R"({"slot": )") + std::to_string(s) +
             R"(, "chips": 12, "chip_type": )" + std::to_string(types[s]) + "}";
    return d + "]}";
}

// Runs the probe once per slot, pulling the boards in front of it so the
// probe reads that slot's type; prints "slot:<type file>" lines.
std::string probe_each_slot(const std::vector<int> &types) {
    const std::string sim = build_path("kmx-sim");
    std::string script;
    for (size_t s = 0; s < types.size(); s++) {
        if (s) script += sim + " plug " + std::to_string(s - 1) + " 0 && ";
        script += "zel_chip_type 4 0 8 80 /tmp/type /tmp/n /tmp/h /tmp/d && printf '" + std::to_string(s) +
                  ":%s\\n' \"$(cat /tmp/type)\" && ";
    }
    return run_machine(typed_boards(types), {"sh", "-c", script + "true"}).out;
}

std::string names_of(const std::vector<int> &types, const std::map<int, std::string> &name) {
    std::string want;
    for (size_t s = 0; s < types.size(); s++) want += std::to_string(s) + ":" + name.at(types[s]) + "\n";
    return want;
}

const std::map<int, std::string> kNames = {
    {0, "N5"},        {1, "TYPE_ERR"},  {2, "TYPE_ERR"},  {3, "N8"},        {4, "TYPE_ERR"},  {5, "TYPE_ERR"},
    {6, "N6"},        {7, "R61"},       {8, "TYPE_ERR"},  {9, "TYPE_ERR"},  {10, "TYPE_ERR"}, {11, "N7"},
    {12, "R84"},      {13, "TYPE_ERR"}, {14, "TYPE_ERR"}, {15, "TYPE_ERR"},
};

TEST(ChipTypeNames, NamedNibbles) {
    const std::vector<int> types = {0, 3, 6, 7, 11, 12, 2, 13};
    EXPECT_EQ(probe_each_slot(types), names_of(types, kNames));
}

TEST(ChipTypeNames, EveryOtherNibbleIsTypeErr) {
    const std::vector<int> types = {1, 4, 5, 8, 9, 10, 14, 15};
    EXPECT_EQ(probe_each_slot(types), names_of(types, kNames));
}

// Chain count 0: no slot is touched, the files still get their values.
TEST(ChipTypeNames, NoChainsPowersNothingAndWritesDefaults) {
    const std::string sim = build_path("kmx-sim");
    MachineRun r = run_machine(typed_boards({11, 11}),
                               {"sh", "-c",
                                "zel_chip_type 4 0 0 80 /tmp/type /tmp/n /tmp/h /tmp/d; echo rc=$?; " + sim +
                                    " peek 0x43C00020"});
    EXPECT_EQ(r.out, "rc=0\n0x00000000\n");
    EXPECT_EQ(r.file("/tmp/type"), "N5");
    EXPECT_EQ(r.file("/tmp/n"), "0");
    EXPECT_EQ(r.file("/tmp/h"), "HW1\n");
    EXPECT_EQ(r.file("/tmp/d"), "7\n");
    const std::string log = r.syslog();
    EXPECT_FALSE(has(log, "recv data:")) << log;
    EXPECT_FALSE(has(log, "not inserted")) << log;
}

// A result file that cannot be opened ends the run as the platform's exit
// does: the chains the probe powered are powered down again (status 0).
TEST(ChipTypeNames, UnopenableResultPowersTheChainsDown) {
    const std::string sim = build_path("kmx-sim");
    MachineRun r = run_machine(typed_boards({11, 11}),
                               {"sh", "-c",
                                "zel_chip_type 4 0 8 80 /tmp/type /tmp/n /tmp/no/h /tmp/d; echo rc=$?; " + sim +
                                    " peek 0x43C00020"});
    EXPECT_EQ(r.out, "rc=0\n0x00000000\n");
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "recv data:b")) << log;  // chain 0 was powered and answered
    EXPECT_TRUE(has(log, "fopen /tmp/no/h failled.: No such file or directory")) << log;
}

// The exercise tool: MIO pins through sysfs GPIO 906 + pin (the board-code
// strap lines answer with their bits), the VID sweep ending on chain 7 at
// VID 31, and the fan sweep at 20 kHz.
TEST(ExerciseTool, PinsVidWaveformAndFanSweep) {
    const std::string sim = build_path("kmx-sim");
    std::string script = "zel_test; echo rc=$?; ls /sys/class/gpio | grep '^gpio' | tr '\\n' ' '; echo; ";
    for (const char *reg : {"80", "84", "88", "8C", "9C", "10", "0C"}) script += sim + " peek 0x43C000" + reg + "; ";
    // Board code 0b1010: strap lines 943 (bit 3) and 935 (bit 1) high.
    MachineRun r = run_machine(
        R"({"platform": 4, "straps": {"board_code": 10}, "boards": [{"slot": 0, "chips": 80}]})",
        {"sh", "-c", script});
    std::istringstream out(r.out);
    std::string rc, pins;
    std::getline(out, rc);
    std::getline(out, pins);
    EXPECT_EQ(rc, "rc=0");
    EXPECT_EQ(pins, "gpio907 gpio921 gpio934 gpio935 gpio936 gpio937 gpio938 gpio939 gpio940 gpio941 gpio942 "
                    "gpio943 gpio944 gpio945 gpio952 gpio956 gpio957 ");
    // Period, the waveform of VID 31 (bits 0-4 set: long high phases, then
    // their complements), the mode word, the chain-7 select and the trigger.
    std::string regs, l;
    while (std::getline(out, l)) regs += l + "\n";
    EXPECT_EQ(regs, "0x000061a8\n0x777700ff\n0x11111117\n0x00007771\n0x00040050\n0x00000080\n0x00000001\n");

    const std::string log = r.syslog();
    std::string mio;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        if (!has(line, "zel_test ")) continue;
        const size_t m = line.find(" mio");
        if (m != std::string::npos) mio += line.substr(m + 1);
        const size_t v = line.find(" is ");
        if (v != std::string::npos && line.size() == v + 5) mio += line.substr(v + 4) + ",";
    }
    EXPECT_EQ(mio, "mio1 0,mio15 0,mio28 0,mio29 1,mio30 0,mio31 0,mio32 0,mio33 0,mio34 0,mio35 0,mio36 0,mio37 1,"
                   "mio38 0,mio39 0,mio46 0,mio50 0,mio51 0,");
    EXPECT_EQ(count(log, "times vid type:"), 10) << log;
    EXPECT_TRUE(has(log, "9 times vid type:15")) << log;
    for (int vid = 0; vid < 32; vid++)
        for (int c = 0; c < 8; c++)
            EXPECT_EQ(count(log, " chain " + std::to_string(c) + " set vid " + std::to_string(vid) + ".\n"), 1)
                << c << "/" << vid;
    // Each duty step on fans 0, 1 and 2 at 20 kHz, once; no fan 3.
    for (int duty = 0; duty <= 90; duty += 10) {
        EXPECT_EQ(count(log, ":duty: " + std::to_string(duty) + ".\n"), 1) << duty;
        for (int fan = 0; fan < 3; fan++)
            EXPECT_GE(count(log, "fan_id " + std::to_string(fan) + ", freq: 20000 duty: " + std::to_string(duty) + ".\n"),
                      1)
                << fan << "/" << duty;
    }
    EXPECT_FALSE(has(log, "fan_id 3,")) << log;
    EXPECT_FALSE(has(log, ":duty: 100.\n")) << log;  // the sweep stops below 100
    EXPECT_EQ(count(log, "freq: 20000 duty: 50.\n"), 3) << log;
}

}  // namespace
