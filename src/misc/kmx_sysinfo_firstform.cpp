// First forms of system-information functions and daemon-side globals that
// the report and the server link need; their owners replace this file.
#include <arpa/inet.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "misc/kmx_misc.h"
#include "misc/kmx_report.h"
#include "misc/kmx_sysinfo_firstform.h"
#include "module/kmx_log.h"

extern "C" {

pool_ip_status pool_ip_rst;
pthread_mutex_t g_get_pools_ip_lock = PTHREAD_MUTEX_INITIALIZER;

bool kmx_get_mac(unsigned char *mac) {
    if (!mac) {
        kmx_logf(5, "%s  %s  %d mac is null !\n", "kmx_misc", __func__, __LINE__);
        return false;
    }
    FILE *fp = fopen("/sys/class/net/eth0/address", "r");
    if (!fp) {
        kmx_logf(5, "%s    %s  %d  open %s failed !\n", "kmx_misc", __func__, __LINE__, "/sys/class/net/eth0/address");
        return false;
    }
    char buf[21] = {0};
    size_t n = fread(buf, 1, 20, fp);
    fclose(fp);
    if (n > 0) buf[n - 1] = '\0';
    memcpy(mac, buf, strlen(buf) + 1);
    return true;
}

bool kmx_get_ip(unsigned char *ip) {
    if (!ip) return false;
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "eth0");
    if (fd < 0 || ioctl(fd, SIOCGIFADDR, &ifr) != 0) {
        if (fd >= 0) close(fd);
        kmx_logf(5, "%s  %s  %d failed !\n", "kmx_misc", __func__, __LINE__);
        return false;
    }
    close(fd);
    auto *sin = reinterpret_cast<struct sockaddr_in *>(&ifr.ifr_addr);
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text);
    memcpy(ip, text, strlen(text) + 1);
    return true;
}

bool kmx_get_version_from_env(unsigned char *result, int len) {
    if (!result) {
        kmx_logf(5, "%s    %d  result is null pointer\n", __func__, __LINE__);
        return false;
    }
    char flag[32];
    misc_system("/sbin/fw_printenv -n image_flag\n", flag, sizeof flag);
    const char *var;
    switch (flag[0]) {
    case 'a': var = "version_a"; break;
    case 'b': var = "version_b"; break;
    case '0': var = "version_0"; break;
    case '1': var = "version_1"; break;
    default: kmx_logf(5, "image_flag:%s failed!\n", flag); return false;
    }
    char cmd[64];
    snprintf(cmd, sizeof cmd, "/sbin/fw_printenv -n %s\n", var);
    misc_system(cmd, reinterpret_cast<char *>(result), len);
    size_t n = strlen(reinterpret_cast<char *>(result));
    if (n > 0) result[n - 1] = '\0';
    return true;
}

// First blank-delimited word of /etc/fwrevision (at most 63 characters).
int kmx_get_fwver_from_etc(char *version) {
    if (!version) {
        kmx_logf(5, "%s  %d  version is null !\n", __func__, __LINE__);
        return -1;
    }
    FILE *fp = fopen("/etc/fwrevision", "r");
    if (!fp) {
        kmx_logf(5, "%s  %d  open %s failed !\n", __func__, __LINE__, "/etc/fwrevision");
        return -1;
    }
    char word[64] = "";
    int n = fscanf(fp, "%63s", word);
    fclose(fp);
    if (n != 1) return -1;
    memcpy(version, word, strlen(word) + 1);
    return 0;
}

}  // extern "C"
