// One chip command round trip through the emulated hub engine, and CRC16_2
// against a plain bitwise CRC on 4 KiB.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>

#include "drv/hub.h"
#include "drv/hub_cmd.h"
#include "drv/hub_gpio.h"
#include "drv/hub_spi.h"
#include "drv/kmx_chip_frame.h"
#include "sim/devices/chip.h"
#include "platform/kmx_platform.h"

namespace {

// The emulated chips' plain bitwise CRC-16/MODBUS as the reference.
uint16_t bitwise(const uint8_t *p, int n) { return sim::chip_crc16(p, size_t(n)); }

uint8_t g_buf[4096];

void BM_CRC16_2_4KiB(benchmark::State &s) {
    for (auto _ : s) benchmark::DoNotOptimize(CRC16_2(g_buf, sizeof g_buf));
    s.SetBytesProcessed(int64_t(s.iterations()) * int64_t(sizeof g_buf));
}
BENCHMARK(BM_CRC16_2_4KiB);

void BM_CRC16_bitwise_4KiB(benchmark::State &s) {
    for (auto _ : s) benchmark::DoNotOptimize(bitwise(g_buf, sizeof g_buf));
    s.SetBytesProcessed(int64_t(s.iterations()) * int64_t(sizeof g_buf));
}
BENCHMARK(BM_CRC16_bitwise_4KiB);

// Needs an emulated machine (KMX_MACHINE with a board in slot 0); skipped
// otherwise.
bool hub_ready() {
    static const bool ok = [] {
        const char *m = getenv("KMX_MACHINE");
        if (!m || !*m) return false;
        g_platform = ZYNQ_HUB_B13;
        hub_init();
        hub_set_power_en(0, 1);
        hub_set_reset(0, 1);
        hub_spi_init(0, 80);
        uint8_t in[2] = {0, 0}, out[4];
        return hub_cmd_reset(0, 0, in, out);
    }();
    return ok;
}

void BM_HubReadRegister(benchmark::State &s) {
    if (!hub_ready()) {
        s.SkipWithError("no emulated machine");
        return;
    }
    uint8_t reg[12];
    for (auto _ : s) benchmark::DoNotOptimize(hub_cmd_read_register(0, 1, reg, 12));
}
BENCHMARK(BM_HubReadRegister);

void BM_HubWriteJob(benchmark::State &s) {
    if (!hub_ready()) {
        s.SkipWithError("no emulated machine");
        return;
    }
    uint8_t job[160] = {CHIP_CMD_WRITE_JOB, 2};
    uint8_t res[10];
    for (auto _ : s) {
        hub_cmd_write_job(0, 2, job, 160);
        benchmark::DoNotOptimize(hub_cmd_read_result(0, 2, res, 8));
    }
}
BENCHMARK(BM_HubWriteJob);

}  // namespace
