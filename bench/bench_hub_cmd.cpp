// One chip command round trip through the emulated hub engine, and CRC16_2
// against a plain bitwise CRC on 4 KiB.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "drv/hub.h"
#include "drv/hub_cmd.h"
#include "drv/hub_gpio.h"
#include "drv/hub_spi.h"
#include "drv/kmx_chip_frame.h"
#include "os/os.h"
#include "sim/devices/chip.h"
#include "sim/devices/hub_spi_engine.h"
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

// Needs an emulated machine (KMX_MACHINE with a board in slot 0, e.g.
// sim/machine --desc bench/hub_machine.json -- build/bin/kmx_bench); skipped
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

double thread_cpu_ns() {
    struct timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e9 + double(ts.tv_nsec);
}

// Runs one command per iteration and splits its CPU time: emu_ns is spent
// in the emulated engine's register handlers (chips included), lib_ns is
// the rest, the driver's own share (the kernel's cost of its pauses
// included; BM_Pause1us gives that cost alone). wire_bits are the words the command puts on
// the link (frame plus reply, 16 bits each); max_MHz is the highest SPI clock
// at which the driver's share stays under 5 % of the wire time.
template <typename Fn>
void per_command(benchmark::State &s, int wire_words, Fn &&fn) {
    if (!hub_ready()) {
        s.SkipWithError("no emulated machine");
        return;
    }
    sim::hub_spi_engine_count_time(true);
    const uint64_t emu0 = sim::hub_spi_engine_ns();
    const double t0 = thread_cpu_ns();
    for (auto _ : s) fn();
    const double total = thread_cpu_ns() - t0;
    sim::hub_spi_engine_count_time(false);
    const double n = double(s.iterations());
    const double emu = double(sim::hub_spi_engine_ns() - emu0) / n;
    const double lib = total / n - emu;
    const double bits = wire_words * 16.0;
    s.counters["emu_ns"] = emu;
    s.counters["lib_ns"] = lib;
    s.counters["wire_bits"] = bits;
    s.counters["max_MHz"] = lib > 0 ? bits * 1000.0 / (20.0 * lib) : 0;
}

void BM_HubReset(benchmark::State &s) {
    uint8_t in[2] = {0, 0}, out[4];
    per_command(s, 3 + 2, [&] { benchmark::DoNotOptimize(hub_cmd_reset(0, 0, in, out)); });
}
BENCHMARK(BM_HubReset);

void BM_HubReadRegister(benchmark::State &s) {
    uint8_t reg[12];
    per_command(s, 2 + 8, [&] { benchmark::DoNotOptimize(hub_cmd_read_register(0, 1, reg, 12)); });
}
BENCHMARK(BM_HubReadRegister);

void BM_HubWriteJob(benchmark::State &s) {
    uint8_t job[160] = {CHIP_CMD_WRITE_JOB, 1};
    per_command(s, 160 / 2 + 1, [&] { benchmark::DoNotOptimize(hub_cmd_write_job(0, 1, job, 160)); });
}
BENCHMARK(BM_HubWriteJob);

// The CPU cost of one 1 us pause (the driver pauses once per command
// between pop and clear).
void BM_Pause1us(benchmark::State &s) {
    for (auto _ : s) kos::sleep_us(1);
}
BENCHMARK(BM_Pause1us);

}  // namespace
