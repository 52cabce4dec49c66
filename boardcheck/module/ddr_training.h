// The five trainings of one memory channel: WCK2CK, LDFF, read, write and
// command/address. Read and write failures are summed over a chip's
// channels into the two totals below.
#pragma once
#include <cstdint>


extern unsigned g_read_train_total;
extern unsigned g_write_train_total;

int gddr_wck2ck_train(int chain, int chip, uint32_t ch);
void gddr_ldff_train(int chain, int chip, uint32_t ch);
unsigned gddr_read_train(int chain, int chip, uint32_t ch);
unsigned gddr_write_train(int chain, int chip, uint32_t ch);
void gddr_ca_train(int chain, int chip, uint32_t ch);

