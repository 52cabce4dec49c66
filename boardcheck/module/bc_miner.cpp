#include "module/bc_miner.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>

#include "module/bc_platform.h"
#include "module/kmx_log.h"
#include "module/test_log.h"

bc_miner *g_miner = nullptr;
bc_options g_bc_opts = {};

namespace {
[[noreturn]] void fatal(const char *what) {
    fprintf(stderr, "assertion failed: %s\n", what);
    abort();
}

// A decimal number; the trailing newline of an argument-file token (and
// anything else after the digits) is ignored.
int decimal(const char *s) { return int(strtol(s, nullptr, 10)); }
}  // namespace

bc_chain *bc_chain_rec(int chain) {
    if (!g_miner || !g_miner->chains || chain < 0 || chain >= BC_MAX_CHAINS) return nullptr;
    return &g_miner->chains[chain];
}

bc_chip *bc_chip_rec(int chain, int chip) {
    bc_chain *c = bc_chain_rec(chain);
    if (!c || chip < 1 || chip > BC_MAX_CHIPS) return nullptr;
    return &c->chips[chip - 1];
}

bool bc_chip_marked(int chain, int chip) {
    const bc_chain *c = bc_chain_rec(chain);
    return c && chip >= 1 && chip <= 8 && c->bist_pass_mark[chip] != 0;
}

bool parse_options(int argc, char **argv) {
    optind = 1;
    int opt;
    while ((opt = getopt(argc, argv, "ads:v:")) != -1) {
        test_logf(3, TL_PLAIN, "opt = %c\t\t", opt);
        test_logf(3, TL_PLAIN, "optarg = %s\t\t", optarg ? klog::Outside(optarg).c_str() : "(null)");
        test_logf(3, TL_PLAIN, "optind = %d\t\t", optind);
        test_logf(3, TL_PLAIN, "arg[optind] = %s\n", optind < argc ? klog::Outside(argv[optind]).c_str() : "(null)");
        switch (opt) {
        case 'a': test_log(3, TL_PLAIN, "Test All chains!"); break;
        case 'd': g_bc_opts.debug = true; break;
        case 's': {
            const int n = decimal(optarg) - 1;
            if (n < 0 || n >= BC_MAX_CHAINS) {
                test_logf(5, TL_PLAIN, "Input test chain is invalid:%d!\n", n);
                return false;
            }
            g_bc_opts.selected_chain = n;
            g_bc_opts.single_chain = true;
            test_logf(3, TL_PLAIN, "Input test chain:%d!\n", n);
            test_logf(3, TL_PLAIN, "nums_arg:%d", argc);
            if (argc >= 5 && optind + 1 < argc) {
                const int freq = decimal(argv[optind]), vid = decimal(argv[optind + 1]);
                if (freq && vid) {
                    g_bc_opts.fixed_freq = freq;
                    g_bc_opts.fixed_vid = vid;
                    g_bc_opts.fixed = true;
                    test_logf(3, TL_PLAIN, "Input pll:%d vid:%d!\n", freq, vid);
                }
            }
            break;
        }
        default: break;  // -v and unknown options change nothing
        }
    }
    return true;
}

int read_arg_file(const char *path, char store[8][12], char *argv[8]) {
    FILE *f = fopen(path, "r");
    if (!f) return -1;
    char line[1025] = {};
    const bool got = fgets(line, sizeof line, f) != nullptr;
    fclose(f);
    if (!got) return -1;
    test_logf(3, TL_PLAIN, "conf parameter:%s", klog::Outside::line(line).c_str());
    memset(store, 0, 8 * 12);
    static char blank[] = " ";
    argv[0] = blank;
    int count = 1;
    char *p = line;
    while (*p) {
        char *end = strchr(p, ' ');
        const size_t len = end ? size_t(end - p) : strlen(p);
        if (len == 1 && p[0] == '\n') break;
        if (count >= 8) {
            test_logf(4, TL_PLAIN, "conf arg num >= MAX_ARG_ITEM_LEN(%d)", count);
            break;
        }
        if (len <= 9) memcpy(store[count], p, len);
        argv[count] = store[count];
        count++;
        if (!end) break;
        p = end + 1;
    }
    for (int i = 0; i < count; i++) test_logf(3, TL_PLAIN, "args[%d]:%s", i, klog::Outside::line(argv[i]).c_str());
    return count;
}

void init_control_board(int mode) {
    g_miner = static_cast<bc_miner *>(calloc(1, sizeof(bc_miner)));
    if (!g_miner) fatal("g_miner != NULL");
    test_log(2, TL_SECTION, "system platform initial");
    sys_platform_init(mode);
}

int detect_spi_chain_plug(int mode) {
    if (!g_miner) {
        test_log(5, TL_PLAIN, "Miner pointer is NULL!\n");
        return 0;
    }
    test_log(2, TL_SECTION, "Chain Detect");
    test_log(2, TL_PLAIN, "------------------------\n");
    test_log(2, TL_PLAIN, "Detected Chain List: \n");
    int found = 0;
    for (int c = 0; c < BC_MAX_CHAINS; c++) {
        if (kmx_get_plug(c) == 0) {
            g_miner->plugged[c] = 1;
            g_miner->chain_list[found++] = uint8_t(c);
            test_logf(1, TL_PLAIN, "Chain %0d detected!\n", c);
        } else {
            g_miner->plugged[c] = 0;
        }
        test_logf(2, TL_PLAIN, g_miner->plugged[c] ? "Chain %0d detected!\n" : "Chain %0d not detected!\n", c);
    }
    test_log(2, TL_PLAIN, "Plug Value:  ");
    for (int c = BC_MAX_CHAINS - 1; c >= 0; c--) test_logf(2, TL_PLAIN, "%d", g_miner->plugged[c]);
    g_miner->chain_num = uint8_t(mode == 5 ? 1 : found);
    test_logf(3, TL_PLAIN, "\nChain numbers: %d\n", g_miner->chain_num);
    test_log(2, TL_PLAIN, "------------------------\n");
    if (g_miner->chain_num > 0) {
        g_miner->chains = static_cast<bc_chain *>(calloc(BC_MAX_CHAINS, sizeof(bc_chain)));
        if (!g_miner->chains) fatal("g_miner->chains != NULL");
        init_detected_chains(g_miner->chain_list, found);
    } else {
        test_log(4, TL_PLAIN, "No chain is plugged!\n");
    }
    return 1;
}

int chain_list_next(int chain) {
    if (!g_miner) return 0;
    for (int i = 0; i + 1 < g_miner->chain_num && i + 1 < BC_MAX_CHAINS; i++)
        if (g_miner->chain_list[i] == chain) return g_miner->chain_list[i + 1];
    return 0;
}

int chain_list_remove(int chain) {
    if (!g_miner) return 0;
    const int n = g_miner->chain_num;
    for (int i = 0; i < n && i < BC_MAX_CHAINS; i++) {
        if (g_miner->chain_list[i] != chain) continue;
        for (int k = i; k + 1 < n; k++) g_miner->chain_list[k] = g_miner->chain_list[k + 1];
        g_miner->chain_list[n - 1] = 0;
        g_miner->chain_num--;
        test_logf(2, TL_PLAIN, "Total chains: %d\n", g_miner->chain_num);
        return i < g_miner->chain_num ? g_miner->chain_list[i] : 0;
    }
    return 0;
}

void chain_list_rebuild() {
    if (!g_miner) return;
    int n = 0;
    for (int c = 0; c < BC_MAX_CHAINS; c++)
        if (g_miner->plugged[c]) g_miner->chain_list[n++] = uint8_t(c);
    g_miner->chain_num = uint8_t(n);
}

int tested_chain(const bc_options &opts, const bc_miner &m) {
    if (!opts.single_chain) return m.chain_list[0];
    const int s = opts.selected_chain;
    return s >= 0 && s < BC_MAX_CHAINS && m.plugged[s] ? s : -1;
}
