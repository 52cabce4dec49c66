// The board's DNA as the report and the legacy status read it from
// /sys/class/misc/dna/dna.
//
// Input: the file's bytes. The text handed back must end inside its 64-byte
// buffer and be the start of the file's first line.
#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "misc/kmx_report.h"
#include "misc/kmx_report_internal.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::setup_machine();
    mkdir("/sys/class/misc", 0755);
    mkdir("/sys/class/misc/dna", 0755);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    fuzz::write_or_die("/sys/class/misc/dna/dna", text);
    kmx_forget_dna();
    char dna[64 + 16];
    memset(dna, 0x5A, sizeof dna);
    if (!kmx_get_dna(dna)) fuzz::fail("dna", "read failed on a present file");
    if (!fuzz::terminated(dna, 64)) fuzz::fail("dna text not terminated in its buffer", text);
    for (size_t i = 64; i < sizeof dna; i++)
        if (uint8_t(dna[i]) != 0x5A) fuzz::fail("dna written past its buffer", text);
    const std::string got(dna);
    if (text.compare(0, got.size(), got) != 0) fuzz::fail("dna is not the start of the file", got);
    return 0;
}
