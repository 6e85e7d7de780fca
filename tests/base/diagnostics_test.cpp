#include "base/diagnostics.h"

#include <gtest/gtest.h>

TEST(Diagnostics, AssertionIsAlwaysOnAndNamesConditionFunctionAndFile) {
    EXPECT_DEATH(LS_ASSERT(1 + 1 == 3), "1 \\+ 1 == 3.*TestBody.*diagnostics_test.cpp");
    LS_ASSERT(1 + 1 == 2);
}

// Every message has one form, "[LEVEL] text\n", and shows from its level of
// verbosity on; lines with the caller's prefix show whatever the verbosity.
TEST(Diagnostics, MessagesShareOneFormAndFollowVerbosity) {
    const struct {
        int verbosity;
        const char *want;
    } cases[] = {
        {0, "<x>any 7\n"},
        {1, "[ERROR] e 1\n<x>any 7\n"},
        {2, "[ERROR] e 1\n[WARNING] w 2\n<x>any 7\n"},
        {3, "[ERROR] e 1\n[WARNING] w 2\n[INFO] i 3\n<x>any 7\n"},
    };
    const int saved = ls_verbosity;
    for (const auto &c : cases) {
        ls_verbosity = c.verbosity;
        testing::internal::CaptureStderr();
        ls_log(LS_LOG_ERROR, "e %d", 1);
        ls_log_message(LS_LOG_WARNING, "w %d", 2);
        ls_log(LS_LOG_INFO, "i %d", 3);
        ls_log_line("<x>", "any %d", 7);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.want) << "verbosity " << c.verbosity;
    }
    ls_verbosity = saved;
    testing::internal::CaptureStderr();
    ls_log_raw("SF\t%d\t", 4);
    ls_log_raw("%s\n", "x");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "SF\t4\tx\n");
}
