// Commands from checked server replies. No reply field ever reaches a
// shell: every command text below is fixed, and pool texts, the mode and
// the adjust value only go into cgminer.conf through the JSON printer.
#include <cjson/cJSON.h>
#include <dirent.h>
#include <ftw.h>
#include <regex.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "minerCloud/kmx_cloud.h"
#include "misc/kmx_conf_lock_internal.h"
#include "misc/kmx_report.h"
#include "module/kmx_log.h"
#include "module/kmx_ops.h"
#include "os/os.h"

namespace {

const char *const CGMINER_CONF = "/config/cgminer.conf";
const char *const NETWORK_FILE = "/config/network/25-wired.network";
const size_t CONF_BUF = 4096;
const char *const MODE_KEYS[3] = {"N5performance", "N5factory", "N5efficient"};
// Modes of kmx_set_red_led: the driver clears the active-low bit for 1.
const int kRedLedLit = 1;
const int kRedLedDark = 0;

int run(const char *cmd) { return kos::shell_status(cmd); }

// Read cgminer.conf whole; a missing file, a file that cannot be parsed or
// a root that is not an object leaves the file alone.
cJSON *load_conf(const char *func) {
    if (access(CGMINER_CONF, F_OK) != 0) {
        kmx_logf(5, "%s    %s  %d  open %s failed !\n", "minerCloud", func, __LINE__, CGMINER_CONF);
        return nullptr;
    }
    std::string text;
    if (!kos::read_file(CGMINER_CONF, text)) {
        kmx_logf(5, "%s    %s  %d  open %s failed !\n", "minerCloud", func, __LINE__, CGMINER_CONF);
        return nullptr;
    }
    cJSON *root = cJSON_Parse(text.c_str());
    if (!cJSON_IsObject(root)) {
        kmx_logf(5, "%s  %d  %s is not a JSON object !\n", func, __LINE__, CGMINER_CONF);
        cJSON_Delete(root);
        return nullptr;
    }
    return root;
}

// Print and replace the file whole (temporary file and rename).
bool store_conf(cJSON *root, const char *func) {
    char *text = cJSON_PrintUnformatted(root);
    bool ok = text && strlen(text) < CONF_BUF;
    if (!text) {
        kmx_logf(5, "%s   %d  cannot print the settings, %s left as it is !\n", func, __LINE__, CGMINER_CONF);
    } else if (!ok) {
        kmx_logf(5, "%s   %d  the settings take %zu bytes, more than %zu, %s left as it is !\n", func, __LINE__,
                 strlen(text), CONF_BUF - 1, CGMINER_CONF);
    } else {
        ok = kos::write_file_atomic(CGMINER_CONF, text);
        if (!ok) kmx_logf(5, "%s  %d  cannot replace %s !: %s\n", func, __LINE__, CGMINER_CONF, strerror(errno));
    }
    free(text);
    return ok;
}

// Whether `s` is well-formed UTF-8: no stray or missing continuation
// bytes, no overlong form, no surrogate, nothing above U+10FFFF. Every
// reader of cgminer.conf (the miner, the backup guard, stepctl) refuses the
// whole file over one bad byte.
bool utf8_valid(const char *s) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(s);
    while (*p) {
        const unsigned c = *p++;
        if (c < 0x80) continue;
        int more;
        unsigned cp, min;
        if (c >= 0xC2 && c <= 0xDF) {
            more = 1, cp = c & 0x1F, min = 0x80;
        } else if (c >= 0xE0 && c <= 0xEF) {
            more = 2, cp = c & 0x0F, min = 0x800;
        } else if (c >= 0xF0 && c <= 0xF4) {
            more = 3, cp = c & 0x07, min = 0x10000;
        } else {
            return false;
        }
        for (; more > 0; --more, ++p) {
            if ((*p & 0xC0) != 0x80) return false;
            cp = cp << 6 | (*p & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    }
    return true;
}

// Why the item `key` of `obj` cannot go into a field of `size` bytes, or
// an empty text when it can (a missing or null item can: it is stored
// empty). A text cut to fit, or a number stored as "", is not what the
// server sent: a cut password is a miner that cannot log in.
std::string text_fault(cJSON *obj, const char *key, size_t size) {
    cJSON *it = cJSON_GetObjectItemCaseSensitive(obj, key);
    if (!it || cJSON_IsNull(it)) return "";
    if (!cJSON_IsString(it) || !it->valuestring) return "is not a text";
    if (!utf8_valid(it->valuestring)) return "is not UTF-8 text";
    if (strlen(it->valuestring) >= size) return "is longer than " + std::to_string(size - 1) + " bytes";
    return "";
}

// Copies the text of `key` (empty when missing or not a text), cut to the
// buffer at a character boundary: a cut inside a character would leave a
// text no JSON reader takes.
void copy_text(char *dst, size_t size, cJSON *obj, const char *key) {
    cJSON *it = cJSON_GetObjectItemCaseSensitive(obj, key);
    const char *v = cJSON_IsString(it) && it->valuestring ? it->valuestring : "";
    size_t n = strlen(v);
    if (n >= size) {
        n = size - 1;
        while (n > 0 && (static_cast<unsigned char>(v[n]) & 0xC0) == 0x80) --n;
    }
    memcpy(dst, v, n);
    dst[n] = '\0';
}

void cmd_set_pools(cJSON *root) {
    run("fw_setenv  iflag  0\n");
    pool_conf pools[KMX_POOL_NUM];
    memset(pools, 0, sizeof pools);
    cJSON *data = cJSON_GetObjectItemCaseSensitive(root, "data");
    if (!data) {
        kmx_logf(5, "%s  %d  data is null!", __func__, __LINE__);
        return;
    }
    // Anything but a list of pools is a malformed command, not an empty
    // list: the miner's pools stay as they are.
    if (!cJSON_IsArray(data)) {
        kmx_logf(5, "%s  %d  data is not an array, pools left as they are!", __func__, __LINE__);
        return;
    }
    // The first three items are the command. An item that names no pool is
    // skipped; a list of items none of which names one is garbled, not an
    // order to mine nowhere (only an empty list clears the pools).
    const int n = cJSON_GetArraySize(data);
    int usable = 0;
    for (int i = 0; i < n && i < KMX_POOL_NUM; i++) {
        cJSON *item = cJSON_GetArrayItem(data, i);
        if (!cJSON_IsObject(item)) {
            kmx_logf(5, "%s  %d  pool item %d is not an object, skipped!", __func__, __LINE__, i);
            continue;
        }
        for (const char *key : {"url", "user", "pass"}) {
            const std::string fault = text_fault(item, key, KMX_POOL_TEXT);
            if (!fault.empty()) {
                kmx_logf(5, "%s  %d  pool item %d: %s %s, pools left as they are!", __func__, __LINE__, i, key,
                         fault.c_str());
                return;
            }
        }
        cJSON *url = cJSON_GetObjectItemCaseSensitive(item, "url");
        if (!cJSON_IsString(url) || !url->valuestring[0]) {
            kmx_logf(5, "%s  %d  pool item %d has no url text, skipped!", __func__, __LINE__, i);
            continue;
        }
        copy_text(pools[i].url, sizeof pools[i].url, item, "url");
        copy_text(pools[i].user, sizeof pools[i].user, item, "user");
        copy_text(pools[i].pass, sizeof pools[i].pass, item, "pass");
        usable++;
    }
    if (n > 0 && usable == 0) {
        kmx_logf(5, "%s  %d  no usable pool in data, pools left as they are!", __func__, __LINE__);
        return;
    }
    // A list that did not reach the file (lock, size or write refused, each
    // logged with its reason) changes nothing the miner would read.
    if (!kmx_set_pools(pools)) {
        kmx_logf(5, "%s  %d  pools not changed, the miner is not restarted!", __func__, __LINE__);
        return;
    }
    run("flagutils set\n");
    run("systemctl restart cgminer\n");
}

void cmd_runmode(cJSON *root) {
    cJSON *data = cJSON_GetObjectItemCaseSensitive(root, "data");
    if (!cJSON_IsObject(data)) {
        kmx_logf(5, "%s  %d  data is null!", __func__, __LINE__);
        return;
    }
    char adjust[9] = "";
    if (!cJSON_GetObjectItemCaseSensitive(data, "N5adjust"))
        kmx_logf(5, "%s  %d  N5adjust is null!", __func__, __LINE__);
    const std::string fault = text_fault(data, "N5adjust", sizeof adjust);
    if (!fault.empty()) {
        kmx_logf(5, "%s  %d  N5adjust %s, run mode left as it is!", __func__, __LINE__, fault.c_str());
        return;
    }
    copy_text(adjust, sizeof adjust, data, "N5adjust");
    char mode[32] = "";
    for (const char *k : MODE_KEYS)
        if (cJSON_GetObjectItemCaseSensitive(data, k)) copy_text(mode, sizeof mode, data, k);
    if (!kmx_set_runmode(reinterpret_cast<unsigned char *>(mode), reinterpret_cast<unsigned char *>(adjust))) {
        kmx_logf(5, "%s  %d  run mode not changed, the miner is not restarted!", __func__, __LINE__);
        return;
    }
    run("systemctl restart cgminer\n");
}

bool is_b37() { return strncmp(kmx_get_hwversion(), "B37", 3) == 0; }

int remove_entry(const char *path, const struct stat *, int, struct FTW *) {
    if (remove(path) != 0)
        kmx_logf(5, "%s  %d  cannot remove %s: %s\n", "kmx_reset_factory_conf", __LINE__, klog::Outside(path).c_str(),
                 strerror(errno));
    return 0;  // go on with the rest
}

// The factory reset keeps the management lock ("author.au") and the
// encrypted pools ("cg.conf"), matched as the listing filter always did
// (anywhere in the name, '.' any character); hidden names were never listed
// and stay too. Everything else under /config goes.
void clear_config_folder() {
    regex_t keep_author, keep_pools;
    if (regcomp(&keep_author, "author.au", REG_NOSUB) != 0 || regcomp(&keep_pools, "cg.conf", REG_NOSUB) != 0) {
        kmx_logf(5, "%s  %d  reset filter failed !\n", "kmx_reset_factory_conf", __LINE__);
        return;
    }
    if (DIR *d = opendir("/config/")) {
        while (struct dirent *e = readdir(d)) {
            const char *name = e->d_name;
            if (name[0] == '.') continue;
            if (regexec(&keep_author, name, 0, nullptr, 0) == 0 || regexec(&keep_pools, name, 0, nullptr, 0) == 0)
                continue;
            const std::string path = std::string("/config/") + name;
            nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
        }
        closedir(d);
    } else {
        kmx_logf(5, "%s  %d  cannot list /config !\n", "kmx_reset_factory_conf", __LINE__);
    }
    regfree(&keep_author);
    regfree(&keep_pools);
}

}  // namespace

void kmx_cloud_run_cmd(int cmd, cJSON *root) {
    switch (cmd) {
    case 1: cmd_set_pools(root); break;
    case 2: kmx_reboot_miner(); break;
    case 3: kmx_reset_factory_conf(); break;
    case 4: kmx_set_dhcp(); break;
    case 5:
        run("flagutils set");
        sync();
        run("systemctl restart cgminer\n");
        break;
    case 6:
        run("flagutils clear");
        sync();
        run("systemctl restart cgminer\n");
        break;
    case 9: cmd_runmode(root); break;
    case 10: kmx_set_red_led(kRedLedLit); break;
    case 11: kmx_set_red_led(kRedLedDark); break;
    default: break;  // reserved, the device's own report code, or unknown
    }
}

extern "C" bool kmx_set_pools(pool_conf *pool) {
    if (!pool) return false;
    kmisc::ConfLock lock(__func__);
    if (!lock.held()) return false;
    cJSON *root = load_conf(__func__);
    if (!root) return false;
    cJSON_DeleteItemFromObjectCaseSensitive(root, "pools");
    cJSON *arr = cJSON_AddArrayToObject(root, "pools");
    for (int i = 0; i < KMX_POOL_NUM; i++) {
        if (!pool[i].url[0]) continue;
        pool[i].url[KMX_POOL_TEXT - 1] = pool[i].user[KMX_POOL_TEXT - 1] = pool[i].pass[KMX_POOL_TEXT - 1] = '\0';
        cJSON *o = cJSON_CreateObject();
        cJSON_AddStringToObject(o, "url", pool[i].url);
        cJSON_AddStringToObject(o, "user", pool[i].user);
        cJSON_AddStringToObject(o, "pass", pool[i].pass);
        cJSON_AddItemToArray(arr, o);
    }
    bool ok = store_conf(root, __func__);
    cJSON_Delete(root);
    return ok;
}

extern "C" bool kmx_set_runmode(const unsigned char *mode, const unsigned char *adjust) {
    const char *m = mode ? reinterpret_cast<const char *>(mode) : "";
    const char *a = adjust ? reinterpret_cast<const char *>(adjust) : "";
    kmisc::ConfLock lock("kmx_set_runmode");
    if (!lock.held()) return false;
    cJSON *root = load_conf(__func__);
    if (!root) return false;
    cJSON_DeleteItemFromObjectCaseSensitive(root, "N5adjust");
    // Every mode key goes, so exactly one mode can be true afterwards.
    for (const char *k : MODE_KEYS)
        while (cJSON_GetObjectItemCaseSensitive(root, k)) cJSON_DeleteItemFromObjectCaseSensitive(root, k);
    cJSON_AddStringToObject(root, "N5adjust", a);
    bool known = false;
    for (const char *k : MODE_KEYS)
        if (strcmp(m, k) == 0) known = true;
    if (known)
        cJSON_AddTrueToObject(root, m);
    else
        kmx_logf(5, "%s  %d  not surport run_mode:%s!\n", __func__, __LINE__, klog::Outside(m).c_str());
    bool ok = store_conf(root, __func__);
    cJSON_Delete(root);
    return ok;
}

extern "C" bool kmx_reboot_miner(void) {
    run(is_b37() ? "sync;sleep 1;reboot" : "sync;sleep 1;reboot -f");
    return true;
}

extern "C" bool kmx_reset_factory_conf(void) {
    // The text removes everything in the current folder after its cd: it
    // runs only when /config is a folder, so a failed cd cannot remove the
    // daemon's working folder.
    struct stat st;
    if (stat("/config/", &st) != 0 || !S_ISDIR(st.st_mode)) {
        kmx_logf(5, "%s  %d  /config is not a folder, reset refused !\n", __func__, __LINE__);
        return true;
    }
    {
        // cgminer.conf and the network file go under their lock, never
        // beside a writer in flight whose rename would bring one back.
        kmisc::ConfLock lock("kmx_reset_factory_conf");
        if (!lock.held()) {
            kmx_logf(5, "%s  %d  reset refused !\n", __func__, __LINE__);
            return true;
        }
        // Names under /config are removed here, never passed through a
        // shell: a quote or a blank in one must not stop the reset half-way.
        clear_config_folder();
    }
    run(is_b37() ? "sync;reboot" : "sync;sleep 1; reboot -f");
    return true;
}

extern "C" int kmx_set_dhcp(void) {
    static const char text[] = "[Match]\nName=eth0\n[Network]\nDHCP=yes\n[DHCP]\nClientIdentifier=mac\n";
    {
        kmisc::ConfLock lock(__func__);
        struct stat st;
        if (!lock.held() || stat("/config/network", &st) != 0 || !S_ISDIR(st.st_mode) || !kos::write_file_atomic(NETWORK_FILE, text)) {
            kmx_logf(5, "fopen %s fail.\n", NETWORK_FILE);
            return 0;
        }
    }
    sync();
    return run("systemctl restart systemd-networkd\n");
}
