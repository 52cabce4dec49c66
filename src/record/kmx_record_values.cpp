// The machine values a record takes: the machine part (times, fan, control
// board, firmware, supply), the chains' values as other threads leave them,
// the history temperatures kept in the key, and the getters behind them.
// Nothing here touches the flash.
#include "record/kmx_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "misc/kmx_misc.h"
#include "module/kmx_chain.h"
#include "module/kmx_fan.h"
#include "module/kmx_log.h"
#include "os/os.h"
#include "record/kmx_record_internal.h"
#include "record/kmx_record_parts_internal.h"
#include "record/kmx_record_shared_internal.h"

using namespace kmx_record;

namespace {

constexpr const char *kFwRevision = "/etc/fwrevision";
constexpr const char *kErrcode = "/tmp/errcode";
constexpr const char *kCpuSensor = "/dev/tmp_sensor";

kmx_record::ClockFn s_clock = nullptr;
const char *s_meminfo = "/proc/meminfo";
bool s_fw_read = false;

}  // namespace

namespace kmx_record {

uint64_t now_s() { return s_clock ? s_clock() : kmx_get_systime_s(); }

// One chain's values as the record takes them: all but the error code are
// written by other threads.
chain_para chain_snapshot(const chain_para &c) {
    // Field by field: a copy of the whole struct would read the shared
    // fields plainly.
    chain_para s{};
    s.error_code = c.error_code;
    memcpy(s.reserved, c.reserved, sizeof s.reserved);
    s.tmp_avg = kmx_record::shared_load(c.tmp_avg);
    s.tmp_max = kmx_record::shared_load(c.tmp_max);
    s.tmp_min = kmx_record::shared_load(c.tmp_min);
    s.freq = kmx_record::shared_load(c.freq);
    s.vol = kmx_record::shared_load(c.vol);
    s.temp_timestamp = kmx_record::shared_load(c.temp_timestamp);
    return s;
}

// Held by the supply's keep-alive while it stores its reading and by the
// record thread while it copies the machine part.
std::mutex s_supply_lock;

// The machine part of a record (kmx_check_runmode_switch writes its mode).
void put_machine(uint8_t *out) {
    std::lock_guard<std::mutex> hold(s_supply_lock);
    copy_with_shared_byte(out, g_machine_info, offsetof(machine_para, running_mode), g_machine_info.running_mode);
}

void update_chains_errno() {
    uint8_t code = 0;
    if (!kmx_get_errno(&code)) return;
    for (chain_para &c : g_chains_info) c.error_code = code;
}

// The kept value `cur` replaces: the smallest of the five (the first of
// equal ones) when `cur` beats it and the floor; -1 when none.
int history_slot(const uint8_t (&hist)[5], uint8_t cur, uint8_t floor) {
    int lo = 0;
    for (int i = 1; i < 5; i++)
        if (hist[i] < hist[lo]) lo = i;
    return cur > hist[lo] && cur > floor ? lo : -1;
}

void check_history_temp() {
    record_key_sec &key = g_record_key_info;
    for (int c = 0; c < 8; c++) {
        const chain_para ch = chain_snapshot(g_chains_info[c]);
        int i = history_slot(key.avg_temp[c], ch.tmp_avg, kAvgHistoryFloor);
        if (i >= 0) {
            key.avg_temp[c][i] = ch.tmp_avg;
            key.avg_temp_timestamp[c][i] = ch.temp_timestamp;
            set_event(EVENTS_OVER_HISTORY_TEMP);
            kmx_logf(5, "events:%d chain%d tmp_avg exceeds 5 history max_tem_avg !\n", EVENTS_OVER_HISTORY_TEMP, c);
        }
        i = history_slot(key.max_temp[c], ch.tmp_max, kMaxHistoryFloor);
        if (i >= 0) {
            key.max_temp[c][i] = ch.tmp_max;
            key.max_temp_timestamp[c][i] = ch.temp_timestamp;
            set_event(EVENTS_OVER_HISTORY_TEMP);
            kmx_logf(5, "events:%d chain%d tmp_max exceeds 5 history max_tem_max !\n", EVENTS_OVER_HISTORY_TEMP, c);
        }
    }
}

void update_machine_info() {
    g_machine_info.time_stamp = kmx_get_time_stamp();
    g_machine_info.boot_time = kmx_get_boot_time();
    g_machine_info.xg_time = kmx_get_xg_runing_time();
    g_machine_info.fan_set = uint8_t(kmx_record::shared_load(g_fan_speed_set));
    g_machine_info.cpu_temp = uint8_t(kmx_get_cpu_temp());
    g_machine_info.cpu_usage = kmx_get_cpu_usage();
    g_machine_info.mem_usage = kmx_get_mem_usage();
    g_machine_info.event_type = uint8_t(pending_event());
    if (!s_fw_read) {
        s_fw_read = true;
        kmx_get_fwversion(g_machine_info.fw_version);
    }
}

void set_clock(ClockFn fn) { s_clock = fn; }
void set_meminfo_path(const char *path) { s_meminfo = path ? path : "/proc/meminfo"; }

}  // namespace kmx_record

extern "C" void kmx_record_set_supply(uint16_t volt, uint16_t current) {
    std::lock_guard<std::mutex> hold(s_supply_lock);
    g_machine_info.volt = volt;
    g_machine_info.current = current;
}

// ---- values ------------------------------------------------------------------------

extern "C" uint32_t kmx_get_time_stamp(void) { return uint32_t(kos::wall_time().tv_sec); }

extern "C" uint32_t kmx_get_boot_time(void) {
    struct timespec ts;
    if (clock_gettime(CLOCK_BOOTTIME, &ts) != 0) {
        kmx_logf(3, "%s    %d  errno:%d\n", __func__, __LINE__, errno);
        return 0;
    }
    return uint32_t(ts.tv_sec);
}

extern "C" uint32_t kmx_get_xg_runing_time(void) { return uint32_t(now_s() - g_xg_start_time); }

extern "C" int8_t kmx_get_cpu_temp(void) {
    int fd = open(kCpuSensor, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        kmx_logf(3, "%s  %d  open %s failed !\n", __func__, __LINE__, kCpuSensor);
        return 0;
    }
    uint8_t b[4];
    const ssize_t n = read(fd, b, sizeof b);
    close(fd);
    if (n != ssize_t(sizeof b)) {
        kmx_logf(3, "%s    %d  errno:%d\n", __func__, __LINE__, errno);
        return 0;
    }
    const int32_t r = int32_t(uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24);
    const int64_t v = (-59 * int64_t(r)) / 100 + 331;
    return int8_t(uint8_t(v & 0xFF));
}

extern "C" uint8_t kmx_get_cpu_usage(void) {
    char cmd[] = " top  -n 1 | grep CPU: |awk '{print $8}' ";
    char out[64] = "";
    if (kmx_get_shell_cmd_rst(cmd, out, sizeof out) <= 0 || !out[0]) return 0;
    const int idle = std::clamp(atoi(out), 0, 100);
    return uint8_t(100 - idle);
}

extern "C" uint8_t kmx_get_mem_usage(void) {
    FILE *fp = fopen(s_meminfo, "r");
    if (!fp) {
        kmx_logf(3, "%s  %d  open %s failed !\n", __func__, __LINE__, s_meminfo);
        return 0;
    }
    char name[64], unit[64];
    unsigned long total = 0, free_kb = 0;
    const bool ok = fscanf(fp, "%63s %lu %63s\n", name, &total, unit) == 3 &&
                    fscanf(fp, "%63s %lu %63s\n", name, &free_kb, unit) == 3;
    fclose(fp);
    if (!ok || total == 0 || free_kb > total) return 0;
    return uint8_t((1.0 - double(free_kb) / double(total)) * 100.0);
}

extern "C" int32_t kmx_get_fwversion(uint8_t *version) {
    if (!version) {
        kmx_logf(3, "%s  %d  version is null !\n", __func__, __LINE__);
        return -1;
    }
    int fd = open(kFwRevision, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        kmx_logf(3, "%s  %d  open %s failed !\n", __func__, __LINE__, kFwRevision);
        return -1;
    }
    char text[50];
    const ssize_t n = read(fd, text, sizeof text);
    close(fd);
    memset(version, 0, 16);
    // The 15 characters before the last one (the newline); a shorter text
    // gives what it has.
    if (n > 1) {
        const size_t end = size_t(n) - 1;
        const size_t start = end > 15 ? end - 15 : 0;
        memcpy(version, text + start, end - start);
    }
    return 0;
}

extern "C" bool kmx_get_errno(uint8_t *errcode) {
    int fd = open(kErrcode, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        kmx_logf(3, "%s  %d  open %s failed !\n", __func__, __LINE__, kErrcode);
        return false;
    }
    char text[257];
    const ssize_t n = read(fd, text, 256);
    close(fd);
    if (n <= 0 || !errcode) {
        kmx_logf(3, "%s  %d  errcode is null !\n", __func__, __LINE__);
        return false;
    }
    text[n] = '\0';
    *errcode = uint8_t(atoi(text));
    return true;
}

extern "C" int32_t kmx_get_fsize(const char *path) {
    struct stat st;
    if (!path || stat(path, &st) != 0) return 0;
    return int32_t(st.st_size);
}

extern "C" bool kmx_get_current_pname(void) {
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    const bool is = n > 0 && (exe[n] = '\0', strstr(exe, "cgminer") != nullptr);
    kmx_logf(5, is ? "current process name is cgminer\n" : "current process name is not cgminer !\n");
    return is;
}
