#include "misc/kmx_pool.h"

#include <cjson/cJSON.h>
#include <jansson.h>
#include <pthread.h>
#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <cstring>

#include "misc/kmx_misc.h"
#include "module/kmx_log.h"
#include "os/os.h"
#include "platform/kmx_platform.h"

namespace {

const char *const PLAIN_FILE = "/config/cgminer.conf";
const char *const FACTORY_FILE = "/etc/cgminer.conf";
const char *const CG_FILE = "/config/cg.conf";
const int CHAIN_SLOTS = 8;

// Bounded copy into a 512-byte pool text; longer values are cut and logged.
void copy_field(char *dst, const char *src) {
    if (!src) src = "";
    size_t len = strlen(src);
    if (len > KMX_POOL_TEXT - 1) {
        kmx_logf(5, "%s %d, pool text of %zu characters cut to %d\n", __func__, __LINE__, len, KMX_POOL_TEXT - 1);
        len = KMX_POOL_TEXT - 1;
    }
    memcpy(dst, src, len);
    dst[len] = '\0';
}

const char *cjson_str(cJSON *obj, const char *key) {
    cJSON *it = cJSON_GetObjectItemCaseSensitive(obj, key);
    return cJSON_IsString(it) && it->valuestring ? it->valuestring : "";
}

bool read_text(const char *path, char *buf, size_t size) {
    FILE *fp = fopen(path, "r");
    if (!fp) {
        kmx_logf(5, "%s    %s  %d  open %s failed !\n", "kmx_misc", __func__, __LINE__, path);
        return false;
    }
    size_t n = fread(buf, 1, size - 1, fp);
    buf[n] = '\0';
    fclose(fp);
    return true;
}

// /etc/cgminer.conf (at most 4095 bytes) parsed; false when unopenable.
// The tree is null when the text is not JSON.
bool load_factory(cJSON **root) {
    char text[4096];
    if (!read_text(FACTORY_FILE, text, sizeof text)) return false;
    *root = cJSON_Parse(text);
    return true;
}

// Merge while locked: the encrypted user keeps its name up to the first
// dot (a dot at position 0 does not count) and takes the plain user's
// suffix from its dot on, when there is one with text after it.
void merge_user(char *enc_user, const char *plain_user) {
    char *dot = strchr(enc_user + (enc_user[0] ? 1 : 0), '.');
    if (dot) *dot = '\0';
    const char *pdot = strchr(plain_user, '.');
    if (pdot && pdot[1]) {
        size_t have = strlen(enc_user);
        size_t room = KMX_POOL_TEXT - 1 - have;
        size_t add = strlen(pdot);
        if (add > room) {
            kmx_logf(5, "%s %d, merged pool user cut to %d characters\n", __func__, __LINE__, KMX_POOL_TEXT - 1);
            add = room;
        }
        memcpy(enc_user + have, pdot, add);
        enc_user[have + add] = '\0';
    }
}

}  // namespace

const char KMX_CG_KEY_TEXT[17] = "Km8#pL2v@Qz6!tWe";

extern "C" char *kmx_arg_printe(char *arg, int len) {
    char *out = static_cast<char *>(calloc(1, 512));
    if (!out || !arg) return out;
    if (len > 512) len = 512;
    for (int i = 0; i < len; i++) out[i] = char(((unsigned char)arg[i] ^ 0x5A) + i * 7);
    return out;
}

extern "C" int char_bcd2hex(char bcd) {
    if (bcd >= '0' && bcd <= '9') return bcd - '0';
    if (bcd >= 'A' && bcd <= 'F') return bcd - 'A' + 10;
    if (bcd >= 'a' && bcd <= 'f') return bcd - 'a' + 10;
    kmx_logf(5, "char_bcd2hex para error!!! \n");
    return 0;
}

extern "C" int str_bcd2hex(char *bcd, char *hex) {
    if (!bcd || !hex) return 0;
    size_t len = strlen(bcd);
    if (len >= 2 && bcd[len - 2] == '\r' && bcd[len - 1] == '\n')
        len -= 2;
    else if (len >= 1 && (bcd[len - 1] == '\r' || bcd[len - 1] == '\n'))
        len -= 1;
    if (len % 2) return 0;
    for (size_t i = 0; i < len; i += 2) hex[i / 2] = char(char_bcd2hex(bcd[i]) << 4 | char_bcd2hex(bcd[i + 1]));
    return int(len / 2);
}

extern "C" int load_conf_file(pool_config *pool_p) {
    if (!pool_p) return -1;
    json_error_t err;
    json_t *root = json_load_file(PLAIN_FILE, 0, &err);
    if (!root || !json_is_object(root)) {
        if (root) json_decref(root);
        return -1;
    }
    memset(pool_p, 0, sizeof(pool_config) * KMX_POOL_NUM);
    json_t *pools = json_object_get(root, "pools");
    if (!json_is_array(pools)) {
        json_decref(root);
        return -1;
    }
    int result = 0;
    // Three entries exist; further elements are not read.
    for (size_t i = 0; i < json_array_size(pools) && i < KMX_POOL_NUM; i++) {
        json_t *el = json_array_get(pools, i);
        if (!json_is_object(el)) continue;
        result = 0;
        char *fields[3] = {pool_p[i].pool_url, pool_p[i].pool_user, pool_p[i].pool_pass};
        const char *keys[3] = {"url", "user", "pass"};
        for (int f = 0; f < 3; f++) {
            json_t *v = json_object_get(el, keys[f]);
            if (!json_is_string(v)) {
                result = -1;
                break;
            }
            copy_field(fields[f], json_string_value(v));
        }
    }
    json_decref(root);
    return result;
}

extern "C" bool kmx_parse_cgminer_config(pool_conf *pool) {
    cJSON *root = nullptr;
    if (!pool || !load_factory(&root)) return false;
    memset(pool, 0, sizeof(pool_conf) * KMX_POOL_NUM);
    cJSON *pools = root ? cJSON_GetObjectItemCaseSensitive(root, "pools") : nullptr;
    if (cJSON_IsArray(pools)) {
        int n = cJSON_GetArraySize(pools);
        for (int i = 0; i < n && i < KMX_POOL_NUM; i++) {
            cJSON *el = cJSON_GetArrayItem(pools, i);
            copy_field(pool[i].url, cjson_str(el, "url"));
            copy_field(pool[i].user, cjson_str(el, "user"));
            copy_field(pool[i].pass, cjson_str(el, "pass"));
        }
    }
    cJSON_Delete(root);
    return true;
}

extern "C" bool kmx_get_tune_status(bool *tuned) {
    cJSON *root = nullptr;
    if (!tuned || !load_factory(&root)) return false;
    cJSON *v = root ? cJSON_GetObjectItemCaseSensitive(root, "VidOptimal") : nullptr;
    *tuned = !cJSON_IsFalse(v);
    cJSON_Delete(root);
    return true;
}

extern "C" bool kmx_parse_pool_file(void *context) {
    if (!context) return false;
    pool_conf *pool = static_cast<pool_conf *>(context);
    memset(pool, 0, sizeof *pool);
    FILE *fp = fopen(CG_FILE, "r");
    if (!fp) {
        kmx_logf(5, "Open File Falied!");
        return false;
    }
    char *key = kmx_arg_printe(const_cast<char *>(KMX_CG_KEY_TEXT), 16);
    if (!key) {
        fclose(fp);
        return false;
    }
    char line[512];
    int lineno = 0;
    bool continuing = false;
    while (fgets(line, sizeof line, fp)) {
        size_t len = strlen(line);
        bool complete = len > 0 && line[len - 1] == '\n';
        // The rest of an overlong line belongs to it, not to the next field.
        if (continuing) {
            continuing = !complete;
            continue;
        }
        continuing = !complete && !feof(fp);
        lineno++;
        if (lineno == 1) {
            kmx_logf(2, "miner config no:%s", klog::Outside::line(line).c_str());
            continue;
        }
        if (lineno > 10) continue;
        unsigned char cipher[256] = {0};
        unsigned char plain[256] = {0};
        // 511 hex digits give at most 255 bytes: the buffer always fits.
        int n = str_bcd2hex(line, reinterpret_cast<char *>(cipher));
        AES_Decrypt(reinterpret_cast<unsigned char *>(key), cipher, n, plain);
        int idx = (lineno - 2) / 3;
        char *fields[3] = {pool[idx].url, pool[idx].user, pool[idx].pass};
        size_t plen = strnlen(reinterpret_cast<char *>(plain), sizeof plain);
        char value[257];
        memcpy(value, plain, plen);
        value[plen] = '\0';
        copy_field(fields[(lineno - 2) % 3], value);
    }
    fclose(fp);
    free(key);
    return true;
}

extern "C" bool kmx_parse_cg_config(pool_conf *pool) {
    if (!pool) return false;
    memset(pool, 0, sizeof(pool_conf) * KMX_POOL_NUM);
    kmx_parse_pool_file(pool);
    return true;
}

extern "C" int kmx_get_pool(void *pool_ctx) {
    pool_config *pools = static_cast<pool_config *>(pool_ctx);
    if (!kmx_read_lock()) return load_conf_file(pools);
    if (!pools) return -1;
    memset(pools, 0, sizeof(pool_config) * KMX_POOL_NUM);
    // pool_config and pool_conf share one layout.
    static_assert(sizeof(pool_config) == sizeof(pool_conf));
    bool read = kmx_parse_pool_file(pools);
    kmx_logf(2, "load_encrypted_conf_file returns %s\n", read ? "true" : "false");
    if (!read) return -1;
    pool_config plain[KMX_POOL_NUM];
    int rc = load_conf_file(plain);
    if (rc != 0) return rc;
    for (int i = 0; i < KMX_POOL_NUM; i++) {
        if (!pools[i].pool_url[0] || !pools[i].pool_user[0] || !plain[i].pool_url[0] || !plain[i].pool_user[0])
            continue;
        merge_user(pools[i].pool_user, plain[i].pool_user);
        copy_field(pools[i].pool_pass, plain[i].pool_pass);
    }
    return 0;
}

extern "C" bool kmx_get_pools(pool_conf *pool) {
    if (!pool) return false;
    if (!kmx_read_lock()) {
        kmx_parse_cgminer_config(pool);
        return true;
    }
    kmx_parse_cg_config(pool);
    pool_conf plain[KMX_POOL_NUM];
    memset(plain, 0, sizeof plain);
    kmx_parse_cgminer_config(plain);
    for (int i = 0; i < KMX_POOL_NUM; i++) {
        if (!pool[i].url[0] || !pool[i].user[0] || !plain[i].url[0] || !plain[i].user[0]) continue;
        merge_user(pool[i].user, plain[i].user);
    }
    return true;
}

extern "C" bool kmx_parse_pool_type(char *rpc_url) {
    return rpc_url && strncasecmp(rpc_url, "stratum+tls://", 14) == 0;
}

extern "C" void get_cnt_array(int *arr, char *file_path) {
    if (!arr || !file_path) return;
    pthread_mutex_lock(&g_sync_err_lock);
    FILE *fp = fopen(file_path, "r");
    if (!fp) {
        if (access(file_path, F_OK) != 0) {
            kmx_logf(3, "cgminer count file is not existed!");
            for (int i = 0; i < CHAIN_SLOTS; i++) arr[i] = 0;
        } else {
            kmx_logf(5, "open %s file failed!", file_path);
        }
        pthread_mutex_unlock(&g_sync_err_lock);
        return;
    }
    char line[1024] = {0};
    if (!fgets(line, sizeof line, fp)) line[0] = '\0';
    fclose(fp);
    int count = 0;
    char *save = nullptr;
    for (char *tok = strtok_r(line, " \n", &save); tok; tok = strtok_r(nullptr, " \n", &save)) {
        if (count >= CHAIN_SLOTS) {
            kmx_logf(5, "chain num > KMX_CONFIG_MAX_CHAIN_NUM!");
            break;
        }
        arr[count++] = atoi(tok);
    }
    if (count < CHAIN_SLOTS) kmx_logf(5, "Error! chain num != KMX_CONFIG_MAX_CHAIN_NUM!");
    pthread_mutex_unlock(&g_sync_err_lock);
}

extern "C" void set_cnt_array(int *arr, char *file_path) {
    if (!arr) {
        kmx_logf(5, "cgminer count array is NULL!");
        return;
    }
    if (!file_path) return;
    char text[8 * 12 + 1];
    snprintf(text, sizeof text, "%d %d %d %d %d %d %d %d", arr[0], arr[1], arr[2], arr[3], arr[4], arr[5], arr[6],
             arr[7]);
    pthread_mutex_lock(&g_sync_err_lock);
    // Replaced whole: a power cut or a kill mid-write must not empty the
    // counters, which would read back as eight zeros. What a writer killed
    // in an earlier run left beside the file goes with this process's first
    // write of it.
    if (!misc_write_owned_file(file_path, text)) kmx_logf(5, "open file %s failed!: %s", file_path, strerror(errno));
    pthread_mutex_unlock(&g_sync_err_lock);
}
