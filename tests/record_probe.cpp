// Runs running-record steps inside an emulated machine, one word per step,
// and prints what each step gave:
//   init | head | pos CUR TOTAL | chain C AVG MAX MIN | append N | flush
//   | event E | fw | mode M | values | key C | ddr | nand | overheat C
//   | version TEXT | save | fault TEXT | poke OFF BYTE | pending | detect
//   | at SECONDS
// `at` sets the record clock (a restarted program's own time); `append` advances the record clock by 60 s before each record, `flush` by
// 3600 s, so the gates open without waiting.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "module/kmx_chain.h"
#include "record/kmx_record.h"
#include "record/kmx_record_internal.h"

namespace {

// `save` appends the record file to SAVED, so a test can compare what was
// waiting with what reached flash; `fault` arms an emulated flash fault;
// `poke OFF BYTE` damages the flash image directly.
const char *const SAVED = "/tmp/saved_records";
const char *const FAULTS = "/run/sim/mtd.faults";
const char *const IMAGE = "/run/sim/mtd9.img";

uint64_t s_now = 100000;
uint64_t probe_clock() { return s_now; }

}  // namespace

int main(int argc, char **argv) {
    kmx_record::set_clock(probe_clock);
    for (int i = 1; i < argc; i++) {
        const std::string w = argv[i];
        auto arg = [&]() { return i + 1 < argc ? strtol(argv[++i], nullptr, 0) : 0L; };
        if (w == "init") {
            const int ok = kmx_record_init();
            printf("init %d\n", ok);
        } else if (w == "head") {
            printf("head %u %u\n", g_record_head_info.cur_pos, g_record_head_info.total_records);
        } else if (w == "pos") {
            g_record_head_info.cur_pos = uint32_t(arg());
            g_record_head_info.total_records = uint32_t(arg());
        } else if (w == "chain") {
            const long c = arg();
            g_chains_info[c].tmp_avg = uint8_t(arg());
            g_chains_info[c].tmp_max = uint8_t(arg());
            g_chains_info[c].tmp_min = uint8_t(arg());
            g_chains_info[c].temp_timestamp = 1700000000u + uint32_t(c);
        } else if (w == "append") {
            const long n = arg();
            int ok = 0;
            for (long k = 0; k < n; k++) {
                s_now += 60;
                ok += kmx_write_record_to_ddr();
            }
            printf("append %d %u\n", ok, g_records_ddr);
        } else if (w == "flush") {
            s_now += 3600;
            const int ok = kmx_write_record_to_nand();
            printf("flush %d %u %d\n", ok, g_records_ddr, kmx_get_fsize(KMX_RECORD_DDR));
        } else if (w == "event") {
            g_force_flush_nand = int(arg());
        } else if (w == "pending") {
            printf("pending %d\n", g_force_flush_nand);
        } else if (w == "fw") {
            const int changed = kmx_check_fw_update();
            printf("fw %d %d [%s]\n", changed, g_force_flush_nand,
                   reinterpret_cast<const char *>(g_record_key_info.hw_version));
        } else if (w == "mode") {
            kmx_check_runmode_switch(uint8_t(arg()));
            printf("mode %d %u\n", g_force_flush_nand, g_machine_info.running_mode);
        } else if (w == "values") {
            printf("values cpu_temp %u cpu_usage %u\n", uint8_t(kmx_get_cpu_temp()), kmx_get_cpu_usage());
        } else if (w == "key") {
            const long c = arg();
            printf("key");
            for (int k = 0; k < 5; k++) printf(" %u", g_record_key_info.avg_temp[c][k]);
            printf(" /");
            for (int k = 0; k < 5; k++) printf(" %u", g_record_key_info.max_temp[c][k]);
            printf("\n");
        } else if (w == "ddr") {
            const int ok = kmx_write_record_to_ddr();
            printf("ddr %d %u\n", ok, g_records_ddr);
        } else if (w == "nand") {
            const int ok = kmx_write_record_to_nand();
            printf("nand %d %u\n", ok, g_records_ddr);
        } else if (w == "overheat") {
            kmx_chain_overheat(int(arg()));
        } else if (w == "version") {
            memcpy(g_record_head_info.version, argv[++i], 4);
        } else if (w == "save") {
            std::ifstream in(KMX_RECORD_DDR, std::ios::binary);
            std::ofstream(SAVED, std::ios::binary | std::ios::app) << in.rdbuf();
        } else if (w == "fault") {
            std::ofstream(FAULTS, std::ios::app) << argv[++i] << "\n";
        } else if (w == "poke") {
            const long off = arg(), val = arg();
            std::fstream img(IMAGE, std::ios::binary | std::ios::in | std::ios::out);
            img.seekp(off);
            img.put(char(val));
        } else if (w == "at") {
            s_now = uint64_t(arg());
        } else if (w == "detect") {
            g_detect_over = true;
        } else {
            fprintf(stderr, "record probe: unknown step %s\n", w.c_str());
            return 2;
        }
        fflush(stdout);
    }
    return 0;
}
