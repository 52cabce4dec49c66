// Reading replies word by word on the single-board computer's link.
#pragma once

#include <cstdint>

namespace opi {

// At most `left` reads, each after a 1 us pause; a failed transfer is
// retried and counts against the budget.
struct Poll {
    uint8_t chain;
    int left;
    bool next(uint8_t word[2]);
};
int poll_budget();  // 4 x g_chip_num

// A reply that begins [b0 b1] [xx 00]; false (nothing more read) otherwise.
bool wrapped_prefix(Poll &p, uint8_t b0, uint8_t b1);
// n bytes (even) after the prefix, each word with a budget of its own.
bool read_data(uint8_t chain, uint8_t *buf, int n);

}  // namespace opi
