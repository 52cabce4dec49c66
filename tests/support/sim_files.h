// Reading back what the emulated devices recorded, from inside a machine.
#pragma once

#include <string>
#include <vector>

// Lines of <sim dir>/NAME (psu.log, uart.log, vidgen.log, calls.log).
std::vector<std::string> sim_lines(const std::string &name);
// The set point the emulated regulator of `slot` last took: its "vid N"
// (pulse waveform, VID generator) or "code N" (UART frame) line of
// <sim dir>/regulator<slot>, "" when none reached it.
std::string sim_regulator(int slot);
// Removes <sim dir>/NAME.
void sim_remove(const std::string &name);
// Swaps the emulated supply's keys (JSON text) and returns it to its
// power-on state with an empty transaction log.
void set_psu(const std::string &json);
