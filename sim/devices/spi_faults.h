// Faults of the hub's SPI engines (see hub_spi_engine.cpp for the control
// lines): from the machine description's "spi_faults" list and the control
// file <sim dir>/spi_faults, which is re-read whenever it changes (it is
// looked at on every status read and command, so a test's change acts on
// the very next poll).
#pragma once

#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>

namespace sim {

struct SpiFault {
    unsigned busy_polls = 0;        // status reads shown busy after each frame
    bool busy_forever = false;      // every status read shows busy
    uint32_t busy_mask = 0x03000040;
    unsigned short_words = ~0u;     // most words a reply carries
    bool record = false;            // log every push command
};

class SpiFaults {
public:
    // Re-reads the control file when it appeared, changed or went away.
    // Chain threads call both at once.
    void refresh();
    SpiFault chain(unsigned c) {
        std::lock_guard<std::mutex> g(lock_);
        return fault_[c < 8 ? c : 0];
    }

private:
    void load();
    void apply(const std::string &line);
    std::mutex lock_;
    SpiFault fault_[8];
    bool loaded_ = false;
    bool had_file_ = false;
    struct timespec mtime_ {};
    long long size_ = -1;
    unsigned long long ino_ = 0;
};

}  // namespace sim
