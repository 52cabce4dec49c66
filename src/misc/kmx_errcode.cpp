#include "misc/kmx_errcode.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "misc/kmx_misc.h"
#include "module/kmx_log.h"
#include "os/os.h"
#include "platform/kmx_platform.h"

namespace {

// Row order as the code-to-text table keeps it; unused rows read as TRAP.
const err_str_t errstr[60] = {
    {-1, "TRAP"},
    {0, "SUCC"},
    {21, "NOT_PLUGGED"}, {22, "PSU_I2C_FAIL"}, {23, "ENCORE_ALL_FAIL"}, {24, "ENCORE_FAIL"},
    {25, "SETPLL_FAIL"}, {26, "SETVOL_FAIL"}, {27, "BIST_FAIL"}, {28, "SPI_FAIL"},
    {29, "I2C_FAIL"}, {30, "CONN_FAIL"}, {31, "BAD_CHIP"}, {32, "OVERHEAT"},
    {33, "INV_TEMP"}, {34, "MISPLUGGED"}, {35, "PSU_LOW_VOLT"}, {36, "INV_CORENUM"},
    {37, "INV_VIDTYPE"},
    {40, "PSU_LOW_POWER"}, {41, "PSU_STARTUP_VOLT"}, {42, "SETPLL_PLANB_FAIL"},
    {43, "VOLT_DIFF_FAIL"}, {44, "VOLTAB_DIFF_FAIL"},
    {46, "BOARD_TEST"}, {47, "WATCHDOG"}, {48, "ERRCODE_BAD_TEMP"}, {49, "PSU_TYPE_FAIL"},
    {55, "GDDR_SPEED_LOW"}, {56, "GDDR_ASIC_MASK"}, {57, "PSU_BAD_POWER"},
    {160, "SWITCH_MODE"}, {161, "DEC_POWER"}, {162, "FREQ_ADJUST_ERR"}, {163, "PLL_REG_DIFF"},
    {164, "VOLTAB_DIFF_WARN"},
    {176, "HEX2BIN"}, {177, "BAD_REAR_CHIPS"}, {178, "INV_TUNE_PARAM"},
    {50, "ERRCODE_SPI_HUB"}, {51, "SPI_HIGHSPEED"}, {52, "CONF_PARA1"}, {53, "CONF_PARA2"},
    {54, "FWVER_CONFLICT"},
    {-1, "TRAP"}, {-1, "TRAP"}, {-1, "TRAP"}, {-1, "TRAP"}, {-1, "TRAP"}, {-1, "TRAP"}, {-1, "TRAP"},
};

std::mutex s_errcode_lock;
int s_errcode = 0;
char s_errmsg[256];
int s_err_chain[8];
char s_errm_chain[8][256];

const char *const ERRCODE_FILE = "/tmp/errcode";
const char *const ERRCHAIN_FILE = "/tmp/errchain";
const char *const ERRLOG_FILE = "/tmp/errlog";

// Messages are cut to 254 characters.
void build_msg(char (&out)[256], int code, int chain_field, bool hex, const char *chips, const char *msg) {
    char tmp[1024];
    const char *text = get_errstr(code);
    if (msg)
        snprintf(tmp, sizeof tmp, hex ? "%s.chain(%x).chip(%s).msg(%s)" : "%s.chain(%d).chip(%s).msg(%s)", text,
                 chain_field, chips, msg);
    else
        snprintf(tmp, sizeof tmp, hex ? "%s.chain(%x).chip(%s).msg()" : "%s.chain(%d).chip(%s).msg()", text,
                 chain_field, chips);
    snprintf(out, 255, "%s", tmp);
}

void set_slot(int code, int chain_id, const char *chips, const char *msg) {
    if (chain_id < 0 || chain_id > 7) return;
    s_err_chain[chain_id] = code;
    build_msg(s_errm_chain[chain_id], code, chain_id + 1, false, chips, msg);
}

void local_time_text(char (&out)[64]) {
    struct timeval tv = kos::wall_time();
    time_t secs = tv.tv_sec;
    struct tm tmv;
    localtime_r(&secs, &tmv);
    snprintf(out, sizeof out, "%d-%02d-%02d %02d:%02d:%02d", tmv.tm_year + 1900, tmv.tm_mon + 1, tmv.tm_mday,
             tmv.tm_hour, tmv.tm_min, tmv.tm_sec);
}

// Longest history line: stamp, chain field, code and a 254-character
// message fit well inside this.
constexpr long ERRLOG_TAIL = 1024;

// Chain field and code of the history's last line; false when there is none
// or it cannot be parsed (the caller then appends).
bool last_log_entry(std::string &chain_field, std::string &code_field) {
    FILE *fp = fopen(ERRLOG_FILE, "r");
    if (!fp) return false;
    char tail[ERRLOG_TAIL + 1];
    fseek(fp, 0, SEEK_END);
    long size = ftell(fp);
    long start = size > ERRLOG_TAIL ? size - ERRLOG_TAIL : 0;
    fseek(fp, start, SEEK_SET);
    size_t n = fread(tail, 1, sizeof tail - 1, fp);
    fclose(fp);
    tail[n] = '\0';
    if (n == 0) return false;
    // Drop the final newline, then find the one ending the line before.
    size_t end = n;
    if (tail[end - 1] == '\n') end--;
    size_t begin = end;
    while (begin > 0 && tail[begin - 1] != '\n') begin--;
    // No line start inside the window: the line is not one of ours.
    if (begin == 0 && start > 0) return false;
    std::string line(tail + begin, end - begin);
    size_t a = line.find('/');
    if (a == std::string::npos) return false;
    size_t b = line.find('/', a + 1);
    if (b == std::string::npos) return false;
    size_t c = line.find('/', b + 1);
    if (c == std::string::npos) return false;
    chain_field = line.substr(a + 1, b - a - 1);
    code_field = line.substr(b + 1, c - b - 1);
    return true;
}

// `whole_msg` is the whole-machine message for chain 255 lines; it is used
// when no chain is in use, so such a line records what was raised instead
// of an empty slot.
void save_log_locked(int code, int chain_id, const char *whole_msg) {
    if (!(chain_id >= 0 && chain_id <= 7) && chain_id != 255) {
        kmx_logf(5, "chain_id(%d) is invalid", chain_id);
        return;
    }
    char line[600];
    char when[64];
    local_time_text(when);
    char chain_text[16];
    const char *msg;
    if (chain_id == 255) {
        snprintf(chain_text, sizeof chain_text, "%x", 255);
        const int first = g_chain_num > 0 ? g_chain_id[0] : -1;
        if (first >= 0 && first <= 7) {
            code = s_err_chain[first];
            msg = s_errm_chain[first];
        } else {
            msg = whole_msg ? whole_msg : "";
        }
    } else {
        snprintf(chain_text, sizeof chain_text, "%d", chain_id + 1);
        code = s_err_chain[chain_id];
        msg = s_errm_chain[chain_id];
    }
    snprintf(line, sizeof line, "%s/%s/%d/%s\n", when, chain_text, code, msg);

    std::string last_chain, last_code;
    if (last_log_entry(last_chain, last_code) && last_chain == chain_text && last_code == std::to_string(code))
        return;
    FILE *fp = fopen(ERRLOG_FILE, "a+");
    if (!fp) {
        kmx_logf(5, "open miner error code log file failed!");
        return;
    }
    setvbuf(fp, nullptr, _IONBF, 0);
    fputs(line, fp);
    fflush(fp);
    fclose(fp);
}

}  // namespace

extern "C" const char *get_errstr(int code) {
    for (const err_str_t &row : errstr)
        if (row.str && row.code == code) return row.str;
    return "TRAP";
}

extern "C" void kmx_errcode_init(void) {}

extern "C" bool kmx_set_errcode(ERRCODE code, char *errmsg, bool overwrite, int chain_id, int *chip_arr,
                                int chip_arr_len) {
    std::lock_guard<std::mutex> g(s_errcode_lock);
    char chips[512] = "";
    if (chip_arr && chip_arr_len > 0) {
        size_t used = 0;
        for (int i = 0; i < chip_arr_len && used < sizeof chips - 1; i++) {
            int n = snprintf(chips + used, sizeof chips - used, i + 1 < chip_arr_len ? "%d " : "%d", chip_arr[i]);
            if (n < 0) break;
            used += size_t(n);
        }
    }
    // An id that is neither a slot nor the whole machine changes nothing;
    // the history append below refuses it with its own line.
    if (!(chain_id >= 0 && chain_id <= 7) && chain_id != 255) {
        save_log_locked(code, chain_id, nullptr);
        return true;
    }
    const bool takes = int(code) == s_errcode || overwrite || s_errcode == 0;
    if (takes) s_errcode = code;
    if (chain_id == 255) {
        char whole[256];
        build_msg(whole, code, 255, true, chips, errmsg);
        if (takes) memcpy(s_errmsg, whole, sizeof whole);
        for (int i = 0; i < g_chain_num && i < 8; i++) set_slot(code, g_chain_id[i], "", errmsg);
        save_log_locked(code, 255, whole);
    } else {
        if (takes) build_msg(s_errmsg, code, chain_id + 1, false, chips, errmsg);
        set_slot(code, chain_id, chips, errmsg);
        save_log_locked(code, chain_id, nullptr);
    }
    return true;
}

extern "C" void kmx_save_errcode_log(int code, int chain_id) {
    std::lock_guard<std::mutex> g(s_errcode_lock);
    save_log_locked(code, chain_id, chain_id == 255 && code == s_errcode ? s_errmsg : "");
}

extern "C" void kmx_save_errcode(void) {
    std::lock_guard<std::mutex> g(s_errcode_lock);
    // Other processes read these files at any time: replace them whole. The
    // first save in a process also clears what a writer killed in an earlier
    // run left beside them.
    char head[300];
    snprintf(head, sizeof head, "%d\n%s\n", s_errcode, s_errmsg);
    if (!misc_write_owned_file(ERRCODE_FILE, head)) {
        kmx_logf(5, "create miner error code file failed!: %s", strerror(errno));
        return;
    }
    kmx_logf(3, "miner error code: %d!", s_errcode);
    std::string chain_text;
    char line[300];
    for (int i = 0; i < g_chain_num && i < 8; i++) {
        int slot = g_chain_id[i];
        if (slot < 0 || slot > 7) continue;
        snprintf(line, sizeof line, "%d/%d/%s\n", slot + 1, s_err_chain[slot], s_errm_chain[slot]);
        chain_text += line;
    }
    for (int i = 0; i < g_chain_num_tar && i < 8; i++) {
        if (g_chain_plug[i] != 0) continue;
        snprintf(line, sizeof line, "%d/%d/%s\n", i + 1, s_err_chain[i], s_errm_chain[i]);
        chain_text += line;
    }
    if (!misc_write_owned_file(ERRCHAIN_FILE, chain_text)) {
        kmx_logf(5, "create chain error code file failed!: %s", strerror(errno));
        return;
    }
    if (s_errcode == 0) save_log_locked(0, 255, s_errmsg);
}
