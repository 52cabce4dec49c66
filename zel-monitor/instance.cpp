// One daemon per machine, and no stray temporary files of the files it
// owns from an earlier run that was cut short.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "daemon.h"
#include "module/kmx_log.h"
#include "os/os.h"

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
    static const char *const kOwned[] = {
        "/config/cgminer.conf",    "/config/cgminer.conf.bak", "/config/network/25-wired.network",
        "/config/network/25-wired.network.bak", "/config/dtu.conf", "/etc/hwrevision",
        "/tmp/stats.json",
    };
    for (const char *path : kOwned) {
        const int n = kos::remove_write_leftovers(path);
        if (n > 0) kmx_logf(3, "removed %d unfinished copies of %s", n, path);
    }
}

}  // namespace zelmon
