// Registers the emulated machine's active devices with the os layer. Each
// device adds one call here (static registration objects would be dropped by
// the linker from the static library).
#include "sim/devices/hub_spi_engine.h"
#include "sim/devices/machine_desc.h"

#include "drv/hub.h"
#include "drv/soc_gpio.h"
#include "os/ioctl_dev.h"
#include "os/os.h"
#include "os/sysfs.h"
#include "sim/devices/gpio_devices.h"
#include "sim/devices/spidev.h"

namespace sim {

kos::ActiveWindow *make_soc_gpio_block(uint32_t phys, uint32_t size);
kos::EmulatedDevice *make_zynq_pwm(const char *path);
kos::EmulatedDevice *make_soc_fan(const char *path);
kos::ActiveWindow *make_fpga_peripheral(uint32_t phys, uint32_t size);
kos::ActiveWindow *make_soc_vid_block(uint32_t phys, uint32_t size);
void register_watchdog();
void register_mem_faults();

void register_devices() {
    register_hub_spi_engine();
    kos::register_active_window(SOC_GPIO_PHY, make_soc_gpio_block);
    kos::register_active_window(HUB_PERIPHERAL_PHY, make_fpga_peripheral);
    kos::register_active_window(SOC_VID_PHY, make_soc_vid_block);
    kos::register_emulated_device("/dev/pwmgen0.0", make_zynq_pwm);
    kos::register_emulated_device("/dev/pwm_fan_devnode", make_soc_fan);
    kos::register_sysfs_hook("/sys/class/gpio/export", gpio_export_hook);
    kos::register_sysfs_hook("/sys/class/gpio/unexport", gpio_unexport_hook);
    register_spidev();
    register_watchdog();
    register_mem_faults();
}

}  // namespace sim
