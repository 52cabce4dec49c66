#include "sim/devices/machine_desc.h"

#include <cstdlib>
#include <map>
#include <mutex>
#include <string>

#include "sim/devices/refusal.h"

namespace sim {

json_t *machine_desc() {
    static json_t *desc = [] {
        const char *path = getenv("KMX_MACHINE");
        json_t *d = nullptr;
        if (path && *path) d = json_load_file(path, 0, nullptr);
        if (!json_is_object(d)) {
            json_decref(d);
            d = json_object();
        }
        return d;
    }();
    return desc;
}

json_t *board_in_slot(int slot) {
    size_t i;
    json_t *b;
    json_array_foreach(json_object_get(machine_desc(), "boards"), i, b) {
        if (json_integer_value(json_object_get(b, "slot")) == slot) return b;
    }
    return nullptr;
}

long long desc_int(json_t *obj, const char *key, long long def) {
    json_t *v = obj ? json_object_get(obj, key) : nullptr;
    return json_is_integer(v) ? json_integer_value(v) : def;
}

bool desc_bool(json_t *obj, const char *key, bool def) {
    json_t *v = obj ? json_object_get(obj, key) : nullptr;
    return json_is_boolean(v) ? json_is_true(v) : def;
}

namespace {

// The kind of value a key takes.
enum class Kind {
    Int,      // a JSON integer
    Bool,     // true or false
    Text,     // a string
    Texts,    // an array of strings
    Ints,     // an array of integers
    Boards,   // an array of board objects
    Object,   // an object checked by its own table
    TextMap,  // an object of strings (U-Boot variables, files)
    IntMap,   // an object of integers (flash partitions by number)
};

struct Key {
    const char *name;
    Kind kind;
};

// Top level.
const Key kMachineKeys[] = {
    {"platform", Kind::Int},  {"boards", Kind::Boards},       {"psu", Kind::Object},     {"uboot", Kind::TextMap},
    {"files", Kind::TextMap}, {"mtd", Kind::IntMap},          {"straps", Kind::Object},  {"button_pressed", Kind::Bool},
    {"watchdog", Kind::Object}, {"uart", Kind::Object},       {"vidgen", Kind::Object},  {"hub_stuck", Kind::Texts},
    {"spi_faults", Kind::Texts}, {"mem_faults", Kind::Object},
    {"sizes", Kind::TextMap},  // the machine's own file systems' sizes, read by sim/machine
};
// A board in a slot (chip.h, hub_spi_engine.cpp, spidev.h, fpga_periph.cpp, psu.cpp).
const Key kBoardKeys[] = {
    {"slot", Kind::Int},           {"chips", Kind::Int},          {"chip_type", Kind::Int},
    {"chip_model", Kind::Int},     {"dead", Kind::Bool},          {"silent_chip", Kind::Int},
    {"crc_error", Kind::Bool},     {"temp_raw", Kind::Int},       {"temp_never_completes", Kind::Bool},
    {"heat", Kind::Int},           {"no_power", Kind::Bool},      {"stop_after_jobs", Kind::Int},
    {"volt_mv", Kind::Int},        {"mv_per_vid", Kind::Int},     {"min_mv", Kind::Int},
    {"fixture", Kind::Bool},       {"work_mode", Kind::Int},      {"echo_fault", Kind::Text},
    {"pll_lock_ms", Kind::Int},    {"pll_fail_mhz", Kind::Int},   {"pll_fail_chip", Kind::Int},
    {"mem_faults", Kind::Texts},   {"power_from", Kind::Int},     {"max_spi_speed", Kind::Int},
    {"pulse_stuck", Kind::Bool},   {"spi_idle_words", Kind::Int}, {"result_len", Kind::Int},
};
// The supply (psu.cpp).
const Key kPsuKeys[] = {
    {"absent", Kind::Bool},      {"fail_reads", Kind::Int},  {"fail_always", Kind::Bool},
    {"bad_checksum", Kind::Bool}, {"bad_end", Kind::Bool},   {"write_fail", Kind::Bool},
    {"keepalive_timeout", Kind::Bool}, {"vendor", Kind::Text}, {"fwver", Kind::Ints},
    {"gp_fwver", Kind::Text},    {"errorcode", Kind::Int},   {"sync_output", Kind::Int},
    {"voltage", Kind::Int},      {"current", Kind::Int},     {"offset_cv", Kind::Int},
};
const Key kStrapKeys[] = {{"board_code", Kind::Int}, {"vendor", Kind::Int}};
const Key kWatchdogKeys[] = {{"missing", Kind::Bool}, {"timeout", Kind::Int}};
const Key kUartKeys[] = {{"missing", Kind::Bool}};
const Key kVidgenKeys[] = {{"absent", Kind::Bool}};
const Key kMemGateKeys[] = {{"open", Kind::Bool}, {"map", Kind::Texts}};

struct Table {
    const Key *keys;
    size_t n;
};
template <size_t N> constexpr Table table(const Key (&k)[N]) { return {k, N}; }

const std::string kDesc = "machine description: ";

Table object_table(const std::string &name) {
    if (name == "psu") return table(kPsuKeys);
    if (name == "straps") return table(kStrapKeys);
    if (name == "watchdog") return table(kWatchdogKeys);
    if (name == "uart") return table(kUartKeys);
    if (name == "vidgen") return table(kVidgenKeys);
    return table(kMemGateKeys);
}

bool all_of(json_t *v, bool (*is)(const json_t *), bool array) {
    size_t i;
    const char *k;
    json_t *x;
    if (array) {
        if (!json_is_array(v)) return false;
        json_array_foreach(v, i, x) if (!is(x)) return false;
    } else {
        if (!json_is_object(v)) return false;
        json_object_foreach(v, k, x) if (!is(x)) return false;
    }
    return true;
}
bool is_int(const json_t *v) { return json_is_integer(v); }
bool is_text(const json_t *v) { return json_is_string(v); }

bool check_object(json_t *obj, Table t, const std::string &file, const std::string &where);

// Values a board's keys take beyond their kind.
bool check_board(json_t *b, const std::string &where) {
    bool ok = true;
    const auto bad = [&](const std::string &why) {
        refuse(kDesc + where + why);
        ok = false;
    };
    const long long slot = desc_int(b, "slot", -1);
    if (slot < 0 || slot > 7) bad(".slot must be 0..7");
    // The values a chain can honour: a type is a reset code's nibble, a
    // count a byte of the BIST reply.
    const long long chips = desc_int(b, "chips", 0), type = desc_int(b, "chip_type", 0);
    if (chips < 0 || chips > 255) bad(".chips must be 0..255");
    if (type < 0 || type > 15) bad(".chip_type must be 0..15");
    if (json_object_get(b, "chip_model")) {
        const long long model = desc_int(b, "chip_model", 0);
        if (model != 14 && model != 15) bad(".chip_model must be 14 or 15");
        if (type != 5) bad(".chip_model on a board whose chips are not of reset code 5");
    }
    const long long silent = desc_int(b, "silent_chip", 1);
    if (json_object_get(b, "silent_chip") && (silent < 1 || silent > chips))
        bad(".silent_chip must be a chip of the board (1.." + std::to_string(chips) + ")");
    // A PLL fault of a chip the board does not have, or with no frequency,
    // would never act.
    const long long pll_chip = desc_int(b, "pll_fail_chip", 0);
    if (json_object_get(b, "pll_fail_chip") && (pll_chip < 0 || pll_chip > chips))
        bad(".pll_fail_chip must be 0 (every chip) or a chip of the board (1.." + std::to_string(chips) + ")");
    if (json_object_get(b, "pll_fail_mhz") && desc_int(b, "pll_fail_mhz", 1) < 1)
        bad(".pll_fail_mhz must be 1 or more");
    if (json_object_get(b, "pll_fail_chip") && !json_object_get(b, "pll_fail_mhz"))
        bad(".pll_fail_chip without pll_fail_mhz");
    const char *echo = json_string_value(json_object_get(b, "echo_fault"));
    if (echo && std::string(echo) != "data" && std::string(echo) != "crc" && std::string(echo) != "none")
        bad(".echo_fault must be \"data\", \"crc\" or \"none\"");
    // Only memory chips (reset code 0xA) have the memory those faults act on.
    if (json_object_get(b, "mem_faults") && (desc_int(b, "chip_type", 0) & 0xF) != 0xA)
        bad(".mem_faults on a board without memory chips");
    return ok;
}

bool check_value(const Key &key, json_t *v, const std::string &file, const std::string &where) {
    const std::string at = where + key.name;
    const auto bad = [&](const char *want) {
        refuse(file + ": " + at + " must be " + want);
        return false;
    };
    switch (key.kind) {
    case Kind::Int: return json_is_integer(v) || bad("an integer");
    case Kind::Bool: return json_is_boolean(v) || bad("true or false");
    case Kind::Text: return json_is_string(v) || bad("a text");
    case Kind::Texts: return all_of(v, is_text, true) || bad("a list of texts");
    case Kind::Ints: return all_of(v, is_int, true) || bad("a list of integers");
    case Kind::TextMap: return all_of(v, is_text, false) || bad("an object of texts");
    case Kind::IntMap: return all_of(v, is_int, false) || bad("an object of integers");
    case Kind::Object:
        if (!json_is_object(v)) return bad("an object");
        return check_object(v, object_table(key.name), file, at + ".");
    case Kind::Boards: {
        if (!json_is_array(v)) return bad("a list of boards");
        bool ok = true;
        size_t i;
        json_t *b;
        std::map<long long, size_t> seated;  // slot -> the board in it
        json_array_foreach(v, i, b) {
            const std::string bw = at + "[" + std::to_string(i) + "]";
            if (!json_is_object(b)) {
                refuse(file + ": " + bw + " must be an object");
                ok = false;
                continue;
            }
            const bool keys = check_object(b, table(kBoardKeys), file, bw + ".");
            const bool values = check_board(b, bw);
            ok = keys && values && ok;
            // Only the first board of a slot would ever answer.
            const long long slot = desc_int(b, "slot", -1);
            if (const auto [it, first] = seated.emplace(slot, i); !first) {
                refuse(file + ": " + bw + ".slot " + std::to_string(slot) + " already holds " + at + "[" +
                       std::to_string(it->second) + "]");
                ok = false;
            }
        }
        return ok;
    }
    }
    return false;
}

bool check_object(json_t *obj, Table t, const std::string &file, const std::string &where) {
    bool ok = true;
    const char *name;
    json_t *v;
    json_object_foreach(obj, name, v) {
        const Key *key = nullptr;
        for (size_t i = 0; i < t.n; i++)
            if (t.keys[i].name == std::string(name)) key = &t.keys[i];
        if (!key) {
            refuse(file + ": unknown key " + where + name);
            ok = false;
            continue;
        }
        ok = check_value(*key, v, file, where) && ok;
    }
    return ok;
}

}  // namespace

bool check_machine_desc(json_t *desc) {
    if (!json_is_object(desc)) {
        refuse(kDesc + "not an object");
        return false;
    }
    return check_object(desc, table(kMachineKeys), "machine description", "");
}

bool check_psu_desc(json_t *psu, const std::string &file) {
    if (!json_is_object(psu)) {
        refuse(file + ": not an object");
        return false;
    }
    return check_object(psu, table(kPsuKeys), file, "");
}

}  // namespace sim
