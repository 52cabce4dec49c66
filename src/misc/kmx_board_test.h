/* Self-test of the control board on its factory fixture: entered when the
 * fixture answers chain 0's get-work-mode request; each stage's result goes
 * to /tmp/boardtestlog, the verdict to the U-Boot variable board_tested. */
#ifndef KMX_BOARD_TEST_H
#define KMX_BOARD_TEST_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define BOARD_TEST_LOG "/tmp/boardtestlog"

#define BT_GET_WORK_MODE_LINK 0x5AA50000u
#define BT_GET_WORK_MODE_SPI 0x5AA50300u
#define BT_NETWORK_INTERFACE 0x5AA50001u
#define BT_SPI_HUB 0x5AA50003u
#define BT_WRITE_JOB 0x5AA50007u
#define BT_SPI_PLUG 0x5AA50010u
#define BT_SPI_PLUSE 0x5AA50030u
#define BT_SPI_PROTOCOL 0x5AA50070u
#define BT_I2C_POWER 0x5AA50100u
#define BT_PWM 0x5AA51000u
#define BT_PASS 0x5AA5A55Au

#define BT_JOB_LEN 160

/* The Zynq sequence's supply stage runs while this is true (true at load). */
extern bool I2C_PSU_check;

/* Returns only when the board is not to be tested; test mode never returns. */
int board_detection_prepare(int platform, int chip_type, int chain_num, int chip_num);
void board_detection_exit(int platform);
/* Appends one record; msg may be null, code 0 writes no ERRCODE line. */
void board_test_log(const char *item, int flag, const char *msg, uint32_t code);
void *thread_feed_watchdog(void *arg);
int kmx_get_work_mode(void);

void kmx_start_test_work_soc(void);
void kmx_start_test_work_zynq(void);
int write_job_test(void);
/* job: BT_JOB_LEN bytes; its CRC bytes 158-159 are filled in. */
bool hub_cmd_write_job_for_test(uint8_t chain_id, uint8_t *job);
int network_interface_test(void);
int PWM_test(void);
int I2C_power_test(void);
void set_board_LED_on(int on);

#ifdef __cplusplus
}

namespace board_test {
/* The three test vectors (CRC bytes left 0). */
const uint8_t *job_vector(int which); /* 0 all 0, 1 all F, 2 random */
/* Called instead of the endless final loops when set (tests, probes);
 * pass is true after the whole test passed. */
using EndHook = void (*)(bool pass);
void set_end_hook(EndHook hook);
}  // namespace board_test
#endif

#endif
