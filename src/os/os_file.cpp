#include "os/os.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kos {

bool write_file_atomic(const char *path, std::string_view data) {
    // Follow a symlink so the link itself survives and its target is replaced.
    char real[PATH_MAX];
    const char *target = path;
    if (realpath(path, real) != nullptr) target = real;

    char tmp[PATH_MAX];
    if (snprintf(tmp, sizeof tmp, "%s.tmpXXXXXX", target) >= int(sizeof tmp)) {
        errno = ENAMETOOLONG;
        return false;
    }
    int fd = mkstemp(tmp);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            int e = errno;
            close(fd);
            unlink(tmp);
            errno = e;
            return false;
        }
        done += size_t(n);
    }
    fchmod(fd, 0644);
    fsync(fd);
    close(fd);
    if (rename(tmp, target) != 0) {
        int e = errno;
        unlink(tmp);
        errno = e;
        return false;
    }
    return true;
}

bool read_file(const char *path, std::string &out, size_t limit) {
    out.clear();
    FILE *fp = fopen(path, "rb");
    if (!fp) return false;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, fp)) > 0 && out.size() < limit)
        out.append(buf, std::min(n, limit - out.size()));
    fclose(fp);
    return true;
}

}  // namespace kos
