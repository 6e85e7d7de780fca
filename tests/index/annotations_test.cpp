// Annotation tables: the readers on small hand-written files (plain, gzip,
// standard input, damaged; BED12, GTF and GFF3 alike), the three lookups
// against brute force, and a spliced mapping guided by a BED12 annotation.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "map/regions.h"
#include "index/index.h"
#include "lodestar.h"
#include "base/diagnostics.h"
#include "base/radix_sort.h"
#include "sim.h"
#include "testutil.h"

namespace {

using lstest::TempDir;

/* A part of named targets with random bases. */
struct Part {
    ls_idx *mi = nullptr;
    std::vector<std::string> seqs;
    explicit Part(const std::vector<std::pair<std::string, int>> &targets, uint32_t seed = 1) {
        std::mt19937 rng(seed);
        std::vector<const char *> s, n;
        for (auto &t : targets) {
            std::string x(t.second, 'A');
            for (auto &c : x) c = "ACGT"[rng() & 3];
            seqs.push_back(x);
        }
        for (size_t i = 0; i < targets.size(); ++i) {
            s.push_back(seqs[i].c_str());
            n.push_back(targets[i].first.c_str());
        }
        mi = ls_idx_str(10, 15, 0, 14, (int)targets.size(), s.data(), n.data());
    }
    ~Part() { ls_idx_destroy(mi); }
};

std::vector<std::vector<int>> intervals_of(const ls_idx_intv_v &v) {
    std::vector<std::vector<int>> out;
    for (int i = 0; i < v.n; ++i)
        out.push_back({v.a[i].st, v.a[i].en, v.a[i].cnt, (int)v.a[i].score, (int)v.a[i].strand});
    return out;
}

std::vector<std::vector<int>> jumps_of(const ls_idx_jump_v &v) {
    std::vector<std::vector<int>> out;
    for (int i = 0; i < v.n; ++i)
        out.push_back({v.a[i].off, v.a[i].off2, v.a[i].cnt, v.a[i].strand, v.a[i].flag});
    return out;
}

/* Attaches hand-made jump lists (offs per target, off2 = off + 1). */
void set_jumps(ls_idx *mi, const std::vector<std::vector<int>> &offs) {
    mi->jumps = static_cast<ls_idx_jump_v *>(calloc(mi->n_seq, sizeof(ls_idx_jump_v)));
    for (size_t t = 0; t < offs.size(); ++t) {
        ls_idx_jump_v &v = mi->jumps[t];
        v.n = v.m = (int32_t)offs[t].size();
        v.a = static_cast<ls_idx_jump *>(calloc(offs[t].size() + 1, sizeof(ls_idx_jump)));
        for (size_t i = 0; i < offs[t].size(); ++i) v.a[i] = {offs[t][i], offs[t][i] + 1, 1, 1, 0};
    }
}

TEST(IndexAnnot, RadixInstancesSortByTheirKeys) {
    std::mt19937 rng(5);
    for (int n : {0, 1, 64, 65, 3000}) {
        std::vector<ls_idx_intv> iv(n);
        std::vector<ls_idx_jump> jj(n);
        for (int i = 0; i < n; ++i) {
            // Keys that differ only in their low bits in half the cases.
            int32_t a = (int32_t)(rng() & 0x7fffffff), b = (int32_t)(rng() & (i & 1 ? 0xff : 0x7fffffff));
            iv[i] = {a, b, i, 0, 0};
            jj[i] = {a, b, i, 0, 0};
        }
        auto check = [](auto *beg, auto *end, auto key) {
            for (auto *p = beg; p + 1 < end; ++p) ASSERT_LE(key(p[0]), key(p[1]));
        };
        auto v1 = iv;
        ls_sort_bed(v1.data(), v1.data() + n);
        check(v1.data(), v1.data() + n, [](const ls_idx_intv &r) { return r.st; });
        ls_sort_end(v1.data(), v1.data() + n);
        check(v1.data(), v1.data() + n, [](const ls_idx_intv &r) { return r.en; });
        auto j1 = jj;
        ls_sort_jj(j1.data(), j1.data() + n);
        check(j1.data(), j1.data() + n, [](const ls_idx_jump &r) { return r.off; });
        ls_sort_jj2(j1.data(), j1.data() + n);
        check(j1.data(), j1.data() + n, [](const ls_idx_jump &r) { return r.off2; });
        // Same multiset of records.
        std::vector<int> ids;
        for (auto &r : j1) ids.push_back(r.cnt);
        std::sort(ids.begin(), ids.end());
        for (int i = 0; i < n; ++i) ASSERT_EQ(ids[i], i);
    }
}

TEST(IndexAnnot, JumpLookupWorkedExamplesAndBruteForce) {
    Part p({{"a", 1000}, {"b", 500}});
    ASSERT_NE(p.mi, nullptr);
    int32_t n = -5;
    EXPECT_EQ(ls_idx_jump_get(p.mi, 0, 0, 1000, &n), nullptr); // no jump lists
    EXPECT_EQ(n, 0);
    set_jumps(p.mi, {{100, 200, 300}, {}});
    const ls_idx_jump *r = ls_idx_jump_get(p.mi, 0, 100, 300, &n);
    ASSERT_EQ(n, 2);
    EXPECT_EQ(r[0].off, 200);
    EXPECT_EQ(r[1].off, 300);
    r = ls_idx_jump_get(p.mi, 0, 99, 100, &n);
    ASSERT_EQ(n, 1);
    EXPECT_EQ(r[0].off, 100);
    ls_idx_jump_get(p.mi, 0, 300, -1, &n);
    EXPECT_EQ(n, 0);
    r = ls_idx_jump_get(p.mi, 0, -50, 5000, &n); // end beyond the target: its length
    EXPECT_EQ(n, 3);
    EXPECT_EQ(r[0].off, 100);
    ls_idx_jump_get(p.mi, 0, 900, 50, &n); // start beyond end: nothing
    EXPECT_EQ(n, 0);
    EXPECT_EQ(ls_idx_jump_get(p.mi, 1, 0, 100, &n), nullptr);
    EXPECT_EQ(ls_idx_jump_get(p.mi, 2, 0, 100, &n), nullptr);
    EXPECT_EQ(ls_idx_jump_get(p.mi, -1, 0, 100, &n), nullptr);
    EXPECT_EQ(n, 0);

    // Random sorted lists with repeated offs against a plain scan.
    std::mt19937 rng(11);
    for (int round = 0; round < 200; ++round) {
        std::vector<int> offs(rng() % 40);
        for (auto &o : offs) o = (int)(rng() % 1200);
        std::sort(offs.begin(), offs.end());
        ls_idx_jump_v v = {(int32_t)offs.size(), (int32_t)offs.size(), nullptr};
        std::vector<ls_idx_jump> a(offs.size() + 1);
        for (size_t i = 0; i < offs.size(); ++i) a[i].off = offs[i];
        v.a = a.data();
        for (int q = 0; q < 50; ++q) {
            int x = (int)(rng() % 1300) - 50;
            int want = -1;
            for (size_t i = 0; i < offs.size(); ++i)
                if (offs[i] <= x) want = (int)i;
            ASSERT_EQ(ls_idx_jump_get_core(v.n, v.a, x), want);
        }
        free(p.mi->jumps[0].a);
        p.mi->jumps[0].a = static_cast<ls_idx_jump *>(calloc(a.size(), sizeof(ls_idx_jump)));
        memcpy(p.mi->jumps[0].a, a.data(), a.size() * sizeof(ls_idx_jump));
        p.mi->jumps[0].n = v.n;
        for (int q = 0; q < 50; ++q) {
            int st = (int)(rng() % 1300) - 100, en = (int)(rng() % 1300) - 100;
            int en1 = en < 0 || en > 1000 ? 1000 : en, cnt = 0;
            for (int o : offs) cnt += o > st && o <= en1;
            r = ls_idx_jump_get(p.mi, 0, st, en, &n);
            ASSERT_EQ(n, cnt) << st << " " << en;
            for (int i = 0; i < n; ++i) ASSERT_TRUE(r[i].off > st && r[i].off <= en1);
        }
    }
}

uint64_t spsc(int64_t pos, int score, int type) {
    return (uint64_t)pos << 8 | (uint64_t)(128 + 2 * score + type);
}

void set_spsc(ls_idx *mi, int list, std::vector<uint64_t> e) {
    if (mi->splice_scores == nullptr)
        mi->splice_scores = static_cast<ls_idx_spsc_v *>(calloc(2 * mi->n_seq, sizeof(ls_idx_spsc_v)));
    ls_idx_spsc_v &v = mi->splice_scores[list];
    std::sort(e.begin(), e.end());
    free(v.a);
    v.n = v.m = (uint32_t)e.size();
    v.a = static_cast<uint64_t *>(calloc(e.size() + 1, sizeof(uint64_t)));
    std::copy(e.begin(), e.end(), v.a);
}

TEST(IndexAnnot, SpliceScoreLookupWorkedExamplesAndBruteForce) {
    Part p({{"a", 1000}, {"b", 300}});
    uint8_t out[1200];
    EXPECT_EQ(ls_idx_spsc_get(p.mi, 0, 0, 10, 0, out), -1); // no table
    // Bytes 140 and 150 at one position: 150 wins; entries at start and end
    // fall outside the open range.
    set_spsc(p.mi, 0,
             {150ULL << 8 | 150, 150ULL << 8 | 140, spsc(100, 5, 0), spsc(200, -3, 1), spsc(120, 1, 1)});
    set_spsc(p.mi, 1, {spsc(130, 7, 1)});
    ASSERT_EQ(ls_idx_spsc_get(p.mi, 0, 100, 200, 0, out), 100);
    for (int x = 0; x < 100; ++x) {
        uint8_t want = x == 50 ? 150 : x == 20 ? 128 + 2 + 1 : 255;
        ASSERT_EQ(out[x], want) << x;
    }
    ASSERT_EQ(ls_idx_spsc_get(p.mi, 0, 100, 200, 1, out), 100); // '-' list
    for (int x = 0; x < 100; ++x) ASSERT_EQ(out[x], x == 30 ? 128 + 14 + 1 : 255);
    EXPECT_EQ(ls_idx_spsc_get(p.mi, 1, 10, -1, 0, out), 290); // empty list, end = length
    for (int x = 0; x < 290; ++x) ASSERT_EQ(out[x], 255);
    memset(out, 7, sizeof out);
    EXPECT_EQ(ls_idx_spsc_get(p.mi, 0, 500, 400, 0, out), 0); // empty range writes nothing
    EXPECT_EQ(out[0], 7);
    EXPECT_EQ(ls_idx_spsc_get(p.mi, 2, 0, 10, 0, out), -1);
    EXPECT_EQ(ls_idx_spsc_get(p.mi, -1, 0, 10, 0, out), -1);

    std::mt19937 rng(3);
    for (int round = 0; round < 200; ++round) {
        std::vector<uint64_t> e(rng() % 60);
        for (auto &x : e) x = spsc(rng() % 1000, (int)(rng() % 127) - 63, rng() & 1);
        set_spsc(p.mi, 0, e);
        for (int q = 0; q < 20; ++q) {
            int64_t st = rng() % 1000, en = (int64_t)(rng() % 1100) - 50;
            int64_t en1 = en < 0 || en > 1000 ? 1000 : en;
            int64_t got = ls_idx_spsc_get(p.mi, 0, st, en, 0, out);
            ASSERT_EQ(got, en1 > st ? en1 - st : 0);
            for (int64_t x = 0; x < got; ++x) {
                int want = 255;
                bool seen = false;
                for (uint64_t y : e) {
                    if ((int64_t)(y >> 8) != st + x || x == 0) continue;
                    int b = (int)(y & 0xff);
                    want = seen ? std::max(want, b) : b;
                    seen = true;
                }
                ASSERT_EQ(out[x], want) << st << " " << en << " " << x;
            }
        }
    }
}

void set_intervals(ls_idx *mi, int t, std::vector<ls_idx_intv> iv) {
    if (mi->intervals == nullptr)
        mi->intervals = static_cast<ls_idx_intv_v *>(calloc(mi->n_seq, sizeof(ls_idx_intv_v)));
    std::sort(iv.begin(), iv.end(), [](const ls_idx_intv &a, const ls_idx_intv &b) {
        return a.st < b.st || (a.st == b.st && a.en < b.en);
    });
    ls_idx_intv_v &v = mi->intervals[t];
    free(v.a);
    v.n = v.m = (int32_t)iv.size();
    v.a = static_cast<ls_idx_intv *>(calloc(iv.size() + 1, sizeof(ls_idx_intv)));
    std::copy(iv.begin(), iv.end(), v.a);
}

TEST(IndexAnnot, AnnotatedJunctionMarksAgainstBruteForce) {
    Part p({{"a", 2000}, {"b", 100}});
    uint8_t out[2100];
    memset(out, 9, sizeof out);
    EXPECT_EQ(ls_idx_bed_junc(p.mi, 0, 0, 10, out), -1); // no intervals, still zeroed
    EXPECT_EQ(std::count(out, out + 10, 0), 10);
    set_intervals(p.mi, 0, {{10, 20, 1, 0, 1}, {15, 30, 1, 0, -1}, {40, 50, 1, 0, 0}, {60, 90, 1, 0, 1}});
    ASSERT_EQ(ls_idx_bed_junc(p.mi, 0, 10, 80, out), 0);
    std::vector<uint8_t> want(70, 0);
    want[0] |= 1, want[9] |= 2;  // '+' [10, 20)
    want[5] |= 8, want[19] |= 4; // '-' [15, 30); [40, 50) has no strand; [60, 90) ends outside
    EXPECT_EQ(std::vector<uint8_t>(out, out + 70), want);
    EXPECT_EQ(ls_idx_bed_junc(p.mi, 0, 11, 80, out), 1);
    EXPECT_EQ(ls_idx_bed_junc(p.mi, 0, 95, 100, out), 4);
    EXPECT_EQ(ls_idx_bed_junc(p.mi, 1, 0, 100, out), 0);
    EXPECT_EQ(ls_idx_bed_junc(p.mi, 2, 0, 100, out), -1);

    std::mt19937 rng(8);
    for (int round = 0; round < 100; ++round) {
        std::vector<ls_idx_intv> iv(rng() % 50);
        for (auto &r : iv) {
            int s = (int)(rng() % 1900), l = 1 + (int)(rng() % 100);
            r = {s, s + l, 1, 0, (int)(rng() % 3) - 1};
        }
        set_intervals(p.mi, 0, iv);
        for (int q = 0; q < 20; ++q) {
            int64_t st = rng() % 2000, en = st + 1 + rng() % 600;
            if (en > 2000) en = 2000;
            int32_t first = ls_idx_bed_junc(p.mi, 0, st, en, out);
            int32_t want_first = 0;
            while (want_first < p.mi->intervals[0].n && p.mi->intervals[0].a[want_first].st < st)
                ++want_first;
            ASSERT_EQ(first, want_first);
            std::vector<uint8_t> w(en - st, 0);
            for (auto &r : iv) {
                if (r.st < st || r.en > en || r.strand == 0) continue;
                w[r.st - st] |= r.strand > 0 ? 1 : 8;
                w[r.en - 1 - st] |= r.strand > 0 ? 2 : 4;
            }
            ASSERT_EQ(std::vector<uint8_t>(out, out + (en - st)), w);
        }
    }
}

TEST(IndexAnnot, BedReaderPlainAndGzip) {
    TempDir dir;
    const std::string bed = "chr1\t100\t1000\tg1\t5\t+\t100\t1000\t0\t3\t50,100,200,\t0,300,700,\n"
                            "chr1\t100\t1000\tg1\t5\t+\t100\t1000\t0\t3\t50,100,200,\t0,300,700,\n"
                            "chr2\t10\t60\tx\t.\t-\n"                     // BED6
                            "chr2\t10\t60\n"                              // same interval, BED3
                            "chr2\t5\t40\tx\t700\t-\t0\t0\t0\tab\t1\t0\n" // block count not a number
                            "chrX\t1\t5\n"                                // not a target
                            "chr1\t-5\t20\n"                              // negative start
                            "chr1\t30\t-1\n"                              // negative end
                            "chr1\t30\t30\n"                              // empty
                            "chr1\tx\t40\n"                               // not a number
                            "chr1\t10\n"                                  // too few fields
                            "\n"
                            "chr1\t0\t500\tq\t1\t+\t0\t0\t0\t4000000000\t1,\t0,\n" // short block lists
                            "chr1\t0\t500\tq\t1\t+\t0\t0\t0\t2\t1,2\n"             // 11 fields
                            "chr1\t0\t500\tq\t1\t+\t0\t0\t0\t2\t10,5,\t0,5,\r\n"   // overlapping blocks, CRLF
                            "\x01\x02\xff\tgarbage\t\t\t\n";
    for (int gz = 0; gz < 2; ++gz) {
        SCOPED_TRACE(gz ? "gzip" : "plain");
        const std::string path = dir.file(gz ? "a.bed.gz" : "a.bed");
        if (gz)
            lstest::write_gzip(path, bed);
        else
            lstest::write_file(path, bed);
        Part p({{"chr1", 2000}, {"chr2", 100}});
        // Introns of the BED12 lines; other lines give their intervals.
        ls_idx_intv_v *iv = ls_idx_bed_read_merge(p.mi, path.c_str(), 1, -1);
        ASSERT_NE(iv, nullptr);
        using V = std::vector<std::vector<int>>;
        EXPECT_EQ(intervals_of(iv[0]), (V{{0, 500, 1, 1, 1}, {150, 400, 2, 5, 1}, {500, 800, 2, 5, 1}}));
        EXPECT_EQ(intervals_of(iv[1]), (V{{5, 40, 1, 700, -1}, {10, 60, 2, -1, -1}}));
        for (int i = 0; i < 2; ++i) free(iv[i].a);
        free(iv);
        // Without the junction switch every line is its interval.
        ASSERT_EQ(ls_idx_bed_read(p.mi, path.c_str(), 0), 0);
        ASSERT_NE(p.mi->intervals, nullptr);
        EXPECT_EQ(intervals_of(p.mi->intervals[0]), (V{{0, 500, 3, 1, 1}, {100, 1000, 2, 5, 1}}));
        // A second file replaces the first; a missing one leaves it in place.
        lstest::write_file(dir.file("b.bed"), "chr2\t1\t2\n");
        ASSERT_EQ(ls_idx_bed_read(p.mi, dir.file("b.bed").c_str(), 1), 0);
        EXPECT_EQ(p.mi->intervals[0].n, 0);
        EXPECT_EQ(intervals_of(p.mi->intervals[1]), (V{{1, 2, 1, -1, 0}}));
        EXPECT_EQ(ls_idx_bed_read(p.mi, dir.file("missing.bed").c_str(), 1), -1);
        EXPECT_EQ(p.mi->intervals[1].n, 1);
    }
}

TEST(IndexAnnot, JunctionReaderMergesBothEndsAndRepeatedReads) {
    TempDir dir;
    const std::string path = dir.file("j.bed");
    lstest::write_file(path, "t\t100\t1000\tg\t30\t-\t0\t0\t0\t3\t50,100,200,\t0,300,700,\n"
                             "t\t100\t400\tg\t10\t-\t0\t0\t0\t2\t50,100,\t0,200,\n" // score below 20
                             "t\t140\t500\tg\t40\t+\t0\t0\t0\t2\t10,100,\t0,260,\n");
    Part p({{"t", 2000}});
    ASSERT_EQ(ls_idx_jjump_read(p.mi, path.c_str(), 1, 20), 0);
    using V = std::vector<std::vector<int>>;
    // Introns [150, 400) twice (counts merged), [500, 800) and [150, 400) once more.
    const V first = {{150, 400, 2, -1, 1}, {400, 150, 2, -1, 1}, {500, 800, 1, -1, 1}, {800, 500, 1, -1, 1}};
    EXPECT_EQ(jumps_of(p.mi->jumps[0]), first);
    ASSERT_EQ(ls_idx_jjump_read(p.mi, path.c_str(), 0, 20), 0);
    const V twice = {{150, 400, 4, -1, 1}, {400, 150, 4, -1, 1}, {500, 800, 2, -1, 1}, {800, 500, 2, -1, 1}};
    EXPECT_EQ(jumps_of(p.mi->jumps[0]), twice);
    EXPECT_EQ(ls_idx_jjump_read(p.mi, dir.file("none").c_str(), 1, 0), -1);
    EXPECT_EQ(jumps_of(p.mi->jumps[0]), twice);
    // Without a minimum the low-scoring line counts too.
    Part q({{"t", 2000}});
    ASSERT_EQ(ls_idx_jjump_read(q.mi, path.c_str(), 2, 0), 0);
    EXPECT_EQ(jumps_of(q.mi->jumps[0]), (V{{150, 300, 1, -1, 2},
                                           {150, 400, 2, -1, 2},
                                           {300, 150, 1, -1, 2},
                                           {400, 150, 2, -1, 2},
                                           {500, 800, 1, -1, 2},
                                           {800, 500, 1, -1, 2}}));
    int32_t n;
    const ls_idx_jump *r = ls_idx_jump_get(q.mi, 0, 149, 300, &n);
    ASSERT_EQ(n, 3);
    EXPECT_EQ(r[2].off, 300);

    // Many junctions go through the radix sort; every intron appears from
    // both ends, sorted by (off, off2).
    std::string big;
    std::mt19937 rng(4);
    std::vector<std::pair<int, int>> want;
    for (int i = 0; i < 300; ++i) {
        int s = 10 + (int)(rng() % 1500), l = 20 + (int)(rng() % 200);
        big += "t\t" + std::to_string(s - 10) + "\t" + std::to_string(s + l + 10) +
               "\tg\t0\t+\t0\t0\t0\t2\t10,10,\t0," + std::to_string(l + 10) + ",\n";
        want.push_back({s, s + l}), want.push_back({s + l, s});
    }
    std::sort(want.begin(), want.end());
    want.erase(std::unique(want.begin(), want.end()), want.end());
    lstest::write_gzip(dir.file("big.bed.gz"), big);
    Part b({{"t", 2000}});
    ASSERT_EQ(ls_idx_jjump_read(b.mi, dir.file("big.bed.gz").c_str(), 1, 0), 0);
    std::vector<std::pair<int, int>> got;
    int total = 0;
    for (int i = 0; i < b.mi->jumps[0].n; ++i) {
        got.push_back({b.mi->jumps[0].a[i].off, b.mi->jumps[0].a[i].off2});
        total += b.mi->jumps[0].a[i].cnt;
    }
    EXPECT_EQ(got, want);
    EXPECT_EQ(total, 600);
}

/* Three transcripts as GTF, GFF3 and BED12: t1 (+, four exons listed out of
 * order, two of them touching) and t3 (+, sharing t1's first exon through a
 * GFF3 exon with two parents) on chr1, t2 (-) on chr2; CDS and gene lines
 * and a transcript on both strands (t4, skipped) give nothing. */
const char *const kGtf = "#!genome-build test\n"
                         "chr1\tsrc\tgene\t101\t900\t.\t+\t.\tgene_id \"g1\";\n"
                         "chr1\tsrc\texon\t101\t200\t.\t+\t.\tgene_id \"g1\"; transcript_id \"t1\";\n"
                         "chr1\tsrc\tCDS\t150\t650\t.\t+\t0\tgene_id \"g1\"; transcript_id \"t1\";\n"
                         "chr1\tsrc\texon\t601\t900\t.\t+\t.\tgene_id \"g1\"; transcript_id \"t1\";\n"
                         "chr1\tsrc\texon\t301\t400\t.\t+\t.\tgene_id \"g1\"; transcript_id \"t1\";\n"
                         "chr1\tsrc\texon\t401\t450\t.\t+\t.\tgene_id \"g1\"; transcript_id \"t1\";\n"
                         "chr1\tsrc\texon\t101\t200\t.\t+\t.\tgene_id \"g1\"; transcript_id \"t3\";\n"
                         "chr2\tsrc\texon\t501\t700\t.\t-\t.\tgene_id \"g2\"; transcript_id \"t2\";\n"
                         "chr2\tsrc\texon\t101\t300\t.\t-\t.\tgene_id \"g2\"; transcript_id \"t2\";\n"
                         "chr1\tsrc\texon\t701\t800\t.\t+\t.\tgene_id \"g1\"; transcript_id \"t3\";\n"
                         "chr1\tsrc\texon\t1001\t1100\t.\t+\t.\tgene_id \"g4\"; transcript_id \"t4\";\n"
                         "chr1\tsrc\texon\t1201\t1300\t.\t-\t.\tgene_id \"g4\"; transcript_id \"t4\";\n";
const char *const kGff3 = "##gff-version 3\n"
                          "chr1\tsrc\tgene\t101\t900\t.\t+\t.\tID=g1\n"
                          "chr1\tsrc\tmRNA\t101\t900\t.\t+\t.\tID=t1;Parent=g1\n"
                          "chr1\tsrc\texon\t101\t200\t.\t+\t.\tParent=t1,t3\n"
                          "chr1\tsrc\tCDS\t150\t650\t.\t+\t0\tParent=t1\n"
                          "chr1\tsrc\texon\t601\t900\t.\t+\t.\tParent=t1\n"
                          "chr1\tsrc\texon\t301\t400\t.\t+\t.\tParent=t1\n"
                          "chr1\tsrc\texon\t401\t450\t.\t+\t.\tParent=t1\r\n"
                          "chr2\tsrc\texon\t501\t700\t.\t-\t.\tParent=t2\n"
                          "###\n"
                          "chr2\tsrc\texon\t101\t300\t.\t-\t.\tParent=t2\n"
                          "chr1\tsrc\texon\t701\t800\t.\t+\t.\tID=e9;Parent=t3\n"
                          "chr1\tsrc\texon\t1001\t1100\t.\t+\t.\tParent=t4\n"
                          "chr1\tsrc\texon\t1201\t1300\t.\t-\t.\tParent=t4\n"
                          "##FASTA\n>chr1\nACGT\n";
const char *const kBed12 = "track name=test\n"
                           "chr1\t100\t900\tt1\t.\t+\t100\t900\t0\t4\t100,100,50,300,\t0,200,300,500,\n"
                           "chr1\t100\t800\tt3\t.\t+\t100\t800\t0\t2\t100,100,\t0,600,\n"
                           "chr2\t100\t700\tt2\t.\t-\t100\t700\t0\t2\t200,200,\t0,400,\n";

TEST(IndexAnnot, GtfGff3AndBed12GiveTheSameIntrons) {
    TempDir dir;
    using V = std::vector<std::vector<int>>;
    // Hand-worked: 1-based exons 101..200 and 301..400 leave [200, 300).
    const V introns1 = {{200, 300, 1, -1, 1}, {200, 700, 1, -1, 1}, {450, 600, 1, -1, 1}};
    const V introns2 = {{300, 500, 1, -1, -1}};
    const V spans1 = {{100, 800, 1, -1, 1}, {100, 900, 1, -1, 1}}, spans2 = {{100, 700, 1, -1, -1}};
    lstest::write_file(dir.file("a.bed"), kBed12);
    lstest::write_file(dir.file("a.gtf"), kGtf);
    lstest::write_gzip(dir.file("a.gtf.gz"), kGtf);
    // Told apart by content: the GFF3 file goes by a BED name.
    lstest::write_file(dir.file("gff3.bed"), kGff3);
    for (const char *name : {"a.bed", "a.gtf", "a.gtf.gz", "gff3.bed"}) {
        SCOPED_TRACE(name);
        const std::string path = dir.file(name);
        Part p({{"chr1", 2000}, {"chr2", 1000}});
        ASSERT_EQ(ls_idx_bed_read(p.mi, path.c_str(), 1), 0);
        EXPECT_EQ(intervals_of(p.mi->intervals[0]), introns1);
        EXPECT_EQ(intervals_of(p.mi->intervals[1]), introns2);
        ASSERT_EQ(ls_idx_jjump_read(p.mi, path.c_str(), 1, -1), 0);
        EXPECT_EQ(jumps_of(p.mi->jumps[1]), (V{{300, 500, 1, -1, 1}, {500, 300, 1, -1, 1}}));
        EXPECT_EQ(p.mi->jumps[0].n, 6);
        ASSERT_EQ(ls_idx_bed_read(p.mi, path.c_str(), 0), 0);
        EXPECT_EQ(intervals_of(p.mi->intervals[0]), spans1);
        EXPECT_EQ(intervals_of(p.mi->intervals[1]), spans2);
    }
}

TEST(IndexAnnot, IntronReadersRefuseEmptyAndMalformedFiles) {
    TempDir dir;
    const std::string gtf = "chr1\tsrc\texon\t101\t200\t.\t+\t.\ttranscript_id \"t\";\n";
    const struct {
        std::string text;
        int result;
    } rows[] = {
        {"chr1\tsrc\tgene\t101\t900\t.\t+\t.\tgene_id \"g\";\n"
         "chr1\tsrc\tCDS\t101\t900\t.\t+\t0\tgene_id \"g\"; transcript_id \"t\";\n",
         LS_ANNOT_NO_INTRON},                                                       // no exon
        {gtf, LS_ANNOT_NO_INTRON},                                                  // one exon
        {"chr1\tx\t40\nchr1\t30\t30\n", LS_ANNOT_NO_INTRON},                        // no usable BED line
        {"# nothing\n\n", LS_ANNOT_NO_INTRON},                                      // comments only
        {gtf + "chr1\tsrc\texon\t301\t400\t.\t+\n", LS_ANNOT_BAD_LINE},             // 7 columns
        {gtf + gtf + "chr1\tsrc\texon\t3o1\t400\t.\t+\t.\tx\n", LS_ANNOT_BAD_LINE}, // not a position
        {gtf + "chr1\tsrc\texon\t0\t400\t.\t+\t.\tx\n", LS_ANNOT_BAD_LINE},         // position 0
        {gtf + "chr1\tsrc\tCDS\t401\t400\t.\t+\t.\tx\n", LS_ANNOT_BAD_LINE},        // end before start
    };
    Part p({{"chr1", 2000}});
    lstest::write_file(dir.file("good.bed"), kBed12);
    ASSERT_EQ(ls_idx_bed_read(p.mi, dir.file("good.bed").c_str(), 1), 0);
    ASSERT_EQ(ls_idx_jjump_read(p.mi, dir.file("good.bed").c_str(), 1, -1), 0);
    const int v = ls_verbosity;
    ls_verbosity = 0;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.text);
        lstest::write_file(dir.file("x"), row.text);
        EXPECT_EQ(ls_idx_bed_read(p.mi, dir.file("x").c_str(), 1), row.result);
        EXPECT_EQ(ls_idx_jjump_read(p.mi, dir.file("x").c_str(), 1, -1), row.result);
        // The tables of the good file stay.
        EXPECT_EQ(p.mi->intervals[0].n, 3);
        EXPECT_EQ(p.mi->jumps[0].n, 6);
    }
    ls_verbosity = v;
    // Introns on targets of other parts still count: every part of a split
    // index reads the whole file.
    lstest::write_file(dir.file("a.gtf"), kGtf);
    Part other({{"chrX", 100}});
    EXPECT_EQ(ls_idx_bed_read(other.mi, dir.file("a.gtf").c_str(), 1), 0);
    EXPECT_EQ(ls_idx_jjump_read(other.mi, dir.file("a.gtf").c_str(), 1, -1), 0);
}

TEST(IndexAnnot, AltReaderAndStandardInput) {
    TempDir dir;
    Part p({{"chr1", 100}, {"chr1_alt", 100}, {"chr2_alt", 100}});
    const std::string names = "chr1_alt extra words\nchrUn\n\nchr2_alt\tx\r\n";
    lstest::write_gzip(dir.file("alt.gz"), names);
    EXPECT_EQ(ls_idx_alt_read(p.mi, dir.file("missing").c_str()), -1);
    EXPECT_EQ(p.mi->n_alt, 0);
    ASSERT_EQ(ls_idx_alt_read(p.mi, dir.file("alt.gz").c_str()), 2);
    EXPECT_EQ(p.mi->n_alt, 2);
    EXPECT_EQ(p.mi->seq[0].is_alt, 0u);
    EXPECT_EQ(p.mi->seq[1].is_alt, 1u);
    EXPECT_EQ(p.mi->seq[2].is_alt, 1u);
    // ALT regions are marked from these fields.
    ls_reg r[2] = {};
    r[0].target_id = 0, r[1].target_id = 2;
    ls_mark_alt(p.mi, 2, r);
    EXPECT_EQ(r[0].on_alt, 0u);
    EXPECT_EQ(r[1].on_alt, 1u);

    // "-" reads standard input.
    lstest::write_file(dir.file("alt.txt"), "chr1\n");
    Part q({{"chr1", 100}, {"chr2", 100}});
    int saved = dup(0);
    int fd = open(dir.file("alt.txt").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(dup2(fd, 0), 0);
    close(fd);
    EXPECT_EQ(ls_idx_alt_read(q.mi, "-"), 1);
    dup2(saved, 0);
    close(saved);
    EXPECT_EQ(q.mi->seq[0].is_alt, 1u);
}

TEST(IndexAnnot, SpliceScoreReader) {
    TempDir dir;
    const std::string tab = "a\t50\t+\tD\t5\n"
                            "a\t50\t+\tD\t9\n"   // same site: the higher byte wins in lookups
                            "a\t60\t-\tA\t-80\n" // clamped to -20
                            "a\t70\t.\tA\t3\n"   // any other strand is '-'
                            "a\t0\t+\tD\t1\n"    // position 0 is not added
                            "a\t100\t+\tD\t1\n"  // beyond the target
                            "a\t-3\t+\tD\t1\n"
                            "a\t20\t+\tX\t1\n" // bad type
                            "a\t20\t+\tD\n"    // four fields
                            "b\t20\t+\tD\t1\n" // not a target
                            "a\t20\t+\tA\tzz\n"
                            "a\t30\t+\tA\t100\textra\n";
    lstest::write_gzip(dir.file("s.gz"), tab);
    Part p({{"a", 100}});
    EXPECT_EQ(ls_idx_spsc_read(p.mi, dir.file("none").c_str(), 20), -1);
    EXPECT_EQ(p.mi->splice_scores, nullptr);
    ASSERT_EQ(ls_idx_spsc_read(p.mi, dir.file("s.gz").c_str(), 20), 0);
    const ls_idx_spsc_v *v = p.mi->splice_scores;
    EXPECT_EQ(std::vector<uint64_t>(v[0].a, v[0].a + v[0].n),
              (std::vector<uint64_t>{spsc(30, 20, 1), spsc(50, 5, 0), spsc(50, 9, 0)}));
    EXPECT_EQ(std::vector<uint64_t>(v[1].a, v[1].a + v[1].n),
              (std::vector<uint64_t>{spsc(60, -20, 1), spsc(70, 3, 1)}));
    uint8_t out[100];
    ASSERT_EQ(ls_idx_spsc_get(p.mi, 0, 0, -1, 0, out), 100);
    EXPECT_EQ(out[50], 128 + 18);
    EXPECT_EQ(out[30], 128 + 41);
    EXPECT_EQ(out[60], 255);

    // Scaling rounds to nearest with halves toward zero; a maximum above 63
    // is capped.
    lstest::write_file(dir.file("t.txt"),
                       "a\t10\t+\tD\t5\na\t11\t+\tD\t-5\na\t12\t+\tD\t0\na\t13\t+\tD\t1000\n");
    ASSERT_EQ(ls_idx_spsc_read2(p.mi, dir.file("t.txt").c_str(), 100, 0.5f), 0);
    v = p.mi->splice_scores;
    EXPECT_EQ(std::vector<uint64_t>(v[0].a, v[0].a + v[0].n),
              (std::vector<uint64_t>{spsc(10, 2, 0), spsc(11, -2, 0), spsc(12, 0, 0), spsc(13, 63, 0)}));
    EXPECT_EQ(v[1].n, 0u);
    ASSERT_EQ(ls_idx_spsc_read2(p.mi, dir.file("t.txt").c_str(), -4, 1.0f), 0); // negative maximum: 0
    EXPECT_EQ(p.mi->splice_scores[0].a[3], spsc(13, 0, 0));
}

TEST(IndexAnnot, DamagedGzipLeavesTablesUnchanged) {
    TempDir dir;
    std::string bed;
    for (int i = 0; i < 20000; ++i)
        bed += "t\t" + std::to_string(i) + "\t" + std::to_string(i + 7) + "\tx\t1\t+\n";
    lstest::write_gzip(dir.file("a.gz"), bed);
    std::string z = lstest::read_file(dir.file("a.gz"));
    lstest::write_file(dir.file("cut.gz"), z.substr(0, z.size() / 2));
    Part p({{"t", 30000}});
    const int v = ls_verbosity;
    ls_verbosity = 0;
    EXPECT_EQ(ls_idx_bed_read(p.mi, dir.file("cut.gz").c_str(), 0), -1);
    EXPECT_EQ(p.mi->intervals, nullptr);
    EXPECT_EQ(ls_idx_jjump_read(p.mi, dir.file("cut.gz").c_str(), 1, 0), -1);
    EXPECT_EQ(p.mi->jumps, nullptr);
    EXPECT_EQ(ls_idx_spsc_read(p.mi, dir.file("cut.gz").c_str(), 10), -1);
    EXPECT_EQ(p.mi->splice_scores, nullptr);
    EXPECT_EQ(ls_idx_alt_read(p.mi, dir.file("cut.gz").c_str()), -1);
    ls_verbosity = v;
    ASSERT_EQ(ls_idx_bed_read(p.mi, dir.file("a.gz").c_str(), 0), 0);
    EXPECT_EQ(p.mi->intervals[0].n, 20000);
}

TEST(IndexAnnot, ReadersSurviveRandomText) {
    // Lines built from pieces that look like fields: names, numbers of any
    // sign and size, comma lists, strands, tabs and stray bytes.
    const char *pieces[] = {
        "t",    "u", "0",   "7",     "-3", "99999999999", "2147483647", "1,2,", "5,",  ",,",
        "+",    "-", "D",   "A",     "12", "3",           "\t",         "\t",   "\t",  "\r",
        "\x01", " ", "4e9", "1,-9,", "-",  "10,20,30,",   "0,40,",      "63",   "-63", "x"};
    std::mt19937 rng(21);
    TempDir dir;
    Part p({{"t", 500}, {"u", 50}});
    int n_kept = 0;
    for (int round = 0; round < 30; ++round) {
        std::string text;
        for (int l = 0; l < 100; ++l) {
            // Mostly a name then tab-separated fields of one or two pieces.
            text += pieces[rng() % 2];
            for (int k = rng() % 14; k > 0; --k) {
                text += "\t";
                for (int j = 1 + rng() % 2; j > 0; --j)
                    text += pieces[rng() % (sizeof pieces / sizeof *pieces)];
            }
            text += "\n";
        }
        const std::string path = dir.file("r" + std::to_string(round));
        if (round & 1)
            lstest::write_gzip(path, text);
        else
            lstest::write_file(path, text);
        EXPECT_GE(ls_idx_alt_read(p.mi, path.c_str()), 0);
        ASSERT_EQ(ls_idx_bed_read(p.mi, path.c_str(), round & 2), 0);
        // Scores below the minimum may leave no intron at all.
        const int rj = ls_idx_jjump_read(p.mi, path.c_str(), round & 1, (int)(rng() % 3));
        ASSERT_TRUE(rj == 0 || rj == LS_ANNOT_NO_INTRON) << rj;
        ASSERT_EQ(ls_idx_spsc_read2(p.mi, path.c_str(), 20, 0.7f), 0);
        // Every stored record is consistent with its target.
        for (uint32_t id = 0; id < 2; ++id) {
            const ls_idx_intv_v &iv = p.mi->intervals[id];
            for (int i = 0; i < iv.n; ++i) {
                ASSERT_TRUE(iv.a[i].st >= 0 && iv.a[i].st < iv.a[i].en && iv.a[i].cnt >= 1);
                if (i > 0) { ASSERT_TRUE(iv.a[i - 1].st < iv.a[i].st || iv.a[i - 1].en < iv.a[i].en); }
                ++n_kept;
            }
            const ls_idx_jump_v &jv = p.mi->jumps ? p.mi->jumps[id] : ls_idx_jump_v{0, 0, nullptr};
            for (int i = 1; i < jv.n; ++i)
                ASSERT_TRUE(jv.a[i - 1].off < jv.a[i].off ||
                            (jv.a[i - 1].off == jv.a[i].off && jv.a[i - 1].off2 < jv.a[i].off2));
            for (int s = 0; s < 2; ++s) {
                const ls_idx_spsc_v &sv = p.mi->splice_scores[2 * id + s];
                for (uint32_t i = 0; i < sv.n; ++i) {
                    ASSERT_GT(sv.a[i] >> 8, 0u);
                    ASSERT_LT(sv.a[i] >> 8, p.mi->seq[id].len);
                    ASSERT_GE(sv.a[i] & 0xff, 128u - 40);
                    ASSERT_LE(sv.a[i] & 0xff, 128u + 41);
                }
            }
        }
        uint8_t out[600];
        int32_t n;
        ls_idx_jump_get(p.mi, 0, -10, 1000, &n);
        ls_idx_bed_junc(p.mi, 0, 0, 500, out);
        ASSERT_EQ(ls_idx_spsc_get(p.mi, 0, 0, 600, 1, out), 500);
    }
    EXPECT_GT(n_kept, 0); // some lines made sense
}

/* Target starts and lengths of the N operations of a region's CIGAR. */
std::vector<std::pair<int, int>> introns_of(const ls_reg &r) {
    std::vector<std::pair<int, int>> v;
    int t = r.rs;
    for (uint32_t i = 0; i < r.p->n_cigar; ++i) {
        const int op = r.p->cigar[i] & 0xf, len = (int)(r.p->cigar[i] >> 4);
        if (op == LS_CIGAR_N_SKIP) v.push_back({t, len});
        if (op == LS_CIGAR_MATCH || op == LS_CIGAR_DEL || op == LS_CIGAR_N_SKIP || op == LS_CIGAR_EQ_MATCH ||
            op == LS_CIGAR_X_MISMATCH)
            t += len;
    }
    return v;
}

/* Maps q with the spliced preset; the best region's span and introns. */
bool map_spliced(const ls_idx *mi, const std::string &q, int *rev, int *rs, int *re,
                 std::vector<std::pair<int, int>> *introns) {
    ls_idxopt io;
    ls_mapopt mo;
    ls_opt_preset(nullptr, &io, &mo);
    ls_opt_preset("splice", &io, &mo);
    mo.flag |= LS_F_BASE_ALIGN;
    ls_mapopt_update(&mo, mi);
    ls_tbuf *b = ls_tbuf_init();
    int n = 0;
    ls_reg *r = ls_map(mi, (int)q.size(), q.c_str(), &n, b, &mo, nullptr);
    const bool ok = n >= 1 && r[0].p != nullptr;
    if (ok) *rev = r[0].reverse, *rs = r[0].rs, *re = r[0].re, *introns = introns_of(r[0]);
    lstest::free_regions(n, r);
    ls_tbuf_destroy(b);
    return ok;
}

TEST(IndexAnnot, AnnotatedIntronsGuideSplicedMapping) {
    lssim::GenomeParams gp;
    gp.total_len = 60000;
    lssim::Genome genome;
    std::string err;
    ASSERT_TRUE(lssim::make_genome(gp, 77, genome, &err)) << err;
    std::string &g = genome.contigs[0].seq;
    const std::vector<std::pair<int, int>> exons = {
        {10000, 10400}, {12000, 12350}, {15000, 15500}, {16200, 16700}};
    std::string bstarts, bsizes, t;
    std::vector<std::pair<int, int>> want;
    for (size_t i = 0; i < exons.size(); ++i) {
        if (i + 1 < exons.size()) {
            int s = exons[i].second, e = exons[i + 1].first;
            want.push_back({s, e - s});
            // The second intron has no canonical motif on either strand: only
            // the annotation tells where it lies.
            const char *m = i == 1 ? "AACC" : "GTAG";
            g[s] = m[0], g[s + 1] = m[1], g[e - 2] = m[2], g[e - 1] = m[3];
        }
        bstarts += std::to_string(exons[i].first - exons[0].first) + ",";
        bsizes += std::to_string(exons[i].second - exons[i].first) + ",";
    }
    for (auto &ex : exons) t += g.substr(ex.first, ex.second - ex.first);

    ls_idxopt io;
    ls_mapopt mo;
    ASSERT_EQ(ls_opt_preset(nullptr, &io, &mo), 0);
    ASSERT_EQ(ls_opt_preset("splice", &io, &mo), 0);
    const char *seqs[] = {g.c_str()};
    const char *names[] = {"chr"};
    ls_idx *mi = ls_idx_str(io.w, io.k, 0, io.bucket_bits, 1, seqs, names);
    ASSERT_NE(mi, nullptr);
    TempDir dir;
    lstest::write_file(dir.file("g.bed"), "chr\t" + std::to_string(exons[0].first) + "\t" +
                                              std::to_string(exons.back().second) +
                                              "\tgene\t0\t+\t0\t0\t0\t" + std::to_string(exons.size()) +
                                              "\t" + bsizes + "\t" + bstarts + "\n");
    for (int annotated = 0; annotated < 2; ++annotated) {
        if (annotated) {
            ASSERT_EQ(ls_idx_bed_read(mi, dir.file("g.bed").c_str(), 1), 0);
            ASSERT_EQ(mi->intervals[0].n, 3);
        }
        for (int strand = 0; strand < 2; ++strand) {
            SCOPED_TRACE(std::string(annotated ? "annotated " : "plain ") + (strand ? "reverse" : "forward"));
            int rev = -1, rs = -1, re = -1;
            std::vector<std::pair<int, int>> introns;
            ASSERT_TRUE(map_spliced(mi, strand ? lssim::revcomp(t) : t, &rev, &rs, &re, &introns));
            EXPECT_EQ(rev, strand);
            EXPECT_EQ(rs, exons.front().first);
            EXPECT_EQ(re, exons.back().second);
            // Without the annotation the motif-less intron lands elsewhere,
            // so an exact result shows the marks reached the kernel.
            if (annotated)
                EXPECT_EQ(introns, want);
            else
                EXPECT_NE(introns, want);
        }
    }
    ls_idx_destroy(mi);
}

} // namespace
