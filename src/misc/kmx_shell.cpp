#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "misc/kmx_misc.h"
#include "module/kmx_log.h"
#include "os/os.h"

namespace {

// U-Boot variable names are plain identifiers; anything else would reach
// the shell as syntax.
bool env_key_ok(const char *key) {
    if (!key || !*key) return false;
    for (const char *p = key; *p; p++)
        if (!(isalnum((unsigned char)*p) || *p == '_' || *p == '.' || *p == '-')) return false;
    return true;
}

// Values pass through unchanged when they hold no shell syntax, so the
// command texts stay as they always were; others are single-quoted.
std::string shell_word(std::string_view v) {
    bool plain = !v.empty();
    for (char c : v)
        if (!(isalnum((unsigned char)c) || strchr("._:/,=+-@%", c))) plain = false;
    if (plain) return std::string(v);
    std::string q = "'";
    for (char c : v) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

}  // namespace

extern "C" bool misc_system(const char *cmd, char *rst_buf, int buf_size) {
    if (!cmd || !rst_buf || buf_size < 0) {
        kmx_logf(5, "param error:%s,%s,%d.\n", __FILE__, __func__, __LINE__);
        kos::terminate(0);
    }
    std::string out;
    const size_t limit = buf_size > 0 ? size_t(buf_size - 1) : 0;
    if (!kos::shell_capture(cmd, out, limit)) {
        kmx_logf(5, "popen error:%s,%s,%d.\n", __FILE__, __func__, __LINE__);
        kos::terminate(0);
    }
    if (buf_size > 0) {
        memset(rst_buf, 0, size_t(buf_size));
        memcpy(rst_buf, out.data(), std::min(out.size(), limit));
    }
    return true;
}

extern "C" int kmx_get_shell_cmd_rst(char *cmd, char *result, int size) {
    if (!cmd || !result || size <= 0) return 0;
    std::string out;
    if (!kos::shell_capture(cmd, out, size_t(size))) {
        kmx_logf(5, "failed to open pipe for command %s", cmd);
        return 0;
    }
    // Lines of up to 1023 characters, appended until one would reach `size`.
    size_t used = strnlen(result, size_t(size));
    size_t stored = 0;
    size_t pos = 0;
    while (pos < out.size()) {
        size_t end = out.find('\n', pos);
        size_t len = (end == std::string::npos ? out.size() : end + 1) - pos;
        if (len > 1023) len = 1023;
        if (used + len >= size_t(size)) {
            size_t fit = size_t(size) - 1 - used;
            memcpy(result + used, out.data() + pos, fit);
            used += fit;
            stored += fit;
            break;
        }
        memcpy(result + used, out.data() + pos, len);
        used += len;
        stored += len;
        pos += len;
    }
    result[used] = '\0';
    return int(stored);
}

extern "C" bool misc_get_uboot_env(const char *key, char *rst_buf, int buf_size) {
    if (!env_key_ok(key)) {
        kmx_logf(5, "invalid U-Boot variable name\n");
        if (rst_buf && buf_size > 0) rst_buf[0] = '\0';
        return false;
    }
    char cmd[128];
    snprintf(cmd, sizeof cmd, "/sbin/fw_printenv -n %s 2>/dev/null\n", key);
    return misc_system(cmd, rst_buf, buf_size);
}

extern "C" bool misc_set_uboot_env(const char *key, const char *value, char *rst_buf, int buf_size) {
    if (!env_key_ok(key) || !value) {
        kmx_logf(5, "invalid U-Boot variable name\n");
        return false;
    }
    std::string cmd = "/sbin/fw_setenv " + std::string(key) + " " + shell_word(value) + " 2>/dev/null\n";
    return misc_system(cmd.c_str(), rst_buf, buf_size);
}

extern "C" bool kmx_read_lock(void) {
    char buf[32];
    misc_system("/sbin/flagutils read\n", buf, sizeof buf);
    return atoi(buf) == 1;
}
