// Stand-in for the mining program: it uses the library as its hardware
// layer the way the miner does (pid in g_cgminer_pid, sys_platform_init,
// sys_init, PLL table, kmx_chain_detect_all, fan-control thread), then
// sends jobs to the chips, reads their nonces, keeps per-chain counts and
// answers the API requests stats, devs and pools on 127.0.0.1:PORT.
//
// usage: kmx-miner [--platform P] [--chip-type T] [--chains N] [--chips C]
//          [--subtype S] [--quick] [--pll MHz] [--vid V] [--vol mV]
//          [--spi-speed I] [--detect-only] [--rounds R] [--port P]
//          [--report-every R] [--log-level L] [--again MASK] [--callback]
//          [--temps R]
// --again runs the detection a second time over the positions in MASK.
// --callback installs a detection callback that prints "callback chainC
// typeT" each time it runs.
// --temps R reads every live chain's temperatures and states the work mode
// (kmx_check_runmode_switch) every R rounds, as the miner's own loops do.
// Prints one "bring-up" line per chain after detection and, every
// --report-every rounds, one "hash" line per chain.
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <jansson.h>
#include <mutex>
#include <netinet/in.h>
#include <pthread.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "drv/kmx_chip_frame_internal.h"
#include "hub/kmx_i2c.h"
#include "hub/kmx_vid.h"
#include "misc/kmx_errcode.h"
#include "record/kmx_record.h"
#include "misc/kmx_misc.h"
#include "module/kmx_chain.h"
#include "module/kmx_fan.h"
#include "module/kmx_ops.h"
#include "module/kmx_tempctrl.h"
#include "os/os.h"
#include "platform/kmx_platform.h"

namespace {

struct Options {
    int platform = 4, chip_type = 0, chains = 4, chips = 80, subtype = 0;
    bool quick = false, detect_only = false, callback = false;
    int pll = 600, vid = 10, vol = 0, spi_speed = 2, log_level = 2;
    long rounds = -1, report_every = 20;
    long again_mask = -1;  // detect a second time with this position mask
    int port = 4028;
    long temps_every = 0;  // 0: temperatures only at bring-up
};

// Frequencies of the PLL levels and their register images.
const int kPllList[] = {100, 200, 300, 400, 500, 600, 700, 800};
uint8_t s_pll_regs_tab[8][12];

struct ChainCount {
    std::atomic<unsigned long long> nonces{0}, hw_errors{0}, missed{0};
};
ChainCount s_count[8];
c_chain_param s_param[8];
int s_pos_of_chain[8];
std::chrono::steady_clock::time_point s_start;
Options s_opt;

double elapsed_s() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - s_start).count() * kos::time_scale();
}

// Hashes behind one nonce at difficulty 1, in millions.
constexpr double kMhPerNonce = 4294.967296;

int chain_mhs(int c) {
    const double e = elapsed_s();
    return e > 0 ? int(double(s_count[c].nonces.load()) * kMhPerNonce / e) : 0;
}

// ---- API ----

json_t *status_array(const char *msg) {
    return json_pack("[{s:s, s:i, s:s}]", "STATUS", "S", "When", int(time(nullptr)), "Msg", msg);
}

json_t *answer_stats() {
    json_t *stats = json_array();
    for (int i = 0; i < g_chain_num; i++) {
        const int c = g_chain_id[i];
        if (c < 0 || c > 7) continue;
        json_array_append_new(stats, json_pack("{s:i, s:i, s:i, s:f, s:f, s:i, s:i, s:i}", "Chain ID", c, "Fan duty",
                                               int(g_fan_cfg.fan_speed), "Elapsed", int(elapsed_s()), "Temp max",
                                               double(g_chain_tmp[c].tmp_hi), "Temp", double(g_chain_tmp[c].tmp_avg),
                                               "PLL", s_param[i].pll, "vid Voltage", s_param[i].vid, "power", 0));
    }
    return json_pack("{s:o, s:o}", "STATUS", status_array("CGMiner stats"), "STATS", stats);
}

json_t *answer_devs() {
    json_t *devs = json_array();
    for (int i = 0; i < g_chain_num; i++) {
        const int c = g_chain_id[i];
        if (c < 0 || c > 7) continue;
        const double mhs = chain_mhs(c);
        json_array_append_new(
            devs, json_pack("{s:i, s:s, s:f, s:f, s:f, s:f, s:f, s:i, s:i, s:i, s:I, s:s, s:s}", "ASC", i, "Status",
                            g_chain_alive[c] ? "Alive" : "Dead", "MHS av", mhs, "MHS 5s", mhs, "MHS 1m", mhs, "MHS 5m",
                            mhs, "MHS 15m", mhs, "Device Elapsed", int(elapsed_s()), "Accepted",
                            int(s_count[c].nonces.load()), "Rejected", 0, "Hardware Errors",
                            json_int_t(s_count[c].hw_errors.load()), "Power Vendor", g_power_vendor, "Power Version",
                            g_power_ver));
    }
    return json_pack("{s:o, s:o}", "STATUS", status_array("ASC count"), "DEVS", devs);
}

json_t *answer_pools() {
    json_t *pools = json_array();
    json_t *conf = json_load_file("/etc/cgminer.conf", 0, nullptr);
    json_t *list = conf ? json_object_get(conf, "pools") : nullptr;
    size_t i;
    json_t *p;
    json_array_foreach(list, i, p) {
        json_t *url = json_object_get(p, "url");
        json_t *user = json_object_get(p, "user");
        json_array_append_new(pools, json_pack("{s:i, s:s, s:s, s:b}", "POOL", int(i), "URL",
                                               json_is_string(url) ? json_string_value(url) : "", "User",
                                               json_is_string(user) ? json_string_value(user) : "",
                                               "Stratum Active", i == 0));
    }
    json_decref(conf);
    return json_pack("{s:o, s:o}", "STATUS", status_array("Pools"), "POOLS", pools);
}

// One request per connection: read the command, answer, close.
void serve_one(int fd) {
    std::string req;
    char buf[1024];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        req.append(buf, size_t(n));
        json_error_t e;
        json_t *j = json_loads(req.c_str(), 0, &e);
        if (!j) continue;  // not complete yet
        const char *cmd = json_string_value(json_object_get(j, "command"));
        const std::string c = cmd ? cmd : "";
        json_t *ans;
        if (c == "stats") ans = answer_stats();
        else if (c == "devs") ans = answer_devs();
        else if (c == "pools") ans = answer_pools();
        else ans = json_pack("{s:o}", "STATUS", status_array("Invalid command"));
        json_decref(j);
        char *text = json_dumps(ans, JSON_COMPACT);
        json_decref(ans);
        for (size_t off = 0, len = strlen(text); off < len;) {
            const ssize_t w = write(fd, text + off, len - off);
            if (w <= 0) break;
            off += size_t(w);
        }
        free(text);
        break;
    }
    close(fd);
}

void *api_thread(void *arg) {
    const int srv = int(reinterpret_cast<intptr_t>(arg));
    for (;;) {
        const int fd = accept(srv, nullptr, nullptr);
        if (fd >= 0) serve_one(fd);
    }
    return nullptr;
}

int open_api(int port) {
    const int srv = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(srv, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (srv < 0 || bind(srv, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(srv, 8) != 0) {
        perror("api socket");
        return -1;
    }
    return srv;
}

// ---- mining ----

// One job to chip k and its nonce back. The chips answer a result whose
// data bytes are the job's bytes 2.. XOR their id.
void mine_chip(uint8_t c, uint8_t k, uint32_t round) {
    uint8_t job[160] = {CHIP_CMD_WRITE_JOB, k};
    for (int i = 2; i < 158; i++) job[i] = uint8_t(i * 7 + round + k);
    chip_frame_seal(job, 158);
    if (!kmx_cmd_write_job(c, k, job, 160)) {
        s_count[c].missed++;
        return;
    }
    uint8_t res[12] = {};
    if (!kmx_cmd_read_result(c, k, res, 8)) {
        s_count[c].missed++;
        return;
    }
    bool good = res[1] == k;
    for (int i = 0; i < 6 && good; i++) good = res[2 + i] == uint8_t(job[2 + i] ^ k);
    if (good)
        s_count[c].nonces++;
    else
        s_count[c].hw_errors++;
}

// A chain that gives no nonce for a whole round has stopped: power it down.
void mine_round(uint32_t round) {
    for (int i = 0; i < g_chain_num; i++) {
        const int c = g_chain_id[i];
        if (c < 0 || c > 7 || !g_chain_alive[c]) continue;
        const unsigned long long before = s_count[c].nonces.load();
        for (int k = 1; k <= s_param[i].chip_num; k++) mine_chip(uint8_t(c), uint8_t(k), round);
        if (s_count[c].nonces.load() == before) {
            fprintf(stdout, "chain%d: stopped answering, powered down\n", c);
            kmx_chain_power_down(uint8_t(c));
        }
    }
}

void on_first_chain(int chain, int chip_type) {
    printf("callback chain%d type%d\n", chain, chip_type);
    fflush(stdout);
}

void print_bring_up() {
    for (int i = 0; i < g_chain_num; i++) {
        const int c = g_chain_id[i];
        if (c < 0 || c > 7) continue;
        kmx_tempctrl_update_chain_temp(c);
        printf("bring-up chain%d: %s chips %d pll %dMHz vid %d voltage %dmV temp %.1fC\n", c,
               g_chain_alive[c] ? "up" : "down", s_param[i].chip_num, s_param[i].pll, s_param[i].vid,
               int(g_chains_info[c].vol), double(g_chain_tmp[c].tmp_avg));
    }
    fflush(stdout);
}

void print_hash(long round) {
    for (int i = 0; i < g_chain_num; i++) {
        const int c = g_chain_id[i];
        if (c < 0 || c > 7) continue;
        printf("hash round %ld chain%d: nonces %llu hw errors %llu missed %llu rate %d MH/s\n", round, c,
               s_count[c].nonces.load(), s_count[c].hw_errors.load(), s_count[c].missed.load(), chain_mhs(c));
    }
    fflush(stdout);
}

bool arg(int &i, int argc, char **argv, const char *name, long &out) {
    if (strcmp(argv[i], name) != 0 || i + 1 >= argc) return false;
    out = strtol(argv[++i], nullptr, 0);
    return true;
}

Options parse(int argc, char **argv) {
    Options o;
    for (int i = 1; i < argc; i++) {
        long v = 0;
        if (!strcmp(argv[i], "--quick")) o.quick = true;
        else if (!strcmp(argv[i], "--detect-only")) o.detect_only = true;
        else if (!strcmp(argv[i], "--callback")) o.callback = true;
        else if (arg(i, argc, argv, "--platform", v)) o.platform = int(v);
        else if (arg(i, argc, argv, "--chip-type", v)) o.chip_type = int(v);
        else if (arg(i, argc, argv, "--chains", v)) o.chains = int(v);
        else if (arg(i, argc, argv, "--chips", v)) o.chips = int(v);
        else if (arg(i, argc, argv, "--subtype", v)) o.subtype = int(v);
        else if (arg(i, argc, argv, "--pll", v)) o.pll = int(v);
        else if (arg(i, argc, argv, "--vid", v)) o.vid = int(v);
        else if (arg(i, argc, argv, "--vol", v)) o.vol = int(v);
        else if (arg(i, argc, argv, "--spi-speed", v)) o.spi_speed = int(v);
        else if (arg(i, argc, argv, "--rounds", v)) o.rounds = v;
        else if (arg(i, argc, argv, "--report-every", v)) o.report_every = v > 0 ? v : 1;
        else if (arg(i, argc, argv, "--port", v)) o.port = int(v);
        else if (arg(i, argc, argv, "--again", v)) o.again_mask = v;
        else if (arg(i, argc, argv, "--log-level", v)) o.log_level = int(v);
        else if (arg(i, argc, argv, "--temps", v)) o.temps_every = v;
        else {
            fprintf(stderr, "kmx-miner: unknown option %s\n", argv[i]);
            exit(2);
        }
    }
    return o;
}

}  // namespace

int main(int argc, char **argv) {
    s_opt = parse(argc, argv);
    const Options &o = s_opt;
    g_cgminer_pid = getpid();
    g_miner_subtype = o.subtype;
    sys_platform_debug_init(o.log_level);
    sys_platform_init(o.platform, o.chip_type, o.chains, o.chips);
    sys_init();
    for (int l = 0; l < 8; l++) {
        // The emulated chips' PLL image: marker bit, then the MHz.
        s_pll_regs_tab[l][0] = 0x80;
        s_pll_regs_tab[l][1] = uint8_t(kPllList[l] >> 8);
        s_pll_regs_tab[l][2] = uint8_t(kPllList[l]);
    }
    kmx_chain_set_pllcfg(kPllList, s_pll_regs_tab, 8);
    // VID map. A regulator on a UART takes codes: 8 per VID up to VID 24,
    // then 9 more per VID up to 255 at VID 31 (the board test's table of
    // the same regulator). Elsewhere: supply voltage in hundredths of a
    // volt, 5 cV lower per step.
    static int vid_tab[64];
    static vidmap_t vid_map = {vid_tab, 64};
    const bool hub = g_platform == ZYNQ_HUB_B3 || g_platform == ZYNQ_HUB_B13;
    const bool uart = (g_vid_type >= 10 && g_vid_type <= 12 && (hub || g_platform == SOC)) ||
                      (g_vid_type == 13 && g_platform == SOC);
    if (uart) {
        for (int v = 0; v < 32; v++) vid_tab[v] = v <= 24 ? 8 * v : 201 + 9 * (v - 25);
        vid_map.tab_len = 32;
    } else {
        for (int v = 0; v < 64; v++) vid_tab[v] = 1400 - 5 * v;
    }
    kmx_vidmap_init(&vid_map);

    for (int i = 0; i < KMX_MAX_CHAIN; i++) {
        s_param[i] = c_chain_param{g_chain_id[i], o.spi_speed, o.pll, o.vol, o.vid, 300, 10, 0, false};
        s_pos_of_chain[i] = -1;
    }
    if (o.callback) kmx_chain_callback_register(on_first_chain);
    s_start = std::chrono::steady_clock::now();
    const uint16_t mask = uint16_t((1u << std::clamp(g_chain_num, 0, 8)) - 1);
    const int alive = kmx_chain_detect_all(mask, s_param, o.quick, false);
    printf("detected %d chains\n", alive);
    if (o.again_mask >= 0)
        printf("detected again %d chains\n", kmx_chain_detect_all(uint16_t(o.again_mask), s_param, o.quick, false));
    print_bring_up();
    if (o.detect_only) {
        sys_platform_exit();
        return 0;
    }

    c_fan_cfg fan;
    kmx_fanctrl_get_defcfg(&fan);
    kmx_fanctrl_init(&fan);
    pthread_t fan_thread, api;
    pthread_create(&fan_thread, nullptr, kmx_fanctrl_thread, nullptr);
    const int srv = open_api(o.port);
    if (srv >= 0) pthread_create(&api, nullptr, api_thread, reinterpret_cast<void *>(intptr_t(srv)));
    printf("mining, API on 127.0.0.1:%d\n", o.port);
    fflush(stdout);

    s_start = std::chrono::steady_clock::now();
    for (long r = 1; o.rounds < 0 || r <= o.rounds; r++) {
        mine_round(uint32_t(r));
        if (o.temps_every > 0 && r % o.temps_every == 0) {
            for (int i = 0; i < g_chain_num; i++)
                if (g_chain_id[i] >= 0 && g_chain_id[i] < 8 && g_chain_alive[g_chain_id[i]])
                    kmx_tempctrl_update_chain_temp(g_chain_id[i]);
            kmx_check_runmode_switch(uint8_t(r / o.temps_every % 2));
        }
        if (r % o.report_every == 0) print_hash(r);
        kos::sleep_ms(100);
    }
    print_hash(o.rounds);
    kos::terminate(0);
}
