// One chip command round trip through the emulated hub engine against its
// wire time, the pauses, and CRC16_2 against a plain bitwise CRC on 4 KiB.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/resource.h>

#include "goals.h"
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
constexpr int kMinerLogLevel = 2;

bool hub_ready() {
    static const bool ok = [] {
        const char *m = getenv("KMX_MACHINE");
        if (!m || !*m) return false;
        // The mining program's log level: the driver's debug lines (level
        // 1, one per reset) stay out of the syslog as on the board.
        sys_platform_debug_init(kMinerLogLevel);
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

// Runs one command per iteration and splits its time: emu_ns is spent in
// the emulated engine's register handlers (chips included), drv_wall_ns is
// the rest of the wall time, the driver's own share with its pauses.
// wire_bits are the words the command puts on the link (frame plus reply,
// 16 bits each) and wire_ns their time at the working SPI speed (6.25 MHz,
// speed index 4); overhead_over_wire is drv_wall_ns / wire_ns (goal: at
// most 1). reg_accesses and sleeps (voluntary context switches: the
// blocking system calls) are per command.
constexpr double kWorkingSpiMHz = 6.25;

double wall_ns() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) * 1e9 + double(ts.tv_nsec);
}

long voluntary_switches() {
    struct rusage ru;
    getrusage(RUSAGE_THREAD, &ru);
    return ru.ru_nvcsw;
}

template <typename Fn>
void per_command(benchmark::State &s, int wire_words, Fn &&fn) {
    if (!hub_ready()) {
        s.SkipWithError("no emulated machine, or chain 0's first reset failed");
        return;
    }
    sim::hub_spi_engine_count_time(true);
    const uint64_t emu0 = sim::hub_spi_engine_ns();
    const uint64_t acc0 = sim::hub_spi_engine_accesses();
    const long sw0 = voluntary_switches();
    long failed = 0;
    const double w0 = wall_ns();
    for (auto _ : s) failed += fn() ? 0 : 1;
    const double wall = wall_ns() - w0;
    const long sw = voluntary_switches() - sw0;
    sim::hub_spi_engine_count_time(false);
    // A failed command is timed as a failure, not as the command.
    if (failed) {
        const std::string why = std::to_string(failed) + " of " + std::to_string(s.iterations()) + " commands failed";
        s.SkipWithError(why.c_str());
        return;
    }
    const double n = double(s.iterations());
    const double emu = double(sim::hub_spi_engine_ns() - emu0) / n;
    const double drv = wall / n - emu;
    const double bits = wire_words * 16.0;
    const double wire = bits * 1000.0 / kWorkingSpiMHz;
    s.counters["emu_ns"] = emu;
    s.counters["drv_wall_ns"] = drv;
    s.counters["wire_bits"] = bits;
    s.counters["wire_ns"] = wire;
    s.counters["overhead_over_wire"] = drv / wire;
    s.counters["reg_accesses"] = double(sim::hub_spi_engine_accesses() - acc0) / n;
    s.counters["sleeps"] = double(sw) / n;
}

void BM_HubReset(benchmark::State &s) {
    uint8_t in[2] = {0, 0}, out[4];
    per_command(s, 3 + 2, [&] { return hub_cmd_reset(0, 0, in, out); });
}
BENCHMARK(BM_HubReset);

void BM_HubReadRegister(benchmark::State &s) {
    uint8_t reg[12];
    per_command(s, 2 + 8, [&] { return hub_cmd_read_register(0, 1, reg, 12); });
}
BENCHMARK(BM_HubReadRegister);

void BM_HubWriteJob(benchmark::State &s) {
    uint8_t job[160] = {CHIP_CMD_WRITE_JOB, 1};
    per_command(s, 160 / 2 + 1, [&] { return hub_cmd_write_job(0, 1, job, 160); });
}
BENCHMARK(BM_HubWriteJob);

// The driver's share of a command at most its time on the wire.
constexpr double kMaxOverheadOverWire = 1;
const bool g_command_goals =
    bench::goal("BM_HubReset", "overhead_over_wire", bench::Bound::AtMost, kMaxOverheadOverWire) &&
    bench::goal("BM_HubReadRegister", "overhead_over_wire", bench::Bound::AtMost, kMaxOverheadOverWire) &&
    bench::goal("BM_HubWriteJob", "overhead_over_wire", bench::Bound::AtMost, kMaxOverheadOverWire);

// The wall time of the driver's pauses: 1 us (once per command between
// pop and clear) spins; 100 us sleeps. pause_over_asked is the wall time
// over the pause asked for (at the machine's time scale).
void pause(benchmark::State &s, uint64_t us) {
    const double w0 = wall_ns();
    for (auto _ : s) kos::sleep_us(us);
    const double asked = double(us) * 1000.0 / kos::time_scale();
    s.counters["pause_over_asked"] = (wall_ns() - w0) / double(s.iterations()) / asked;
}
void BM_Pause1us(benchmark::State &s) { pause(s, 1); }
void BM_Pause100us(benchmark::State &s) { pause(s, 100); }
BENCHMARK(BM_Pause1us)->UseRealTime();
BENCHMARK(BM_Pause100us)->UseRealTime();

}  // namespace
