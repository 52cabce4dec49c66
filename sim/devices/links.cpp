// The emulated regulator UARTs and the VID generator.
//   "uart": {"missing": true}     no regulator line: the tty does not open
//   "vidgen": {"absent": true}    no VID generator device
// uart.log: "<path> <bytes>" per open/close of a line;
// vidgen.log: "<path> <request> <argument>" per ioctl;
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

}  // namespace sim
