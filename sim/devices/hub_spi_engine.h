// The emulated hub SPI engines (FPGA and SoC windows).
#pragma once

namespace sim {
void register_hub_spi_engine();
}
