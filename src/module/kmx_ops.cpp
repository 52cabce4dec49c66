#include "module/kmx_ops.h"
#include "module/kmx_ops_internal.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <unistd.h>

#include "drv/hub.h"
#include "drv/hub_cmd.h"
#include "drv/hub_gpio.h"
#include "drv/hub_spi.h"
#include "drv/soc_gpio.h"
#include "misc/kmx_errcode.h"
#include "module/kmx_log.h"
#include "module/kmx_wd.h"
#include "os/os.h"
#include "platform/kmx_platform.h"
#include "hub/kmx_vid.h"
#include "orangepi/opi_cmd.h"
#include "orangepi/opi_spi.h"
#include "zynq/spi_cmd.h"
#include "zynq/spi_gpio.h"
#include "zynq/zynq_chain.h"
#include "zynq/zynq_gpio.h"

int g_chain_alive[8];
kmx_chain_callback_t g_chain_callback;

namespace {

KMX_CHAIN_T s_chain_ops;
KMX_CMD_T s_cmd_ops;
KMX_GPIO_T s_gpio_ops;
KMX_PWM_T s_pwm_ops;
KMX_CHAIN_T *const s_chain = &s_chain_ops;
KMX_CMD_T *const s_cmd = &s_cmd_ops;
KMX_GPIO_T *const s_gpio = &s_gpio_ops;
KMX_PWM_T *const s_pwm = &s_pwm_ops;

[[noreturn]] void not_registered(const char *name) {
    kmx_logf(5, "%s not register !\n", name);
    kos::terminate(0);
}

[[noreturn]] void platform_undefined() {
    kmx_logf(5, "the platform is undefined !!! \n");
    kos::terminate(0);
}

// Slot test first, before any extra behaviour of the front function.
#define KMX_SLOT(table, slot) \
    do { \
        if (!(table)->slot) not_registered(__func__); \
    } while (0)

bool in_mining_process() { return g_cgminer_pid != 0 && getpid() == g_cgminer_pid; }

void chain_down_notify(uint8_t chain_id) {
    if (chain_id >= 8) return;  // not a slot: nothing to clear or report
    std::atomic_ref<int>(g_chain_alive[chain_id]).store(0);
    wd_msg_data body;
    memset(&body, 0, sizeof body);
    body.chain_id = chain_id;
    kmx_wd_send_msg(258, &body);
}

}  // namespace

namespace kops {
KMX_CHAIN_T *chain_table() { return s_chain; }
KMX_CMD_T *cmd_table() { return s_cmd; }
KMX_GPIO_T *gpio_table() { return s_gpio; }
KMX_PWM_T *pwm_table() { return s_pwm; }
}  // namespace kops

extern "C" {

void init_kmx_chain(void) {
    memset(s_chain, 0, sizeof *s_chain);
    switch (g_platform) {
    case ZYNQ_SPI_B3:
    case ZYNQ_SPI_B13:
    case ZYNQ_HUB_B3:
    case ZYNQ_HUB_B13:
        s_chain->record_params = zynq_record_params;
        [[fallthrough]];
    case SOC:
        s_chain->power_on = zynq_chain_power_on;
        s_chain->power_down = zynq_chain_power_down;
        s_chain->hw_reset = zynq_chain_hw_reset;
        s_chain->power_on_all = zynq_chain_power_on_all;
        s_chain->power_down_all = zynq_chain_power_down_all;
        break;
    case OPI_H3:
        s_chain->power_on = opi_chain_power_on;
        s_chain->power_down = opi_chain_power_down;
        s_chain->hw_reset = opi_chain_hw_reset;
        s_chain->power_on_all = opi_chain_power_on_all;
        s_chain->power_down_all = opi_chain_power_down_all;
        break;
    default:
        platform_undefined();
    }
}

static void fill_hub_cmd(void (*set_speed)(uint8_t, int)) {
    init_hub_cmd(g_chain_num, g_chip_num);
    s_cmd->set_speed = set_speed;
    s_cmd->cmd_reset = hub_cmd_reset;
    s_cmd->cmd_reset_hub = hub_cmd_reset_hub;
    s_cmd->cmd_clean_spi_chain = hub_cmd_clean_spi_chain;
    s_cmd->cmd_bist_start = hub_cmd_bist_start;
    s_cmd->cmd_bist_collect = hub_cmd_bist_collect;
    s_cmd->cmd_bist_fix = hub_cmd_bist_fix;
    s_cmd->cmd_write_register = hub_cmd_write_register;
    s_cmd->cmd_read_register = hub_cmd_read_register;
    s_cmd->cmd_read_write_reg0d = hub_cmd_read_write_reg0d;
    s_cmd->cmd_write_job = hub_cmd_write_job;
    s_cmd->cmd_read_result = hub_cmd_read_result;
    s_cmd->cmd_auto_nonce = hub_cmd_auto_nonce;
    s_cmd->cmd_read_nonce = hub_cmd_read_nonce;
}

void init_kmx_cmd(void) {
    memset(s_cmd, 0, sizeof *s_cmd);
    switch (g_platform) {
    case ZYNQ_SPI_B3:
    case ZYNQ_SPI_B13:
        init_spi_cmd(g_chain_num);
        s_cmd->set_speed = spi_set_spi_speed;
        s_cmd->cmd_reset = spi_cmd_reset;
        s_cmd->cmd_bist_start = spi_cmd_bist_start;
        s_cmd->cmd_bist_collect = spi_cmd_bist_collect;
        s_cmd->cmd_bist_fix = spi_cmd_bist_fix;
        s_cmd->cmd_write_register = spi_cmd_write_register;
        s_cmd->cmd_read_register = spi_cmd_read_register;
        s_cmd->cmd_read_write_reg0d = spi_cmd_read_write_reg0d;
        s_cmd->cmd_write_job = spi_cmd_write_job;
        s_cmd->cmd_read_result = spi_cmd_read_result;
        break;
    case ZYNQ_HUB_B3:
    case ZYNQ_HUB_B13:
        fill_hub_cmd(hub_set_spi_speed);
        break;
    case SOC:
        fill_hub_cmd(soc_set_spi_speed);
        break;
    case OPI_H3:
        init_opi_cmd();
        s_cmd->set_speed = opi_set_spi_speed;
        s_cmd->cmd_reset = opi_cmd_reset;
        s_cmd->cmd_bist_start = opi_cmd_bist_start;
        s_cmd->cmd_bist_collect = opi_cmd_bist_collect;
        s_cmd->cmd_bist_fix = opi_cmd_bist_fix;
        s_cmd->cmd_write_register = opi_cmd_write_register;
        s_cmd->cmd_read_register = opi_cmd_read_register;
        s_cmd->cmd_read_write_reg0d = opi_cmd_read_write_reg0d;
        s_cmd->cmd_write_job = opi_cmd_write_job;
        s_cmd->cmd_read_result = opi_cmd_read_result;
        break;
    default:
        platform_undefined();
    }
}

void init_kmx_gpio(void) {
    memset(s_gpio, 0, sizeof *s_gpio);
    switch (g_platform) {
    case ZYNQ_SPI_B3:
    case ZYNQ_SPI_B13:
        init_spi_gpio(g_chain_num);
        s_gpio->set_power_en = spi_set_power_en;
        s_gpio->set_start_en = spi_set_start_en;
        s_gpio->set_reset = spi_set_reset;
        s_gpio->set_led = spi_set_led;
        s_gpio->get_plug = spi_get_plug;
        s_gpio->set_vid = spi_set_vid;
        break;
    case ZYNQ_HUB_B3:
    case ZYNQ_HUB_B13:
        init_hub_gpio();
        s_gpio->set_power_en = hub_set_power_en;
        s_gpio->set_start_en = hub_set_start_en;
        s_gpio->set_reset = hub_set_reset;
        s_gpio->set_led = hub_set_led;
        s_gpio->get_plug = hub_get_plug;
        s_gpio->set_vid = hub_set_vid;
        s_gpio->set_green_led = hub_set_green_led;
        s_gpio->set_red_led = hub_set_red_led;
        s_gpio->get_button = hub_get_button;
        break;
    case SOC:
        soc_init_hub_gpio();
        s_gpio->set_power_en = soc_hub_set_power_en;
        s_gpio->set_start_en = soc_hub_set_start_en;
        s_gpio->set_reset = soc_hub_set_reset;
        s_gpio->set_led = soc_hub_set_led;
        s_gpio->get_plug = soc_hub_get_plug;
        s_gpio->set_vid = soc_hub_set_vid;
        s_gpio->set_green_led = soc_hub_set_green_led;
        s_gpio->set_red_led = soc_hub_set_red_led;
        s_gpio->get_button = soc_hub_get_button;
        break;
    case OPI_H3:
        s_gpio->set_power_en = opi_set_power_en;
        s_gpio->set_start_en = opi_set_start_en;
        s_gpio->set_reset = opi_set_reset;
        s_gpio->set_led = opi_set_led;
        s_gpio->get_plug = opi_get_plug;
        s_gpio->set_vid = opi_set_vid;
        break;
    default:
        platform_undefined();
    }
}

void init_kmx_pwm(void) {
    memset(s_pwm, 0, sizeof *s_pwm);
    switch (g_platform) {
    case ZYNQ_SPI_B3:
    case ZYNQ_SPI_B13:
        s_pwm->set_pwm = zynq_set_pwm;
        s_pwm->get_pwm = zynq_get_pwm;
        break;
    case ZYNQ_HUB_B3:
    case ZYNQ_HUB_B13:
        s_pwm->set_pwm = hub_set_pwm;
        s_pwm->get_pwm = hub_get_pwm;
        break;
    case SOC:
        s_pwm->set_pwm = soc_hub_set_pwm;
        s_pwm->get_pwm = soc_hub_get_pwm;
        break;
    case OPI_H3:
        s_pwm->set_pwm = opi_set_pwm;
        s_pwm->get_pwm = opi_get_pwm;
        break;
    default:
        platform_undefined();
    }
}

void exit_kmx_cmd(void) {
    switch (g_platform) {
    case ZYNQ_SPI_B3:
    case ZYNQ_SPI_B13:
        exit_spi_cmd(g_chain_num);
        break;
    case ZYNQ_HUB_B3:
    case ZYNQ_HUB_B13:
        hub_deinit();
        exit_hub_cmd(g_chain_num);
        break;
    case SOC:
        soc_hub_deinit();
        exit_hub_cmd(g_chain_num);
        break;
    case OPI_H3:
        exit_opi_cmd();
        break;
    default:
        platform_undefined();
    }
}

void exit_kmx_gpio(void) {
    switch (g_platform) {
    case ZYNQ_SPI_B3:
    case ZYNQ_SPI_B13:
        exit_spi_gpio(g_chain_num);
        break;
    case ZYNQ_HUB_B3:
    case ZYNQ_HUB_B13:
        break;
    case SOC:
        soc_exit_gpio();
        break;
    case OPI_H3:
        break;
    default:
        platform_undefined();
    }
}

void exit_kmx_pwm(void) {
    switch (g_platform) {
    case ZYNQ_SPI_B3:
    case ZYNQ_SPI_B13:
    case ZYNQ_HUB_B3:
    case ZYNQ_HUB_B13:
    case SOC:
    case OPI_H3:
        break;
    default:
        platform_undefined();
    }
}

void exit_kmx_chain(void) {
    switch (g_platform) {
    case ZYNQ_SPI_B3:
    case ZYNQ_SPI_B13:
    case ZYNQ_HUB_B3:
    case ZYNQ_HUB_B13:
    case SOC:
    case OPI_H3:
        break;
    default:
        platform_undefined();
    }
}

#define COPY_SLOT(dst, src, slot) \
    do { \
        if ((src)->slot) (dst)->slot = (src)->slot; \
    } while (0)

void register_kmx_chain(KMX_CHAIN_T *ops) {
    if (!ops) return;
    COPY_SLOT(s_chain, ops, power_on);
    COPY_SLOT(s_chain, ops, power_down);
    COPY_SLOT(s_chain, ops, hw_reset);
    COPY_SLOT(s_chain, ops, power_on_all);
    COPY_SLOT(s_chain, ops, power_down_all);
}

void register_kmx_cmd(KMX_CMD_T *ops) {
    if (!ops) return;
    COPY_SLOT(s_cmd, ops, set_speed);
    COPY_SLOT(s_cmd, ops, cmd_reset);
    COPY_SLOT(s_cmd, ops, cmd_bist_start);
    COPY_SLOT(s_cmd, ops, cmd_bist_fix);
    COPY_SLOT(s_cmd, ops, cmd_bist_collect);
    COPY_SLOT(s_cmd, ops, cmd_read_register);
    COPY_SLOT(s_cmd, ops, cmd_write_register);
    COPY_SLOT(s_cmd, ops, cmd_read_result);
    COPY_SLOT(s_cmd, ops, cmd_write_job);
}

void register_kmx_gpio(KMX_GPIO_T *ops) {
    if (!ops) return;
    COPY_SLOT(s_gpio, ops, set_power_en);
    COPY_SLOT(s_gpio, ops, set_start_en);
    COPY_SLOT(s_gpio, ops, set_reset);
    COPY_SLOT(s_gpio, ops, set_led);
    COPY_SLOT(s_gpio, ops, get_plug);
    COPY_SLOT(s_gpio, ops, set_green_led);
    COPY_SLOT(s_gpio, ops, set_red_led);
    COPY_SLOT(s_gpio, ops, get_button);
}

void register_kmx_pwm(KMX_PWM_T *ops) {
    if (!ops) return;
    COPY_SLOT(s_pwm, ops, set_pwm);
}

// ---- chain table ----------------------------------------------------------

bool kmx_chain_power_on(uint8_t chain_id, uint8_t mode) {
    KMX_SLOT(s_chain, power_on);
    return s_chain->power_on(chain_id, mode);
}

bool kmx_chain_power_down(uint8_t chain_id) {
    KMX_SLOT(s_chain, power_down);
    if (in_mining_process()) chain_down_notify(chain_id);
    return s_chain->power_down(chain_id);
}

bool kmx_chain_hw_reset(uint8_t chain_id) {
    KMX_SLOT(s_chain, hw_reset);
    return s_chain->hw_reset(chain_id);
}

bool kmx_chain_power_on_all(void) {
    KMX_SLOT(s_chain, power_on_all);
    return s_chain->power_on_all();
}

bool kmx_chain_power_down_all(void) {
    KMX_SLOT(s_chain, power_down_all);
    if (in_mining_process()) {
        for (int i = 0; i < g_chain_num && i < KMX_MAX_CHAIN; i++) chain_down_notify(uint8_t(g_chain_id[i]));
    }
    return s_chain->power_down_all();
}

bool kmx_record_params(void) {
    if (!s_chain->record_params) {
        kmx_logf(5, "%s not register !\n", __func__);
        return false;
    }
    return s_chain->record_params();
}

// ---- command table --------------------------------------------------------

bool kmx_set_spi_speed(uint8_t chain_id, int index) {
    KMX_SLOT(s_cmd, set_speed);
    s_cmd->set_speed(chain_id, index);
    return true;
}

bool kmx_cmd_reset_hub(uint8_t chain_id) {
    KMX_SLOT(s_cmd, cmd_reset_hub);
    return s_cmd->cmd_reset_hub(chain_id);
}

bool kmx_cmd_clean_spi_hub(uint8_t chain_id) {
    KMX_SLOT(s_cmd, cmd_clean_spi_chain);
    return s_cmd->cmd_clean_spi_chain(chain_id);
}

bool kmx_cmd_reset(uint8_t chain_id, uint8_t chip_id, uint8_t *in, uint8_t *out) {
    KMX_SLOT(s_cmd, cmd_reset);
    return s_cmd->cmd_reset(chain_id, chip_id, in, out);
}

int kmx_cmd_bist_start(uint8_t chain_id, uint8_t chip_id) {
    KMX_SLOT(s_cmd, cmd_bist_start);
    return s_cmd->cmd_bist_start(chain_id, chip_id);
}

bool kmx_cmd_bist_collect(uint8_t chain_id, uint8_t chip_id) {
    KMX_SLOT(s_cmd, cmd_bist_collect);
    return s_cmd->cmd_bist_collect(chain_id, chip_id);
}

bool kmx_cmd_bist_fix(uint8_t chain_id, uint8_t chip_id) {
    KMX_SLOT(s_cmd, cmd_bist_fix);
    return s_cmd->cmd_bist_fix(chain_id, chip_id);
}

bool kmx_cmd_write_register(uint8_t chain_id, uint8_t chip_id, uint8_t *reg, int len) {
    KMX_SLOT(s_cmd, cmd_write_register);
    return s_cmd->cmd_write_register(chain_id, chip_id, reg, len);
}

bool kmx_cmd_read_register(uint8_t chain_id, uint8_t chip_id, uint8_t *reg, int len) {
    KMX_SLOT(s_cmd, cmd_read_register);
    return s_cmd->cmd_read_register(chain_id, chip_id, reg, len);
}

bool kmx_cmd_read_write_reg0d(uint8_t chain_id, uint8_t chip_id, uint8_t *in, int len, uint8_t *out) {
    KMX_SLOT(s_cmd, cmd_read_write_reg0d);
    return s_cmd->cmd_read_write_reg0d(chain_id, chip_id, in, len, out);
}

bool kmx_cmd_write_job(uint8_t chain_id, uint8_t chip_id, uint8_t *job, int len) {
    KMX_SLOT(s_cmd, cmd_write_job);
    return s_cmd->cmd_write_job(chain_id, chip_id, job, len);
}

bool kmx_cmd_read_result(uint8_t chain_id, uint8_t chip_id, uint8_t *res, int len) {
    KMX_SLOT(s_cmd, cmd_read_result);
    return s_cmd->cmd_read_result(chain_id, chip_id, res, len);
}

bool kmx_cmd_auto_nonce(uint8_t chain_id, int mode, int len) {
    KMX_SLOT(s_cmd, cmd_auto_nonce);
    return s_cmd->cmd_auto_nonce(chain_id, mode, len);
}

bool kmx_cmd_read_nonce(uint8_t chain_id, uint8_t *res, int len) {
    KMX_SLOT(s_cmd, cmd_read_nonce);
    return s_cmd->cmd_read_nonce(chain_id, res, len);
}

bool kmx_cmd_get_temp(kmx_fan_temp_s *fan_temp) {
    KMX_SLOT(s_cmd, cmd_get_temp);
    return s_cmd->cmd_get_temp(fan_temp);
}

static bool reset_with(uint8_t chain_id, uint8_t chip_id, uint8_t *out, uint8_t pattern) {
    uint8_t in[2] = {pattern, pattern};
    return kmx_cmd_reset(chain_id, chip_id, in, out);
}

bool kmx_cmd_resetall(uint8_t chain_id, uint8_t chip_id, uint8_t *out) { return reset_with(chain_id, chip_id, out, 0x00); }
bool kmx_cmd_resetjob(uint8_t chain_id, uint8_t chip_id, uint8_t *out) { return reset_with(chain_id, chip_id, out, 0xBD); }
bool kmx_cmd_resetbist(uint8_t chain_id, uint8_t chip_id, uint8_t *out) { return reset_with(chain_id, chip_id, out, 0x20); }

// ---- GPIO table -----------------------------------------------------------

// Chain lines exist for slots 0..7 only; a larger id would reach past the
// back-ends' per-slot tables and register bits.
static bool chain_ok(uint8_t chain_id, const char *fn) {
    if (chain_id < KMX_MAX_CHAIN) return true;
    kmx_logf(5, "%s: chain %d out of range\n", fn, chain_id);
    return false;
}

void kmx_set_power_en(uint8_t chain_id, int val) {
    KMX_SLOT(s_gpio, set_power_en);
    if (chain_ok(chain_id, __func__)) s_gpio->set_power_en(chain_id, val);
}

void kmx_set_start_en(uint8_t chain_id, int val) {
    KMX_SLOT(s_gpio, set_start_en);
    if (chain_ok(chain_id, __func__)) s_gpio->set_start_en(chain_id, val);
}

void kmx_set_reset(uint8_t chain_id, int val) {
    KMX_SLOT(s_gpio, set_reset);
    if (chain_ok(chain_id, __func__)) s_gpio->set_reset(chain_id, val);
}

void kmx_set_led(uint8_t chain_id, int val) {
    KMX_SLOT(s_gpio, set_led);
    if (chain_ok(chain_id, __func__)) s_gpio->set_led(chain_id, val);
}

int kmx_get_plug(uint8_t chain_id) {
    KMX_SLOT(s_gpio, get_plug);
    if (!chain_ok(chain_id, __func__)) return 1;  // reads as "no board"
    return s_gpio->get_plug(chain_id);
}

bool kmx_set_vid(uint8_t chain_id, int vid) {
    KMX_SLOT(s_gpio, set_vid);
    uint8_t target = g_vin_sync ? 0 : chain_id;
    if (!chain_ok(target, __func__)) return false;
    if (g_chip_type == 6) {
        pthread_mutex_lock(&g_set_vid_lock);
        bool ok = s_gpio->set_vid(target, vid);
        pthread_mutex_unlock(&g_set_vid_lock);
        return ok;
    }
    return s_gpio->set_vid(target, vid);
}

bool kmx_set_vid_by_step(uint8_t chain_id, int start_vid, int target_vid) {
    if (target_vid < 0) target_vid = 0;
    if (start_vid == target_vid) return true;
    const int step = start_vid < target_vid ? 1 : -1;
    for (int vid = start_vid + step;; vid += step) {
        int tries = 0;
        for (;;) {
            kmx_logf(1, "chain%d: set VID %d", chain_id, vid);
            if (kmx_set_vid(chain_id, vid)) break;
            if (++tries >= 3) {
                kmx_logf(5, "chain%d: failed to set VID %d for %d times", chain_id, vid, 3);
                kmx_set_errcode(ERRCODE_SETVOL_FAIL, nullptr, true, chain_id, nullptr, 0);
                kmx_save_errcode();
                return false;
            }
            kmx_logf(5, "chain%d: failed to set VID %d, retry(%d)", chain_id, vid, tries);
            kos::sleep_ms(500);
        }
        if (vid == target_vid) return true;
    }
}

void kmx_set_green_led(int mode) {
    KMX_SLOT(s_gpio, set_green_led);
    s_gpio->set_green_led(mode);
}

void kmx_set_red_led(int mode) {
    KMX_SLOT(s_gpio, set_red_led);
    s_gpio->set_red_led(mode);
}

int kmx_get_button(void) {
    KMX_SLOT(s_gpio, get_button);
    return s_gpio->get_button();
}

// ---- PWM table ------------------------------------------------------------

void kmx_set_pwm(uint8_t fan_id, int frequency, int duty) {
    KMX_SLOT(s_pwm, set_pwm);
    kmx_logf(1, "set fan[%d] pwm freq[%d] duty[%d] \n", fan_id, frequency, duty);
    if (fan_id >= KMX_MAX_FAN) {
        kmx_logf(5, "%s: fan %d out of range\n", __func__, fan_id);
        return;
    }
    s_pwm->set_pwm(fan_id, frequency, duty);
}

void kmx_get_pwm(uint8_t fan_id) {
    KMX_SLOT(s_pwm, get_pwm);
    kmx_logf(1, "get fan[%d]\n", fan_id);
    kmx_logf(1, "get fan[%d] pwm freq / duty\n", fan_id);
    if (fan_id >= KMX_MAX_FAN) {
        kmx_logf(5, "%s: fan %d out of range\n", __func__, fan_id);
        return;
    }
    int frequency = 0, duty = 0;
    s_pwm->get_pwm(fan_id, &frequency, &duty);
}

void kmx_chain_callback_register(kmx_chain_callback_t callback) {
    pthread_mutex_lock(&g_callback_lock);
    g_chain_callback = callback;
    pthread_mutex_unlock(&g_callback_lock);
}

}  // extern "C"
