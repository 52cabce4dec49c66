// Direct access to the tables for the library's own refills and for tests.
#pragma once

#include "module/kmx_ops.h"

extern "C" {
/* Release the back-ends behind each table. */
void exit_kmx_cmd(void);
void exit_kmx_gpio(void);
void exit_kmx_pwm(void);
void exit_kmx_chain(void);
}

namespace kops {
KMX_CHAIN_T *chain_table();
KMX_CMD_T *cmd_table();
KMX_GPIO_T *gpio_table();
KMX_PWM_T *pwm_table();
}  // namespace kops
