#include "record/kmx_record.h"

#include <ctime>

#include "module/kmx_log.h"
#include "os/os.h"

namespace {
uint32_t s_start_time;
}

extern "C" uint32_t kmx_set_xg_starting_time(void) {
    s_start_time = uint32_t(kos::mono_ms() / 1000u);
    return s_start_time;
}

// The record store itself is not in place yet: nothing to load, no change
// to report, no thread to run.
extern "C" bool kmx_record_init(void) { return true; }
extern "C" bool kmx_check_fw_update(void) { return false; }
extern "C" bool kmx_create_thread_running_log(void) { return true; }

chain_para g_chains_info[8];
volatile int g_force_flush_nand;

extern "C" bool kmx_chain_overheat(int cid) {
    g_force_flush_nand = EVENTS_OVER_TEMP;
    kmx_logf(5, "evnets:%d chain_%d over temp !\n", EVENTS_OVER_TEMP, cid);
    return true;
}

extern "C" uint32_t kmx_get_time_stamp(void) { return uint32_t(time(nullptr)); }
