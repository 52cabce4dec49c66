// Hardware watchdog feeder. The U-Boot variable `watchdog` switches the card:
// a value containing "off" disables it (checked every 30 s); anything else
// enables it with a 90 s timeout and feeds it every 20 s.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/watchdog.h>

#include "daemon.h"
#include "misc/kmx_misc.h"
#include "module/kmx_log.h"
#include "os/os.h"
#include "os/ioctl_dev.h"

namespace zelmon {

namespace {

constexpr const char *kDevice = "/dev/watchdog";
constexpr int kTimeoutS = 90;
constexpr unsigned kFeedPeriodS = 20;
constexpr unsigned kOffPeriodS = 30;

}  // namespace

int wdt_ioctl(int fd, unsigned cmd, unsigned arg) {
    int value = int(arg);
    return kos::dev_ioctl_out(fd, cmd, &value);
}

void *thread_feed_watchdog(void *) {
    int fd = -1;
    bool off_pending = true, on_pending = true;
    bool open_failure_logged = false;  // one line per failure streak
    for (;;) {
        // A card that could not be opened (driver not there yet, another
        // holder) is tried again every cycle; the failure is logged once.
        if (fd < 0) {
            fd = kos::dev_open(kDevice, O_RDWR);
            if (fd < 0 && !open_failure_logged)
                kmx_logf(5, "%s  %d open %s failed: %s !\n", __func__, __LINE__, kDevice, strerror(errno));
            open_failure_logged = fd < 0;
        }
        char value[128] = "";
        misc_get_uboot_env("watchdog", value, sizeof value);
        if (strstr(value, "off")) {
            if (off_pending && fd >= 0) {
                kmx_logf(5, "%s  %d watchdog disabled !\n", __func__, __LINE__);
                wdt_ioctl(fd, WDIOC_SETOPTIONS, WDIOS_DISABLECARD);
                off_pending = false;
                on_pending = true;
            }
            kos::sleep_s(kOffPeriodS);
            continue;
        }
        if (on_pending && fd >= 0) {
            kmx_logf(5, "%s  %d watchdog enabled !\n", __func__, __LINE__);
            wdt_ioctl(fd, WDIOC_SETOPTIONS, WDIOS_ENABLECARD);
            if (wdt_ioctl(fd, WDIOC_SETTIMEOUT, kTimeoutS) != 0)
                kmx_logf(5, "%s  %d watchdog settimeout failed !\n", __func__, __LINE__);
            on_pending = false;
            off_pending = true;
        }
        if (fd >= 0) {
            const int keep_alive = 1;
            kos::dev_write(fd, &keep_alive, sizeof keep_alive);
        }
        kos::sleep_s(kFeedPeriodS);
    }
}

}  // namespace zelmon
