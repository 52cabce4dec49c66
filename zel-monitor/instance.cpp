// One daemon per machine, and no stray temporary files of the files it
// owns from an earlier run that was cut short.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "daemon.h"
#include "misc/kmx_conf_lock_internal.h"
#include "misc/kmx_misc.h"
#include "module/kmx_log.h"

namespace zelmon {

int take_instance_lock(const char *path) {
    const int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        kmx_logf_user(5, "zel-monitor: cannot open the lock file %s: %s", path, strerror(errno));
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            kmx_logf_user(5, "zel-monitor is already running (%s is held), this one exits", path);
        else
            kmx_logf_user(5, "zel-monitor: cannot lock %s: %s", path, strerror(errno));
        close(fd);
        return -1;
    }
    // The holder's process id, for whoever looks; the lock is what counts.
    char pid[24];
    const int n = snprintf(pid, sizeof pid, "%d\n", int(getpid()));
    if (ftruncate(fd, 0) != 0 || write(fd, pid, size_t(n)) != n)
        kmx_logf(3, "zel-monitor: cannot record its pid in %s", path);
    return fd;  // held open, and so locked, for the life of the process
}

void remove_owned_leftovers() {
    // Written under the configuration's lock by every program that changes
    // them: a temporary file beside one of these may be a live writer's,
    // about to be renamed, and is only a leftover while the lock is ours.
    static const char *const kLocked[] = {
        "/config/cgminer.conf",
        "/config/cgminer.conf.bak",
        "/config/network/25-wired.network",
        "/config/network/25-wired.network.bak",
    };
    static const char *const kOwned[] = {"/config/dtu.conf", "/etc/hwrevision", "/tmp/stats.json"};
    {
        kmisc::ConfLock lock(__func__);
        if (lock.held())
            for (const char *path : kLocked) misc_remove_write_leftovers(path);
    }
    for (const char *path : kOwned) misc_remove_write_leftovers(path);
}

}  // namespace zelmon
