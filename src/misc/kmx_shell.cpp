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
// the shell as syntax (or, with a leading '-', as an option).
bool env_key_ok(const char *key) {
    if (!key || !*key) return false;
    for (const char *p = key; *p; p++)
        if (!(isalnum((unsigned char)*p) || *p == '_')) return false;
    return true;
}

// The tools' command line is at most 127 characters; a longer one is not
// cut (a cut fw_setenv line could set a different value) but refused.
constexpr size_t UBOOT_CMD_MAX = 127;

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
    // Lines of up to 1023 characters, stored until one would reach `size`.
    // The buffer starts empty: whatever it held is not counted or kept.
    size_t used = 0;
    size_t pos = 0;
    while (pos < out.size()) {
        size_t end = out.find('\n', pos);
        size_t len = (end == std::string::npos ? out.size() : end + 1) - pos;
        if (len > 1023) len = 1023;
        if (used + len >= size_t(size)) {
            size_t fit = size_t(size) - 1 - used;
            memcpy(result + used, out.data() + pos, fit);
            used += fit;
            break;
        }
        memcpy(result + used, out.data() + pos, len);
        used += len;
        pos += len;
    }
    result[used] = '\0';
    return int(used);
}

extern "C" bool misc_get_uboot_env(const char *key, char *rst_buf, int buf_size) {
    if (rst_buf && buf_size > 0) rst_buf[0] = '\0';
    char cmd[UBOOT_CMD_MAX + 1];
    if (!env_key_ok(key) ||
        size_t(snprintf(cmd, sizeof cmd, "/sbin/fw_printenv -n %s 2>/dev/null\n", key)) > UBOOT_CMD_MAX) {
        kmx_logf(5, "invalid U-Boot variable name\n");
        return false;
    }
    return misc_system(cmd, rst_buf, buf_size);
}

extern "C" bool misc_set_uboot_env(const char *key, const char *value, char *rst_buf, int buf_size) {
    if (rst_buf && buf_size > 0) rst_buf[0] = '\0';
    if (!env_key_ok(key) || !value) {
        kmx_logf(5, "invalid U-Boot variable name\n");
        return false;
    }
    // A line break would end the command and start another one.
    if (strpbrk(value, "\r\n")) {
        kmx_logf(5, "invalid U-Boot value for %s\n", key);
        return false;
    }
    std::string cmd = "/sbin/fw_setenv " + std::string(key) + " " + shell_word(value) + " 2>/dev/null\n";
    if (cmd.size() > UBOOT_CMD_MAX) {
        kmx_logf(5, "U-Boot command too long for %s\n", key);
        return false;
    }
    return misc_system(cmd.c_str(), rst_buf, buf_size);
}

extern "C" bool kmx_read_lock(void) {
    char buf[32];
    misc_system("/sbin/flagutils read\n", buf, sizeof buf);
    return atoi(buf) == 1;
}
