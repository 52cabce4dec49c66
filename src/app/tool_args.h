// The service tools' numeric arguments. atoi reads "abc", "--help" and ""
// as 0, so a mistyped call would drive the hardware or change the machine
// with 0. A tool takes a number only when the whole argument is one, and
// refuses the call before it touches anything otherwise.
#ifndef KMX_APP_TOOL_ARGS_H
#define KMX_APP_TOOL_ARGS_H

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "module/kmx_log.h"

namespace tool_args {

// A whole decimal number, with an optional sign and white space around it
// (as atoi skips it), that fits an int. "40", "-5", "+7" and " 30" are;
// "abc", "4x", "0x10", "1.5", "" and "99999999999" are not.
inline bool whole_number(const char *text, int &value) {
    char *end = nullptr;
    errno = 0;
    const long v = strtol(text, &end, 10);
    if (end == text || errno != 0 || v < INT_MIN || v > INT_MAX) return false;
    // strtol takes a sign with nothing after it as no number at all (end
    // stays at text), and blanks before the digits as atoi does.
    while (*end && isspace(static_cast<unsigned char>(*end))) end++;
    if (*end) return false;
    value = int(v);
    return true;
}

// Reads argv[first] .. argv[last] into values[0 ..]; on the first argument
// that is not a whole number, says so with the usage in one line on
// standard error (and in the log) and returns false.
inline bool read_numbers(char **argv, int first, int last, int *values, const char *usage) {
    for (int i = first; i <= last; i++) {
        if (!whole_number(argv[i], values[i - first])) {
            const klog::Outside prog(argv[0]), arg(argv[i], 64);
            kmx_logf_user(5, "%s: \"%s\" is not a whole number; usage: %s %s", prog.c_str(), arg.c_str(), prog.c_str(),
                          usage);
            return false;
        }
    }
    return true;
}

}  // namespace tool_args

#endif
