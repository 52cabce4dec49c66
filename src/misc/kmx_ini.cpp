#include "misc/kmx_ini.h"

#include <iniparser.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "misc/kmx_misc.h"
#include "misc/kmx_misc.h"
#include "module/kmx_log.h"
#include "os/os.h"

extern "C" {
int g_total_start_cnt = 0;
bool g_mount_flag = false;
}

namespace {

constexpr off_t kSizeCap = 0x9fffff;
constexpr int kLineSize = 1024;  // the loader's line buffer

// One lock per file path: every change is load, modify, rewrite of the
// whole file, and two writers interleaving would lose one's change.
std::mutex &path_lock(const char *path) {
    static std::mutex table_lock;
    static std::map<std::string, std::mutex> locks;
    std::lock_guard<std::mutex> hold(table_lock);
    return locks[path];
}

// A file over the cap is emptied before it is written again.
void apply_cap(const char *path) {
    struct stat st;
    if (stat(path, &st) == 0 && st.st_size > kSizeCap) kos::write_file_atomic(path, "");
}

// The whole file is replaced at once, so a crash leaves the old or the new
// history, never a half-written one.
bool save(dictionary *d, const char *path) {
    char *buf = nullptr;
    size_t len = 0;
    FILE *mem = open_memstream(&buf, &len);
    if (!mem) return false;
    iniparser_dump_ini(d, mem);
    fclose(mem);
    bool ok = kos::write_file_atomic(path, std::string_view(buf, len));
    free(buf);
    if (!ok) kmx_logf(5, "%s  %d  open %s failed !\n", __func__, __LINE__, path);
    return ok;
}

// Values are written unquoted one per line: a line break inside one would
// become a line of its own (a bad line, or a section) at the next load.
std::string one_line(const char *v) {
    std::string s = v ? v : "";
    for (char &c : s)
        if (c == '\n' || c == '\r') c = ' ';
    return s;
}

bool section_name_ok(const char *s) {
    return s && *s && !strpbrk(s, ":[]\r\n");
}

std::string local_time_text() {
    struct timeval tv = kos::wall_time();
    time_t t = tv.tv_sec;
    struct tm tm;
    localtime_r(&t, &tm);
    char buf[64];
    snprintf(buf, sizeof buf, "%d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
             tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

std::string times_key(int n, const char *name) { return "times_" + std::to_string(n) + ":" + name; }
std::string times_section(int n) { return "times_" + std::to_string(n); }

// ---- the loader's line classification (as iniparser 4.1 does it) ----------

enum LineKind { LINE_EMPTY, LINE_COMMENT, LINE_SECTION, LINE_VALUE, LINE_ERROR };

std::string strip(const std::string &s) {
    size_t b = 0, e = s.size();
    while (b < e && isspace((unsigned char)s[b])) b++;
    while (e > b && isspace((unsigned char)s[e - 1])) e--;
    return s.substr(b, e - b);
}

std::string lower(std::string s) {
    for (char &c : s) c = char(tolower((unsigned char)c));
    return s;
}

LineKind parse_line(const char *input, std::string &section, std::string &key, std::string &value) {
    std::string line = strip(input);
    if (line.empty()) return LINE_EMPTY;
    if (line[0] == '#' || line[0] == ';') return LINE_COMMENT;
    std::vector<char> k(line.size() + 1), v(line.size() + 1);
    if (line[0] == '[' && line.back() == ']') {
        if (sscanf(line.c_str(), "[%[^]]", k.data()) == 1) section = lower(strip(k.data()));
        else section.clear();
        return LINE_SECTION;
    }
    const char *l = line.c_str();
    if (sscanf(l, "%[^=] = \"%[^\"]\"", k.data(), v.data()) == 2 ||
        sscanf(l, "%[^=] = '%[^\']'", k.data(), v.data()) == 2) {
        key = lower(strip(k.data()));
        value = v.data();
        return LINE_VALUE;
    }
    if (sscanf(l, "%[^=] = %[^;#]", k.data(), v.data()) == 2) {
        key = lower(strip(k.data()));
        value = strip(v.data());
        if (value == "\"\"" || value == "''") value.clear();
        return LINE_VALUE;
    }
    if (sscanf(l, "%[^=] = %[;#]", k.data(), v.data()) == 2 || sscanf(l, "%[^=] %[=]", k.data(), v.data()) == 2) {
        key = lower(strip(k.data()));
        value.clear();
        return LINE_VALUE;
    }
    return LINE_ERROR;
}

// Removes the given byte ranges (sorted, not overlapping) from the file.
void delete_ranges(const char *path, const std::vector<std::pair<long, long>> &ranges) {
    std::string text;
    if (!kos::read_file(path, text, size_t(kSizeCap) + 2 * kLineSize)) return;
    std::string kept;
    long pos = 0;
    for (auto [b, e] : ranges) {
        kept.append(text, size_t(pos), size_t(b - pos));
        pos = e;
    }
    if (size_t(pos) < text.size()) kept.append(text, size_t(pos), std::string::npos);
    kos::write_file_atomic(path, kept);
}

// End of the physical line that starts at `from` (after its newline).
long line_end(FILE *in, long from) {
    fseek(in, from, SEEK_SET);
    int c;
    while ((c = fgetc(in)) != EOF && c != '\n') {
    }
    return ftell(in);
}

}  // namespace

// iniparser's loader, which in addition deletes the lines it cannot read from
// the file: this load fails, the next one reads the repaired file.
extern "C" dictionary *iniparser_load(const char *ininame) {
    FILE *in = fopen(ininame, "r");
    if (!in) return nullptr;
    dictionary *dict = dictionary_new(0);
    if (!dict) {
        fclose(in);
        return nullptr;
    }
    char line[kLineSize + 1] = {0};
    std::string section;
    int last = 0, lineno = 0, errs = 0;
    long logical_start = 0;  // offset where the current (continued) line began
    std::vector<std::pair<long, long>> bad;
    for (;;) {
        long start = ftell(in);
        if (!fgets(line + last, kLineSize - last, in)) break;
        if (last == 0) logical_start = start;
        lineno++;
        int len = int(strlen(line)) - 1;
        if (len <= 0) continue;
        if (line[len] != '\n' && !feof(in)) {
            fprintf(stderr, "iniparser: input line too long in %s (%d)\n", ininame, lineno);
            bad.emplace_back(logical_start, line_end(in, start));
            fclose(in);
            dictionary_del(dict);
            delete_ranges(ininame, bad);
            return nullptr;
        }
        while (len >= 0 && (line[len] == '\n' || isspace((unsigned char)line[len]))) line[len--] = 0;
        if (len < 0) len = 0;
        if (line[len] == '\\') {  // continued on the next line
            last = len;
            continue;
        }
        last = 0;
        std::string key, val;
        switch (parse_line(line, section, key, val)) {
        case LINE_SECTION: dictionary_set(dict, section.c_str(), nullptr); break;
        case LINE_VALUE: dictionary_set(dict, (section + ":" + key).c_str(), val.c_str()); break;
        case LINE_ERROR:
            fprintf(stderr, "iniparser: syntax error in %s (%d):\n-> %s\n", ininame, lineno, line);
            bad.emplace_back(logical_start, ftell(in));
            errs++;
            break;
        default: break;
        }
        memset(line, 0, sizeof line);
    }
    fclose(in);
    if (!bad.empty()) delete_ranges(ininame, bad);
    if (errs) {
        dictionary_del(dict);
        return nullptr;
    }
    return dict;
}

extern "C" bool kmx_check_section_exist(dictionary *dict, const char *section) {
    if (iniparser_getsecnkeys(dict, section) == 0 && iniparser_set(dict, section, nullptr) != 0)
        kmx_logf(5, "%s    %s  %d  failed !\n", "kmx_ini", __func__, __LINE__);
    return true;
}

namespace {

// Makes sure the file exists, then applies the size cap.
bool prepare(const char *path, const char *func) {
    FILE *fp = fopen(path, "a");
    if (!fp) {
        kmx_logf(5, "%s  %d  open %s failed !\n", func, __LINE__, path);
        return false;
    }
    fclose(fp);
    apply_cap(path);
    return true;
}

bool write_key_locked(const char *section, const char *key, const char *value, const char *path) {
    if (!prepare(path, __func__)) return false;
    dictionary *d = iniparser_load(path);
    if (!d) {
        kmx_logf(5, "%s    %s  %d  open %s failed !\n", "kmx_ini", __func__, __LINE__, path);
        return false;
    }
    kmx_check_section_exist(d, section);
    if (iniparser_set(d, key, one_line(value).c_str()) != 0)
        kmx_logf(5, "%s    %s  %d  failed !\n", "kmx_ini", __func__, __LINE__);
    bool ok = save(d, path);
    iniparser_freedict(d);
    return ok;
}

// The count's value plus one (1 when missing or zero), written back.
bool update_count_locked(const char *key, int *count, const char *path) {
    if (!prepare(path, __func__)) return false;
    dictionary *d = iniparser_load(path);
    if (!d) {
        kmx_logf(5, "%s    %s  %d  open %s failed !\n", "kmx_ini", __func__, __LINE__, path);
        return false;
    }
    int v = iniparser_getint(d, key, 0);
    if (v == 0) {
        kmx_logf(5, "%s    %s  %d  get %s failed!\n", "kmx_ini", __func__, __LINE__, key);
        v = 1;
    } else {
        v++;
    }
    std::string sec(key, strcspn(key, ":"));
    kmx_check_section_exist(d, sec.c_str());
    iniparser_set(d, key, std::to_string(v).c_str());
    bool ok = save(d, path);
    iniparser_freedict(d);
    if (ok && count) *count = v;
    return ok;
}

}  // namespace

extern "C" bool kmx_write_key_to_ini(const char *section, const char *key, const char *value, const char *path) {
    if (!section_name_ok(section) || !key || !path) return false;
    std::lock_guard<std::mutex> hold(path_lock(path));
    return write_key_locked(section, key, value, path);
}

extern "C" bool kmx_read_key_from_ini(const char *key, char *result, const char *path, int result_size) {
    if (!key || !result || !path || result_size <= 0) return false;
    std::lock_guard<std::mutex> hold(path_lock(path));
    dictionary *d = iniparser_load(path);
    if (!d) {
        kmx_logf(5, "%s    %s  %d  open %s failed !\n", "kmx_ini", __func__, __LINE__, path);
        return false;
    }
    const char *v = iniparser_getstring(d, key, "null");
    bool ok = strncmp(v, "null", 4) != 0;
    if (!ok) {
        kmx_logf(5, "%s    %s  %d  get %s failed!\n", "kmx_ini", __func__, __LINE__, key);
    } else {
        size_t n = strlen(v);
        if (n >= size_t(result_size)) {
            kmx_logf(5, "%s    %s  %d  %s cut to %d characters\n", "kmx_ini", __func__, __LINE__, key,
                     result_size - 1);
            n = size_t(result_size) - 1;
        }
        memcpy(result, v, n);
        result[n] = '\0';
    }
    iniparser_freedict(d);
    return ok;
}

extern "C" bool kmx_get_count_from_ini(const char *section, const char *key, int *count, const char *path) {
    if (!section_name_ok(section) || !key || !count || !path) return false;
    std::lock_guard<std::mutex> hold(path_lock(path));
    apply_cap(path);
    dictionary *d = iniparser_load(path);
    if (!d) {
        kmx_logf(5, "%s    %s  %d  open %s failed !\n", "kmx_ini", __func__, __LINE__, path);
        return false;
    }
    const std::string full = std::string(section) + ":" + key;
    int v = iniparser_getint(d, full.c_str(), 0);
    if (v != 0) {
        *count = v;
    } else {
        kmx_logf(5, "%s    %s  get %s failed!\n", "kmx_ini", __func__, full.c_str());
        kmx_check_section_exist(d, section);
        iniparser_set(d, full.c_str(), "1");
        save(d, path);
        *count = 1;
    }
    iniparser_freedict(d);
    return true;
}

extern "C" bool kmx_update_count_to_ini(const char *section, const char *key, int *count, const char *path) {
    if (!section_name_ok(section) || !key || !path) return false;
    std::lock_guard<std::mutex> hold(path_lock(path));
    return update_count_locked(key, count, path);
}

extern "C" FILE *kmx_dump_ini_to_file(const char *path) {
    FILE *fp = path ? fopen(path, "w+") : nullptr;
    if (!fp) kmx_logf(5, "%s  %d  open %s failed !\n", __func__, __LINE__, path ? path : "(null)");
    return fp;
}

// ---- the status file ----------------------------------------------------------

namespace {

bool write_times_key(int n, const char *name, const char *value, const char *path) {
    return kmx_write_key_to_ini(times_section(n).c_str(), times_key(n, name).c_str(), value, path);
}

}  // namespace

extern "C" bool kmx_write_starttime_to_ini(struct timeval *tv, int n, const char *path) {
    struct timeval now = tv ? *tv : kos::wall_time();
    time_t t = now.tv_sec;
    struct tm tm;
    localtime_r(&t, &tm);
    char buf[64];
    snprintf(buf, sizeof buf, "%d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
             tm.tm_hour, tm.tm_min, tm.tm_sec);
    write_times_key(n, "start_t", buf, path);
    return true;
}

extern "C" bool kmx_write_ip_to_ini(int n, const char *path) {
    unsigned char ip[64] = "";
    kmx_get_ip(ip);
    write_times_key(n, "ip", reinterpret_cast<char *>(ip), path);
    return true;
}

extern "C" bool kmx_write_mac_to_ini(int n, const char *path) {
    unsigned char mac[64] = "";
    kmx_get_mac(mac);
    write_times_key(n, "mac", reinterpret_cast<char *>(mac), path);
    return true;
}

extern "C" bool kmx_write_lockstatus_to_ini(int n, const char *path) {
    write_times_key(n, "lock", kmx_read_lock() ? "1" : "0", path);
    return true;
}

extern "C" bool kmx_write_exitcode_to_ini(int) { return true; }

// First form: the chain temperature entries are not written yet.
extern "C" bool kmx_write_chains_tmp_to_ini(void) { return true; }

extern "C" bool kmx_write_miners_status_to_ini(const char *key_name, const char *value) {
    if (!key_name) return false;
    int n = 0;
    if (!kmx_get_count_from_ini("now", "count", &n, KMX_STATUS_INI)) return false;
    return write_times_key(n, key_name, value, KMX_STATUS_INI);
}

// ---- the event file ---------------------------------------------------------

extern "C" bool kmx_packaging_one_record(int src_type, const char *before, const char *now, char *last) {
    if (!last) return false;
    const char *src = src_type == 1 ? "web" : src_type == 2 ? "gui" : src_type == 3 ? "zel_tools" : "unknow";
    snprintf(last, 512, "%s\t%s\t%s\t%s", local_time_text().c_str(), src, before && *before ? before : "null",
             now && *now ? now : "null");
    return true;
}

extern "C" bool kmx_write_events_record_to_ini(int src, const char *sec_name, const char *old,
                                               const char *new_val) {
    if (!section_name_ok(sec_name)) return false;
    char record[512];
    kmx_packaging_one_record(src, old, new_val, record);
    const std::string sec = sec_name;
    if (!kmx_write_key_to_ini(sec_name, (sec + ":now").c_str(), new_val, KMX_EVENTS_INI)) return false;
    int count = 0;
    if (!kmx_update_count_to_ini(sec_name, (sec + ":count").c_str(), &count, KMX_EVENTS_INI)) return false;
    return kmx_write_key_to_ini(sec_name, (sec + ":seq_" + std::to_string(count)).c_str(), record, KMX_EVENTS_INI);
}

extern "C" bool kmx_unlock_record(void) {
    char record[512];
    kmx_packaging_one_record(2, "1", "0", record);
    int count = 0;
    if (!kmx_update_count_to_ini("lock", "lock:count", &count, KMX_EVENTS_INI)) return false;
    kmx_write_key_to_ini("lock", ("lock:seq_" + std::to_string(count)).c_str(), record, KMX_EVENTS_INI);
    return kmx_write_key_to_ini("lock", "lock:now", "0", KMX_EVENTS_INI);
}

namespace {

// Logs a change of `current` in section `sec`: the first value is only
// stored; later ones are compared over `cmp_len` characters (0: the stored
// value's length) and a change is recorded with the source "unknow".
bool record_change(const char *sec, const char *current, size_t cmp_len, const char *first_fail,
                   const char *fail) {
    const std::string s = sec;
    const std::string now_key = s + ":now";
    char stored[512] = "";
    if (!kmx_read_key_from_ini(now_key.c_str(), stored, KMX_EVENTS_INI, sizeof stored) || stored[0] == '\0') {
        // An empty stored value would match every version: treat it as none.
        if (!kmx_write_key_to_ini(sec, now_key.c_str(), current, KMX_EVENTS_INI)) {
            kmx_logf(5, first_fail, "kmx_ini", __func__, __LINE__, KMX_EVENTS_INI);
            return false;
        }
        return true;
    }
    size_t n = cmp_len ? cmp_len : strlen(stored);
    if (strncmp(current, stored, n) == 0) return true;
    if (!kmx_write_key_to_ini(sec, now_key.c_str(), current, KMX_EVENTS_INI)) {
        kmx_logf(5, fail, "kmx_ini", __func__, __LINE__, KMX_EVENTS_INI);
        return false;
    }
    char record[512];
    kmx_packaging_one_record(0, stored, current, record);
    int count = 0;
    if (!kmx_update_count_to_ini(sec, (s + ":count").c_str(), &count, KMX_EVENTS_INI)) return false;
    return kmx_write_key_to_ini(sec, (s + ":seq_" + std::to_string(count)).c_str(), record, KMX_EVENTS_INI);
}

}  // namespace

extern "C" bool kmx_system_update_record(void) {
    unsigned char ver[50] = "";
    if (!kmx_get_version_from_env(ver, sizeof ver)) {
        kmx_logf(5, "kmx_get_version_from_env failed!\n");
        return false;
    }
    return record_change("version", reinterpret_cast<char *>(ver), 0, "%s    %s  %d  write verison failed to %s !\n",
                         "%s    %s  %d  write verison failed to %s !\n");
}

extern "C" bool kmx_mac_record(void) {
    unsigned char mac[64] = "";
    if (!kmx_get_mac(mac)) return false;
    return record_change("mac", reinterpret_cast<char *>(mac), 17, "%s    %s  %d  write mac_env failed to %s !\n",
                         "%s    %s  %d  write mac failed to %s !\n");
}
