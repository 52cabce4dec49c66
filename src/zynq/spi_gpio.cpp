#include "zynq/spi_gpio.h"

#include "module/kmx_log.h"
#include "zynq/zynq_gpio.h"

const int pin_power_en[8] = {872, 873, 874, 875, 876, 877, 878, 879};
const int pin_start_en[8] = {854, 856, 858, 860, 862, 864, 866, 868};
const int pin_reset[8] = {855, 857, 859, 861, 863, 865, 867, 869};
const int pin_led[8] = {881, 882, 883, 884, 885, 886, 887, 888};
const int pin_plug[8] = {896, 897, 898, 899, 900, 901, 902, 903};

namespace {

bool slot_ok(uint8_t chain_id) {
    if (chain_id < 8) return true;
    kmx_logf(5, "chain %d out of range\n", chain_id);
    return false;
}

void line(const int (&pins)[8], uint8_t chain_id, int val) {
    if (slot_ok(chain_id)) zynq_gpio_write(pins[chain_id], val);
}

}  // namespace

extern "C" {

void init_spi_gpio(int chain_num) {
    // Every slot's lines, not only those of the first chain_num: the plug
    // scan reads all eight plug pins and the chains found may sit in any
    // slot, and a pin that was never exported has no value file, so its
    // first access would end the process. Fresh outputs start low: power
    // off, chain held in reset.
    (void)chain_num;
    for (int i = 0; i < 8; i++) {
        zynq_gpio_init(pin_power_en[i], 0);
        zynq_gpio_init(pin_start_en[i], 0);
        zynq_gpio_init(pin_reset[i], 0);
        zynq_gpio_init(pin_led[i], 0);
        zynq_gpio_init(pin_plug[i], 1);
    }
}

void exit_spi_gpio(int chain_num) {
    if (chain_num > 8) chain_num = 8;
    for (int i = 0; i < chain_num; i++) {
        zynq_gpio_exit(pin_power_en[i]);
        zynq_gpio_exit(pin_start_en[i]);
        zynq_gpio_exit(pin_reset[i]);
        zynq_gpio_exit(pin_led[i]);
        zynq_gpio_exit(pin_plug[i]);
    }
}

void spi_set_power_en(uint8_t chain_id, int val) { line(pin_power_en, chain_id, val); }
void spi_set_start_en(uint8_t chain_id, int val) { line(pin_start_en, chain_id, val); }
void spi_set_reset(uint8_t chain_id, int val) { line(pin_reset, chain_id, val); }
void spi_set_led(uint8_t chain_id, int val) { line(pin_led, chain_id, val); }

int spi_get_plug(uint8_t chain_id) {
    if (!slot_ok(chain_id)) return 1;
    return zynq_gpio_read(pin_plug[chain_id]);
}

}  // extern "C"
