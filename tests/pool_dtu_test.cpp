#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>

#include "misc/kmx_dtu.h"
#include "misc/kmx_pool.h"
#include "support/fake_shell.h"
#include "support/log_capture.h"

namespace {

bool log_has(const std::string &part) {
    for (const LogLine &l : log_captured())
        if (l.text.find(part) != std::string::npos) return true;
    return false;
}

void put(const char *path, const std::string &text) { std::ofstream(path, std::ios::trunc) << text; }

std::string hex_cipher(const std::string &plain) {
    char *key = kmx_arg_printe(const_cast<char *>(KMX_CG_KEY_TEXT), 16);
    unsigned char in[256] = {0}, out[256] = {0};
    memcpy(in, plain.data(), plain.size());
    int len = int((plain.size() + 15) / 16 * 16);
    AES_Encrypt(reinterpret_cast<unsigned char *>(key), in, len, out);
    free(key);
    std::string hex;
    char b[3];
    for (int i = 0; i < len; i++) {
        snprintf(b, sizeof b, "%02x", out[i]);
        hex += b;
    }
    return hex;
}

TEST(Aes, Fips197VectorAndRoundTrip) {
    unsigned char key[16], pt[16], ct[16];
    for (int i = 0; i < 16; i++) {
        key[i] = uint8_t(i);
        pt[i] = uint8_t(i * 0x11);
    }
    AES_Encrypt(key, pt, 16, ct);
    const unsigned char want[16] = {0x69, 0xc4, 0xe0, 0xd8, 0x6a, 0x7b, 0x04, 0x30,
                                    0xd8, 0xcd, 0xb7, 0x80, 0x70, 0xb4, 0xc5, 0x5a};
    EXPECT_EQ(memcmp(ct, want, 16), 0);
    unsigned char back[16];
    AES_Decrypt(key, ct, 16, back);
    EXPECT_EQ(memcmp(back, pt, 16), 0);
    unsigned char in[32] = "twenty-byte-value!!", enc[32], dec[32];
    AES_Encrypt(key, in, 20, enc);
    AES_Decrypt(key, enc, 32, dec);
    EXPECT_STREQ(reinterpret_cast<char *>(dec), "twenty-byte-value!!");
}

class Pools : public testing::Test {
protected:
    void SetUp() override {
        fake_shell().reset();
        log_capture_clear();
        unlink("/config/cg.conf");
    }
    void lock(bool on) { fake_shell().answer("/sbin/flagutils read", on ? "1\n" : "0\n"); }
};

TEST_F(Pools, CgConfLinesMapToPoolsAndFields) {
    std::string f = "42\n";
    for (int i = 2; i <= 13; i++) f += hex_cipher("v" + std::to_string(i)) + (i == 4 ? "\r\n" : "\n");
    put("/config/cg.conf", f);
    pool_conf p[3];
    EXPECT_TRUE(kmx_parse_cg_config(p));
    EXPECT_STREQ(p[0].url, "v2");
    EXPECT_STREQ(p[0].pass, "v4");  // CR LF ending
    EXPECT_STREQ(p[1].url, "v5");
    EXPECT_STREQ(p[2].pass, "v10");
    EXPECT_TRUE(log_has("miner config no:42"));
    // An odd digit count leaves the field empty; a bad digit counts as 0.
    put("/config/cg.conf", "1\nabc\n" + std::string(600, 'g') + "\n" + hex_cipher("user") + "\ngg\n");
    EXPECT_TRUE(kmx_parse_cg_config(p));
    EXPECT_STREQ(p[0].url, "");
    // The overlong line counts once: line 4 still holds pool 0's pass.
    EXPECT_STREQ(p[0].pass, "user");
    EXPECT_TRUE(log_has("char_bcd2hex para error!!! \n"));
}

TEST_F(Pools, PlainListReader) {
    pool_config p[3];
    put("/config/cgminer.conf", R"({"pools":[{"url":"a","user":"b","pass":"c"},{"url":"d","user":"e"}]})");
    EXPECT_EQ(load_conf_file(p), -1);
    put("/config/cgminer.conf", R"({"pools":[{"url":"d","user":"e"},{"url":"a","user":"b","pass":"c"}]})");
    EXPECT_EQ(load_conf_file(p), 0);
    put("/config/cgminer.conf", R"({"pools":[42,{"url":"a","user":"b","pass":"c"},{},{},{},{}]})");
    EXPECT_EQ(load_conf_file(p), -1);
    EXPECT_STREQ(p[0].pool_url, "");
    EXPECT_STREQ(p[1].pool_url, "a");
    put("/config/cgminer.conf", R"({"pools":[{"url":")" + std::string(900, 'x') + R"(","user":"b","pass":"c"}]})");
    EXPECT_EQ(load_conf_file(p), 0);
    EXPECT_EQ(strlen(p[0].pool_url), 511u);
    put("/config/cgminer.conf", "[]");
    EXPECT_EQ(load_conf_file(p), -1);
}

TEST_F(Pools, LockedMergeTakesTheSuffixOfThePlainUser) {
    put("/config/cg.conf", "1\n" + hex_cipher("stratum+tcp://enc") + "\n" + hex_cipher("name.s1") + "\n" +
                               hex_cipher("encpass") + "\n");
    put("/config/cgminer.conf", R"({"pools":[{"url":"p","user":"other.s2","pass":"P"}]})");
    put("/etc/cgminer.conf", R"({"pools":[{"url":"p","user":"other.s2","pass":"F"}],"VidOptimal":false})");
    lock(true);
    pool_config mine[3];
    EXPECT_EQ(kmx_get_pool(mine), 0);
    EXPECT_STREQ(mine[0].pool_user, "name.s2");
    EXPECT_STREQ(mine[0].pool_pass, "P");
    pool_conf rep[3];
    EXPECT_TRUE(kmx_get_pools(rep));
    EXPECT_STREQ(rep[0].user, "name.s2");
    EXPECT_STREQ(rep[0].pass, "encpass");
    put("/config/cgminer.conf", R"({"pools":[{"url":"p","user":"other.","pass":"P"}]})");
    EXPECT_EQ(kmx_get_pool(mine), 0);
    EXPECT_STREQ(mine[0].pool_user, "name");
    bool tuned = true;
    EXPECT_TRUE(kmx_get_tune_status(&tuned));
    EXPECT_FALSE(tuned);
    unlink("/config/cg.conf");
    EXPECT_EQ(kmx_get_pool(mine), -1);
    EXPECT_TRUE(kmx_get_pools(rep));
    EXPECT_STREQ(rep[0].url, "");
    lock(false);
    EXPECT_TRUE(kmx_get_pools(rep));
    EXPECT_STREQ(rep[0].pass, "F");
}

TEST_F(Pools, TlsTestAndCountFiles) {
    char a[] = "STRATUM+TLS://x", b[] = "stratum+tcp://x", c[] = "stratum+tls:/";
    EXPECT_TRUE(kmx_parse_pool_type(a));
    EXPECT_FALSE(kmx_parse_pool_type(b));
    EXPECT_FALSE(kmx_parse_pool_type(c));
    char path[] = "/tmp/ad_err_cnt";
    int arr[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    unlink(path);
    get_cnt_array(arr, path);
    EXPECT_EQ(arr[7], 0);
    put(path, "1 2 3");
    for (int &v : arr) v = 9;
    get_cnt_array(arr, path);
    EXPECT_EQ(arr[2], 3);
    EXPECT_EQ(arr[3], 9);
    EXPECT_TRUE(log_has("Error! chain num != KMX_CONFIG_MAX_CHAIN_NUM!"));
    put(path, "1 2 3 4 5 6 7 8 9");
    get_cnt_array(arr, path);
    EXPECT_EQ(arr[7], 8);
    EXPECT_TRUE(log_has("chain num > KMX_CONFIG_MAX_CHAIN_NUM!"));
    int out[8] = {1, 2, 3, 4, 5, 6, 7, -8};
    set_cnt_array(out, path);
    std::string s;
    kos::read_file(path, s);
    EXPECT_EQ(s, "1 2 3 4 5 6 7 -8");
}

// ---- dtu.conf ----------------------------------------------------------------

class Dtu : public testing::Test {
protected:
    void SetUp() override {
        fake_shell().reset();
        fake_shell().answer("ping", "");
        log_capture_clear();
        memset(&cfg, 0, sizeof cfg);
    }
    bool read(const std::string &json) {
        put("/config/dtu.conf", json);
        memset(&cfg, 0, sizeof cfg);
        return kmx_get_dtu_cfg_from_file(&cfg);
    }
    dtu_config cfg;
};

TEST_F(Dtu, EnabledAndDefaults) {
    EXPECT_FALSE(read(R"({"enabled":"false","nucTransfer":"true","nuc_ip":"1.2.3.4"})"));
    EXPECT_TRUE(fake_shell().commands().empty());
    EXPECT_FALSE(read(R"({"enabled":true,"dtu_ip":"1.2.3.4"})"));
    EXPECT_TRUE(log_has("get dtu enabled failed"));
    EXPECT_FALSE(read("{not json"));
    EXPECT_TRUE(log_has("cJSON_Parse failed !"));
    ASSERT_TRUE(read(R"({"enabled":"true","dtu_ip":"127.0.0.1","dtu_port":"0","dtu_interval":"-5","plantId":"-1"})"));
    EXPECT_EQ(cfg.port, 20001);
    EXPECT_EQ(cfg.nucPort, 10001);
    EXPECT_EQ(cfg.interval, 180);
    EXPECT_EQ(cfg.plantId, -1);
    EXPECT_STREQ(cfg.usedIp, "127.0.0.1");
    ASSERT_TRUE(read(R"({"enabled":"true","dtu_port":1234})"));
    EXPECT_EQ(cfg.port, 20001);
    EXPECT_STREQ(cfg.ip, KMX_DTU_DEFAULT_IP);
    EXPECT_FALSE(read(R"({"enabled":"true","dtu_ip":""})"));
}

// A number that does not read whole, or not as an int, is refused with its
// reason like a missing one: never a wrapped or partly read value.
TEST_F(Dtu, PartlyNumericOrOutOfRangeNumbersAreRefused) {
    const struct {
        const char *key, *value, *why;
    } cases[] = {
        {"plantId", "99999999999", "is out of range !"}, {"plantId", "7abc", "is not a whole number !"},
        {"plantId", "2147483648", "is out of range !"},  {"plantId", "", "is not a whole number !"},
        {"plantId", "7 ", "is not a whole number !"},    {"dtu_port", "20002x", "is not a whole number !"},
        {"nuc_port", "4294977297", "is out of range !"}, {"dtu_interval", "1.5", "is not a whole number !"},
    };
    for (const auto &c : cases) {
        SetUp();
        ASSERT_TRUE(read(std::string(R"({"enabled":"true","dtu_ip":"127.0.0.1",")") + c.key + "\":\"" + c.value +
                         "\"}"));
        EXPECT_EQ(cfg.plantId, 0) << c.key << c.value;
        EXPECT_EQ(cfg.port, 20001) << c.key << c.value;
        EXPECT_EQ(cfg.nucPort, 10001) << c.key << c.value;
        EXPECT_EQ(cfg.interval, 180) << c.key << c.value;
        EXPECT_TRUE(log_has_part(std::string(c.key) + ":[" + c.value + "] " + c.why)) << c.key << c.value;
    }
    EXPECT_TRUE(log_has_part("get interval failed or is -1"));
    SetUp();
    ASSERT_TRUE(read(R"({"enabled":"true","dtu_ip":"127.0.0.1","plantId":"2147483647","dtu_port":"-20"})"));
    EXPECT_EQ(cfg.plantId, 2147483647);
    EXPECT_EQ(cfg.port, 20001);
    EXPECT_FALSE(log_has_part("plantId:[")) << "a whole int is taken as it is";
    EXPECT_FALSE(log_has_part("dtu_port:[")) << "a negative int is read, then refused as the default rules say";
    SetUp();
    // 64 characters: one more than the value's buffer holds.
    ASSERT_TRUE(read(R"({"enabled":"true","dtu_ip":"127.0.0.1","plantId":")" + std::string(63, '0') + "7\"}"));
    EXPECT_EQ(cfg.plantId, 0);
    EXPECT_TRUE(log_has_part("is too long !"));
}

TEST_F(Dtu, NucChoiceAndHostileAddress) {
    ASSERT_TRUE(read(R"({"enabled":"true","dtu_ip":"127.0.0.1","nucTransfer":"true","nuc_ip":"127.0.0.2","nuc_port":"9"})"));
    EXPECT_STREQ(cfg.usedIp, "127.0.0.2");
    EXPECT_EQ(cfg.usedPort, 9);
    EXPECT_EQ(fake_shell().commands(), std::vector<std::string>{"ping 127.0.0.2 -c 4"});
    SetUp();
    ASSERT_TRUE(read(R"({"enabled":"true","dtu_ip":"127.0.0.1","nucTransfer":"true","nuc_ip":"1;reboot"})"));
    EXPECT_STREQ(cfg.usedIp, "127.0.0.1");
    EXPECT_TRUE(fake_shell().commands().empty());
    ASSERT_TRUE(read(R"({"enabled":"true","dtu_ip":"127.0.0.1","nucTransfer":"true","nuc_ip":""})"));
    EXPECT_STREQ(cfg.usedIp, "127.0.0.1");
    EXPECT_FALSE(read(R"({"enabled":"true","dtu_ip":"","nucTransfer":"true","nuc_ip":""})"));
    ASSERT_TRUE(read(R"({"enabled":"true","dtu_ip":")" + std::string(100, '9') + R"(","nuc_mac":")" +
                     std::string(100, 'm') + "\"}"));
    EXPECT_EQ(strlen(cfg.ip), 29u);
    EXPECT_EQ(strlen(cfg.nucMac), 17u);
}

TEST_F(Dtu, HostNamesResolveOnceAndLoopbackIsRefused) {
    // No name server answers: lookups beyond the hosts file fail at once.
    put("/etc/resolv.conf", "nameserver 127.0.0.1\n");
    put("/etc/hosts", "127.0.0.1 localhost\n192.0.2.50 cloud.test\n192.0.2.51 other.test\n");
    ASSERT_TRUE(read(R"({"enabled":"true","dtu_name":"localhost","dtu_ip":"192.0.2.9"})"));
    EXPECT_STREQ(cfg.ip, "192.0.2.9");
    ASSERT_TRUE(read(R"({"enabled":"true","dtu_name":"cloud.test","dtu_ip":"192.0.2.9"})"));
    EXPECT_STREQ(cfg.ip, "192.0.2.50");
    put("/etc/hosts", "192.0.2.60 cloud.test\n192.0.2.51 other.test\n");
    log_capture_clear();
    ASSERT_TRUE(read(R"({"enabled":"true","dtu_name":"cloud.test"})"));
    EXPECT_STREQ(cfg.ip, "192.0.2.50");
    EXPECT_TRUE(log_has("use saved ip 192.0.2.50"));
    ASSERT_TRUE(read(R"({"enabled":"true","dtu_name":"other.test"})"));
    EXPECT_STREQ(cfg.ip, "192.0.2.51");
    ASSERT_TRUE(read(R"({"enabled":"true","dtu_name":"nowhere.invalid","dtu_ip":"192.0.2.9"})"));
    EXPECT_STREQ(cfg.ip, "192.0.2.9");
}

TEST_F(Dtu, MissingOrEmptyFileIsCopiedWholeFromTheDefault) {
    const std::string def = R"({"enabled":"true","dtu_ip":"192.0.2.77"})";
    put("/etc/dtu.conf.def", def);
    // A leftover of an earlier interrupted copy is cleared; an unrelated
    // name beside it stays.
    put("/config/dtu.conf.tmpAb12Z9", "{half");
    put("/config/dtu.conf.tmpx", "keep");
    for (const char *damage : {"missing", "empty"}) {
        if (std::string(damage) == "missing")
            unlink("/config/dtu.conf");
        else
            put("/config/dtu.conf", "");
        dtu_config c;
        memset(&c, 0, sizeof c);
        EXPECT_TRUE(kmx_get_dtu_cfg_from_file(&c)) << damage;
        EXPECT_STREQ(c.ip, "192.0.2.77") << damage;
        std::string now;
        ASSERT_TRUE(kos::read_file("/config/dtu.conf", now));
        EXPECT_EQ(now, def) << damage;
        EXPECT_TRUE(fake_shell().commands().empty()) << damage;  // no shell copy
    }
    EXPECT_NE(access("/config/dtu.conf.tmpAb12Z9", F_OK), 0);
    EXPECT_EQ(access("/config/dtu.conf.tmpx", F_OK), 0);
    // Without a default there is nothing to report with, and it says why.
    unlink("/config/dtu.conf");
    unlink("/etc/dtu.conf.def");
    dtu_config c;
    memset(&c, 0, sizeof c);
    EXPECT_FALSE(kmx_get_dtu_cfg_from_file(&c));
    EXPECT_TRUE(log_has("open /etc/dtu.conf.def failed !"));
    EXPECT_NE(access("/config/dtu.conf", F_OK), 0);
}

TEST_F(Dtu, EnvReaderKeepsItsValuesForEveryCaller) {
    fake_shell().answer("/sbin/fw_printenv -n dtu_name", "name.test\n");
    fake_shell().answer("/sbin/fw_printenv -n dtu_ip", std::string(120, '1') + "\n");
    fake_shell().answer("/sbin/fw_printenv -n dtu_port", "5555\n");
    fake_shell().answer("/sbin/fw_printenv -n dtu_interval", "30\n");
    dtu_config a, b;
    memset(&a, 0, sizeof a);
    memset(&b, 0, sizeof b);
    EXPECT_TRUE(kmx_get_dtu_cfg_from_env(&a));
    size_t n = fake_shell().commands().size();
    EXPECT_TRUE(kmx_get_dtu_cfg_from_env(&b));
    EXPECT_EQ(fake_shell().commands().size(), n);
    EXPECT_STREQ(b.domain, "name.test");
    EXPECT_EQ(strlen(b.ip), 29u);
    EXPECT_EQ(b.port, 5555);
    EXPECT_EQ(b.interval, 30);
}

}  // namespace
