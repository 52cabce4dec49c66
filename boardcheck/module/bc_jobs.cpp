// The soft BIST: stored test jobs to every chip, the nonces read back with
// the hub's automatic result polling, and the misses turned into per-chip
// and board error rates and the soft-BIST flags.
#include "module/bc_jobs.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "drv/bc_hub.h"
#include "drv/kmx_chip_frame_internal.h"
#include "module/bc_checks.h"
#include "module/bc_job_vectors.h"
#include "module/bc_miner.h"
#include "module/bc_platform.h"
#include "module/bc_steps.h"
#include "module/chip_features.h"
#include "module/test_log.h"
#include "os/os.h"

const bc_job_vector *bc_find_job_vector(int chip_type, int job_id) {
    const char *family = nullptr;
    for (int i = 0; i < g_bc_vector_family_count; i++)
        if (g_bc_vector_families[i].chip_type == chip_type) family = g_bc_vector_families[i].name;
    if (!family) return nullptr;
    for (int i = 0; i < g_bc_job_vector_count; i++)
        if (g_bc_job_vectors[i].job_id == job_id && strcmp(g_bc_job_vectors[i].family, family) == 0)
            return &g_bc_job_vectors[i];
    return nullptr;
}

int bc_find_candidates(int chip_type, int job_id, const bc_candidate *out[], int max) {
    const bc_job_vector *v = bc_find_job_vector(chip_type, job_id);
    int n = 0;
    for (int i = 0; v && i < g_bc_candidate_count; i++)
        if (g_bc_candidates[i].job_id == job_id && strcmp(g_bc_candidates[i].family, v->family) == 0) {
            if (n < max) out[n] = &g_bc_candidates[i];
            n++;
        }
    return n;
}

float soft_bist_rate(long errors, long jobs) { return jobs > 0 ? float(errors) * 100.0f / float(jobs) : 0.0f; }

int missing_result_penalty(int chip_type) { return is_wide_type(chip_type) ? 4 : 1; }

uint32_t job_range_end(int chip_type, uint32_t start, int cores) {
    const uint32_t span = chip_type == 1 ? uint32_t(cores) * 16 : chip_type == 13 ? uint32_t(cores) * 25 : uint32_t(cores);
    return start + span - 1;
}

namespace {

void put16(uint8_t *p, uint16_t v) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}
uint16_t get16(const uint8_t *p) { return uint16_t(p[0] << 8 | p[1]); }

const bc_chain *chain_of(int chain) { return bc_chain_rec(chain); }

}  // namespace

int build_test_job(int chain, int chip, int chip_type, uint16_t job_word, uint16_t nonce, uint16_t nonce_start) {
    const bc_chain *c = chain_of(chain);
    const bc_job_vector *v = bc_find_job_vector(chip_type, job_word >> 12);
    const int L = c ? c->feat.job_len : 0;
    if (!v || L < 6 || 2 * L > BC_SPI_TX_BYTES + 2) {
        test_logf(5, TL_PLAIN, "chain%d: no test job for chip type %d job %d\n", chain, chip_type, job_word >> 12);
        return 0;
    }
    uint8_t job[2 * 128] = {};
    put16(job, job_word);
    // Words 1..L-3 hold the row, zero-filled where the row is shorter.
    const int copy = v->words < L - 3 ? v->words : L - 3;
    for (int i = 0; i < copy; i++) put16(job + 2 * (1 + i), v->row[i]);
    put16(job + 2 * (L - 5), nonce);
    put16(job + 2 * (L - 4), nonce_start);
    put16(job + 2 * (L - 3), uint16_t(job_range_end(chip_type, nonce_start, c->feat.cores_per_chip)));
    chip_frame_seal(job, 2 * (L - 2));
    if (!kmx_cmd_write_job(chain, chip, job, 2 * L)) {
        test_log(5, TL_PLAIN, "return = CMD_RETURN_FAIL\n");
        return 0;
    }
    return 1;
}

int build_wide_job(int chain, int chip, int chip_type, uint16_t job_word, uint16_t nonce, uint16_t range) {
    const bc_job_vector *v = bc_find_job_vector(chip_type, job_word >> 12);
    if (!v || v->words < 30) {
        test_logf(5, TL_PLAIN, "chain%d: no test job for chip type %d job %d\n", chain, chip_type, job_word >> 12);
        return 0;
    }
    uint8_t job[162] = {};
    uint8_t *w = job + 2;  // word i of the job at w + 2i
    put16(job, job_word);
    for (int c = 0; c < 4; c++)
        for (int i = 0; i < 16; i++) put16(w + 2 * (16 * c + i), v->row[2 + i]);
    for (int i = 0; i < 12; i++) put16(w + 2 * (64 + i), v->row[18 + i]);
    put16(w + 2 * 70, nonce);
    put16(w + 2 * 74, nonce);
    put16(w + 2 * 71, range);
    put16(w + 2 * 75, uint16_t(range + 32));
    if (chip_type == 15) {
        put16(w + 2 * 72, 0);
        put16(w + 2 * 73, 0xFFFF);
    }
    put16(w + 2 * 76, 0);
    put16(w + 2 * 77, 0);
    chip_frame_seal(job, 158);
    if (!kmx_cmd_write_job(chain, chip, job, sizeof job)) {
        test_log(5, TL_PLAIN, "return = CMD_RETURN_FAIL\n");
        return 0;
    }
    return 1;
}

namespace {

// Chip type 12 answers each job with several results, read from the chain's
// result queue a fixed number of times; each chip owes one result per
// stored candidate.
constexpr int kFifoReads = 1200;
constexpr int kCandidates = 19;

// Whether the reply's data words (after its header word) are the candidate's.
bool candidate_match(const uint8_t *rx, int words, const bc_candidate &cand) {
    if (cand.n > words - 1) return false;
    for (int k = 0; k < cand.n; k++)
        if (get16(rx + 2 * (1 + k)) != cand.words[k]) return false;
    return true;
}

void read_result_fifo(int chain, int job_id, int chips, int result_words, int err[]) {
    static uint8_t rx[BC_CMD_BUF];
    const bc_candidate *cand[kCandidates] = {};
    if (bc_find_candidates(12, job_id, cand, kCandidates) != kCandidates || 2 * result_words > int(sizeof rx)) {
        // Without its candidates (or room for a result) no result can be
        // judged: every chip misses all.
        test_logf(5, TL_PLAIN, "chain%d: no %d candidate results for chip type 12 job %d\n", chain, kCandidates, job_id);
        for (int chip = 1; chip <= chips; chip++) err[chip] += kCandidates;
        return;
    }
    uint32_t matched[BC_SOFT_BIST_CHIPS + 1] = {};  // one bit per candidate found
    unsigned returns[BC_SOFT_BIST_CHIPS + 1] = {}, bad[BC_SOFT_BIST_CHIPS + 1] = {};
    for (int i = 0; i < kFifoReads; i++) {
        memset(rx, 0, size_t(2 * result_words));
        if (!kmx_cmd_read_result(chain, 0, rx, 2 * result_words)) continue;
        const int chip = rx[1];
        if (chip < 1 || chip > chips) continue;
        int j = 0;
        while (j < kCandidates && !candidate_match(rx, result_words, *cand[j])) j++;
        if (j == kCandidates) {
            bad[chip]++;
            test_log(4, TL_PLAIN, "nonce compare fail");
            test_logf(4, TL_PLAIN, "total_err_nonce[%u]=%u", unsigned(chip), bad[chip]);
            test_logf(4, TL_PLAIN, "Nonce error for chip %u ", unsigned(chip));
            continue;
        }
        // A result read twice does not stand in for one never sent.
        if (!(matched[chip] >> j & 1)) matched[chip] |= 1u << j, returns[chip]++;
        test_logf(2, TL_PLAIN, "chip %d ok %u!, chip_nonce_return[%u]= %u\r\n", chip, unsigned(j), unsigned(chip),
                  returns[chip]);
    }
    for (int chip = 1; chip <= chips; chip++)
        if (!returns[chip]) test_logf(5, TL_PLAIN, "ERROR chip %u has no nonce return\r\n", unsigned(chip));
    for (int chip = 1; chip <= chips; chip++) {
        err[chip] += kCandidates - int(returns[chip]);
        if (returns[chip] < unsigned(kCandidates))
            test_logf(4, TL_PLAIN, "ERROR : chip %u : %u\r\n", unsigned(chip), unsigned(kCandidates) - returns[chip]);
    }
    for (int chip = 1; chip <= chips; chip++)
        test_logf(3, TL_PLAIN, "correct : chip %u : %u\r\n", unsigned(chip), returns[chip]);
}

}  // namespace

int run_nonce_check(int chain, int chip_type, int job_id, int chips, int rounds, int err[]) {
    const bc_chain *c = chain_of(chain);
    const bc_job_vector *v = bc_find_job_vector(chip_type, job_id);
    if (!c || !v || chips < 1 || chips > BC_SOFT_BIST_CHIPS) return 0;
    const bool wide = is_wide_type(chip_type);
    const int n = c->feat.result_len + 2;  // header and data, CRC, one pad word
    const int wait = wide ? 15000 : chip_type == 13 ? 10000 : 50000;
    const uint8_t pattern = chip_type == 3 || chip_type == 8 ? 0xE1 : chip_type == 13 ? 0x24 : 0xA4;
    // Where the nonce and range words of a result sit.
    const int nonce_w = chip_type == 13 ? 18 : 1, range_w = chip_type == 13 ? 17 : 2;
    for (int r = 0; r < rounds; r++) {
        uint8_t returned[BC_SOFT_BIST_CHIPS + 1] = {};
        uint8_t mismatched[BC_SOFT_BIST_CHIPS + 1] = {};
        const uint8_t pat[2] = {pattern, pattern};
        kmx_cmd_reset(chain, 0, pat, nullptr);
        const uint16_t start = uint16_t(chip_type == 1 ? v->range - 16 * r : v->range - r);
        for (int chip = chips; chip >= 1; chip--) {
            if (wide)
                build_wide_job(chain, chip, chip_type, uint16_t(job_id << 12 | 0xC00 | chip), v->nonce, start);
            else
                build_test_job(chain, chip, chip_type, uint16_t(job_id << 12 | 0x700 | chip), v->nonce, start);
        }
        if (chip_type == 12) {
            // Round 0 only: its results are all the chips owe.
            read_result_fifo(chain, job_id, chips, c->feat.result_len, err);
            return 0;
        }
        kos::sleep_ms(1);
        if (chip_type == 3) kos::sleep_ms(100);
        kmx_cmd_auto_nonce(chain, 0x800, n);
        test_log(2, TL_PLAIN, "job_id\t core_num\t chip_id\t\t\t cmd08_rx_buf\n");
        for (int i = 0; i < chips; i++) {
            if (!job_hook(chain, n, wait)) break;
            uint8_t rx[64] = {};
            if (!kmx_cmd_read_nonce(chain, rx, n)) continue;
            std::string line;
            for (int k = 0; k < n; k++) {
                char t[12];
                snprintf(t, sizeof t, "%04x |", get16(rx + 2 * k));
                line += t;
            }
            test_logf(2, TL_PLAIN, "%s\n", line.c_str());
            const uint16_t w0 = get16(rx);
            const int chip = w0 & 0xFF;
            if (((w0 >> 8) & 0xF) != 0x8 || chip < 1 || chip > chips) continue;
            returned[chip]++;
            const uint16_t got_n = get16(rx + 2 * nonce_w), got_r = get16(rx + 2 * range_w);
            const bool match = wide ? (got_n & 0xFFF0) == (v->nonce & 0xFFF0) && got_r == v->range
                                    : got_n == v->nonce && got_r == v->range;
            if (match) {
                // A wide job's low nibble: one bit per core group that found it.
                if (wide)
                    for (int b = 0; b < 4; b++) err[chip] += ((got_n >> b) & 1) ? 0 : 1;
                continue;
            }
            if (wide || !mismatched[chip]) err[chip] += wide ? 4 : 1;
            mismatched[chip] = 1;
            test_logf(4, TL_PLAIN, "Nonce ERROR : Round %lu Chip %d nonce = %04x %04x, Exp nonce = %04x %04x\n",
                      (unsigned long)r, chip, got_n, got_r, v->nonce, v->range);
        }
        std::string missing;
        for (int chip = 1; chip <= chips; chip++)
            if (!returned[chip]) {
                err[chip] += missing_result_penalty(chip_type);
                char t[16];
                snprintf(t, sizeof t, "%0ld ", long(chip));
                missing += t;
            }
        if (!missing.empty()) test_logf(4, TL_PLAIN, "cmd08 no return: %s\n", missing.c_str());
        kmx_cmd_auto_nonce(chain, 0, 0);
    }
    return 0;
}

namespace {

// The memory steps' failure word of a type-13 chip (cache check, low-speed
// training, high-speed re-configuration, DAG wait).
uint32_t memory_failures(const bc_chip &m) {
    return uint32_t(m.cache_check_failed) | uint32_t(m.low_speed_train_failed) << 8 | uint32_t(m.recfg_failed) << 16 |
           uint32_t(m.dag_timeout) << 24;
}

}  // namespace

int job_bist(int chain, int chip_type, int chips, int mode) {
    bc_chain *cp = bc_chain_rec(chain);
    if (!cp) return 0;
    bc_chain &c = *cp;
    test_logf(3, TL_PLAIN, "chain%d: do job bist\n", chain);
    uint8_t img[12] = {};
    if (!kmx_cmd_read_register(chain, 1, img, 12)) {
        memset(img, 0, sizeof img);
        test_log(5, TL_PLAIN, "failed to read!!!\n");
    }
    test_log_hexdump(img, 12, 2, TL_PLAIN);
    test_logf(2, TL_PLAIN, "%3d\t%2d\t\n", img[10], img[11]);
    const int per_chip = c.feat.jobs_per_chip;
    const long board_total = long(chips) * per_chip;
    test_logf(2, TL_PLAIN, "chain_id=%d, chip_type=%d, num=%d, chip_total_job=%d, board_total_job=%ld\n", chain, chip_type,
              chips, per_chip, board_total);
    // Chip type 12's results are read from the chain's result queue; the
    // others' come through the automatic polling, which carries 32 words.
    const bool fits = chip_type == 12 || c.feat.result_len + 2 <= 32;
    if (chips < 1 || chips > BC_SOFT_BIST_CHIPS || !bc_find_job_vector(chip_type, 1) || chip_type == 11 || !fits ||
        per_chip == 0) {
        // No stored jobs, or results the reads cannot carry.
        test_logf(5, TL_PLAIN, "chain%d: soft bist cannot run for chip type %d with %d chips\n", chain, chip_type, chips);
        c.chip_softbist_failed = 1;
        return 0;
    }
    const int rounds_per_job = chip_type == 13 ? c.feat.cores_per_chip * 25 : c.feat.cores_per_chip;
    const int jobs = c.feat.job_rounds > 8 ? 8 : c.feat.job_rounds;
    static int err[8][BC_SOFT_BIST_CHIPS + 1];
    memset(err, 0, sizeof err);
    for (int id = 1; id <= jobs; id++) {
        test_logf(3, TL_PLAIN, "job_id:%d job_num:%d\n", id, rounds_per_job);
        run_nonce_check(chain, chip_type, id, chips, rounds_per_job, err[id - 1]);
    }
    long all = 0;
    int good = 0;
    for (int chip = 1; chip <= chips; chip++) {
        bc_chip &rec = c.chips[chip - 1];
        if (chip_type == 13 && bc_chip_marked(chain, chip)) continue;
        std::string line;
        char t[24];
        snprintf(t, sizeof t, "Chip %02d: ", chip);
        line = t;
        long sum = 0;
        for (int id = 1; id <= jobs; id++) {
            const int e = err[id - 1][chip];
            snprintf(t, sizeof t, e ? "%4d\t" : "   -\t", e);
            line += t;
            rec.nonces[id - 1] = uint16_t(e);
            sum += e;
        }
        const float rate = soft_bist_rate(sum, per_chip);
        rec.err_sum = uint16_t(sum > 0xFFFF ? 0xFFFF : sum);
        rec.err_rate = rate;
        snprintf(t, sizeof t, "%5.1f\n", double(rate));
        line += t;
        test_log(3, TL_PLAIN, line.c_str());
        all += sum;
        if (sum == 0) good++;
        // A chip at the limit fails the test whatever its type (a memory
        // chip is also kept out of mining below); the report lists it under E3.
        const bool over = rate >= float(c.feat.chip_err_limit);
        if (over) {
            test_logf(5, TL_PLAIN, "Chip %4d soft bist error rate %2.3f%%!!!\n", chip, double(rate));
            c.chip_softbist_failed = 1;
        }
        if (chip_type == 13) {
            // A memory chip whose memory steps failed cannot mine, whatever
            // its nonces said.
            const uint32_t mem = memory_failures(rec);
            if (mem) {
                rec.err_rate = 100.0f;
                rec.disabled = 1;
                c.chip_softbist_failed = 1;
                test_logf(5, TL_PLAIN, "Chip %4d memory failure word 0x%08x\n", chip, unsigned(mem));
            } else if (over) {
                rec.disabled = 1;
            } else if (chip <= 8) {
                c.bist_pass_mark[chip] = 1;
            }
        }
    }
    c.board_err_rate = soft_bist_rate(all, board_total);
    if (chip_type != 13) {
        if (c.volt_spread) {
            const int first = c.volt_group * 4;
            for (int i = first; i < first + 4 && i < chips; i++)
                if (c.chips[i].err_rate > 50.0f) c.volt_group_softbist_failed = 1;
        }
        if (c.board_err_rate >= float(c.feat.board_err_limit)) {
            test_logf(5, TL_PLAIN, "Board soft bist error rate %7.3f%%!!!\n", double(c.board_err_rate));
            c.board_softbist_high = 1;
        }
        test_log(3, TL_PLAIN, "------------------------------------------\n");
        test_logf(3, TL_PLAIN, "Total Soft BIST Good Chips: %d, Error Rate: %7.3f%%\n", good, double(c.board_err_rate));
        test_log(3, TL_PLAIN, "------------------------------------------\n");
    }
    if (mode == TEST_MODE_PRE_FIN) return c.chip_softbist_failed || c.board_softbist_high || c.volt_group_softbist_failed ? 0 : 1;
    if (mode == TEST_MODE_GRADING) return c.volt_group_softbist_failed ? 0 : 1;
    return 1;
}
