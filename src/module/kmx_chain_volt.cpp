// Voltage setting and VID search (first form: the work VID is set directly
// and the search keeps its start; completed with the voltage code).
#include "module/kmx_chain.h"

#include "module/kmx_ops.h"
#include "platform/kmx_platform.h"

int s_tune_pll;
int s_tune_vol;
int s_tune_vid;
int board_row;
int board_col;
int *board_map;

extern "C" {

bool kmx_chain_set_pll_vid(uint8_t chain_id, int work_pll, int work_vid, int, int) {
    if (chain_id < 8) s_setpll[chain_id] = work_pll;
    return kmx_set_vid(chain_id, work_vid);
}

bool kmx_chain_set_pll_volt(uint8_t chain_id, int work_pll, int work_volt, int *work_vid, int, int) {
    if (chain_id < 8) s_setpll[chain_id] = work_pll;
    *work_vid = kmx_chain_find_vid(chain_id, g_chip_num, *work_vid, work_volt);
    return *work_vid >= 0;
}

int kmx_chain_find_vid(uint8_t chain_id, int, int vid_start, double) {
    kmx_set_vid(chain_id, vid_start);
    return vid_start;
}

void kmx_chain_init_tune(int pll, int vol, int vid) {
    s_tune_pll = pll;
    s_tune_vol = vol;
    s_tune_vid = vid;
}

void kmx_chain_set_board_info(int row, int col, int *map_info) {
    board_row = row;
    board_col = col;
    board_map = map_info;
}

int kmx_chain_adjust_temp(int) { return 0; }
void kmx_chain_set_temp_map_file(int, char *) {}
void kmx_chain_get_temp_map_file(int, char *) {}

}  // extern "C"
