// Frequency and voltage choice, scan points, grading and the PLL ramp.
#pragma once

// The VID row of a machine type (-1: none) and its points.
int vid_row_index(int machine_type, int mode);
int vid_point_count(int machine_type, int mode);
int vid_point(int machine_type, int mode, int index);
// The PLL-table frequency at or below `freq` (row 0 when below every row).
int pll_target_for(int machine_type, int freq);
// Frequency decoded from chip 1's configuration register, -1 when unread.
int chain_current_freq(int chain, int chip_type);
void record_grade_point(int chain, int count, int index, float rate, float freq, int vid);
// Clears the program-wide scan state (point counter, last chains, marks).
void freq_choice_reset();
