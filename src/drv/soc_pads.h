// Where each SoC pad lives in the GPIO block: its data word (the direction
// word follows at +4), its input word and its bit. Built at compile time
// from the block's runs of consecutive pads; shared by the pad driver and
// the emulated block.
#pragma once

#include <array>
#include <cstdint>

namespace soc_pads {

constexpr int kPadCount = 171;

struct PadLoc {
    uint16_t data_off;  // direction word: data_off + 4
    uint16_t in_off;
    uint8_t bit;
};

struct Run {
    int first, last;
    uint16_t data_off, in_off;
    uint8_t first_bit;
};

// Within a run the bit rises with the pad id.
constexpr Run kRuns[] = {
    {0, 11, 0x000, 0x0B0, 0},    {159, 162, 0x000, 0x0B0, 12}, {163, 166, 0x000, 0x0B0, 28},
    {36, 47, 0x00C, 0x0B4, 16},  {167, 170, 0x00C, 0x0B4, 12}, {144, 147, 0x018, 0x0B8, 12},
    {148, 151, 0x018, 0x0B8, 28}, {72, 83, 0x024, 0x0BC, 0},   {152, 155, 0x024, 0x0BC, 12},
    {156, 158, 0x024, 0x0BC, 28}, {108, 119, 0x100, 0x1B0, 0}, {48, 59, 0x100, 0x1B0, 16},
    {120, 131, 0x118, 0x1B8, 0}, {132, 143, 0x118, 0x1B8, 16}, {96, 107, 0x20C, 0x2B4, 0},
    {12, 23, 0x20C, 0x2B4, 16},  {24, 35, 0x218, 0x2B8, 0},    {84, 95, 0x224, 0x2BC, 0},
    {60, 71, 0x224, 0x2BC, 16},
};

constexpr std::array<PadLoc, kPadCount> build_table() {
    std::array<PadLoc, kPadCount> t{};
    for (const Run &r : kRuns)
        for (int p = r.first; p <= r.last; p++)
            t[p] = PadLoc{r.data_off, r.in_off, uint8_t(r.first_bit + (p - r.first))};
    return t;
}

constexpr std::array<PadLoc, kPadCount> kPads = build_table();

// Every pad in exactly one run, and no two pads on one bit of one word.
constexpr bool table_is_sound() {
    int covered[kPadCount] = {};
    for (const Run &r : kRuns) {
        if (r.first > r.last || r.last >= kPadCount || r.first_bit + (r.last - r.first) > 31) return false;
        for (int p = r.first; p <= r.last; p++) covered[p]++;
    }
    for (int c : covered)
        if (c != 1) return false;
    for (int a = 0; a < kPadCount; a++)
        for (int b = a + 1; b < kPadCount; b++)
            if (kPads[a].data_off == kPads[b].data_off && kPads[a].bit == kPads[b].bit) return false;
    return true;
}
static_assert(table_is_sound(), "SoC pad runs overlap or leave a pad out");

// The pads of each chain slot and of the board.
struct SlotPads {
    int power, start, reset, led, plug;
};
constexpr SlotPads kSlotPads[8] = {
    {170, 36, 37, 38, 39},     {169, 40, 41, 42, 43},     {168, 44, 45, 46, 47},     {167, 72, 73, 74, 75},
    {166, 76, 77, 78, 79},     {165, 80, 81, 82, 83},     {164, 158, 157, 156, 155}, {163, 154, 153, 152, 151},
};
constexpr int kGreenPad = 131, kRedPad = 84, kButtonPad = 69;

// The pad multiplexing: APB words, and two GPIO-block words set and
// cleared in the normal form. `apb(off, value)`, `gpio_rmw(off, set, clear)`;
// `test_variant` is the form the factory test tools use.
template <class Apb, class Rmw>
void mux_words(bool test_variant, Apb apb, Rmw gpio_rmw) {
    apb(0x124, 0);
    apb(0x170, 0);
    apb(0x174, 0);
    apb(0x130, 0xFFF);
    if (!test_variant) gpio_rmw(0x010, 0x07770000u, 0x08880000u);
    apb(0x148, 0);
    apb(0x180, test_variant ? 0x3FF : 0x200);
    apb(0x13C, 0xFFF);
    if (!test_variant) gpio_rmw(0x028, 0x00000777u, 0x00000888u);
    apb(0x17C, 0x207);
    apb(0x16C, 0xC);
    apb(0x144, 0x810);
    apb(0x154, 0xC00);
    apb(0x158, 0xC);
}

// The signal group of each of the 12 APB group words (byte offsets 0xF4 on).
constexpr uint32_t kGroupSignals[12] = {0, 19, 20, 3, 9, 23, 6, 22, 18, 8, 12, 13};
constexpr uint32_t kGroupWords = 0x0F4;

}  // namespace soc_pads
