#include "misc/kmx_ini.h"

#include <iniparser.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "misc/kmx_misc.h"
#include "module/kmx_log.h"
#include "module/kmx_tempctrl.h"
#include "module/kmx_tempctrl_internal.h"
#include "module/kmx_tvsensor.h"
#include "os/os.h"
#include "platform/kmx_platform.h"

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
    if (stat(path, &st) == 0 && st.st_size > kSizeCap) misc_write_owned_file(path, "");
}

// Longest line the loader reads whole (its buffer, less the newline).
constexpr size_t kLineMax = kLineSize - 2;

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
        // A ':' would join the section's name to its keys' names: written
        // back, its keys would land in another section and a key written
        // after them would no longer read back. Such a line is bad.
        if (section.find(':') != std::string::npos) {
            section.clear();
            return LINE_ERROR;
        }
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

// A value as the loader reads it back: bare when its line reads back as it
// is (parse_line, and no '\\' at its end, which would continue the line onto
// the next ones, section names and all); else in double quotes, or single
// ones when it holds a double quote. A value holding both kinds has its
// double quotes made single.
std::string value_text(const std::string &key, const std::string &v) {
    std::string section, k, got;
    if ((v.empty() || v.back() != '\\') && parse_line((key + " = " + v).c_str(), section, k, got) == LINE_VALUE &&
        got == v)
        return v;
    if (v.find('"') == std::string::npos) return '"' + v + '"';
    if (v.find('\'') == std::string::npos) return '\'' + v + '\'';
    std::string s = v;
    std::replace(s.begin(), s.end(), '"', '\'');
    return '"' + s + '"';
}

// One key's line as iniparser's dump writes it (the key padded to 30
// columns) with the value as the loader reads it back. A line too long for
// the loader's buffer would be deleted at the next load, and the load would
// fail: it goes without the padding, and a value that fits no line is cut
// to one.
std::string key_line(const std::string &key, const std::string &value, const char *path) {
    std::string v = value_text(key, value);
    const std::string line = key + std::string(key.size() < 30 ? 30 - key.size() : 0, ' ') + " = " + v;
    if (line.size() <= kLineMax) return line;
    const size_t room = kLineMax > key.size() + 1 ? kLineMax - key.size() - 1 : 0;
    if (v.size() > room) {
        kmx_logf(5, "%s  %d  %s: value of %s cut to fit a line\n", __func__, __LINE__, path, key.c_str());
        // Cut, then quoted as needed: quotes take two more characters.
        v = value_text(key, value.substr(0, room));
        if (v.size() > room) v = value_text(key, value.substr(0, room >= 2 ? room - 2 : 0));
    }
    return key + "=" + v;
}

// The dictionary as iniparser's dump writes it ("\n[section]\n", a line a
// key, "\n"; one more "\n" after the sections), but with every value
// written so that it reads back the same: the dump writes them bare, and a
// value ending in '\\' took the lines after it (the next section's name
// among them) at the next load, which moved that section's keys into
// another one. Keys outside any section, which the dump leaves out once
// there is a section, come first.
std::string dump_text(const dictionary *d, const char *path) {
    std::string out;
    for (ssize_t i = 0; i < d->size; i++)
        if (d->key[i] && d->key[i][0] == ':')
            out += key_line(d->key[i] + 1, d->val[i] ? d->val[i] : "", path) + "\n";
    const int nsec = iniparser_getnsec(d);
    for (int n = 0; n < nsec; n++) {
        const char *sec = iniparser_getsecname(d, n);
        if (!sec) continue;
        const std::string prefix = std::string(sec) + ":";
        out += "\n[" + std::string(sec) + "]\n";
        for (ssize_t i = 0; i < d->size; i++)
            if (d->key[i] && strncmp(d->key[i], prefix.c_str(), prefix.size()) == 0)
                out += key_line(d->key[i] + prefix.size(), d->val[i] ? d->val[i] : "", path) + "\n";
        out += "\n";
    }
    if (nsec > 0) out += "\n";
    return out;
}

// The whole file is replaced at once, so a crash leaves the old or the new
// history, never a half-written one.
bool save(dictionary *d, const char *path) {
    const bool ok = misc_write_owned_file(path, dump_text(d, path));
    if (!ok) kmx_logf(5, "%s  %d  open %s failed !: %s\n", __func__, __LINE__, path, strerror(errno));
    return ok;
}

// Values are written one per line: a line break inside one would
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

// A byte range of the file, and how many of its lines it spans.
struct BadLines {
    long begin, end;
    int lines;
};

// Removes the given byte ranges (sorted, not overlapping) from the file and
// logs how many lines went.
void delete_ranges(const char *path, const std::vector<BadLines> &ranges) {
    // A file longer than the cap allows (reads do not cap it) is not
    // rewritten from a partial read: that would cut off its end.
    const size_t limit = size_t(kSizeCap) + 2 * kLineSize;
    std::string text;
    if (!kos::read_file(path, text, limit + 1) || text.size() > limit) {
        kmx_logf(5, "iniparser: cannot remove the unreadable lines from %s: %s\n", path,
                 text.size() > limit ? "file too large" : strerror(errno));
        return;
    }
    std::string kept;
    long pos = 0;
    int lines = 0;
    for (const BadLines &r : ranges) {
        kept.append(text, size_t(pos), size_t(r.begin - pos));
        pos = r.end;
        lines += r.lines;
    }
    if (size_t(pos) < text.size()) kept.append(text, size_t(pos), std::string::npos);
    if (!misc_write_owned_file(path, kept)) {
        kmx_logf(5, "iniparser: cannot remove the unreadable lines from %s: %s\n", path, strerror(errno));
        return;
    }
    kmx_logf(4, "iniparser: removed %d unreadable lines from %s\n", lines, path);
}

// One physical line, appended to `buf` (which holds `room` more characters
// at most, its newline included, and the terminator after them). False at
// the end of the file.
struct LineRead {
    size_t len = 0;
    bool too_long = false;  // no newline within `room` characters, and more follows
    bool nul = false;       // holds a NUL byte: the line cannot be read as text
};
bool read_line(FILE *in, char *buf, size_t room, LineRead &r) {
    r = LineRead{};
    int c = EOF;
    while (r.len < room && (c = getc(in)) != EOF) {
        if (c == '\0') r.nul = true;
        buf[r.len++] = char(c);
        if (c == '\n') break;
    }
    buf[r.len] = '\0';
    if (r.len == 0) return false;
    if (buf[r.len - 1] == '\n') return true;
    if (r.len == room) {
        c = getc(in);
        if (c != EOF) {
            // The rest of the line goes with it.
            r.too_long = true;
            while (c != EOF && c != '\n') c = getc(in);
        }
    }
    return true;
}

// A damaged file may hold thousands of bad lines: only the first few are
// shown on stderr, each escaped (a line holds any bytes); the syslog gets
// the count.
constexpr int kShownBadLines = 3;

std::string escaped(const char *p, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; i++) {
        const unsigned char c = static_cast<unsigned char>(p[i]);
        if (c == '\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c < 0x7F) {
            out += char(c);
        } else {
            char hex[5];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

}  // namespace

// iniparser's loader, which in addition deletes every line it cannot read
// from the file (too long, holding a NUL byte, or not INI) in one pass: this
// load fails, the next one reads the repaired file.
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
    int last = 0, lineno = 0;
    long logical_start = 0;  // offset where the current (continued) line began
    int logical_lineno = 0;  // and its number
    std::vector<BadLines> bad;
    int shown = 0;
    // The report of one bad line, while few have been shown.
    auto report = [&](bool too_long, size_t len) {
        if (shown++ >= kShownBadLines) return;
        if (len > 0 && line[len - 1] == '\n') len--;
        if (too_long)
            fprintf(stderr, "iniparser: input line too long in %s (%d)\n", ininame, lineno);
        else
            fprintf(stderr, "iniparser: syntax error in %s (%d):\n-> %s\n", ininame, lineno,
                    escaped(line, len).c_str());
    };
    auto drop = [&] {
        bad.push_back({logical_start, ftell(in), lineno - logical_lineno + 1});
        last = 0;
        memset(line, 0, sizeof line);
    };
    LineRead r;
    for (;;) {
        const long start = ftell(in);
        if (!read_line(in, line + last, size_t(kLineSize - 1 - last), r)) break;
        lineno++;
        if (last == 0) {
            logical_start = start;
            logical_lineno = lineno;
        }
        if (r.too_long) {
            report(true, 0);
            drop();
            continue;
        }
        if (r.nul) {
            report(false, size_t(last) + r.len);
            drop();
            continue;
        }
        int len = int(strlen(line)) - 1;
        if (len <= 0) continue;
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
            report(false, strlen(line));
            drop();
            break;
        default: break;
        }
        memset(line, 0, sizeof line);
    }
    fclose(in);
    if (bad.empty()) return dict;
    if (shown > kShownBadLines)
        fprintf(stderr, "iniparser: %d more unreadable lines in %s not shown\n", shown - kShownBadLines, ininame);
    delete_ranges(ininame, bad);
    dictionary_del(dict);
    return nullptr;
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
    } else if (v < INT_MAX) {
        v++;
    } else {
        // A count at the top of int stays there: one more would wrap to a
        // negative count and undefined behaviour.
        kmx_logf(5, "%s    %s  %d  %s stays at %d\n", "kmx_ini", __func__, __LINE__, key, v);
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

extern "C" bool kmx_write_endtime_to_ini(void) {
    if (g_platform == SOC || !g_mount_flag) return true;
    kmx_get_end_time();
    const std::string end = local_time_text();
    unsigned char total[64] = "";
    kmx_get_total_run_time(total);
    const bool a = write_times_key(g_total_start_cnt, "end_t", end.c_str(), KMX_STATUS_INI);
    const bool b = write_times_key(g_total_start_cnt, "total_t", reinterpret_cast<char *>(total), KMX_STATUS_INI);
    return a && b;
}

extern "C" bool kmx_write_exitcode_to_ini(int) { return true; }

namespace {

// The run's hottest average per chain slot, with the lowest and highest
// temperature of that same sample.
struct RunPeak {
    int lo = 0;
    float avg = 0;
    int hi = 0;
};
std::mutex s_peak_lock;
RunPeak s_peak[KMX_MAX_CHAIN];

}  // namespace

extern "C" bool kmx_write_chains_tmp_to_ini(void) {
    for (int i = 0; i < std::min(g_chain_num, KMX_MAX_CHAIN); i++) {
        const int slot = g_chain_id[i];
        if (slot < 0 || slot >= KMX_MAX_CHAIN) continue;
        const c_temp t = kmx_chain_tmp_snapshot(slot);
        if (t.tmp_avg >= KMX_NO_READING) continue;  // no reading yet
        RunPeak p;
        {
            std::lock_guard<std::mutex> hold(s_peak_lock);
            if (!(t.tmp_avg > s_peak[slot].avg)) continue;
            s_peak[slot] = RunPeak{t.tmp_lo, t.tmp_avg, t.tmp_hi};
            p = s_peak[slot];
        }
        // The sample's time is now: the record's own stamp is monotonic.
        const std::string now = local_time_text();
        const std::string when = now.substr(now.find('-') + 1);
        char value[128];
        snprintf(value, sizeof value, "%d  %.1f  %d  %s", p.lo, double(p.avg), p.hi, when.c_str());
        write_times_key(g_total_start_cnt, ("cid" + std::to_string(slot)).c_str(), value, KMX_STATUS_INI);
    }
    return true;
}

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

// ---- the history volumes ------------------------------------------------------

namespace {

bool run_ok(const char *cmd) {
    const int st = kos::shell_status(cmd);
    return st != -1 && WIFEXITED(st) && WEXITSTATUS(st) == 0;
}

bool exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

struct Volume {
    const char *name;  // mount point below /
    int mtd;
    int ubi;
    const char *vol_name;
};

// Attach (formatting only a partition that is not attached at all), create
// the volume when missing, mount. Only a failed format stops the step.
bool mount_volume(const Volume &v) {
    if (kmx_check_fs_mounted(v.name)) return true;
    const std::string attach = "/sbin/ubiattach  /dev/ubi_ctrl -m  " + std::to_string(v.mtd) + "\n";
    if (!run_ok(attach.c_str())) {
        kmx_logf(3, "Waring:%s    %s  %d  %s\n", "kmx_ini", "kmx_mount_fs", __LINE__, attach.c_str());
        // A partition already attached (the volume just not mounted) keeps
        // its data: formatting is for a partition that cannot be attached.
        if (!exists("/dev/ubi" + std::to_string(v.ubi))) {
            const std::string format = "/sbin/ubiformat  /dev/mtd" + std::to_string(v.mtd) + " -y\n";
            if (!run_ok(format.c_str())) {
                kmx_logf(3, "Waring:%s    %s  %d  %s\n", "kmx_ini", "kmx_mount_fs", __LINE__, format.c_str());
                return false;
            }
            kos::sleep_s(2);
            if (!run_ok(attach.c_str()))
                kmx_logf(3, "Waring:%s    %s  %d  %s\n", "kmx_ini", "kmx_mount_fs", __LINE__, attach.c_str());
        }
    }
    kos::sleep_s(1);
    const std::string ubi = "ubi" + std::to_string(v.ubi);
    if (!exists("/dev/" + ubi + "_0")) {
        const std::string mkvol = "/sbin/ubimkvol /dev/" + ubi + " -N " + v.vol_name + " -m \n";
        kmx_logf(3, "Waring:%s    %s  %d  %s\n", "kmx_ini", "kmx_mount_fs", __LINE__, mkvol.c_str());
        if (!run_ok(mkvol.c_str()))
            kmx_logf(3, "Waring:%s    %s  %d  %s\n", "kmx_ini", "kmx_mount_fs", __LINE__, mkvol.c_str());
        kos::sleep_s(2);
    }
    const std::string mount = "mount  -t  ubifs  " + ubi + "_0   /" + v.name + " \n";
    if (!run_ok(mount.c_str()))
        kmx_logf(3, "Waring:%s    %s  %d  %s\n", "kmx_ini", "kmx_mount_fs", __LINE__, mount.c_str());
    return true;
}

}  // namespace

extern "C" bool kmx_check_fs_mounted(const char *name) {
    if (!name || !*name) return false;
    const std::string point = name[0] == '/' ? name : std::string("/") + name;
    std::string out;
    if (!kos::shell_capture("mount\n", out, size_t(16) << 20)) return false;
    // "<device> on <mount point> type <fs> (<options>)": the mount point
    // field must be the volume's, not merely contain its name.
    size_t pos = 0;
    while (pos < out.size()) {
        size_t end = out.find('\n', pos);
        if (end == std::string::npos) end = out.size();
        const std::string line = out.substr(pos, end - pos);
        pos = end + 1;
        const size_t on = line.find(" on ");
        if (on == std::string::npos) continue;
        const size_t from = on + 4, to = line.find(' ', from);
        if (line.compare(from, to == std::string::npos ? std::string::npos : to - from, point) == 0) return true;
    }
    return false;
}

extern "C" bool kmx_mount_fs(void) {
    if (g_platform == SOC) return true;
    if (!mount_volume(Volume{"events", 11, 2, "evetns"})) return false;
    if (!mount_volume(Volume{"miners", 12, 3, "miners"})) return false;
    g_mount_flag = true;
    return true;
}
