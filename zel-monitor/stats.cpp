// Statistics history and report sender: the mining program's API client,
// the 120 s hash-rate sampler, the periodic report and the pool resolver.
#include "stats.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "daemon.h"
#include "misc/kmx_dtu.h"
#include "misc/kmx_misc.h"
#include "module/kmx_log.h"
#include "os/os.h"

namespace zelmon {

namespace {

constexpr const char *kSource = "zel-monitor";
constexpr unsigned kSamplePeriodS = 120;
constexpr unsigned kResolvePeriodS = 300;
constexpr unsigned kNotReportingPauseS = 60;
constexpr int kDefaultIntervalS = 180;
constexpr size_t kPoolHostMax = 49;
constexpr size_t kPowerTextMax = 29;

// True while a resolver thread runs: set by the sender just before it
// creates one, cleared when the creation fails (a running resolver never
// ends by itself).
std::atomic<bool> s_resolver_alive{false};

// A miner that accepts but never answers must not hold the caller: ten
// seconds of the board's clock for the whole exchange.
int api_budget_ms() { return kos::peer_budget_ms(10000.0); }

using Deadline = std::chrono::steady_clock::time_point;

int remaining_ms(Deadline deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() <= 0 ? 0 : int(left.count());
}

// Waits for `events` on `fd` until the deadline; false on timeout or error.
bool wait_for(int fd, short events, Deadline deadline) {
    for (;;) {
        int ms = remaining_ms(deadline);
        if (ms == 0) {
            errno = ETIMEDOUT;
            return false;
        }
        pollfd p{fd, events, 0};
        int n = poll(&p, 1, ms);
        if (n > 0) return true;
        if (n < 0 && errno != EINTR) return false;
    }
}

// Clamped conversions: a peer may send any number, and a double outside
// the target's range must not be converted as it is.
long long clamp_ll(double d) {
    if (std::isnan(d)) return 0;
    if (d >= 9.2e18) return LLONG_MAX;
    if (d <= -9.2e18) return LLONG_MIN;
    return static_cast<long long>(d);
}

int clamp_int(double d) {
    long long v = clamp_ll(d);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return int(v);
}

// Numbers are taken whether the peer wrote them as integers or reals.
bool get_number(json_t *obj, const char *key, double *out) {
    json_t *v = json_object_get(obj, key);
    if (!json_is_number(v)) return false;
    *out = json_number_value(v);
    return true;
}

double number_or_zero(json_t *obj, const char *key) {
    double d = 0;
    get_number(obj, key, &d);
    return d;
}

int int_or_zero(json_t *obj, const char *key) { return clamp_int(number_or_zero(obj, key)); }

void copy_power_text(char (&dst)[30], json_t *obj, const char *key) {
    const char *s = json_string_value(json_object_get(obj, key));
    if (s) snprintf(dst, sizeof dst, "%.*s", int(kPowerTextMax), s);
}

// The array under `key` of a successful answer to `command`, with the whole
// answer in `*answer` (released by the caller); null when the miner did not
// answer or the answer lacks the array.
json_t *ask_miner(const char *command, const char *key, json_t **answer) {
    *answer = nullptr;
    if (call_miner_api(command, kMinerHost, kMinerPort, answer) != 0) return nullptr;
    json_t *arr = json_object_get(*answer, key);
    return json_is_array(arr) ? arr : nullptr;
}

// What parsing an answer or the history took and freed goes back to the
// system: glibc keeps freed heap pages otherwise. Every thread's arena at
// once, whichever thread freed it.
void give_back_freed_memory() { malloc_trim(0); }

std::string resolve_ipv4(const std::string &host) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *res = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || !res) return {};
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(res->ai_addr)->sin_addr, text, sizeof text);
    freeaddrinfo(res);
    return text;
}

}  // namespace

json_t *parse_api_answer(const char *text, size_t len) {
    len = strnlen(text, len);
    // Every value but the root is the first of its array or object or comes
    // after a comma: counting those marks outside strings bounds the tree
    // before any of it is built.
    size_t values = 1;
    bool in_string = false;
    for (size_t i = 0; i < len && values <= kApiValuesMax; ++i) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '{' || c == '[' || c == ',') {
            ++values;
        }
    }
    if (values > kApiValuesMax) {
        kmx_logf(5, "%s    %s  %d   %s!\n", kSource, __func__, __LINE__, "answer holds too many values");
        return nullptr;
    }
    json_error_t err;
    json_t *root = json_loadb(text, len, 0, &err);
    if (!root) kmx_logf(5, "%s  %s  line:%d\n", __func__, klog::Outside(err.text).c_str(), err.line);
    return root;
}

int call_miner_api(const char *command, const char *host, int port, json_t **result) {
    *result = nullptr;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *res = nullptr;
    int rc = getaddrinfo(host, nullptr, &hints, &res);
    if (rc != 0 || !res) {
        kmx_logf(5, "%s    %s  %d   %s!\n", kSource, __func__, __LINE__, gai_strerror(rc));
        return 1;
    }
    sockaddr_in addr = *reinterpret_cast<sockaddr_in *>(res->ai_addr);
    freeaddrinfo(res);
    addr.sin_port = htons(uint16_t(port));

    const Deadline deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(api_budget_ms());
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        kmx_logf(5, "%s    %s  %d   %s!\n", kSource, __func__, __LINE__, strerror(errno));
        return -1;
    }
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        int e = errno;
        int soerr = 0;
        socklen_t sl = sizeof soerr;
        if (e == EINPROGRESS) {
            e = wait_for(fd, POLLOUT, deadline) ? 0 : errno;
            if (e == 0 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &soerr, &sl) == 0) e = soerr;
        }
        if (e != 0) {
            kmx_logf(5, "%s  %d   %s!\n", __func__, __LINE__, strerror(e));
            close(fd);
            return -1;
        }
    }

    const size_t want = strlen(command);
    size_t sent = 0;
    while (sent < want) {
        ssize_t n = send(fd, command + sent, want - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += size_t(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (!wait_for(fd, POLLOUT, deadline)) break;
        } else {
            break;
        }
    }
    if (sent < want) {
        kmx_logf(5, "%s    %s  %d   %s!\n", kSource, __func__, __LINE__, strerror(errno));
        close(fd);
        return -1;
    }

    // The miner answers and closes: read until end of stream.
    std::string text;
    char chunk[16384];
    for (;;) {
        ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n > 0) {
            if (text.size() + size_t(n) > kApiAnswerMax) {
                kmx_logf(5, "%s    %s  %d   %s!\n", kSource, __func__, __LINE__, "answer too long");
                close(fd);
                return -1;
            }
            text.append(chunk, size_t(n));
            continue;
        }
        if (n == 0) break;
        if (errno == EINTR) continue;
        if (errno == EAGAIN && wait_for(fd, POLLIN, deadline)) continue;
        // A reset, or the miner stalled past the budget: what came is
        // incomplete and is not used.
        kmx_logf(5, "%s    %s  %d   %s!\n", kSource, __func__, __LINE__, strerror(errno));
        close(fd);
        return -1;
    }
    close(fd);
    *result = parse_api_answer(text.c_str(), text.size());
    return *result ? 0 : -1;
}

// ---- statistics history ------------------------------------------------------

bool save_stats_file(json_t *history) {
    if (!history) return true;
    char *text = json_dumps(history, JSON_INDENT(3));
    // Replaced whole: a reader never sees a half-written history.
    bool ok = text && kos::write_file_atomic(kStatsFile, text);
    if (!ok) kmx_logf(5, "%s\t%d\t %s\n", __func__, __LINE__, strerror(errno));
    free(text);
    return ok;
}

bool create_stats_file(json_t *) {
    json_t *empty = json_array();
    bool ok = save_stats_file(empty);
    json_decref(empty);
    return ok;
}

bool load_stats_file(json_t **history) {
    *history = nullptr;
    json_error_t err;
    errno = 0;
    json_t *root = json_load_file(kStatsFile, 0, &err);
    if (!root) {
        kmx_logf(5, "%s %d %s, line:%d column:%d position:%d, %s %s\n", __func__, __LINE__, strerror(errno), err.line,
                 err.column, err.position, err.source, klog::Outside(err.text).c_str());
        return false;
    }
    if (!json_is_array(root)) {
        kmx_logf(5, "%s %d, %s is not an array\n", __func__, __LINE__, kStatsFile);
        json_decref(root);
        return false;
    }
    *history = root;
    return true;
}

json_t *stats_sample(json_t *devs_answer, unsigned now) {
    json_t *devs = json_object_get(devs_answer, "DEVS");
    if (!json_is_array(devs)) return nullptr;
    json_t *rates = json_object();
    for (size_t i = 0; i < size_t(kChainSlots); ++i) {
        json_t *dev = json_array_get(devs, i);
        double asc = 0;
        // Without its number a board would collide with board 0.
        if (!get_number(dev, "ASC", &asc)) continue;
        char key[16];
        snprintf(key, sizeof key, "%d", clamp_int(asc));
        json_object_set_new(rates, key, json_integer(clamp_ll(number_or_zero(dev, "MHS 5m"))));
    }
    char stamp[16];
    snprintf(stamp, sizeof stamp, "%u", now);
    json_t *sample = json_object();
    json_object_set_new(sample, stamp, rates);
    return sample;
}

void history_add(json_t *history, json_t *sample) {
    // A longer file (edited, or left by another build) shrinks back too.
    while (json_array_size(history) >= kHistoryMax) json_array_remove(history, 0);
    json_array_append_new(history, sample);
}

void stats_cycle(unsigned now) {
    json_t *history = nullptr;
    if (!load_stats_file(&history)) {
        // A damaged history would otherwise stop for good: start afresh.
        kmx_logf(5, "%s %d, %s unusable, history started afresh\n", __func__, __LINE__, kStatsFile);
        create_stats_file(nullptr);
        history = json_array();
    }
    json_t *answer = nullptr;
    if (call_miner_api(kCmdDevs, kMinerHost, kMinerPort, &answer) == 0) {
        if (json_t *sample = stats_sample(answer, now)) {
            history_add(history, sample);
            save_stats_file(history);
            ::sync();
        }
    }
    json_decref(answer);
    json_decref(history);
    give_back_freed_memory();
}

void *thread_get_stats(void *) {
    if (FILE *fp = fopen(kStatsFile, "r"))
        fclose(fp);
    else
        create_stats_file(nullptr);
    for (;;) {
        stats_cycle(unsigned(kos::wall_time().tv_sec));
        kos::sleep_s(kSamplePeriodS);
    }
}

// ---- report records --------------------------------------------------------------

int fold_stats(json_t *stats_answer, chain_status records[kChainRecords], int slots[kChainSlots]) {
    for (int n = 0; n < kChainSlots; ++n) slots[n] = -1;
    json_t *stats = json_object_get(stats_answer, "STATS");
    int filled = 0, n = 0;
    size_t i;
    json_t *el;
    // The elements that carry "Chain ID" are the boards, in the order of
    // the DEVS answer; others (pool or summary entries) are passed over. A
    // board whose id is unusable keeps its slot empty, so its DEVS element
    // is not used either.
    json_array_foreach(stats, i, el) {
        if (n == kChainSlots) break;
        json_t *id_val = json_object_get(el, "Chain ID");
        if (!id_val) continue;
        const int slot = n++;
        const double id_num = json_is_number(id_val) ? json_number_value(id_val) : -1;
        if (id_num != std::floor(id_num) || id_num < 0 || id_num >= kChainRecords) continue;
        const int id = int(id_num);
        chain_status &c = records[id];
        c.valid = true;
        c.chain_id = id;
        c.fan_duty = int_or_zero(el, "Fan duty");
        c.runtime = double(clamp_ll(number_or_zero(el, "Elapsed")));
        c.tmp_hi = int_or_zero(el, "Temp max");
        c.tmp_av = int_or_zero(el, "Temp");
        c.pll = int_or_zero(el, "PLL");
        c.vid_volt = int_or_zero(el, "vid Voltage");
        c.power = int_or_zero(el, "power");
        slots[slot] = id;
        ++filled;
    }
    return filled;
}

void fold_devs(json_t *devs_answer, const int slots[kChainSlots], chain_status records[kChainRecords]) {
    json_t *devs = json_object_get(devs_answer, "DEVS");
    for (int n = 0; n < kChainSlots; ++n) {
        json_t *el = json_array_get(devs, size_t(n));
        if (slots[n] < 0 || slots[n] >= kChainRecords || !json_is_object(el)) continue;
        chain_status &c = records[slots[n]];
        double r5m = 0, r15m = 0;
        if (get_number(el, "MHS 5m", &r5m) && get_number(el, "MHS 15m", &r15m)) {
            const double elapsed = number_or_zero(el, "Device Elapsed");
            if (elapsed < 300)
                c.hash = number_or_zero(el, "MHS 5s");
            else if (elapsed < 900)
                c.hash = number_or_zero(el, "MHS 1m");
            else if (elapsed < 3600)
                c.hash = r5m;
            else
                c.hash = r15m;
        } else {
            c.hash = number_or_zero(el, "MHS av");
        }
        c.accCnt = int_or_zero(el, "Accepted");
        c.rejCnt = int_or_zero(el, "Rejected");
        c.hwerrCnt = int_or_zero(el, "Hardware Errors");
        copy_power_text(c.powerVendor, el, "Power Vendor");
        copy_power_text(c.powerVersion, el, "Power Version");
    }
}

int active_pool_index(json_t *pools_answer, int previous) {
    json_t *pools = json_object_get(pools_answer, "POOLS");
    size_t i;
    json_t *p;
    json_array_foreach(pools, i, p) {
        if (!json_is_true(json_object_get(p, "Stratum Active"))) continue;
        double idx = 0;
        return get_number(p, "POOL", &idx) ? clamp_int(idx) : previous;
    }
    return previous;
}

// ---- pool-address resolver ----------------------------------------------------------

std::string pool_host(const char *url, bool *cut) {
    *cut = false;
    if (!url) return {};
    const char *start = strstr(url, "://");
    if (!start) return {};
    start += 3;
    const char *end = strchr(start, ':');
    if (!end) return {};
    size_t len = size_t(end - start);
    if (len > kPoolHostMax) {
        len = kPoolHostMax;
        *cut = true;
    }
    return std::string(start, len);
}

void resolve_pools(json_t *pools) {
    for (size_t i = 0; i < 3; ++i) {
        const char *url = json_string_value(json_object_get(json_array_get(pools, i), "URL"));
        bool cut = false;
        const std::string host = pool_host(url, &cut);
        // A shortened name is some other host: it is shown, not resolved.
        const std::string ip = host.empty() || cut ? std::string() : resolve_ipv4(host);
        pthread_mutex_lock(&g_get_pools_ip_lock);
        memset(pool_ip_rst.pool_url[i], 0, sizeof pool_ip_rst.pool_url[i]);
        memset(pool_ip_rst.pool_ip[i], 0, sizeof pool_ip_rst.pool_ip[i]);
        snprintf(pool_ip_rst.pool_url[i], sizeof pool_ip_rst.pool_url[i], "%s", host.c_str());
        snprintf(pool_ip_rst.pool_ip[i], sizeof pool_ip_rst.pool_ip[i], "%s", ip.c_str());
        pool_ip_rst.finish_flag = true;
        pthread_mutex_unlock(&g_get_pools_ip_lock);
    }
}

void *thread_get_pools_ip(void *) {
    // The pool list is asked once; a new resolver sees a changed one. Only
    // the URLs of the pools resolved are kept for the thread's life.
    json_t *answer = nullptr;
    json_t *listed = ask_miner(kCmdPools, "POOLS", &answer);
    json_t *pools = listed ? json_array() : nullptr;
    for (size_t i = 0; i < 3 && i < json_array_size(listed); ++i) {
        json_t *kept = json_object();
        if (json_t *url = json_object_get(json_array_get(listed, i), "URL")) json_object_set(kept, "URL", url);
        json_array_append_new(pools, kept);
    }
    json_decref(answer);
    for (;;) {
        resolve_pools(pools);
        kos::sleep_s(kResolvePeriodS);
    }
}

// ---- report sender -----------------------------------------------------------------

int report_interval_s(int configured) { return configured < 1 ? kDefaultIntervalS : configured; }

namespace {

void start_resolver() {
    s_resolver_alive = true;
    if (!start_detached(thread_get_pools_ip, nullptr, "get_pools_ip", "get_pools_ip create failled.\n")) s_resolver_alive = false;
}

}  // namespace

void *thread_send_stats(void *) {
    int active_pool = -1;
    dtu_server_config server{};
    bool server_set = false;
    bool first_devs_cycle_done = false;
    for (;;) {
        dtu_config cfg;
        memset(&cfg, 0, sizeof cfg);
        if (!kmx_read_lock() || !kmx_get_dtu_cfg_from_file(&cfg)) {
            kos::sleep_s(kNotReportingPauseS);
            continue;
        }
        if (!server_set) {
            snprintf(server.usedIp, sizeof server.usedIp, "%s", cfg.usedIp ? cfg.usedIp : "");
            server.usedPort = cfg.usedPort;
            server_set = true;
        }
        cfg.usedServer = &server;
        kmx_logf(2, "%s %d, usedServer: [%s:%d]", __func__, __LINE__, server.usedIp, server.usedPort);

        chain_status records[kChainRecords];
        int slots[kChainSlots];
        memset(records, 0, sizeof records);
        json_t *answer = nullptr;
        const bool stats_ok = ask_miner(kCmdStats, "STATS", &answer) != nullptr;
        fold_stats(answer, records, slots);
        json_decref(answer);
        bool devs_ok = false;
        if (stats_ok) {
            devs_ok = ask_miner(kCmdDevs, "DEVS", &answer) != nullptr;
            if (devs_ok) fold_devs(answer, slots, records);
            json_decref(answer);
        }
        if (devs_ok) {
            if (ask_miner(kCmdPools, "POOLS", &answer)) active_pool = active_pool_index(answer, active_pool);
            json_decref(answer);

            if (!first_devs_cycle_done) {
                start_resolver();
                pthread_mutex_lock(&g_get_pools_ip_lock);
                pool_ip_rst.finish_flag = false;
                pthread_mutex_unlock(&g_get_pools_ip_lock);
                first_devs_cycle_done = true;
                kos::sleep_s(5);
            } else if (!s_resolver_alive) {
                start_resolver();
            } else {
                pthread_mutex_lock(&g_get_pools_ip_lock);
                if (pool_ip_rst.finish_flag) pool_ip_rst.finish_flag = false;
                pthread_mutex_unlock(&g_get_pools_ip_lock);
            }
        }
        kmx_make_one_packet(&cfg, records, active_pool);
        give_back_freed_memory();
        kos::sleep_s(unsigned(report_interval_s(cfg.interval)));
    }
}

}  // namespace zelmon
