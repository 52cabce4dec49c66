/* SoC pad GPIO: the GPIO block and the APB system block, pad multiplexing,
 * and one pad set or read by id. */
#ifndef KMX_SOC_GPIO_H
#define KMX_SOC_GPIO_H

#ifdef __cplusplus
extern "C" {
#endif

#define SOC_GPIO_PHY 0x60050000u
#define SOC_GPIO_MAP_SIZE 0xFFFFu

typedef enum {
    PAD_GRP0_IDX0 = 0,
    /* PAD_GRPg_IDXi = g * 12 + i up to PAD_GRP11_IDX11 = 143 */
    PAD_GRP11_IDX11 = 143,
    PAD_ITU_A_CLK_IN = 144,
    PAD_ITU_A_VSYNC_IN = 145,
    PAD_ITU_A_HSYNC_IN = 146,
    PAD_ITU_A_DIN_0 = 147,
    PAD_ITU_A_DIN_11 = 158,
    PAD_LCD_CP = 159,
    PAD_LCD_FP = 160,
    PAD_LCD_LP = 161,
    PAD_LCD_AC = 162,
    PAD_LCD_DOUT_0 = 163,
    PAD_LCD_DOUT_7 = 170,
    GPIO_ID_MAX = 171
} GPIO_ID;

int sarn_gpio_init(void);
int sarn_apb_sys_init(void);
void group_signal_map_init(void);
int gpio_mux_init(void);
int gpio_mux_init_test(void);
void soc_exit_gpio(void);
/* type 0: data bit, type 1: direction bit (1 = output). Always -1. */
int sarn_gpio_write(int gpio_id, int value, int type);
/* The pad's input bit, or -1 for a bad id or an unmapped block. */
int sarn_gpio_read(int gpio_id);

#ifdef __cplusplus
}

namespace kos {
struct Window;
}
/* Null while unmapped: the pad functions then touch nothing. */
extern kos::Window *map_gpio_base;
extern kos::Window *map_apb_sys_base;
#endif

#endif
