// The daemon's reading of the mining program's API answers: the answer
// text as it comes off the wire, folded the way the report sender, the
// sampler and the pool resolver fold it.
//
// Input: the answer bytes (a NUL ends the text, as on the wire).
#include <cstdint>
#include <cstring>

#include "fuzz_support.h"
#include "stats.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::setup_machine();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    json_t *answer = zelmon::parse_api_answer(reinterpret_cast<const char *>(data), size);
    if (!answer) return 0;

    chain_status records[zelmon::kChainRecords];
    int slots[zelmon::kChainSlots];
    memset(records, 0, sizeof records);
    zelmon::fold_stats(answer, records, slots);
    for (int n = 0; n < zelmon::kChainSlots; ++n)
        if (slots[n] < -1 || slots[n] >= zelmon::kChainRecords) fuzz::fail("slot out of range", std::to_string(slots[n]));
    zelmon::fold_devs(answer, slots, records);
    for (const chain_status &c : records)
        if (strnlen(c.powerVendor, sizeof c.powerVendor) == sizeof c.powerVendor ||
            strnlen(c.powerVersion, sizeof c.powerVersion) == sizeof c.powerVersion)
            fuzz::fail("power text not terminated", "");
    zelmon::active_pool_index(answer, -1);

    json_t *history = json_array();
    if (json_t *sample = zelmon::stats_sample(answer, 1u)) zelmon::history_add(history, sample);
    json_decref(history);

    size_t i;
    json_t *pool;
    json_array_foreach(json_object_get(answer, "POOLS"), i, pool) {
        bool cut = false;
        std::string host = zelmon::pool_host(json_string_value(json_object_get(pool, "URL")), &cut);
        if (host.size() > 49) fuzz::fail("pool host too long", host);
    }
    json_decref(answer);
    return 0;
}
