// The fan loop's pieces for the library's own use and its tests.
#pragma once

#include "module/kmx_fan.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One control cycle without the sleep (the loop's body). */
void fanctrl_step(void);

#ifdef __cplusplus
}
#endif
