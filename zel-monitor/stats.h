// The daemon's link to the mining program's API: the one-shot client, the
// folding of its answers into report records, the hash-rate history in
// /tmp/stats.json and the pool-address resolver.
#pragma once

#include <cstddef>
#include <jansson.h>
#include <string>

#include "misc/kmx_report.h"

namespace zelmon {

constexpr const char *kMinerHost = "127.0.0.1";
constexpr int kMinerPort = 4028;
constexpr const char *kCmdStats = "{\"command\" : \"stats\"}";
constexpr const char *kCmdDevs = "{\"command\" : \"devs\"}";
constexpr const char *kCmdPools = "{\"command\" : \"pools\"}";

constexpr const char *kStatsFile = "/tmp/stats.json";
constexpr size_t kHistoryMax = 720;  // 24 hours at one sample per 120 s
constexpr int kChainRecords = 9;      // chain ids 0..8
constexpr int kChainSlots = 8;        // STATS/DEVS elements looked at

// What one answer of the miner may be, beyond which it is refused as a
// failure (nothing of it is used). The largest a machine sends, a `devs`
// answer of eight boards with every field at its widest, is under 5 KB and
// 160 values: the caps leave more than ten times that, and keep what one
// answer costs once parsed near 1 MB. The text is bounded while it is read,
// the values before the tree is built (an answer of small objects costs
// twenty times its text and more once parsed).
constexpr size_t kApiAnswerMax = 64u << 10;
constexpr size_t kApiValuesMax = 4096;

// One request on a fresh connection. 0: `*result` holds the parsed answer
// (the caller releases it); 1: the host does not resolve; -1: anything else
// (`*result` is then null). Connect, send and the whole read are bounded in
// time.
int call_miner_api(const char *command, const char *host, int port, json_t **result);
// The answer text as it came off the wire: parsed as the C string it holds;
// null when it does not parse or holds more than kApiValuesMax values.
json_t *parse_api_answer(const char *text, size_t len);

// History file. A null array saves as success; create writes an empty
// array (its argument is not used); load fails on a file that is missing,
// does not parse or is not an array.
bool save_stats_file(json_t *history);
bool create_stats_file(json_t *unused);
bool load_stats_file(json_t **history);
// One sample from a `devs` answer: {"<now>": {"<ASC>": <int MHS 5m>, ...}}
// for the first kChainSlots elements (the machine's boards, whatever more
// the answer names); null when the answer holds no "DEVS" array.
json_t *stats_sample(json_t *devs_answer, unsigned now);
// Appends the sample (taking it over), dropping the oldest ones so that at
// most kHistoryMax remain.
void history_add(json_t *history, json_t *sample);
// One sampler cycle at wall-clock second `now`.
void stats_cycle(unsigned now);

// Report records. `slots[n]` gets the chain id of the n-th STATS element
// that carries "Chain ID" (DEVS element n belongs to it), or -1 when that id
// is unusable. Returns the records filled.
int fold_stats(json_t *stats_answer, chain_status records[kChainRecords], int slots[kChainSlots]);
void fold_devs(json_t *devs_answer, const int slots[kChainSlots], chain_status records[kChainRecords]);
// "POOL" of the first element whose "Stratum Active" is true, else `previous`.
int active_pool_index(json_t *pools_answer, int previous);

// Host part of a pool URL: between "://" and the next ':'; empty when the
// URL has no such part. `cut` is set when the host was longer than 49
// characters and was shortened.
std::string pool_host(const char *url, bool *cut);
// Resolves the first three pools of a "POOLS" array (null: none) into
// pool_ip_rst.
void resolve_pools(json_t *pools);
void *thread_get_pools_ip(void *);
// Seconds between two reports: the configured interval, or 180 when it is
// below 1.
int report_interval_s(int configured);

}  // namespace zelmon
