// The named steps of the memory bring-up: per-chip steps over the four
// channels (AB, CD, EF, GH) and the chain's cache and DAG steps.
#pragma once


int q37_ddr_vref_1(int chain, int chip);
int q37_ddr_vref_2(int chain, int chip);
int q37_ddr_init(int chain, int chip);
int q37_ddr_train_c(int chain, int chip);
int q37_ddr_train_l(int chain, int chip);
int q37_ddr_train_r(int chain, int chip);
int q37_ddr_train_w(int chain, int chip);
int q37_ddr_edcfen(int chain, int chip);
int q37_ddr_edcfex(int chain, int chip);
int q37_ddr_prepc(int chain, int seed);
int q37_ddr_prepd(int chain, int seed);
int q37_ddr_reprepc(int chain, int chip, int seed);
int q37_ddr_reprepd(int chain, int chip, int seed);

