// Status getters: identity, versions, error state, load and network mode.
#include <jansson.h>
#include <strings.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "misc/kmx_misc.h"
#include "misc/kmx_report.h"
#include "misc/kmx_report_internal.h"
#include "module/kmx_log.h"

namespace {

const char *const SRC = "kmx_send_status";

// Reads at most `max` bytes of a small file as text; false when unopenable.
bool read_small(const char *path, char *buf, size_t max) {
    FILE *fp = fopen(path, "r");
    if (!fp) {
        kmx_logf(5, "%s    %s  %d  open %s failed !\n", SRC, __func__, __LINE__, path);
        return false;
    }
    size_t n = fread(buf, 1, max, fp);
    buf[n] = '\0';
    fclose(fp);
    return true;
}

// Two newline-ended lines: each copied, bounded, into its buffer.
bool two_lines(const char *text, char *a, size_t asz, char *b, size_t bsz) {
    const char *nl1 = strchr(text, '\n');
    if (!nl1) return false;
    const char *nl2 = strchr(nl1 + 1, '\n');
    if (!nl2) return false;
    snprintf(a, asz, "%.*s", int(nl1 - text), text);
    snprintf(b, bsz, "%.*s", int(nl2 - nl1 - 1), nl1 + 1);
    return true;
}

std::mutex s_dna_lock;
char s_dna[64];
bool s_dna_read = false;

}  // namespace

extern "C" int kmx_get_miner_type(char *type, int size) {
    if (!type || size <= 0) return -1;
    memset(type, 0, size_t(size));
    char text[65];
    if (!read_small("/etc/hwrevision", text, 64)) return -1;
    const char *blank = strchr(text, ' ');
    const char *dot = strchr(text, '.');
    if (!blank || !dot || dot < blank) return -1;
    size_t len = size_t(dot - blank - 1);
    if (len > size_t(size - 1)) len = size_t(size - 1);
    memcpy(type, blank + 1, len);
    return 0;
}

extern "C" char *kmx_get_hwversion(void) {
    static char names[][8] = {"B37", "B13", "B21", "B3", "SOC"};
    static char unknown[] = "unkowm";
    char text[65];
    if (!read_small("/etc/hwrevision", text, 64)) return unknown;
    for (auto &n : names)
        if (strcasestr(text, n)) return n;
    return unknown;
}

void kmx_forget_dna() {
    std::lock_guard<std::mutex> g(s_dna_lock);
    s_dna_read = false;
}

extern "C" bool kmx_get_dna(char *dna) {
    if (!dna) return false;
    std::lock_guard<std::mutex> g(s_dna_lock);
    if (!s_dna_read) {
        char text[65];
        if (!read_small("/sys/class/misc/dna/dna", text, 64)) {
            memcpy(dna, "unknown", 8);
            return true;
        }
        size_t n = strlen(text);
        if (n > 0 && text[n - 1] == '\n') text[n - 1] = '\0';
        snprintf(s_dna, sizeof s_dna, "%s", text);
        s_dna_read = true;
    }
    memcpy(dna, s_dna, strlen(s_dna) + 1);
    return true;
}

extern "C" bool kmx_get_mode(char *mode) {
    if (!mode) return false;
    json_error_t err;
    json_t *root = json_load_file("/config/cgminer.conf", 0, &err);
    const char *m;
    if (!root || !json_is_object(root)) {
        kmx_logf(5, "%s %d, open cgminer.conf failed", __func__, __LINE__);
        m = "factory";
    } else if (json_is_true(json_object_get(root, "N5factory"))) {
        m = "factory";
    } else if (json_is_true(json_object_get(root, "N5efficient"))) {
        m = "efficient";
    } else if (json_is_true(json_object_get(root, "N5performance"))) {
        m = "performance";
    } else {
        m = "balanced";
    }
    if (root) json_decref(root);
    strcpy(mode, m);
    kmx_logf(1, "%s %d, mode %s\n", __func__, __LINE__, mode);
    return true;
}

extern "C" bool kmx_get_errcode(int *errcode, char *errmsg) {
    if (!errcode || !errmsg) return false;
    *errcode = 0;
    errmsg[0] = '\0';
    char text[257];
    if (!read_small("/tmp/errcode", text, 256)) return true;
    char code[256];
    if (!two_lines(text, code, sizeof code, errmsg, 256)) {
        errmsg[0] = '\0';
        return true;
    }
    *errcode = atoi(code);
    kmx_logf(1, "%s %d, errcode %d, errmsg %s\n", __func__, __LINE__, *errcode, errmsg);
    return true;
}

extern "C" bool kmx_get_cpu_mem_usage(int *cpu_rate, int *mem_rate) {
    if (!cpu_rate || !mem_rate) return false;
    char out[4096];
    misc_system("/bin/top -bn1", out, sizeof out);
    const char *mem = strstr(out, "Mem: ");
    if (mem && (mem == out || mem[-1] == '\n')) {
        long long used = atoll(mem + 5);
        const char *f = strstr(mem, " used, ");
        long long fr = f ? atoll(f + 7) : 0;
        // A malformed line must neither divide by zero nor overflow, and
        // negative sizes are no sizes: the rate is then left unset.
        if (f && used >= 0 && fr >= 0 && used <= LLONG_MAX / 100 && fr <= LLONG_MAX - used && used + fr > 0)
            *mem_rate = int(used * 100 / (used + fr));
    } else {
        return false;
    }
    const char *cpu = strstr(mem, "CPU:");
    if (!cpu) return false;
    const char *eol = strchr(cpu, '\n');
    const char *nic = strstr(cpu, " nic");
    if (!nic || (eol && nic > eol)) return false;
    // An idle share outside 0-100 is not top's: the piece counts as missing
    // (100 minus it could overflow besides).
    const long long idle = atoll(nic + 4);
    if (idle < 0 || idle > 100) return false;
    *cpu_rate = int(100 - idle);
    return true;
}

extern "C" bool kmx_get_uptime(char *info) {
    if (!info) return false;
    char out[256];
    bool ok = misc_system("/bin/uptime", out, sizeof out);
    const char *p = out;
    while (*p == ' ') p++;
    size_t n = strlen(p);
    while (n > 0 && (p[n - 1] == '\n' || p[n - 1] == '\r')) n--;
    memmove(info, p, n);
    info[n] = '\0';
    kmx_logf(1, "%s %d, uptime %s\n", __func__, __LINE__, klog::Outside(info).c_str());
    return ok;
}

extern "C" char *kmx_get_lock_status(void) {
    static char one[] = "1", zero[] = "0";
    return kmx_read_lock() ? one : zero;
}

extern "C" bool kmx_get_fan_duty(int *duty, chain_status *chains_status) {
    if (!duty || !chains_status) return false;
    *duty = -1;
    for (int i = 0; i < 8; i++)
        if (chains_status[i].valid) {
            *duty = chains_status[i].fan_duty;
            break;
        }
    return true;
}

extern "C" bool kmx_get_power_info(chain_status *chains_status, char *power_vendor, char *power_version) {
    if (!power_vendor && !power_version) return false;
    char vendor[30] = "", version[30] = "";
    char text[100];
    bool found = false;
    if (read_small("/tmp/psu_info", text, 99)) found = two_lines(text, vendor, sizeof vendor, version, sizeof version);
    if (!found && chains_status) {
        for (int i = 0; i < 9 && !found; i++) {
            const chain_status &c = chains_status[i];
            if (!c.valid || !c.powerVendor[0] || !c.powerVersion[0]) continue;
            snprintf(vendor, sizeof vendor, "%.29s", c.powerVendor);
            snprintf(version, sizeof version, "%.29s", c.powerVersion);
            found = true;
        }
    }
    if (!found) return false;
    if (power_vendor) memcpy(power_vendor, vendor, sizeof vendor);
    if (power_version) memcpy(power_version, version, sizeof version);
    return true;
}

extern "C" bool kmx_get_runtime(long long *runtime, chain_status *chains_status) {
    if (!runtime || !chains_status) return false;
    *runtime = 0;
    for (int i = 0; i < 8; i++)
        if (chains_status[i].valid) {
            *runtime = (long long)chains_status[i].runtime;
            break;
        }
    return true;
}

extern "C" int kmx_get_gateway(char *eth, char *gateway) {
    if (!eth || !gateway) return -1;
    // The interface name reaches the command line: only a plain name.
    for (const char *p = eth; *p; p++)
        if (!isalnum((unsigned char)*p) && !strchr("._-", *p)) return -1;
    char cmd[160];
    snprintf(cmd, sizeof cmd, "route -n | grep %s  | grep 'UG[ \t]' | awk '{print $2}'", eth);
    char out[20] = "";
    kmx_get_shell_cmd_rst(cmd, out, sizeof out);
    char *nl = strchr(out, '\n');
    if (nl) *nl = '\0';
    memcpy(gateway, out, strlen(out) + 1);
    return 0;
}

extern "C" int kmx_get_dns_server(char *dns1, char *dns2) {
    if (!dns1) return -1;
    char cmd[] = "cat /etc/resolv.conf | sed -n '/^nameserver/p' | awk '{print $2}'";
    char out[100] = "";
    kmx_get_shell_cmd_rst(cmd, out, sizeof out);
    char *nl = strchr(out, '\n');
    if (nl) *nl = '\0';
    snprintf(dns1, 40, "%s", out);
    if (nl && dns2) {
        char *second = nl + 1;
        char *nl2 = strchr(second, '\n');
        if (nl2) *nl2 = '\0';
        if (*second) snprintf(dns2, 40, "%s", second);
    }
    return 0;
}

extern "C" bool kmx_get_dhcp_mode(void) {
    char cmd[] = "cat /config/network/25-wired.network | sed -n '/^DHCP/p' | awk -F'=' '{print $2}'";
    char out[10] = "";
    kmx_get_shell_cmd_rst(cmd, out, sizeof out);
    return strncmp(out, "yes", 3) == 0;
}
