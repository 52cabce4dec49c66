// The Zynq pool-change history (flash partition 11, twenty 256-byte slots
// a block): the slot counter file /config/author.au, the last stored slot
// as dd copied it out, and the new pool information.
//
// Input: the counter text, a NUL, the stored slot, a NUL, the new pool
// information. No dd command may name a slot outside the block, and the
// counter written back must be the slot written plus one.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_support.h"
#include "zynq/zynq_chain.h"

namespace {

long number_after(const std::string &cmd, const char *key) {
    const size_t at = cmd.find(key);
    return at == std::string::npos ? -999 : strtol(cmd.c_str() + at + strlen(key), nullptr, 10);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::setup_machine();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const auto [counter, rest] = fuzz::split_at_nul(reinterpret_cast<const uint8_t *>(data), size);
    const auto [stored, fresh] = fuzz::split_at_nul(reinterpret_cast<const uint8_t *>(rest.data()), rest.size());
    fuzz::write_or_die("/config/author.au", counter);
    fuzz::write_or_die("/tmp/com_pool.info", stored);
    fuzz::write_or_die("/tmp/pool_info.au", fresh);
    fuzz::shell().take();
    zynq_record_params();
    long written = -1;
    for (const std::string &cmd : fuzz::shell().take()) {
        if (cmd.find("if=/dev/mtdblock11") != std::string::npos && cmd.find("skip=") != std::string::npos) {
            const long skip = number_after(cmd, "skip=");
            // Slot -1: no slot stored yet, the copy fails and nothing is compared.
            if (skip < -1 || skip > 19) fuzz::fail("read of a slot outside the block", cmd);
        }
        if (cmd.find("of=/dev/mtdblock11") != std::string::npos && cmd.find("bs=256") != std::string::npos) {
            written = number_after(cmd, "seek=");
            if (written < 0 || written > 19) fuzz::fail("write to a slot outside the block", cmd);
        }
    }
    if (written >= 0) {
        std::string text;
        if (!kos::read_file("/config/author.au", text)) fuzz::fail("counter file", "gone");
        if (atol(text.c_str()) != written + 1) fuzz::fail("counter is not the slot written plus one", text);
    }
    return 0;
}
