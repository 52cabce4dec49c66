// How the emulated chips work a test job of the board test: the job's data
// words decide a golden nonce; a chip whose search range holds the golden
// position answers with it. Real chips hash; this rule only has to be a
// function of the job that the table of expected results cannot stand in for.
//
// Job layouts (16-bit words, big-endian on the wire):
//   ordinary job of L words: word 0 job word (id << 12 | 0x700 | chip),
//     words 1..L-3 data with nonce, range start, range end in the last three,
//     word L-2 the CRC of words 0..L-3, word L-1 zero;
//   wide job (code 0xC): job word, then 80 words: 0..69 data, 70 and 74
//     nonce, 71 range start, 75 range start + 32, 78 the CRC of the job word
//     and words 0..77. Each of the chip's four core groups tries one
//     position per core from the range start (32 cores; 60 on model 14,
//     96 on model 15).
// The golden value G is FNV-1a over the job id and the non-zero data words
// before the nonce; its position is 0x1000 | (G & 0x7FFF) and its nonce word
// G >> 16 (wide jobs: with the four core-group bits in the low nibble).
// The file's "candidate" lines hold the solutions of chip type 12's jobs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace sim {

uint32_t test_job_golden(int job_id, const uint16_t *data, size_t n);

// Chip type 12 (reset code 0x9) finds several solutions of one job: solution
// i (0..18) lies at the golden position + i and is found when the job's
// range holds that position. Its result carries, after the header word,
// the solution's words: nonce word, position, then eight words of the
// solution's own hash; the rest of the 677-word result is zero.
constexpr int kMultiSolutions = 19;
constexpr int kSolutionWords = 10;
void test_job_solution(uint32_t g, int i, uint16_t out[kSolutionWords]);
inline uint16_t test_job_position(uint32_t g) { return uint16_t(0x1000 | (g & 0x7FFF)); }
inline uint16_t test_job_nonce(uint32_t g) { return uint16_t(g >> 16); }

// The job-vector file the board test builds its tables from, as the rule
// above answers it.
std::string test_job_vector_file();

}  // namespace sim
