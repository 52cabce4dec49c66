// Control-board self-test on the factory fixture, and the hub register test
// that the mining process also runs at every start on the SoC board.
#include "misc/kmx_board_test.h"

#include <pthread.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "drv/hub.h"
#include "drv/hub_gpio.h"
#include "drv/hub_spi.h"
#include "drv/kmx_chip_frame_internal.h"
#include "drv/soc_gpio.h"
#include "hub/kmx_i2c.h"
#include "minerCloud/kmx_cloud.h"
#include "misc/kmx_board_check.h"
#include "misc/kmx_errcode.h"
#include "misc/kmx_conf_lock_internal.h"
#include "misc/kmx_misc.h"
#include "module/kmx_log.h"
#include "module/kmx_ops_internal.h"
#include "os/os.h"
#include "os/watchdog.h"
#include "platform/kmx_platform.h"

bool I2C_PSU_check = true;

namespace {

std::atomic<board_test::EndHook> s_end_hook{nullptr};

constexpr const char *kNetFile = "/config/network/25-wired.network";
constexpr const char *kTestIp = "192.168.1.88";

// SoC pads driven by the line-pulse stage, chain 0..8.
constexpr int SOC_SPI_PIN_LED[9] = {38, 42, 46, 74, 78, 82, 156, 152, 148};
constexpr int SOC_SPI_PIN_POWER_EN[9] = {170, 169, 168, 167, 166, 165, 164, 163, 162};
constexpr int SOC_SPI_PIN_START_EN[9] = {36, 40, 44, 72, 76, 80, 158, 154, 150};
constexpr int SOC_SPI_PIN_RESET[9] = {37, 41, 45, 73, 77, 81, 157, 153, 149};
constexpr int SOC_SPI_PIN_VID[9] = {60, 61, 62, 63, 64, 65, 66, 67, 68};
constexpr int kBoardLedPad = 85, kButtonPad = 69, kWorkModePad = 112;

// ---- job vectors ------------------------------------------------------------

constexpr const char kRandomPayload[] =
    "ccac8c28cf8e70f6905a6787c31aab7db356758ef8d676fb6b81511de37d920a6708927218409c2ba592dedb6f1cfcb2237a67b9f2127c"
    "4b0ae41154690b828cd415523679dd66cf0c340c082695afe1b2060de3e168d6e6b1a35669269d6edb9157b96452526efea4a724b96a"
    "babd90ed8b24e356cdf5b7e7d428e1e92bd571a54ea3986f385da5a35c1715"
    "00000000000001ffffffffff00000000";
static_assert(sizeof kRandomPayload - 1 == 2 * 156, "the random job's payload is bytes 2 to 157");

struct Vectors {
    uint8_t v[3][BT_JOB_LEN] = {};
    Vectors() {
        for (auto &j : v) {
            j[0] = 0x17;
            j[1] = 0x0A;
        }
        memset(v[1] + 2, 0xFF, 156);
        for (int i = 0; i < 156; i++) {
            char hex[3] = {kRandomPayload[2 * i], kRandomPayload[2 * i + 1], 0};
            v[2][2 + i] = uint8_t(strtoul(hex, nullptr, 16));
        }
    }
};

const Vectors &vectors() {
    static const Vectors v;
    return v;
}

// ---- small helpers ------------------------------------------------------------

void run(const char *cmd) {
    char rst[128];
    misc_system(cmd, rst, sizeof rst);
}

void mark_failed() { run("fw_setenv board_tested 2"); }

[[noreturn]] void end_state(bool pass) {
    if (board_test::EndHook hook = s_end_hook.load()) hook(pass);
    for (unsigned n = 0;; n++) {
        if (!pass) {
            kos::sleep_s(1);
            continue;
        }
        if (g_platform == SOC) {
            set_board_LED_on(int(n & 1));
            kmx_set_green_led(int(n & 1));
            kmx_set_red_led(int(n & 1));
            kos::sleep_s(2);
        } else {
            kmx_set_green_led(int(n & 1));
            kmx_set_red_led(int(~n & 1));
            kos::sleep_s(1);
        }
    }
}

// Green and red on (the SoC board's own LED off), then sleep forever.
[[noreturn]] void failed_leds_end() {
    kmx_set_green_led(1);
    kmx_set_red_led(1);
    if (g_platform == SOC) set_board_LED_on(0);
    end_state(false);
}

// A failed stage: the code as text, the stage's line, LEDs, sleep.
[[noreturn]] void fail_end(const char *code, const char *line) {
    kmx_logf(5, "%s", code);
    kmx_logf(5, "%s", line);
    failed_leds_end();
}

[[noreturn]] void pass_end() {
    run("fw_setenv board_tested 1");
    board_test_log(nullptr, 1, nullptr, BT_PASS);
    kmx_logf(5, "0x5AA5A55A");
    kmx_logf(5, "finish test mode.");
    end_state(true);
}

// ---- hub register test -----------------------------------------------------------

uint32_t reg_mask(uint32_t offset) {
    switch (offset) {
    case 8:
    case 0x2804:
    case 0x2808: return 0xFFFF0000u;
    case 20: return 0xFFFFEFFCu;
    case 352: return 0xFFFFEFFFu;
    case 356: return 0xFFFF8080u;
    default: return 0xFFFFFFFFu;
    }
}

// Writes 0, all ones, 0 again and checks the masked bits after each.
bool spi_hub_wr_register(uint32_t address, uint32_t offset) {
    const uint32_t mask = reg_mask(offset);
    struct Step {
        uint32_t value;
        const char *line;
    };
    const Step steps[3] = {
        {0, "spi_hub_register_test err when first write 0 to 0x%04X\n"},
        {0xFFFFFFFFu, "spi_hub_register_test err when write 1 to 0x%04X\n"},
        {0, "spi_hub_register_test err when second write 0 to 0x%04X\n"},
    };
    for (const Step &s : steps) {
        Xil_SPI_Out32(address, s.value);
        const uint32_t got = Xil_SPI_In32(address);
        kos::sleep_us(5);
        if ((got & mask) != (s.value & mask)) {
            kmx_logf(5, s.line, address);
            kmx_logf(1, "spi_hub_register_test reg: 0x%08X\n", got);
            return false;
        }
    }
    return true;
}

int hub_register_failed(uint32_t address, int chain) {
    char msg[16];
    snprintf(msg, sizeof msg, "0x%04X", address);
    board_test_log("SPI_HUB", 0, msg, BT_SPI_HUB);
    kmx_set_errcode(ERRCODE_SPI_HUB, msg, true, chain, nullptr, 0);
    kmx_save_errcode();
    init_kmx_cmd();
    kmx_logf(5, "spi_hub_register_test failed\n");
    return 1;
}

// ---- get work mode ---------------------------------------------------------------------

// The fixture answers with the chain count to test (8 or 3) in the high
// nibble of reply byte 0; -1 with the reason when it did not ask for a test.
int get_work_mode_reply(const char **msg, uint32_t *code) {
    uint8_t tx[8] = {0x0F, 0x00, 0, 0, 0, 0, 0, 0};
    uint8_t rx[HUB_SPI_RX_BYTES] = {};
    if (do_spi_cmd(0, tx, rx, CHIP_LW_RESET) != 0) {
        *msg = "spi_err";
        *code = BT_GET_WORK_MODE_SPI;
        return -1;
    }
    kmx_logf(5, "tx:%x %x %x %x %x %x %x %x\n", tx[0], tx[1], tx[2], tx[3], tx[4], tx[5], tx[6], tx[7]);
    kmx_logf(5, "rx:%x %x %x %x %x %x %x %x\n", rx[0], rx[1], rx[2], rx[3], rx[4], rx[5], rx[6], rx[7]);
    const int mode = rx[0] >> 4;
    if (mode == 8 || mode == 3) return mode;
    *msg = "chain_link_err";
    *code = BT_GET_WORK_MODE_LINK;
    return -1;
}

void fill_tables() {
    init_kmx_gpio();
    init_kmx_cmd();
    init_kmx_pwm();
    init_kmx_chain();
}

// What the mining process had before the call, given back when the board is
// not tested so a later sys_platform_init (or an earlier one) stands.
struct SavedGlobals {
    int platform = g_platform, chip_type = g_chip_type, chain_num = g_chain_num, chip_num = g_chip_num;
    int chain_id[KMX_MAX_CHAIN];
    SavedGlobals() { memcpy(chain_id, g_chain_id, sizeof chain_id); }
    void restore() const {
        g_platform = platform;
        g_chip_type = chip_type;
        g_chain_num = chain_num;
        g_chip_num = chip_num;
        memcpy(g_chain_id, chain_id, sizeof chain_id);
    }
};

void *feed_dog_entry(void *arg) { return thread_feed_watchdog(arg); }

// ---- network -------------------------------------------------------------------------

void change_net_mode(int mode) {
    kmx_logf(5, "%s:", "change_net_mode");
    std::string text = "[Match]\nName=eth0\n[Network]\n";
    if (mode == 1) {
        kmx_logf(5, "static ip ===> dhcp.\n");
        text += "DHCP=yes\n[DHCP]\nClientIdentifier=mac\n";
    } else {
        kmx_logf(5, "dhcp ===> static ip.\n");
        char buf[160];
        snprintf(buf, sizeof buf, "Address=%s/%s\nGateway=%s\nDNS=%s\nDNS=%s\n", kTestIp, "24", "192.168.1.1", "8.8.8.8",
                 "1.1.1.1");
        text += buf;
    }
    // Replaced whole: a crash mid-write must not leave the board without a
    // readable network file.
    bool ok;
    {
        kmisc::ConfLock lock(__func__);
        ok = lock.held() && kos::write_file_atomic(kNetFile, text);
    }
    if (!ok) {
        kmx_logf(5, "fopen %s fail.\n", kNetFile);
        return;
    }
    run("systemctl restart systemd-networkd\n");
    for (int i = 0; i < 3; i++) run("sync");
}

// ---- stages shared by both sequences ------------------------------------------------------

void wait_button(bool soc) {
    for (unsigned n = 0;; n++) {
        kmx_set_green_led(int(n & 1));
        kmx_set_red_led(int(n & 1));
        int b;
        if (soc) {
            set_board_LED_on(int(~n & 1));
            sarn_gpio_write(kButtonPad, 0, 1);
            b = sarn_gpio_read(kButtonPad);
        } else {
            b = kmx_get_button();
            kmx_logf(5, "start into test mode.%d", b);
        }
        if (b == 0) break;
        kos::sleep_s(1);
    }
    kmx_set_green_led(0);
    kmx_set_red_led(0);
    if (soc) set_board_LED_on(1);
}

void plug_stage(const char *fn) {
    kmx_logf(5, "Get into spi test stage! chain num %d", g_chain_num);
    for (int c = 0; c < g_chain_num; c++) {
        const int v = kmx_get_plug(uint8_t(c));
        if (v != 0 && v != -1) continue;
        char msg[16];
        snprintf(msg, sizeof msg, "%d", c + 1);
        board_test_log("SPI_PLUG", 0, msg, BT_SPI_PLUG);
        kmx_logf(5, "0x5AA50010");
        kmx_logf(5, "%s,%d,chain %d,gpio_val: %d", fn, __LINE__, c, v);
        mark_failed();
        failed_leds_end();
    }
    board_test_log("SPI_PLUG", 1, nullptr, 0);
}

// One round drives every chain's lines to `level`.
using DriveFn = void (*)(int chain, int level);

void soc_drive(int c, int level) {
    for (const int *table : {SOC_SPI_PIN_LED, SOC_SPI_PIN_POWER_EN, SOC_SPI_PIN_START_EN, SOC_SPI_PIN_RESET, SOC_SPI_PIN_VID}) {
        sarn_gpio_write(table[c], 1, 1);
        sarn_gpio_write(table[c], level, 0);
    }
}

// Through the front functions with whatever VID type start-up left: the
// fixture is driven as a board on the waveform road (not I2C), where the
// power line follows the level and each VID call takes its 100 ms.
void zynq_drive(int c, int level) {
    kmx_set_power_en(uint8_t(c), level);
    kmx_set_start_en(uint8_t(c), level);
    kmx_set_reset(uint8_t(c), level);
    kmx_set_led(uint8_t(c), level);
    kmx_set_vid(uint8_t(c), level);
}

void pulse_stage(const char *fn, DriveFn drive, uint64_t wait_us, uint64_t limit_ms) {
    const uint64_t start = kos::mono_ms();
    for (unsigned n = 0;; n++) {
        int any = 0, last = 0;
        for (int c = 0; c < g_chain_num; c++) {
            drive(c, int(n & 1));
            const int v = kmx_get_plug(uint8_t(c));
            any |= v;
            last = c;
        }
        kos::sleep_us(wait_us);
        if (any == 0) {
            kmx_logf(5, "%s,%d,chain %d,plug level: %d", fn, __LINE__, last, any);
            board_test_log("SPI_PLUSE", 1, nullptr, 0);
            kmx_logf(5, "Get insto instruction stage!!!");
            return;
        }
        if (kos::mono_ms() - start > limit_ms) {
            board_test_log("SPI_PLUSE", 0, nullptr, BT_SPI_PLUSE);
            kmx_logf(5, "0x5AA50030");
            kmx_logf(5, "%s,%d,chain %d,timeout", fn, __LINE__, last);
            mark_failed();
            failed_leds_end();
        }
    }
}

void bist_stage() {
    bool ok = true;
    for (int c = 0; c < g_chain_num; c++) {
        kmx_set_spi_speed(uint8_t(c), 0);
        const int n = kmx_cmd_bist_start(uint8_t(c), 0);
        kmx_logf(5, "chip num %d", n & 0xFF);
        if (n != 10) ok = false;
        kos::sleep_s(1);
    }
    if (!ok) {
        mark_failed();
        board_test_log("SPI_PROTOCOL", 0, nullptr, BT_SPI_PROTOCOL);
        fail_end("0x5AA50070", "check failed in spi test");
    }
    board_test_log("SPI_PROTOCOL", 1, nullptr, 0);
    kmx_logf(5, "check_pass %d,spi test success", 1);
}

void supply_stage() {
    if (I2C_power_test() != 0) {
        mark_failed();
        fail_end("0x5AA50100", "Failed in I2C_power_test");
    }
    pass_end();
}

// The stages that record their own result and leave the end to the caller.
void checked_stage(int (*stage)(void), const char *code, const char *name) {
    char line[96];
    if (stage() != 0) {
        mark_failed();
        snprintf(line, sizeof line, "Failed in %s stage!!!", name);
        fail_end(code, line);
    }
    kmx_logf(5, "success in %s stage!!!", name);
}

int hub_register_stage() {
    int ids[KMX_MAX_CHAIN];
    for (int i = 0; i < KMX_MAX_CHAIN; i++) ids[i] = i;
    return spi_hub_register_test(ids, g_chain_num);
}

int network_stage() { return network_interface_test() == 0 ? 0 : 1; }

}  // namespace

namespace board_test {
const uint8_t *job_vector(int which) { return vectors().v[which < 0 || which > 2 ? 0 : which]; }
void set_end_hook(EndHook hook) { s_end_hook = hook; }
}  // namespace board_test

extern "C" {

void board_test_log(const char *item, int flag, const char *msg, uint32_t code) {
    FILE *fp = fopen(BOARD_TEST_LOG, "a+");
    if (!fp) {
        kmx_logf(5, "create board_test file failed!");
        return;
    }
    if (code == BT_PASS) {
        fprintf(fp, "ERRCODE=0x%08X\n", code);
    } else {
        fprintf(fp, "%s=%d\n", item ? item : "", flag);
        if (code != 0) fprintf(fp, "ERRCODE=0x%08X\n", code);
        if (msg) fprintf(fp, "MSG=%s\n", msg);
    }
    fclose(fp);
}

// The register test writes every register it checks, so on the FPGA hub
// (whose window folds the hub-wide addresses onto chain blocks) it would
// scribble over live status and receive registers: SoC only.
int spi_hub_register_test(int *chain_ids, int chain_num) {
    if (g_platform != SOC) {
        // Not a pass: nothing was tested.
        kmx_logf(5, "spi_hub_register_test: not tested on platform %d, only the SoC hub can be\n", g_platform);
        return 1;
    }
    for (int i = 0; chain_ids && i < chain_num && i < KMX_MAX_CHAIN; i++) {
        const int s = chain_ids[i];
        if (s < 0 || s >= HUB_SPI_CHAINS) {
            kmx_logf(5, "spi_hub_register_test: chain %d out of range\n", s);
            continue;
        }
        const uint32_t base = HUB_SPI_BLOCK(s);
        for (uint32_t off = 0; off <= 252; off += 4) {
            if (off == HUB_SPI_STATUS || (off >= 32 && off <= 92)) continue;
            if (!spi_hub_wr_register(base + off, off)) return hub_register_failed(base + off, s);
        }
        for (uint32_t off : {352u, 356u})
            if (!spi_hub_wr_register(base + off, off)) return hub_register_failed(base + off, s);
        hub_spi_reset(uint8_t(s));
    }
    if (!spi_hub_wr_register(HUB_SPI_CHAIN_EN, HUB_SPI_CHAIN_EN)) return hub_register_failed(HUB_SPI_CHAIN_EN, 255);
    uint32_t wide[4 + 8 * 24];
    int n = 0;
    for (uint32_t off = 0x2800; off <= 0x280C; off += 4) wide[n++] = off;
    for (uint32_t k = 0; k < 8; k++)
        for (uint32_t off = 0; off <= 0x5C; off += 4) wide[n++] = 0x2000 + k * 0x100 + off;
    for (int i = 0; i < n; i++) {
        const uint32_t addr = SOC_SPI_PHY + wide[i];
        if (!spi_hub_wr_register(addr, wide[i])) return hub_register_failed(addr, 255);
    }
    init_kmx_cmd();
    board_test_log("SPI_HUB", 1, nullptr, 0);
    kmx_logf(5, "spi_hub_register_test success\n");
    return 0;
}

void set_board_LED_on(int on) {
    if (on != 0 && on != 1) return;
    sarn_gpio_write(kBoardLedPad, 1, 1);
    sarn_gpio_write(kBoardLedPad, on, 0);
}

int kmx_get_work_mode(void) {
    sarn_gpio_write(kWorkModePad, 0, 1);
    return sarn_gpio_read(kWorkModePad);
}

void *thread_feed_watchdog(void *) {
    prctl(PR_SET_NAME, "feed_dog");
    int fd = -1;
    bool disable_pending = true, enable_pending = true;
    for (;;) {
        // The stopped daemon may still hold the device for a moment: keep
        // trying, or the board reboots on the hardware time-out mid-test.
        if (fd < 0 && (fd = kos::wdt_open("/dev/watchdog")) < 0)
            kmx_logf(5, "%s  %d open /dev/watchdog failed: %s\n", __func__, __LINE__, strerror(errno));
        char env[128] = "";
        misc_get_uboot_env("watchdog", env, sizeof env);
        if (strstr(env, "off")) {
            if (disable_pending && fd >= 0) {
                kmx_logf(5, "%s  %d watchdog disabled !\n", __func__, __LINE__);
                kos::wdt_set_options(fd, 1);
                disable_pending = false;
                enable_pending = true;
            }
            kos::sleep_s(30);
            continue;
        }
        if (fd >= 0) {
            if (enable_pending) {
                kmx_logf(5, "%s  %d watchdog enabled !\n", __func__, __LINE__);
                kos::wdt_set_options(fd, 2);
                if (kos::wdt_set_timeout(fd, 90) != 0) kmx_logf(5, "%s  %d watchdog settimeout failed !\n", "wdt_ioctl", __LINE__);
                enable_pending = false;
                disable_pending = true;
            }
            kos::wdt_feed(fd);
        }
        kos::sleep_s(20);
    }
    return nullptr;
}

bool hub_cmd_write_job_for_test(uint8_t chain_id, uint8_t *job) {
    chip_frame_seal(job, BT_JOB_LEN - 2);
    // The push clocks out 81 words (162 bytes) and the manual path reads
    // back more than the job's own length: both work on zeroed copies.
    uint8_t tx[2560] = {};
    uint8_t rx[2560] = {};
    memcpy(tx, job, BT_JOB_LEN);
    if (g_chip_type == 9 || g_chip_type == 169) {
        send_spi_header_manual(chain_id, tx, rx, 0x504E0000u);
        spi_padding(chain_id, rx + 160, 11);
        for (int i = 0; i < 186; i++)
            if (rx[i]) {
                printf("write job wrong,cmd07 should not send back data\n");
                break;
            }
    } else if (send_job_queue_boardtest(chain_id, tx, rx, 0x514F1800u, 1) != 0) {
        kmx_logf(5, "%s,%d: %s send job failed, no rx! \n", __FILE__, __LINE__, __func__);
        return false;
    }
    for (int i = 0; i < 42; i++) {
        if (rx[i] == job[i]) continue;
        kmx_logf(5, "chain %d: spi_rx[%d] data is wrong \n", chain_id, i);
        for (int k = 0; k < BT_JOB_LEN; k++) kmx_logf(1, "job[%d]: %02X \n", k, job[k]);
        for (int k = 0; k < 42; k++) kmx_logf(1, "chain %d: job[%d]: %02X  spi_rx[%d]: %02X\n", chain_id, k, job[k], k, rx[k]);
        for (int j = 0; j < 2; j++)
            kmx_logf(1, "chain %d: job_crc[%d]:%02X  hub_crc[%d]:%02X  spi_rx_crc[%d]:%02X\n", chain_id, j, job[158 + j], j,
                     rx[42 + j], j, rx[44 + j]);
        return false;
    }
    if (rx[42] != job[158] || rx[44] != job[158] || rx[43] != job[159] || rx[45] != job[159]) {
        kmx_logf(5, "chain %d: spi_rx CRC is wrong \n", chain_id);
        for (int k = 0; k < BT_JOB_LEN; k++) kmx_logf(1, "job[%d]: %02X \n", k, job[k]);
        for (int k = 0; k < 46; k++) kmx_logf(1, "spi_rx[%d]: %02X\n", k, rx[k]);
        return false;
    }
    return true;
}

int write_job_test(void) {
    struct Pass {
        int vector;
        const char *line;
    };
    const Pass passes[4] = {
        {0, "chain%d: JOB_ALL_0 first test failed\n"},
        {1, "chain%d: JOB_ALL_F test failed\n"},
        {0, "chain%d: JOB_ALL_0 second test failed\n"},
        {2, "chain%d: JOB_ALL_RANDOM test failed\n"},
    };
    for (int c = 0; c < g_chain_num; c++) {
        kmx_cmd_bist_start(uint8_t(c), 0);
        for (const Pass &p : passes) {
            uint8_t job[BT_JOB_LEN];
            memcpy(job, board_test::job_vector(p.vector), sizeof job);
            if (hub_cmd_write_job_for_test(uint8_t(c), job)) continue;
            kmx_logf(5, p.line, c);
            char msg[16];
            snprintf(msg, sizeof msg, "%d", c + 1);
            board_test_log("WRITE_JOB", 0, msg, BT_WRITE_JOB);
            return 1;
        }
    }
    board_test_log("WRITE_JOB", 1, nullptr, 0);
    return 0;
}

int network_interface_test(void) {
    change_net_mode(0);
    int st = -1;
    char cmd[64];
    snprintf(cmd, sizeof cmd, "ping -c 1 %s", kTestIp);
    for (int i = 0; i < 6; i++) {
        st = kos::shell_status(cmd);
        kmx_logf(5, "\n i=%d\n", st);
        if (st == 0) break;
        kos::sleep_s(2);
    }
    change_net_mode(1);
    board_test_log("NETWORK_INTERFACE", st == 0 ? 1 : 0, nullptr, st == 0 ? 0 : BT_NETWORK_INTERFACE);
    return st;
}

int PWM_test(void) {
    uint32_t v = Soc_Apbsys_In32(0xE8);
    kmx_logf(5, "Soc_Apbsys_In32:%x", v);
    Soc_Apbsys_Out32(0xE8, v | 0x380000u);
    Soc_Peripheral_Out32(4, 3);
    v = Soc_Peripheral_In32(8);
    kmx_logf(5, "111reg:%x", v);
    Soc_Peripheral_Out32(8, v | 0x38u);

    int period[3] = {}, duty[3] = {}, tach[3] = {};
    for (int f = 0; f < 3; f++) {
        soc_hub_set_pwm(uint8_t(f), 20000, 60);
        soc_hub_get_pwm(uint8_t(f), &period[f], &duty[f]);
    }
    kos::sleep_s(5);
    for (int f = 0; f < 3; f++) {
        tach[f] = int(Soc_Peripheral_In32(88 + 4 * uint32_t(f)));
        kmx_logf(5, "111fan:%d,speed:%d", f, tach[f]);
    }
    // The settings must read back as written (the driver stores them as
    // given); a loose bit test would pass nearly any value.
    bool ok = true;
    for (int f = 0; f < 3; f++) ok = ok && period[f] == 20000 && duty[f] == 12000;
    ok = ok && abs(duty[1] - tach[1]) <= 500;
    if (g_chain_num == 8)
        ok = ok && abs(duty[0] - tach[0]) <= 500;
    else
        ok = ok && abs(duty[2] - tach[2]) <= 500;
    if (ok) {
        board_test_log("PWM", 1, nullptr, 0);
        return 0;
    }
    char msg[64];
    snprintf(msg, sizeof msg, "%d:%d:%d:%d", 12000, tach[0], tach[1], tach[2]);
    board_test_log("PWM", 0, msg, BT_PWM);
    return 1;
}

int I2C_power_test(void) {
    for (int i = 0; i < 3; i++) {
        if (kmx_i2c_get_voltage(0) < 0) {
            board_test_log("I2C_POWER", 0, nullptr, BT_I2C_POWER);
            return 1;
        }
        kos::sleep_s(1);
    }
    board_test_log("I2C_POWER", 1, nullptr, 0);
    return 0;
}

void kmx_start_test_work_soc(void) {
    wait_button(true);
    checked_stage(hub_register_stage, "0x5AA50003", "spi_hub_test");
    checked_stage(write_job_test, "0x5AA50007", "write_job_test");
    checked_stage(network_stage, "0x5AA50001", "network_interface_test");
    checked_stage(PWM_test, "0x5AA51000", "PWM_test");
    plug_stage("SPI_test_soc");
    pulse_stage("SPI_test_soc", soc_drive, 100, 10000);
    bist_stage();
    supply_stage();
}

void kmx_start_test_work_zynq(void) {
    wait_button(false);
    checked_stage(write_job_test, "0x5AA50007", "write_job_test");
    checked_stage(network_stage, "0x5AA50001", "network_interface_test");
    plug_stage("SPI_test_zynq");
    pulse_stage("SPI_test_zynq", zynq_drive, 10, 30000);
    bist_stage();
    if (I2C_PSU_check) supply_stage();
    pass_end();
}

int board_detection_prepare(int platform, int chip_type, int chain_num, int chip_num) {
    kmx_logf(5, "%s:kmx_lib compile time:%s    %s\n", __func__, __DATE__, __TIME__);
    char rst[128] = "";
    misc_system("/sbin/fw_printenv no_board_test\n", rst, sizeof rst);
    const char *eq = strchr(rst, '=');
    const int no_test = eq ? atoi(eq + 1) : 0;
    if (no_test == 1) {
        kmx_logf(5, "%s:no_board_test:%d\n", __func__, no_test);
        return 0;
    }
    if (chain_num >= 9) {
        kmx_logf(5, "the chain_num is error !!! \n");
        kos::terminate(0);
    }
    if (chip_num > KMX_MAX_CHIP) {
        kmx_logf(5, "the chip_num is error !!! \n");
        kos::terminate(0);
    }

    const SavedGlobals saved;
    bool mapped = false;
    switch (platform) {
    case ZYNQ_HUB_B3:
    case ZYNQ_HUB_B13:
        mapped = !hub_windows_mapped(0);
        if (mapped) hub_init();
        break;
    case SOC:
        mapped = !hub_windows_mapped(1);
        if (mapped) soc_hub_init();
        break;
    case ZYNQ_SPI_B3:
    case ZYNQ_SPI_B13:
        break;
    default:
        kmx_logf(5, "%s %d the platform is undefined !!! \n", __func__, __LINE__);
        kos::terminate(0);
    }

    g_chip_type = chip_type;
    g_platform = platform;
    g_chain_num = 8;
    g_chip_num = 1;
    for (int i = 0; i < KMX_MAX_CHAIN; i++) g_chain_id[i] = i;
    // The supply and voltage-ID stages pick their link by the VID type, as
    // after a normal start-up.
    g_vid_type = misc_get_vid_type();
    kmx_logf(3, "board test vid type: %d\n", g_vid_type);
    fill_tables();
    kmx_cmd_reset_hub(0);

    const char *msg = nullptr;
    uint32_t code = 0;
    const int mode = platform == ZYNQ_SPI_B3 || platform == ZYNQ_SPI_B13 ? -1 : get_work_mode_reply(&msg, &code);
    if (mode < 0) {
        if (!msg) {
            msg = "spi_err";
            code = BT_GET_WORK_MODE_SPI;
        }
        board_test_log("GET_WORK_MODE", 0, msg, code);
        kmx_logf(5, "0x5AA50000");
        kmx_logf(5, "get_work_mode error !!! \n");
        if (mapped) board_detection_exit(platform);
        saved.restore();
        if (!mapped && saved.platform == platform) fill_tables();
        return 0;
    }

    board_test_log("GET_WORK_MODE", 1, nullptr, 0);
    g_chain_num = mode;
    kmx_set_errcode(ERRCODE_BOARD_TEST, nullptr, true, 255, nullptr, 0);
    kmx_save_errcode();
    kmx_logf(5, "Need to start test mode.");
    run("systemctl stop zel-monitor");
    run("systemctl disable zel-monitor");
    pthread_t tid;
    if (pthread_create(&tid, nullptr, feed_dog_entry, nullptr) != 0)
        kmx_logf(5, "thread_feed_watchdog create fail !\n");
    else
        pthread_detach(tid);

    if (platform == ZYNQ_HUB_B3 || platform == ZYNQ_HUB_B13) {
        if (g_chain_num == 8) {
            g_chain_num = 7;
            I2C_PSU_check = true;
        }
    }
    kmx_logf(5, "%s %d sys : platform[%d] miner_type[%d] chain_num[%d] chip_num[%d] \n", __func__, __LINE__, g_platform,
             g_chip_type, g_chain_num, g_chip_num);
    for (int i = 0; i < g_chain_num; i++) g_chain_id[i] = i;
    fill_tables();
    if (platform == SOC) {
        gpio_mux_init_test();
        kmx_start_test_work_soc();
    } else {
        kmx_start_test_work_zynq();
    }
    return 0;
}

void board_detection_exit(int platform) {
    switch (platform) {
    case ZYNQ_SPI_B3:
    case ZYNQ_SPI_B13:
        exit_kmx_gpio();
        break;
    case ZYNQ_HUB_B3:
    case ZYNQ_HUB_B13:
        hub_deinit();
        exit_kmx_gpio();
        break;
    case SOC:
        soc_hub_deinit();
        exit_kmx_gpio();
        break;
    default:
        kmx_logf(5, "the platform is undefined !!!");
        kos::terminate(0);
    }
}

}  // extern "C"
