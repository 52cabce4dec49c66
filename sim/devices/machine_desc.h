// The emulated machine's description ($KMX_MACHINE, JSON), read once per
// process by the emulated devices.
//
//   { "platform": 4,
//     "boards": [ {"slot": 0, "chip_type": 0, "chips": 80, ...device keys...} ],
//     "psu": {...}, "uboot": {"name": "value"}, "files": {"/path": "text"},
//     "mtd": {"9": 10485760} }   (flash partitions beyond mtd11, by size)
//
// Each device reads its own keys from the object it is given; unknown keys
// are ignored so that descriptions can grow with the devices.
#pragma once

#include <jansson.h>

namespace sim {

// The whole description (borrowed; lives for the process). Never null:
// an absent or unreadable description reads as an empty object.
json_t *machine_desc();
// The board object plugged into `slot`, or null when the slot is empty.
json_t *board_in_slot(int slot);
// Integer member of `obj` with a default.
long long desc_int(json_t *obj, const char *key, long long def);
bool desc_bool(json_t *obj, const char *key, bool def);

// Called once, before the first window is mapped, to register every
// emulated active device (see os/emulation.h).
void register_devices();

}  // namespace sim
