// Readers of /config/dtu.conf and of the pool files (/config/cgminer.conf,
// /etc/cgminer.conf and the encrypted /config/cg.conf).
//
// Input: one selector byte, then the text of one file. Selector bits 0-1
// pick the file (dtu.conf, cgminer.conf, /etc/cgminer.conf, cg.conf), bit 2
// makes the machine read as locked to management (the merge paths), bit 3
// removes dtu.conf instead of writing it. The other files keep valid
// contents, so the merges see both sides.
#include <arpa/inet.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "misc/kmx_dtu.h"
#include "misc/kmx_pool.h"

namespace {

const char *const DTU_FILE = "/config/dtu.conf";
const char *const PLAIN_FILE = "/config/cgminer.conf";
const char *const FACTORY_FILE = "/etc/cgminer.conf";
const char *const CG_FILE = "/config/cg.conf";
const char *const FILES[4] = {DTU_FILE, PLAIN_FILE, FACTORY_FILE, CG_FILE};

std::string s_base[4];

std::string hex_line(const std::string &plain) {
    unsigned char *key = reinterpret_cast<unsigned char *>(kmx_arg_printe(const_cast<char *>(KMX_CG_KEY_TEXT), 16));
    unsigned char out[1024] = {0};
    int len = int((plain.size() + 15) / 16 * 16);
    AES_Encrypt(key, reinterpret_cast<unsigned char *>(const_cast<char *>(plain.data())), int(plain.size()), out);
    free(key);
    std::string line;
    char two[3];
    for (int i = 0; i < len; i++) {
        snprintf(two, sizeof two, "%02x", out[i]);
        line += two;
    }
    return line + "\n";
}

void check_text(const char *what, const char *text, size_t size) {
    if (strnlen(text, size) >= size) fuzz::fail("unterminated text", what);
}

void check_pools(const char *what, const pool_conf *p) {
    for (int i = 0; i < KMX_POOL_NUM; i++) {
        check_text(what, p[i].url, sizeof p[i].url);
        check_text(what, p[i].user, sizeof p[i].user);
        check_text(what, p[i].pass, sizeof p[i].pass);
        kmx_parse_pool_type(const_cast<char *>(p[i].url));
    }
}

void check_commands() {
    for (const std::string &cmd : fuzz::shell().take()) {
        if (cmd == "/sbin/flagutils read\n" || cmd == "cp /etc/dtu.conf.def  /config/dtu.conf") continue;
        // Only a checked IPv4 address reaches the ping command line.
        char ip[64];
        char tail[16];
        struct in_addr a;
        if (cmd.size() < 40 && sscanf(cmd.c_str(), "ping %63s %15[^\n]", ip, tail) == 2 &&
            inet_pton(AF_INET, ip, &a) == 1 && cmd == std::string("ping ") + ip + " -c 4")
            continue;
        fuzz::fail("unexpected shell command", cmd);
    }
}

void read_dtu() {
    dtu_config cfg;
    memset(&cfg, 0, sizeof cfg);
    bool ok = kmx_get_dtu_cfg_from_file(&cfg);
    check_text("domain", cfg.domain, sizeof cfg.domain);
    check_text("ip", cfg.ip, sizeof cfg.ip);
    check_text("nucMac", cfg.nucMac, sizeof cfg.nucMac);
    check_text("nucIp", cfg.nucIp, sizeof cfg.nucIp);
    if (ok) {
        if (cfg.usedIp != cfg.ip && cfg.usedIp != cfg.nucIp) fuzz::fail("dtu", "usedIp points elsewhere");
        if (!cfg.usedIp[0] || cfg.usedPort <= 0) fuzz::fail("dtu", "true with no usable server");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::setup_machine();
    s_base[0] = R"({"enabled":"true","plantId":"7","dtu_ip":"127.0.0.2","dtu_port":"20001"})";
    s_base[1] = R"({"pools":[{"url":"stratum+tcp://a:3333","user":"plain.s1","pass":"p1"},)"
                R"({"url":"stratum+tls://b:443","user":"plain.s2","pass":"p2"}]})";
    s_base[2] = R"({"pools":[{"url":"stratum+tcp://f:3333","user":"fac.1","pass":"x"}],"VidOptimal":false})";
    s_base[3] = "42\n" + hex_line("stratum+tcp://enc:3333") + hex_line("name.e1") + hex_line("epass") +
                hex_line("stratum+tls://enc2:443") + hex_line("name2") + hex_line("epass2");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 || size > 64 * 1024) return -1;
    const unsigned sel = data[0];
    const int which = int(sel & 3);
    fuzz::shell().lock_answer = (sel & 4) ? "1\n" : "0\n";
    for (int i = 0; i < 4; i++) fuzz::write_or_die(FILES[i], s_base[i]);
    const std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    if (which == 0 && (sel & 8))
        unlink(DTU_FILE);
    else
        fuzz::write_or_die(FILES[which], text);

    if (which == 0) {
        read_dtu();
    } else {
        pool_conf pools[KMX_POOL_NUM];
        pool_config plain[KMX_POOL_NUM];
        bool tuned = false;
        memset(pools, 0, sizeof pools);
        memset(plain, 0, sizeof plain);
        load_conf_file(plain);
        check_pools("load_conf_file", reinterpret_cast<pool_conf *>(plain));
        kmx_get_pool(plain);
        check_pools("kmx_get_pool", reinterpret_cast<pool_conf *>(plain));
        kmx_get_pools(pools);
        check_pools("kmx_get_pools", pools);
        kmx_parse_cgminer_config(pools);
        check_pools("kmx_parse_cgminer_config", pools);
        kmx_parse_cg_config(pools);
        check_pools("kmx_parse_cg_config", pools);
        kmx_get_tune_status(&tuned);
    }
    check_commands();
    return 0;
}
