// The test jobs' stored vectors and expected results, built from
// boardcheck/data/job_vectors.txt.
#pragma once

#include <cstdint>

struct bc_vector_family {
    int chip_type;
    const char *name;
    int row_words;
};
struct bc_job_vector {
    const char *family;
    int job_id;
    const uint16_t *row;
    int words;
    uint16_t nonce;  // expected nonce word
    uint16_t range;  // expected range word (where the nonce lies)
};
// One result a chip may answer to a job (chip type 12 finds several per
// job): its data words after the reply's header.
struct bc_candidate {
    const char *family;
    int job_id;
    const uint16_t *words;
    int n;
};
extern const bc_vector_family g_bc_vector_families[];
extern const int g_bc_vector_family_count;
extern const bc_job_vector g_bc_job_vectors[];
extern const int g_bc_job_vector_count;
extern const bc_candidate g_bc_candidates[];  // ends with an empty entry
extern const int g_bc_candidate_count;

// The vector of a chip type's family and job id; nullptr when there is none.
const bc_job_vector *bc_find_job_vector(int chip_type, int job_id);
// The candidate results of a chip type's job, in file order, into out[]
// (at most `max`); returns how many there are.
int bc_find_candidates(int chip_type, int job_id, const bc_candidate *out[], int max);
