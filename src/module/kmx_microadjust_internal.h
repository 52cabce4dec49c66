/* Pieces of the micro-adjustment exposed to the tests. */
#ifndef KMX_MICROADJUST_INTERNAL_H
#define KMX_MICROADJUST_INTERNAL_H

#include "module/kmx_microadjust.h"

int microadjust_choose_level(const chip_freq_nonce_t *t, int n);

#endif
