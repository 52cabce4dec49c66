// The daemon's hash-rate history /tmp/stats.json: loaded, a sample added,
// saved and loaded again, as the sampler does every cycle.
//
// Input: the file's text. A file that loads must save and load again with
// the new sample last and at most the history's length; one that does not
// load is started afresh as an empty array.
#include <cstdint>
#include <jansson.h>
#include <string>

#include "fuzz_support.h"
#include "stats.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::setup_machine();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 256 * 1024) return -1;
    fuzz::write_or_die(zelmon::kStatsFile, std::string(reinterpret_cast<const char *>(data), size));

    json_t *history = nullptr;
    if (!zelmon::load_stats_file(&history)) {
        if (history) fuzz::fail("stats", "failed load handed out a history");
        if (!zelmon::create_stats_file(nullptr)) fuzz::fail("stats", "cannot start afresh");
        if (!zelmon::load_stats_file(&history) || json_array_size(history) != 0)
            fuzz::fail("stats", "fresh history is not an empty array");
    }
    if (!json_is_array(history)) fuzz::fail("stats", "loaded history is not an array");

    json_t *devs = json_pack("{s:[{s:i,s:f},{s:i,s:f}]}", "DEVS", "ASC", 0, "MHS 5m", 12.5, "ASC", 2, "MHS 5m", 1e30);
    json_t *sample = zelmon::stats_sample(devs, 1700000000u);
    json_decref(devs);
    if (!sample) fuzz::fail("stats", "no sample from a devs answer");
    json_t *expect = json_deep_copy(sample);
    zelmon::history_add(history, sample);
    if (!zelmon::save_stats_file(history)) fuzz::fail("stats", "save failed");
    json_decref(history);

    json_t *again = nullptr;
    if (!zelmon::load_stats_file(&again)) fuzz::fail("stats", "saved history does not load");
    const size_t n = json_array_size(again);
    if (n == 0 || n > zelmon::kHistoryMax) fuzz::fail("stats", "history length " + std::to_string(n));
    if (!json_equal(json_array_get(again, n - 1), expect)) fuzz::fail("stats", "new sample is not the last");
    json_decref(expect);
    json_decref(again);
    return 0;
}
