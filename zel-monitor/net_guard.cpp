// Network guards. The Ethernet guard puts back a usable network file and
// bounces eth0 until the port holds an address; the backup keeper keeps
// /config/cgminer.conf and the network file valid, refreshing their backups
// from good files and restoring bad files from the backup or the defaults.
// Checks and copies happen in-process: a shell that could not start must not
// read as "the file is invalid" and replace good settings.
#include <cstdio>
#include <cstring>
#include <jansson.h>
#include <pthread.h>
#include <string>
#include <unistd.h>

#include "daemon.h"
#include "minerCloud/kmx_cloud.h"
#include "misc/kmx_conf_lock_internal.h"
#include "misc/kmx_misc.h"
#include "module/kmx_log.h"
#include "os/os.h"

namespace zelmon {

namespace {

constexpr const char *kNetFile = "/config/network/25-wired.network";
constexpr const char *kNetBak = "/config/network/25-wired.network.bak";
constexpr const char *kNetDefault = "/etc/systemd/network/dhcp.network";
constexpr const char *kCgConf = "/config/cgminer.conf";
constexpr const char *kCgBak = "/config/cgminer.conf.bak";
constexpr const char *kCgDefault = "/etc/cgminer.conf.default";
constexpr size_t kFileLimit = 1 << 20;

// Checks and copies hold the configuration's lock among every program that
// rewrites the files (kmisc::ConfLock): a check and its copy see no other
// writer's half-done change, and a restore never replaces a change made
// since the check. Without the lock the files are left alone this round.


// "cp -f from to", replacing `to` whole.
bool copy_file(const char *from, const char *to) {
    std::string text;
    if (!kos::read_file(from, text, kFileLimit)) {
        kmx_logf(5, "%s  %d  cannot read %s !\n", __func__, __LINE__, from);
        return false;
    }
    if (!kos::write_file_atomic(to, text)) {
        kmx_logf(5, "%s  %d  cannot replace %s !: %s\n", __func__, __LINE__, to, strerror(errno));
        return false;
    }
    return true;
}

// What "diff a b" printing nothing meant: both readable and byte-equal.
bool same_content(const char *a, const char *b) {
    std::string x, y;
    return kos::read_file(a, x, kFileLimit) && kos::read_file(b, y, kFileLimit) && x == y;
}

// The checks' common start: a path was given and names an existing file.
bool present(const char *path, const char *func) {
    if (!path) {
        kmx_logf(5, "file path is NULL in %s", func);
        return false;
    }
    if (access(path, F_OK) != 0) {
        kmx_logf(3, "%s is not existed!", path);
        return false;
    }
    return true;
}

void restart_network(const char *func) {
    run_shell("systemctl restart systemd-networkd\n");
    kmx_logf(5, "%s  %d  %s", func, __LINE__, "systemctl restart systemd-networkd");
    kos::sleep_s(2);
    run_shell("ifconfig eth0 down\n");
    kmx_logf(5, "%s  %d  %s", func, __LINE__, "ifconfig eth0 down !");
    kos::sleep_s(1);
    run_shell("ifconfig eth0 up\n");
    kmx_logf(5, "%s  %d  %s", func, __LINE__, "ifconfig eth0 up !");
}

// One guarded file: its check, its backup and its default. The verdict
// "invalid" is confirmed a second later before anything is replaced: a
// writer in another process may have been half-way through.
template <typename Check>
bool keep_backup(const char *file, const char *bak, const char *def, Check check, const char *wrong_text) {
    {
        kmisc::ConfLock lock("keep_backup");
        if (!lock.held()) return false;
        if (check(file)) {
            if (!(check(bak) && same_content(file, bak))) copy_file(file, bak);
            return false;
        }
    }
    kos::sleep_s(1);
    kmisc::ConfLock lock("keep_backup");
    if (!lock.held() || check(file)) return false;
    kmx_logf(5, "%s", wrong_text);
    if (check(bak)) {
        copy_file(bak, file);
    } else {
        copy_file(def, file);
        copy_file(def, bak);
    }
    return true;
}

}  // namespace

bool check_net_file(const char *file_path) {
    if (!present(file_path, __func__)) return false;
    std::string text;
    if (!kos::read_file(file_path, text, kFileLimit)) return false;
    auto has = [&](const char *word) { return text.find(word) != std::string::npos; };
    // "DHCP" anywhere will do (also "DHCP=no" or "[DHCP]"); otherwise a
    // fixed address needs its address, gateway and DNS lines.
    return has("DHCP") || (has("Address") && has("Gateway") && has("DNS"));
}

bool check_json_file(const char *file_path) {
    if (!present(file_path, __func__)) return false;
    json_error_t err;
    json_t *root = json_load_file(file_path, 0, &err);
    // The miner's settings are an object: a bare array (say "[]") loads as
    // JSON but would replace a good backup with nothing.
    const bool ok = json_is_object(root);
    if (!ok) kmx_logf(3, "%s is not JSON format!", file_path);
    json_decref(root);
    return ok;
}

void cgconf_bak() {
    // The miner is not restarted: it reads the restored file when it next starts.
    keep_backup(kCgConf, kCgBak, kCgDefault, check_json_file, "cg conf file format is wrong!");
}

void network_bak() {
    if (keep_backup(kNetFile, kNetBak, kNetDefault, check_net_file, "Network file format is wrong!"))
        restart_network(__func__);
}

void check_net_once(bool *done) {
    std::string text;
    kos::read_file(kNetFile, text, 1023);
    if (text.size() > 1023) text.resize(1023);
    *done = false;
    if (text.find("eth0") != std::string::npos) {
        unsigned char ip[64] = "";
        if (kmx_get_ip(ip) && ip[0]) {
            *done = true;
            return;
        }
        run_shell("ifconfig eth0 down\n");
        kmx_logf(5, "%s  %d  %s", "thread_check_net", __LINE__, "ifconfig eth0 down !");
    } else {
        bool copied;
        {
            kmisc::ConfLock lock("thread_check_net");
            copied = lock.held() && copy_file(kNetDefault, kNetFile);
        }
        // The note tells that the copy was made; a failed copy has already
        // logged its own reason and must not read as done.
        if (copied)
            kmx_logf(5, "%s  %d  %s", "thread_check_net", __LINE__,
                     "cp -f /etc/systemd/network/dhcp.network  /config/network/25-wired.network !");
        kos::sleep_s(1);
        run_shell("systemctl restart systemd-networkd\n");
        kmx_logf(5, "%s  %d  %s", "thread_check_net", __LINE__, "systemctl restart systemd-networkd");
        kos::sleep_s(2);
        run_shell("ifconfig eth0 down\n");
        kmx_logf(5, "%s  %d  %s", "thread_check_net", __LINE__, "ifconfig eth0 down !");
    }
    kos::sleep_s(1);
    run_shell("ifconfig eth0 up\n");
    kmx_logf(5, "%s  %d  %s", "thread_check_net", __LINE__, "ifconfig eth0 up !");
}

void *thread_check_net(void *) {
    for (;;) {
        kos::sleep_s(120);
        bool done = false;
        check_net_once(&done);
        if (done) return nullptr;
    }
}

void *thread_file_bak(void *) {
    for (;;) {
        kos::sleep_s(300);
        cgconf_bak();
        kos::sleep_s(300);
        network_bak();
    }
}

}  // namespace zelmon
