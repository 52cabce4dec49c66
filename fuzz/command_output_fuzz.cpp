// Readers of command output: U-Boot variables (`fw_printenv`), the lock
// (`flagutils read`), memory (`free`), load (`top`), the process list
// (`ps`), `uptime`, `mount` and the local web login, as the library, the
// running record and the daemon's status checker read them.
//
// Input: one selector byte (the sizes of the caller's buffers), then the
// output every command prints. Every text handed back must end inside its
// buffer, the percentages must stay percentages, and the only commands run
// are the fixed ones, with U-Boot values from the fixed set.
#include <cstdint>
#include <cstring>
#include <set>
#include <string>

#include "daemon.h"
#include "fuzz_support.h"
#include "misc/kmx_board_check.h"
#include "misc/kmx_ini.h"
#include "misc/kmx_misc.h"
#include "misc/kmx_report.h"
#include "record/kmx_record.h"

namespace {

void check_commands() {
    static const std::set<std::string> fixed = {
        "/sbin/fw_printenv -n fuzz_var 2>/dev/null\n",
        "/sbin/fw_printenv -n image_flag\n",
        "/sbin/fw_printenv -n version_a\n",
        "/sbin/fw_printenv -n version_b\n",
        "/sbin/fw_printenv -n version_0\n",
        "/sbin/fw_printenv -n version_1\n",
        "/sbin/fw_printenv -n standby 2>/dev/null\n",
        "/sbin/fw_printenv -n rootfs_fail_cnt 2>/dev/null\n",
        "/sbin/fw_printenv -n image_flag 2>/dev/null\n",
        "/sbin/fw_setenv rootfs_fail_cnt 0 2>/dev/null\n",
        "/sbin/fw_setenv image_flag 0 2>/dev/null\n",
        "/sbin/fw_setenv image_flag 1 2>/dev/null\n",
        "/sbin/fw_setenv image_flag a 2>/dev/null\n",
        "/sbin/fw_setenv image_flag b 2>/dev/null\n",
        "sync;reboot -f ",
        "/sbin/flagutils read\n",
        "free -m  |  awk  'NR==2 { print $3}'\n",
        "/bin/top -bn1",
        " top  -n 1 | grep CPU: |awk '{print $8}' ",
        "ps\n",
        "/bin/uptime",
        "mount\n",
        "curl -s -d \"username=plume&password=plume\" \"127.0.0.1/api/auth\"\n",
    };
    for (const std::string &cmd : fuzz::shell().take()) {
        if (fixed.count(cmd)) continue;
        // The failure count goes back as a number.
        const std::string head = "/sbin/fw_setenv rootfs_fail_cnt ", tail = " 2>/dev/null\n";
        if (cmd.rfind(head, 0) == 0 && cmd.size() > head.size() + tail.size() &&
            cmd.compare(cmd.size() - tail.size(), tail.size(), tail) == 0) {
            const std::string n = cmd.substr(head.size(), cmd.size() - head.size() - tail.size());
            if (n.find_first_not_of("-0123456789") == std::string::npos) continue;
        }
        fuzz::fail("unexpected shell command", cmd);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::setup_machine();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 || size > 16 * 1024) return -1;
    const int small = 1 + data[0] % 64;
    fuzz::shell().answers = {{"", std::string(reinterpret_cast<const char *>(data + 1), size - 1)}};

    char buf[80];
    memset(buf, 'x', sizeof buf);
    misc_get_uboot_env("fuzz_var", buf, small);
    if (!fuzz::terminated(buf, size_t(small))) fuzz::fail("misc_get_uboot_env", "not terminated");

    unsigned char ver[80];
    memset(ver, 'x', sizeof ver);
    if (kmx_get_version_from_env(ver, small)) {
        if (!fuzz::terminated(reinterpret_cast<char *>(ver), size_t(small)) || !ver[0])
            fuzz::fail("kmx_get_version_from_env", "bad text");
    }
    kmx_get_standby_env();
    kmx_read_lock();
    kmx_check_rootfs_integrity();

    zelmon::kmx_check_free_mem(180);
    zelmon::kmx_check_process_exist("cgminer");
    zelmon::kmx_check_web_good();
    kmx_check_fs_mounted("events");

    int cpu = -1000, mem = -1000;
    if (kmx_get_cpu_mem_usage(&cpu, &mem) && (mem != -1000 && (mem < 0 || mem > 100)))
        fuzz::fail("kmx_get_cpu_mem_usage", "memory use " + std::to_string(mem) + "%");
    if (kmx_get_cpu_usage() > 100) fuzz::fail("kmx_get_cpu_usage", "over 100%");

    char up[256];
    memset(up, 'x', sizeof up);
    kmx_get_uptime(up);
    if (!fuzz::terminated(up, sizeof up)) fuzz::fail("kmx_get_uptime", "not terminated");

    char rst[80];
    memset(rst, 'x', sizeof rst);
    char cmd[] = "ps\n";
    const int got = kmx_get_shell_cmd_rst(cmd, rst, small);
    // The count is of the bytes stored, NUL bytes of the output included.
    if (got < 0 || got >= small || rst[got] != '\0' || strlen(rst) > size_t(got))
        fuzz::fail("kmx_get_shell_cmd_rst", "count");
    check_commands();
    return 0;
}
