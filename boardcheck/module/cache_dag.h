// Cache and DAG generation in the chips' memory: seeding, valid counts and
// their eight address ranges, cache generation and its check, the mapping of
// the eight DAG generator hubs onto good core blocks, start and wait.
#pragma once
#include <cstdint>


struct dag_counts {
    uint32_t valid_cache;
    uint32_t valid_dag;
    uint16_t cache_scope;
    uint16_t dag_scope;
};

constexpr uint32_t DAG_GOOD_CACHE_COUNT = 0xA3FFF;
constexpr uint32_t DAG_GOOD_DAG_COUNT = 0x147FFF5;
constexpr uint16_t DAG_GOOD_LAST_CACHE = 0xA02D;

// Candidate core blocks of each DAG hub, first choice first.
extern const uint8_t g_dag_hub_candidates[8][3];
constexpr uint32_t core_block_reg(int block, uint32_t r) { return 0x8E000 + 0x100u * uint32_t(block) + r; }

uint16_t dag_scope_of(uint16_t low, uint16_t high);

int Seed_init(int chain, int chip, int seed);
dag_counts Init_data_preparation(int chain, int chip);
int cache_init(int chain, int chip, const dag_counts &counts);
int dag_init(int chain, int chip, const dag_counts &counts, const uint8_t desc[16][5]);
int dag_map_hubs(int chain, int chip, const uint8_t desc[16][5]);
int dag_wait_done(int chain, int chip);
int chip_cache_prepare(int chain, int chip, int seed);
int chain_cache_prepare(int chain, int seed);
int chip_dag_prepare(int chain, int chip, int seed);
int chain_dag_prepare(int chain, int seed);

