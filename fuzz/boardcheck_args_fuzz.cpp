// The board test's argument file (`boardcheck -c FILE`): its first line
// split into the argument vector, which then goes through the option
// parser as if it were the command line.
//
// Input: the file's bytes. The vector must hold 1 to 8 entries, entry 0 the
// blank, each further entry the next blank-separated token when it has at
// most 9 characters and empty otherwise, every one ending inside its
// 12-byte buffer; a selected chain that the parser accepts is a slot.
#include <getopt.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "module/bc_miner.h"
#include "module/test_log.h"

namespace {

const char *const ARG_FILE = "/tmp/fuzz/args";

// The entries the first line should give, by the file's rules.
std::vector<std::string> expected_entries(const uint8_t *data, size_t size) {
    std::string line(reinterpret_cast<const char *>(data), std::min<size_t>(size, 1024));
    const size_t nl = line.find('\n');
    if (nl != std::string::npos) line.resize(nl + 1);
    line.resize(strnlen(line.c_str(), line.size()));
    std::vector<std::string> out{" "};
    size_t p = 0;
    while (p < line.size()) {
        const size_t blank = line.find(' ', p);
        const std::string tok = line.substr(p, blank == std::string::npos ? std::string::npos : blank - p);
        if (tok == "\n" || out.size() == 8) break;
        out.push_back(tok.size() <= 9 ? tok : "");
        if (blank == std::string::npos) break;
        p = blank + 1;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::setup_machine();
    mkdir("/tmp/fuzz", 0755);
    // Lines are formatted but none is sent: the machine's log would grow
    // by several lines per input.
    g_test_log_level = 100;
    opterr = 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 4096) return -1;
    fuzz::write_or_die(ARG_FILE, std::string(reinterpret_cast<const char *>(data), size));
    char store[8][12];
    memset(store, 'x', sizeof store);
    char *args[8] = {};
    const int n = read_arg_file(ARG_FILE, store, args);
    if (size == 0) {
        if (n != -1) fuzz::fail("args", "an empty file gave a vector");
        return 0;
    }
    const std::vector<std::string> want = expected_entries(data, size);
    if (n != int(want.size())) fuzz::fail("args", "count " + std::to_string(n) + " for " + std::to_string(want.size()));
    if (strcmp(args[0], " ") != 0) fuzz::fail("args", "entry 0 is not the blank");
    for (int i = 1; i < n; i++) {
        if (args[i] != store[i]) fuzz::fail("args", "entry outside its buffer");
        if (!fuzz::terminated(store[i], sizeof store[i])) fuzz::fail("args", "entry not terminated");
        if (want[size_t(i)] != store[i]) fuzz::fail("args", "entry " + std::to_string(i) + " is " + store[i]);
    }

    g_bc_opts = {};
    if (parse_options(n, args) && g_bc_opts.single_chain &&
        (g_bc_opts.selected_chain < 0 || g_bc_opts.selected_chain > 7))
        fuzz::fail("args", "selected chain outside the slots");
    if (g_bc_opts.fixed && (!g_bc_opts.fixed_freq || !g_bc_opts.fixed_vid)) fuzz::fail("args", "fixed with a zero");
    for (const std::string &cmd : fuzz::shell().take()) fuzz::fail("unexpected shell command", cmd);
    return 0;
}
