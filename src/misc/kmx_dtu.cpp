#include "misc/kmx_dtu.h"

#include <arpa/inet.h>
#include <cjson/cJSON.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "misc/kmx_misc.h"
#include "module/kmx_log.h"
#include "os/os.h"

namespace {

const char *const DTU_FILE = "/config/dtu.conf";
const char *const DTU_DEF_FILE = "/etc/dtu.conf.def";

// One-entry cache of the Cloud host name and its first address; it lives for
// the process so a name that resolved once needs no lookup per report.
std::mutex s_cache_lock;
std::string s_cached_name;
std::string s_cached_ip;

void copy_text(char *dst, size_t size, const char *src) {
    snprintf(dst, size, "%s", src ? src : "");
}

// Values are JSON strings only; anything else counts as missing.
const char *get_str(cJSON *root, const char *key) {
    cJSON *item = cJSON_GetObjectItemCaseSensitive(root, key);
    return cJSON_IsString(item) && item->valuestring ? item->valuestring : nullptr;
}

bool get_flag(cJSON *root, const char *key, bool *out) {
    const char *v = get_str(root, key);
    *out = false;
    if (!v) return false;
    char buf[64];
    copy_text(buf, sizeof buf, v);
    *out = strcmp(buf, "true") == 0;
    return true;
}

// A whole decimal int, or 0 (the value every caller takes as "failed"):
// "7abc" is not 7, and 99999999999 does not wrap to another number. A value
// refused here is logged with the reason; the caller logs its own line.
int get_int(cJSON *root, const char *key) {
    const char *v = get_str(root, key);
    if (!v) return 0;
    char buf[64];
    copy_text(buf, sizeof buf, v);
    const char *why = nullptr;
    long long n = 0;
    if (strlen(v) >= sizeof buf) {
        why = "is too long";
    } else {
        char *end = nullptr;
        errno = 0;
        n = strtoll(buf, &end, 10);
        if (end == buf || *end != '\0')
            why = "is not a whole number";
        else if (errno == ERANGE || n < INT_MIN || n > INT_MAX)
            why = "is out of range";
    }
    if (why) {
        kmx_logf(5, "%s  %d  %s:[%s] %s !\n", __func__, __LINE__, key, klog::Outside(buf).c_str(), why);
        return 0;
    }
    return int(n);
}

// A usable IPv4 dotted text, or nothing: the address reaches a command line.
bool ipv4_ok(const char *ip) {
    struct in_addr a;
    return ip && *ip && inet_pton(AF_INET, ip, &a) == 1;
}

}  // namespace

extern "C" bool kmx_get_serv_ip(const char *hostname, char ip_str[][17], int ip_num, int max_num) {
    if (!hostname || !ip_str) return false;
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *res = nullptr;
    // getaddrinfo: several threads resolve at once, and the static result of
    // the older interface would be shared between them.
    int rc = getaddrinfo(hostname, nullptr, &hints, &res);
    if (rc != 0) {
        kmx_logf(5, "gethostbyname error for host:%s :%s", klog::Outside(hostname).c_str(), gai_strerror(rc));
        return false;
    }
    int limit = ip_num < max_num ? ip_num : max_num;
    int n = 0;
    for (struct addrinfo *p = res; p && n < limit; p = p->ai_next) {
        auto *sin = reinterpret_cast<struct sockaddr_in *>(p->ai_addr);
        char text[INET_ADDRSTRLEN] = "";
        if (!inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text)) continue;
        copy_text(ip_str[n], 17, text);
        kmx_logf(1, "server_ip[%d]:%s\n", n, ip_str[n]);
        n++;
    }
    freeaddrinfo(res);
    return n > 0;
}

extern "C" int kmx_get_dev_ip_by_mac(char *mac, char *try_ip, char *dst_ip) {
    (void)mac;
    if (!try_ip || !dst_ip || !*try_ip) return -1;
    // The address comes from /config, which other programs may edit: only a
    // plain IPv4 address may reach the command line.
    if (!ipv4_ok(try_ip)) {
        kmx_logf(5, "%s %d, not an IPv4 address: [%s]\n", __func__, __LINE__, klog::Outside(try_ip).c_str());
        return -1;
    }
    char cmd[64];
    char out[256];
    snprintf(cmd, sizeof cmd, "ping %s -c 4", try_ip);
    misc_system(cmd, out, sizeof out);
    if (dst_ip != try_ip && strcmp(dst_ip, try_ip) != 0) copy_text(dst_ip, 30, try_ip);
    return 0;
}

// An empty settings file is what an interrupted copy or a power cut leaves
// behind: it is restored like a missing one, or reporting would stop for good.
static bool dtu_file_missing() {
    struct stat st {};
    return stat(DTU_FILE, &st) != 0 || (S_ISREG(st.st_mode) && st.st_size == 0);
}

// The default is copied whole through a temporary file and a rename, so a
// power cut leaves either no settings file or a complete one.
static void restore_dtu_default() {
    kos::remove_write_leftovers(DTU_FILE);
    std::string text;
    if (!kos::read_file(DTU_DEF_FILE, text)) {
        kmx_logf(5, "%s  %d  open %s failed !\n", __func__, __LINE__, DTU_DEF_FILE);
        return;
    }
    if (!kos::write_file_atomic(DTU_FILE, text))
        kmx_logf(5, "%s  %d  copy %s to %s failed !\n", __func__, __LINE__, DTU_DEF_FILE, DTU_FILE);
}

extern "C" bool kmx_get_dtu_cfg_from_file(dtu_config *dtu_cfg) {
    if (!dtu_cfg) return false;
    if (dtu_file_missing()) {
        restore_dtu_default();
        kos::sleep_s(1);
    }
    FILE *fp = fopen(DTU_FILE, "r");
    if (!fp) {
        kmx_logf(5, "%s  %d  open %s failed !\n", __func__, __LINE__, DTU_FILE);
        return false;
    }
    char text[4096] = {0};
    size_t n = fread(text, 1, sizeof text - 1, fp);
    fclose(fp);
    text[n] = '\0';
    cJSON *root = cJSON_Parse(text);
    if (!root) {
        kmx_logf(5, "%s  %d, cJSON_Parse failed !\n", __func__, __LINE__);
        return false;
    }

    dtu_cfg->enabled = false;
    const char *enabled = get_str(root, "enabled");
    if (!enabled) {
        kmx_logf(5, "%s %d, get dtu enabled failed\n", __func__, __LINE__);
        cJSON_Delete(root);
        return false;
    }
    {
        char buf[64];
        copy_text(buf, sizeof buf, enabled);
        if (strcmp(buf, "true") != 0) {
            kmx_logf(5, "%s %d, dtu not enabled\n", __func__, __LINE__);
            cJSON_Delete(root);
            return false;
        }
    }
    dtu_cfg->enabled = true;

    dtu_cfg->plantId = get_int(root, "plantId");
    if (dtu_cfg->plantId <= 0) kmx_logf(5, "%s  %d get plantId failed or is -1\n", __func__, __LINE__);

    if (const char *v = get_str(root, "nuc_mac"))
        copy_text(dtu_cfg->nucMac, sizeof dtu_cfg->nucMac, v);
    else
        kmx_logf(1, "%s %d, get nuc_mac failed!\n", __func__, __LINE__);
    if (!get_flag(root, "compressed", &dtu_cfg->compressed))
        kmx_logf(1, "%s  %d get compressed flag failed !\n", __func__, __LINE__);
    if (!get_flag(root, "encrypted", &dtu_cfg->encrypted))
        kmx_logf(1, "%s  %d get encrypted flag failed !\n", __func__, __LINE__);
    if (!get_flag(root, "nucTransfer", &dtu_cfg->nucTransfer))
        kmx_logf(5, "%s  %d get nucTransfer flag failed !\n", __func__, __LINE__);
    if (const char *v = get_str(root, "nuc_ip"))
        copy_text(dtu_cfg->nucIp, sizeof dtu_cfg->nucIp, v);
    else
        kmx_logf(5, "%s %d, get nuc_ip failed!\n", __func__, __LINE__);
    dtu_cfg->nucPort = get_int(root, "nuc_port");
    if (dtu_cfg->nucPort <= 0) {
        kmx_logf(5, "%s  %d get nucPort failed or is -1 !\n", __func__, __LINE__);
        dtu_cfg->nucPort = 10001;
    }

    const char *name = get_str(root, "dtu_name");
    if (!name) {
        kmx_logf(5, "%s  %d, get dtu_name failed!", __func__, __LINE__);
    } else {
        std::lock_guard<std::mutex> g(s_cache_lock);
        if (s_cached_name == name && !s_cached_ip.empty()) {
            copy_text(dtu_cfg->ip, sizeof dtu_cfg->ip, s_cached_ip.c_str());
            kmx_logf(1, "%s  %d, use saved ip %s", __func__, __LINE__, dtu_cfg->ip);
        } else {
            copy_text(dtu_cfg->domain, sizeof dtu_cfg->domain, name);
            char slots[10][17];
            memset(slots, 0, sizeof slots);
            if (kmx_get_serv_ip(dtu_cfg->domain, slots, 2, 10)) {
                if (strcmp(slots[0], "127.0.0.1") == 0) {
                    kmx_logf(5, "%s  %d, resolve hostname(%s) to 127.0.0.1", __func__, __LINE__, dtu_cfg->domain);
                } else {
                    s_cached_name = dtu_cfg->domain;
                    s_cached_ip = slots[0];
                    copy_text(dtu_cfg->ip, sizeof dtu_cfg->ip, slots[0]);
                }
            }
        }
    }
    if (!dtu_cfg->ip[0]) {
        if (const char *v = get_str(root, "dtu_ip")) {
            copy_text(dtu_cfg->ip, sizeof dtu_cfg->ip, v);
        } else {
            kmx_logf(5, "%s  %d  get dtu_ip failed !\n", __func__, __LINE__);
            copy_text(dtu_cfg->ip, sizeof dtu_cfg->ip, KMX_DTU_DEFAULT_IP);
        }
    }
    dtu_cfg->port = get_int(root, "dtu_port");
    if (dtu_cfg->port <= 0) {
        kmx_logf(5, "%s  %d get dtu_port failed or is -1 !\n", __func__, __LINE__);
        dtu_cfg->port = 20001;
    }
    dtu_cfg->interval = get_int(root, "dtu_interval");
    if (dtu_cfg->interval <= 0) {
        kmx_logf(5, "%s  %d get interval failed or is -1 !\n", __func__, __LINE__);
        dtu_cfg->interval = 180;
    }

    bool ok = true;
    if (dtu_cfg->nucTransfer) {
        if (kmx_get_dev_ip_by_mac(dtu_cfg->nucMac, dtu_cfg->nucIp, dtu_cfg->nucIp) == 0) {
            dtu_cfg->usedIp = dtu_cfg->nucIp;
            dtu_cfg->usedPort = dtu_cfg->nucPort;
        } else {
            kmx_logf(5, "%s %d, NUC transfer enabled, but get NUC IP failed! nucMac:[%s], nucIp:[%s]", __func__,
                     __LINE__, dtu_cfg->nucMac, dtu_cfg->nucIp);
            if (!dtu_cfg->ip[0] || dtu_cfg->port <= 0) {
                ok = false;
            } else {
                kmx_logf(2, "%s %d, since Nuc failure, switch to Cloud server, [%s:%d]", __func__, __LINE__,
                         dtu_cfg->ip, dtu_cfg->port);
                dtu_cfg->usedIp = dtu_cfg->ip;
                dtu_cfg->usedPort = dtu_cfg->port;
            }
        }
    } else if (!dtu_cfg->ip[0]) {
        ok = false;
    } else {
        dtu_cfg->usedIp = dtu_cfg->ip;
        dtu_cfg->usedPort = dtu_cfg->port;
    }
    if (ok)
        kmx_logf(1, "%s %d, plantId %d, nucMac:[%s], nuc:[%s:%d], cloud: [%s:%d], used: [%s:%d]", __func__, __LINE__,
                 dtu_cfg->plantId, dtu_cfg->nucMac, dtu_cfg->nucIp, dtu_cfg->nucPort, dtu_cfg->ip, dtu_cfg->port,
                 dtu_cfg->usedIp, dtu_cfg->usedPort);
    cJSON_Delete(root);
    return ok;
}

namespace {

// The U-Boot reader keeps what it read once and hands a copy to every
// caller, so a fresh record never comes back empty with true.
std::mutex s_env_lock;
bool s_env_done = false;
dtu_config s_env_cfg;

bool env_text(const char *cmd, char *field, size_t size) {
    char buf[128];
    if (!misc_system(cmd, buf, sizeof buf)) {
        kmx_logf(5, "cmd:%s failed !\n", cmd);
        return false;
    }
    size_t len = strlen(buf);
    if (len > 0) buf[len - 1] = '\0';
    copy_text(field, size, buf);
    return true;
}

}  // namespace

extern "C" bool kmx_get_dtu_cfg_from_env(dtu_config *dtu_cfg) {
    if (!dtu_cfg) return false;
    std::lock_guard<std::mutex> g(s_env_lock);
    if (!s_env_done) {
        dtu_config c;
        memset(&c, 0, sizeof c);
        char num[128];
        if (!env_text("/sbin/fw_printenv -n dtu_name", c.domain, sizeof c.domain)) return false;
        if (!env_text("/sbin/fw_printenv -n dtu_ip", c.ip, sizeof c.ip)) return false;
        if (!env_text("/sbin/fw_printenv -n dtu_port", num, sizeof num)) return false;
        c.port = atoi(num);
        if (env_text("/sbin/fw_printenv -n dtu_interval", num, sizeof num))
            c.interval = atoi(num);
        else
            c.interval = 20;
        s_env_cfg = c;
        s_env_done = true;
    }
    memcpy(dtu_cfg->domain, s_env_cfg.domain, sizeof dtu_cfg->domain);
    memcpy(dtu_cfg->ip, s_env_cfg.ip, sizeof dtu_cfg->ip);
    dtu_cfg->port = s_env_cfg.port;
    dtu_cfg->interval = s_env_cfg.interval;
    return true;
}
