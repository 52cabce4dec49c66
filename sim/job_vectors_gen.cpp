// Prints the board test's job-vector file as the emulated chips answer it
// (boardcheck/data/job_vectors.txt is this output).
#include <cstdio>

#include "sim/devices/test_jobs.h"

int main() {
    fputs(sim::test_job_vector_file().c_str(), stdout);
    return 0;
}
