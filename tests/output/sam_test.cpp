#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "output/text.h"
#include "map/regions.h"
#include "lodestar.h"
#include "sim.h"
#include "testutil.h"

namespace {

using lssim::revcomp;
using lstest::Idx;
using lstest::op;
using lstest::random_dna;
using lstest::split;

/* A region array whose entries own their alignment detail. */
struct Regs {
    std::vector<ls_reg> r;
    ~Regs() {
        for (auto &x : r) free(x.p);
    }
    ls_reg &add(int tid, int rs, int re, int qs, int qe, int rev, const std::vector<uint32_t> &cigar) {
        ls_reg x;
        memset(&x, 0, sizeof(x));
        x.id = x.parent = (int)r.size();
        x.target_id = tid, x.rs = rs, x.re = re, x.qs = qs, x.qe = qe, x.reverse = (uint32_t)rev;
        x.mapq = 60, x.n_anchors = 10, x.chain_score = 50, x.sub_score = 0;
        x.divergence = -1.0f;
        int tlen = 0;
        for (uint32_t c : cigar)
            if ((c & 0xf) != LS_CIGAR_INS) tlen += (int)(c >> 4);
        x.block_len = x.match_len = tlen;
        if (!cigar.empty()) ls_extra_append_cigar(&x, (uint32_t)cigar.size(), cigar.data());
        r.push_back(x);
        return r.back();
    }
};

ls_bseq_rec query(const char *name, const std::string &seq, const std::string &qual) {
    ls_bseq_rec t;
    memset(&t, 0, sizeof(t));
    t.name = (char *)name;
    t.seq = (char *)seq.c_str();
    t.qual = qual.empty() ? nullptr : (char *)qual.c_str();
    t.len = (int)seq.size();
    return t;
}

struct Str {
    ls_string s = {0, 0, nullptr};
    ~Str() { free(s.s); }
    std::string str() const { return s.s ? std::string(s.s, s.l) : std::string(); }
};

/* Record of one region of a single- or multi-segment query. */
std::string sam(const ls_idx *mi, const ls_bseq_rec &t, int seg, int idx, const std::vector<Regs *> &segs,
                int64_t flag = 0, int rep_len = -1) {
    std::vector<int> n;
    std::vector<const ls_reg *> a;
    for (auto *s : segs) n.push_back((int)s->r.size()), a.push_back(s->r.empty() ? nullptr : s->r.data());
    Str out;
    ls_run_sam_format(ls_run_default(), &out.s, mi, &t, seg, idx, (int)segs.size(), n.data(), a.data(), nullptr,
                      flag, rep_len);
    EXPECT_EQ(out.s.s[out.s.l], 0);
    return out.str();
}

/* Bases of a CIGAR text that the read holds (M, I, S, =, X) and clipped by H. */
void cigar_query_len(const std::string &cg, int *in_seq, int *hard) {
    *in_seq = *hard = 0;
    int n = 0;
    for (char c : cg) {
        if (c >= '0' && c <= '9') {
            n = n * 10 + (c - '0');
            continue;
        }
        if (strchr("MIS=X", c)) *in_seq += n;
        if (c == 'H') *hard += n;
        n = 0;
    }
}

const char *kTags80M = "\tNM:i:0\tms:i:0\tAS:i:0\tnn:i:0\ttp:A:P\tcm:i:10\ts1:i:50\ts2:i:0\tde:f:0";

TEST(SamHeader, ReadGroupProgramAndRejections) {
    Idx idx({std::string(300, 'A'), std::string(120, 'C')});
    char a0[] = "lodestar", a1[] = "-a", a2[] = "ref.fa";
    char *argv[] = {a0, a1, a2};
    testing::internal::CaptureStdout();
    EXPECT_EQ(ls_sam_header(idx.mi, "@RG\\tID:x\\tSM:y", "0.1", 3, argv), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "@HD\tVN:1.6\tSO:unsorted\tGO:query\n@SQ\tSN:chr1\tLN:300\n@SQ\tSN:chr2\tLN:120\n"
              "@RG\tID:x\tSM:y\n@PG\tID:lodestar\tPN:lodestar\tVN:0.1\tCL:lodestar -a ref.fa\n");
    EXPECT_STREQ(ls_rg_id, "x");

    // Every record carries the group after QUAL.
    std::string seq(50, 'A');
    ls_bseq_rec t = query("q", seq, "");
    Regs none;
    EXPECT_EQ(sam(idx.mi, t, 0, 0, {&none}), "q\t4\t*\t0\t0\t*\t*\t0\t0\t" + seq + "\t*\tRG:Z:x");

    struct Bad {
        const char *rg, *msg;
    } bad[] = {
        {"ID:x\\tSM:y", "[ERROR] the read group line is not started with @RG\n"},
        {"@RG\tID:x",
         "[ERROR] the read group line contained literal <tab> characters -- replace with escaped "
         "tabs: \\t\n"},
        {"@RG\\tSM:y", "[ERROR] no ID within the read group line\n"},
    };
    for (const Bad &b : bad) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_EQ(ls_sam_header(nullptr, b.rg, nullptr, 1, argv), -1) << b.rg;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), b.msg);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "@HD\tVN:1.6\tSO:unsorted\tGO:query\n"
                                                          "@PG\tID:lodestar\tPN:lodestar\n");
        EXPECT_STREQ(ls_rg_id, "");
    }
    EXPECT_EQ(sam(idx.mi, t, 0, 0, {&none}), "q\t4\t*\t0\t0\t*\t*\t0\t0\t" + seq + "\t*");

    // IDs of 255 characters fit, 256 do not.
    const std::string id255(255, 'i');
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(ls_sam_header(nullptr, ("@RG\\tID:" + id255 + "i").c_str(), nullptr, 0, nullptr), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[ERROR] @RG:ID is longer than 255 characters\n");
    EXPECT_EQ(ls_sam_header(nullptr, ("@RG\\tID:" + id255).c_str(), nullptr, 0, nullptr), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(ls_rg_id, id255);

    // Escapes: "\\" is a backslash, "\q" vanishes, a lone backslash at the end is dropped.
    testing::internal::CaptureStdout();
    EXPECT_EQ(ls_sam_header(nullptr, "@RG\\tID:a\\\\b\\q\\tPL:z\\", nullptr, 0, nullptr), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "@HD\tVN:1.6\tSO:unsorted\tGO:query\n@RG\tID:a\\b\tPL:z\n"
              "@PG\tID:lodestar\tPN:lodestar\n");
    EXPECT_STREQ(ls_rg_id, "a\\b");
    ls_rg_id[0] = 0;
}

/* Header lines a validator accepts: LN of a target past 2^31 bases stays
 * positive, and control bytes in an argument cannot break the @PG line. */
TEST(SamHeader, LongTargetsAndArgumentsStayOnTheirLines) {
    Idx idx({std::string(300, 'A')});
    char a0[] = "lodestar", a1[] = "-R", a2[] = "a\tb\nc";
    char *argv[] = {a0, a1, a2};
    idx.mi->seq[0].len = 2147483648u;
    testing::internal::CaptureStdout();
    EXPECT_EQ(ls_sam_header(idx.mi, nullptr, "1", 3, argv), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "@HD\tVN:1.6\tSO:unsorted\tGO:query\n@SQ\tSN:chr1\t"
                                                      "LN:2147483648\n@PG\tID:lodestar\tPN:lodestar\tVN:1\t"
                                                      "CL:lodestar -R a b c\n");
    idx.mi->seq[0].len = 300;
}

/* A header that cannot be written is reported as -2 with errno kept, even
 * after a rejected read group. Runs in a child whose standard output is a
 * full device. */
TEST(SamHeader, WriteFailureReturnsMinusTwo) {
    EXPECT_EXIT(
        {
            fflush(stdout);
            const int fd = open("/dev/full", O_WRONLY);
            if (fd < 0 || dup2(fd, 1) < 0) _exit(3);
            setvbuf(stdout, nullptr, _IONBF, 0);
            ls_verbosity = 0;
            const int plain = ls_sam_header(nullptr, nullptr, nullptr, 0, nullptr);
            const int plain_errno = errno;
            const int bad_rg = ls_sam_header(nullptr, "ID:x", nullptr, 0, nullptr);
            _exit(plain == -2 && plain_errno == ENOSPC && bad_rg == -2 ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

TEST(SamRecord, SingleSegmentFlagsClipsSeqAndSA) {
    std::mt19937 rng(11);
    Idx idx({random_dna(rng, 2000), random_dna(rng, 2000)});
    const std::string seq = random_dna(rng, 100);
    std::string qual(100, 'I');
    for (int i = 0; i < 100; ++i) qual[i] = (char)('!' + i % 40);
    ls_bseq_rec t = query("q", seq, qual);
    const std::string rseq = revcomp(seq), rqual(qual.rbegin(), qual.rend());

    // Forward primary with soft clips.
    Regs a;
    a.add(0, 100, 180, 10, 90, 0, {op(80, 'M')}).sam_pri = 1;
    EXPECT_EQ(sam(idx.mi, t, 0, 0, {&a}),
              "q\t0\tchr1\t101\t60\t10S80M10S\t*\t0\t0\t" + seq + "\t" + qual + kTags80M);
    // Repeat length and comment also go to the record.
    t.comment = (char *)"BC:Z:x";
    EXPECT_EQ(sam(idx.mi, t, 0, 0, {&a}, LS_F_COPY_COMMENT, 7), "q\t0\tchr1\t101\t60\t10S80M10S\t*\t0\t0\t" +
                                                                    seq + "\t" + qual + kTags80M +
                                                                    "\trl:i:7\tBC:Z:x");
    t.comment = nullptr;

    // Reverse primary: clips listed along the target, the read reverse-complemented, QUAL reversed.
    Regs b;
    b.add(1, 500, 570, 10, 80, 1, {op(70, 'M')}).sam_pri = 1;
    EXPECT_EQ(sam(idx.mi, t, 0, 0, {&b}),
              std::string("q\t16\tchr2\t501\t60\t20S70M10S\t*\t0\t0\t") + rseq + "\t" + rqual +
                  "\tNM:i:0\tms:i:0\tAS:i:0\tnn:i:0\ttp:A:P\tcm:i:10\ts1:i:50\ts2:i:0\tde:f:0");

    // A secondary: soft clips, no SEQ/QUAL; with LS_F_SECONDARY_SEQ hard clips and the aligned bases.
    Regs c;
    c.add(0, 100, 180, 10, 90, 0, {op(80, 'M')}).sam_pri = 1;
    c.add(1, 300, 370, 10, 80, 1, {op(70, 'M')}).parent = 0;
    const std::string sec_tags = "\tNM:i:0\tms:i:0\tAS:i:0\tnn:i:0\ttp:A:S\tcm:i:10\ts1:i:50\tde:f:0";
    EXPECT_EQ(sam(idx.mi, t, 0, 1, {&c}), "q\t272\tchr2\t301\t60\t20S70M10S\t*\t0\t0\t*\t*" + sec_tags);
    EXPECT_EQ(sam(idx.mi, t, 0, 1, {&c}, LS_F_SECONDARY_SEQ),
              "q\t272\tchr2\t301\t60\t20H70M10H\t*\t0\t0\t" + revcomp(seq.substr(10, 70)) + "\t" +
                  std::string(rqual.begin() + 20, rqual.begin() + 90) + sec_tags);
    // No SA tag: the secondary is not a primary of its own.
    EXPECT_EQ(sam(idx.mi, t, 0, 0, {&c}).find("SA:Z"), std::string::npos);

    // Chimeric query: a primary and a supplementary name each other in SA.
    Regs d;
    ls_reg &p0 = d.add(0, 100, 160, 0, 60, 0, {op(60, 'M')});
    p0.sam_pri = 1;
    ls_reg &p1 = d.add(1, 500, 545, 60, 100, 1, {op(20, 'M'), op(5, 'D'), op(20, 'M')});
    p1.mapq = 17, p1.match_len = 40;
    EXPECT_EQ(sam(idx.mi, t, 0, 0, {&d}), "q\t0\tchr1\t101\t60\t60M40S\t*\t0\t0\t" + seq + "\t" + qual +
                                              "\tNM:i:0\tms:i:0\tAS:i:0\tnn:i:0\ttp:A:P\tcm:i:10\ts1:i:50"
                                              "\ts2:i:0\tde:f:0\tSA:Z:chr2,501,-,40M5D60S,17,5;");
    EXPECT_EQ(sam(idx.mi, t, 0, 1, {&d}), "q\t2064\tchr2\t501\t17\t20M5D20M60H\t*\t0\t0\t" +
                                              revcomp(seq.substr(60, 40)) + "\t" +
                                              std::string(rqual.begin(), rqual.begin() + 40) +
                                              "\tNM:i:5\tms:i:0\tAS:i:0\tnn:i:0\ttp:A:P\tcm:i:10\ts1:i:50"
                                              "\ts2:i:0\tde:f:0.0244\tSA:Z:chr1,101,+,60M40S,60,0;");
    // Soft clipping everywhere: the supplementary keeps the whole read.
    const std::string soft = sam(idx.mi, t, 0, 1, {&d}, LS_F_SOFT_CLIP);
    EXPECT_EQ(soft.substr(0, soft.find("\tNM:")),
              "q\t2064\tchr2\t501\t17\t20M5D20M60S\t*\t0\t0\t" + rseq + "\t" + rqual);

    // Unmapped: index past the regions, or no regions; no quality gives "*".
    Regs none;
    EXPECT_EQ(sam(idx.mi, t, 0, 5, {&d}), "q\t4\t*\t0\t0\t*\t*\t0\t0\t" + seq + "\t" + qual);
    ls_bseq_rec tn = query("q", seq, "");
    EXPECT_EQ(sam(idx.mi, tn, 0, 0, {&none}, 0, 3), "q\t4\t*\t0\t0\t*\t*\t0\t0\t" + seq + "\t*\trl:i:3");
    // Unaligned region: CIGAR "*".
    Regs e;
    e.add(0, 10, 50, 0, 40, 0, {}).sam_pri = 1;
    EXPECT_EQ(sam(idx.mi, tn, 0, 0, {&e}),
              "q\t0\tchr1\t11\t60\t*\t*\t0\t0\t" + seq + "\t*\ttp:A:P\tcm:i:10\ts1:i:50\ts2:i:0");

    // The single-segment wrapper finds the region in its array, or writes the unmapped record.
    Str one;
    ls_sam_format_one(&one.s, idx.mi, &t, &d.r[1], 2, d.r.data());
    EXPECT_EQ(one.str(), sam(idx.mi, t, 0, 1, {&d}));
    ls_reg stray = d.r[0];
    ls_sam_format_one(&one.s, idx.mi, &t, &stray, 2, d.r.data());
    EXPECT_EQ(one.str(), "q\t4\t*\t0\t0\t*\t*\t0\t0\t" + seq + "\t" + qual);
    // Single-segment names keep a "/1" ending.
    ls_bseq_rec t1 = query("read/1", seq, "");
    EXPECT_EQ(sam(idx.mi, t1, 0, 0, {&none}).substr(0, 8), "read/1\t4");
}

TEST(SamRecord, DiffTagsAfterSA) {
    std::mt19937 rng(3);
    const std::string tg = random_dna(rng, 500);
    Idx idx({tg});
    std::string seq = tg.substr(100, 10);
    seq[3] = seq[3] == 'A' ? 'C' : 'A';
    seq[9] = seq[9] == 'A' ? 'C' : 'A';
    ls_bseq_rec t = query("q", seq, "");
    Regs a;
    ls_reg &r = a.add(0, 100, 110, 0, 10, 0, {op(10, 'M')});
    r.sam_pri = 1, r.match_len = 8;
    // A mismatch at the last base still closes MD with a count.
    const std::string s = sam(idx.mi, t, 0, 0, {&a}, LS_F_MD_TAG);
    EXPECT_EQ(s.substr(s.find("\tMD:Z:")), std::string("\tMD:Z:3") + tg[103] + "5" + tg[109] + "0");
    const std::string c = sam(idx.mi, t, 0, 0, {&a}, LS_F_CS_TAG);
    EXPECT_EQ(c.substr(c.find("\tcs:Z:")), std::string("\tcs:Z::3*") + (char)tolower(tg[103]) +
                                               (char)tolower(seq[3]) + ":5*" + (char)tolower(tg[109]) +
                                               (char)tolower(seq[9]));
}

/* QNAME keeps to the bytes SAM allows, after a mate's "/1" is trimmed; PAF
 * keeps the name as read. */
TEST(SamRecord, QnameLimitedToValidBytes) {
    Idx idx({std::string(100, 'A')});
    struct Case {
        std::string name;
        int n_seg;
        std::string want;
    } cases[] = {
        {"@r1", 1, "_r1"},
        {"a@b", 1, "a_b"},
        {"a b\tc\x01\x7f", 1, "a_b_c__"},
        {"caf\xc3\xa9", 1, "caf__"},
        {"!?A~", 1, "!?A~"},
        {"r@/1", 2, "r_"},
        {"", 1, "*"},
        {std::string(300, 'x'), 1, std::string(254, 'x')},
        {std::string(254, 'y') + "/2", 2, std::string(254, 'y')},
    };
    const std::string seq(20, 'A');
    Regs none;
    for (const Case &c : cases) {
        ls_bseq_rec t = query(c.name.c_str(), seq, "");
        const std::vector<Regs *> segs(c.n_seg, &none);
        EXPECT_EQ(split(sam(idx.mi, t, 0, 0, segs), '\t')[0], c.want) << c.name;
    }
    ls_bseq_rec t = query("@r1", seq, "");
    Str paf;
    ls_paf_format(&paf.s, idx.mi, &t, nullptr, nullptr, 0, -1, 1, 0);
    EXPECT_EQ(paf.str().substr(0, 4), "@r1\t");
}

/* Records without bases to show give "*" for SEQ and QUAL, never an empty field. */
TEST(SamRecord, EmptySeqIsStar) {
    Idx idx({std::string(300, 'A')});
    const std::string seq(100, 'A'), qual(100, 'I'), empty;
    Regs a; // a primary, then a supplementary and a secondary of the empty query interval 60..60
    a.add(0, 0, 60, 0, 60, 0, {op(60, 'M')}).sam_pri = 1;
    a.add(0, 200, 205, 60, 60, 0, {op(5, 'D')});
    a.add(0, 200, 205, 60, 60, 0, {op(5, 'D')}).parent = 0;
    struct Case {
        const std::string *seq;
        int reg;
        int64_t flag;
    } cases[] = {{&empty, 9, 0}, {&seq, 1, 0}, {&seq, 2, LS_F_SECONDARY_SEQ}};
    for (const Case &c : cases) {
        ls_bseq_rec t = query("q", *c.seq, c.seq->empty() ? empty : qual);
        const std::vector<std::string> f = split(sam(idx.mi, t, 0, c.reg, {&a}, c.flag), '\t');
        ASSERT_GE(f.size(), 11u) << c.reg;
        EXPECT_EQ(f[9] + " " + f[10], "* *") << c.reg;
    }
}

/* Spliced records carry the transcript's strand on the target in XS:A, right
 * after the shared tags; PAF lines do not. */
TEST(SamRecord, XsStrandOfSplicedRecords) {
    std::mt19937 rng(31);
    const std::string tg = random_dna(rng, 400);
    Idx idx({tg});
    const std::string exons = tg.substr(100, 10) + tg.substr(210, 10);
    const std::vector<uint32_t> spliced = {op(10, 'M'), op(100, 'N'), op(10, 'M')};
    const std::vector<uint32_t> plain = {op(20, 'M')};
    struct Case {
        int rev, ts;
        bool intron;
        const char *xs;
    } cases[] = {
        {0, 1, true, "\tXS:A:+"}, {1, 1, true, "\tXS:A:-"}, {0, 2, true, "\tXS:A:-"},
        {1, 2, true, "\tXS:A:+"}, {0, 0, true, ""},         {0, 3, true, ""},
        {0, 1, false, ""}, // not spliced, whatever the bit says
    };
    for (const Case &c : cases) {
        const std::string fwd = c.intron ? exons : tg.substr(100, 20);
        const std::string seq = c.rev ? revcomp(fwd) : fwd;
        ls_bseq_rec t = query("q", seq, "");
        Regs a;
        ls_reg &r = a.add(0, 100, c.intron ? 220 : 120, 0, 20, c.rev, c.intron ? spliced : plain);
        r.sam_pri = 1, r.spliced = 1;
        r.p->transcript_strand = (uint32_t)c.ts;
        const std::string s = sam(idx.mi, t, 0, 0, {&a}, LS_F_MD_TAG);
        EXPECT_EQ(s.substr(s.find("\tde:f:")), std::string("\tde:f:0") + c.xs + "\tMD:Z:20")
            << c.rev << " " << c.ts << " " << c.intron;
        Str paf;
        ls_paf_format(&paf.s, idx.mi, &t, &r, nullptr, 0, -1, 1, 0);
        EXPECT_EQ(paf.str().find("XS:A"), std::string::npos);
    }
}

TEST(SamRecord, LongCigarMovesToTag) {
    std::mt19937 rng(5);
    Idx idx({random_dna(rng, 70100)});
    // 35000 x (1M 1D) = 70000 operations over 35000 read bases and 70000 target bases.
    std::vector<uint32_t> cg;
    for (int i = 0; i < 35000; ++i) cg.push_back(op(1, 'M')), cg.push_back(op(1, 'D'));
    const std::string seq = random_dna(rng, 35010);
    ls_bseq_rec t = query("q", seq, "");
    Regs a;
    a.add(0, 0, 70000, 5, 35005, 0, cg).sam_pri = 1;

    const std::string col = sam(idx.mi, t, 0, 0, {&a});
    const std::vector<std::string> f_whole = split(col, '\t');
    EXPECT_EQ(f_whole[5].size(), 2 + 35000 * 4 + 2u); // 5S, 1M1D x 35000, 5S
    EXPECT_EQ(col.find("CG:B:I"), std::string::npos);

    const std::string s = sam(idx.mi, t, 0, 0, {&a}, LS_F_LONG_CIGAR);
    const std::vector<std::string> f = split(s, '\t');
    EXPECT_EQ(f[5], "35010S70000N");
    EXPECT_EQ(f[9], seq);
    const std::string cg_tag = f.back();
    ASSERT_EQ(cg_tag.substr(0, 17), "CG:B:I,84,16,18,1"); // 5S = 5 << 4 | 4, then 1M = 16, 1D = 18
    const std::vector<std::string> words = split(cg_tag.substr(7), ',');
    ASSERT_EQ(words.size(), 70002u);
    EXPECT_EQ(words.back(), "84");

    // The threshold counts clips: 65534 operations plus two clips reach 65536, one clip does not.
    Regs b, c;
    std::vector<uint32_t> cg2(cg.begin(), cg.begin() + 65534);
    b.add(0, 0, 65534, 5, 32772, 0, cg2).sam_pri = 1;
    c.add(0, 0, 65534, 0, 32767, 0, cg2).sam_pri = 1;
    const std::string seq2 = seq.substr(0, 32777);
    ls_bseq_rec t2 = query("q", seq2, "");
    EXPECT_EQ(split(sam(idx.mi, t2, 0, 0, {&b}, LS_F_LONG_CIGAR), '\t')[5], "32777S65534N");
    // qs 0 and qe below the length: one clip only.
    ls_bseq_rec t3 = query("q", seq2, "");
    Regs d;
    d.add(0, 0, 65533, 0, 32767, 0, std::vector<uint32_t>(cg.begin(), cg.begin() + 65533)).sam_pri = 1;
    EXPECT_EQ(split(sam(idx.mi, t3, 0, 0, {&d}, LS_F_LONG_CIGAR), '\t')[5].substr(0, 4), "1M1D");
    // Secondary without its bases: a zero-length clip in the placeholder.
    c.add(0, 0, 65534, 5, 32772, 0, cg2).parent = 0;
    EXPECT_EQ(split(sam(idx.mi, t2, 0, 1, {&c}, LS_F_LONG_CIGAR), '\t')[5], "0S65534N");

    // A mate's MC holds the whole CIGAR, as readers see the record once they take it back from
    // the CG tag, not the placeholder; the CG tag stays the record's own.
    const std::string half = seq.substr(0, 50); // the record points into it
    ls_bseq_rec frag[2] = {t, query("q", half, "")};
    Regs none;
    for (int64_t fl : {(int64_t)0, (int64_t)LS_F_LONG_CIGAR}) {
        const std::string mate = sam(idx.mi, frag[1], 1, -1, {&a, &none}, fl);
        EXPECT_EQ(split(mate, '\t')[11], "MC:Z:" + f_whole[5]) << fl;
        EXPECT_EQ(mate.find("CG:B"), std::string::npos);
    }
}

TEST(SamRecord, PairedMates) {
    std::mt19937 rng(17);
    Idx idx({random_dna(rng, 2000), random_dna(rng, 2000)});
    const std::string s1 = random_dna(rng, 150), s2 = random_dna(rng, 100);
    ls_bseq_rec pair[2] = {query("read/1", s1, ""), query("read/2", s2, "")}; // side by side, as mapped
    const ls_bseq_rec &t1 = pair[0], &t2 = pair[1];

    // Forward mate at 100, reverse mate ending at 400: TLEN +300 / -300.
    Regs m1, m2;
    ls_reg &a = m1.add(0, 100, 250, 0, 150, 0, {op(150, 'M')});
    a.sam_pri = 1, a.proper_pair = 1;
    ls_reg &b = m2.add(0, 300, 400, 0, 100, 1, {op(100, 'M')});
    b.sam_pri = 1, b.proper_pair = 1;
    std::vector<std::string> f = split(sam(idx.mi, t1, 0, 0, {&m1, &m2}), '\t');
    EXPECT_EQ(f[0], "read");
    EXPECT_EQ(f[1], "99"); // 0x1 0x2 0x20 0x40
    EXPECT_EQ(f[6] + " " + f[7] + " " + f[8], "= 301 300");
    f = split(sam(idx.mi, t2, 1, 0, {&m1, &m2}), '\t');
    EXPECT_EQ(f[1], "147"); // 0x1 0x2 0x10 0x80
    EXPECT_EQ(f[6] + " " + f[7] + " " + f[8], "= 101 -300");
    EXPECT_EQ(f[9], revcomp(s2));

    // Mate on another target: its name, TLEN 0.
    m2.r[0].target_id = 1;
    f = split(sam(idx.mi, t1, 0, 0, {&m1, &m2}), '\t');
    EXPECT_EQ(f[6] + " " + f[7] + " " + f[8], "chr2 301 0");

    // Mate unmapped: the mapped one points at itself, the unmapped one borrows its position.
    Regs empty;
    m1.r[0].reverse = 1;
    m1.r[0].proper_pair = 0;
    EXPECT_EQ(split(sam(idx.mi, t1, 0, 0, {&m1, &empty}), '\t')[1], "89"); // 0x1 0x8 0x10 0x40
    f = split(sam(idx.mi, t1, 0, 0, {&m1, &empty}), '\t');
    EXPECT_EQ(f[6] + " " + f[7] + " " + f[8], "= 101 0");
    EXPECT_EQ(sam(idx.mi, t2, 1, 0, {&m1, &empty}),
              "read\t165\tchr1\t101\t0\t*\t=\t101\t0\t" + s2 + "\t*\tMC:Z:150M\tMQ:i:60");
    // Both unmapped.
    EXPECT_EQ(sam(idx.mi, t2, 1, 0, {&empty, &empty}), "read\t141\t*\t0\t0\t*\t*\t0\t0\t" + s2 + "\t*");

    // Names: "r/1" loses its suffix, the two-character "/1" stays whole.
    ls_bseq_rec tr = query("r/1", s1, ""), ts = query("/1", s1, "");
    EXPECT_EQ(split(sam(idx.mi, tr, 0, 0, {&empty, &empty}), '\t')[0], "r");
    EXPECT_EQ(split(sam(idx.mi, ts, 0, 0, {&empty, &empty}), '\t')[0], "/1");

    // Three segments: FI tag, no first/last bit in the middle, position from the nearest earlier mate.
    Regs m0;
    m0.add(0, 100, 250, 0, 150, 0, {op(150, 'M')}).sam_pri = 1;
    EXPECT_EQ(sam(idx.mi, t2, 1, 0, {&m0, &empty, &empty}),
              "read\t13\tchr1\t101\t0\t*\t=\t101\t0\t" + s2 + "\t*\tFI:i:1");
}

/* MC and MQ repeat the CIGAR column and MAPQ of the mate's SAM-primary record on every record of a
 * pair, right after QUAL (and RG); none when the mate is unmapped or the tags are turned off. */
TEST(SamRecord, MateTags) {
    std::mt19937 rng(29);
    Idx idx({random_dna(rng, 2000)});
    const std::string s1 = random_dna(rng, 150), s2 = random_dna(rng, 100);
    ls_bseq_rec pair[2] = {query("p", s1, ""), query("p", s2, "")};
    // Mate 1: a supplementary piece first, then the SAM-primary 10..140 (a clip at each end).
    Regs m1, m2, none;
    ls_reg &sup = m1.add(0, 1500, 1520, 130, 150, 1, {op(20, 'M')});
    sup.mapq = 3;
    ls_reg &p1 = m1.add(0, 100, 228, 10, 140, 0, {op(60, 'M'), op(2, 'I'), op(68, 'M')});
    p1.sam_pri = 1, p1.mapq = 37;
    // Mate 2, reverse over 0..95: its 5 unaligned tail bases lead the CIGAR; then a secondary.
    ls_reg &p2 = m2.add(0, 300, 398, 0, 95, 1, {op(50, 'M'), op(3, 'D'), op(45, 'M')});
    p2.sam_pri = 1, p2.mapq = 12;
    m2.add(0, 700, 798, 0, 95, 1, {op(50, 'M'), op(3, 'D'), op(45, 'M')}).parent = 0;
    const std::string of1 = "MC:Z:10S60M2I68M10S MQ:i:37", of2 = "MC:Z:5S50M3D45M MQ:i:12";
    struct Case {
        int seg, reg;
        Regs *other;
        int64_t flag;
        std::string want; // fields 12 and 13, or "" for no MC/MQ anywhere
    } cases[] = {
        {0, 1, &m2, 0, of2},                 // primary
        {0, 0, &m2, 0, of2},                 // supplementary (hard-clipped itself)
        {1, 0, &m2, 0, of1},                 // the mate's primary counts, not its supplementary
        {1, 1, &m2, 0, of1},                 // secondary
        {1, 0, &m2, LS_F_SOFT_CLIP, of1},    // clipping of supplementaries changes nothing here
        {1, -1, &m2, 0, of1},                // an unmapped record with a mapped mate
        {0, 1, &none, 0, ""},                // mate unmapped
        {0, 1, &m2, LS_F_NO_MATE_TAGS, ""},
    };
    for (const Case &c : cases) {
        const std::vector<Regs *> segs = c.seg == 0 ? std::vector<Regs *>{&m1, c.other}
                                                    : std::vector<Regs *>{&m1, &m2};
        const std::string s = sam(idx.mi, pair[c.seg], c.seg, c.reg, segs, c.flag);
        const std::vector<std::string> f = split(s, '\t');
        if (c.want.empty()) {
            EXPECT_EQ(s.find("\tMC:"), std::string::npos) << s;
            EXPECT_EQ(s.find("\tMQ:"), std::string::npos) << s;
            continue;
        }
        ASSERT_GE(f.size(), 13u) << s;
        EXPECT_EQ(f[11] + " " + f[12], c.want) << c.seg << " " << c.reg;
        // The same as the mate's own record shows in its CIGAR and MAPQ columns.
        const int o = 1 - c.seg;
        const std::vector<std::string> mate = split(sam(idx.mi, pair[o], o, o == 0 ? 1 : 0, segs, c.flag), '\t');
        EXPECT_EQ(f[11] + " " + f[12], "MC:Z:" + mate[5] + " MQ:i:" + mate[4]);
    }
}

/* A target with introns [1000, 1500) and [2000, 2300) whose end bases are set. */
std::string junction_target(const char *d1, const char *a1, const char *d2, const char *a2) {
    std::mt19937 rng(23);
    std::string g = random_dna(rng, 3000);
    g.replace(1000, 2, d1), g.replace(1498, 2, a1);
    g.replace(2000, 2, d2), g.replace(2298, 2, a2);
    return g;
}

std::string junc(const ls_idx *mi, int rev, int ts, int spliced = 1) {
    Regs a;
    ls_reg &r = a.add(0, 900, 2400, 0, 702, rev,
                      {op(100, 'M'), op(500, 'N'), op(50, 'M'), op(5, 'I'), op(3, 'D'), op(447, 'M'),
                       op(300, 'N'), op(100, 'M')});
    r.spliced = (uint32_t)spliced;
    r.p->transcript_strand = (uint32_t)ts;
    const std::string bases(702, 'A'); // the record points into it
    ls_bseq_rec t = query("tx", bases, "");
    Str out;
    ls_write_junc(&out.s, mi, &t, &r);
    EXPECT_EQ(out.s.s != nullptr ? out.s.s[out.s.l] : 0, 0);
    return out.str();
}

TEST(JunctionLines, ScoresStrandsAndSkips) {
    Idx fwd({junction_target("GT", "AG", "GC", "AG")});
    EXPECT_EQ(junc(fwd.mi, 0, 1), "chr1\t1000\t1500\ttx\t6\t+\nchr1\t2000\t2300\ttx\t5\t+");
    // A reverse region whose transcript is reverse reads the pairs as they are: '+' on the target.
    EXPECT_EQ(junc(fwd.mi, 1, 2), "chr1\t1000\t1500\ttx\t6\t+\nchr1\t2000\t2300\ttx\t5\t+");
    // Reverse-strand transcript on a forward region: CT...AC is GT...AG on the other strand.
    Idx rev({junction_target("CT", "AC", "CT", "GC")});
    EXPECT_EQ(junc(rev.mi, 0, 2), "chr1\t1000\t1500\ttx\t6\t-\nchr1\t2000\t2300\ttx\t5\t-");
    EXPECT_EQ(junc(rev.mi, 1, 1), "chr1\t1000\t1500\ttx\t6\t-\nchr1\t2000\t2300\ttx\t5\t-");
    EXPECT_EQ(junc(rev.mi, 0, 1), "chr1\t1000\t1500\ttx\t1\t+\nchr1\t2000\t2300\ttx\t0\t+");
    Idx weak({junction_target("AT", "AC", "TT", "TT")});
    EXPECT_EQ(junc(weak.mi, 0, 1), "chr1\t1000\t1500\ttx\t2\t+\nchr1\t2000\t2300\ttx\t0\t+");
    // Unknown strand or no splicing: nothing.
    EXPECT_EQ(junc(fwd.mi, 0, 0), "");
    EXPECT_EQ(junc(fwd.mi, 0, 3), "");
    EXPECT_EQ(junc(fwd.mi, 0, 1, 0), "");
}

TEST(SamSeq, ComplementTable) {
    Str s;
    const char *t = "ACGTURYKMBVDHNSWacgturykmbvdhnsw-5";
    ls_sam_append_seq(&s.s, t, (int)strlen(t), 1, 1);
    EXPECT_EQ(s.str(), "5-wsndhbvkmryaacgtWSNDHBVKMRYAACGT");
    s.s.l = 0;
    ls_sam_append_seq(&s.s, t, 5, 1, 0);
    EXPECT_EQ(s.str(), "UTGCA");
    s.s.l = 0;
    ls_sam_append_seq(&s.s, t, 5, 0, 1); // complement alone does nothing
    EXPECT_EQ(s.str(), "ACGTU");
}

/* Maps generated reads, including chimeras, and checks every record against its region. */
TEST(SamEndToEnd, MappedRecordsAreConsistent) {
    std::mt19937 rng(2024);
    std::vector<std::string> tg = {random_dna(rng, 40000), random_dna(rng, 30000)};
    Idx idx(tg);
    ls_mapopt opt;
    ls_mapopt_defaults(&opt);
    opt.flag |= LS_F_BASE_ALIGN;
    ls_mapopt_update(&opt, idx.mi);
    ls_tbuf *b = ls_tbuf_init();

    auto mutate = [&](const std::string &s) {
        std::string o;
        for (char c : s) {
            const unsigned x = rng() % 1000;
            if (x < 15)
                o += "ACGT"[rng() & 3];
            else if (x < 20)
                o += c, o += "ACGT"[rng() & 3];
            else if (x < 25)
                continue;
            else
                o += c;
        }
        return o;
    };
    std::string all_sam;
    testing::internal::CaptureStdout();
    ls_sam_header(idx.mi, nullptr, "test", 0, nullptr);
    all_sam = testing::internal::GetCapturedStdout();
    int n_records = 0, n_rev = 0, n_supp = 0;
    for (int i = 0; i < 24; ++i) {
        const int ti = i % 2, len = 1000 + (int)(rng() % 2000);
        const int st = (int)(rng() % (tg[ti].size() - len));
        std::string seq = mutate(tg[ti].substr(st, len));
        if (i % 3 == 0) { // chimera: a piece of the other target appended
            const int st2 = (int)(rng() % (tg[1 - ti].size() - 1500));
            seq += revcomp(mutate(tg[1 - ti].substr(st2, 1500)));
        }
        if (i & 1) seq = revcomp(seq);
        std::string qual(seq.size(), 'I');
        for (auto &c : qual) c = (char)('#' + rng() % 40);
        const std::string name = "read" + std::to_string(i);
        ls_bseq_rec t = query(name.c_str(), seq, qual);
        int n = 0;
        ls_reg *regs = ls_map(idx.mi, t.len, seq.c_str(), &n, b, &opt, name.c_str());
        ASSERT_GT(n, 0) << name;
        for (int j = 0; j < n; ++j) {
            const ls_reg &r = regs[j];
            ASSERT_NE(r.p, nullptr);
            Str out;
            const int nn[1] = {n};
            const ls_reg *arr[1] = {regs};
            ls_sam_format(&out.s, idx.mi, &t, 0, j, 1, nn, arr, b->arena, LS_F_MD_TAG, -1);
            const std::string line = out.str();
            all_sam += line + "\n";
            ++n_records;
            const std::vector<std::string> f = split(line, '\t');
            ASSERT_GE(f.size(), 11u);
            const int flag = std::stoi(f[1]);
            EXPECT_EQ(f[2], "chr" + std::to_string(r.target_id + 1));
            EXPECT_EQ(std::stoi(f[3]), r.rs + 1);
            EXPECT_EQ(!!(flag & 0x10), (bool)r.reverse);
            int in_seq, hard;
            cigar_query_len(f[5], &in_seq, &hard);
            EXPECT_EQ(in_seq + hard, t.len) << line.substr(0, 200);
            if (f[9] != "*") {
                EXPECT_EQ((int)f[9].size(), in_seq);
                EXPECT_EQ(f[9].size(), f[10].size());
            }
            if ((flag & 0x900) == 0) {
                EXPECT_EQ(f[9], r.reverse ? revcomp(seq) : seq);
                EXPECT_EQ(f[10], r.reverse ? std::string(qual.rbegin(), qual.rend()) : qual);
                EXPECT_EQ(hard, 0);
            }
            if (flag & 0x800) {
                ++n_supp;
                EXPECT_EQ(f[9],
                          r.reverse ? revcomp(seq.substr(r.qs, r.qe - r.qs)) : seq.substr(r.qs, r.qe - r.qs));
            }
            n_rev += r.reverse;
        }
        lstest::free_regions(n, regs);
    }
    ls_tbuf_destroy(b);
    EXPECT_GT(n_rev, 0);
    EXPECT_GT(n_supp, 0);
    EXPECT_GE(n_records, 24);

    // An independent parser reads the whole file.
    if (system("samtools --version >/dev/null 2>&1") != 0) { GTEST_SKIP() << "samtools not installed"; }
    lstest::TempDir dir;
    lstest::write_file(dir.file("out.sam"), all_sam);
    lstest::RunResult res = lstest::run_command("samtools view -c " + dir.file("out.sam"));
    EXPECT_EQ(res.status, 0) << res.err;
    EXPECT_EQ(res.err, "");
    EXPECT_EQ(res.out, std::to_string(n_records) + "\n");
}

} // namespace
