/* Voltage-ID links, their locks and the VID map. */
#ifndef KMX_VID_H
#define KMX_VID_H

#include <pthread.h>
#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

extern pthread_mutex_t g_i2c_lock;
extern pthread_mutex_t g_vid_lock;
extern pthread_mutex_t g_uart_lock;
extern pthread_mutex_t g_set_vid_lock;

/* tab[vid]: supply voltage (cV) on I2C machines, the code byte on UART ones. */
typedef struct {
    const int *tab;
    int tab_len;
} vidmap_t;
/* The installed map (null until installed). The table stays the caller's. */
extern vidmap_t *pMap;
/* Chip groups in series on a chain; per-chip voltage = chain voltage / it. */
extern int g_chip_cols;

void hub_vid_init(void);
void hub_vid_deinit(void);

bool hub_set_vid(uint8_t chain_id, int vid);
bool soc_hub_set_vid(uint8_t chain_id, int vid);
bool spi_set_vid(uint8_t chain_id, int vid);
int zynq_gpio_b3_vid_set(int level);
int zynq_gpio_b13_vid_set(int chain, int level);
int soc_uart_init(int fd, int speed, int flow_ctrl, int databits, int stopbits, int parity);

void kmx_vidmap_init(vidmap_t *pData);
int kmx_i2c_get_volt_by_vid(int vid);
int kmx_get_chip_volt_by_vid(int vid);
int kmx_get_vid_by_volt(int volt);


#ifdef __cplusplus
}
#endif

#endif
