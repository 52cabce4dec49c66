// zel_chip_type: powers the plugged chains up from cold, reads the chip
// type from the reset reply and the chip count from BIST, and writes the
// result files other programs read.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/tool_args.h"
#include "misc/kmx_misc.h"
#include "module/kmx_log.h"
#include "module/kmx_ops.h"
#include "os/os.h"
#include "platform/kmx_platform.h"

namespace {

const char *type_name(uint8_t reply0) {
    switch (reply0 / 16) {
    case 0: return "N5";
    case 3: return "N8";
    case 6: return "N6";
    case 7: return "R61";
    case 11: return "N7";
    case 12: return "R84";
    default: return "TYPE_ERR";
    }
}

void usage(const char *prog) {
    kmx_logf_user(5, "USAGE:\n");
    kmx_logf_user(5, "      %s platform miner_type chain_num chip_num type_path chip_num_path hwver_path dev_type_path\n",
             klog::Outside(prog).c_str());
    kmx_logf_user(5, "      platform:\n");
    kmx_logf_user(5, "      - ZYNQ_SPI_B3: %d\n", 1);
    kmx_logf_user(5, "      - ZYNQ_SPI_B13:%d\n", 2);
    kmx_logf_user(5, "      - ZYNQ_HUB_B3: %d\n", 3);
    kmx_logf_user(5, "      - ZYNQ_HUB_B13:%d\n", 4);
    kmx_logf_user(5, "      - SOC:         %d\n", 16);
    kmx_logf_user(5, "      miner_type is 0\n");
    kmx_logf_user(5, "      chain_num  is 8(max chain nums)\n");
    kmx_logf_user(5, "      chip_num   is 80(max chip nums)\n");
    kmx_logf_user(5, "      type_path  is /tmp/type(type file path)\n");
    kmx_logf_user(5, "      chip_num   is /tmp/chip_nums(chip nums file path)\n");
    kmx_logf_user(5, "      hwver_path is /tmp/hwver(hwver file path)\n");
    kmx_logf_user(5, "      dev_type_path is /tmp/dev_type_path(dev_type nums file path)\n");
}

// A result file is whole or absent: one that could not be written (a full
// /tmp) is removed, so that no reader takes an empty or cut value, or an
// earlier run's, for this run's result.
bool write_result(const char *path, const char *text) {
    FILE *fp = fopen(path, "w");
    if (!fp) {
        kmx_logf_user(5, "fopen %s failled.: %s\n", klog::Outside(path).c_str(), strerror(errno));
        return false;
    }
    const bool put = fputs(text, fp) >= 0 && fflush(fp) == 0;
    const int err = errno;
    if (fclose(fp) != 0 || !put) {
        kmx_logf_user(5, "write %s failled: %s\n", klog::Outside(path).c_str(), strerror(put ? errno : err));
        unlink(path);
        return false;
    }
    return true;
}

// The four result files in their order; they stop at the first that
// cannot be written.
bool write_results(char **argv, const char *hwver, const char *dev_type, const char *type, const char *count) {
    return write_result(argv[7], hwver) && write_result(argv[8], dev_type) && write_result(argv[5], type) &&
           write_result(argv[6], count);
}

// False when an end signal cut it short: the chain may be powered then.
bool cold_start(uint8_t chain) {
    if (!kos::sleep_s_unless_ended(1)) return false;
    kmx_set_start_en(chain, 0);
    kmx_set_reset(chain, 0);
    if (!kos::sleep_s_unless_ended(5)) return false;
    kmx_set_power_en(chain, 1);
    if (!kos::sleep_s_unless_ended(5)) return false;
    kmx_set_reset(chain, 1);
    if (!kos::sleep_s_unless_ended(1)) return false;
    kmx_set_start_en(chain, 1);
    return kos::sleep_s_unless_ended(1);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 9) {
        usage(argv[0]);
        return 0;
    }
    // A number that is not one ("abc" would read as 0) ends the call as
    // too few arguments do: status 0, nothing powered, no result files.
    int num[4];
    if (!tool_args::read_numbers(argv, 1, 4, num,
                                 "platform miner_type chain_num chip_num type_path chip_num_path hwver_path "
                                 "dev_type_path"))
        return 0;
    const int platform = num[0], miner_type = num[1], chain_num = num[2], chip_num = num[3];
    kmx_logf(1, "%d,%d,%d,%d,%s,%s,%s,%s.\n", platform, miner_type, chain_num, chip_num,
             klog::Outside(argv[5]).c_str(), klog::Outside(argv[6]).c_str(), klog::Outside(argv[7]).c_str(),
             klog::Outside(argv[8]).c_str());
    const auto startup_failed = [&] {
        kmx_logf_user(5, "sys_platform_init: platform[%d] miner_type[%d] chain_num[%d] chip_num[%d].\n", platform,
                 miner_type, chain_num, chip_num);
        return 0;
    };
    // TERM, INT or HUP from here on ends the probe at its next step (a cold
    // start's wait is cut short) through the platform's exit, as every other
    // end does: no chain is left powered with nobody steering the fans.
    kos::catch_end_signals();
    // A start that fails ends the probe with status 0, or by an end signal
    // that came meanwhile (as the platform's own ends during its start do).
    if (!sys_platform_init(platform, miner_type, chain_num, chip_num)) kos::terminate(startup_failed());

    bool type_known = false, count_known = false;
    int count = 0;
    uint8_t reply[4] = {};
    for (int i = 0; i < chain_num && i < 8; i++) {
        const uint8_t chain = uint8_t(i);
        kmx_set_power_en(chain, 0);
        if (kmx_get_plug(chain) == 1) {
            kmx_logf(2, "spi %d not inserted.\n", i);
            continue;
        }
        if (!cold_start(chain)) break;
        if (!kmx_set_spi_speed(chain, 0)) {
            kmx_logf(2, "spi %d speed set to SPI_SPEED_390K failled.\n", i);
            continue;
        }
        if (!type_known) {
            uint8_t in[2] = {0, 0};
            uint8_t out[4] = {};
            if (kmx_cmd_reset(chain, 0, in, out)) {
                memcpy(reply, out, sizeof reply);
                kmx_logf(2, "recv data:%02x,%02x\n", reply[0], reply[1]);
                type_known = true;
            }
            if (!type_known && count_known) continue;
        }
        if (count_known && type_known) break;
        // A failed BIST start (negative) is no chip count.
        const int n = kmx_cmd_bist_start(chain, 0);
        if (n > 0) {
            count = n;
            count_known = true;
        }
        if (count_known && type_known) break;
    }

    char hwver[128] = {};
    char dev_type[128] = {};
    if (kos::end_signal() == 0) {
        misc_system("/sbin/fw_printenv -n hwver\n", hwver, sizeof hwver);
        misc_system("/sbin/fw_printenv -n dev_type\n", dev_type, sizeof dev_type);
    }
    // A probe cut short writes no results: a reader would take its defaults
    // ("N5", "0") or a cut U-Boot value for what the boards are.
    if (kos::end_signal() != 0) {
        kmx_logf(5, "zel_chip_type: signal %d, powering the chains down before it ends\n", kos::end_signal());
    } else {
        fprintf(stderr, "%s,%d:%s,%d\n", "zel_chip_type", __LINE__, hwver, int(strlen(hwver)));
        char count_text[16];
        snprintf(count_text, sizeof count_text, "%d", count);
        write_results(argv, hwver, dev_type, type_name(reply[0]), count_text);
    }
    // The platform is released (chains powered down, fans back to full)
    // whatever the files gave: no board is left powered with nobody
    // steering its fans. A signal noted on the way then ends the probe.
    const bool released = sys_platform_exit();
    kos::release_end_signals();
    if (!released) return startup_failed();
    return 0;
}
