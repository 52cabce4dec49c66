// The emulated regulator UARTs, the VID generator and the raw flash.
//   "uart": {"missing": true}     no regulator line: the tty does not open
//   "vidgen": {"absent": true}    no VID generator device
// uart.log: "<path> <bytes>" per open/close of a line;
// vidgen.log: "<path> <request> <argument>" per ioctl;
// flash images: <sim dir>/mtd<N>.img (the machine links /dev/mtd<N> and
// /dev/mtdblock<N> to it), erased bytes read 0xFF.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "os/os.h"
#include "sim/devices/machine_desc.h"
#include "sim/devices/sim_devices.h"

namespace sim {

bool tty_present(const std::string &) {
    return !desc_bool(json_object_get(machine_desc(), "uart"), "missing", false);
}

void uart_received(const std::string &path, const uint8_t *data, size_t len) {
    std::string line = path;
    char t[4];
    for (size_t i = 0; i < len; i++) {
        snprintf(t, sizeof t, " %02X", data[i]);
        line += t;
    }
    record_line("uart.log", line);
}

int ioctl_device(const std::string &path, unsigned long request, unsigned long arg) {
    if (desc_bool(json_object_get(machine_desc(), "vidgen"), "absent", false)) {
        errno = ENOENT;
        return -1;
    }
    char t[96];
    snprintf(t, sizeof t, " 0x%08lx 0x%lx", request, arg);
    record_line("vidgen.log", path + t);
    return 0;
}

std::string mtd_image(const std::string &mtd_path) {
    size_t p = mtd_path.find_last_not_of("0123456789");
    const std::string num = p == std::string::npos ? mtd_path : mtd_path.substr(p + 1);
    return kos::sim_dir() + "/mtd" + num + ".img";
}

bool mtd_erase(const std::string &mtd_path, uint32_t off, uint32_t len) {
    const std::string img = mtd_image(mtd_path);
    int fd = open(img.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const off_t size = lseek(fd, 0, SEEK_END);
    if (off_t(off) + off_t(len) > size) {
        close(fd);
        errno = EINVAL;
        return false;
    }
    std::vector<uint8_t> ff(len, 0xFF);
    const bool ok = pwrite(fd, ff.data(), len, off) == ssize_t(len);
    close(fd);
    return ok;
}

}  // namespace sim
