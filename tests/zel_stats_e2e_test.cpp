// The daemon's statistics and reports end to end: the real program runs in
// an emulated machine beside a scripted stand-in for the mining program's
// API and the stand-in management server. The test steers the stand-ins
// through phases (not locked, healthy, stalled, garbage, cut short, down)
// and reads the reports and the history file they left.
#include <gtest/gtest.h>
#include <jansson.h>

#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "support/machine_runner.h"

namespace {

bool has(const std::string &hay, const std::string &needle) { return hay.find(needle) != std::string::npos; }

const std::string ID = R"("plantId":7,"ip":"192.0.2.10","mac":"02:00:c0:00:02:0a","src_id":2,"dst_id":1)";

const char *kStats = R"({"STATUS":[{"STATUS":"S"}],"STATS":[)"
                     R"({"Chain ID":0,"Fan duty":80,"Elapsed":1234,"Temp max":75.5,"Temp":70.25,"PLL":900,"vid Voltage":1300,"power":3200},)"
                     R"({"Chain ID":2,"Fan duty":80,"Elapsed":1234,"Temp max":71,"Temp":66,"PLL":890,"vid Voltage":1290,"power":3100},)"
                     R"({"ID":"POOL0","Pool Calls":0}],"id":1})";
const char *kDevs = R"({"DEVS":[)"
                    R"({"ASC":0,"Device Elapsed":299,"MHS 5s":1.5,"MHS 1m":2.5,"MHS 5m":3.5,"MHS 15m":4.5,"MHS av":5.5,"Accepted":10,"Rejected":1,"Hardware Errors":2,"Power Vendor":"V","Power Version":"1.0"},)"
                    R"({"ASC":2,"Device Elapsed":5000,"MHS 5s":11.5,"MHS 1m":12.5,"MHS 5m":12345.9,"MHS 15m":14.5,"MHS av":15.5,"Accepted":20,"Rejected":3,"Hardware Errors":4}]})";
const char *kPools = R"({"POOLS":[{"POOL":0,"URL":"stratum+tcp://127.0.0.1:3333","Stratum Active":false},)"
                     R"({"POOL":1,"URL":"stratum+tcp://localhost:3333","Stratum Active":true},)"
                     R"({"POOL":2,"URL":"stratum+tcp://x.invalid:3333","Stratum Active":false}]})";

// Writes `text` as the answer file for `cmd` (shell-quoted heredoc), put in
// place whole: the peer reads it afresh for every request.
std::string answer(const std::string &cmd, const std::string &text) {
    return "cat > /tmp/api/" + cmd + ".new <<'EOA'\n" + text + "\nEOA\nmv /tmp/api/" + cmd + ".new /tmp/api/" + cmd +
           "\n";
}

// The machine's settings and the two stand-ins started with the answers
// above; each case starts the daemon itself.
const std::string kStandIns = std::string(R"SH(set -u
B=$KMX_BUILD_DIR
# No name server in the machine: unknown names fail at once.
echo 'nameserver 127.0.0.1' > /etc/resolv.conf
mkdir -p /config/etc/ssh /tmp/api
printf '%s' '{"pools":[{"url":"stratum+tcp://old.example:1","user":"u.w","pass":"x"}]}' > /config/cgminer.conf
printf '%s' '{"enabled":"true","plantId":"7","dtu_ip":"127.0.0.1","dtu_port":"20001","dtu_interval":"10"}' > /config/dtu.conf
echo 0 > /run/sim/flag
R=/run/sim/mgmt_reports.jsonl
reports() { cat $R 2>/dev/null | wc -l; }
asked() { cat /tmp/api/requests.log 2>/dev/null | grep -c "\"$1\""; }
wait_for() { for i in $(seq 3000); do eval "$1" && return 0; sleep 0.02; done; echo "TIMEOUT{$1}"; return 1; }
mark() { m=$(reports); echo "MARK $1 $m"; }
)SH") + answer("stats", kStats) +
                            answer("devs", kDevs) + answer("pools", kPools) + "cat > /tmp/mgmt.script <<'EOS'\n{" +
                            ID +
                            R"(,"cmd":1,"data":[{"url":"stratum+tcp://new.example:3333","user":"acc.w1","pass":"x"}]})"
                            "\nEOS\n" +
                            R"SH(
$B/kmx-test-api-peer --dir /tmp/api --ready /tmp/api.ready & peer=$!
$B/kmx-sim-mgmt --port 20001 --connections 1000 --script /tmp/mgmt.script --ready /tmp/mgmt.ready &
wait_for '[ -f /tmp/api.ready ] && [ -f /tmp/mgmt.ready ]'
)SH";

const std::string kScript = kStandIns + R"SH(zm_start >/run/sim/zm.out 2>&1

# Not locked: three samples of the history go by (six minutes of the
# board's clock), the sender asks nothing and reports nothing.
wait_for '[ $(asked devs) -ge 3 ]'
echo "UNLOCKED stats=$(asked stats) reports=$(reports)"
echo 1 > /run/sim/flag

# Healthy: reports carry the chains, the active pool and, once resolved,
# the pool addresses. The first report's reply sets new pools.
wait_for "grep -q localhost $R 2>/dev/null"
wait_for "grep -q 'restart cgminer' /run/sim/calls.log"
cp /config/cgminer.conf /tmp/cgminer.after

# Each phase starts with a change and its mark, the count of reports made
# so far; the first report after the mark may come from a cycle that asked
# before the change.
# Stalled miner, then garbage: the reports go on with no chains.
printf '@hang\n' > /tmp/api/stats
mark stalled; wait_for "[ \$(reports) -ge $((m + 3)) ]"
printf 'STATUS=S,When=1|' > /tmp/api/stats
mark garbage; wait_for "[ \$(reports) -ge $((m + 3)) ]"

# Stats fine, devs cut short by a reset: chains without rates, and the
# pools are not asked.
)SH" + answer("stats", kStats) +
                            "printf '@rst 30\\n%s' '" + kDevs + "' > /tmp/api/devs\n" + R"SH(
mark cut; wait_for "[ \$(reports) -ge $((m + 2)) ]"
p=$(asked pools)
wait_for "[ \$(reports) -ge $((m + 4)) ]"
echo "CUT pools_before=$p pools_after=$(asked pools)"

# Miner down.
kill $peer; wait $peer 2>/dev/null
mark down; wait_for "[ \$(reports) -ge $((m + 3)) ]"
mark end
zm_running && echo "DAEMON alive"
)SH";

struct Reports {
    std::vector<json_t *> all;
    // The reports the stand-in server received in the run.
    explicit Reports(const MachineRun &r) {
        std::istringstream in(r.file("/run/sim/mgmt_reports.jsonl"));
        for (std::string line; std::getline(in, line);) {
            json_error_t e;
            json_t *j = json_loads(line.c_str(), 0, &e);
            EXPECT_TRUE(j) << line;
            if (j) all.push_back(j);
        }
    }
    ~Reports() {
        for (json_t *j : all) json_decref(j);
    }
    json_t *data(size_t i) const { return json_array_get(json_object_get(all.at(i), "data"), 0); }
    size_t chains(size_t i) const { return json_array_size(json_object_get(data(i), "chains")); }
};

// Report count at the "MARK name N" line of the output.
size_t mark(const std::string &out, const std::string &name) {
    size_t p = out.find("MARK " + name + " ");
    return p == std::string::npos ? 0 : std::stoul(out.substr(p + 6 + name.size()));
}

// The script in the machine, run to its end with the daemon still there.
MachineRun run_script(const std::string &script) {
    MachineRun r =
        run_daemon_machine(R"({"platform":4,"boards":[],"files":{"/etc/hwrevision":"zynq n5.b\n"}})", script);
    EXPECT_EQ(r.status, 0) << r.out << r.file("/run/sim/zm.out");
    EXPECT_FALSE(has(r.out, "TIMEOUT")) << r.out << r.syslog();
    EXPECT_TRUE(has(r.out, "DAEMON alive")) << r.out;
    return r;
}

TEST(MonitorStatsE2E, ReportsAndHistoryThroughTheMinersMoods) {
    MachineRun r = run_script(kScript);
    ASSERT_FALSE(HasFailure());
    EXPECT_TRUE(has(r.out, "UNLOCKED stats=0 reports=0\n")) << r.out;

    Reports reps(r);
    const size_t stalled = mark(r.out, "stalled"), garbage = mark(r.out, "garbage"), cut = mark(r.out, "cut"),
                 down = mark(r.out, "down"), end = mark(r.out, "end");
    ASSERT_GE(stalled, 1u) << r.out;
    ASSERT_GE(reps.all.size(), end);
    ASSERT_GT(end, down + 2);

    // The last healthy report, in full.
    json_t *d = reps.data(stalled - 1);
    char *text = json_dumps(json_object_get(d, "chains"), JSON_COMPACT | JSON_PRESERVE_ORDER);
    EXPECT_STREQ(text,
                 R"([{"id":0,"rate":1.5,"highTemp":75,"meanTemp":70,"accepted":10,"rejected":1,"hwError":2,"pll":900,"vidVolt":1300,"power":3200},)"
                 R"({"id":2,"rate":14.5,"highTemp":71,"meanTemp":66,"accepted":20,"rejected":3,"hwError":4,"pll":890,"vidVolt":1290,"power":3100}])");
    free(text);
    text = json_dumps(json_object_get(d, "pools_ip"), JSON_COMPACT | JSON_PRESERVE_ORDER);
    EXPECT_STREQ(text,
                 R"([{"url":"127.0.0.1","ip":"127.0.0.1"},{"url":"localhost","ip":"127.0.0.1"},{"url":"x.invalid","ip":""}])");
    free(text);
    EXPECT_EQ(json_integer_value(json_object_get(d, "activePoolIdx")), 1);
    EXPECT_STREQ(json_string_value(json_object_get(d, "powerVendor")), "V");
    EXPECT_EQ(json_integer_value(json_object_get(d, "runtime")), 1234);

    // The server's reply to the first report was carried out.
    EXPECT_TRUE(has(r.file("/tmp/cgminer.after"), "stratum+tcp://new.example:3333"))
        << r.file("/tmp/cgminer.after") << r.out;
    EXPECT_TRUE(has(r.file("/run/sim/calls.log"), "systemctl restart cgminer\n"));

    for (size_t i = stalled + 1; i < garbage; ++i) EXPECT_EQ(reps.chains(i), 0u) << "stalled " << i;
    for (size_t i = garbage + 1; i < cut; ++i) EXPECT_EQ(reps.chains(i), 0u) << "garbage " << i;
    for (size_t i = cut + 1; i < down; ++i) {
        EXPECT_EQ(reps.chains(i), 2u) << "cut " << i;
        EXPECT_EQ(json_real_value(json_object_get(json_array_get(json_object_get(reps.data(i), "chains"), 0), "rate")),
                  0.0)
            << i;
        // The active pool is kept from the last cycle that saw one.
        EXPECT_EQ(json_integer_value(json_object_get(reps.data(i), "activePoolIdx")), 1) << i;
    }
    size_t pos = r.out.find("CUT pools_before=");
    ASSERT_NE(pos, std::string::npos);
    std::string before = r.out.substr(pos + 17, r.out.find(' ', pos + 17) - pos - 17);
    EXPECT_TRUE(has(r.out, "pools_after=" + before + "\n")) << r.out;
    for (size_t i = down + 1; i < end; ++i) EXPECT_EQ(reps.chains(i), 0u) << "down " << i;

    // The history: integer rates per board under each sample's time.
    json_error_t e;
    json_t *hist = json_loads(r.file("/tmp/stats.json").c_str(), 0, &e);
    ASSERT_TRUE(json_is_array(hist)) << r.file("/tmp/stats.json");
    EXPECT_GE(json_array_size(hist), 3u);
    size_t i;
    json_t *sample;
    json_array_foreach(hist, i, sample) {
        void *it = json_object_iter(sample);
        ASSERT_TRUE(it);
        EXPECT_GT(std::stoul(json_object_iter_key(it)), 1600000000ul);
        char *rates = json_dumps(json_object_iter_value(it), JSON_COMPACT | JSON_PRESERVE_ORDER);
        EXPECT_STREQ(rates, R"({"0":3,"2":12345})");
        free(rates);
    }
    json_decref(hist);
    EXPECT_TRUE(has(r.file("/tmp/stats.json"), "[\n   {\n      \"")) << r.file("/tmp/stats.json");
    EXPECT_TRUE(has(r.syslog(), "usedServer: [127.0.0.1:20001]")) << r.syslog();
}

// ---- memory against outsized answers ---------------------------------------

std::string repeated(const std::string &unit, size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += unit;
    return s;
}

// The largest answers taken: 4096 values each. The stats answer holds the
// two boards among small objects; the devs answer names 1,364 boards.
const std::string kStatsAtCap = std::string(kStats).insert(std::strlen(R"({"STATUS":[{"STATUS":"S"}],"STATS":[)"),
                                                           "0," + repeated(R"({"a":{}},)", 1356));
std::string devs_at_cap() {
    std::string t = R"({"DEVS":[)";
    for (int b = 0; b < 1364; ++b) t += R"({"ASC":)" + std::to_string(b) + R"(,"MHS 5m":1},)";
    return t + "0,0]}";
}

const std::string kMemoryScript = kStandIns + R"SH(echo 1 > /run/sim/flag
zm_start >/run/sim/zm.out 2>&1
mem() { echo "MEM $1" $(grep -E '^Vm(HWM|RSS):' /proc/$ZM/status); }
# A phase: its mark, then N reports and the condition.
phase() { mark $1; d=$(asked devs); wait_for "[ \$(reports) -ge $((m + $2)) ] && $3"; mem $1; }
wait_for "[ \$(reports) -ge 3 ]"
mem start

# 3.9 MB of small objects for stats, 20,000 boards named for devs.
{ printf '{"STATUS":[{"STATUS":"S"}],"STATS":['; yes '{"a":1},' | head -n 487500 | tr -d '\n'; printf '{}]}'; } > /tmp/api/stats.new
mv /tmp/api/stats.new /tmp/api/stats
{ printf '{"DEVS":['; printf '{"ASC":%d,"MHS 5m":1000},' $(seq 0 19998); printf '{"ASC":19999}]}'; } > /tmp/api/devs.new
mv /tmp/api/devs.new /tmp/api/devs
# Thirteen reports are 130 s of the board's clock or more: the history's
# sampler asks too.
phase outsized 13 '[ $(asked devs) -ge $((d + 2)) ]'
)SH" + answer("stats", kStatsAtCap) + answer("devs", devs_at_cap()) +
                                   R"SH(phase atcap 3 "grep -q '\"7\": 1' /tmp/stats.json"
)SH" + answer("stats", kStats) + answer("devs", kDevs) + R"SH(phase normal 3 'tail -n 5 /tmp/stats.json | grep -q 12345'
zm_running && echo "DAEMON alive"
)SH";

// kB of the "MEM phase" line's field ("VmHWM:" or "VmRSS:"); -1 when missing.
long mem_kb(const std::string &out, const std::string &phase, const std::string &field) {
    size_t p = out.find("MEM " + phase + " ");
    if (p == std::string::npos) return -1;
    const std::string line = out.substr(p, out.find('\n', p) - p);
    p = line.find(field);
    return p == std::string::npos ? -1 : std::stol(line.substr(p + field.size()));
}

// The history at its widest for `n` samples: eight boards whose numbers and
// rates take the most characters, under a ten-digit time.
size_t widest_history_size(size_t n) {
    json_t *h = json_array();
    for (size_t i = 0; i < n; ++i) {
        json_t *rates = json_object();
        for (int b = 0; b < 8; ++b)
            json_object_set_new(rates, std::to_string(-2147483647 - 1 + b).c_str(), json_integer(INT64_MIN));
        json_t *sample = json_object();
        json_object_set_new(sample, std::to_string(4000000000u + i).c_str(), rates);
        json_array_append_new(h, sample);
    }
    char *text = json_dumps(h, JSON_INDENT(3));
    const size_t size = strlen(text);
    free(text);
    json_decref(h);
    return size;
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// Answers far beyond what a machine sends are refused whole; those at the
// caps are taken. Either way the daemon's peak stays under 16 MiB, it is
// back under its 8 MiB once normal answers return, and a sample of the
// history keeps the machine's eight boards at most.
TEST(MonitorStatsE2E, OutsizedAnswersCostBoundedMemoryAndHistory) {
    MachineRun r = run_script(kMemoryScript);
    ASSERT_FALSE(HasFailure());

    // The answers at the caps were taken: their reports carry the boards.
    Reports reps(r);
    const size_t atcap = mark(r.out, "atcap"), normal = mark(r.out, "normal");
    ASSERT_GT(normal, atcap + 2) << r.out;
    ASSERT_GE(reps.all.size(), normal);
    for (size_t i = atcap + 1; i < normal; ++i) EXPECT_EQ(reps.chains(i), 2u) << "at the caps " << i;

    json_error_t e;
    const std::string file = r.file("/tmp/stats.json");
    json_t *hist = json_loads(file.c_str(), 0, &e);
    ASSERT_TRUE(json_is_array(hist)) << file.substr(0, 2000);
    size_t i, boards_of_cap = 0;
    json_t *sample;
    json_array_foreach(hist, i, sample) {
        void *it = json_object_iter(sample);
        ASSERT_TRUE(it);
        char *rates = json_dumps(json_object_iter_value(it), JSON_COMPACT);
        const std::string text = rates ? rates : "";
        free(rates);
        if (text == R"({"0":1,"1":1,"2":1,"3":1,"4":1,"5":1,"6":1,"7":1})")
            ++boards_of_cap;
        else
            EXPECT_EQ(text.substr(0, 200), R"({"0":3,"2":12345})") << i;
    }
    EXPECT_GE(boards_of_cap, 1u);
    EXPECT_LE(file.size(), widest_history_size(json_array_size(hist)));
    json_decref(hist);

    if (kSanitized) GTEST_SKIP() << "the sanitizers' own memory hides the daemon's: bounds not checked\n" << r.out;
    const long peak = mem_kb(r.out, "normal", "VmHWM:"), after = mem_kb(r.out, "normal", "VmRSS:");
    ASSERT_GT(peak, 0) << r.out;
    EXPECT_LT(peak, 16 * 1024) << r.out;
    EXPECT_LT(after, 8 * 1024) << r.out;
}

}  // namespace
