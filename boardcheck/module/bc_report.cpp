// The per-chain error report and the result file the factory station reads.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <jansson.h>
#include <string>

#include "module/bc_miner.h"
#include "module/bc_report.h"
#include "module/bc_steps.h"
#include "module/chip_features.h"
#include "module/test_log.h"
#include "os/os.h"

namespace {

bool s_legend_done = false;

const char *const kLegend[] = {
    "E0: Cannot find chip type, means the chain broken \r\n",
    "E1: Chip good cores < 20% \r\n",
    "E2: Board total good cores < 80% \r\n",
    "E3: Chip soft bist job results are all wrong \r\n",
    "E4: Board PLL unlock first chip number \r\n",
    "E5: Chip Temperature = -9999 or 9999 \r\n",
    "E6: Chip Voltage exceed -10% ~ +10% \r\n",
    "E7: PLL Configure Error\r\n",
    "E8: Board soft bist job results total error > 10% (N5 : > 20%)\r\n",
    "E9: Board total chip num is wrong\r\n",
    "E10: Chip command return fail\r\n",
    "E11: Cannot find correct freq or voltage(after fin)\r\n",
    "E12: Chip command crc return error\r\n",
    "E13: chips voltage wrong after pll\r\n",
    "E14: Core Bist error\r\n",
    "E15: Write cache error\r\n",
    "E16: High speed DDR Training error\r\n",
    "E17: Dag Preparation timeout\r\n",
    "E18: Power Board error\r\n",
    "E19: Low speed DDR Training error\r\n",
};

// Appends to a text bounded at 255 characters; what does not fit is left out.
struct Text {
    char buf[256] = {};
    size_t len = 0;
    void add(const char *fmt, int v) {
        char piece[32];
        const int n = snprintf(piece, sizeof piece, fmt, v);
        if (n > 0 && len + size_t(n) <= 255) {
            memcpy(buf + len, piece, size_t(n));
            len += size_t(n);
            buf[len] = 0;
        }
    }
};

void set_text(Text &t, const char *s) {
    snprintf(t.buf, sizeof t.buf, "%s", s);
    t.len = strlen(t.buf);
}

int chips_of(const bc_chain &c) { return c.chip_num < 0 ? 0 : c.chip_num > BC_MAX_CHIPS ? BC_MAX_CHIPS : c.chip_num; }

// The identifier of the first flag set (-1: pass), its pre-summary lines
// and its error text.
int pick(const bc_chain &c, int mode, Text &t) {
    const int n = chips_of(c);
    const bool lenient = mode == TEST_MODE_GRADING || mode == TEST_MODE_SCAN;
    if (c.chip_type_not_found) {
        test_log(5, TL_PLAIN, "\r\nCan't find CHIP TYPE !!! \r\n");
        test_logf(5, TL_PLAIN, "\r\nChip %d return fail!!! \r\n", c.failing_chip);
        t.add("E0: %d", c.failing_chip);
        return 0;
    }
    if (c.power_board_error) return set_text(t, "E18:"), 18;
    if (c.chip_num_wrong) {
        test_log(5, TL_PLAIN, "\r\nCHIP NUM ERROR !!! \r\n");
        test_logf(5, TL_PLAIN, "\r\nError Chip num is %d!!! \r\n", machine_type_chips(c.machine_type));
        t.add("E9: %d", c.failing_chip);
        return 9;
    }
    // Replies that failed their checks were not used: every later reading
    // of the chain (and the flags it set) rests on the commands that failed.
    if (c.crc_error) return t.add("E12: %d", c.crc_error_chip), 12;
    if (c.volt_out_of_range) {
        set_text(t, "E6: ");
        // Only voltages read in this run: a chip past the end of a voltage
        // pass holds none.
        for (int i = 0; i < n; i++) {
            if (!c.chips[i].volt_read) continue;
            const float v = c.chips[i].volt;
            if (v < c.feat.min_chip_volt || v > 0.9f) test_logf(5, TL_PLAIN, "Chip%4d Volt error (%5.3f)\r\n", i + 1, double(v));
            if (v > 0.8f || v < c.feat.min_chip_volt) t.add("%3d ", i + 1);
        }
        // The chip that ended the pass early has a fault of its own.
        if (c.volt_stop_chip)
            test_logf(5, TL_PLAIN, "Chip%4d stopped the voltage check: E%d\r\n", c.volt_stop_chip, c.volt_stop_code);
        return 6;
    }
    if (c.pll_unlocked) {
        set_text(t, "E4: ");
        for (int i = 0; i < n; i++)
            if (c.chips[i].pll_lock == 0) t.add("%3d ", i + 1);
        return 4;
    }
    if (c.pll_cfg_failed) {
        test_log(5, TL_PLAIN, "\r\nPLL CFG ERROR \r\n");
        test_logf(5, TL_PLAIN, "\r\nThe last freq is %4.1fMHz \r\n", double(c.last_freq));
        t.add("E7: %d", c.failing_chip);
        return 7;
    }
    if (c.cmd_return_failed) return t.add("E10: %d", c.failing_chip), 10;
    if (c.temp_out_of_range) {
        set_text(t, "E5: ");
        for (int i = 0; i < n; i++)
            if (c.chips[i].temp == 9999.0f || c.chips[i].temp == -9999.0f) t.add("%3d ", i + 1);
        return 5;
    }
    if (c.no_freq_or_vid) {
        test_log(5, TL_PLAIN, "Can't find correct freq or voltage!!!\n");
        test_logf(5, TL_PLAIN, "Min job err rate is %7.3f\n", double(c.best_err_rate));
        return set_text(t, "E11:"), 11;
    }
    if (!lenient && c.chip_softbist_failed) {
        set_text(t, "E3: ");
        for (int i = 0; i < n; i++)
            if (c.chips[i].err_rate >= float(c.feat.chip_err_limit)) t.add("%3d ", i + 1);
        return 3;
    }
    if (!lenient && c.chip_cores_low) {
        set_text(t, "E1: ");
        // The chips the core count judged, with the counts it judged on.
        for (int i = 0; i < n; i++) {
            if (!c.chips[i].cores_low) continue;
            test_logf(5, TL_PLAIN, "Chip%4d Core error (%4d)\r\n", i + 1, c.chips[i].judged_cores);
            t.add("%3d ", i + 1);
        }
        return 1;
    }
    if (!lenient && c.board_cores_low) {
        test_logf(5, TL_PLAIN, "\r\nERROR Total good core : %d \r\n", int(c.total_good_cores));
        return set_text(t, "E2"), 2;
    }
    if (!lenient && c.board_softbist_high) return set_text(t, "E8"), 8;
    if (c.volt_group_softbist_failed) {
        set_text(t, "E13:");
        const int first = c.volt_group * 4;
        for (int i = first; i < first + 4 && i < n; i++)
            if (c.chips[i].err_rate > 50.0f) t.add("%4d\t", i + 1);
        return 13;
    }
    if (c.core_bist_failed) return t.add("E14: %d", c.failing_chip), 14;
    if (c.failed_state && !chain_has_failure_flag(c)) {
        // A step failed without naming its reason: its commands did not do
        // what the step needed.
        test_logf(5, TL_PLAIN, "\r\nState %d failed \r\n", c.failed_state);
        return t.add("E10: %d", c.failing_chip), 10;
    }
    return -1;
}

void blank_lines(int width, int count) {
    char line[32];
    snprintf(line, sizeof line, "%*s\n", width, "");
    for (int i = 0; i < count; i++) test_log(3, TL_PLAIN, line);
}

}  // namespace

bool chain_has_failure_flag(const bc_chain &c) {
    return c.chip_type_not_found || c.power_board_error || c.chip_num_wrong || c.crc_error || c.volt_out_of_range ||
           c.pll_unlocked || c.pll_cfg_failed || c.cmd_return_failed || c.temp_out_of_range || c.no_freq_or_vid ||
           c.chip_softbist_failed || c.chip_cores_low || c.board_cores_low || c.board_softbist_high ||
           c.volt_group_softbist_failed || c.core_bist_failed;
}

void write_test_result(int chain, const char *text) {
    char key[8];
    snprintf(key, sizeof key, "%d", chain + 1);
    json_error_t err;
    json_t *root = json_load_file(BC_RESULT_FILE, 0, &err);
    if (!root || !json_is_object(root)) {
        json_decref(root);
        root = json_object();
    }
    json_object_set_new(root, key, json_string(text));
    char *dump = json_dumps(root, JSON_INDENT(4));
    json_decref(root);
    if (!dump) return;
    // Written beside and renamed: a reader never sees half a file.
    kos::write_file_atomic(BC_RESULT_FILE, dump);
    free(dump);
}

void print_chain_report(int chain, int mode) {
    bc_chain *c = bc_chain_rec(chain);
    if (!c) return;
    if (!s_legend_done) {
        s_legend_done = true;
        test_log(3, TL_PLAIN, "---------- Error ID description ----------\r\n");
        for (const char *line : kLegend) test_log(3, TL_PLAIN, line);
    }
    test_logf(3, TL_PLAIN, "================ Chain%d Result ================ \r\n", chain);
    if (mode == TEST_MODE_GRADING && c->best_err_rate > float(c->feat.board_err_limit)) c->no_freq_or_vid = 1;
    Text t;
    const int id = pick(*c, mode, t);
    test_log(3, TL_PLAIN, "------------------------------------------\n");
    test_logf(3, TL_PLAIN, "         Chain%d Result Summary \n", chain);
    test_log(3, TL_PLAIN, "------------------------------------------\n");
    if (id < 0) {
        if (mode == TEST_MODE_GRADING) {
            print_grade(*c);
            return;
        }
        blank_lines(22, 2);
        test_log(3, TL_PLAIN, "     Test Passed!     \n");
        blank_lines(22, 2);
        test_log(3, TL_PLAIN, "\n");
        test_log(3, TL_PLAIN, "==========================================\n");
        write_test_result(chain, "Pass");
        return;
    }
    blank_lines(21, 2);
    test_log(3, TL_PLAIN, "     Test Failed!    \n");
    blank_lines(21, 2);
    test_log(3, TL_PLAIN, "\n\n");
    test_log(3, TL_PLAIN, "ERROR type:\n");
    test_log(3, TL_PLAIN, t.buf);
    test_log(3, TL_PLAIN, "\n==========================================\n");
    write_test_result(chain, t.buf);
}

void bc_report_reset() { s_legend_done = false; }

void print_grade(const bc_chain &c) {
    // Letters A to F, five rows each.
    static const char *const kLetters[6][5] = {
        {"  ***  ", " *   * ", " ***** ", " *   * ", " *   * "},
        {" ****  ", " *   * ", " ****  ", " *   * ", " ****  "},
        {"  **** ", " *     ", " *     ", " *     ", "  **** "},
        {" ****  ", " *   * ", " *   * ", " *   * ", " ****  "},
        {" ***** ", " *     ", " ****  ", " *     ", " ***** "},
        {" ***** ", " *     ", " ****  ", " *     ", " *     "},
    };
    const int g = c.grade > 5 ? 5 : c.grade;
    test_log(3, TL_PLAIN, " \n");
    for (const char *row : kLetters[g]) test_logf(3, TL_PLAIN, "%s\n", row);
    test_log(3, TL_PLAIN, "\n");
    test_logf(3, TL_PLAIN, "gold_freq=%6.2f   gold_vid=%d   err_rate=%7.3f%%   \n", double(c.gold_freq), c.gold_vid,
              double(c.best_err_rate));
    test_log(3, TL_PLAIN, "==========================================\n\n");
}
