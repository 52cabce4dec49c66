// The emulated machine's description ($KMX_MACHINE, JSON), read once per
// process by the emulated devices.
//
//   { "platform": 4,
//     "boards": [ {"slot": 0, "chip_type": 0, "chips": 80, ...device keys...} ],
//     "psu": {...}, "uboot": {"name": "value"}, "files": {"/path": "text"},
//     "mtd": {"9": 10485760} }   (flash partitions beyond mtd11, by size)
//
// Each device reads its own keys from the object it is given. `kmx-sim boot`
// checks the whole description first (check_machine_desc): a key no device
// reads, or a value of the wrong kind, is refused and the machine does not
// start, so a misspelt fault never passes for one that was set. A device
// that takes a new key adds it to the tables in machine_desc.cpp.
#pragma once

#include <jansson.h>
#include <string>

namespace sim {

// The whole description (borrowed; lives for the process). Never null:
// an absent or unreadable description reads as an empty object.
json_t *machine_desc();
// The board object plugged into `slot`, or null when the slot is empty.
json_t *board_in_slot(int slot);
// Integer member of `obj` with a default.
long long desc_int(json_t *obj, const char *key, long long def);
bool desc_bool(json_t *obj, const char *key, bool def);

// Refuses (refusal.h) every key of `desc` that no device reads and every
// value of the wrong kind; true when there was none.
// check_psu_desc checks the supply's object alone (the description's "psu"
// or a test's <sim dir>/psu.json), naming `file` in its refusals.
bool check_machine_desc(json_t *desc);
bool check_psu_desc(json_t *psu, const std::string &file);

// Called once, before the first window is mapped, to register every
// emulated active device (see os/emulation.h).
void register_devices();

}  // namespace sim
