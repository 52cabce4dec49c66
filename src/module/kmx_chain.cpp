#include "module/kmx_chain.h"
#include "module/kmx_chain_internal.h"

volatile bool s_detect_done[8];
bool g_detect_over = false;
volatile bool g_poweron_flag = false;
int s_chain_pwon_mode[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
volatile int g_vsync_total_chains;
int s_vin_sync_flag0;
int s_vin_sync_flag1;
int s_vin_sync_flag2;
int s_vin_sync_flag3;
int s_vin_sync_flag4;
int s_vin_sync_flag5;
int s_vin_sync_flag6;
int s_vin_sync_flag7;
int s_vin_sync_flag8;
int s_vin_sync_flag9;
volatile int s_work_vid;
int g_retry_cnt;
int s_workpll[8];
