// filemend: when the checksum list of the guarded system files no longer
// matches, records the corruption in U-Boot, remounts the root file system
// writable and rewrites every guarded file that differs from its template.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "misc/kmx_misc.h"
#include "module/kmx_log.h"
#include "os/os.h"

namespace {

const char kMinerUnit[] =
    "[Unit]\n"
    "Description=Cgminer\n"
    "After=network.target config.mount\n"
    "Requires=config.mount\n"
    "StartLimitIntervalSec=0\n"
    "\n"
    "[Service]\n"
    "Type=simple\n"
    "PrivateTmp=no\n"
    "ExecStartPre=/bin/sh -c \"mkdir -p /tmp/log\"\n"
    // The unit's text is the images' own: their checksum list holds it, and a
    // unit rewritten to any other text would fail that check at every run.
    "ExecStartPre=/bin/sh -c \"if [ ! -s /config/cgminer.conf ]; then cp -f /etc/cgminer.conf.default "
    "/config/cgminer.conf; fi\"\n"
    "ExecStartPre=/bin/sh -c \"if [ ! -s /config/cg.conf ]; then cp -f /etc/cg.conf.default /config/cg.conf; fi\"\n"
    "ExecStart=/bin/cgminer -c /etc/cgminer.conf --api-listen --api-network --syslog --text-only\n"
    "\n"
    "Restart=always\n"
    "\n"
    "[Install]\n"
    "WantedBy=multi-user.target\n";

const char kDaemonUnit[] =
    "[Unit]\n"
    "Description=zel-monitor\n"
    "StartLimitIntervalSec=0\n"
    "After=config.mount\n"
    "\n"
    "[Service]\n"
    "Type=simple\n"
    "PrivateTmp=no\n"
    "ExecStart=/bin/zel-monitor 1\n"
    "\n"
    "Restart=always\n"
    "\n"
    "[Install]\n"
    "WantedBy=multi-user.target\n";

const char kSshUnit[] =
    "[Unit]\n"
    "Description=OpenSSH server daemon\n"
    "After=syslog.target network.target auditd.service config.mount\n"
    "Requires=config.mount\n"
    "\n"
    "[Service]\n"
    "ExecStartPre=/bin/mkdir -p /config/etc/ssh\n"
    "ExecStartPre=/usr/bin/ssh-keygen -A -f /config\n"
    "ExecStartPre=/bin/sh -c \"if [ ! -s /config/etc/ssh/miner_key.pub ]; then cp -f /etc/ssh/miner_key.pub "
    "/config/etc/ssh/miner_key.pub; fi\"\n"
    "ExecStart=/usr/sbin/sshd -D -e\n"
    "ExecReload=/bin/kill -HUP $MAINPID\n"
    "\n"
    "[Install]\n"
    "WantedBy=multi-user.target\n";

const char kWebUnit[] =
    "[Unit]\n"
    "Description=A high performance web server and a reverse proxy server\n"
    "After=syslog.target network.target\n"
    "\n"
    "[Service]\n"
    "Type=forking\n"
    "PIDFile=/var/run/nginx.pid\n"
    "ExecStartPre=/usr/bin/mkdir -p /var/log/nginx /var/tmp/nginx\n"
    "ExecStartPre=/usr/sbin/nginx -t -q -g 'pid /var/run/nginx.pid; daemon on; master_process on;'\n"
    "ExecStart=/usr/sbin/nginx -g 'pid /var/run/nginx.pid; daemon on; master_process on;'\n"
    "ExecReload=/usr/sbin/nginx -g 'pid /var/run/nginx.pid; daemon on; master_process on;' -s reload\n"
    "ExecStop=/usr/sbin/nginx -g 'pid /var/run/nginx.pid;' -s quit\n"
    "PrivateDevices=yes\n"
    "\n"
    "[Install]\n"
    "WantedBy=multi-user.target\n";

const char kUpdateUnit[] =
    "[Unit]\n"
    "Description=SWUpdate daemon\n"
    "Documentation=man:swupdate(1)\n"
    "Documentation=file:/usr/share/doc/swupdate/README\n"
    "\n"
    "[Service]\n"
    "Type=simple\n"
    "ExecStartPre=/bin/sh -c \"if [ $(fw_printenv -n image_flag) -eq 1 ]; then /bin/systemctl set-environment "
    "UPDATE_FLAG=main; else /bin/systemctl set-environment UPDATE_FLAG=alt; fi\"\n"
    "ExecStart=/usr/bin/swupdate -v --key /etc/swupdate.pem -b \"0 1 2 3 4 5 6 7\" --select stable,${UPDATE_FLAG} "
    "-w '--document-root /var/www/swupdate --port 127.0.0.1:8080' -p '/usr/bin/systemctl stop "
    "cgminer;miner-off;/bin/sync;sleep 5;/bin/systemctl reboot'\n"
    "\n"
    "Restart=always\n"
    "\n"
    "[Install]\n"
    "WantedBy=multi-user.target\n";

std::string hosts_template() {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
    return std::string("127.0.0.1\tlocalhost\n127.0.1.1\t") + host + "\n";
}

struct Guarded {
    const char *path;
    const char *unit;  // nullptr: compared against the hosts template, or not at all
    bool compared;
};

#define UNIT_DIR "/etc/systemd/system/multi-user.target.wants/"
const Guarded kFiles[] = {
    {"/etc/hosts", nullptr, true},
    {"/bin/cgminer", nullptr, false},
    {"/bin/zel-monitor", nullptr, false},
    {UNIT_DIR "cgminer.service", kMinerUnit, true},
    {UNIT_DIR "zel-monitor.service", kDaemonUnit, true},
    {UNIT_DIR "sshd.service", kSshUnit, true},
    {UNIT_DIR "nginx.service", kWebUnit, true},
    {UNIT_DIR "swupdate.service", kUpdateUnit, true},
};

constexpr size_t kLongestTemplate = 1000;

// Intact when the file is its template, or the beginning of it. An empty
// file is not: it is what a power cut leaves on flash, and an empty unit
// keeps its service from starting.
bool intact(const std::string &content, const std::string &tmpl) {
    return !content.empty() && content.size() <= kLongestTemplate && content.size() <= tmpl.size() &&
           tmpl.compare(0, content.size(), content) == 0;
}

// Present from just before the read-write remount to just after the
// read-only one: a run killed in between (kill -9, a power cut leaves a
// read-only root anyway) tells the next one that it left `/` writable.
// Remounts by other programs (the daemon's short edits) leave no mark and
// are never undone here.
constexpr const char *kWritableMark = "/tmp/filemend.rw";

// A terminating signal taken while `/` is writable: the run stops at its
// next step, remounts read-only and then ends by that signal. The handler
// does not restart a call it interrupts, so no step waits on past it.
void open_root() {
    kos::catch_end_signals();
    if (!kos::write_file_atomic(kWritableMark, "1\n")) kmx_logf(5, "cannot write %s\n", kWritableMark);
    kos::shell_status("mount / -o rw,remount,dirsync");
}

void close_root() {
    kos::shell_status("mount / -o ro,remount");
    unlink(kWritableMark);
    kos::release_end_signals();  // a signal noted meanwhile ends the process now, as it would have
}

// Called between the steps of the writable part of the run.
void end_if_signalled() {
    if (kos::end_signal() == 0) return;
    kmx_logf(5, "filemend: signal %d, remounting / read-only before it ends\n", kos::end_signal());
    close_root();
}

// Whether `mount` lists `/` as mounted read-write (its last entry for `/`,
// the one on top, counts).
bool root_writable() {
    std::string out;
    if (!kos::shell_capture("mount", out, 1 << 16)) return false;
    bool rw = false;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        const size_t opts = line.find(" on / ") == std::string::npos ? std::string::npos : line.rfind('(');
        if (opts != std::string::npos) rw = line.compare(opts + 1, 2, "rw") == 0 && strchr(",)", line[opts + 3]);
    }
    return rw;
}

// The copies a run killed mid-write left beside the guarded files; they can
// go only while `/` is writable.
void remove_leftovers() {
    for (const Guarded &g : kFiles)
        if (g.compared) misc_remove_write_leftovers(g.path);
}

// A run before this one that was killed while `/` was writable.
void undo_interrupted_run() {
    if (access(kWritableMark, F_OK) != 0) return;
    if (root_writable()) {
        kmx_logf(5, "filemend: an earlier run ended with / writable, remounting it read-only\n");
        remove_leftovers();
        kos::shell_status("mount / -o ro,remount");
    }
    unlink(kWritableMark);
}

// Why a guarded file cannot be opened: missing, a link to nothing.
std::string unopenable_reason(const char *path, int err) {
    struct stat st {};
    if (lstat(path, &st) != 0) return strerror(errno);
    if (S_ISLNK(st.st_mode) && stat(path, &st) != 0) return "a link to a missing file";
    return strerror(err);
}

// Reads at most `limit` bytes of a guarded file into `out`; false with the
// reason in `why` when it is not a regular file that reads. Opened without
// waiting: a FIFO or a device in a unit's place must not hold the run (and
// `/` writable) for good.
bool read_guarded(const char *path, std::string &out, size_t limit, std::string &why) {
    out.clear();
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        why = unopenable_reason(path, errno);
        return false;
    }
    struct stat st {};
    bool ok = fstat(fd, &st) == 0;
    if (!ok) why = strerror(errno);
    else if (S_ISDIR(st.st_mode)) why = "a directory", ok = false;
    else if (!S_ISREG(st.st_mode)) why = "not a regular file", ok = false;
    char buf[4096];
    while (ok && out.size() < limit) {
        const ssize_t n = read(fd, buf, std::min(sizeof buf, limit - out.size()));
        if (n < 0 && errno == EINTR && kos::end_signal() == 0) continue;
        if (n < 0) why = strerror(errno), ok = false;
        if (n <= 0) break;
        out.append(buf, size_t(n));
    }
    close(fd);
    return ok;
}

// Ends a run that found a guarded file it could not read or replace: the
// root file system goes back to read-only first, never left writable.
int end_writable_run() {
    close_root();
    return 255;
}

int finish(bool print, int result) {
    if (print) kos::shell_status(result == 0 ? "echo \"0\" " : "echo \"-1\" ");
    return result == 0 ? 0 : 255;
}

}  // namespace

int main(int argc, char **) {
    const bool print = argc < 2;
    undo_interrupted_run();
    if (kos::shell_status("busybox md5sum -c /etc/cfbm >/dev/null 2>&1") == 0) return finish(print, 0);

    char flag[128] = {};
    if (!misc_get_uboot_env("file_corrupted", flag, sizeof flag)) {
        kmx_logf(5, "can not get  file_corrupted\n");
        return finish(print, -1);
    }
    if (flag[0] == '\0') {
        char out[128] = {};
        misc_set_uboot_env("file_corrupted", "1", out, sizeof out);
    }

    open_root();
    remove_leftovers();
    for (const Guarded &g : kFiles) {
        end_if_signalled();
        if (!g.compared) continue;
        const std::string tmpl = g.unit ? std::string(g.unit) : hosts_template();
        std::string content, why;
        // One byte past the longest template is enough to call it damaged.
        if (!read_guarded(g.path, content, kLongestTemplate + 1, why)) {
            kmx_logf(5, "File %s cannot be read (%s), the check ends here\n", g.path, why.c_str());
            return end_writable_run();
        }
        if (intact(content, tmpl)) continue;
        // Replaced whole, through a link to its target: a power cut
        // mid-write must not leave half a unit.
        char real[PATH_MAX];
        const char *target = realpath(g.path, real) ? real : g.path;
        if (!kos::write_file_atomic(target, tmpl)) {
            kmx_logf(5, "File %s cannot be written (%s), the check ends here\n", g.path, strerror(errno));
            return end_writable_run();
        }
        kmx_logf(3, "File %s is fixed\n", g.path);
    }
    end_if_signalled();
    close_root();
    kos::shell_status("systemctl daemon-reload");
    return finish(print, -1);
}
