// The service tools run inside the emulated machine: the file repair tool,
// the tuning-step runner, the chip-type probe and the fan tools.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "support/lock_wait.h"
#include "support/machine_runner.h"

namespace {

bool has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

// ---- filemend ----------------------------------------------------------------

const std::string kUnits = "/etc/systemd/system/multi-user.target.wants/";

const std::string kDaemonUnit =
    "[Unit]\nDescription=zel-monitor\nStartLimitIntervalSec=0\nAfter=config.mount\n\n[Service]\nType=simple\n"
    "PrivateTmp=no\nExecStart=/bin/zel-monitor 1\n\nRestart=always\n\n[Install]\nWantedBy=multi-user.target\n";

std::string filemend_machine(const std::string &md5_status, const std::string &corrupted) {
    return R"({
  "platform": 4,
  "boards": [],
  "uboot": {)" + corrupted + R"(},
  "files": {
    "/run/sim/md5sum.status": ")" + md5_status + R"(",
    "/etc/hosts": "127.0.0.1\tlocalhost\n10.0.0.1\tevil\n",
    "/etc/systemd/system/multi-user.target.wants/cgminer.service": "[Unit]\nDescription=Cgminer\n",
    "/etc/systemd/system/multi-user.target.wants/zel-monitor.service": "[Unit]\nExecStart=/bin/sh -c 'rm -rf /'\n",
    "/etc/systemd/system/multi-user.target.wants/sshd.service": "",
    "/etc/systemd/system/multi-user.target.wants/nginx.service": "[Unit]\n",
    "/etc/systemd/system/multi-user.target.wants/swupdate.service": "[Unit]\nDescription=SWUpdate daemon\n"
  }
})";
}

TEST(Filemend, MatchingListTouchesNothing) {
    MachineRun r = run_machine(filemend_machine("0", ""), {"sh", "-c", "filemend; echo rc=$?"});
    EXPECT_TRUE(has(r.out, "0\nrc=0\n")) << r.out;
    const std::string calls = r.file("/run/sim/calls.log");
    EXPECT_FALSE(has(calls, "mount")) << calls;
    EXPECT_FALSE(has(calls, "fw_")) << calls;
}

TEST(Filemend, RewritesOnlyDamagedFilesAndRemountsAround) {
    // A copy a killed run left beside a unit goes too.
    MachineRun r = run_machine(filemend_machine("1", ""),
                               {"sh", "-c", ": > " + kUnits + "nginx.service.tmp0aZ9bY; filemend 1; echo rc=$?; cat /etc/hosts " + kUnits + "zel-monitor.service " +
                                                kUnits + "cgminer.service; ls " + kUnits});
    EXPECT_TRUE(has(r.out, "rc=255\n")) << r.out;
    // The damaged daemon unit and hosts are replaced; the truncated miner
    // unit is the start of its template and stays as it is.
    EXPECT_TRUE(has(r.out, "127.0.0.1\tlocalhost\n127.0.1.1\t")) << r.out;
    EXPECT_FALSE(has(r.out, "evil")) << r.out;
    EXPECT_TRUE(has(r.out, kDaemonUnit + "[Unit]\nDescription=Cgminer\n")) << r.out;
    EXPECT_FALSE(has(r.out, "rm -rf")) << r.out;
    // No temporary file is left beside the units.
    EXPECT_FALSE(has(r.out, ".tmp")) << r.out;
    const std::string calls = r.file("/run/sim/calls.log");
    const size_t set = calls.find("fw_setenv file_corrupted 1");
    const size_t rw = calls.find("mount / -o rw,remount,dirsync");
    const size_t ro = calls.find("mount / -o ro,remount");
    const size_t reload = calls.find("systemctl daemon-reload");
    ASSERT_NE(set, std::string::npos) << calls;
    ASSERT_NE(rw, std::string::npos) << calls;
    ASSERT_NE(ro, std::string::npos) << calls;
    ASSERT_NE(reload, std::string::npos) << calls;
    EXPECT_LT(set, rw);
    EXPECT_LT(rw, ro);
    EXPECT_LT(ro, reload);
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "File /etc/hosts is fixed")) << log;
    EXPECT_TRUE(has(log, "File " + kUnits + "zel-monitor.service is fixed")) << log;
    EXPECT_FALSE(has(log, "cgminer.service is fixed")) << log;
    // An empty unit is what a power cut leaves: written from its template.
    EXPECT_TRUE(has(log, "File " + kUnits + "sshd.service is fixed")) << log;
    EXPECT_FALSE(has(log, "nginx.service is fixed")) << log;  // the start of its template
}

TEST(Filemend, FlagAlreadySetAndMissingFileEndsEarly) {
    MachineRun r = run_machine(filemend_machine("1", R"("file_corrupted": "1")"),
                               {"sh", "-c", "rm " + kUnits + "nginx.service; filemend; echo rc=$?"});
    EXPECT_TRUE(has(r.out, "rc=255\n")) << r.out;
    EXPECT_FALSE(has(r.out, "-1")) << r.out;  // ended before the printout
    const std::string calls = r.file("/run/sim/calls.log");
    EXPECT_FALSE(has(calls, "fw_setenv")) << calls;
    const size_t rw = calls.find("mount / -o rw,remount,dirsync");
    ASSERT_NE(rw, std::string::npos) << calls;
    // The run ends early, but never with the root left writable.
    EXPECT_NE(calls.find("mount / -o ro,remount", rw), std::string::npos) << calls;
    EXPECT_FALSE(has(calls, "daemon-reload")) << calls;
}

TEST(Filemend, UnreplaceableFileEndsReadOnly) {
    // A damaged unit that cannot be replaced (its folder is not writable
    // for the new file: the unit is a folder itself) ends the run.
    MachineRun r = run_machine(filemend_machine("1", R"("file_corrupted": "1")"),
                               {"sh", "-c", "rm " + kUnits + "cgminer.service; mkdir " + kUnits +
                                                "cgminer.service; echo x > " + kUnits + "cgminer.service/y; "
                                                "filemend 1; echo rc=$?"});
    EXPECT_TRUE(has(r.out, "rc=255\n")) << r.out;
    const std::string calls = r.file("/run/sim/calls.log");
    const size_t rw = calls.find("mount / -o rw,remount,dirsync");
    ASSERT_NE(rw, std::string::npos) << calls;
    EXPECT_NE(calls.find("mount / -o ro,remount", rw), std::string::npos) << calls;
    EXPECT_FALSE(has(calls, "daemon-reload")) << calls;
}

TEST(Filemend, EachEarlyEndLogsTheFileAndWhy) {
    struct Case {
        const char *setup, *unit, *why;
    };
    // The unwritable target: a link to a file of /proc, where no file can
    // be made beside it.
    const Case cases[] = {
        {"rm $U/nginx.service", "nginx.service", "cannot be read (No such file or directory)"},
        {"rm $U/sshd.service; mkdir $U/sshd.service", "sshd.service", "cannot be read (a directory)"},
        // Not waited on: a FIFO no one writes would hold the run for good.
        {"rm $U/sshd.service; mkfifo $U/sshd.service", "sshd.service", "cannot be read (not a regular file)"},
        {"ln -sf /nowhere/unit $U/sshd.service.new && mv -f $U/sshd.service.new $U/sshd.service", "sshd.service",
         "cannot be read (a link to a missing file)"},
        {"ln -sf /proc/version $U/zel-monitor.service.new && mv -f $U/zel-monitor.service.new $U/zel-monitor.service",
         "zel-monitor.service", "cannot be written (No such file or directory)"},
    };
    for (const Case &c : cases) {
        MachineRun r = run_machine(filemend_machine("1", R"("file_corrupted": "1")"),
                                   {"sh", "-c", "U=" + kUnits + "; " + c.setup +
                                                    " && timeout -k 5 120 filemend 1; echo rc=$?; "
                                                    "cat /run/sim/rootfs.state"});
        EXPECT_TRUE(has(r.out, "rc=255\nro\n")) << c.setup << "\n" << r.out;
        const std::string line = "File " + kUnits + c.unit + " " + c.why + ", the check ends here";
        EXPECT_TRUE(has(r.syslog(), line)) << line << "\n" << r.syslog();
        EXPECT_FALSE(has(r.file("/run/sim/calls.log"), "daemon-reload")) << c.setup;
    }
}

// The miner unit as the tool writes it refills an empty /config/cgminer.conf
// from the default at the miner's start, and leaves a file with settings as
// it is.
TEST(Filemend, RewrittenMinerUnitRefillsAnEmptySettingsFile) {
    MachineRun r = run_machine(
        filemend_machine("1", R"("file_corrupted": "1")"),
        {"sh", "-c",
         "U=" + kUnits + "; printf '[Unit]\\nX\\n' > /etc/systemd/system/cgminer.service; "
         "ln -sf /etc/systemd/system/cgminer.service $U/cgminer.service.new && "
         "mv -f $U/cgminer.service.new $U/cgminer.service; filemend 1; "
         "printf '{\"d\":1}' > /etc/cgminer.conf.default; mkdir -p /config; : > /config/cgminer.conf; "
         "systemctl start cgminer; cat /config/cgminer.conf; echo; systemctl stop cgminer; "
         "printf '{\"r\":1}' > /config/cgminer.conf; systemctl start cgminer; cat /config/cgminer.conf; echo"});
    EXPECT_EQ(r.out, "{\"d\":1}\n{\"r\":1}\n") << r.out;
}

// The kills land anywhere in a run (4 to 23 ms into it), many of them
// between the two remounts. A terminating signal remounts read-only before
// the tool ends; after a kill -9 the next run, even one that finds nothing
// to repair, remounts first. A kill -9 leaves the command the run had
// started (a remount among them) to finish on its own: the next run starts
// once it has, as the next of the daemon's runs a minute later would.
TEST(Filemend, RootIsReadOnlyAfterEveryKill) {
    const std::string restore = "cp /tmp/orig/* $U/; ";
    MachineRun r = run_machine(
        filemend_machine("1", R"("file_corrupted": "1")"),
        {"sh", "-c",
         "U=" + kUnits + "; mkdir /tmp/orig && cp $U/* /tmp/orig/; bad=0; inside=0; "
         "one() { " + restore +
             "setsid filemend 1 & p=$!; sleep $(printf '0.%03d' $(( ($2 * 7 + ${#1}) % 20 + 4 ))); kill -$1 $p; wait $p; "
             "while pgrep -s $p >/dev/null; do sleep 0.01; done; "
             "grep -q rw,remount /run/sim/calls.log && inside=$((inside+1)); : >/run/sim/calls.log; "
             "if [ $1 = KILL ]; then echo 0 >/run/sim/md5sum.status; filemend 1; echo 1 >/run/sim/md5sum.status; fi; "
             "[ \"$(cat /run/sim/rootfs.state 2>/dev/null || echo ro)\" = ro ] || { bad=$((bad+1)); echo ro > /run/sim/rootfs.state; }; }; "
         "for sig in TERM INT HUP KILL; do for i in $(seq 1 12); do one $sig $i; done; done; "
         "echo inside=$inside bad=$bad"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, "bad=0\n")) << r.out;
    // How many kills land between the remounts depends on how fast the host
    // starts programs (their count is in the output); a signal there is
    // pinned by the cases below, which send it right after the writable
    // remount.
}

// A `mount` ahead of the machine's on filemend's PATH that sends the run
// signal SIG right after the read-write remount, so that it lands between
// the remounts every time.
const std::string kSignalAfterRw =
    "real=$(command -v mount); mkdir -p /tmp/w; "
    "printf '#!/bin/sh\\n%s \"$@\"\\ncase \"$*\" in *rw,remount*) kill -'\"$SIG\"' $(cat /tmp/fm.pid);; esac\\n' "
    "\"$real\" > /tmp/w/mount; chmod +x /tmp/w/mount; ";
const std::string kRunSignalled = "PATH=/tmp/w:$PATH sh -c 'echo $$ > /tmp/fm.pid; exec filemend 1'; echo rc=$?; ";

// TERM between the remounts: the run remounts read-only and ends there by
// that signal; it repairs nothing more and reloads nothing.
TEST(Filemend, TermWhileWritableEndsReadOnlyWithoutRepairing) {
    MachineRun r = run_machine(filemend_machine("1", R"("file_corrupted": "1")"),
                               {"sh", "-c", "SIG=TERM; " + kSignalAfterRw + kRunSignalled +
                                                "cat /run/sim/rootfs.state /etc/hosts; ls /tmp"});
    EXPECT_TRUE(has(r.out, "rc=143\nro\n127.0.0.1\tlocalhost\n10.0.0.1\tevil\n")) << r.out;
    EXPECT_FALSE(has(r.out, "filemend.rw")) << r.out;
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "filemend: signal 15, remounting / read-only before it ends")) << log;
    EXPECT_FALSE(has(log, "is fixed")) << log;
    const std::string calls = r.file("/run/sim/calls.log");
    const size_t rw = calls.find("mount / -o rw,remount,dirsync");
    ASSERT_NE(rw, std::string::npos) << calls;
    EXPECT_NE(calls.find("mount / -o ro,remount", rw), std::string::npos) << calls;
    EXPECT_FALSE(has(calls, "daemon-reload")) << calls;
}

// A run killed (-9) while `/` was writable: the next start, even one that
// finds every file intact, clears the copies a killed write left beside the
// guarded files and remounts read-only. A writable `/` that no run of the
// tool left (another program's short edit) is not touched.
TEST(Filemend, NextStartAfterAKillRestoresReadOnly) {
    MachineRun r = run_machine(
        filemend_machine("1", R"("file_corrupted": "1")"),
        {"sh", "-c",
         "SIG=KILL; " + kSignalAfterRw + kRunSignalled +
             "cat /run/sim/rootfs.state; : > /etc/hosts.tmpAb12Cd; : > " + kUnits + "sshd.service.tmpXy34Zw; "
             "echo 0 > /run/sim/md5sum.status; : > /run/sim/calls.log; filemend 1; echo rc=$?; "
             "cat /run/sim/rootfs.state; ls /etc /tmp " + kUnits + "; "
             "echo rw > /run/sim/rootfs.state; filemend 1; cat /run/sim/rootfs.state"});
    EXPECT_TRUE(has(r.out, "rc=137\nrw\nrc=0\nro\n")) << r.out;
    EXPECT_FALSE(has(r.out, ".tmp")) << r.out;
    EXPECT_FALSE(has(r.out, "filemend.rw")) << r.out;
    // The last run, after another program's remount: still writable.
    EXPECT_TRUE(r.out.size() >= 3 && r.out.compare(r.out.size() - 3, 3, "rw\n") == 0) << r.out;
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "filemend: an earlier run ended with / writable, remounting it read-only")) << log;
    EXPECT_TRUE(has(log, "removed 1 unfinished copies of /etc/hosts")) << log;
    EXPECT_TRUE(has(log, "removed 1 unfinished copies of " + kUnits + "sshd.service")) << log;
    const std::string calls = r.file("/run/sim/calls.log");
    EXPECT_EQ(calls.find("mount / -o ro,remount"), calls.rfind("mount / -o ro,remount")) << calls;
    EXPECT_NE(calls.find("mount / -o ro,remount"), std::string::npos) << calls;
}

// ---- stepctl ----------------------------------------------------------------

std::string step_machine(const std::string &steps, const std::string &conf) {
    return R"({"platform": 4, "boards": [], "files": {"/tmp/steps": ")" + steps + R"(", "/config/cgminer.conf": )" +
           conf + "}}";
}

// A miner that reports its verdict again after every restart.
const std::string kMiner = "(while :; do [ -f /tmp/errcode ] || echo $CODE > /tmp/errcode; sleep 0.02; done) & ";

TEST(Stepctl, RunsEveryStepAndSwitchesTheMode) {
    const std::string conf = R"("{\"pools\": [1], \"N5balance\": true, \"N5noauto\": true}")";
    MachineRun r = run_machine(step_machine("b e p \\n", conf),
                               {"sh", "-c", "CODE=0; " + kMiner + "stepctl 1 /tmp/steps; echo rc=$?; cat /config/cgminer.conf"});
    EXPECT_TRUE(has(r.out, "rc=0\n")) << r.out;
    EXPECT_TRUE(has(r.out, "\"N5performance\": true")) << r.out;
    EXPECT_FALSE(has(r.out, "N5balance")) << r.out;
    EXPECT_FALSE(has(r.out, "N5noauto")) << r.out;
    EXPECT_TRUE(has(r.out, "\"pools\"")) << r.out;
    EXPECT_TRUE(has(r.file("/tmp/tuning_step.dat"), "\"prog_flag\":\t2")) << r.file("/tmp/tuning_step.dat");
    EXPECT_TRUE(has(r.file("/tmp/tuning_step.dat"), "\"step\":\t3")) << r.file("/tmp/tuning_step.dat");
    const std::string calls = r.file("/run/sim/calls.log");
    EXPECT_TRUE(has(calls, "systemctl stop systemd-tmpfiles-clean.timer")) << calls;
    size_t starts = 0;
    for (size_t p = calls.find("systemctl start cgminer"); p != std::string::npos;
         p = calls.find("systemctl start cgminer", p + 1))
        starts++;
    EXPECT_EQ(starts, 3u);  // once per passed step, the last included
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "step_num:3")) << log;
    EXPECT_TRUE(has(log, "mode is the same!")) << log;  // the first step, balance
    EXPECT_TRUE(has(log, "program ends with pass!")) << log;
}

TEST(Stepctl, FailingCodeStopsWithTheStepNumber) {
    MachineRun r = run_machine(step_machine("p f \\n", R"("{}")"),
                               {"sh", "-c", "CODE=7; " + kMiner + "stepctl 1 /tmp/steps; echo rc=$?"});
    EXPECT_TRUE(has(r.out, "rc=0\n")) << r.out;
    const std::string st = r.file("/tmp/tuning_step.dat");
    EXPECT_TRUE(has(st, "\"prog_flag\":\t3")) << st;
    EXPECT_TRUE(has(st, "\"step\":\t1")) << st;
    EXPECT_TRUE(has(st, "\"errorcode\":\t7")) << st;
    EXPECT_FALSE(has(r.file("/run/sim/calls.log"), "systemctl start cgminer"));
}

TEST(Stepctl, StepListParsing) {
    // Letters need the blank after them; the eleventh is never run.
    MachineRun r = run_machine(step_machine("e e e e e e e e e e e \\n", R"("{\"N5efficient\": true}")"),
                               {"sh", "-c", "CODE=25; " + kMiner + "stepctl 1 /tmp/steps"});
    EXPECT_TRUE(has(r.syslog(), "steps exceed max!"));
    EXPECT_TRUE(has(r.file("/tmp/tuning_step.dat"), "\"step\":\t10"));
    MachineRun none = run_machine(step_machine("e\\n", R"("{}")"), {"stepctl", "1", "/tmp/steps"});
    EXPECT_TRUE(has(none.syslog(), "step number is 0!"));
    EXPECT_TRUE(has(none.file("/tmp/tuning_step.dat"), "\"prog_flag\":\t2"));
    MachineRun missing = run_machine(step_machine("", R"("{}")"), {"stepctl", "1", "/tmp/nothing"});
    EXPECT_TRUE(has(missing.syslog(), "step_num invalid:-1"));
    EXPECT_EQ(missing.file("/tmp/tuning_step.dat"), "");
}

size_t count(const std::string &text, const std::string &part) {
    size_t n = 0;
    for (size_t p = text.find(part); p != std::string::npos; p = text.find(part, p + 1)) n++;
    return n;
}

// "Not finished" (30) for the whole wait of 600 attempts is a time-out,
// and so is a result file that stays empty or holds no number: neither is
// ever read as a success.
TEST(Stepctl, NoVerdictInTheWholeWaitIsATimeout) {
    MachineRun r = run_machine(step_machine("b \\n", R"("{}")"),
                               {"sh", "-c", "echo 30 > /tmp/errcode; stepctl 1 /tmp/steps; echo rc=$?"});
    EXPECT_TRUE(has(r.out, "rc=0\n")) << r.out;
    const std::string log = r.syslog();
    EXPECT_EQ(count(log, "Error code:30!"), 600u);
    EXPECT_TRUE(has(log, "timeout_cnt:0")) << log;
    EXPECT_TRUE(has(log, "program ends with error!")) << log;
    std::string st = r.file("/tmp/tuning_step.dat");
    EXPECT_TRUE(has(st, "\"prog_flag\":\t3")) << st;
    EXPECT_TRUE(has(st, "\"step\":\t1")) << st;
    EXPECT_TRUE(has(st, "\"errorcode\":\t101")) << st;
    EXPECT_FALSE(has(r.file("/run/sim/calls.log"), "systemctl start cgminer"));

    // Both in one machine: each run's progress is printed after it.
    MachineRun e = run_machine(step_machine("b \\n", R"("{}")"),
                               {"sh", "-c", ": > /tmp/errcode; stepctl 1 /tmp/steps >/dev/null; cat /tmp/tuning_step.dat; "
                                            "echo ok > /tmp/errcode; stepctl 1 /tmp/steps >/dev/null; cat /tmp/tuning_step.dat"});
    EXPECT_EQ(count(e.out, "\"prog_flag\":\t3"), 2u) << e.out;
    EXPECT_EQ(count(e.out, "\"errorcode\":\t101"), 2u) << e.out;
    EXPECT_FALSE(has(e.syslog(), "Miner Run Successfully!"));
    EXPECT_EQ(count(e.syslog(), "timeout_cnt:0"), 2u);
}

// Each attempt waits 2 s of machine time: a verdict that comes after 900 s
// of "not finished" is still within the 1200 s wait (at the emulation's
// speed-up of 200 that is 4.5 s of real time, against 6 s).
TEST(Stepctl, WaitsTwoSecondsPerAttempt) {
    MachineRun r = run_machine(
        step_machine("b \\n", R"("{}")"),
        {"sh", "-c", "echo 30 > /tmp/errcode; (sleep 4.5; echo 0 > /tmp/errcode) & stepctl 1 /tmp/steps; wait"});
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "Error code:30!")) << log;
    EXPECT_TRUE(has(log, "Miner Run Successfully!")) << log;
    EXPECT_LT(count(log, "Error code:30!"), 600u);
    const std::string st = r.file("/tmp/tuning_step.dat");
    EXPECT_TRUE(has(st, "\"prog_flag\":\t2")) << st;
    EXPECT_TRUE(has(st, "\"errorcode\":\t0")) << st;
}

TEST(Stepctl, CodeTwentyFiveCountsAsSuccess) {
    MachineRun r = run_machine(step_machine("f \\n", R"("{}")"),
                               {"sh", "-c", "CODE=25; " + kMiner + "stepctl 1 /tmp/steps"});
    EXPECT_TRUE(has(r.syslog(), "Error code is 25! Continue testing")) << r.syslog();
    const std::string st = r.file("/tmp/tuning_step.dat");
    EXPECT_TRUE(has(st, "\"prog_flag\":\t2")) << st;
    EXPECT_TRUE(has(st, "\"errorcode\":\t25")) << st;
    MachineRun f = run_machine(step_machine("f \\n", R"("{}")"),
                               {"sh", "-c", "for c in 24 26 31; do echo $c > /tmp/errcode; stepctl 1 /tmp/steps >/dev/null; "
                                            "cat /tmp/tuning_step.dat; done"});
    EXPECT_EQ(count(f.out, "\"prog_flag\":\t3"), 3u) << f.out;
    for (const char *code : {"24", "26", "31"}) EXPECT_TRUE(has(f.out, std::string("\"errorcode\":\t") + code)) << f.out;
}

// Only a whole number, with white space around it, is the miner's code: a
// first line that merely starts with one ("0x1f", "0abc") is no result yet,
// never a success. Each bad text stands for 0.5 s, then the miner writes 7.
TEST(Stepctl, ANumbersPrefixIsNoResult) {
    std::string script;
    for (const char *bad : {"0x1f", "0abc", "25 x", "0.5", "-0-"})
        script += std::string("printf '%s\\nSUCC\\n' '") + bad + "' > /tmp/errcode; (sleep 0.5; echo 7 > /tmp/errcode) & "
                  "stepctl 1 /tmp/steps >/dev/null; wait; cat /tmp/tuning_step.dat; ";
    // White space around the number is no obstacle, the library's message
    // line after it neither.
    script += "printf ' \\t0 \\r\\nSUCC\\n' > /tmp/errcode; stepctl 1 /tmp/steps >/dev/null; cat /tmp/tuning_step.dat";
    MachineRun r = run_machine(step_machine("b \\n", R"("{}")"), {"sh", "-c", script});
    EXPECT_EQ(count(r.out, "\"prog_flag\":\t3"), 5u) << r.out;
    EXPECT_EQ(count(r.out, "\"errorcode\":\t7"), 5u) << r.out;
    EXPECT_EQ(count(r.syslog(), "Miner Run Successfully!"), 1u) << r.syslog();
    EXPECT_FALSE(has(r.syslog(), "Error code is 25!")) << r.syslog();
    EXPECT_TRUE(has(r.out, "\"prog_flag\":\t2,\n\t\"step\":\t1,\n\t\"errorcode\":\t0\n}")) << r.out;
}

// A new mode leaves exactly one mode key: stale ones, true or false, go.
TEST(Stepctl, OnlyTheStepsModeKeyRemains) {
    const std::string conf =
        R"("{\"N5efficient\": true, \"N5performance\": true, \"N5factory\": false, \"pools\": []}")";
    MachineRun r = run_machine(step_machine("b \\n", conf),
                               {"sh", "-c", "CODE=0; " + kMiner + "stepctl 1 /tmp/steps; cat /config/cgminer.conf"});
    EXPECT_TRUE(has(r.out, "\"N5balance\": true")) << r.out;
    EXPECT_FALSE(has(r.out, "N5efficient")) << r.out;
    EXPECT_FALSE(has(r.out, "N5performance")) << r.out;
    EXPECT_FALSE(has(r.out, "N5factory")) << r.out;
    EXPECT_TRUE(has(r.out, "\"pools\"")) << r.out;
    EXPECT_TRUE(has(r.syslog(), "Original Mode is performance!")) << r.syslog();
}

// A mode switch that could not be written (a full /config) fails its step
// with the reason logged: the miner is not restarted into the old mode as
// if the step had passed.
TEST(Stepctl, UnwrittenModeSwitchFailsTheStep) {
    const std::string desc = R"({"platform": 4, "boards": [], "sizes": {"/config": "16k"},
  "files": {"/tmp/steps": "b p \n", "/config/cgminer.conf": "{\"N5balance\": true, \"pools\": []}"}})";
    MachineRun r = run_machine(desc, {"sh", "-c", "CODE=0; " + kMiner + "cat /dev/zero > /config/fill 2>/dev/null; "
                                                  "stepctl 1 /tmp/steps; echo rc=$?; cat /config/cgminer.conf; "
                                                  "ls /config"});
    EXPECT_TRUE(has(r.out, "rc=0\n{\"N5balance\": true, \"pools\": []}cgminer.conf\nfill\n")) << r.out;
    const std::string st = r.file("/tmp/tuning_step.dat");
    EXPECT_TRUE(has(st, "\"prog_flag\":\t3,\n\t\"step\":\t2,")) << st;
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "mode is the same!")) << log;  // the first step passed without a write
    EXPECT_TRUE(has(log, "stepctl,")) << log;
    EXPECT_TRUE(has(log, ":write /config/cgminer.conf failed: No space left on device")) << log;
    EXPECT_TRUE(has(log, "program ends with error!")) << log;
    EXPECT_FALSE(has(log, "program ends with pass!")) << log;
    // Restarted once, after the first step; never after the failed one.
    const std::string calls = r.file("/run/sim/calls.log");
    EXPECT_EQ(calls.find("systemctl start cgminer"), calls.rfind("systemctl start cgminer")) << calls;
    EXPECT_NE(calls.find("systemctl start cgminer"), std::string::npos) << calls;
}

// A configuration that does not load fails its step as an unwritten one
// does, with the reason: the mode switch was not made.
TEST(Stepctl, UnloadableSettingsFailTheStep) {
    MachineRun r = run_machine(step_machine("p \\n", R"("{\"N5balance\": tru")"),
                               {"sh", "-c", "CODE=0; " + kMiner + "stepctl 1 /tmp/steps; cat /config/cgminer.conf"});
    EXPECT_TRUE(has(r.out, "}\n{\"N5balance\": tru")) << r.out;
    const std::string st = r.file("/tmp/tuning_step.dat");
    EXPECT_TRUE(has(st, "\"prog_flag\":\t3,\n\t\"step\":\t1,")) << st;
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "stepctl,")) << log;
    EXPECT_TRUE(has(log, ":load /config/cgminer.conf failed: ")) << log;
    EXPECT_TRUE(has(log, "program ends with error!")) << log;
    EXPECT_FALSE(has(r.file("/run/sim/calls.log"), "systemctl start cgminer")) << r.file("/run/sim/calls.log");
}

// Another program that holds the configuration's lock (the daemon carrying
// out a server command) finishes its change first, once stepctl waits for
// the lock; stepctl then switches the mode on what that program wrote, and
// neither change is lost.
TEST(Stepctl, WaitsForAnotherProgramsChange) {
    const std::string conf = R"("{\"N5balance\": true}")";
    MachineRun r = run_machine(
        step_machine("p \\n", conf),
        {"sh", "-c",
         "CODE=0; " + kMiner +
             "(flock 9; touch /tmp/held; w=0; for i in $(seq 3000); do if " + kWaitsOnLock +
             "; then w=1; break; fi; sleep 0.01; done; echo waiter=$w; "
             "printf '{\"N5balance\": true, \"pools\": [7]}' > /config/cgminer.conf) 9>/run/cgminer.conf.lock & "
             "while [ ! -f /tmp/held ]; do sleep 0.01; done; stepctl 1 /tmp/steps; cat /config/cgminer.conf"});
    EXPECT_TRUE(has(r.out, "waiter=1\n")) << r.out;
    EXPECT_TRUE(has(r.out, "\"N5performance\": true")) << r.out;
    EXPECT_TRUE(has(r.out, "\"pools\": [\n        7\n    ]")) << r.out;
    EXPECT_FALSE(has(r.out, "N5balance")) << r.out;
}

// Mistaken calls say so at the terminal as well as in the log; the exit
// status stays 0.
TEST(Stepctl, UnreadableStepsFileAndUsageOnStandardError) {
    MachineRun r = run_machine(step_machine("", R"("{}")"),
                               {"sh", "-c", "stepctl 2>&1; echo rc=$?; stepctl 1 /tmp 2>&1; echo rc=$?; "
                                            "stepctl 1 /tmp/nothing 2>&1; echo rc=$?"});
    EXPECT_TRUE(has(r.out, "Parameter is NULL!\nrc=0\nstep_num invalid:-1\nrc=0\nstep_num invalid:-1\nrc=0\n"))
        << r.out;
    EXPECT_EQ(count(r.syslog(), "step_num invalid:-1"), 2u) << r.syslog();
    EXPECT_FALSE(has(r.syslog(), "step number is 0!")) << r.syslog();
    EXPECT_EQ(r.file("/tmp/tuning_step.dat"), "");
}

// ---- zel_chip_type, zel_fan, zel_test -----------------------------------------

const char *const kBoards = R"({
  "platform": 4,
  "boards": [
    {"slot": 1, "chip_type": 11, "chips": 0},
    {"slot": 2, "chip_type": 11, "chips": 76}
  ],
  "uboot": {"hwver": "HW1.2", "dev_type": "7"}
})";

TEST(ChipTypeProbe, TypeAndCountMayComeFromDifferentChains) {
    MachineRun r = run_machine(kBoards, {"zel_chip_type", "4", "0", "8", "80", "/tmp/type", "/tmp/chip_nums",
                                         "/tmp/hwver", "/tmp/dev_type"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.file("/tmp/type"), "N7");
    EXPECT_EQ(r.file("/tmp/chip_nums"), "76");
    EXPECT_EQ(r.file("/tmp/hwver"), "HW1.2\n");
    EXPECT_EQ(r.file("/tmp/dev_type"), "7\n");
    EXPECT_TRUE(has(r.syslog(), "spi 0 not inserted.")) << r.syslog();
}

TEST(ChipTypeProbe, EmptySlotsAndUsage) {
    MachineRun r = run_machine(R"({"platform": 4, "boards": []})",
                               {"zel_chip_type", "4", "0", "8", "80", "/tmp/type", "/tmp/n", "/tmp/h", "/tmp/d"});
    EXPECT_EQ(r.file("/tmp/type"), "N5");
    EXPECT_EQ(r.file("/tmp/n"), "0");
    EXPECT_TRUE(has(r.syslog(), "spi 7 not inserted.")) << r.syslog();
    // At a terminal the usage shows on standard error as well; status 0.
    MachineRun u = run_machine(R"({"platform": 4, "boards": []})",
                               {"sh", "-c", "zel_chip_type 4 2>&1 >/dev/null; echo rc=$?"});
    EXPECT_TRUE(has(u.syslog(), "      - SOC:         16")) << u.syslog();
    EXPECT_EQ(u.out,
              "USAGE:\n"
              "      zel_chip_type platform miner_type chain_num chip_num type_path chip_num_path hwver_path "
              "dev_type_path\n"
              "      platform:\n"
              "      - ZYNQ_SPI_B3: 1\n"
              "      - ZYNQ_SPI_B13:2\n"
              "      - ZYNQ_HUB_B3: 3\n"
              "      - ZYNQ_HUB_B13:4\n"
              "      - SOC:         16\n"
              "      miner_type is 0\n"
              "      chain_num  is 8(max chain nums)\n"
              "      chip_num   is 80(max chip nums)\n"
              "      type_path  is /tmp/type(type file path)\n"
              "      chip_num   is /tmp/chip_nums(chip nums file path)\n"
              "      hwver_path is /tmp/hwver(hwver file path)\n"
              "      dev_type_path is /tmp/dev_type_path(dev_type nums file path)\n"
              "rc=0\n");
}

// Arguments the library refuses end the tool with status 0 and no result
// files; the reason shows on standard error as well as in the syslog.
TEST(ChipTypeProbe, RefusedArgumentsShowOnStandardError) {
    struct Case {
        const char *args;
        std::string line;
    } cases[] = {
        {"9 0 8 80", "the platform is undefined !!! \n"},
        {"4 0 9 80", "the chain_num is error !!! \n"},
        {"4 0 -1 80", "the chain_num is error !!! \n"},
        {"4 0 8 999", "the chip_num is error !!! \n"},
    };
    for (const Case &c : cases) {
        MachineRun r = run_machine(kBoards, {"sh", "-c",
                                             std::string("zel_chip_type ") + c.args +
                                                 " /tmp/type /tmp/n /tmp/h /tmp/d 2>&1 >/dev/null; echo rc=$?"});
        EXPECT_EQ(r.out, c.line + "rc=0\n") << c.args;
        EXPECT_TRUE(has(r.syslog(), "zel_chip_type local0.err " + c.line)) << r.syslog();
        EXPECT_EQ(r.file("/tmp/type"), "") << c.args;
    }
}

// A result file that could not be written (a full /tmp) is reported with
// its reason and left absent, and the later ones are not written: no reader
// takes an empty value for a result.
TEST(ChipTypeProbe, UnwrittenResultIsReportedAndAbsent) {
    const std::string desc = R"({"platform": 4, "boards": [], "sizes": {"/tmp": "16k"},
  "uboot": {"hwver": "HW1.2", "dev_type": "7"}})";
    MachineRun r = run_machine(desc, {"sh", "-c",
                                      "cat /dev/zero > /tmp/fill 2>/dev/null; zel_chip_type 4 0 0 0 /tmp/type "
                                      "/tmp/n /tmp/h /tmp/d 2>&1; echo rc=$?; rm /tmp/fill; ls /tmp"});
    EXPECT_TRUE(has(r.out, "write /tmp/h failled: No space left on device\n")) << r.out;
    EXPECT_TRUE(has(r.out, "rc=0\n")) << r.out;
    EXPECT_FALSE(has(r.out, "\nh\n")) << r.out;
    EXPECT_FALSE(has(r.out, "\nd\n")) << r.out;
    EXPECT_FALSE(has(r.out, "\ntype\n")) << r.out;
    EXPECT_TRUE(has(r.syslog(), "write /tmp/h failled: No space left on device")) << r.syslog();
}

// TERM or HUP in the middle of a cold start (chain 1's power line just
// switched on) ends the probe through the platform's exit: every chain
// powered down, no result file, and the signal's own status. The machine
// runs at the board's pace, so that the cold start's seven seconds left
// after the power line comes on outlast a loaded host's answer.
TEST(ChipTypeProbe, EndSignalInTheColdStartPowersTheChainsDown) {
    MachineRun r = run_machine(
        kBoards, {"sh", "-c",
                  "for sig in TERM HUP; do "
                  "KMX_TIME_SCALE=1 zel_chip_type 4 0 8 80 /tmp/type /tmp/n /tmp/h /tmp/d & p=$!; i=0; "
                  "until [ $(( $(kmx-sim peek 0x43C00020) & 0x80000 )) -ne 0 ] || [ $i -ge 12000 ]; do "
                  "sleep 0.01; i=$((i+1)); done; "
                  "kill -$sig $p; wait $p; echo \"$sig rc=$? $(kmx-sim peek 0x43C00020)\"; done; "
                  "ls /tmp/type /tmp/n /tmp/h /tmp/d 2>/dev/null; echo end"});
    EXPECT_EQ(r.out, "TERM rc=143 0x00000000\nHUP rc=129 0x00000000\nend\n") << r.out;
    const std::string log = r.syslog();
    for (const char *sig : {"15", "1"})
        EXPECT_TRUE(has(log, std::string("zel_chip_type: signal ") + sig + ", powering the chains down before it ends"))
            << log;
    // Stopped at the chain it was powering: no later chain was looked at.
    EXPECT_FALSE(has(log, "recv data:")) << log;
    EXPECT_FALSE(has(log, "spi 3 not inserted.")) << log;
}

TEST(FanTools, DutyInversionAndClamp) {
    MachineRun r = run_machine(R"({"platform": 4, "boards": []})",
                               {"sh", "-c", "zel_fan 2>&1; echo rc=$?; zel_fan 30 1; zel_fan 130 2>&1; echo rc=$?; zel_fan -5"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(has(r.out, "USAGE:\n      zel_fan duty [invert]\nrc=0\n")) << r.out;
    EXPECT_TRUE(has(r.out, "error:fan duty:130,so force fan duty to 100\nrc=0\n")) << r.out;
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "fan_id 1, freq: 20000 duty: 70.")) << log;
    EXPECT_TRUE(has(log, "error:fan duty:130,so force fan duty to 100")) << log;
    EXPECT_TRUE(has(log, "error:fan duty:-5,so force fan duty to 100")) << log;
    EXPECT_TRUE(has(log, "zel_fan")) << log;
}

// ---- arguments that are not whole numbers ---------------------------------------

// A number argument that is not a whole number is refused with one usage
// line on standard error before anything is driven or changed: no platform
// start-up (fans to 100 %, chains powered down), no fan duty, no chain
// powered, no timer stopped, no file written. The status is that of the
// tool's own refusal of a call without arguments: 0, and 2 for the exercise
// tool, which has none. Two boards wait in the slots for the probe.
TEST(ToolArguments, NotAWholeNumberIsRefusedBeforeAnythingIsDriven) {
    const std::string sim = build_path("kmx-sim");
    std::string script = "printf 'b \\n' > /tmp/steps; ";
    for (const char *args : {"abc", "''", "4x", "0x10", "1.5", "-", "99999999999", "-99999999999999999999", "30 x"})
        script += std::string("zel_fan ") + args + " 2>&1; echo rc=$?; ";
    script +=
        "zel_test --help 2>&1; echo rc=$?; zel_test 5 x 2>&1; echo rc=$?; "
        "stepctl --help 2>&1; echo rc=$?; stepctl /tmp/steps 2>&1; echo rc=$?; stepctl x /tmp/steps 2>&1; echo rc=$?; "
        "zel_chip_type 4 0 8 abc /tmp/type /tmp/n /tmp/h /tmp/d 2>&1; echo rc=$?; "
        "zel_chip_type --help 0 8 80 /tmp/type /tmp/n /tmp/h /tmp/d 2>&1; echo rc=$?; " +
        // Chain power, fan enable, fan 0's on-count; then the files.
        sim + " peek 0x43C00020; " + sim + " peek 0x43C00008; " + sim + " peek 0x43C00044; "
        "ls -d /tmp/type /tmp/n /tmp/h /tmp/fac_mp /tmp/tuning_step.dat 2>/dev/null; echo end";
    MachineRun r = run_machine(kBoards, {"sh", "-c", script});
    std::string want;
    for (const char *bad : {"abc", "", "4x", "0x10", "1.5", "-", "99999999999", "-99999999999999999999", "x"})
        want += "zel_fan: \"" + std::string(bad) + "\" is not a whole number; usage: zel_fan duty [invert]\nrc=0\n";
    const std::string chip_usage =
        " is not a whole number; usage: zel_chip_type platform miner_type chain_num chip_num type_path chip_num_path "
        "hwver_path dev_type_path\nrc=0\n";
    want += "zel_test: \"--help\" refused; usage: zel_test (no arguments: it sweeps every chain's VIDs and the fans)\n"
            "rc=2\n"
            "zel_test: \"x\" refused; usage: zel_test (no arguments: it sweeps every chain's VIDs and the fans)\n"
            "rc=2\n"
            "stepctl: \"--help\" is not a whole number; usage: stepctl number steps_file\nrc=0\n"
            "stepctl: \"/tmp/steps\" is not a whole number; usage: stepctl number steps_file\nrc=0\n"
            "stepctl: \"x\" is not a whole number; usage: stepctl number steps_file\nrc=0\n"
            "zel_chip_type: \"abc\"" + chip_usage + "zel_chip_type: \"--help\"" + chip_usage +
            // Every chain unpowered, no fan enabled or set; no result file,
            // work file or progress file.
            "0x00000000\n0x00000000\n0x00000000\nend\n";
    EXPECT_EQ(r.out, want);
    EXPECT_EQ(r.status, 0);
    const std::string log = r.syslog();
    EXPECT_FALSE(has(log, "sys_platform_init")) << log;
    EXPECT_FALSE(has(log, "fan_id")) << log;
    EXPECT_FALSE(has(log, "vid type")) << log;
    EXPECT_FALSE(has(log, "Stop clean tmp timer!")) << log;
    EXPECT_FALSE(has(log, "4,0,8,0,")) << log;  // the probe's argument line
    EXPECT_TRUE(has(log, "zel_fan: \"abc\" is not a whole number")) << log;
    EXPECT_FALSE(has(r.file("/run/sim/calls.log"), "systemctl")) << r.file("/run/sim/calls.log");
}

// Numbers are read as before: a sign and blanks around the digits, and a
// whole-number argument to the exercise tool is ignored as it always was.
TEST(ToolArguments, WholeNumbersAreReadAsBefore) {
    MachineRun r = run_machine(R"({"platform": 4, "boards": []})",
                               {"sh", "-c", "zel_fan +40; zel_fan ' 20 ' 1; zel_fan 007 0; echo rc=$?; " +
                                                build_path("kmx-sim") + " peek 0x43C00008"});
    EXPECT_EQ(r.out, "rc=0\n0x00000007\n");  // fans 0 to 2 enabled
    const std::string log = r.syslog();
    for (const char *duty : {"40", "80", "7"})
        EXPECT_TRUE(has(log, std::string("fan_id 1, freq: 20000 duty: ") + duty + ".")) << duty << "\n" << log;
}

TEST(FanTools, ExerciseToolSweepsVidsPinsAndFans) {
    MachineRun r = run_machine(R"({"platform": 4, "boards": [{"slot": 0, "chip_type": 0, "chips": 80}]})",
                               {"zel_test"});
    EXPECT_EQ(r.status, 0);
    const std::string log = r.syslog();
    EXPECT_TRUE(has(log, "9 times vid type:")) << log;
    EXPECT_TRUE(has(log, "mio51 ")) << log;
    EXPECT_TRUE(has(log, "chain 7 set vid 31.")) << log;
    EXPECT_TRUE(has(log, "duty: 90.")) << log;
    EXPECT_TRUE(has(log, "sys_platform_exit.")) << log;
}

}  // namespace
