// What an emulated device does with a control it does not know: a key of
// the machine description or a line of a control file that names no fault
// of that device, or whose value does not read as one. The device leaves
// it out and says so, and the machine run fails: a misspelt fault would
// otherwise do nothing and the test pass for the wrong reason.
#pragma once

#include <string>

namespace sim {

// Writes "kmx-sim: refused: <what>" to standard error and appends <what> as
// a line to <sim dir>/refused, once per text and process (control files are
// read again on every command). sim/machine fails the run when that file
// holds a line.
void refuse(const std::string &what);

// Whether `s` is a whole decimal number (an optional minus sign, then
// digits) in [lo, hi]; its value into *v.
bool parse_int(const std::string &s, long long lo, long long hi, long long *v);
// Whether `s` is a whole unsigned number in C notation (decimal, 0x hex,
// 0 octal) up to `max`; its value into *v.
bool parse_uint(const std::string &s, unsigned long long max, unsigned long long *v);

}  // namespace sim
