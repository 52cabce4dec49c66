// The soft BIST's job building and nonce checks.
#pragma once

#include <cstdint>

constexpr int BC_SOFT_BIST_CHIPS = 170;

// Error rate in percent of `errors` over `jobs` (0 when there are no jobs).
float soft_bist_rate(long errors, long jobs);
// Errors a chip collects for a round without a result.
int missing_result_penalty(int chip_type);
// The last nonce of a job's search range from its start.
uint32_t job_range_end(int chip_type, uint32_t start, int cores);

// One job of the chain's job length to one chip; 1 sent, 0 failed.
int build_test_job(int chain, int chip, int chip_type, uint16_t job_word, uint16_t nonce, uint16_t nonce_start);
// The 162-byte job of the wide chip types (0, 10, 14, 15).
int build_wide_job(int chain, int chip, int chip_type, uint16_t job_word, uint16_t nonce, uint16_t range);
// One job id over `rounds` rounds; errors added per chip into err[1..chips].
int run_nonce_check(int chain, int chip_type, int job_id, int chips, int rounds, int err[]);
