// kmx-sim: the emulated machine's own tool.
//   kmx-sim boot               lay out the machine from $KMX_MACHINE
//   kmx-sim peek ADDR          print the 32-bit word at a physical address
//   kmx-sim poke ADDR VALUE    write it
//   kmx-sim button press|release
//   kmx-sim button hold MS     press, hold for MS milliseconds of machine time, release
//   kmx-sim button tap         press, release as soon as the daemon's sampler
//                              has counted the press (it lights both LEDs of
//                              the hub's LED word), at most 60 s; status 1
//                              when it never did; the caller puts the red
//                              LED out first (the daemon's start leaves it
//                              lit), or a lit green one ends the tap early
//   kmx-sim button through     press and hold through the sampler's own end of
//                              the press (about 20 s), then release as soon as
//                              it counts the press that follows: the red LED,
//                              lit by the count and put out by the mode switch,
//                              lights again; at most 120 s; status 1 when it
//                              never did
//   kmx-sim watchdog           state of the emulated watchdog: disarmed, counting, expired
//   kmx-sim plug SLOT 0|1      plug a board into a slot (0..7) or pull it; a
//                              pulled board answers nothing (sim/devices/chip.h)
//   kmx-sim mtd-erase DEV OFF LEN   erase a range of a flash partition
//   kmx-sim dd if=.. of=.. bs=.. count=.. skip=.. seek=..   the dd stub
// An unknown verb, a missing or extra operand, or a slot, address, value or
// time that does not read as one (an address of a word: a multiple of 4) is
// refused with a line on standard error and status 2; nothing is changed.
// Plain-storage register windows are files under $KMX_SIM_DIR/mem shared by
// every process of the machine, so these act on the same registers that the
// programs see.
#include <cerrno>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <jansson.h>
#include <string>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>

#include "drv/hub.h"
#include "os/devices.h"
#include "drv/soc_gpio.h"
#include "os/os.h"
#include "sim/devices/chip.h"
#include "sim/devices/gpio_devices.h"
#include "sim/devices/machine_desc.h"
#include "sim/devices/refusal.h"

namespace {

constexpr uint32_t PERIPH_INPUTS = HUB_PERIPHERAL_PHY + 0x28;
constexpr uint32_t PERIPH_LEDS = HUB_PERIPHERAL_PHY + 0x24;  // green bit 9, red bit 10, clear while lit

struct Region {
    uint32_t phys, size;
};
// Windows whose backing file the boot step creates.
const Region kRegions[] = {
    {HUB_SPI_PHY, HUB_SPI_SIZE},       {HUB_PERIPHERAL_PHY, HUB_PERIPHERAL_SIZE},
    {HUB_ZYNQ_PHY, HUB_ZYNQ_SIZE},     {SOC_SPI_PHY, SOC_WIN_SIZE},
    {SOC_VID_PHY, SOC_WIN_SIZE},       {SOC_APBSYS_PHY, SOC_WIN_SIZE},
    {SOC_GPIO_PHY, SOC_WIN_SIZE},  // register words; input words read raw here
};
constexpr int kSocButtonPad = 69;
const int kSocPlugPads[8] = {39, 43, 47, 75, 79, 83, 155, 151};

bool find_region(uint32_t addr, Region &r) {
    for (const Region &c : kRegions)
        if (addr >= c.phys && addr - c.phys < c.size) {
            r = c;
            return true;
        }
    return false;
}

bool word_io(uint32_t addr, uint32_t *value, bool write) {
    Region r;
    if (!find_region(addr, r)) {
        fprintf(stderr, "kmx-sim: 0x%08x is in no emulated window\n", addr);
        return false;
    }
    const std::string path = kos::sim_mem_path(r.phys);
    int fd = open(path.c_str(), O_RDWR | O_CREAT, 0644);
    if (fd < 0) {
        fprintf(stderr, "kmx-sim: %s: %s\n", path.c_str(), strerror(errno));
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) == 0 && st.st_size < off_t(r.size) && ftruncate(fd, r.size) != 0) {
        close(fd);
        return false;
    }
    const off_t off = off_t((addr - r.phys) & ~3u);
    ssize_t n = write ? pwrite(fd, value, 4, off) : pread(fd, value, 4, off);
    close(fd);
    return n == 4;
}

bool write_text(const std::string &path, const std::string &text) {
    for (size_t p = path.find('/', 1); p != std::string::npos; p = path.find('/', p + 1))
        mkdir(path.substr(0, p).c_str(), 0755);
    return kos::write_file_atomic(path.c_str(), text);
}

// A raw flash partition: an erased image file, reached as /dev/mtd<N>
// (erases) and /dev/mtdblock<N> (reads and writes).
bool make_flash(int n, size_t size) {
    const std::string img = kos::sim_dir() + "/mtd" + std::to_string(n) + ".img";
    int fd = open(img.c_str(), O_RDWR | O_CREAT | O_EXCL, 0644);
    if (fd >= 0) {
        std::string ff(size, '\xFF');
        const bool ok = write(fd, ff.data(), ff.size()) == ssize_t(ff.size());
        close(fd);
        if (!ok) return false;
    } else if (errno != EEXIST) {
        return false;
    }
    for (const char *kind : {"/dev/mtd", "/dev/mtdblock"}) {
        const std::string link = kind + std::to_string(n);
        unlink(link.c_str());
        if (symlink(img.c_str(), link.c_str()) != 0) {
            fprintf(stderr, "kmx-sim: %s: %s\n", link.c_str(), strerror(errno));
            return false;
        }
    }
    return true;
}

// dd for the operands in use. A regular output file is truncated after the
// written part, as dd does; a flash image (the stand-in for a block device)
// is not.
int dd(int argc, char **argv) {
    std::string in, out;
    unsigned long long bs = 512, count = ~0ull, skip = 0, seek = 0;
    for (int i = 0; i < argc; i++) {
        const std::string a = argv[i];
        const size_t eq = a.find('=');
        const std::string k = a.substr(0, eq), v = eq == std::string::npos ? "" : a.substr(eq + 1);
        if (eq == std::string::npos || (k != "if" && k != "of" && k != "bs" && k != "count" && k != "skip" && k != "seek")) {
            fprintf(stderr, "dd: unrecognized operand '%s'\n", a.c_str());
            return 1;
        }
        if (k == "if") in = v;
        else if (k == "of") out = v;
        else if (k == "bs") bs = strtoull(v.c_str(), nullptr, 10);
        else if (k == "count") count = strtoull(v.c_str(), nullptr, 10);
        else if (k == "skip" || k == "seek") {
            if (v.empty() || v[0] == '-') {
                fprintf(stderr, "dd: invalid number: '%s'\n", v.c_str());
                return 1;
            }
            (k == "skip" ? skip : seek) = strtoull(v.c_str(), nullptr, 10);
        }
    }
    char real[4096];
    const bool flash = realpath(out.c_str(), real) && std::string(real).find("/mtd") != std::string::npos &&
                       std::string(real).rfind(".img") == strlen(real) - 4;
    int ifd = open(in.c_str(), O_RDONLY);
    if (ifd < 0) {
        fprintf(stderr, "dd: failed to open '%s': %s\n", in.c_str(), strerror(errno));
        return 1;
    }
    int ofd = open(out.c_str(), O_WRONLY | O_CREAT, 0644);
    if (ofd < 0) {
        fprintf(stderr, "dd: failed to open '%s': %s\n", out.c_str(), strerror(errno));
        close(ifd);
        return 1;
    }
    std::string buf(bs, '\0');
    unsigned long long blocks = 0, bytes = 0;
    off_t ipos = off_t(skip * bs), opos = off_t(seek * bs);
    for (; blocks < count; blocks++) {
        const ssize_t n = pread(ifd, buf.data(), bs, ipos);
        if (n <= 0) break;
        if (pwrite(ofd, buf.data(), size_t(n), opos) != n) break;
        ipos += n;
        opos += n;
        bytes += unsigned(n);
    }
    if (!flash && ftruncate(ofd, opos) != 0) perror("dd");
    close(ifd);
    close(ofd);
    fprintf(stderr, "%llu bytes copied\n", bytes);
    return 0;
}

int boot() {
    const char *desc_path = getenv("KMX_MACHINE");
    if (!desc_path || !*desc_path) {
        fprintf(stderr, "kmx-sim: KMX_MACHINE is not set\n");
        return 1;
    }
    json_error_t err;
    json_t *desc = json_load_file(desc_path, 0, &err);
    if (!desc) {
        fprintf(stderr, "kmx-sim: %s:%d: %s\n", desc_path, err.line, err.text);
        return 1;
    }
    mkdir(kos::sim_dir().c_str(), 0755);
    if (!sim::check_machine_desc(desc)) {
        json_decref(desc);
        return 1;
    }
    mkdir((kos::sim_dir() + "/mem").c_str(), 0755);
    for (const Region &r : kRegions) {
        uint32_t zero = 0;
        if (!word_io(r.phys, &zero, true)) return 1;
    }

    // Plug detect reads 1 for an empty slot; the button reads 1 released.
    uint32_t inputs = 0xFFu | (1u << 16);
    json_t *boards = json_object_get(desc, "boards");
    size_t i;
    json_t *b;
    json_array_foreach(boards, i, b) {
        json_int_t slot = json_integer_value(json_object_get(b, "slot"));
        if (slot < 0 || slot > 7) {
            fprintf(stderr, "kmx-sim: board slot %lld out of range\n", (long long)slot);
            return 1;
        }
        // The test fixture leaves the plug lines high.
        if (!json_is_true(json_object_get(b, "fixture"))) inputs &= ~(1u << slot);
    }
    if (json_is_true(json_object_get(desc, "button_pressed"))) inputs &= ~(1u << 16);
    if (!word_io(PERIPH_INPUTS, &inputs, true)) return 1;
    // The SoC board's pads and the Zynq boards' sysfs lines follow the same
    // boards and straps.
    if (!sim::soc_pads_boot()) {
        fprintf(stderr, "kmx-sim: cannot lay out the SoC pads\n");
        return 1;
    }
    if (!write_text("/sys/class/gpio/export", "") || !write_text("/sys/class/gpio/unexport", "")) {
        fprintf(stderr, "kmx-sim: cannot create the gpio export files\n");
        return 1;
    }

    std::string env;
    const char *key;
    json_t *val;
    json_object_foreach(json_object_get(desc, "uboot"), key, val) {
        env += key;
        env += '=';
        env += json_is_string(val) ? json_string_value(val) : "";
        env += '\n';
    }
    if (!write_text(kos::sim_dir() + "/uboot.env", env)) return 1;

    json_object_foreach(json_object_get(desc, "files"), key, val) {
        if (!json_is_string(val) || !write_text(key, json_string_value(val))) {
            fprintf(stderr, "kmx-sim: cannot write %s\n", key);
            return 1;
        }
    }
    // Further flash partitions: "mtd": {"9": size in bytes}.
    json_object_foreach(json_object_get(desc, "mtd"), key, val) {
        if (!make_flash(atoi(key), size_t(json_integer_value(val)))) {
            fprintf(stderr, "kmx-sim: cannot lay out mtd%s\n", key);
            return 1;
        }
    }
    json_decref(desc);
    return make_flash(11, 0x40000) ? 0 : 1;
}

// A whole number in C notation (decimal, 0x hex, 0 octal) of 32 bits.
bool number(const char *s, uint32_t *v) {
    unsigned long long n = 0;
    if (!sim::parse_uint(s, 0xFFFFFFFFull, &n)) return false;
    *v = uint32_t(n);
    return true;
}

// Drives one input line of the peripheral word low (pressed, plugged) or high.
bool set_input(unsigned bit, bool low, int soc_pad) {
    uint32_t v = 0;
    if (!word_io(PERIPH_INPUTS, &v, false)) return false;
    v = low ? (v & ~(1u << bit)) : (v | (1u << bit));
    return word_io(PERIPH_INPUTS, &v, true) && sim::soc_pad_set_external(soc_pad, low ? 0 : 1);
}

// Presses the button and releases it once the LED word, under `mask`, has
// read each of `states` in turn (every millisecond of real time, for at
// most `limit_ms` polls). One process polls and releases at once: a script
// that polls the LEDs and then releases may take seconds between the two on
// a loaded host, enough to turn a short press into a long one. The number
// of states seen.
size_t press_until(uint32_t mask, const std::vector<uint32_t> &states, int limit_ms) {
    if (!set_input(16u, true, kSocButtonPad)) return 0;
    size_t step = 0;
    for (int ms = 0; ms < limit_ms && step < states.size(); ms++) {
        uint32_t leds = 0;
        if (!word_io(PERIPH_LEDS, &leds, false)) break;
        if ((leds & mask) == states[step])
            step++;
        else
            usleep(1000);
    }
    return set_input(16u, false, kSocButtonPad) ? step : 0;
}

// The shortest press the daemon counts: released once the sampler has lit
// both LEDs (green bit 9 and red bit 10 clear).
int button_tap() {
    if (press_until(0x600u, {0}, 60000) == 1) return 0;
    fprintf(stderr, "kmx-sim: the press was not counted (both LEDs never lit)\n");
    return 1;
}

// Held through a network-mode switch: the red LED is lit while the press is
// counted, put out by the switch and lit again when the sampler counts what
// is still held as a new press. Released at that last step, the new press is
// as short as one poll makes it, whatever the host's load; a script waiting
// for the switch first would add its own delays to it.
int button_through() {
    const size_t step = press_until(0x400u, {0, 0x400u, 0}, 120000);
    if (step == 3) return 0;
    fprintf(stderr, "kmx-sim: the press that follows the switch was not counted (red LED step %zu)\n", step);
    return 1;
}

// What the emulated watchdog card would do now, from the state its last
// request left.
int watchdog_state() {
    std::string text;
    if (!kos::read_file((kos::sim_dir() + "/wdt.state").c_str(), text)) {
        printf("never opened\n");
        return 0;
    }
    int armed = 0, timeout = 0, expired = 0;
    unsigned long long fed = 0;
    double scale = 1;
    if (sscanf(text.c_str(), "armed=%d timeout=%d fed_ns=%llu scale=%lg expired=%d", &armed, &timeout, &fed, &scale,
               &expired) != 5) {
        fprintf(stderr, "kmx-sim: bad watchdog state: %s\n", text.c_str());
        return 1;
    }
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const double now = double(ts.tv_sec) * 1e9 + double(ts.tv_nsec);
    const unsigned long long idle_ms = (unsigned long long)((now - double(fed)) * scale / 1e6);
    if (expired || (armed && idle_ms > (unsigned long long)timeout * 1000u))
        printf("expired\n");
    else if (armed)
        printf("counting timeout=%d idle=%llums\n", timeout, idle_ms);
    else
        printf("disarmed\n");
    return 0;
}


const char kUsage[] =
    "usage: kmx-sim boot | peek ADDR | poke ADDR VALUE | button press|release|tap|through|hold MS | plug SLOT 0|1 | watchdog | "
    "mtd-erase DEV OFF LEN | dd OPERAND...\n";

int refused(const std::string &why) {
    fprintf(stderr, "kmx-sim: %s\n%s", why.c_str(), kUsage);
    return 2;
}

// Refuses a command line with the wrong number of operands.
bool operands(int argc, int want) { return argc == want + 2; }

int plug(const char *slot_text, const char *state_text) {
    long long slot = 0, state = 0;
    if (!sim::parse_int(slot_text, 0, 7, &slot)) return refused(std::string("no slot \"") + slot_text + "\" (0..7)");
    if (!sim::parse_int(state_text, 0, 1, &state))
        return refused(std::string("plug takes 0 (pull) or 1 (plug), not \"") + state_text + "\"");
    // A pulled board's regulator loses its setting with its power.
    if (!state) sim::forget_regulator(int(slot));
    return set_input(unsigned(slot), state != 0, kSocPlugPads[slot]) ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    const std::string cmd = argc > 1 ? argv[1] : "";
    uint32_t a = 0, v = 0;
    if (cmd == "boot") return operands(argc, 0) ? boot() : refused("boot takes no operand");
    if ((cmd == "peek" || cmd == "poke") && argc > 2 && number(argv[2], &a) && a % 4)
        return refused(cmd + " takes the address of a word (a multiple of 4), not \"" + argv[2] + "\"");
    if (cmd == "peek") {
        if (!operands(argc, 1) || !number(argv[2], &a)) return refused("peek takes one address");
        if (!word_io(a, &v, false)) return 1;
        printf("0x%08x\n", v);
        return 0;
    }
    if (cmd == "poke") {
        if (!operands(argc, 2) || !number(argv[2], &a) || !number(argv[3], &v))
            return refused("poke takes an address and a value");
        return word_io(a, &v, true) ? 0 : 1;
    }
    if (cmd == "button") {
        const std::string how = argc > 2 ? argv[2] : "";
        if (how == "hold") {
            if (!operands(argc, 2) || !number(argv[3], &v)) return refused("button hold takes the milliseconds to hold");
            if (!set_input(16u, true, kSocButtonPad)) return 1;
            kos::sleep_ms(v);
            return set_input(16u, false, kSocButtonPad) ? 0 : 1;
        }
        if (how == "tap") return operands(argc, 1) ? button_tap() : refused("button tap takes no operand");
        if (how == "through") return operands(argc, 1) ? button_through() : refused("button through takes no operand");
        if (!operands(argc, 1) || (how != "press" && how != "release"))
            return refused("button takes press, release, tap, through or hold MS");
        return set_input(16u, how == "press", kSocButtonPad) ? 0 : 1;
    }
    if (cmd == "watchdog") return operands(argc, 0) ? watchdog_state() : refused("watchdog takes no operand");
    if (cmd == "plug") return operands(argc, 2) ? plug(argv[2], argv[3]) : refused("plug takes a slot and 0 or 1");
    if (cmd == "dd") return dd(argc - 2, argv + 2);
    if (cmd == "mtd-erase") {
        uint32_t len = 0;
        if (!operands(argc, 3) || !number(argv[3], &a) || !number(argv[4], &len))
            return refused("mtd-erase takes a device, an offset and a length");
        return kos::mtd_erase(argv[2], a, len) ? 0 : 1;
    }
    return refused(cmd.empty() ? "no command" : "unknown command \"" + cmd + "\"");
}
