// The core BIST of the memory board: reset for BIST, 187.5 MHz PHY clock,
// seed data, start, and per chip the pass/fail bits of the sixteen core
// blocks, which decide the blocks that may generate DAG data.
#pragma once


struct bc_chip;

int core_bist(int chain, int mask, int fix);
void core_bist_init(int chain, int chip);
int core_bist_check(int chain, int chip, bc_chip &rec);

