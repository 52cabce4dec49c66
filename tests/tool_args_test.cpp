// The service tools' whole-number arguments: what is a number and what is
// refused, at the int's edges too (on the 32-bit board a long is an int, so
// there the overflow of the conversion itself decides).
#include <gtest/gtest.h>

#include "app/tool_args.h"

namespace {

TEST(ToolArgs, WholeNumbers) {
    const struct {
        const char *text;
        int value;
    } good[] = {{"40", 40},          {"0", 0},     {"-5", -5},      {"+7", 7},
                {" 30", 30},         {"30 ", 30},  {"\t12\n", 12},  {"007", 7},
                {"2147483647", 2147483647},        {"-2147483648", -2147483647 - 1}};
    for (const auto &g : good) {
        int v = -99;
        EXPECT_TRUE(tool_args::whole_number(g.text, v)) << g.text;
        EXPECT_EQ(v, g.value) << g.text;
    }
}

TEST(ToolArgs, NotWholeNumbers) {
    for (const char *bad : {"abc", "", " ", "-", "+", "4x", "x4", "0x10", "1.5", "1e3", "- 5", "3 4", "--help",
                            "2147483648", "-2147483649", "99999999999", "99999999999999999999",
                            "-99999999999999999999"}) {
        int v = -99;
        EXPECT_FALSE(tool_args::whole_number(bad, v)) << bad;
        EXPECT_EQ(v, -99) << bad;  // left as it was
    }
}

}  // namespace
