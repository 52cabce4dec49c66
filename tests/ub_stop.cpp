// Faults on purpose, built in the sanitizer tree alone: without an operand
// a signed overflow at which the undefined-behaviour sanitizer stops the
// program; with "address" a write past a heap block, at which the address
// sanitizer stops it. scripts_test.sh starts it in the background of two
// machines, as the end-to-end tests start the daemon, and checks that
// scripts/test's stage sees both stops, each in a file of its own named
// by its sanitizer, although no test's status carries them.
//   ub-stop [address]
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

int main(int argc, char **argv) {
    if (argc > 1 && std::strcmp(argv[1], "address") == 0) {
        std::vector<int> block(4);
        int *p = block.data();
        p[size_t(argc) + 2] = 1;  // argc is 2: one past the end, which the compiler cannot see
        std::printf("%d\n", p[0]);
        return 0;
    }
    int n = INT_MAX;
    n += argc;  // argc is at least 1: the compiler cannot see it coming
    std::printf("%d\n", n);
    return 0;
}
