// The legacy status path: frame layout, the 16-bit checksum, the message,
// and the TCP and UDP sends to receivers on this machine's loopback.
#include <gtest/gtest.h>
#include <jansson.h>
#include <lz4.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "misc/kmx_ini.h"
#include "misc/kmx_legacy.h"
#include "support/fake_shell.h"
#include "support/log_capture.h"

namespace {

void put(const char *path, const std::string &text) { std::ofstream(path, std::ios::trunc) << text; }

// A listening socket on 127.0.0.1 with a kernel-chosen port.
int listen_on(int type, int *port) {
    int fd = socket(AF_INET, type, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    if (type == SOCK_STREAM) listen(fd, 4);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    *port = ntohs(a.sin_port);
    return fd;
}

// The fake receiver: head and length, then the rest of the frame and the
// check byte; everything up to the peer's close.
struct Received {
    std::string bytes;
    bool sum_ok = false;
    std::string payload;
};

Received receive_one(int lfd) {
    Received r;
    int c = accept(lfd, nullptr, nullptr);
    char buf[8192];
    ssize_t n;
    while ((n = read(c, buf, sizeof buf)) > 0) r.bytes.append(buf, size_t(n));
    close(c);
    if (r.bytes.size() < 5) return r;
    const size_t len = size_t(uint8_t(r.bytes[2])) << 8 | uint8_t(r.bytes[3]);
    if (r.bytes.size() != len + 1) return r;
    uint8_t sum = 0;
    for (size_t i = 0; i < len; i++) sum = uint8_t(sum + uint8_t(r.bytes[i]));
    r.sum_ok = sum == uint8_t(r.bytes[len]);
    r.payload = r.bytes.substr(4, len - 4);
    return r;
}

class Legacy : public testing::Test {
protected:
    void SetUp() override {
        fake_shell().reset();
        fake_shell().answer("/sbin/fw_printenv -n image_flag", "a\n");
        fake_shell().answer("/sbin/fw_printenv -n version_a", "1.2.3\n");
        fake_shell().answer("/sbin/flagutils read", "0\n");
        put("/etc/hwrevision", "B37 rk9h.abc\n");
        put("/etc/cgminer.conf",
            R"({"pools":[{"url":"u1","user":"acct.worker","pass":"p1"},{"url":"","user":"x","pass":"y"},{"url":"u3","user":"","pass":"p3"}]})");
        memset(&cfg, 0, sizeof cfg);
        memset(chains, 0, sizeof chains);
        strcpy(cfg.ip, "127.0.0.1");
        log_capture_clear();
    }
    dtu_config cfg;
    chain_status chains[9];
};

TEST_F(Legacy, FrameLengthAndCheck) {
    const unsigned char braces[] = "{}";
    EXPECT_EQ(kmx_legacy_frame(braces, 2), (std::vector<unsigned char>{0xAA, 0xBB, 0x00, 0x06, 0x7B, 0x7D, 0x63}));
    std::vector<unsigned char> p(300, 'x');
    std::vector<unsigned char> f = kmx_legacy_frame(p.data(), p.size());
    ASSERT_EQ(f.size(), 305u);
    EXPECT_EQ(f[2], 0x01);
    EXPECT_EQ(f[3], 0x30);
    std::vector<unsigned char> ten(10, 'a');
    f = kmx_legacy_frame(ten.data(), 10);
    EXPECT_EQ(f[3], 0x0E);
    EXPECT_EQ(f[4], 'a');
    uint8_t sum = 0;
    for (size_t i = 0; i < 14; i++) sum = uint8_t(sum + f[i]);
    EXPECT_EQ(f[14], sum);
    // The frame buffer holds 4096 bytes: a longer payload is refused.
    std::vector<unsigned char> big(KMX_LEGACY_MAX_PAYLOAD + 1, 'b');
    EXPECT_TRUE(kmx_legacy_frame(big.data(), big.size()).empty());
    EXPECT_EQ(kmx_legacy_frame(big.data(), big.size() - 1).size(), 4096u);
}

TEST_F(Legacy, Checksum16) {
    unsigned short out = 0;
    unsigned char two[] = {0x01, 0x02}, one[] = {0x01};
    ASSERT_EQ(kmx_checksum_16bit(two, 2, &out), 0);
    EXPECT_EQ(out, 0xFDFE);
    ASSERT_EQ(kmx_checksum_16bit(one, 1, &out), 0);
    EXPECT_EQ(out, 0xFEFF);
    // Carries fold back into the low 16 bits.
    unsigned char carry[] = {0xFF, 0xFF, 0x02, 0x00};
    ASSERT_EQ(kmx_checksum_16bit(carry, 4, &out), 0);
    EXPECT_EQ(out, 0xFFFD);
    EXPECT_EQ(kmx_checksum_16bit(nullptr, 2, &out), -1);
    EXPECT_EQ(kmx_checksum_16bit(two, 0, &out), -1);
}

TEST_F(Legacy, StatusMessageOverTcp) {
    int port = 0;
    int lfd = listen_on(SOCK_STREAM, &port);
    // No server chosen (settings from U-Boot): the Cloud address is used.
    cfg.port = port;
    cfg.plantId = 0;
    chains[0].valid = true;
    chains[0].hash = 123.456;
    chains[0].tmp_hi = 71;
    chains[0].tmp_av = 60;
    chains[0].fan_duty = 55;
    chains[8].valid = true;  // never listed
    Received got;
    std::thread peer([&] { got = receive_one(lfd); });
    EXPECT_TRUE(kmx_send_status(&cfg, chains));
    peer.join();
    close(lfd);
    ASSERT_TRUE(got.sum_ok) << got.bytes;
    json_error_t e;
    json_t *j = json_loads(got.payload.c_str(), JSON_PRESERVE_ORDER, &e);
    ASSERT_TRUE(j) << got.payload;
    std::string keys;
    const char *k;
    json_t *v;
    json_object_foreach(j, k, v) keys += std::string(k) + ",";
    EXPECT_EQ(keys, "type,plantId,duty,mac,ip,hwver,dna,fwver,pools,chains,runtime,lock,");
    EXPECT_TRUE(json_is_integer(json_object_get(j, "plantId")));
    EXPECT_STREQ(json_string_value(json_object_get(j, "type")), "rk9h");
    EXPECT_STREQ(json_string_value(json_object_get(j, "fwver")), "1.2.3");
    EXPECT_STREQ(json_string_value(json_object_get(j, "lock")), "0");
    json_t *pools = json_object_get(j, "pools");
    ASSERT_EQ(json_array_size(pools), 2u);
    // The user is sent whole, not split at its dot.
    EXPECT_STREQ(json_string_value(json_object_get(json_array_get(pools, 0), "user")), "acct.worker");
    EXPECT_STREQ(json_string_value(json_object_get(json_array_get(pools, 1), "url")), "u3");
    json_t *ch = json_object_get(j, "chains");
    ASSERT_EQ(json_array_size(ch), 1u);
    char *c0 = json_dumps(json_array_get(ch, 0), JSON_PRESERVE_ORDER | JSON_COMPACT);
    EXPECT_STREQ(c0, R"({"id":"0","rate":"123.46","high":"71","mean":"60"})");
    free(c0);
    json_decref(j);
}

TEST_F(Legacy, NoValidChain) {
    int port = 0;
    int lfd = listen_on(SOCK_STREAM, &port);
    cfg.port = port;
    Received got;
    std::thread peer([&] { got = receive_one(lfd); });
    EXPECT_TRUE(kmx_send_status(&cfg, chains));
    peer.join();
    close(lfd);
    json_t *j = json_loads(got.payload.c_str(), 0, nullptr);
    ASSERT_TRUE(j) << got.payload;
    EXPECT_EQ(json_array_size(json_object_get(j, "chains")), 0u);
    EXPECT_STREQ(json_string_value(json_object_get(j, "runtime")), "0");
    EXPECT_STREQ(json_string_value(json_object_get(j, "duty")), "-1");
    json_decref(j);
}

TEST_F(Legacy, TcpGoesToTheChosenServerCompressed) {
    int port = 0;
    int lfd = listen_on(SOCK_STREAM, &port);
    char used[] = "127.0.0.1";
    cfg.port = 1;  // the Cloud address is not the one used
    cfg.usedIp = used;
    cfg.usedPort = port;
    cfg.compressed = true;
    const std::string text = R"({"type":"rk9h","pad":")" + std::string(600, 'z') + "\"}";
    Received got;
    std::thread peer([&] { got = receive_one(lfd); });
    EXPECT_TRUE(kmx_tcp_send(reinterpret_cast<unsigned char *>(const_cast<char *>(text.c_str())), &cfg));
    peer.join();
    close(lfd);
    ASSERT_TRUE(got.sum_ok);
    ASSERT_LT(got.payload.size(), text.size());
    std::vector<char> out(text.size() + 1);
    const int n = LZ4_decompress_safe(got.payload.data(), out.data(), int(got.payload.size()), int(out.size()));
    ASSERT_EQ(n, int(text.size()) + 1);
    EXPECT_EQ(std::string(out.data()), text);
    EXPECT_TRUE(log_has_part("compressed data successfully !s_size:" + std::to_string(text.size() + 1)));
}

TEST_F(Legacy, TcpRefusedOrTooLarge) {
    int port = 0;
    int lfd = listen_on(SOCK_STREAM, &port);
    close(lfd);  // nobody listens there now
    cfg.port = port;
    unsigned char text[] = "{}";
    EXPECT_FALSE(kmx_tcp_send(text, &cfg));
    EXPECT_TRUE(log_has_part("ip:127.0.0.1   port:" + std::to_string(port)));
    EXPECT_FALSE(kmx_tcp_send(nullptr, &cfg));
    std::string big(5000, 'q');
    EXPECT_FALSE(kmx_tcp_send(reinterpret_cast<unsigned char *>(big.data()), &cfg));
}

TEST_F(Legacy, UdpGoesToTheCloudAddress) {
    int port = 0;
    int ufd = listen_on(SOCK_DGRAM, &port);
    char used[] = "127.0.0.2";
    cfg.port = port;
    cfg.usedIp = used;
    cfg.usedPort = 9;
    unsigned char text[] = R"({"a":1})";
    EXPECT_TRUE(kmx_udp_send(text, &cfg));
    timeval tv = {5, 0};  // a lost datagram fails the case instead of hanging it
    setsockopt(ufd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char buf[64];
    const ssize_t n = recv(ufd, buf, sizeof buf, 0);
    close(ufd);
    ASSERT_EQ(n, ssize_t(sizeof text - 1 + 5));
    EXPECT_EQ(std::string(buf + 4, size_t(n) - 5), R"({"a":1})");
}

std::string ini_value(const char *key) {
    char v[128] = "";
    return kmx_read_key_from_ini(key, v, KMX_STATUS_INI, sizeof v) ? v : "<none>";
}

TEST_F(Legacy, MinerStatusStartNumbersTheRunAndWritesItsPools) {
    mkdir("/miners", 0755);
    unlink(KMX_STATUS_INI);
    kmx_legacy_miner_status_start();
    EXPECT_EQ(g_total_start_cnt, 1);
    EXPECT_EQ(ini_value("now:count"), "1");
    // Unlocked: the pools of /etc/cgminer.conf, those with a url only.
    EXPECT_EQ(ini_value("times_1:pool1"), "u1");
    EXPECT_EQ(ini_value("times_1:user1"), "acct.worker");
    EXPECT_EQ(ini_value("times_1:pass1"), "p1");
    EXPECT_EQ(ini_value("times_1:pool2"), "<none>");
    EXPECT_EQ(ini_value("times_1:user2"), "<none>");
    EXPECT_EQ(ini_value("times_1:pool3"), "u3");
    EXPECT_EQ(ini_value("times_1:lock"), "0");
    EXPECT_NE(ini_value("times_1:start_t"), "<none>");
    kmx_legacy_miner_status_start();
    EXPECT_EQ(g_total_start_cnt, 2);
    EXPECT_EQ(ini_value("times_2:pool3"), "u3");
    EXPECT_EQ(ini_value("times_1:pool1"), "u1");
}

}  // namespace
