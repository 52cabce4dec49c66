// stepctl's two inputs: the steps file's line and the miner's /tmp/errcode.
// The program's own parsers are compiled in here (its main renamed).
//
// Input: one selector byte (bit 0: the steps line, else /tmp/errcode), then
// the text. Steps: at most ten, each a mode 0 to 3, in the order their
// letters stand on the line. A code read from /tmp/errcode must be written
// there in digits.
#include <cstdint>
#include <string>

#include "fuzz_support.h"

#define main stepctl_main
#include "../stepctl/main.cpp"
#undef main

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::setup_machine();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 || size > 1 + 1023) return -1;
    const std::string text(reinterpret_cast<const char *>(data) + 1, size - 1);
    if (data[0] & 1) {
        std::string line = text.substr(0, text.find('\0'));
        const std::string kept = line;
        const std::vector<int> steps = parse_steps(line.data());
        if (steps.size() > size_t(kMaxSteps)) fuzz::fail("more than ten steps", kept);
        size_t at = 0;
        for (int s : steps) {
            if (s < 0 || s > 3) fuzz::fail("step outside the four modes", kept);
            at = kept.find("ebfp"[s], at);
            if (at == std::string::npos) fuzz::fail("step without its letter on the line", kept);
            at++;
        }
        return 0;
    }
    fuzz::write_or_die(kErrcode, text);
    int code = -12345;
    if (read_errcode(code) && text.find(std::to_string(code < 0 ? -code : code)) == std::string::npos)
        fuzz::fail("code not in the file", std::to_string(code) + " from " + text);
    return 0;
}
