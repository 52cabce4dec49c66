// Sensor state kept per chain for the bring-up threads.
#pragma once

// The chip whose voltage read failed last on this chain (0: the last read
// succeeded); g_err_chipnum holds the same for whichever chain read last.
int kmx_err_chip_of_chain(int chain_id);
