// Start-up steps of the daemon that touch files: the machine type in
// /etc/hwrevision and the pending supply upgrade.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <jansson.h>
#include <pthread.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "daemon.h"
#include "misc/kmx_misc.h"
#include "module/kmx_log.h"
#include "os/os.h"

namespace zelmon {

namespace {

constexpr const char *kSource = "zel-monitor";
constexpr size_t kField = 50;  // each of board, type and suffix; and the read

// The first 50 bytes of the file, NUL-terminated; false when unreadable.
bool read_head(const char *path, char (&head)[kField + 1]) {
    memset(head, 0, sizeof head);
    FILE *fp = fopen(path, "rb");
    if (!fp) return false;
    size_t n = fread(head, 1, kField, fp);
    head[n] = '\0';
    fclose(fp);
    return true;
}

// Why the file cannot be rewritten from its 50-byte head without losing
// text: its first line is longer than the head, or more text follows the
// line. Null when the head holds all of it.
const char *head_misses_text(const char *path) {
    std::string all;
    if (!kos::read_file(path, all, 1 << 16)) return "it cannot be read again";
    const size_t end = all.find('\n');
    const size_t line = end == std::string::npos ? all.size() : end;
    if (line > kField) return "its line is longer than 50 bytes";
    if (end != std::string::npos && all.find_first_not_of(" \t\r\n", end) != std::string::npos)
        return "it holds more than one line";
    return nullptr;
}

// A machine type goes into "board type.suffix": a dot, a blank or a control
// character in it would change how the file splits on the next boot.
bool type_text_ok(const char *s) {
    if (!*s) return false;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(s); *p; ++p)
        if (*p == '.' || !isgraph(*p)) return false;
    return true;
}

// Names that may be handed to the upgrade tool: no shell meta characters.
bool image_name_ok(const char *name) {
    size_t n = strlen(name);
    // A leading '-' would reach the upgrade program as an option; a leading
    // '.' hides the image from the folder's emptying ("rm -rf dir/*"), so it
    // would be run again at every start.
    if (n == 0 || n > 63 || name[0] == '-' || name[0] == '.') return false;
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        if (!isalnum(c) && c != '.' && c != '_' && c != '+' && c != '-') return false;
    }
    return true;
}

}  // namespace

bool start_detached(ThreadBody body, void *arg, const char *name, const char *fail_text) {
    pthread_t t;
    if (pthread_create(&t, nullptr, body, arg) != 0) {
        kmx_logf(5, "%s", fail_text);
        return false;
    }
    // Named before the detach, while the handle is surely valid; otherwise
    // every thread shows as "zel-monitor".
    pthread_setname_np(t, name);
    pthread_detach(t);
    return true;
}

void run_shell(const char *cmd) {
    char out[2048] = "";
    std::string text(cmd);
    kmx_get_shell_cmd_rst(text.data(), out, sizeof out);
}

void reconcile_hwrevision(const char *hwrevision_path, const char *map_path) {
    char head[kField + 1];
    if (!read_head(hwrevision_path, head)) {
        kmx_logf(5, "file open fail, %s %d", kSource, __LINE__);
        return;
    }
    char board[kField] = "", type[kField] = "", suffix[kField] = "";
    // Widths keep every field inside its buffer whatever the file holds.
    if (sscanf(head, "%49s %49[^.].%49s", board, type, suffix) < 2) {
        kmx_logf(5, "%s %d, %s does not name a board and a type", kSource, __LINE__, hwrevision_path);
        return;
    }

    char env[kField] = "";
    if (!misc_get_uboot_env("miner_type", env, sizeof env)) {
        kmx_logf(5, "failed to read env miner_type!\n");
        return;
    }
    env[strcspn(env, "\n")] = '\0';
    if (!env[0]) return;

    json_error_t err;
    json_t *map = json_load_file(map_path, 0, &err);
    if (!map || !json_is_object(map)) {
        kmx_logf(5, "%s %d, load map.conf failed", kSource, __LINE__);
        json_decref(map);
        return;
    }
    std::string wanted;
    json_t *mapped = json_object_get(map, env);
    if (!mapped) {
        wanted = env;
    } else if (json_is_string(mapped)) {
        wanted = json_string_value(mapped);
    } else {
        json_decref(map);
        return;
    }
    json_decref(map);

    // The type runs to the dot; a file without one ends it with the line's
    // newline or blanks, which do not make it another type.
    for (size_t n = strlen(type); n > 0 && isspace(static_cast<unsigned char>(type[n - 1]));) type[--n] = '\0';
    if (strncmp(wanted.c_str(), type, kField) == 0) return;
    if (const char *why = head_misses_text(hwrevision_path)) {
        kmx_logf(5, "%s %d, %s left as it is: %s", kSource, __LINE__, hwrevision_path, why);
        return;
    }
    if (!type_text_ok(wanted.c_str())) {
        kmx_logf(5, "%s %d, machine type \"%s\" refused", kSource, __LINE__, klog::Outside(wanted, 64).c_str());
        return;
    }
    char text[kField];
    int n = snprintf(text, sizeof text, "%s %s.%s", board, wanted.c_str(), suffix);
    if (n < 0 || size_t(n) >= sizeof text) {
        kmx_logf(5, "%s %d, new hwrevision too long, left as it is", kSource, __LINE__);
        return;
    }
    run_shell("mount -o rw,remount,dirsync /");
    // Replaced whole: every reader of the board kind depends on this file.
    if (!kos::write_file_atomic(hwrevision_path, text))
        kmx_logf(5, "%s %d, cannot write %s", kSource, __LINE__, hwrevision_path);
    run_shell("mount -o ro,remount /");
    run_shell("systemctl restart swupdate");
    kmx_logf(5, "finish");
}

bool board_is_soc(const char *hwrevision_path, bool *readable) {
    char head[kField + 1];
    *readable = read_head(hwrevision_path, head);
    // Either case: the library's own board-kind test ignores case too.
    return *readable && strcasestr(head, "soc") != nullptr;
}

void run_pending_psu_upgrade(const char *dir) {
    DIR *d = opendir(dir);
    if (!d) {
        kmx_logf(5, "%s,%d: open dir hex path:%s fail!\n", kSource, __LINE__, dir);
        return;
    }
    // The first image in the folder's order, and every name refused.
    std::string image_name;
    bool hex = false;
    std::vector<std::string> refused;
    while (const dirent *e = readdir(d)) {
        const char *name = e->d_name;
        const bool is_hex = strstr(name, ".hex") != nullptr;
        if (!is_hex && !strstr(name, ".bin")) continue;
        if (!image_name_ok(name)) {
            refused.push_back(name);
        } else if (image_name.empty()) {
            image_name = name;
            hex = is_hex;
        }
    }
    closedir(d);
    if (image_name.empty() && refused.empty()) return;
    const char *name = image_name.c_str();
    if (!image_name.empty()) {
        kmx_logf(5, hex ? "%s,%d: hex file:%s \n" : "%s,%d: bin file:%s \n", kSource, __LINE__,
                 klog::Outside(name).c_str());
        kmx_logf(5, "===start to upgrade psu, start power_upgrade!===\n");
        char cmd[128];
        snprintf(cmd, sizeof cmd, "/bin/power_upgrade %d %s", 0, name);
        // Whatever the upgrade did, the folder is emptied and the machine
        // rebooted: a bad image must not bring the board into a boot loop.
        kos::shell_status(cmd);
    }
    run_shell("mount / -o rw,remount,dirsync");
    if (!image_name.empty()) {
        run_shell("rm -rf /opt/psu-upgrade/*");
        // The image that was run goes by its own name too: were it left, the
        // next start would upgrade and reboot again.
        const std::string image = std::string(dir) + "/" + name;
        if (unlink(image.c_str()) != 0 && errno != ENOENT)
            kmx_logf(5, "%s,%d: cannot remove %s: %s\n", kSource, __LINE__, klog::Outside(image).c_str(),
                     strerror(errno));
    }
    // A refused image goes by its name too (the emptying misses a dot-named
    // one): left, it would be refused again at every start.
    for (const std::string &r : refused) {
        const std::string image = std::string(dir) + "/" + r;
        if (remove(image.c_str()) == 0 || errno == ENOENT)
            kmx_logf(5, "%s,%d: image name refused:%s, removed\n", kSource, __LINE__, klog::Outside(r, 64).c_str());
        else
            kmx_logf(5, "%s,%d: image name refused:%s, cannot remove it: %s\n", kSource, __LINE__,
                     klog::Outside(r, 64).c_str(), strerror(errno));
    }
    run_shell("mount / -o ro,remount");
    if (!image_name.empty()) run_shell("sync; /bin/systemctl reboot");
}

}  // namespace zelmon
