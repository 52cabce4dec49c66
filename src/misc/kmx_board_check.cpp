#include "misc/kmx_board_check.h"

// The machine is never in standby, the model always matches its supply and
// the root file system always passes until the U-Boot and checksum
// functions behind these checks are in place.
extern "C" bool kmx_get_standby_env(void) { return false; }
extern "C" bool kmx_check_type_and_psuver(void) { return true; }
extern "C" int kmx_check_rootfs_integrity(void) { return 0; }
extern "C" int spi_hub_register_test(int *, int) { return 0; }
