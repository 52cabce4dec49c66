#include "os/devices.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <map>
#include <mtd/mtd-user.h>
#include <mutex>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "os/os.h"

#if KMX_EMULATION
#include <pty.h>
#include <sys/stat.h>

#endif

namespace kos {

#if KMX_EMULATION
namespace {

// The emulated bus has no descriptor of its own: a /dev/null descriptor
// stands for it so that open/close pair up as on the board.
std::mutex s_tty_lock;
struct PtyEnd {
    int master;
    std::string path;
};
std::map<int, PtyEnd> s_ptys;

bool is_regular_file(const char *path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace
#endif

int i2c_open(const char *path) {
#if KMX_EMULATION
    if (const Emulation *e = emulation()) {
        if (!e->i2c_present(path)) {
            errno = ENOENT;
            return -1;
        }
        return open("/dev/null", O_RDWR | O_CLOEXEC);
    }
#endif
    return open(path, O_RDWR | O_CLOEXEC);
}

int i2c_rdwr(int fd, struct i2c_msg *msgs, int n) {
#if KMX_EMULATION
    if (const Emulation *e = emulation()) return e->i2c_transfer(msgs, n);
#endif
    struct i2c_rdwr_ioctl_data data;
    data.msgs = msgs;
    data.nmsgs = uint32_t(n);
    return ioctl(fd, I2C_RDWR, &data);
}

void i2c_close(int fd) {
    if (fd >= 0) close(fd);
}

int tty_open(const char *path, int flags) {
#if KMX_EMULATION
    const Emulation *e = emulation();
    if (e && !is_regular_file(path)) {
        if (!e->tty_present(path)) {
            errno = ENOENT;
            return -1;
        }
        int master = -1, slave = -1;
        struct termios raw;
        cfmakeraw(&raw);
        if (openpty(&master, &slave, nullptr, &raw, nullptr) != 0) return -1;
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        std::lock_guard<std::mutex> g(s_tty_lock);
        s_ptys[slave] = PtyEnd{master, path};
        return slave;
    }
#endif
    return open(path, flags | O_NOCTTY | O_CLOEXEC);
}

long tty_write(int fd, const void *buf, size_t len) { return long(write(fd, buf, len)); }

void tty_close(int fd) {
#if KMX_EMULATION
    PtyEnd end{-1, ""};
    {
        std::lock_guard<std::mutex> g(s_tty_lock);
        auto it = s_ptys.find(fd);
        if (it != s_ptys.end()) {
            end = it->second;
            s_ptys.erase(it);
        }
    }
    if (end.master >= 0) {
        tcdrain(fd);
        uint8_t buf[256];
        std::string got;
        for (;;) {
            ssize_t n = read(end.master, buf, sizeof buf);
            if (n <= 0) break;
            got.append(reinterpret_cast<char *>(buf), size_t(n));
        }
        if (const Emulation *e = emulation())
            e->tty_received(end.path.c_str(), reinterpret_cast<const uint8_t *>(got.data()), got.size());
        close(fd);
        close(end.master);
        return;
    }
#endif
    if (fd >= 0) close(fd);
}

int dev_ioctl(const char *path, unsigned long request, unsigned long arg) {
#if KMX_EMULATION
    if (const Emulation *e = emulation()) return e->ioctl_device(path, request, arg);
#endif
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) return -1;
    int r = ioctl(fd, request, arg);
    int e = errno;
    close(fd);
    errno = e;
    return r;
}

bool mtd_erase(const char *mtd_path, uint32_t off, uint32_t len) {
#if KMX_EMULATION
    if (const Emulation *e = emulation()) return e->mtd_erase(mtd_path, off, len);
#endif
    int fd = open(mtd_path, O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    struct erase_info_user ei;
    ei.start = off;
    ei.length = len;
    int r = ioctl(fd, MEMERASE, &ei);
    int e = errno;
    close(fd);
    errno = e;
    return r == 0;
}

int mtd_open(const char *mtd_path) {
#if KMX_EMULATION
    if (const Emulation *e = emulation()) return e->mtd_open(mtd_path);
#endif
    return open(mtd_path, O_RDWR | O_CLOEXEC);
}

long mtd_pread(int fd, void *buf, size_t len, uint32_t off) {
#if KMX_EMULATION
    if (const Emulation *e = emulation()) return e->mtd_read(fd, buf, len, off);
#endif
    return long(pread(fd, buf, len, off_t(off)));
}

long mtd_pwrite(int fd, const void *buf, size_t len, uint32_t off) {
#if KMX_EMULATION
    if (const Emulation *e = emulation()) return e->mtd_program(fd, buf, len, off);
#endif
    return long(pwrite(fd, buf, len, off_t(off)));
}

void mtd_sync(int fd) { fsync(fd); }

void mtd_close(int fd) {
    if (fd >= 0) close(fd);
}

}  // namespace kos
