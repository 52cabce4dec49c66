// The pool addresses the daemon resolves and the report reads, with their
// lock; the daemon's resolver fills them.
#include "misc/kmx_report.h"

extern "C" {

pool_ip_status pool_ip_rst;
pthread_mutex_t g_get_pools_ip_lock = PTHREAD_MUTEX_INITIALIZER;

}  // extern "C"
