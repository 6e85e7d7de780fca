/* Split-index temporary files: created only exclusively at their
 * predictable names, and clean-up removes only what this process created.
 * (The format and the merge are tested through the file pipeline in
 * map_file_test.) */
#include "pipeline/split_files.h"

#include <stdio.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "testutil.h"

namespace {

TEST(SplitFiles, CreatedExclusivelyAndOnlyOwnFilesRemoved) {
    lstest::TempDir dir;
    const std::string prefix = dir.file("p"), victim = dir.file("victim");
    auto part_file = [&](int j) { return prefix + ".000" + std::to_string(j) + ".tmp"; };
    auto exists = [](const std::string &p) { return access(p.c_str(), F_OK) == 0; };
    const char *seq[] = {"ACGTACGTTGCAACGTAGGCTTACG"}, *name[] = {"chrA"};
    ls_idx *mi = ls_idx_str(5, 11, 0, 2, 1, seq, name);
    ASSERT_NE(mi, nullptr);
    auto open_part = [&](int j) {
        mi->part_index = j;
        FILE *fp = ls_split_open_out(prefix.c_str(), mi);
        if (fp) fclose(fp);
        return fp != nullptr;
    };
    // Part 1's name is a planted link, part 2's a file left by another run.
    lstest::write_file(victim, "precious");
    ASSERT_EQ(symlink(victim.c_str(), part_file(1).c_str()), 0);
    lstest::write_file(part_file(2), "left over");
    testing::internal::CaptureStderr();
    EXPECT_TRUE(open_part(0));
    EXPECT_FALSE(open_part(1));
    EXPECT_FALSE(open_part(2));
    EXPECT_TRUE(open_part(3));
    const std::string err = testing::internal::GetCapturedStderr();
    for (int j : {1, 2})
        EXPECT_NE(err.find("temporary file '" + part_file(j) +
                           "' exists, perhaps left by an earlier run: remove it or choose another "
                           "--split-prefix"),
                  std::string::npos)
            << err;
    EXPECT_EQ(lstest::read_file(victim), "precious");

    // Parts 0 to 2: only part 0 was made here.
    ls_split_remove(prefix.c_str(), 3);
    EXPECT_FALSE(exists(part_file(0)));
    EXPECT_TRUE(exists(part_file(1)) && exists(part_file(2)) && exists(part_file(3)));
    // Part 0 again; part 3 replaced by someone else's file: the discard
    // removes part 0 alone.
    EXPECT_TRUE(open_part(0));
    lstest::write_file(dir.file("other"), "someone else's");
    ASSERT_EQ(rename(dir.file("other").c_str(), part_file(3).c_str()), 0);
    ls_split_discard(prefix.c_str());
    EXPECT_FALSE(exists(part_file(0)));
    EXPECT_EQ(lstest::read_file(part_file(3)), "someone else's");
    EXPECT_EQ(lstest::read_file(part_file(2)), "left over");
    EXPECT_EQ(lstest::read_file(victim), "precious");
    ls_idx_destroy(mi);
}

} // namespace
