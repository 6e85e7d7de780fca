// Reads from SAM text through the public reader (BAM and CRAM are the same
// records to htslib; the command's suites map them): the read as sequenced,
// the records that are not reads skipped, mates first mate first, and the
// tags that become the comment.
#include <gtest/gtest.h>

#include <string>

#include "lodestar.h"
#include "testutil.h"

namespace {

std::string read_all(const std::string &path, const ls_query_input *in, int *last = nullptr) {
    ls_seqfile *f = ls_seqfile_open_query(path.c_str(), in);
    EXPECT_NE(f, nullptr) << path;
    if (f == nullptr) return "";
    std::string got;
    ls_seqfile_rec r;
    int ret;
    for (int pass = 0; pass < 2; ++pass) { // a rewind reads the same again
        std::string text;
        while ((ret = ls_seqfile_read(f, &r)) >= 0)
            text += std::string(r.name) + "|" + r.seq + "|" + r.qual + "|" + r.comment + ";";
        if (pass == 0) got = text;
        EXPECT_EQ(text, got);
        EXPECT_EQ(ls_seqfile_rewind(f), 0);
    }
    if (last) *last = ret;
    ls_seqfile_close(f);
    return got;
}

const char kHeader[] = "@HD\tVN:1.6\n@SQ\tSN:c\tLN:100\n";

TEST(HtsReads, PrimaryRecordsGiveTheReadsAsSequenced) {
    if (!ls_hts_enabled()) GTEST_SKIP() << "built without htslib";
    lstest::TempDir d;
    // Read 2 comes before read 1 of pair p; s is aligned to the reverse
    // strand (IUPAC codes complemented), with a secondary, a supplementary
    // and a hard-clipped primary that are not reads of their own.
    lstest::write_file(d.file("q.sam"), std::string(kHeader) + "u\t4\t*\t0\t0\t*\t*\t0\t0\tACGTN\tIIII#\n"
                                                               "p\t141\t*\t0\t0\t*\t*\t0\t0\tGGA\t*\n"
                                                               "p\t77\t*\t0\t0\t*\t*\t0\t0\tTTC\tABC\n"
                                                               "s\t16\tc\t5\t60\t5M\t*\t0\t0\tACMRN\tABCDE\n"
                                                               "s\t256\tc\t50\t0\t5M\t*\t0\t0\t*\t*\n"
                                                               "s\t2064\tc\t70\t0\t2H3M\t*\t0\t0\tMRN\t*\n"
                                                               "h\t0\tc\t9\t60\t1H4M\t*\t0\t0\tACGT\t*\n"
                                                               "t\t4\t*\t0\t0\t*\t*\t0\t0\tA\tI\n");
    int last = 0;
    EXPECT_EQ(read_all(d.file("q.sam"), nullptr, &last),
              "u|ACGTN|IIII#|;p|TTC|ABC|;p|GGA||;s|NYKGT|EDCBA|;t|A|I|;");
    EXPECT_EQ(last, LS_SEQ_EOF);
}

TEST(HtsReads, TagsBecomeTheCommentButTheMappersOwn) {
    if (!ls_hts_enabled()) GTEST_SKIP() << "built without htslib";
    lstest::TempDir d;
    const std::string front = "MM:Z:C+m,0;\tML:B:C,200\tfi:B:S,1,65535", back = "rq:f:0.99\tXY:i:-3";
    lstest::write_file(d.file("q.sam"), std::string(kHeader) + "a\t4\t*\t0\t0\t*\t*\t0\t0\tAC\tII\tNM:i:2\t" +
                                            front + "\tAS:i:9\tRG:Z:g\t" + back + "\tSA:Z:x\n");
    const struct {
        ls_query_input in;
        std::string comment;
    } cases[] = {
        {{nullptr, nullptr, 0}, front + "\tRG:Z:g\t" + back},
        {{nullptr, nullptr, 1}, front + "\t" + back},
        {{nullptr, "XY,MM,NM", 0}, "MM:Z:C+m,0;\tXY:i:-3"},
        {{nullptr, "RG", 1}, ""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(read_all(d.file("q.sam"), &c.in), "a|AC|II|" + c.comment + ";") << c.comment;
    char why[64];
    EXPECT_EQ(ls_tag_list_check("MM,ML,s1", why, sizeof(why)), 0);
    for (const char *bad : {"", "MM,", "M", "MMM", "1M", "M-"})
        EXPECT_EQ(ls_tag_list_check(bad, why, sizeof(why)), -1) << bad;
}

TEST(HtsReads, DamagedFilesNameTheRecordAndFastqStaysFastq) {
    if (!ls_hts_enabled()) GTEST_SKIP() << "built without htslib";
    lstest::TempDir d;
    // A SAM record htslib cannot parse ends the file there, after the read
    // before it; a FASTQ file named .sam is read as FASTQ.
    lstest::write_file(d.file("bad.sam"), std::string(kHeader) + "a\t4\t*\t0\t0\t*\t*\t0\t0\tAC\tII\n"
                                                                 "b\tx\t*\t0\t0\t*\t*\t0\t0\tAC\tII\n");
    ls_seqfile *f = ls_seqfile_open_query(d.file("bad.sam").c_str(), nullptr);
    ASSERT_NE(f, nullptr);
    ls_seqfile_rec r;
    EXPECT_EQ(ls_seqfile_read(f, &r), 2);
    EXPECT_EQ(ls_seqfile_read(f, &r), LS_SEQ_BAD_FASTQ);
    EXPECT_STREQ(ls_seqfile_error_text(f), "record 2: the SAM data there is damaged or cut short");
    EXPECT_EQ(ls_seqfile_read(f, &r), LS_SEQ_EOF);
    ls_seqfile_close(f);
    lstest::write_file(d.file("q.sam"), "@a x\nAC\n+\nII\n");
    EXPECT_EQ(read_all(d.file("q.sam"), nullptr), "a|AC|II|x;");
}

} // namespace
