// The board test's check limits, soft-BIST arithmetic and the job vectors
// the build makes from the shipped data file.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "module/bc_checks.h"
#include "module/bc_job_vectors.h"
#include "module/bc_jobs.h"
#include "sim/devices/test_jobs.h"

namespace {

TEST(CheckLimits, TemperatureEdges) {
    EXPECT_EQ(temp_verdict(120.0f), 120.0f);
    EXPECT_EQ(temp_verdict(120.5f), 9999.0f);
    EXPECT_EQ(temp_verdict(-40.0f), -40.0f);
    EXPECT_EQ(temp_verdict(-40.5f), -9999.0f);
}

TEST(CheckLimits, VoltageEdgesByChipType) {
    EXPECT_FALSE(volt_out_of_limits(0, 0.90f, 0.32f));
    EXPECT_TRUE(volt_out_of_limits(0, 0.91f, 0.32f));
    EXPECT_TRUE(volt_out_of_limits(0, 0.31f, 0.32f));
    EXPECT_FALSE(volt_out_of_limits(0, 0.32f, 0.32f));
    // Type 5 has no voltage limits at all.
    EXPECT_FALSE(volt_out_of_limits(5, 0.90f, 0.0f));
    EXPECT_FALSE(volt_out_of_limits(5, 0.91f, 0.0f));
    for (int t : {0, 10, 13, 14, 15}) EXPECT_TRUE(has_volt_limits(t)) << t;
    for (int t : {1, 2, 3, 4, 5, 6, 7, 8, 9, 11, 12}) EXPECT_FALSE(has_volt_limits(t)) << t;
}

TEST(CheckLimits, HashRateOfAScanPoint) {
    EXPECT_NEAR(scan_hash_rate(0, 68, 900, 32, 0.0f), 3.917, 0.001);
    EXPECT_NEAR(scan_hash_rate(1, 72, 600, 9, 10.0f), 300 * 0.00426 * 72 * 0.9, 0.001);
    EXPECT_EQ(scan_hash_rate(5, 60, 600, 6, 0.0f), 0.0f);
}

TEST(SoftBist, RatesAndMissingResults) {
    char t[16];
    snprintf(t, sizeof t, "%5.1f", double(soft_bist_rate(64, 640)));
    EXPECT_STREQ(t, " 10.0");
    EXPECT_LT(soft_bist_rate(64, 640), 99.0f);
    EXPECT_EQ(soft_bist_rate(5, 0), 0.0f);  // no jobs: no division
    // A board of 169 chips at 1920 jobs overflows 16 bits; the rate does not.
    EXPECT_NEAR(soft_bist_rate(169L * 1920, 169L * 1920), 100.0f, 0.001);
    EXPECT_EQ(missing_result_penalty(0), 4);
    EXPECT_EQ(missing_result_penalty(5), 1);
    for (int t : {10, 14, 15}) EXPECT_EQ(missing_result_penalty(t), 4);
    EXPECT_EQ(missing_result_penalty(13), 1);
}

TEST(SoftBist, RangeEnds) {
    EXPECT_EQ(job_range_end(13, 1000, 16), 1399u);
    EXPECT_EQ(job_range_end(1, 1000, 9), 1143u);
    EXPECT_EQ(job_range_end(5, 1000, 6), 1005u);
}

TEST(JobVectors, ShippedFileIsTheEmulatedChipsRule) {
    std::ifstream in(std::string(KMX_SOURCE_DIR) + "/boardcheck/data/job_vectors.txt");
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), sim::test_job_vector_file());
    EXPECT_NE(text.str().find("fit the emulated chips only"), std::string::npos);
}

TEST(JobVectors, FamiliesAndRows) {
    const bc_job_vector *w = bc_find_job_vector(0, 1);
    ASSERT_NE(w, nullptr);
    EXPECT_STREQ(w->family, "wide");
    EXPECT_EQ(w->words, 78);
    for (int t : {10, 14, 15}) EXPECT_EQ(bc_find_job_vector(t, 3)->family, bc_find_job_vector(0, 3)->family);
    EXPECT_EQ(bc_find_job_vector(13, 1)->words, 40);
    EXPECT_EQ(bc_find_job_vector(1, 5)->words, 44);
    EXPECT_EQ(bc_find_job_vector(2, 2), bc_find_job_vector(5, 2));
    EXPECT_EQ(bc_find_job_vector(11, 1), bc_find_job_vector(3, 1));
    EXPECT_EQ(bc_find_job_vector(6, 1)->words, 108);
    EXPECT_EQ(bc_find_job_vector(0, 6), nullptr);
    EXPECT_EQ(bc_find_job_vector(16, 1), nullptr);
    // Chip type 12's jobs each list the 19 results a chip owes; no other
    // family has candidates.
    const bc_candidate *cand[32] = {};
    EXPECT_EQ(bc_find_candidates(12, 1, cand, 32), 19);
    for (int i = 0; i < 19; i++) EXPECT_EQ(cand[i]->n, 10) << i;
    EXPECT_NE(cand[0]->words[0], cand[1]->words[0]);
    EXPECT_EQ(bc_find_candidates(13, 1, cand, 32), 0);
    EXPECT_EQ(bc_find_candidates(16, 1, cand, 32), 0);
    // Expected ranges leave room for 400 rounds below them.
    for (int i = 0; i < g_bc_job_vector_count; i++) EXPECT_GE(g_bc_job_vectors[i].range, 400);
}

}  // namespace
