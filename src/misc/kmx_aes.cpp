// AES-128 (FIPS-197) in ECB mode for the encrypted pool file.
#include <cstdint>
#include <cstring>

#include "misc/kmx_pool.h"

namespace {

const uint8_t Sbox[256] = {
    0x63, 0x7c, 0x77, 0x7b, 0xf2, 0x6b, 0x6f, 0xc5, 0x30, 0x01, 0x67, 0x2b, 0xfe, 0xd7, 0xab, 0x76, 0xca, 0x82, 0xc9,
    0x7d, 0xfa, 0x59, 0x47, 0xf0, 0xad, 0xd4, 0xa2, 0xaf, 0x9c, 0xa4, 0x72, 0xc0, 0xb7, 0xfd, 0x93, 0x26, 0x36, 0x3f,
    0xf7, 0xcc, 0x34, 0xa5, 0xe5, 0xf1, 0x71, 0xd8, 0x31, 0x15, 0x04, 0xc7, 0x23, 0xc3, 0x18, 0x96, 0x05, 0x9a, 0x07,
    0x12, 0x80, 0xe2, 0xeb, 0x27, 0xb2, 0x75, 0x09, 0x83, 0x2c, 0x1a, 0x1b, 0x6e, 0x5a, 0xa0, 0x52, 0x3b, 0xd6, 0xb3,
    0x29, 0xe3, 0x2f, 0x84, 0x53, 0xd1, 0x00, 0xed, 0x20, 0xfc, 0xb1, 0x5b, 0x6a, 0xcb, 0xbe, 0x39, 0x4a, 0x4c, 0x58,
    0xcf, 0xd0, 0xef, 0xaa, 0xfb, 0x43, 0x4d, 0x33, 0x85, 0x45, 0xf9, 0x02, 0x7f, 0x50, 0x3c, 0x9f, 0xa8, 0x51, 0xa3,
    0x40, 0x8f, 0x92, 0x9d, 0x38, 0xf5, 0xbc, 0xb6, 0xda, 0x21, 0x10, 0xff, 0xf3, 0xd2, 0xcd, 0x0c, 0x13, 0xec, 0x5f,
    0x97, 0x44, 0x17, 0xc4, 0xa7, 0x7e, 0x3d, 0x64, 0x5d, 0x19, 0x73, 0x60, 0x81, 0x4f, 0xdc, 0x22, 0x2a, 0x90, 0x88,
    0x46, 0xee, 0xb8, 0x14, 0xde, 0x5e, 0x0b, 0xdb, 0xe0, 0x32, 0x3a, 0x0a, 0x49, 0x06, 0x24, 0x5c, 0xc2, 0xd3, 0xac,
    0x62, 0x91, 0x95, 0xe4, 0x79, 0xe7, 0xc8, 0x37, 0x6d, 0x8d, 0xd5, 0x4e, 0xa9, 0x6c, 0x56, 0xf4, 0xea, 0x65, 0x7a,
    0xae, 0x08, 0xba, 0x78, 0x25, 0x2e, 0x1c, 0xa6, 0xb4, 0xc6, 0xe8, 0xdd, 0x74, 0x1f, 0x4b, 0xbd, 0x8b, 0x8a, 0x70,
    0x3e, 0xb5, 0x66, 0x48, 0x03, 0xf6, 0x0e, 0x61, 0x35, 0x57, 0xb9, 0x86, 0xc1, 0x1d, 0x9e, 0xe1, 0xf8, 0x98, 0x11,
    0x69, 0xd9, 0x8e, 0x94, 0x9b, 0x1e, 0x87, 0xe9, 0xce, 0x55, 0x28, 0xdf, 0x8c, 0xa1, 0x89, 0x0d, 0xbf, 0xe6, 0x42,
    0x68, 0x41, 0x99, 0x2d, 0x0f, 0xb0, 0x54, 0xbb, 0x16};

uint8_t InvSbox[256];
uint8_t Xtime2[256], Xtime9[256], XtimeB[256], XtimeD[256], XtimeE[256], Xtime3[256];

uint8_t gmul(uint8_t a, uint8_t b) {
    uint8_t p = 0;
    while (b) {
        if (b & 1) p ^= a;
        a = uint8_t((a << 1) ^ ((a & 0x80) ? 0x1b : 0));
        b >>= 1;
    }
    return p;
}

// The inverse box and the multiplication tables follow from the S-box.
struct Tables {
    Tables() {
        for (int i = 0; i < 256; i++) {
            InvSbox[Sbox[i]] = uint8_t(i);
            Xtime2[i] = gmul(uint8_t(i), 2);
            Xtime3[i] = gmul(uint8_t(i), 3);
            Xtime9[i] = gmul(uint8_t(i), 9);
            XtimeB[i] = gmul(uint8_t(i), 11);
            XtimeD[i] = gmul(uint8_t(i), 13);
            XtimeE[i] = gmul(uint8_t(i), 14);
        }
    }
} s_tables;

const uint8_t Rcon[11] = {0x00, 0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80, 0x1b, 0x36};

void ExpandKey(const uint8_t *key, uint8_t *expkey) {
    memcpy(expkey, key, 16);
    for (int i = 4; i < 44; i++) {
        uint8_t t[4];
        memcpy(t, expkey + 4 * (i - 1), 4);
        if (i % 4 == 0) {
            uint8_t t0 = t[0];
            t[0] = uint8_t(Sbox[t[1]] ^ Rcon[i / 4]);
            t[1] = Sbox[t[2]];
            t[2] = Sbox[t[3]];
            t[3] = Sbox[t0];
        }
        for (int j = 0; j < 4; j++) expkey[4 * i + j] = uint8_t(expkey[4 * (i - 4) + j] ^ t[j]);
    }
}

void AddRoundKey(uint8_t *state, const uint8_t *key) {
    for (int i = 0; i < 16; i++) state[i] ^= key[i];
}

// State bytes are column-major: state[4 * col + row].
void ShiftRows(uint8_t *s) {
    uint8_t t[16];
    for (int c = 0; c < 4; c++)
        for (int r = 0; r < 4; r++) t[4 * c + r] = Sbox[s[4 * ((c + r) % 4) + r]];
    memcpy(s, t, 16);
}

void InvShiftRows(uint8_t *s) {
    uint8_t t[16];
    for (int c = 0; c < 4; c++)
        for (int r = 0; r < 4; r++) t[4 * ((c + r) % 4) + r] = InvSbox[s[4 * c + r]];
    memcpy(s, t, 16);
}

void MixSubColumns(uint8_t *s) {
    for (int c = 0; c < 4; c++) {
        uint8_t *a = s + 4 * c;
        uint8_t b0 = a[0], b1 = a[1], b2 = a[2], b3 = a[3];
        a[0] = uint8_t(Xtime2[b0] ^ Xtime3[b1] ^ b2 ^ b3);
        a[1] = uint8_t(b0 ^ Xtime2[b1] ^ Xtime3[b2] ^ b3);
        a[2] = uint8_t(b0 ^ b1 ^ Xtime2[b2] ^ Xtime3[b3]);
        a[3] = uint8_t(Xtime3[b0] ^ b1 ^ b2 ^ Xtime2[b3]);
    }
}

void InvMixSubColumns(uint8_t *s) {
    for (int c = 0; c < 4; c++) {
        uint8_t *a = s + 4 * c;
        uint8_t b0 = a[0], b1 = a[1], b2 = a[2], b3 = a[3];
        a[0] = uint8_t(XtimeE[b0] ^ XtimeB[b1] ^ XtimeD[b2] ^ Xtime9[b3]);
        a[1] = uint8_t(Xtime9[b0] ^ XtimeE[b1] ^ XtimeB[b2] ^ XtimeD[b3]);
        a[2] = uint8_t(XtimeD[b0] ^ Xtime9[b1] ^ XtimeE[b2] ^ XtimeB[b3]);
        a[3] = uint8_t(XtimeB[b0] ^ XtimeD[b1] ^ Xtime9[b2] ^ XtimeE[b3]);
    }
}

void Encrypt(uint8_t *block, const uint8_t *expkey) {
    AddRoundKey(block, expkey);
    for (int round = 1; round < 10; round++) {
        ShiftRows(block);  // SubBytes folded in
        MixSubColumns(block);
        AddRoundKey(block, expkey + 16 * round);
    }
    ShiftRows(block);
    AddRoundKey(block, expkey + 160);
}

void Decrypt(uint8_t *block, const uint8_t *expkey) {
    AddRoundKey(block, expkey + 160);
    InvShiftRows(block);  // InvSubBytes folded in
    for (int round = 9; round >= 1; round--) {
        AddRoundKey(block, expkey + 16 * round);
        InvMixSubColumns(block);
        InvShiftRows(block);
    }
    AddRoundKey(block, expkey);
}

bool run(unsigned char *Key, unsigned char *InText, int len, unsigned char *OutText, bool enc) {
    uint8_t area[1024] = {0};
    if (len < 0) len = 0;
    if (len > 1024) len = 1024;
    memcpy(area, InText, size_t(len));
    int rounded = (len + 15) / 16 * 16;
    uint8_t expkey[176];
    ExpandKey(Key, expkey);
    for (int off = 0; off < rounded; off += 16) enc ? Encrypt(area + off, expkey) : Decrypt(area + off, expkey);
    memcpy(OutText, area, size_t(rounded));
    return true;
}

}  // namespace

extern "C" bool AES_Encrypt(unsigned char *Key, unsigned char *InText, int len, unsigned char *OutText) {
    return run(Key, InText, len, OutText, true);
}

extern "C" bool AES_Decrypt(unsigned char *Key, unsigned char *InText, int len, unsigned char *OutText) {
    return run(Key, InText, len, OutText, false);
}
