// Lines expected in a log in a given order.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

// Every line in this order in the log (each after the one before).
inline void expect_in_order(const std::string &log, const std::vector<std::string> &lines) {
    size_t at = 0;
    for (const std::string &l : lines) {
        const size_t found = log.find(l, at);
        ASSERT_NE(found, std::string::npos) << "missing or out of order: " << l << "\n" << log;
        at = found + l.size();
    }
}
