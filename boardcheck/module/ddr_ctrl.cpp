#include "module/ddr_ctrl.h"

#include <functional>

#include "module/chip_features.h"
#include "module/ddr_phy.h"
#include "os/os.h"


namespace {

// The channel of one chip, so that the long register series read as lists.
struct chan {
    int chain, chip;
    uint32_t ch;
    void phy(uint32_t r, int hi, int lo, uint32_t v) const { ddr_phy_write_field(chain, chip, ch, r, hi, lo, v); }
    void lanes(uint32_t r, int hi, int lo, uint32_t v) const
    {
        ddr_phy_lanes_write_field(chain, chip, ch, r, hi, lo, v);
    }
    void cfg(uint32_t r, int hi, int lo, uint32_t v) const
    {
        ddr_ctl_cfg_write_field(chain, chip, ch, r, hi, lo, v);
    }
    void c1(uint32_t r, int hi, int lo, uint32_t v) const { ddr_ctl_write_field(chain, chip, ch, r, hi, lo, v); }
    uint32_t rd_c1(uint32_t r) const { return ddr_ctl_read_c1(chain, chip, ch, r); }
    uint32_t rd_c2(uint32_t r) const { return ddr_ctl_read_c2(chain, chip, ch, r); }
    void mr(uint16_t w) const { gddr_mode_register_write(chain, chip, ch, w); }
};

// Reads until the bit shows, sleeping between reads; no timeout report.
void wait_bit(const std::function<uint32_t()> &rd, int bit, int reads, unsigned sleep_us)
{
    for (int i = 0; i < reads; i++) {
        if (rd() >> bit & 1)
            return;
        kos::sleep_us(sleep_us);
    }
}

// The timing set into its destinations; the initialisation-only parameters
// only with `init`.
void write_timing(const chan &c, const ddr_timing &t, bool init)
{
    if (init) {
        c.cfg(1, 31, 24, t.ctl_1h);
        c.cfg(1, 7, 0, t.ctl_1l);
        c.cfg(2, 31, 24, t.ctl_2a);
        c.cfg(2, 23, 16, t.ctl_2b);
        c.cfg(2, 15, 8, t.ctl_2c);
        c.cfg(2, 7, 0, t.ctl_2d);
        c.cfg(3, 16, 8, t.ctl_3h);
        c.cfg(3, 7, 0, t.ctl_3l);
    }
    c.phy(1, 19, 16, t.phy_lat_b);
    c.phy(1, 5, 0, t.phy_lat_a);
    c.phy(1, 27, 24, t.phy_lat_d);
    c.phy(1, 9, 8, t.phy_lat_c);
    c.phy(0x2B, 11, 0, uint32_t(t.lat_l - 3));
    c.phy(0x2B, 26, 17, t.lat_h);
    c.phy(4, 30, 30, 1);
    c.phy(4, 29, 25, uint32_t((t.phy_lat_a - 1) / 2));
    c.cfg(4, 4, 0, t.ctl_4a);
    c.cfg(4, 11, 8, t.ctl_4b);
    c.cfg(4, 14, 12, t.ctl_4c);
    c.cfg(4, 18, 16, t.ctl_4d);
    c.cfg(5, 5, 0, t.ctl_5a);
    c.cfg(5, 14, 8, t.ctl_5b);
    c.cfg(4, 4, 0, t.ctl_4a);
    c.cfg(5, 20, 16, t.ctl_5c);
    c.cfg(1, 12, 8, t.ctl_1m);
    c.cfg(5, 29, 24, t.ctl_5d);
    c.cfg(6, 4, 0, t.ctl_6a);
    c.cfg(6, 7, 4, t.ctl_6a);
    c.cfg(12, 25, 16, t.lat_h);
    c.cfg(12, 11, 0, t.lat_l);
    c.cfg(6, 13, 8, t.ctl_6b);
    c.cfg(6, 21, 16, t.ctl_6c);
    c.cfg(6, 29, 24, t.ctl_6c);
    c.cfg(7, 21, 16, t.ctl_7);
    c.cfg(7, 29, 24, t.ctl_7);
    c.cfg(29, 15, 13, t.ctl_29a);
    c.cfg(29, 7, 5, t.ctl_29b);
    c.cfg(29, 29, 20, t.ctl_29c);
}

}  // namespace

void gddr_mode_register_write(int chain, int chip, uint32_t ch, uint16_t word)
{
    ddr_ctl_cfg_write_field(chain, chip, ch, 11, 15, 0, word);
    ddr_ctl_cfg_write_field(chain, chip, ch, 1, 20, 20, 1);
    ddr_ctl_cfg_write_field(chain, chip, ch, 1, 20, 20, 0);
}

void gddr_static_config(int chain, int chip, uint32_t ch)
{
    const chan c{chain, chip, ch};
    set_ddr_cfg_bits(chain, chip, ch);

    c.phy(0x2B, 13, 13, 0);
    c.phy(3, 7, 7, 0);
    c.phy(3, 25, 25, 0);
    c.cfg(13, 23, 23, 0);
    c.phy(3, 7, 7, 0);
    c.cfg(18, 9, 9, 0);
    c.phy(0, 13, 13, 0);
    c.cfg(14, 8, 8, 0);
    c.cfg(14, 11, 11, 0);
    c.cfg(12, 28, 28, 1);
    c.cfg(1, 18, 18, 1);
    c.phy(0, 17, 17, 0);

    for (uint32_t r = 0x100; r <= 0x110; r += 2)
        for (uint32_t g = 0; g < 4; g++) {
            c.phy(r + g * DDR_LANE_STRIDE, 15, 4, 1023);
            c.phy(r + g * DDR_LANE_STRIDE, 27, 16, 1023);
        }

    c.cfg(13, 6, 3, 4);
    c.cfg(17, 8, 8, 0);
    c.cfg(13, 11, 8, 4);
    c.cfg(17, 9, 9, 0);
    c.cfg(13, 2, 0, 5);
    c.cfg(15, 8, 7, 2);
    c.cfg(15, 6, 4, 3);
    c.cfg(18, 9, 9, 0);
    c.phy(3, 25, 25, 0);
    c.cfg(14, 8, 8, 0);
    c.cfg(15, 3, 0, 5);
    c.cfg(17, 4, 0, 26);
    c.cfg(17, 11, 10, 1);
    c.cfg(13, 19, 18, 3);

    c.phy(3, 3, 2, 3);
    c.phy(0x2A, 7, 6, 3);
    c.phy(4, 30, 30, 1);
    c.phy(4, 29, 25, 12);
    c.cfg(18, 11, 10, 1);
    c.phy(3, 27, 26, 1);
    c.cfg(18, 3, 0, 3);
    c.phy(3, 19, 16, 3);

    static const uint32_t dq[] = {0x532, 0x533, 0x535, 0x536};
    c.phy(0x537, 23, 20, 15);
    for (uint32_t r : dq)
        c.phy(r, 14, 10, 10);
    c.phy(0x537, 27, 24, 15);
    for (uint32_t r : dq)
        c.phy(r, 4, 0, 13);
    c.phy(0x537, 3, 2, 3);
    c.phy(0x537, 15, 14, 3);
    for (uint32_t r : {0x531u, 0x534u}) {
        c.phy(r, 4, 0, 10);
        c.phy(r, 9, 5, 10);
    }

    static const uint32_t banks[] = {0x515, 0x517, 0x525, 0x527};
    for (uint32_t r : banks)
        c.phy(r, 7, 7, 0);
    c.cfg(19, 2, 2, 1);
    c.phy(0x2A, 14, 13, 3);
    c.phy(0x53A, 5, 4, 3);

    for (uint32_t r : {0x57u, 0x59u})
        c.phy(r, 18, 16, 1);
    c.phy(0x5B, 24, 24, 1);
    c.phy(0x5B, 23, 21, 1);
    for (uint32_t r : {0xB7u, 0xB9u})
        c.phy(r, 18, 16, 1);
    c.phy(0xBB, 24, 24, 1);
    c.phy(0xBB, 23, 21, 1);
    for (uint32_t r = 0x41; r <= 0x55; r += 2)
        for (uint32_t x : {r, r + 0x60}) {
            c.phy(x, 24, 24, 1);
            c.phy(x, 23, 21, 1);
        }

    c.phy(0x528, 26, 24, 5);
    for (uint32_t r : {0x510u, 0x520u})
        c.phy(r, 10, 8, 4);
    for (uint32_t r : banks)
        c.phy(r, 6, 4, 4);
    for (uint32_t r : {0x510u, 0x520u}) {
        c.phy(r, 16, 15, 0);
        c.phy(r, 0, 0, 1);
        c.phy(r, 3, 1, 2);
    }
    for (uint32_t r : {0x516u, 0x518u, 0x526u, 0x528u})
        c.phy(r, 4, 2, 2);
    for (uint32_t r : banks) {
        c.phy(r, 16, 15, 0);
        c.phy(r + 1, 1, 1, 1);
    }

    for (uint32_t r : {0x511u, 0x512u, 0x513u, 0x514u, 0x521u, 0x522u, 0x523u})
        for (int lo : {24, 18, 12, 6, 0})
            c.phy(r, lo + 2, lo, 4);
    for (int lo : {24, 18, 12, 6})
        c.phy(0x524, lo + 2, lo, 4);
    c.phy(0x524, 2, 0, 4);

    for (uint32_t r : {0x510u, 0x515u, 0x517u, 0x520u, 0x525u, 0x527u})
        c.phy(r, 18, 17, 3);
    c.phy(0x53B, 0, 0, 1);
    c.phy(0x53B, 4, 1, 10);
    c.phy(0x507, 7, 0, 0);
    for (uint32_t r : banks) {
        c.phy(r, 7, 7, 0);
        c.phy(r, 23, 23, 1);
    }
}

void gddr_init_controller(int chain, int chip, uint32_t ch)
{
    const chan c{chain, chip, ch};
    gddr_static_config(chain, chip, ch);
    c.cfg(12, 28, 28, 0);
    c.cfg(10, 16, 16, 0);
    c.cfg(0, 20, 20, 1);
    write_timing(c, g_ddr_timing_default, true);
    c.cfg(15, 31, 16, 0x5000);
    c.c1(0, 3, 3, 0);
    wait_bit([&] { return c.rd_c1(0x1F); }, 0, 255, 1000);
    c.cfg(12, 28, 28, 0);
    for (uint32_t base : {0x100u, 0x300u})
        for (uint32_t r = base; r <= base + 0x10; r += 2) {
            c.phy(r, 27, 16, 768);
            c.phy(r + 0x100, 27, 16, 768);
            c.phy(r, 15, 4, 768);
            c.phy(r + 0x100, 15, 4, 768);
        }
}

void gddr_init_lanes(int chain, int chip, uint32_t ch)
{
    const chan c{chain, chip, ch};
    for (uint32_t base : {0x40u, 0xA0u})
        for (uint32_t r = base; r <= base + 0x14; r += 2)
            c.phy(r, 27, 4, 0x1FF1FF);
    for (uint32_t base : {0x41u, 0xA1u}) {
        for (uint32_t r = base; r <= base + 0x14; r += 2) {
            c.phy(r, 20, 16, 13);
            c.phy(r, 23, 21, 1);
        }
        for (uint32_t r = base; r <= base + 0x14; r += 2)
            c.phy(r, 24, 24, 1);
        for (uint32_t r = base; r <= base + 0x14; r += 2)
            c.phy(r, 24, 24, 0);
    }
    c.cfg(1, 16, 16, 1);
    c.cfg(0, 4, 4, 1);
    wait_bit([&] { return c.rd_c1(0x1F); }, 8, 255, 1000);
    wait_bit([&] { return c.rd_c2(0x1F); }, 8, 255, 200);
    c.cfg(1, 16, 16, 0);
    c.phy(0, 3, 3, 1);
    c.phy(3, 10, 10, 1);
    for (uint16_t w : {0x140C, 0x67B3, 0x6FB3, 0x9787, 0x9F87})
        c.mr(w);
    kos::sleep_us(100);
}

void gddr_config_timing(int chain, int chip, uint32_t ch)
{
    const chan c{chain, chip, ch};
    const ddr_timing &t = g_ddr_timing;
    c.phy(0, 7, 7, 1);
    c.phy(0, 6, 6, 1);
    for (uint16_t w : {uint16_t(0x140C), ddr_mr0(t), ddr_mr4(t), ddr_mr8(t), uint16_t(0x2400)})
        c.mr(w);
    c.cfg(29, 17, 17, 1);
    for (int i = 0; i < 15; i++) {
        uint32_t a = c.rd_c1(0x1F), b = c.rd_c2(0x1F);
        if ((a | b) >> 16 & 1)
            break;
        kos::sleep_ms(1);
    }
    c.cfg(29, 18, 18, 1);
    c.cfg(12, 28, 28, 1);
    c.phy(0x40, 30, 30, 0);
    c.phy(0xA0, 30, 30, 0);
    c.lanes(0x100, 30, 30, 0);
    c.phy(0, 0, 0, 0);
    c.c1(0, 3, 3, 1);
    write_timing(c, t, false);
}

void gddr_reset_mode_registers(int chain, int chip, uint32_t ch)
{
    const chan c{chain, chip, ch};
    const uint32_t k = ch / 0x2000;
    const uint32_t ra = 0x8C001 + 0x200 * k, rb = 0x8C101 + 0x200 * k;
    c.phy(0, 4, 4, 0);
    uint32_t first = c.rd_c1(0x1F);
    config_reg_bits(chain, chip, ra, 8, 8, 0);
    config_reg_bits(chain, chip, rb, 8, 8, 0);
    c.cfg(29, 18, 18, 0);
    c.cfg(0, 4, 4, 0);
    kos::sleep_ms(1);
    config_reg_bits(chain, chip, ra, 8, 8, 1);
    config_reg_bits(chain, chip, rb, 8, 8, 1);
    c.cfg(1, 16, 16, 0);
    c.cfg(0, 4, 4, 1);
    if (!(first >> 8 & 1))
        wait_bit([&] { return c.rd_c1(0x1F); }, 8, 15, 1000);
    wait_bit([&] { return c.rd_c2(0x1F); }, 8, 15, 1000);
    const ddr_timing &t = g_ddr_timing;
    for (uint16_t w : {ddr_mr0(t), ddr_mr4(t), ddr_mr8(t)})
        c.mr(w);
    kos::sleep_ms(1);
    c.cfg(29, 18, 18, 1);
    kos::sleep_ms(1);
    c.phy(0, 4, 4, 1);
}

void gddr_retrain_prepare(int chain, int chip, uint32_t ch)
{
    const chan c{chain, chip, ch};
    const ddr_timing &t = g_ddr_timing;
    gddr_default_read_vref(chain, chip, ch);
    c.phy(0x2B, 26, 17, t.lat_h);
    c.cfg(12, 25, 16, t.lat_h);
    c.phy(0x2B, 11, 0, uint32_t(t.lat_l - 3));
    c.cfg(12, 11, 0, t.lat_l);
    c.phy(0, 0, 0, 1);
    kos::sleep_ms(1);
    c.c1(0, 3, 3, 0);
    wait_bit([&] { return c.rd_c1(0x1F); }, 0, 15, 1000);
    c.phy(0x40, 30, 30, 1);
    c.phy(0xA0, 30, 30, 1);
    c.lanes(0x100, 30, 30, 1);
    kos::sleep_ms(1);
    c.cfg(29, 18, 18, 0);
    kos::sleep_ms(1);
}

void gddr_default_read_vref(int chain, int chip, uint32_t ch)
{
    const chan c{chain, chip, ch};
    for (uint32_t r = 0x135; r <= 0x147; r += 2)
        c.lanes(r, 1, 1, 1);
    for (uint32_t r = 0x134; r <= 0x146; r += 2)
        for (uint32_t g = 0; g < 4; g++) {
            c.phy(r + g * DDR_LANE_STRIDE, 6, 0, 56);
            c.phy(r + g * DDR_LANE_STRIDE, 14, 8, 69);
            c.phy(r + g * DDR_LANE_STRIDE, 22, 16, 62);
        }
}

void gddr_lane_vref_fields(int chain, int chip, uint32_t ch)
{
    const chan c{chain, chip, ch};
    for (int lo : {0, 6, 12, 18, 24}) {
        for (uint32_t r : {0x511u, 0x512u, 0x513u, 0x514u})
            c.phy(r, lo + 2, lo, 6);
        for (uint32_t r : {0x521u, 0x522u, 0x523u, 0x524u})
            c.phy(r, lo + 2, lo, 6);
    }
}

void gddr_edc_enable(int chain, int chip, uint32_t ch)
{
    const chan c{chain, chip, ch};
    c.lanes(0x147, 31, 24, 63);
    for (uint32_t r = 0x120; r <= 0x132; r += 2)
        c.lanes(r, 29, 29, 1);
}

void gddr_edc_exit(int chain, int chip, uint32_t ch)
{
    const chan c{chain, chip, ch};
    for (uint32_t r = 0x120; r <= 0x134; r += 2)
        c.lanes(r, 29, 29, 0);
}

