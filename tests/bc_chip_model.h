// A small model of the memory chips of one chain behind the board test's
// operations object (its chip-command slots): 32-bit registers reached by command 0D (read-back at
// bit 15, chip 0 = all chips), configuration registers, and hooks that let a
// test emulate status bits, training results and BIST fail bits.
#pragma once
#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "module/bc_miner.h"
#include "module/bc_platform.h"
#include "module/chip_features.h"
#include "module/test_log.h"
#include "os/os.h"

struct bc_model {
    struct op {
        char kind;  // 'W' register write, 'R' register read
        int chip;
        uint32_t addr;
        uint32_t value;
        bool operator==(const op &o) const
        {
            return kind == o.kind && chip == o.chip && addr == o.addr && value == o.value;
        }
    };
    struct line {
        int level;
        uint32_t category;
        std::string text;
    };

    int chips = 1;
    std::map<std::pair<int, uint32_t>, uint32_t> regs;
    std::map<int, std::array<uint8_t, 12>> cfg;
    std::vector<op> ops;
    std::vector<line> logs;
    std::vector<std::array<uint8_t, 12>> cfg_writes;
    std::vector<int> spi_speeds;
    std::vector<std::pair<uint8_t, uint8_t>> resets;
    int unanswered_0d = 0;  // the next so many 0D commands get no answer
    int bist_start_result = 0;  // the count after the BIST reset
    bool reset_ok = true, collect_ok = true, fix_ok = true;
    int bist_starts = 0;
    // Returns a value to override a register read (emulated status).
    std::function<std::optional<uint32_t>(int chip, uint32_t addr)> on_read;

    static uint32_t key(uint32_t addr) { return addr | 0x8000; }
    uint32_t reg(int chip, uint32_t addr) const
    {
        auto it = regs.find({chip, key(addr)});
        return it == regs.end() ? 0 : it->second;
    }
    void set(int chip, uint32_t addr, uint32_t v)
    {
        if (chip == 0)
            for (int c = 1; c <= chips; c++)
                regs[{c, key(addr)}] = v;
        else
            regs[{chip, key(addr)}] = v;
    }
    std::vector<op> writes() const
    {
        std::vector<op> w;
        for (const op &o : ops)
            if (o.kind == 'W')
                w.push_back(o);
        return w;
    }
    std::vector<op> writes_to(uint32_t addr) const
    {
        std::vector<op> w;
        for (const op &o : ops)
            if (o.kind == 'W' && o.addr == addr)
                w.push_back(o);
        return w;
    }
    bool logged(const std::string &text) const
    {
        for (const line &l : logs)
            if (l.text == text)
                return true;
        return false;
    }
    int count_logged(const std::string &text) const
    {
        int n = 0;
        for (const line &l : logs)
            n += l.text == text;
        return n;
    }
    void clear_trace()
    {
        ops.clear();
        logs.clear();
        cfg_writes.clear();
    }

    static bc_model *&current()
    {
        static bc_model *m = nullptr;
        return m;
    }

    static bool do_read_cfg(int, int chip, uint8_t *out, int len)
    {
        if (len != 12)
            return false;
        auto &c = current()->cfg[chip];
        memcpy(out, c.data(), 12);
        // The main PLL reads locked; the sensor the image selects answers:
        // 39.5 C (raw 534) or 0.749 V (raw 624).
        out[3] |= 0x02;
        const bool volt = (out[5] & 3) == 1 && (out[6] & 2);
        const int raw = volt ? 624 : 534;
        out[7] = uint8_t((out[7] & 0xFC) | raw >> 8);
        out[8] = uint8_t(raw);
        return true;
    }
    static bool do_write_cfg(int, int chip, const uint8_t *data, int len)
    {
        if (len != 12)
            return false;
        bc_model &m = *current();
        std::array<uint8_t, 12> a;
        memcpy(a.data(), data, 12);
        m.cfg_writes.push_back(a);
        if (chip == 0)
            for (int c = 1; c <= m.chips; c++)
                m.cfg[c] = a;
        else
            m.cfg[chip] = a;
        return true;
    }
    static bool do_reg0d(int, int chip, const uint8_t *d, int len, uint8_t *reply)
    {
        bc_model &m = *current();
        if (len != 12)
            return false;
        if (m.unanswered_0d > 0) {
            m.unanswered_0d--;
            return false;
        }
        const uint16_t w3 = uint16_t(d[4] << 8 | d[5]), w4 = uint16_t(d[6] << 8 | d[7]);
        const uint32_t addr = uint32_t(w3 & 0x0F) << 16 | w4;
        const uint32_t value = uint32_t(d[8]) << 24 | uint32_t(d[9]) << 16 | uint32_t(d[10]) << 8 | d[11];
        memcpy(reply, d, 12);
        if (w3 & 0x10) {
            m.ops.push_back({'W', chip, addr, value});
            m.set(chip, addr, value);
            return true;
        }
        uint32_t v = m.reg(chip == 0 ? 1 : chip, addr);
        if (m.on_read)
            if (auto o = m.on_read(chip, addr))
                v = *o;
        m.ops.push_back({'R', chip, addr, v});
        reply[8] = uint8_t(v >> 24);
        reply[9] = uint8_t(v >> 16);
        reply[10] = uint8_t(v >> 8);
        reply[11] = uint8_t(v);
        return true;
    }
    static bool do_reset(int, int chip, const uint8_t p[2], uint8_t out[4])
    {
        current()->resets.push_back({p[0], p[1]});
        if (out) {
            out[0] = 0xA4;
            out[1] = uint8_t(chip);
            out[2] = out[3] = 0;
        }
        return current()->reset_ok;
    }
    static int do_bist_start(int, int)
    {
        current()->bist_starts++;
        return current()->bist_start_result;
    }
    static bool do_collect(int, int) { return current()->collect_ok; }
    static bool do_fix(int, int) { return current()->fix_ok; }
    static int do_speed(int, int index)
    {
        current()->spi_speeds.push_back(index);
        return 1;
    }
    static void do_log(int level, uint32_t category, const char *text)
    {
        current()->logs.push_back({level, category, text});
    }

    kmx_obj_t obj{};
    bc_miner miner{};
    std::vector<bc_chain> chains = std::vector<bc_chain>(BC_MAX_CHAINS);
    kmx_obj_t *saved_obj = nullptr;
    bc_miner *saved_miner = nullptr;

    // Installs the model behind the operations object, with records for
    // `n` chips of chain 0.
    explicit bc_model(int n = 1) : chips(n)
    {
        current() = this;
        obj.cmd_read_register = do_read_cfg;
        obj.cmd_write_register = do_write_cfg;
        obj.cmd_read_write_reg0d = do_reg0d;
        obj.cmd_reset = do_reset;
        obj.cmd_bist_start = do_bist_start;
        obj.cmd_bist_collect = do_collect;
        obj.cmd_bist_fix = do_fix;
        obj.set_spi_speed = do_speed;
        saved_obj = g_kmx_obj;
        saved_miner = g_miner;
        g_kmx_obj = &obj;
        miner.chains = chains.data();
        g_miner = &miner;
        g_test_log_sink = do_log;
        bc_chain_rec(0)->chip_num = n;
        bc_chain_rec(0)->chip_type = 13;
        set_chip_feature(0, 13, 0);
        kos::set_time_scale(1e6);
    }
    ~bc_model()
    {
        g_test_log_sink = nullptr;
        g_kmx_obj = saved_obj;
        g_miner = saved_miner;
        current() = nullptr;
    }
};
