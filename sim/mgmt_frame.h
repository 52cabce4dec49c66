// The stand-in management server's own frame codec, written from the frame
// layout alone and kept apart from the library's so that a mistake on one
// side cannot hide the same mistake on the other.
#pragma once

#include <cstdint>
#include <string>

namespace mgmt {

// Frame: 55 AA | total (u64 BE, whole frame) | flag (u16 BE) | payload |
// sum byte (mod-256 sum of all other bytes) | AA 55.
inline std::string encode(const std::string &payload, uint16_t flag = 0) {
    const uint64_t total = payload.size() + 15;
    std::string f;
    f += char(0x55);
    f += char(0xAA);
    for (int shift = 56; shift >= 0; shift -= 8) f += char((total >> shift) & 0xFF);
    f += char(flag >> 8);
    f += char(flag & 0xFF);
    f += payload;
    unsigned sum = 0;
    for (unsigned char c : f) sum += c;
    sum += 0xAA + 0x55;
    f += char(sum & 0xFF);
    f += char(0xAA);
    f += char(0x55);
    return f;
}

enum class Status { ok, short_frame, bad_head, bad_length, bad_sum, bad_tail };

struct Decoded {
    Status status = Status::short_frame;
    uint64_t total = 0;
    uint16_t flag = 0;
    std::string payload;
};

// Decodes one whole frame held in `f`.
inline Decoded decode(const std::string &f) {
    Decoded d;
    if (f.size() < 15) return d;
    auto byte = [&](size_t i) { return uint8_t(f[i]); };
    if (byte(0) != 0x55 || byte(1) != 0xAA) {
        d.status = Status::bad_head;
        return d;
    }
    for (size_t i = 2; i < 10; i++) d.total = d.total << 8 | byte(i);
    if (d.total != f.size()) {
        d.status = Status::bad_length;
        return d;
    }
    d.flag = uint16_t(byte(10) << 8 | byte(11));
    unsigned sum = 0;
    for (size_t i = 0; i < f.size(); i++)
        if (i != f.size() - 3) sum += byte(i);
    if ((sum & 0xFF) != byte(f.size() - 3)) {
        d.status = Status::bad_sum;
        return d;
    }
    if (byte(f.size() - 2) != 0xAA || byte(f.size() - 1) != 0x55) {
        d.status = Status::bad_tail;
        return d;
    }
    d.payload = f.substr(12, f.size() - 15);
    d.status = Status::ok;
    return d;
}

}  // namespace mgmt
