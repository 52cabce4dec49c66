/* The bring-up ramps' frequencies and VIDs, and the board-map helpers;
 * not part of the mining program's interface. */
#ifndef KMX_CHAIN_VOLT_INTERNAL_H
#define KMX_CHAIN_VOLT_INTERNAL_H

/* Frequencies in MHz (f_pre 0: no first stage), VIDs. */
struct kmx_ramp_plan {
    int f_spi, f_mid, f_bist, f_pre;
    int v0, v1, v2;
};

/* For the current g_miner_subtype and g_chip_type. */
kmx_ramp_plan kmx_vid_ramp_plan(int work_vid);
kmx_ramp_plan kmx_volt_ramp_plan(void);

/* The board map installed by kmx_chain_set_board_info. */
extern int board_row;
extern int board_col;
extern int *board_map;

extern "C" {
int get_map_index(int *slot_map, int len, int slot);
int find_adjacent_slot_data(int *buf, int *temp, int slot);
int get_adjust_temp(int *buf, int len, int slot, int *adjust_map, int *temp);
}

#endif
