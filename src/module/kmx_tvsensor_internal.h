// Sensor state kept per chain for the bring-up threads.
#pragma once

// The chip whose voltage read failed last on this chain (0: the last read
// succeeded); g_err_chipnum holds the same for whichever chain read last.
int kmx_err_chip_of_chain(int chain_id);

// Switches every sensor of the chain to voltage mode; on failure logs it
// and records the chip whose command failed as the failing one (0 when a
// write to all of them was refused). A read after a failed switch would be
// temperature codes taken for voltages.
bool kmx_switch_to_volt_sensor(int chain_id);
