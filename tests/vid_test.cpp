// The voltage-ID roads as the emulated devices see them, and the VID map.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "drv/hub.h"
#include "hub/kmx_vid.h"
#include "os/devices.h"
#include "platform/kmx_platform.h"
#include "support/log_capture.h"
#include "support/sim_files.h"

namespace {

bool log_has(const std::string &part) {
    for (const auto &l : log_captured())
        if (l.text.find(part) != std::string::npos) return true;
    return false;
}

const int kCodes[] = {0x50, 0x10, 0x20};
const int kVolts[] = {1400, 1350, 1300, 1250, 1200};

class Vid : public testing::Test {
protected:
    void SetUp() override {
        log_capture_clear();
        sim_remove("uart.log");
        sim_remove("vidgen.log");
        set_psu("{}");
        g_chip_cols = 10;
    }
    void TearDown() override {
        if (g_platform == SOC) soc_hub_deinit();
        if (g_platform == ZYNQ_HUB_B13) hub_deinit();
    }
    static void hub(int vid_type) {
        g_platform = ZYNQ_HUB_B13;
        hub_init();
        g_vid_type = vid_type;
    }
    static void install(const int *tab, int len) {
        vidmap_t m{tab, len};  // a stack descriptor: the library keeps a copy
        kmx_vidmap_init(&m);
    }
};

TEST_F(Vid, UartFrameOnTheHub) {
    hub(10);
    install(kCodes, 3);
    EXPECT_TRUE(hub_set_vid(5, 1));
    EXPECT_EQ(Xil_Peripheral_In32(16), (1u << 5) | 0x10000u);
    EXPECT_EQ(sim_lines("uart.log"), std::vector<std::string>{"/dev/ttyPS1 AA 02 01 10 ED"});
    EXPECT_TRUE(hub_set_vid(0, 0));
    EXPECT_EQ(sim_lines("uart.log").back(), "/dev/ttyPS1 AA 02 01 50 AD");
}

TEST_F(Vid, UartSendsNothingForAVidOutsideTheMap) {
    hub(11);
    install(kCodes, 3);
    EXPECT_FALSE(hub_set_vid(0, 3));
    EXPECT_FALSE(hub_set_vid(0, -1));
    EXPECT_TRUE(log_has("vid out of range"));
    EXPECT_TRUE(sim_lines("uart.log").empty());
}

TEST_F(Vid, UartOnTheSocPerChainLine) {
    g_platform = SOC;
    soc_hub_init();
    g_vid_type = 13;  // waveform on the hub, UART on the SoC
    install(kCodes, 3);
    EXPECT_TRUE(soc_hub_set_vid(2, 2));
    EXPECT_EQ(sim_lines("uart.log"), std::vector<std::string>{"/dev/ttySARN2 AA 02 01 20 DD"});
    EXPECT_FALSE(soc_hub_set_vid(9, 2));
    EXPECT_TRUE(log_has("soc_hub_set_vid_uart failled ! chain_id:9;vid:2"));
}

TEST_F(Vid, HubWaveform) {
    hub(13);
    EXPECT_TRUE(hub_set_vid(3, 0x5A));
    EXPECT_EQ(Xil_Peripheral_In32(0x80), 25000u);
    EXPECT_EQ(Xil_Peripheral_In32(0x84), 0x717100FFu);
    EXPECT_EQ(Xil_Peripheral_In32(0x88), 0x17171717u);
    EXPECT_EQ(Xil_Peripheral_In32(0x8C), 0x7171u);
    EXPECT_EQ(Xil_Peripheral_In32(0x9C), 0x40050u);
    EXPECT_EQ(Xil_Peripheral_In32(0x10), 1u << 3);
    EXPECT_EQ(Xil_Peripheral_In32(0x0C), 1u);
}

TEST_F(Vid, SocWaveformStartsTheChainsChannel) {
    g_platform = SOC;
    soc_hub_init();
    g_vid_type = 15;
    Soc_Peripheral_Out32(4, 0x10);
    EXPECT_TRUE(soc_hub_set_vid(2, 0x5A));
    EXPECT_EQ(Soc_Peripheral_In32(4), 0x11u);
    EXPECT_EQ(Soc_Peripheral_In32(16), 0x1FFu);
    EXPECT_EQ(Soc_Peripheral_In32(0xC0), 25000u);
    EXPECT_EQ(Soc_Peripheral_In32(0xC4), 0x717100FFu);
    EXPECT_EQ(Soc_Peripheral_In32(0xDC), 0x40050u);
    EXPECT_EQ(Soc_Peripheral_In32(12), 1u << 2);
}

TEST_F(Vid, SupplyRoad) {
    hub(7);
    install(kVolts, 5);
    EXPECT_TRUE(hub_set_vid(1, 3));
    const auto w = sim_lines("psu.log");
    ASSERT_FALSE(w.empty());
    EXPECT_EQ(w[0], "W 00 AB 00 83 00 04 02 00 E2 04 6F CD");
}

TEST_F(Vid, VidGenerator) {
    g_platform = ZYNQ_SPI_B3;
    EXPECT_TRUE(spi_set_vid(4, 0));
    EXPECT_TRUE(sim_lines("vidgen.log").empty());
    EXPECT_TRUE(spi_set_vid(4, 0x20));
    g_platform = ZYNQ_SPI_B13;
    EXPECT_TRUE(spi_set_vid(4, 0x21));
    EXPECT_EQ(sim_lines("vidgen.log"), (std::vector<std::string>{
                                           "/dev/vidgen0.0 0x80046400 0x120",
                                           "/dev/vidgen0.0 0x80046401 0x4",
                                           "/dev/vidgen0.0 0x80046400 0x121",
                                       }));
    g_platform = ZYNQ_HUB_B3;
    EXPECT_FALSE(spi_set_vid(4, 1));
    EXPECT_TRUE(log_has("platform[3] error in set vid \n"));
}

// What reaches the board's regulator on each road: the UART frame's code
// byte, the VID of the hub's and the SoC's pulse waveform and of the VID
// generator. A frame the regulator cannot take leaves its set point.
TEST_F(Vid, EachRoadReachesTheChainsRegulator) {
    for (int slot : {0, 2, 3, 4, 5}) sim_remove("regulator" + std::to_string(slot));
    hub(10);
    install(kCodes, 3);
    EXPECT_TRUE(hub_set_vid(5, 1));
    EXPECT_EQ(sim_regulator(5), "code 16");
    EXPECT_EQ(sim_regulator(0), "");
    g_vid_type = 13;
    EXPECT_TRUE(hub_set_vid(5, 0x5A));
    EXPECT_EQ(sim_regulator(5), "vid 90");  // the waveform carries the VID itself

    // A frame with a wrong sum, or with the UART not routed to the chain.
    const auto send = [](uint32_t select, std::vector<uint8_t> frame) {
        Xil_Peripheral_Out32(16, select);
        const int fd = kos::tty_open("/dev/ttyPS1", 1);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(kos::tty_write(fd, frame.data(), frame.size()), long(frame.size()));
        kos::tty_close(fd);
    };
    send((1u << 5) | 0x10000u, {0xAA, 0x02, 0x01, 0x20, 0xDE});
    send(1u << 5, {0xAA, 0x02, 0x01, 0x20, 0xDD});
    EXPECT_EQ(sim_regulator(5), "vid 90");
    send((1u << 5) | (1u << 2) | (1u << 3) | 0x10000u, {0xAA, 0x02, 0x01, 0x20, 0xDD});
    EXPECT_EQ(sim_regulator(5), "code 32");
    EXPECT_EQ(sim_regulator(2), "code 32");
    EXPECT_EQ(sim_regulator(3), "");  // an empty slot has no regulator
    hub_deinit();

    g_platform = SOC;
    soc_hub_init();
    g_vid_type = 15;
    EXPECT_TRUE(soc_hub_set_vid(2, 0x21));
    EXPECT_EQ(sim_regulator(2), "vid 33");
    for (uint32_t w = 0; w < 8; w++) Soc_Peripheral_Out32(0x80 + 4 * w, Soc_Peripheral_In32(0xC0 + 4 * w));
    Soc_Peripheral_Out32(4, 0);  // the block off: a start sends nothing
    Soc_Peripheral_Out32(12, 1u << 0);
    EXPECT_EQ(sim_regulator(0), "");
    Soc_Peripheral_Out32(4, 1);
    Soc_Peripheral_Out32(12, 1u << 0);
    EXPECT_EQ(sim_regulator(0), "vid 33");
    soc_hub_deinit();

    g_platform = ZYNQ_SPI_B13;  // one output per chain, selected first
    sim_remove("regulator0");
    EXPECT_TRUE(spi_set_vid(0, 0x21));
    EXPECT_EQ(sim_regulator(0), "vid 33");
    EXPECT_EQ(sim_regulator(5), "code 32");
    // A set request without its bit 8 leaves the output as it was.
    EXPECT_EQ(kos::dev_ioctl("/dev/vidgen0.0", 0x80046400ul, 0x22), 0);
    EXPECT_EQ(sim_regulator(0), "vid 33");
}

TEST_F(Vid, MapLookups) {
    pMap = nullptr;
    EXPECT_EQ(kmx_i2c_get_volt_by_vid(0), -1);
    EXPECT_TRUE(log_has("vid map invalid\n"));
    EXPECT_EQ(kmx_get_vid_by_volt(100), -1);
    install(kVolts, 5);
    g_vid_type = 7;
    EXPECT_EQ(kmx_i2c_get_volt_by_vid(0), 1400);
    EXPECT_EQ(kmx_i2c_get_volt_by_vid(5), -1);
    EXPECT_EQ(kmx_get_chip_volt_by_vid(3), 1250);  // 1250 cV over 10 groups
    // Round trips: the VID found for a VID's own chip voltage is that VID.
    for (int vid = 1; vid < 5; vid++) EXPECT_EQ(kmx_get_vid_by_volt(kmx_get_chip_volt_by_vid(vid)), vid);
    EXPECT_EQ(kmx_get_vid_by_volt(5000), 0);  // above every voltage
    EXPECT_EQ(kmx_get_vid_by_volt(1), 4);     // below every voltage
    g_chip_cols = 0;
    EXPECT_EQ(kmx_get_chip_volt_by_vid(3), -1);
    g_chip_cols = 3;
    EXPECT_EQ(kmx_get_chip_volt_by_vid(3), 4167);
    const int zero[] = {1300, 0, -5};
    install(zero, 3);
    EXPECT_EQ(kmx_i2c_get_volt_by_vid(1), -1);
    EXPECT_EQ(kmx_i2c_get_volt_by_vid(2), -1);
    int big[65];
    for (int i = 0; i < 65; i++) big[i] = 1500 - i;
    install(big, 65);
    EXPECT_TRUE(log_has("vid map size is too long"));
    EXPECT_EQ(kmx_i2c_get_volt_by_vid(64), 1436);
    kmx_vidmap_init(nullptr);
    EXPECT_EQ(kmx_i2c_get_volt_by_vid(64), 1436) << "a null map leaves the installed one";
}

}  // namespace
