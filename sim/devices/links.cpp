// The emulated regulator UARTs and the VID generator.
// A VID frame (AA 02 01 code sum) sets the code as the VID of the chains it
// reaches: those selected in hub peripheral register 16 for /dev/ttyPS1,
// chain N for /dev/ttySARN<N>; their chips' core voltage follows it.
//   "uart": {"missing": true}     no regulator line: the tty does not open
//   "vidgen": {"absent": true}    no VID generator device
// uart.log: "<path> <bytes>" per open/close of a line;
// vidgen.log: "<path> <request> <argument>" per ioctl;
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "drv/hub.h"
#include "os/os.h"
#include "sim/devices/chip.h"
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
    if (len != 5 || data[0] != 0xAA || data[1] != 0x02 || data[2] != 0x01) return;
    const std::string soc = "/dev/ttySARN";
    if (path.compare(0, soc.size(), soc) == 0) {
        set_chain_vid(atoi(path.c_str() + soc.size()), data[3]);
        return;
    }
    int fd = kos::mem_open(0);
    kos::Window *w = kos::window_map(fd, "peripheral", HUB_PERIPHERAL_PHY, HUB_PERIPHERAL_SIZE);
    kos::mem_close(fd);
    const uint32_t sel = w ? kos::window_read32(w, 16) : 0;
    kos::window_unmap(w);
    for (int c = 0; c < 8; c++)
        if (sel & (1u << c)) set_chain_vid(c, data[3]);
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
