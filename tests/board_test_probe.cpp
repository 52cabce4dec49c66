// Runs the board self-test inside an emulated machine for the end-to-end
// tests. The endless final states are replaced by an exit:
//   kmx-board-test-probe prepare PLATFORM   0 passed, 3 failed, 2 not tested
//   kmx-board-test-probe prepare-mapped     the same after the mining process
//                                           set up two chains (slots 1, 3)
//   kmx-board-test-probe regs               the hub register test over 8 chains
//   kmx-board-test-probe jobs CHAINS        the job echo test
//   kmx-board-test-probe watchdog           the feeder through on, off, on;
//                                           prints the card's log, runs of
//                                           keep-alives shown as "keepalive*"
#include <fcntl.h>
#include <linux/watchdog.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <cstdlib>
#include <cstring>

#include "drv/hub.h"
#include "misc/kmx_board_check.h"
#include "misc/kmx_board_test.h"
#include "module/kmx_log.h"
#include "module/kmx_ops.h"
#include "os/ioctl_dev.h"
#include "os/os.h"
#include "platform/kmx_platform.h"

namespace {

// The watchdog feeder is still running: leave without running the
// process's destructors under it.
void end(bool pass) {
    fflush(nullptr);
    _exit(pass ? 0 : 3);
}

void soc_setup(int chains) {
    g_platform = SOC;
    g_chip_num = 1;
    g_chain_num = chains;
    for (int i = 0; i < KMX_MAX_CHAIN; i++) g_chain_id[i] = i;
    soc_hub_init();
    init_kmx_gpio();
    init_kmx_cmd();
}

std::string device_log() {
    std::string text;
    kos::read_file((kos::sim_dir() + "/wdt.log").c_str(), text);
    return text;
}

// Real time, not the machine's scaled clock: the feeder's sleeps are scaled.
bool wait_until(bool (*done)(const std::string &)) {
    for (int i = 0; i < 2000; i++) {
        if (done(device_log())) return true;
        usleep(10000);
    }
    return false;
}

size_t count(const std::string &text, const std::string &line) {
    size_t n = 0;
    for (size_t p = text.find(line); p != std::string::npos; p = text.find(line, p + 1)) n++;
    return n;
}

int watchdog() {
    // Another holder (as the stopping daemon) keeps the card at first.
    // It stops the card, so that holding it for a while cannot run it out.
    const int held = kos::dev_open("/dev/watchdog", O_RDWR);
    int stop = WDIOS_DISABLECARD;
    if (held < 0 || kos::dev_ioctl_out(held, WDIOC_SETOPTIONS, &stop) != 0) return 1;
    pthread_t tid;
    if (pthread_create(&tid, nullptr, thread_feed_watchdog, nullptr) != 0) return 1;
    usleep(300000);
    const bool opened_while_busy = count(device_log(), "open\n") != 1;
    kos::dev_close(held);
    bool ok = wait_until([](const std::string &t) { return count(t, "keepalive") >= 2; });
    ok = ok && system("fw_setenv watchdog off") == 0 && wait_until([](const std::string &t) { return count(t, "disable\n") == 2; });
    usleep(300000);
    ok = ok && system("fw_setenv watchdog on") == 0 &&
         wait_until([](const std::string &t) { return count(t, "enable\n") == 2 && t.rfind("keepalive") > t.rfind("enable\n"); });
    std::istringstream in(device_log());
    std::string line, last, out;
    while (std::getline(in, line)) {
        const bool feed = line.rfind("keepalive ", 0) == 0;
        if (feed && last == "keepalive*") continue;
        last = feed ? "keepalive*" : line;
        out += last + "\n";
    }
    printf("busy_open %d ok %d\n%s", int(opened_while_busy), int(ok), out.c_str());
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    sys_platform_debug_init(2);
    board_test::set_end_hook(end);
    const char *cmd = argc > 1 ? argv[1] : "";
    if (strcmp(cmd, "prepare") == 0 && argc == 3) {
        board_detection_prepare(atoi(argv[2]), 0, 8, 1);
        printf("not tested platform %d chain_num %d chip_num %d mapped %d\n", g_platform, g_chain_num, g_chip_num,
               hub_windows_mapped(1));
        return 2;
    }
    if (strcmp(cmd, "prepare-mapped") == 0) {
        soc_setup(2);
        g_chip_num = 10;
        g_chip_type = 5;
        g_chain_id[0] = 1;
        g_chain_id[1] = 3;
        board_detection_prepare(SOC, 0, 8, 1);
        printf("not tested platform %d chain_num %d chip_num %d chip_type %d ids %d %d mapped %d\n", g_platform, g_chain_num,
               g_chip_num, g_chip_type, g_chain_id[0], g_chain_id[1], hub_windows_mapped(1));
        return 2;
    }
    if (strcmp(cmd, "regs") == 0) {
        soc_setup(8);
        const int r = spi_hub_register_test(g_chain_id, 8);
        printf("result %d\n", r);
        return 0;
    }
    if (strcmp(cmd, "jobs") == 0 && argc == 3) {
        soc_setup(atoi(argv[2]));
        printf("result %d\n", write_job_test());
        return 0;
    }
    if (strcmp(cmd, "watchdog") == 0) return watchdog();
    fprintf(stderr, "usage: kmx-board-test-probe prepare PLATFORM | regs | jobs CHAINS | watchdog\n");
    return 1;
}
