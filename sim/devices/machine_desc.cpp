#include "sim/devices/machine_desc.h"

#include <cstdlib>
#include <mutex>

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

}  // namespace sim
