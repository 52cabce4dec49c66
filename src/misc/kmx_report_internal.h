// The report text without the send, for the report's tests.
#pragma once

#include <string>

#include "misc/kmx_report.h"

std::string kmx_build_report(dtu_config *dtu_cfg, chain_status *chains_status, int active_pool_idx);

// The board's DNA is read once per process; tests and the fuzz target read
// it again after this.
void kmx_forget_dna();
