// The error report of a tested chain and the result file.
#pragma once

#include "module/bc_miner.h"

#define BC_RESULT_FILE "/tmp/mtest"

void print_chain_report(int chain, int mode);
// Stores `text` under the chain's 1-based number in the result file.
void write_test_result(int chain, const char *text);
void print_grade(const bc_chain &c);
// True when a flag the report turns into an error identifier is set.
bool chain_has_failure_flag(const bc_chain &c);
// Forgets that the legend was printed (a new run).
void bc_report_reset();
