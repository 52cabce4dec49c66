// The per-chain test state machine.
#pragma once

// Runs one chain from state 0 to 34; `machine_type` in/out.
void run_chain_test(int chain, int *machine_type, int mode);

// When set, the failure handler sends command 04 until the button is
// pressed.
extern unsigned char g_cmd04_endless;

// The states run, in order, by the last run (for tests and the log).
int fsm_trace(const int **states);
