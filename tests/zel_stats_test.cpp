// The daemon's API client against an in-process scripted peer, the folding
// of the answers into report records, the hash-rate history in the
// machine's /tmp and the pool resolver.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "os/os.h"
#include "stats.h"
#include "support/log_capture.h"
#include "support/loopback.h"

namespace {

using namespace zelmon;

// A loopback peer: each connection's first read is recorded, then the
// handler answers on the socket (and the peer closes it afterwards).
class Peer {
public:
    using Handler = std::function<void(int fd, const std::string &request)>;
    explicit Peer(Handler h, int port = 0) : handler_(std::move(h)) {
        lfd_ = loopback::listen_on(port, 8, &port_);
        EXPECT_GE(lfd_, 0);
        thread_ = std::thread([this] { run(); });
    }
    ~Peer() {
        stop_ = true;
        shutdown(lfd_, SHUT_RDWR);
        thread_.join();
        close(lfd_);
    }
    int port() const { return port_; }
    std::vector<std::string> requests() {
        std::lock_guard<std::mutex> g(lock_);
        return requests_;
    }

private:
    void run() {
        for (;;) {
            int fd = accept(lfd_, nullptr, nullptr);
            if (fd < 0) return;
            char buf[4096];
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            std::string req = n > 0 ? std::string(buf, size_t(n)) : std::string();
            {
                std::lock_guard<std::mutex> g(lock_);
                requests_.push_back(req);
            }
            handler_(fd, req);
            close(fd);
            if (stop_) return;
        }
    }
    Handler handler_;
    int lfd_ = -1, port_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

Peer::Handler answer(const std::string &text) {
    return [text](int fd, const std::string &) { loopback::send_all(fd, text); };
}

// A JSON object of exactly `size` bytes: {"pad":"xxx..."}.
std::string json_of_size(size_t size) { return "{\"pad\":\"" + std::string(size - 10, 'x') + "\"}"; }

json_t *call(int port, const char *cmd, int *rc) {
    json_t *r = reinterpret_cast<json_t *>(0x1);
    *rc = call_miner_api(cmd, "127.0.0.1", port, &r);
    return r;
}

bool logged(const std::string &part) {
    for (const LogLine &l : log_captured())
        if (l.text.find(part) != std::string::npos) return true;
    return false;
}

// The machine has no name server: unknown names must fail at once rather
// than after the resolver's timeouts.
void offline_names() { ASSERT_TRUE(kos::write_file_atomic("/etc/resolv.conf", "nameserver 127.0.0.1\n")); }

json_t *parse(const char *text) {
    json_error_t e;
    json_t *j = json_loads(text, 0, &e);
    EXPECT_NE(j, nullptr) << text << ": " << e.text;
    return j;
}

// ---- the client ------------------------------------------------------------------

TEST(MinerApiClient, SendsTheExactCommandOnAFreshConnectionEach) {
    Peer peer(answer("{\"STATUS\":[]}"));
    int rc = 0;
    for (const char *cmd : {kCmdStats, kCmdDevs, kCmdPools}) {
        json_t *r = call(peer.port(), cmd, &rc);
        EXPECT_EQ(rc, 0);
        EXPECT_TRUE(json_is_object(r));
        json_decref(r);
    }
    EXPECT_EQ(peer.requests(), (std::vector<std::string>{"{\"command\" : \"stats\"}", "{\"command\" : \"devs\"}",
                                                         "{\"command\" : \"pools\"}"}));
}

TEST(MinerApiClient, AnswersAcrossTheBufferSizesParseWhole) {
    // 65535 and its NUL: the largest answer taken.
    for (size_t size : {size_t(16383), size_t(16384), size_t(40000), size_t(65535)}) {
        const std::string text = json_of_size(size);
        // The miner ends its answer with a NUL byte.
        Peer peer(answer(text + std::string(1, '\0')));
        int rc = 0;
        json_t *r = call(peer.port(), kCmdStats, &rc);
        ASSERT_EQ(rc, 0) << size;
        EXPECT_EQ(strlen(json_string_value(json_object_get(r, "pad"))), size - 10) << size;
        json_decref(r);
    }
}

TEST(MinerApiClient, ASlowButFinishingMinerIsWaitedFor) {
    // The answer comes in pieces, the first after a pause.
    Peer peer([](int fd, const std::string &) {
        poll(nullptr, 0, 300);
        loopback::send_all(fd, "{\"STATS\":");
        poll(nullptr, 0, 100);
        loopback::send_all(fd, "[1]}");
    });
    int rc = 0;
    json_t *r = call(peer.port(), kCmdStats, &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(json_array_size(json_object_get(r, "STATS")), 1u);
    json_decref(r);
}

TEST(MinerApiClient, FailuresReturnNoResult) {
    int rc = 0;
    json_t *r = nullptr;
    {
        Peer peer(answer("STATUS=S,When=1|"));  // not JSON
        r = call(peer.port(), kCmdStats, &rc);
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(r, nullptr);
    }
    {
        // Cut short by a reset: the part that arrived is not used, even
        // when it happens to parse.
        Peer peer([](int fd, const std::string &) {
            loopback::send_all(fd, "{\"STATS\":[]}");
            linger lg{1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        });
        r = call(peer.port(), kCmdStats, &rc);
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(r, nullptr);
    }
    {
        // Nobody listens any more on this port.
        int port;
        {
            Peer gone(answer("{}"));
            port = gone.port();
        }
        r = call(port, kCmdStats, &rc);
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(r, nullptr);
    }
    offline_names();
    r = reinterpret_cast<json_t *>(0x1);
    EXPECT_EQ(call_miner_api(kCmdStats, "x.invalid", 4028, &r), 1);
    EXPECT_EQ(r, nullptr);
}

TEST(MinerApiClient, AStalledOrFloodingMinerDoesNotHoldTheCaller) {
    int rc = 0;
    {
        // Accepts, reads, then neither answers nor closes until we are gone.
        Peer peer([](int fd, const std::string &) {
            char c;
            while (recv(fd, &c, 1, 0) > 0) {
            }
        });
        json_t *r = call(peer.port(), kCmdDevs, &rc);
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(r, nullptr);
    }
    {
        // Whole and well formed, but one byte over 64 KiB with its NUL.
        Peer peer(answer(json_of_size(65536) + std::string(1, '\0')));
        json_t *r = call(peer.port(), kCmdDevs, &rc);
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(r, nullptr);
    }
    {
        // Sends without end: the answer is refused past the cap.
        Peer peer([](int fd, const std::string &) {
            const std::string block(65536, ' ');
            for (size_t sent = 0; sent <= kApiAnswerMax + block.size(); sent += block.size())
                if (send(fd, block.data(), block.size(), MSG_NOSIGNAL) <= 0) return;
        });
        json_t *r = call(peer.port(), kCmdDevs, &rc);
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(r, nullptr);
    }
}

TEST(MinerApiClient, AnswersOfMoreValuesThanAMachineSendsAreNotParsed) {
    // An array of n numbers is n + 1 values.
    auto numbers = [](size_t n) {
        std::string t = "[0";
        for (size_t i = 1; i < n; ++i) t += ",0";
        return t + "]";
    };
    json_t *r = parse_api_answer(numbers(4095).c_str(), 20000);
    EXPECT_EQ(json_array_size(r), 4095u);
    json_decref(r);
    log_capture_clear();
    EXPECT_EQ(parse_api_answer(numbers(4096).c_str(), 20000), nullptr);
    EXPECT_TRUE(logged("answer holds too many values"));
    // Commas and brackets inside texts, an escaped quote among them, are
    // no values.
    const std::string text = "[\"\\\"" + std::string(5000, ',') + "[{\"]";
    r = parse_api_answer(text.c_str(), text.size());
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(strlen(json_string_value(json_array_get(r, 0))), 5003u) << text.substr(0, 10);
    json_decref(r);
}

// ---- report records ------------------------------------------------------------

struct Folded {
    chain_status rec[kChainRecords];
    int slots[kChainSlots];
    int filled;
};

Folded fold(const char *stats, const char *devs) {
    Folded f;
    memset(f.rec, 0, sizeof f.rec);
    json_t *s = parse(stats);
    f.filled = fold_stats(s, f.rec, f.slots);
    json_decref(s);
    if (devs) {
        json_t *d = parse(devs);
        fold_devs(d, f.slots, f.rec);
        json_decref(d);
    }
    return f;
}

TEST(ReportRecords, ElementsWithoutAUsableChainIdAreSkippedWithTheirDevs) {
    Folded f = fold(R"({"STATS":[
        {"Fan duty":99,"power":1},
        {"Chain ID":1,"power":11},
        {"Chain ID":9,"power":99},
        {"Chain ID":-1,"power":99},
        {"ID":"POOL0"},
        {"Chain ID":"3","power":99},
        {"Chain ID":2.5,"power":99},
        {"Chain ID":4.0,"power":44},
        {"Chain ID":5,"power":55}]})",
                    R"({"DEVS":[{"MHS av":1,"Accepted":1},{"MHS av":300,"Accepted":300},{"MHS av":300},
        {"MHS av":300},{"MHS av":300},{"MHS av":4,"Accepted":4}]})");
    EXPECT_EQ(f.filled, 3);
    EXPECT_EQ((std::vector<int>(f.slots, f.slots + kChainSlots)), (std::vector<int>{1, -1, -1, -1, -1, 4, 5, -1}));
    // Nothing of the leading summary element lands on chain 0.
    EXPECT_FALSE(f.rec[0].valid);
    EXPECT_EQ(f.rec[0].accCnt, 0);
    EXPECT_EQ(f.rec[1].power, 11);
    EXPECT_EQ(f.rec[1].accCnt, 1);
    EXPECT_EQ(f.rec[4].power, 44);
    EXPECT_EQ(f.rec[4].accCnt, 4);
    // DEVS shorter than STATS: chain 5 keeps its stats, no rates.
    EXPECT_TRUE(f.rec[5].valid);
    EXPECT_EQ(f.rec[5].hash, 0.0);
    for (int i : {2, 3, 6, 7, 8}) EXPECT_FALSE(f.rec[i].valid) << i;
}

TEST(ReportRecords, AtMostEightBoards) {
    std::string stats = "{\"STATS\":[";
    for (int i = 0; i < 9; ++i) stats += std::string(i ? "," : "") + "{\"Chain ID\":" + std::to_string(8 - i) + "}";
    Folded f = fold((stats + "]}").c_str(), nullptr);
    EXPECT_EQ(f.filled, 8);
    EXPECT_FALSE(f.rec[0].valid);
    EXPECT_TRUE(f.rec[8].valid);
}

TEST(ReportRecords, TheRateFollowsTheDeviceAge) {
    struct Case {
        int elapsed;
        double rate;
    } cases[] = {{299, 1}, {300, 2}, {899, 2}, {900, 3}, {3599, 3}, {3600, 4}};
    for (const Case &c : cases) {
        std::string devs = "{\"DEVS\":[{\"Device Elapsed\":" + std::to_string(c.elapsed) +
                           ",\"MHS 5s\":1.0,\"MHS 1m\":2.0,\"MHS 5m\":3.0,\"MHS 15m\":4.0,\"MHS av\":5.0}]}";
        Folded f = fold(R"({"STATS":[{"Chain ID":0}]})", devs.c_str());
        EXPECT_EQ(f.rec[0].hash, c.rate) << c.elapsed;
    }
    Folded f = fold(R"({"STATS":[{"Chain ID":0}]})",
                    R"({"DEVS":[{"Device Elapsed":5000,"MHS 5s":1.0,"MHS 5m":3.0,"MHS av":5.0}]})");
    EXPECT_EQ(f.rec[0].hash, 5.0);
}

TEST(ReportRecords, HostileValuesStayInRange) {
    const std::string vendor(60, 'v');
    std::string devs = R"({"DEVS":[{"MHS av":1e300,"Accepted":-1e300,"Rejected":"7","Power Vendor":")" + vendor +
                       R"(","Power Version":5}]})";
    Folded f = fold(R"({"STATS":[{"Chain ID":0,"Temp max":1e300,"Elapsed":-1e300,"power":[1]}]})", devs.c_str());
    EXPECT_EQ(f.rec[0].tmp_hi, INT_MAX);
    EXPECT_EQ(f.rec[0].power, 0);
    EXPECT_EQ(f.rec[0].accCnt, INT_MIN);
    EXPECT_EQ(f.rec[0].rejCnt, 0);
    EXPECT_EQ(std::string(f.rec[0].powerVendor), vendor.substr(0, 29));
    EXPECT_STREQ(f.rec[0].powerVersion, "");
    // Answers that are not objects at all.
    Folded g = fold("[1,2,3]", "[\"DEVS\"]");
    EXPECT_EQ(g.filled, 0);
}

TEST(ReportRecords, ActivePool) {
    json_t *none = parse(R"({"POOLS":[{"POOL":0,"Stratum Active":false},{"POOL":1,"Stratum Active":"true"}]})");
    json_t *second = parse(R"({"POOLS":[{"POOL":0,"Stratum Active":false},{"POOL":1,"Stratum Active":true},
                                       {"POOL":2,"Stratum Active":true}]})");
    EXPECT_EQ(active_pool_index(none, -1), -1);
    EXPECT_EQ(active_pool_index(second, -1), 1);
    EXPECT_EQ(active_pool_index(none, 1), 1);
    EXPECT_EQ(active_pool_index(nullptr, 2), 2);
    json_decref(none);
    json_decref(second);
}

// ---- history ----------------------------------------------------------------

std::string file_text() {
    std::string s;
    kos::read_file(kStatsFile, s, 16 << 20);
    return s;
}

json_t *history_with(size_t n) {
    json_t *h = json_array();
    for (size_t i = 0; i < n; ++i) {
        json_t *rates = json_object();
        json_object_set_new(rates, "0", json_integer(json_int_t(i)));
        json_t *s = json_object();
        json_object_set_new(s, std::to_string(1000 + i).c_str(), rates);
        json_array_append_new(h, s);
    }
    return h;
}

// The sample time of element i of the file.
std::string key_at(json_t *h, size_t i) {
    void *it = json_object_iter(json_array_get(h, i));
    return it ? json_object_iter_key(it) : "";
}

const char *kDevs = R"({"DEVS":[{"ASC":0,"MHS 5m":3.99},{"ASC":2,"MHS 5m":12345},{"MHS 5m":7.0}]})";

TEST(StatsHistory, BoundedAtOneDayDroppingTheOldest) {
    for (size_t before : {size_t(719), size_t(720), size_t(725)}) {
        json_t *h = history_with(before);
        json_t *d = parse(kDevs);
        history_add(h, stats_sample(d, 5u));
        json_decref(d);
        EXPECT_EQ(json_array_size(h), 720u) << before;
        EXPECT_EQ(key_at(h, 0), std::to_string(1000 + (before < 720 ? 0 : before - 719))) << before;
        EXPECT_EQ(key_at(h, 719), "5") << before;
        json_decref(h);
    }
    // Whatever the answer names, a sample keeps the machine's eight boards.
    std::string devs = R"({"DEVS":[)";
    for (int b = 0; b < 20; ++b) devs += (b ? "," : "") + std::string(R"({"ASC":)") + std::to_string(b + 100) + "}";
    json_t *d = parse((devs + "]}").c_str());
    json_t *sample = stats_sample(d, 5u);
    char *text = json_dumps(json_object_get(sample, "5"), JSON_COMPACT);
    EXPECT_STREQ(text, R"({"100":0,"101":0,"102":0,"103":0,"104":0,"105":0,"106":0,"107":0})");
    free(text);
    json_decref(sample);
    json_decref(d);
}

TEST(StatsHistory, SamplerCycleAgainstTheMiner) {
    unlink(kStatsFile);
    ASSERT_TRUE(create_stats_file(nullptr));
    EXPECT_EQ(file_text(), "[]");
    {
        // Miner silent: nothing written.
        stats_cycle(10);
        EXPECT_EQ(file_text(), "[]");
    }
    Peer peer(answer(kDevs), kMinerPort);
    stats_cycle(11);
    stats_cycle(12);
    EXPECT_EQ(file_text(), "[\n   {\n      \"11\": {\n         \"0\": 3,\n         \"2\": 12345\n      }\n   },\n"
                           "   {\n      \"12\": {\n         \"0\": 3,\n         \"2\": 12345\n      }\n   }\n]");
    // A damaged file is replaced rather than stopping the history.
    for (const char *damage : {"[{\"1\":{\"0\":1}},", "{\"not\":\"an array\"}", ""}) {
        ASSERT_TRUE(kos::write_file_atomic(kStatsFile, damage));
        log_capture_clear();
        stats_cycle(13);
        json_t *h = nullptr;
        ASSERT_TRUE(load_stats_file(&h)) << damage;
        EXPECT_EQ(json_array_size(h), 1u) << damage;
        EXPECT_EQ(key_at(h, 0), "13");
        json_decref(h);
        EXPECT_TRUE(logged("history started afresh")) << damage;
    }
    unlink(kStatsFile);
    stats_cycle(14);
    json_t *h = nullptr;
    ASSERT_TRUE(load_stats_file(&h));
    EXPECT_EQ(json_array_size(h), 1u);
    json_decref(h);
}

// ---- pool resolver ----------------------------------------------------------

TEST(PoolResolver, HostsBetweenSchemeAndPort) {
    bool cut = true;
    EXPECT_EQ(pool_host("stratum+tcp://pool.example:3333", &cut), "pool.example");
    EXPECT_FALSE(cut);
    EXPECT_EQ(pool_host("pool.example:3333", &cut), "");
    EXPECT_EQ(pool_host("stratum+tcp://pool.example", &cut), "");
    EXPECT_EQ(pool_host(nullptr, &cut), "");
    const std::string longname(60, 'h');
    EXPECT_EQ(pool_host(("stratum+tcp://" + longname + ":1").c_str(), &cut), longname.substr(0, 49));
    EXPECT_TRUE(cut);
}

using Entries = std::vector<std::pair<std::string, std::string>>;

// Resolves the pools of `json` and returns the three (host, address) entries.
Entries resolved(const char *json) {
    json_t *pools = json ? parse(json) : nullptr;
    resolve_pools(pools);
    json_decref(pools);
    Entries e;
    for (int i = 0; i < 3; ++i) e.emplace_back(pool_ip_rst.pool_url[i], pool_ip_rst.pool_ip[i]);
    return e;
}

TEST(PoolResolver, ThreeEntriesAlwaysWritten) {
    offline_names();
    memset(&pool_ip_rst, 'z', sizeof pool_ip_rst);
    EXPECT_EQ(resolved(R"([{"URL":"stratum+tcp://127.0.0.1:3333"},{"URL":"stratum+tcp://x.invalid:3333"}])"),
              (Entries{{"127.0.0.1", "127.0.0.1"}, {"x.invalid", ""}, {"", ""}}));
    EXPECT_TRUE(pool_ip_rst.finish_flag);
    EXPECT_EQ(resolved(R"([{"URL":5},{"url":"stratum+tcp://127.0.0.1:1"},{"URL":"stratum+tcp://localhost:1"}])"),
              (Entries{{"", ""}, {"", ""}, {"localhost", "127.0.0.1"}}));
    EXPECT_EQ(resolved(nullptr), (Entries{{"", ""}, {"", ""}, {"", ""}}));
}

}  // namespace
