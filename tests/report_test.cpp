#include <gtest/gtest.h>
#include <jansson.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>

#include "misc/kmx_report.h"
#include "misc/kmx_report_internal.h"
#include "support/fake_shell.h"

namespace {

void put(const char *path, const std::string &text) { std::ofstream(path, std::ios::trunc) << text; }

class Report : public testing::Test {
protected:
    void SetUp() override {
        fake_shell().reset();
        fake_shell().answer("/sbin/fw_printenv -n image_flag", "a\n");
        fake_shell().answer("/sbin/fw_printenv -n version_a", "1.2.3\n");
        fake_shell().answer("/sbin/fw_printenv -n standby", "0\n");
        fake_shell().answer("/sbin/flagutils read", "0\n");
        fake_shell().answer("/bin/top", "Mem: 201504K used, 302412K free, 0K shrd\nLoad: x\n");
        fake_shell().answer("/bin/uptime", "  10:00 up 1 day\r\n");
        fake_shell().answer("cat /config/network", "yes\n");
        memset(&cfg, 0, sizeof cfg);
        memset(chains, 0, sizeof chains);
        put("/etc/hwrevision", "B37 rk9h.abc\n");
        put("/etc/cgminer.conf",
            R"({"pools":[{"url":"u1","user":"acct.worker","pass":"p1"},{"url":"u2","user":"","pass":"p2"},{"url":"u3","user":"acct","pass":"p3"}]})");
        put("/config/cgminer.conf", R"({"N5efficient":false,"N5performance":true})");
        put("/tmp/errcode", "26\nSETVOL_FAIL\n");
        unlink("/tmp/psu_info");
    }
    json_t *build(int idx) {
        std::string text = kmx_build_report(&cfg, chains, idx);
        json_error_t e;
        json_t *j = json_loads(text.c_str(), JSON_PRESERVE_ORDER, &e);
        EXPECT_TRUE(j) << text;
        return j;
    }
    static std::string keys(json_t *obj) {
        std::string k;
        const char *key;
        json_t *v;
        json_object_foreach(obj, key, v) k += std::string(key) + ",";
        return k;
    }
    dtu_config cfg;
    chain_status chains[9];
};

TEST_F(Report, DnaIsRetriedUntilReadThenKept) {
    // Runs first: the DNA is kept once this process has read it.
    rename("/sys/class/misc/dna/dna", "/sys/class/misc/dna/dna.saved");
    char dna[64] = "";
    kmx_get_dna(dna);
    EXPECT_STREQ(dna, "unknown");
    rename("/sys/class/misc/dna/dna.saved", "/sys/class/misc/dna/dna");
    kmx_get_dna(dna);
    EXPECT_STREQ(dna, "0x0123456789abcdef");
}

TEST_F(Report, KeysInOrderWithOptionalOnesLeftOut) {
    json_t *j = build(-1);
    EXPECT_EQ(keys(j), "cmd,ip,mac,src_id,dst_id,result,err_msg,data,");
    json_t *d = json_array_get(json_object_get(j, "data"), 0);
    EXPECT_EQ(json_array_size(json_object_get(j, "data")), 1u);
    EXPECT_EQ(keys(d),
              "type,duty,mac,ip,hwver,dna,perf_mode,errcode,errmsg,uptime,memUsage,fwver,isTuned,pools,pools_ip,chains,"
              "runtime,lock,net_mode,standby,");
    EXPECT_STREQ(json_string_value(json_object_get(d, "duty")), "-1");
    EXPECT_EQ(json_integer_value(json_object_get(d, "runtime")), 0);
    EXPECT_STREQ(json_string_value(json_object_get(d, "perf_mode")), "performance");
    EXPECT_EQ(json_integer_value(json_object_get(d, "errcode")), 26);
    EXPECT_STREQ(json_string_value(json_object_get(d, "errmsg")), "SETVOL_FAIL");
    EXPECT_STREQ(json_string_value(json_object_get(d, "uptime")), "10:00 up 1 day");
    EXPECT_STREQ(json_string_value(json_object_get(d, "fwver")), "1.2.3");
    EXPECT_STREQ(json_string_value(json_object_get(d, "net_mode")), "dhcp");
    json_t *pools = json_object_get(d, "pools");
    ASSERT_EQ(json_array_size(pools), 2u);
    EXPECT_STREQ(json_string_value(json_object_get(json_array_get(pools, 0), "user")), "acct");
    EXPECT_STREQ(json_string_value(json_object_get(json_array_get(pools, 0), "userSuffix")), "worker");
    EXPECT_STREQ(json_string_value(json_object_get(json_array_get(pools, 1), "userSuffix")), "");
    EXPECT_EQ(json_array_size(json_object_get(d, "pools_ip")), 3u);
    json_decref(j);
}

TEST_F(Report, HeaderExtrasPowerInfoAndOnlyTheNinthChain) {
    cfg.plantId = 3;
    strcpy(cfg.nucMac, "aa:bb");
    put("/tmp/psu_info", "VEND\nV1\n0\n");
    chains[8].valid = true;
    chains[8].fan_duty = 80;
    chains[8].runtime = 99.9;
    json_t *j = build(0);
    EXPECT_EQ(keys(j), "cmd,plantId,ip,mac,nucmac,src_id,dst_id,result,err_msg,data,");
    json_t *d = json_array_get(json_object_get(j, "data"), 0);
    EXPECT_STREQ(json_string_value(json_object_get(d, "powerVendor")), "VEND");
    EXPECT_EQ(json_integer_value(json_object_get(d, "activePoolIdx")), 0);
    EXPECT_STREQ(json_string_value(json_object_get(d, "duty")), "-1");
    EXPECT_EQ(json_integer_value(json_object_get(d, "runtime")), 0);
    ASSERT_EQ(json_array_size(json_object_get(d, "chains")), 1u);
    EXPECT_EQ(json_integer_value(json_object_get(json_array_get(json_object_get(d, "chains"), 0), "id")), 8);
    json_decref(j);
}

TEST_F(Report, Getters) {
    char t[16];
    put("/etc/hwrevision", "nodothere");
    EXPECT_EQ(kmx_get_miner_type(t, sizeof t), -1);
    put("/etc/hwrevision", "a.b c");
    EXPECT_EQ(kmx_get_miner_type(t, sizeof t), -1);
    EXPECT_STREQ(kmx_get_hwversion(), "unkowm");
    put("/etc/hwrevision", "x b13 y");
    EXPECT_STREQ(kmx_get_hwversion(), "B13");
    char mode[32];
    put("/config/cgminer.conf", R"({"N5factory":true,"N5efficient":true})");
    kmx_get_mode(mode);
    EXPECT_STREQ(mode, "factory");
    put("/config/cgminer.conf", "[1]");
    kmx_get_mode(mode);
    EXPECT_STREQ(mode, "factory");
    put("/config/cgminer.conf", "{}");
    kmx_get_mode(mode);
    EXPECT_STREQ(mode, "balanced");
    int code = 5;
    char msg[256];
    put("/tmp/errcode", "26\nno newline");
    kmx_get_errcode(&code, msg);
    EXPECT_EQ(code, 0);
    EXPECT_STREQ(msg, "");
    // A malformed Mem line must not divide by zero.
    fake_shell().answer("/bin/top", "Mem: 0K used, 0K free\nCPU:  1% usr 0% sys 0% nic 90% idle\n");
    int cpu = -1, mem = -1;
    kmx_get_cpu_mem_usage(&cpu, &mem);
    EXPECT_EQ(mem, -1);
    EXPECT_EQ(cpu, 10);
    // Sizes too large to scale, or negative, leave the rate unset; an idle
    // share outside 0-100 is a missing piece.
    fake_shell().answer("/bin/top", "Mem: 99999999999999999K used, 1K free\nCPU: 0% usr 0% sys 0% nic 7% idle\n");
    cpu = mem = -1;
    EXPECT_TRUE(kmx_get_cpu_mem_usage(&cpu, &mem));
    EXPECT_EQ(mem, -1);
    EXPECT_EQ(cpu, 93);
    fake_shell().answer("/bin/top", "Mem: -5K used, 10K free\nCPU: 0% usr 0% sys 0% nic -2147483648% idle\n");
    cpu = mem = -1;
    EXPECT_FALSE(kmx_get_cpu_mem_usage(&cpu, &mem));
    EXPECT_EQ(mem, -1);
    EXPECT_EQ(cpu, -1);
    fake_shell().answer("/bin/top", "Mem: 1K used, 9223372036854775807K free\nCPU: 0% usr 0% sys 0% nic 7% idle\n");
    cpu = mem = -1;
    EXPECT_TRUE(kmx_get_cpu_mem_usage(&cpu, &mem));
    EXPECT_EQ(mem, -1);
    fake_shell().answer("/bin/top", "Mem: 300K used, 100K free\nCPU: 0% usr 0% sys 0% nic 101% idle\n");
    cpu = mem = -1;
    EXPECT_FALSE(kmx_get_cpu_mem_usage(&cpu, &mem));
    EXPECT_EQ(mem, 75);
    EXPECT_EQ(cpu, -1);
    fake_shell().answer("/bin/top", "Mem: 300K used, 100K free\nCPU: 0% usr 0% sys 0% nic 100% idle\n");
    EXPECT_TRUE(kmx_get_cpu_mem_usage(&cpu, &mem));
    EXPECT_EQ(cpu, 0);
    char vendor[30] = "";
    chains[1].valid = true;
    memset(chains[1].powerVendor, 'v', 29);
    strcpy(chains[1].powerVersion, "x");
    EXPECT_TRUE(kmx_get_power_info(chains, vendor, nullptr));
    EXPECT_EQ(strlen(vendor), 29u);
    fake_shell().answer("cat /etc/resolv.conf", "1.1.1.1\n" + std::string(90, '2') + "\n");
    char d1[40] = "", d2[40] = "";
    EXPECT_EQ(kmx_get_dns_server(d1, d2), 0);
    EXPECT_STREQ(d1, "1.1.1.1");
    EXPECT_LE(strlen(d2), 39u);
    char eth[] = "eth0;reboot", gw[20];
    EXPECT_EQ(kmx_get_gateway(eth, gw), -1);
}

}  // namespace
