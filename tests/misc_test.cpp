#include "base/diagnostics.h"

#include <gtest/gtest.h>

TEST(Misc, AssertionIsAlwaysOnAndNamesConditionFunctionAndFile) {
    EXPECT_DEATH(LS_ASSERT(1 + 1 == 3), "1 \\+ 1 == 3.*TestBody.*misc_test.cpp");
    LS_ASSERT(1 + 1 == 2);
}
