// Undefined behaviour on purpose, built in the sanitizer tree alone: a
// signed overflow at which the undefined-behaviour sanitizer stops the
// program. scripts_test.sh starts it in the background of a machine, as
// the end-to-end tests start the daemon, and checks that scripts/test's
// stage sees the stop although no test's status carries it.
//   ub-stop
#include <climits>
#include <cstdio>

int main(int argc, char **) {
    int n = INT_MAX;
    n += argc;  // argc is at least 1: the compiler cannot see it coming
    std::printf("%d\n", n);
    return 0;
}
