#include "zynq/zynq_chain_internal.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "hub/kmx_i2c.h"
#include "misc/kmx_misc.h"
#include "module/kmx_log.h"
#include "module/kmx_ops.h"
#include "os/os.h"
#include "platform/kmx_platform.h"


namespace {

int i2c_psu_en[KMX_MAX_CHAIN];

constexpr const char *kCounterFile = "/config/author.au";
constexpr const char *kPoolFile = "/tmp/pool_info.au";
constexpr const char *kLastRecord = "/tmp/com_pool.info";
constexpr const char *kFlash = "/dev/mtdblock11";
constexpr int kSlot = 256;
constexpr int kSlotsPerBlock = 20;

bool absent(uint8_t chain) {
    if (kmx_get_plug(chain) == 0) return false;
    kmx_logf(3, "chain %d >>> the board not inserted !!! \n", chain);
    return true;
}

uint8_t chain_at(int i) { return uint8_t(g_chain_id[i]); }
int chains_in_use() { return g_chain_num < KMX_MAX_CHAIN ? g_chain_num : KMX_MAX_CHAIN; }

void run(const char *cmd, bool echo) {
    if (echo) printf("system cmd:%s\n", cmd);
    const int st = kos::shell_status(cmd);
    if (st != 0) kmx_logf(5, "command failed (%d): %s", st, cmd);
}

// Up to 256 bytes of a file; false when it does not open.
bool read_slot(const char *path, std::string &out) {
    FILE *f = fopen(path, "r");
    if (!f) return false;
    char buf[kSlot];
    const size_t n = fread(buf, 1, sizeof buf, f);
    fclose(f);
    out.assign(buf, n);
    return true;
}

// The new pool information equals the stored record when its first L bytes
// (L at most one slot) match and, for a shorter text, the stored slot ends
// right there (the rest of a written slot stays erased).
bool same_record(const std::string &stored, const std::string &fresh) {
    const size_t l = fresh.size();
    if (stored.size() < l || memcmp(stored.data(), fresh.data(), l) != 0) return false;
    return l >= size_t(kSlot) || stored.size() == l || uint8_t(stored[l]) == 0xFF;
}

// The count a counter file holds: decimal digits, then only NUL padding or
// white space, at most one block's slots.
bool counter_value(std::string_view text, int &count) {
    size_t i = 0;
    long v = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && v <= kSlotsPerBlock) v = v * 10 + (text[i++] - '0');
    if (i == 0 || v > kSlotsPerBlock) return false;
    for (; i < text.size(); i++)
        if (text[i] != '\0' && !isspace((unsigned char)text[i])) return false;
    count = int(v);
    return true;
}

// The first slot of block 0 that is erased (all 0xFF), kSlotsPerBlock when
// every slot holds a record; -1 (logged) when the flash cannot be read.
int first_free_slot() {
    std::string block;
    if (!kos::read_file(kFlash, block, size_t(kSlot) * kSlotsPerBlock) ||
        block.size() < size_t(kSlot) * kSlotsPerBlock) {
        kmx_logf(5, "cannot read %s to count the stored records, nothing recorded\n", kFlash);
        return -1;
    }
    for (int k = 0; k < kSlotsPerBlock; k++)
        if (block.find_first_not_of('\xFF', size_t(k) * kSlot) >= size_t(k + 1) * kSlot) return k;
    return kSlotsPerBlock;
}

void erase_block0() {
    char cmd[128];
    snprintf(cmd, sizeof cmd, "%s %d %d", "mtd_debug erase /dev/mtd11", 0, 131072);
    run(cmd, true);
}

}  // namespace

extern "C" {

void set_i2c_psu_en(int chain, int en) {
    if (!misc_vid_type_is_i2c() || chain < 0 || chain >= KMX_MAX_CHAIN) return;
    i2c_psu_en[chain] = en;  // the intent, even when the write failed
    hub_set_power_en_i2c(chain, en);
}

bool kmx_get_i2c_psu(int chain) { return chain >= 0 && chain < KMX_MAX_CHAIN && i2c_psu_en[chain] != 0; }

bool zynq_chain_power_on(uint8_t chain_id, uint8_t mode) {
    if (absent(chain_id)) return false;
    if (mode == 1) mode = 0;
    kmx_logf(3, "chain%d: power-on mode %d", chain_id, mode + 1);
    // One letter per step, each followed by 1 s: r reset 1, z reset 0,
    // s supply on, p power enable 1, t start enable 1, b reset 1 and start 1.
    const char *steps = mode == 0 ? "rspztr" : mode == 2 ? "sptrzr" : "spb";
    for (const char *st = steps; *st; st++) {
        switch (*st) {
        case 'r': kmx_set_reset(chain_id, 1); break;
        case 'z': kmx_set_reset(chain_id, 0); break;
        case 's': set_i2c_psu_en(chain_id, 1); break;
        case 'p': kmx_set_power_en(chain_id, 1); break;
        case 't': kmx_set_start_en(chain_id, 1); break;
        default:
            kmx_set_reset(chain_id, 1);
            kmx_set_start_en(chain_id, 1);
            break;
        }
        kos::sleep_s(1);
    }
    return true;
}

void chain_supply_off(uint8_t chain_id) {
    // Under Vin-sync the output feeds every chain: it stays on unless the
    // chains are being brought up together.
    if (!(g_vin_sync && !__atomic_load_n(&g_poweron_flag, __ATOMIC_RELAXED))) {
        set_i2c_psu_en(chain_id, 0);
        kos::sleep_s(1);
    }
}

bool zynq_chain_power_down(uint8_t chain_id) {
    kmx_logf(3, "chain%d power down", chain_id);
    chain_supply_off(chain_id);
    kmx_set_power_en(chain_id, 0);
    kos::sleep_s(1);
    kmx_set_reset(chain_id, 0);
    kmx_set_start_en(chain_id, 0);
    kmx_set_led(chain_id, 1);
    return true;
}

bool zynq_chain_hw_reset(uint8_t chain_id) {
    kmx_set_reset(chain_id, 0);
    kos::sleep_s(1);
    kmx_set_reset(chain_id, 1);
    kos::sleep_s(1);
    return true;
}

bool zynq_chain_power_on_all(void) {
    const int n = chains_in_use();
    for (int i = 0; i < n; i++) {
        const uint8_t c = chain_at(i);
        if (kmx_get_plug(c) == 0) {
            if (!g_vin_sync) {
                set_i2c_psu_en(c, 1);
                kos::sleep_s(1);
            }
            i2c_psu_en[c] = 1;
        } else {
            kmx_logf(3, "chain %d >>> the board not inserted !!! \n", c);
        }
    }
    if (g_vin_sync) {
        set_i2c_psu_en(0, 1);
        kos::sleep_s(1);
    }
    for (int i = 0; i < n; i++) {
        kmx_set_power_en(chain_at(i), 1);
        kos::sleep_ms(5);
    }
    kos::sleep_s(5);
    for (int i = 0; i < n; i++) {
        kmx_set_reset(chain_at(i), 1);
        kos::sleep_ms(5);
    }
    kos::sleep_s(1);
    for (int i = 0; i < n; i++) {
        kmx_set_start_en(chain_at(i), 1);
        kos::sleep_ms(5);
    }
    return true;
}

bool zynq_chain_power_down_all(void) {
    kmx_logf(3, "all chains power down");
    const int n = chains_in_use();
    if (g_vin_sync) {
        set_i2c_psu_en(0, 0);
    } else {
        for (int i = 0; i < n; i++) set_i2c_psu_en(chain_at(i), 0);
    }
    kos::sleep_s(1);
    for (int i = 0; i < n; i++) {
        i2c_psu_en[chain_at(i)] = 0;
        kmx_set_power_en(chain_at(i), 0);
    }
    kos::sleep_s(1);
    for (int i = 0; i < n; i++) {
        const uint8_t c = chain_at(i);
        kmx_set_reset(c, 0);
        kmx_set_start_en(c, 0);
        kmx_set_led(c, 1);
    }
    return true;
}

bool zynq_record_params(void) {
    FILE *f = fopen(kCounterFile, "r+");
    const bool existed = f != nullptr;
    if (!f) f = fopen(kCounterFile, "w");
    if (!f) {
        kmx_logf(5, "Sorry open psize file failed\n");
        return false;
    }
    char text[65] = {0};
    const size_t got = fread(text, 1, 64, f);
    fclose(f);
    // A counter file just created counts 0: block 0 is erased for a fresh
    // history. One that exists but holds no count is damaged, which is no
    // reason to erase the stored changes: they are counted on flash.
    int count = 0;
    if (existed && !counter_value(std::string_view(text, got), count)) {
        count = first_free_slot();
        if (count < 0) return false;
        kmx_logf(4, "%s holds no record count, %d records found in block 0\n", kCounterFile, count);
    }
    printf("first read data:%d\n", count);

    char cmd[160];
    snprintf(cmd, sizeof cmd, "%s %s %s %s skip=%d", "dd", "if=/dev/mtdblock11", "of=/tmp/com_pool.info",
             "bs=256 count=1", count - 1);
    run(cmd, false);

    std::string stored, fresh;
    if (read_slot(kLastRecord, stored)) {
        const bool have_fresh = read_slot(kPoolFile, fresh);
        if (!have_fresh) kmx_logf(5, "failed to open file %s", kPoolFile);
        run("rm /tmp/com_pool.info", false);
        if (have_fresh && same_record(stored, fresh)) {
            run("rm /tmp/pool_info.au", false);
            return true;
        }
    } else {
        kmx_logf(5, "failed to open file /tmp/com_pool.info");
    }

    if (count > kSlotsPerBlock - 1) {
        run("mtd_debug erase /dev/mtd11 0x20000 0x20000", false);
        run("dd if=/dev/mtdblock11 of=/tmp/psize_1 bs=131072 count=1 skip=0 ", false);
        run("dd if=/tmp/psize_1 of=/dev/mtdblock11 bs=131072 count=1 seek=1 ", false);
        erase_block0();
        count = 0;
    } else if (count == 0) {
        erase_block0();
    }

    // Replaced whole: a half-written counter would read as 0 and erase
    // block 0 before it was copied.
    char counter[64] = {0};
    snprintf(counter, sizeof counter, "%d", count + 1);
    if (!misc_write_owned_file(kCounterFile, std::string_view(counter, sizeof counter)))
        kmx_logf(5, "Sorry open psize file failed\n");
    printf("read data:%d\n", count);

    snprintf(cmd, sizeof cmd, "%s %s %s %s seek=%d", "dd", "if=/tmp/pool_info.au", "of=/dev/mtdblock11",
             "bs=256 count=1", count);
    run(cmd, true);
    run("rm /tmp/pool_info.au", false);
    return true;
}

}  // extern "C"
