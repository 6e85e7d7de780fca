#include "base/diagnostics.h"

#include <gtest/gtest.h>

TEST(Diagnostics, AssertionIsAlwaysOnAndNamesConditionFunctionAndFile) {
    EXPECT_DEATH(LS_ASSERT(1 + 1 == 3), "1 \\+ 1 == 3.*TestBody.*diagnostics_test.cpp");
    LS_ASSERT(1 + 1 == 2);
}
