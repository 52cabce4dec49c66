// The emulated regulator UARTs and the VID generator.
// A VID frame (AA 02 01 code sum, bytes 1 to 4 summing to 0 modulo 256)
// gives its code byte to the regulators it reaches: on /dev/ttyPS1 those of
// the chains selected in hub peripheral register 16 while its bit 16 routes
// the UART to them, on /dev/ttySARN<N> chain N's. A frame with another head
// or a wrong sum is ignored. The chips' core voltage follows the code (the
// regulator's rule is in chip.h).
// The VID generator (/dev/vidgen0.0): request 0x80046401 selects the output
// of the chain given; 0x80046400 with bit 8 of its argument set gives the
// VID of its low byte to the selected chain's regulator (the control board
// of platform 1 has one output that serves every chain, and no select).
//   "uart": {"missing": true}     no regulator line: the tty does not open
//   "vidgen": {"absent": true}    no VID generator device
// uart.log: "<path> <bytes>" per open/close of a line;
// vidgen.log: "<path> <request> <argument>" per ioctl;
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

#include "drv/hub.h"
#include "os/os.h"
#include "sim/devices/chip.h"
#include "sim/devices/machine_desc.h"
#include "sim/devices/sim_devices.h"

namespace sim {
namespace {

constexpr uint32_t kUartRoute = 0x10000;  // hub register 16: the UART reaches the selected chains
constexpr unsigned long kVidGenSelect = 0x80046401ul, kVidGenSet = 0x80046400ul;
constexpr unsigned long kVidGenStrobe = 0x100;

// The VID generator's selected output, kept per program (not shared across
// the machine's processes: a select and the set after it come from one).
std::mutex s_vidgen_lock;
int s_vidgen_chain = 0;

void vidgen_request(unsigned long request, unsigned long arg) {
    std::lock_guard<std::mutex> g(s_vidgen_lock);
    if (request == kVidGenSelect) {
        s_vidgen_chain = int(arg & 0xFF);
    } else if (request == kVidGenSet && (arg & kVidGenStrobe)) {
        const int vid = int(arg & 0xFF);
        if (desc_int(machine_desc(), "platform", 0) == 1) {
            for (int c = 0; c < 8; c++) set_chain_vid(c, vid);
        } else {
            set_chain_vid(s_vidgen_chain, vid);
        }
    }
}

}  // namespace

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
    if (uint8_t(data[1] + data[2] + data[3] + data[4]) != 0) return;
    const std::string soc = "/dev/ttySARN";
    if (path.compare(0, soc.size(), soc) == 0) {
        set_chain_code(atoi(path.c_str() + soc.size()), data[3]);
        return;
    }
    int fd = kos::mem_open(0);
    kos::Window *w = kos::window_map(fd, "peripheral", HUB_PERIPHERAL_PHY, HUB_PERIPHERAL_SIZE);
    kos::mem_close(fd);
    const uint32_t sel = w ? kos::window_read32(w, 16) : 0;
    kos::window_unmap(w);
    if (!(sel & kUartRoute)) return;
    for (int c = 0; c < 8; c++)
        if (sel & (1u << c)) set_chain_code(c, data[3]);
}

int ioctl_device(const std::string &path, unsigned long request, unsigned long arg) {
    if (desc_bool(json_object_get(machine_desc(), "vidgen"), "absent", false)) {
        errno = ENOENT;
        return -1;
    }
    char t[96];
    snprintf(t, sizeof t, " 0x%08lx 0x%lx", request, arg);
    record_line("vidgen.log", path + t);
    if (path == "/dev/vidgen0.0") vidgen_request(request, arg);
    return 0;
}

}  // namespace sim
