/* The chains' temperature summaries as other threads read them. */
#ifndef KMX_TEMPCTRL_INTERNAL_H
#define KMX_TEMPCTRL_INTERNAL_H

#include "module/kmx_tempctrl.h"

/* A consistent copy of g_chain_tmp[chain]: the summary is written whole by
   the thread that reads the sensors while the fan loop, the INI writer and
   the preheat wait read it from theirs. */
c_temp kmx_chain_tmp_snapshot(int chain);

#endif
