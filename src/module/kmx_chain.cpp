#include "module/kmx_chain.h"

volatile bool g_poweron_flag = false;
