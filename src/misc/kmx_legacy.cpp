// The older status path: a short JSON message in a 0xAA 0xBB frame, sent
// over TCP (or UDP) without reading a reply, and the thread starters the
// mining program may use.
#include "misc/kmx_legacy.h"

#include <arpa/inet.h>
#include <cjson/cJSON.h>
#include <lz4.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "minerCloud/kmx_cloud.h"
#include "misc/kmx_ini.h"
#include "misc/kmx_misc.h"
#include "misc/kmx_pool.h"
#include "module/kmx_log.h"
#include "os/os.h"
#include "platform/kmx_platform.h"

namespace {

const char *const SRC = "kmx_misc";

bool make_addr(const char *ip, int port, struct sockaddr_in *addr) {
    memset(addr, 0, sizeof *addr);
    addr->sin_family = AF_INET;
    addr->sin_port = htons(uint16_t(port));
    return ip && port > 0 && port < 65536 && inet_pton(AF_INET, ip, &addr->sin_addr) == 1;
}

bool start_detached(void *(*body)(void *), void *arg, const char *fn, int line) {
    pthread_t tid;
    if (pthread_create(&tid, nullptr, body, arg) == 0) return true;
    kmx_logf(5, "%s    %s  %d  failed  !\n", SRC, fn, line);
    return false;
}

void *miner_status_thread(void *) {
    pthread_detach(pthread_self());
    prctl(PR_SET_NAME, "miner_status");
    kos::sleep_s(20);
    kmx_legacy_miner_status_start();
    for (;;) {
        kos::sleep_s(900);
        kmx_write_chains_tmp_to_ini();
    }
    return nullptr;
}

}  // namespace

void kmx_legacy_miner_status_start() {
    struct timeval start = kos::wall_time();
    int b = 0;
    if (!kmx_update_count_to_ini("now", "now:count", &b, KMX_STATUS_INI)) kmx_logf(5, "%s    %s  %d  failed !\n", SRC, __func__, __LINE__);
    // The run's number, for the INI writers that run later in this process.
    g_total_start_cnt = b;
    char path[] = KMX_STATUS_INI;
    kmx_write_pools_to_ini(b, path);
    kmx_write_starttime_to_ini(&start, b, path);
    kmx_write_lockstatus_to_ini(b, path);
    kmx_write_ip_to_ini(b, path);
    kmx_write_mac_to_ini(b, path);
    kmx_system_update_record();
    kmx_mac_record();
}

std::vector<unsigned char> kmx_legacy_frame(const unsigned char *payload, size_t n) {
    if (n > KMX_LEGACY_MAX_PAYLOAD) return {};
    std::vector<unsigned char> f(n + 5, 0);
    f[0] = 0xAA;
    f[1] = 0xBB;
    f[2] = uint8_t((n + 4) >> 8);
    f[3] = uint8_t(n + 4);
    if (n) memcpy(&f[4], payload, n);
    f[n + 4] = kmx_check_xor(f.data(), n + 4);
    return f;
}

extern "C" {

bool kmx_tcp_send(unsigned char *buf, dtu_config *dtu_cfg) {
    if (!buf || !dtu_cfg) return false;
    const char *text = reinterpret_cast<const char *>(buf);
    std::vector<unsigned char> frame;
    if (dtu_cfg->compressed) {
        // The LZ4 block of the text with its NUL; nothing in the frame says so.
        const int src = int(strlen(text)) + 1;
        std::vector<char> out(size_t(LZ4_compressBound(src)));
        const int n = out.empty() ? 0 : LZ4_compress_default(text, out.data(), src, int(out.size()));
        if (n <= 0) {
            kmx_logf(5, "%s    %s  %d   %s!\n", SRC, __func__, __LINE__, "compress data failed");
            return false;
        }
        kmx_logf(5, "compressed data successfully !s_size:%d;d_size:%d\n", src, n);
        frame = kmx_legacy_frame(reinterpret_cast<unsigned char *>(out.data()), size_t(n));
    } else {
        frame = kmx_legacy_frame(buf, strlen(text));
    }
    if (frame.empty()) {
        kmx_logf(5, "%s    %s  %d   %s!\n", SRC, __func__, __LINE__, "payload larger than the frame");
        return false;
    }

    int fd = kmx_report_socket();
    if (fd < 0) return false;

    // Settings read from U-Boot never fill the chosen server: the Cloud
    // address itself is used then.
    const char *ip = dtu_cfg->usedIp ? dtu_cfg->usedIp : dtu_cfg->ip;
    const int port = dtu_cfg->usedIp ? dtu_cfg->usedPort : dtu_cfg->port;
    struct sockaddr_in addr;
    if (!make_addr(ip, port, &addr)) errno = EINVAL;
    else if (connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) == 0) ip = nullptr;
    if (ip) {
        kmx_logf(5, "%s  %d   %s ip:%s   port:%d !\n", __func__, __LINE__, strerror(errno), klog::Outside(ip).c_str(),
                 port);
        close(fd);
        return false;
    }
    unsigned long long want = frame.size(), sent = want;
    keep_writing_to_file(fd, frame.data(), &sent);
    if (sent < want) kmx_logf(5, "%s  %d  write:%ld  need_write:%d    !\n", __func__, __LINE__, long(sent), int(want));
    kos::sleep_s(2);
    close(fd);
    return true;
}

bool kmx_udp_send(unsigned char *buf, dtu_config *dtu_cfg) {
    if (!buf || !dtu_cfg) return false;
    std::vector<unsigned char> frame = kmx_legacy_frame(buf, strlen(reinterpret_cast<const char *>(buf)));
    if (frame.empty()) {
        kmx_logf(5, "%s    %s  %d  failed !\n", SRC, __func__, __LINE__);
        return false;
    }
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        kmx_logf(5, "%s    %s  %d  failed !\n", SRC, __func__, __LINE__);
        return false;
    }
    struct sockaddr_in addr;
    const bool addr_ok = make_addr(dtu_cfg->ip, dtu_cfg->port, &addr);
    if (!addr_ok) errno = EINVAL;
    if (!addr_ok || sendto(fd, frame.data(), frame.size(), MSG_NOSIGNAL, reinterpret_cast<struct sockaddr *>(&addr),
                           sizeof addr) < 0) {
        kmx_logf(5, "%s    %s  %d  failed !    %s\n", SRC, __func__, __LINE__, strerror(errno));
        kmx_logf(5, "domain_name:%s    ip:%s   port:%d interval:%d\n", klog::Outside(dtu_cfg->domain).c_str(),
                 klog::Outside(dtu_cfg->ip).c_str(), dtu_cfg->port, dtu_cfg->interval);
    }
    close(fd);
    return true;
}

int kmx_checksum_16bit(unsigned char *buf, int len, unsigned short *checksum) {
    if (!buf || !checksum || len < 1) return -1;
    uint32_t sum = 0;
    int i = 0;
    for (; i + 1 < len; i += 2) sum += uint32_t(buf[i]) | uint32_t(buf[i + 1]) << 8;
    if (i < len) sum += uint32_t(buf[i]) << 8;
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    *checksum = uint16_t(~sum);
    return 0;
}

bool kmx_send_status(dtu_config *dtu_cfg, chain_status *chains_status) {
    if (!dtu_cfg || !chains_status) return false;
    cJSON *root = cJSON_CreateObject();
    if (!root) {
        kmx_logf(5, "%s    %s  %d  failed !\n", "kmx_send_status", __func__, __LINE__);
        return false;
    }
    char buf[512];
    memset(buf, 0, sizeof buf);
    kmx_get_miner_type(buf, sizeof buf);
    cJSON_AddStringToObject(root, "type", buf);
    cJSON_AddNumberToObject(root, "plantId", dtu_cfg->plantId);
    int duty = -1;
    kmx_get_fan_duty(&duty, chains_status);
    snprintf(buf, sizeof buf, "%d", duty);
    cJSON_AddStringToObject(root, "duty", buf);
    memset(buf, 0, sizeof buf);
    kmx_get_mac(reinterpret_cast<unsigned char *>(buf));
    cJSON_AddStringToObject(root, "mac", buf);
    memset(buf, 0, sizeof buf);
    kmx_get_ip(reinterpret_cast<unsigned char *>(buf));
    cJSON_AddStringToObject(root, "ip", buf);
    cJSON_AddStringToObject(root, "hwver", kmx_get_hwversion());
    memset(buf, 0, sizeof buf);
    kmx_get_dna(buf);
    cJSON_AddStringToObject(root, "dna", buf);
    memset(buf, 0, sizeof buf);
    kmx_get_version_from_env(reinterpret_cast<unsigned char *>(buf), sizeof buf);
    cJSON_AddStringToObject(root, "fwver", buf);

    pool_conf pools[KMX_POOL_NUM];
    memset(pools, 0, sizeof pools);
    kmx_get_pools(pools);
    cJSON *parr = cJSON_AddArrayToObject(root, "pools");
    for (const pool_conf &p : pools) {
        if (!p.url[0]) continue;
        cJSON *po = cJSON_CreateObject();
        cJSON_AddStringToObject(po, "url", p.url);
        cJSON_AddStringToObject(po, "user", p.user);
        cJSON_AddStringToObject(po, "pass", p.pass);
        cJSON_AddItemToArray(parr, po);
    }
    cJSON *chains = cJSON_AddArrayToObject(root, "chains");
    for (int i = 0; i < 8; i++) {
        const chain_status &c = chains_status[i];
        if (!c.valid) continue;
        cJSON *o = cJSON_CreateObject();
        snprintf(buf, sizeof buf, "%d", i);
        cJSON_AddStringToObject(o, "id", buf);
        snprintf(buf, sizeof buf, "%.2f", c.hash);
        cJSON_AddStringToObject(o, "rate", buf);
        snprintf(buf, sizeof buf, "%d", c.tmp_hi);
        cJSON_AddStringToObject(o, "high", buf);
        snprintf(buf, sizeof buf, "%d", c.tmp_av);
        cJSON_AddStringToObject(o, "mean", buf);
        cJSON_AddItemToArray(chains, o);
    }
    long long runtime = 0;
    kmx_get_runtime(&runtime, chains_status);
    snprintf(buf, sizeof buf, "%lld", runtime);
    cJSON_AddStringToObject(root, "runtime", buf);
    cJSON_AddStringToObject(root, "lock", kmx_get_lock_status());

    char *text = cJSON_PrintUnformatted(root);
    cJSON_Delete(root);
    if (!text) {
        kmx_logf(5, "%s    %s  %d  failed !\n", "kmx_send_status", __func__, __LINE__);
        return false;
    }
    kmx_logf(5, "%s\n", text);
    kmx_tcp_send(reinterpret_cast<unsigned char *>(text), dtu_cfg);
    free(text);
    return true;
}

// The pool passwords go into the status file as they are (in plain text,
// also the decrypted ones of a locked machine): the history keeps them.
bool kmx_write_pools_to_ini(int seq_num, char *path) {
    pool_conf pools[KMX_POOL_NUM];
    memset(pools, 0, sizeof pools);
    if (kmx_read_lock())
        kmx_parse_cg_config(pools);
    else
        kmx_parse_cgminer_config(pools);
    char section[32], key[64];
    snprintf(section, sizeof section, "times_%d", seq_num);
    for (int i = 0; i < KMX_POOL_NUM; i++) {
        if (!pools[i].url[0]) continue;
        const struct {
            const char *name, *value;
        } entries[3] = {{"pool", pools[i].url}, {"user", pools[i].user}, {"pass", pools[i].pass}};
        for (const auto &e : entries) {
            snprintf(key, sizeof key, "times_%d:%s%d", seq_num, e.name, i + 1);
            kmx_write_key_to_ini(section, key, e.value, path);
        }
    }
    return true;
}

bool kmx_get_miner_status(void) {
    if (g_platform != SOC && g_mount_flag) start_detached(miner_status_thread, nullptr, __func__, __LINE__);
    return true;
}

bool kmx_send_miner_status(dtu_config *dtu_cfg) {
    start_detached(kmx_send_miner_status_thread, dtu_cfg, __func__, __LINE__);
    return true;
}

}  // extern "C"
