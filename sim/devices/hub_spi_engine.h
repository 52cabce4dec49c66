// The emulated hub SPI engines (FPGA and SoC windows).
#pragma once

#include <cstdint>

namespace sim {
void register_hub_spi_engine();

// Time spent inside the engines' register handlers (emulated chips
// included), so benchmarks can tell the driver's own cost from the
// emulator's. Off by default; counting costs two clock reads per access.
void hub_spi_engine_count_time(bool on);
uint64_t hub_spi_engine_ns();
// Register reads and writes the engines handled while counting was on.
uint64_t hub_spi_engine_accesses();
}
