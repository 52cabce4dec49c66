// The periodic status report (cmd 7) handed to the management-server link.
#include <cjson/cJSON.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "minerCloud/kmx_cloud.h"
#include "misc/kmx_board_check.h"
#include "misc/kmx_pool.h"
#include "misc/kmx_report_internal.h"
#include "misc/kmx_misc.h"
#include "module/kmx_log.h"

std::string kmx_build_report(dtu_config *dtu_cfg, chain_status *chains_status, int active_pool_idx) {
    cJSON *root = cJSON_CreateObject();
    if (!root) return {};
    char ip[32] = "", mac[32] = "";
    kmx_get_ip(reinterpret_cast<unsigned char *>(ip));
    kmx_get_mac(reinterpret_cast<unsigned char *>(mac));
    cJSON_AddNumberToObject(root, "cmd", 7);
    if (dtu_cfg->plantId > 0) cJSON_AddNumberToObject(root, "plantId", dtu_cfg->plantId);
    cJSON_AddStringToObject(root, "ip", ip);
    cJSON_AddStringToObject(root, "mac", mac);
    if (dtu_cfg->nucMac[0]) cJSON_AddStringToObject(root, "nucmac", dtu_cfg->nucMac);
    cJSON_AddNumberToObject(root, "src_id", 1);
    cJSON_AddNumberToObject(root, "dst_id", 0);
    cJSON_AddNumberToObject(root, "result", 0);
    cJSON_AddNullToObject(root, "err_msg");
    cJSON *data = cJSON_AddArrayToObject(root, "data");
    cJSON *obj = cJSON_CreateObject();
    cJSON_AddItemToArray(data, obj);

    char buf[512];
    memset(buf, 0, sizeof buf);
    kmx_get_miner_type(buf, 16);
    cJSON_AddStringToObject(obj, "type", buf);
    int duty = -1;
    kmx_get_fan_duty(&duty, chains_status);
    snprintf(buf, sizeof buf, "%d", duty);
    cJSON_AddStringToObject(obj, "duty", buf);
    cJSON_AddStringToObject(obj, "mac", mac);
    cJSON_AddStringToObject(obj, "ip", ip);
    cJSON_AddStringToObject(obj, "hwver", kmx_get_hwversion());
    char vendor[30] = "", version[30] = "";
    if (kmx_get_power_info(chains_status, vendor, version)) {
        cJSON_AddStringToObject(obj, "powerVendor", vendor);
        cJSON_AddStringToObject(obj, "powerVersion", version);
    }
    memset(buf, 0, sizeof buf);
    kmx_get_dna(buf);
    cJSON_AddStringToObject(obj, "dna", buf);
    memset(buf, 0, sizeof buf);
    kmx_get_mode(buf);
    cJSON_AddStringToObject(obj, "perf_mode", buf);
    int errcode = 0;
    memset(buf, 0, sizeof buf);
    kmx_get_errcode(&errcode, buf);
    cJSON_AddNumberToObject(obj, "errcode", errcode);
    cJSON_AddStringToObject(obj, "errmsg", buf);
    memset(buf, 0, sizeof buf);
    kmx_get_uptime(buf);
    cJSON_AddStringToObject(obj, "uptime", buf);
    int cpu = -1, mem = -1;
    kmx_get_cpu_mem_usage(&cpu, &mem);
    if (cpu != -1) cJSON_AddNumberToObject(obj, "cpuUsage", cpu);
    if (mem != -1) cJSON_AddNumberToObject(obj, "memUsage", mem);
    memset(buf, 0, sizeof buf);
    kmx_get_version_from_env(reinterpret_cast<unsigned char *>(buf), 512);
    cJSON_AddStringToObject(obj, "fwver", buf);
    bool tuned = true;
    kmx_get_tune_status(&tuned);
    cJSON_AddBoolToObject(obj, "isTuned", tuned);

    pool_conf pools[KMX_POOL_NUM];
    memset(pools, 0, sizeof pools);
    kmx_get_pools(pools);
    cJSON *parr = cJSON_AddArrayToObject(obj, "pools");
    for (auto &p : pools) {
        if (!p.url[0] || !p.user[0]) continue;
        cJSON *po = cJSON_CreateObject();
        cJSON_AddStringToObject(po, "url", p.url);
        std::string user = p.user, suffix;
        size_t dot = user.find('.');
        if (dot != std::string::npos) {
            suffix = user.substr(dot + 1);
            user.resize(dot);
        }
        cJSON_AddStringToObject(po, "user", user.c_str());
        cJSON_AddStringToObject(po, "userSuffix", suffix.c_str());
        cJSON_AddStringToObject(po, "pass", p.pass);
        cJSON_AddItemToArray(parr, po);
    }
    if (active_pool_idx != -1) cJSON_AddNumberToObject(obj, "activePoolIdx", active_pool_idx);
    cJSON *iparr = cJSON_AddArrayToObject(obj, "pools_ip");
    for (int i = 0; i < 3; i++) {
        char url[512], pip[512];
        pthread_mutex_lock(&g_get_pools_ip_lock);
        memcpy(url, pool_ip_rst.pool_url[i], sizeof url);
        memcpy(pip, pool_ip_rst.pool_ip[i], sizeof pip);
        pthread_mutex_unlock(&g_get_pools_ip_lock);
        url[511] = pip[511] = '\0';
        cJSON *o = cJSON_CreateObject();
        cJSON_AddStringToObject(o, "url", url);
        cJSON_AddStringToObject(o, "ip", pip);
        cJSON_AddItemToArray(iparr, o);
    }
    cJSON *chains = cJSON_AddArrayToObject(obj, "chains");
    for (int i = 0; i < 9; i++) {
        const chain_status &c = chains_status[i];
        if (!c.valid) continue;
        cJSON *o = cJSON_CreateObject();
        cJSON_AddNumberToObject(o, "id", i);
        cJSON_AddNumberToObject(o, "rate", c.hash);
        cJSON_AddNumberToObject(o, "highTemp", c.tmp_hi);
        cJSON_AddNumberToObject(o, "meanTemp", c.tmp_av);
        cJSON_AddNumberToObject(o, "accepted", c.accCnt);
        cJSON_AddNumberToObject(o, "rejected", c.rejCnt);
        cJSON_AddNumberToObject(o, "hwError", c.hwerrCnt);
        cJSON_AddNumberToObject(o, "pll", c.pll);
        cJSON_AddNumberToObject(o, "vidVolt", c.vid_volt);
        cJSON_AddNumberToObject(o, "power", c.power);
        cJSON_AddItemToArray(chains, o);
    }
    long long runtime = 0;
    kmx_get_runtime(&runtime, chains_status);
    cJSON_AddNumberToObject(obj, "runtime", double(runtime));
    cJSON_AddBoolToObject(obj, "lock", strcmp(kmx_get_lock_status(), "1") == 0);
    cJSON_AddStringToObject(obj, "net_mode", kmx_get_dhcp_mode() ? "dhcp" : "static");
    cJSON_AddBoolToObject(obj, "standby", kmx_get_standby_env());

    char *text = cJSON_PrintUnformatted(root);
    cJSON_Delete(root);
    std::string out = text ? text : "";
    free(text);
    return out;
}

extern "C" bool kmx_make_one_packet(dtu_config *dtu_cfg, chain_status *chains_status, int active_pool_idx) {
    if (!dtu_cfg || !chains_status) return false;
    std::string text = kmx_build_report(dtu_cfg, chains_status, active_pool_idx);
    if (text.empty()) {
        kmx_logf(5, "%s    %s  %d  failed !\n", "minerCloud", __func__, __LINE__);
        return false;
    }
    // The log line is cut to the logger's line size; the frame carries all.
    kmx_logf(1, "%s %d, len %d, %s\n", __func__, __LINE__, int(text.size()), text.c_str());
    kmx_send_cloud(reinterpret_cast<const unsigned char *>(text.c_str()), dtu_cfg);
    return true;
}
