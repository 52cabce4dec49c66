#include "drv/hub_internal.h"

#include <fcntl.h>
#include <unistd.h>

#include "module/kmx_log.h"
#include "os/os.h"
#include "platform/kmx_platform.h"

namespace {

struct HubDev {
    kos::SharedWindow win;
    uint32_t phys;
    uint32_t size;
    const char *name;
};

HubDev s_fpga_dev[3] = {
    {{}, HUB_SPI_PHY, HUB_SPI_SIZE, "spi"},
    {{}, HUB_PERIPHERAL_PHY, HUB_PERIPHERAL_SIZE, "peripheral"},
    {{}, HUB_ZYNQ_PHY, HUB_ZYNQ_SIZE, "zynq"},
};

HubDev s_soc_dev[3] = {
    {{}, SOC_SPI_PHY, SOC_WIN_SIZE, "spi"},
    {{}, SOC_VID_PHY, SOC_WIN_SIZE, "vid_vid"},
    {{}, SOC_APBSYS_PHY, SOC_WIN_SIZE, "apb_sys"},
};

void map_all(HubDev (&devs)[3]) {
    kmx_logf(2, "max range: 0x%x.\n", unsigned(sysconf(_SC_PAGESIZE) * 2));
    kmx_logf(2, "total: %d dev will mmap.\n", 3);
    int fd = kos::mem_open(O_SYNC);
    if (fd < 0) {
        kmx_logf(5, "open /dev/mem:");
        kos::terminate(0);
    }
    for (HubDev &d : devs) {
        kos::Window *w = kos::window_map(fd, d.name, d.phys, d.size);
        if (!w) {
            kmx_logf(5, "mmap %s:phy:0x%08x => vir:%p size:0x%x fail.\n", d.name, d.phys, (void *)-1, d.size);
            kos::mem_close(fd);
            kos::terminate(0);
        }
        // A second start maps afresh; the earlier window goes once no
        // access holds it.
        if (kos::Window *old = d.win.replace(w)) kos::window_unmap(old);
        kmx_logf(2, "mmap %s:phy:0x%08x => vir:%p size:0x%x ok.\n", d.name, d.phys, kos::window_base(w), d.size);
    }
    kmx_logf(2, "total: %d dev mmap done.\n", 3);
    kos::mem_close(fd);
}

void unmap_all(HubDev (&devs)[3]) {
    for (HubDev &d : devs) {
        // Accessors see "unmapped" and the running ones are out before the
        // memory goes.
        kos::Window *w = d.win.retire();
        if (!w) continue;
        kmx_logf(2, "unmap %s:vir:%p.\n", d.name, kos::window_base(w));
        kos::window_unmap(w);
    }
}

HubDev &spi_dev() {
    switch (g_platform) {
    case ZYNQ_SPI_B3:
    case ZYNQ_SPI_B13:
    case ZYNQ_HUB_B3:
    case ZYNQ_HUB_B13:
        return s_fpga_dev[0];
    case SOC:
        return s_soc_dev[0];
    default:
        kmx_logf(5, "the platform is undefined !!! \n");
        kos::terminate(0);
    }
}

HubDev &peripheral_dev() {
    switch (g_platform) {
    case ZYNQ_SPI_B3:
    case ZYNQ_SPI_B13:
    case ZYNQ_HUB_B3:
    case ZYNQ_HUB_B13:
        return s_fpga_dev[1];
    case SOC:
        return s_soc_dev[1];
    default:
        kmx_logf(5, "the platform is undefined !!! \n");
        kos::terminate(0);
    }
}

}  // namespace

extern "C" {

void hub_init(void) { map_all(s_fpga_dev); }
void hub_deinit(void) { unmap_all(s_fpga_dev); }
void soc_hub_init(void) { map_all(s_soc_dev); }
void soc_hub_deinit(void) { unmap_all(s_soc_dev); }
int hub_windows_mapped(int soc) { return (soc ? s_soc_dev : s_fpga_dev)[0].win.current() != nullptr; }

void Xil_SPI_Out32(uint32_t offset, uint32_t value) {
    HubDev &d = spi_dev();
    d.win.write32(offset & (d.size - 1), value);
}

uint32_t Xil_SPI_In32(uint32_t offset) {
    HubDev &d = spi_dev();
    return d.win.read32(offset & (d.size - 1));
}

void Xil_Peripheral_Out32(uint32_t offset, uint32_t value) {
    HubDev &d = peripheral_dev();
    d.win.write32(offset & (d.size - 1), value);
}

uint32_t Xil_Peripheral_In32(uint32_t offset) {
    HubDev &d = peripheral_dev();
    return d.win.read32(offset & (d.size - 1));
}

void Xil_Zynq_Out32(uint32_t offset, uint32_t value) {
    s_fpga_dev[2].win.write32(offset & (HUB_ZYNQ_SIZE - 1), value);
}

uint32_t Xil_Zynq_In32(uint32_t offset) { return s_fpga_dev[2].win.read32(offset & (HUB_ZYNQ_SIZE - 1)); }

void Soc_Peripheral_Out32(uint32_t offset, uint32_t value) {
    s_soc_dev[1].win.write32(offset & (SOC_WIN_SIZE - 1), value);
}

uint32_t Soc_Peripheral_In32(uint32_t offset) { return s_soc_dev[1].win.read32(offset & (SOC_WIN_SIZE - 1)); }

void Soc_Apbsys_Out32(uint32_t offset, uint32_t value) {
    s_soc_dev[2].win.write32(offset & (SOC_WIN_SIZE - 1), value);
}

uint32_t Soc_Apbsys_In32(uint32_t offset) { return s_soc_dev[2].win.read32(offset & (SOC_WIN_SIZE - 1)); }

// I2C controller reset after a failed supply transfer. The direct-SPI
// boards map no processor-system window: there is nothing to pulse.
void hub_i2c_reset(int i2c_id) {
    if (g_platform == SOC) {
        (void)Soc_Apbsys_In32(0x18);
        if (i2c_id == 0 || i2c_id == 1) {
            kmx_logf(5, "soc i2c reset is not by xg");
            kos::sleep_s(1);
        }
        kmx_logf(3, "[%s] i2c hw reset done", "soc_hub_i2c_reset");
        return;
    }
    if (!s_fpga_dev[2].win.current()) {
        kmx_logf(5, "i2c hw reset skipped: zynq window not mapped");
        return;
    }
    Xil_Zynq_Out32(0x224, 1);
    kos::sleep_s(1);
    Xil_Zynq_Out32(0x224, 0);
    kos::sleep_s(1);
    kmx_logf(3, "i2c hw reset done");
}

}  // extern "C"
