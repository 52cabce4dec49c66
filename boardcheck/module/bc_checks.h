// The chain checks' decisions, kept apart from the chip traffic so that their
// limits can be exercised directly.
#pragma once

// Temperature verdict of one chip (degrees as converted): the value stored
// for the chip, 9999 above the upper limit, -9999 below the lower one.
constexpr float BC_TEMP_MAX = 120.0f;
constexpr float BC_TEMP_MIN = -40.0f;
constexpr float BC_VOLT_MAX = 0.9f;
float temp_verdict(float degrees);

// True for the chip types with a minimum chip voltage, whose chips are held
// to [minimum, 0.9 V].
bool has_volt_limits(int chip_type);
bool volt_out_of_limits(int chip_type, float volts, float min_volts);

// Chip types whose jobs are the 162-byte wide job (no per-chip core flags).
bool is_wide_type(int chip_type);

// Hash rate of a scan point in TH/s (0 for the types without a rule).
float scan_hash_rate(int chip_type, int chips, int freq, int cores, float job_err_rate);
