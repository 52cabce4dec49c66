#include "platform/kmx_platform.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <pthread.h>
#include <unistd.h>

#include "drv/hub.h"
#include "hub/kmx_i2c.h"
#include "misc/kmx_board_check.h"
#include "misc/kmx_errcode.h"
#include "misc/kmx_misc.h"
#include "module/kmx_fan.h"
#include "module/kmx_log.h"
#include "module/kmx_ops_internal.h"
#include "os/os.h"
#include "record/kmx_record.h"

#ifndef KMX_LIB_REV
#define KMX_LIB_REV 2
#endif

const int g_kmx_lib_revision = KMX_LIB_REV;

int g_platform;
int g_chip_type;
int g_chain_num_tar;
int g_chain_num;
int g_chain_id[KMX_MAX_CHAIN];
int g_chain_plug[KMX_MAX_CHAIN];
int g_chip_num;
int g_core_num;
int g_vid_type;
uint8_t g_vin_sync;
int g_vendor;
const char *g_vendor_str[4] = {"unknown", "kbe", "zle", "hyt"};
int g_cgminer_pid;

// Created once and never destroyed: threads of the mining program may still
// hold them while the process tears down.
pthread_mutex_t g_vin_sync_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t g_callback_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t g_sync_err_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t g_fwver_scan_lock = PTHREAD_MUTEX_INITIALIZER;

namespace {

std::atomic<bool> s_exit_done{false};

bool in_mining_process() { return g_cgminer_pid != 0 && getpid() == g_cgminer_pid; }

void plug_scan(int chain_num) {
    g_chain_num = 0;
    for (int slot = 0; slot < KMX_MAX_CHAIN; slot++) {
        if (kmx_get_plug(uint8_t(slot)) == 0) {
            g_chain_plug[slot] = 1;
            g_chain_id[g_chain_num++] = slot;
            kmx_logf(3, "chain%d: the plat is inserted", slot);
        } else {
            g_chain_plug[slot] = 0;
            kmx_logf(3, "chain%d: the plat is not inserted", slot);
        }
    }
    kmx_logf(3, "total chains: %d", g_chain_num);

    if (g_chain_num < chain_num) {
        if (g_chain_num > 0) {
            for (int i = 0; i < chain_num; i++)
                if (g_chain_plug[i] == 0) kmx_set_errcode(ERRCODE_NOT_PLUGGED, nullptr, false, i, nullptr, 0);
        } else {
            kmx_set_errcode(ERRCODE_NOT_PLUGGED, nullptr, false, 255, nullptr, 0);
            kmx_save_errcode();
        }
    } else if (g_chain_num > chain_num) {
        for (int j = chain_num; j < g_chain_num; j++) {
            char msg[16];
            snprintf(msg, sizeof msg, "chain%d ", g_chain_id[j]);
            kmx_set_errcode(ERRCODE_MISPLUGGED, msg, false, g_chain_id[j], nullptr, 0);
        }
        g_chain_num = chain_num;
    }
}

void *filemend_thread(void *arg) {
    // Named for ps, top and /proc/PID/task/*/comm in the mining program.
    pthread_setname_np(pthread_self(), "files_check");
    return filemend(arg);
}

}  // namespace

extern "C" void sys_platform_debug_init(int debug_level) { kmx_log_init(debug_level, "kmx_lib"); }

extern "C" bool sys_platform_init(int platform, int chip_type, int chain_num, int chip_num) {
    kmx_logf(3, "kmx_lib compile time:%s    %s\n", __DATE__, __TIME__);
    switch (platform) {
    case ZYNQ_SPI_B3:
    case ZYNQ_SPI_B13:
        break;
    case ZYNQ_HUB_B3:
    case ZYNQ_HUB_B13:
        g_platform = platform;  // the accessors pick their window by platform
        hub_init();
        break;
    case SOC:
        g_platform = platform;
        soc_hub_init();
        break;
    default:
        // Argument errors end the caller: say so where it was typed too.
        kmx_logf_user(5, "the platform is undefined !!! \n");
        kos::terminate(0);
    }
    // A negative count would index the slot tables from below.
    if (chain_num >= 9 || chain_num < 0) {
        kmx_logf_user(5, "the chain_num is error !!! \n");
        kos::terminate(0);
    }
    if (chip_num > KMX_MAX_CHIP || chip_num < 0) {
        kmx_logf_user(5, "the chip_num is error !!! \n");
        kos::terminate(0);
    }
    g_platform = platform;
    g_chain_num = chain_num;
    g_chip_type = chip_type;
    g_chain_num_tar = chain_num;
    g_chip_num = chip_num;
    g_core_num = 0;
    kmx_logf(5, "sys : platform[%d] miner_type[%d] chain_num[%d] chip_num[%d] \n", platform, chip_type, chain_num,
             chip_num);

    init_kmx_gpio();
    if (chain_num != 0) plug_scan(chain_num);

    g_vid_type = misc_get_vid_type();
    g_vin_sync = (misc_vid_type_is_i2c() && kmx_i2c_is_sync_output()) ? 1 : 0;
    int vendor = misc_get_vendor();
    g_vendor = (vendor >= 0 && vendor <= 3) ? vendor : 0;
    kmx_logf(3, "vid type detected: %d, is Vin sync? %d, vendor: %s", g_vid_type, g_vin_sync, g_vendor_str[g_vendor]);

    init_kmx_cmd();
    init_kmx_pwm();
    init_kmx_chain();

    for (uint8_t fan = 0; fan < 3; fan++) kmx_fan_speed_set(fan, 100);
    return true;
}

extern "C" void *filemend(void *) {
    for (;;) {
        kos::shell_status("/bin/filemend 1");
        kos::sleep_s(60);
    }
    return nullptr;
}

extern "C" void save_psu_info(void) {
    char text[64];
    snprintf(text, sizeof text, "%s\n%s\n%d\n", g_power_vendor, g_power_ver, g_power_errorcode);
    // Read by the daemon's report at any time: replace the file whole.
    if (!kos::write_file_atomic("/tmp/psu_info", text)) kmx_logf(5, "open psu_info file fail,errno:%d\n", errno);
}

extern "C" void kmx_sync_time_with_net(int seconds) {
    for (int i = 0; i < seconds; i++) {
        if (kos::wall_time().tv_sec > 1545000000) {
            kmx_logf(3, "sync time success");
            return;
        }
        kmx_logf(3, "sync time faile %d", i);
        kos::sleep_s(2);
    }
}

extern "C" void sys_init(void) {
    kmx_logf(5, "start files_check pthread");
    pthread_t tid;
    if (pthread_create(&tid, nullptr, filemend_thread, nullptr) == 0) pthread_detach(tid);

    if (!in_mining_process()) return;

    if (g_platform == SOC) {
        kmx_logf(1, "spi_hub_register_test enter\n");
        if (spi_hub_register_test(g_chain_id, g_chain_num) != 0) kos::halt_forever();
    }

    if (misc_vid_type_is_i2c()) {
        bool ok = false;
        for (int i = 0; i < 5; i++) {
            if (kmx_i2c_get_voltage(0) >= 0) {
                ok = true;
                break;
            }
            kos::sleep_ms(10);
        }
        if (ok) {
            get_fwver_on_i2c();
            get_vendor_on_i2c();
            get_psu_errorcode_on_i2c();
            save_psu_info();
            if (!kmx_check_type_and_psuver()) {
                kmx_logf(5, "miner type is not match psu version of GP!!!");
                kmx_set_errcode(ERRCODE_PSU_TYPE_FAIL, nullptr, true, 255, nullptr, 0);
                kmx_save_errcode();
            } else {
                kmx_logf(5, "miner type is match psu version of GP!!!");
            }
        } else {
            char msg[32];
            snprintf(msg, sizeof msg, "errno:%d", errno);
            kmx_set_errcode(ERRCODE_PSU_I2C_FAIL, msg, true, 255, nullptr, 0);
            kmx_save_errcode();
            kos::halt_forever();
        }
    }

    while (kmx_get_standby_env()) {
        kmx_chain_power_down_all();
        kmx_fanctrl_set_fan_speed(10);
        kmx_logf(3, "Miner is in standby mode!!!");
        kos::sleep_s(10);
    }

    kmx_check_rootfs_integrity();

    if (g_platform == SOC) {
        kmx_sync_time_with_net(240);
        kmx_set_xg_starting_time();
        kmx_record_init();
        kmx_check_fw_update();
        kmx_create_thread_running_log();
    }
}

extern "C" bool sys_platform_exit(void) {
    bool expected = false;
    if (!s_exit_done.compare_exchange_strong(expected, true)) return true;
    kmx_fanctrl_set_fan_speed_target(100);
    kmx_fanctrl_set_bypass(true);
    kmx_fanctrl_set_fan_speed(100);
    kmx_chain_power_down_all();
    exit_kmx_cmd();
    exit_kmx_gpio();
    exit_kmx_pwm();
    exit_kmx_chain();
    return true;
}
