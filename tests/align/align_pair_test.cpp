/* Alignment module: the pairwise call, CIGAR normalisation and statistics,
 * anchor trimming, seed filters and waypoints. */
#include "align/align.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <random>
#include <string>
#include <vector>

#include "base/arena.h"
#include "map/regions.h"
#include "map/seeds.h"
#include "testutil.h"

namespace {

using lstest::cigar_str;
using lstest::encode;
using lstest::make_matrix;
using lstest::random_dna;
using lstest::Seq;

std::vector<uint32_t> parse_cigar(const std::string &s) {
    std::vector<uint32_t> ops;
    uint32_t len = 0;
    for (char ch : s) {
        if (ch >= '0' && ch <= '9') {
            len = len * 10 + (ch - '0');
        } else {
            ops.push_back(len << 4 | (uint32_t)(strchr(LS_CIGAR_STR, ch) - LS_CIGAR_STR));
            len = 0;
        }
    }
    return ops;
}

/* A region whose intervals are exactly what the CIGAR covers. */
struct Region {
    ls_reg r;
    Region(const std::string &cigar, int qs = 0, int rs = 0, bool reverse = false) {
        r = ls_reg();
        auto ops = parse_cigar(cigar);
        int ql = 0, tl = 0;
        for (uint32_t c : ops) {
            uint32_t op = c & 0xf, l = c >> 4;
            if (op == LS_CIGAR_MATCH || op == LS_CIGAR_INS) ql += l;
            if (op == LS_CIGAR_MATCH || op == LS_CIGAR_DEL || op == LS_CIGAR_N_SKIP) tl += l;
        }
        r.qs = qs, r.qe = qs + ql, r.rs = rs, r.re = rs + tl;
        r.reverse = reverse;
        ls_extra_append_cigar(&r, (uint32_t)ops.size(), ops.data());
    }
    ~Region() { free(r.p); }
    std::string cigar() const { return cigar_str(r.p); }
};

/* ---- CIGAR normalisation ---- */

TEST(FixCigar, WorkedCases) {
    int32_t qsh, tsh;
    {
        /* the inserted bases 10, 11 repeat bases 8, 9; base 7 differs from 9 */
        Seq q = encode("ACGTTGCAGTGTCCATGGATCA");
        Seq t = q;
        t.erase(t.begin() + 10, t.begin() + 12);
        Region g("10M2I10M");
        ls_fix_cigar(&g.r, q.data(), t.data(), &qsh, &tsh);
        EXPECT_EQ(g.cigar(), "8M2I12M");
        EXPECT_EQ(qsh, 0);
        EXPECT_EQ(tsh, 0);
    }
    {
        /* the deleted target bases repeat the whole preceding match: the
         * deletion reaches the start and is then removed */
        Seq t = encode("ACGACGACTTGCA");
        Seq q = encode("ACGACTTGCA");
        Region g("5M3D5M", 0, 100);
        ls_fix_cigar(&g.r, q.data(), t.data(), &qsh, &tsh);
        EXPECT_EQ(g.cigar(), "10M");
        EXPECT_EQ(tsh, 3);
        EXPECT_EQ(qsh, 0);
        EXPECT_EQ(g.r.rs, 103);
        EXPECT_EQ(g.r.re, 113);
    }
    {
        Seq q = encode("AAAAAAAAAACCGCCCCCCCCCC"), t = encode("AAAAAAAAAATTTCCCCCCCCCC");
        Region g("10M2I3D1I10M");
        ls_fix_cigar(&g.r, q.data(), t.data(), &qsh, &tsh);
        EXPECT_EQ(g.cigar(), "10M3I3D10M");
        Region h("10M2I3D10M");
        ls_fix_cigar(&h.r, q.data(), t.data(), &qsh, &tsh);
        EXPECT_EQ(h.cigar(), "10M2I3D10M");
    }
    {
        /* a leading insertion on the reverse strand moves the forward end */
        Seq q = encode("GGGGACGTACGTAC"), t = encode("ACGTACGTAC");
        Region g("4I10M", 5, 0, true);
        ls_fix_cigar(&g.r, q.data(), t.data(), &qsh, &tsh);
        EXPECT_EQ(g.cigar(), "10M");
        EXPECT_EQ(qsh, 4);
        EXPECT_EQ(g.r.qs, 5);
        EXPECT_EQ(g.r.qe, 15);
        Region f("4I10M", 5, 0, false);
        ls_fix_cigar(&f.r, q.data(), t.data(), &qsh, &tsh);
        EXPECT_EQ(f.r.qs, 9);
        EXPECT_EQ(f.r.qe, 19);
        /* a single operation is left alone, even a lone indel */
        Region one("4I", 5);
        ls_fix_cigar(&one.r, q.data(), t.data(), &qsh, &tsh);
        EXPECT_EQ(one.cigar(), "4I");
        EXPECT_EQ(qsh, 0);
        /* a trailing indel stays */
        Region tail("10M4I");
        Seq q2 = encode("ACGTACGTACGGGG");
        ls_fix_cigar(&tail.r, q2.data(), t.data(), &qsh, &tsh);
        EXPECT_EQ(tail.cigar(), "10M4I");
    }
}

/* Alignment score of a CIGAR: matrix over M columns, q + l * e per gap. */
int64_t cigar_score(const ls_extra *p, const uint8_t *q, const uint8_t *t, const std::vector<int8_t> &mat,
                    int go, int ge) {
    int64_t s = 0, qo = 0, to = 0;
    for (uint32_t k = 0; k < p->n_cigar; ++k) {
        uint32_t op = p->cigar[k] & 0xf, l = p->cigar[k] >> 4;
        if (op == LS_CIGAR_MATCH) {
            for (uint32_t i = 0; i < l; ++i) s += mat[t[to + i] * 5 + q[qo + i]];
            qo += l, to += l;
        } else if (op == LS_CIGAR_INS) {
            s -= go + (int64_t)l * ge, qo += l;
        } else if (op == LS_CIGAR_DEL) {
            s -= go + (int64_t)l * ge, to += l;
        }
    }
    return s;
}

TEST(FixCigar, RandomIndelsInRepeats) {
    std::mt19937 rng(5);
    auto mat = make_matrix(2, 4, 1);
    int n_changed = 0;
    for (int it = 0; it < 3000; ++it) {
        /* a target of short tandem repeats; the query is copied from it by an
         * edit script whose indels fall anywhere, often mid-repeat */
        Seq unit(1 + rng() % 4);
        for (auto &c : unit) c = rng() % 4;
        Seq t;
        int tlen = 20 + rng() % 60;
        for (int i = 0; i < tlen; ++i) t.push_back(rng() % 10 == 0 ? rng() % 5 : unit[i % unit.size()]);
        Seq q;
        std::vector<uint32_t> ops;
        auto push = [&](uint32_t op, uint32_t l) {
            if (!ops.empty() && (ops.back() & 0xf) == op)
                ops.back() += l << 4;
            else
                ops.push_back(l << 4 | op);
        };
        int ti = 0;
        while (ti < tlen) {
            int x = rng() % 100;
            if (x < 8) {
                int l = 1 + rng() % 4;
                for (int k = 0; k < l; ++k) q.push_back(rng() % 3 ? unit[(ti + k) % unit.size()] : rng() % 4);
                push(LS_CIGAR_INS, l);
            } else if (x < 16) {
                int l = 1 + rng() % 4;
                if (ti + l > tlen) l = tlen - ti;
                ti += l;
                push(LS_CIGAR_DEL, l);
            } else {
                int l = 1 + rng() % 6;
                if (ti + l > tlen) l = tlen - ti;
                for (int k = 0; k < l; ++k) q.push_back(rng() % 15 ? t[ti + k] : rng() % 4);
                ti += l;
                push(LS_CIGAR_MATCH, l);
            }
        }
        bool has_empty = rng() % 4 == 0;
        if (has_empty) { /* occasionally an empty operation from a seam */
            size_t at = rng() % (ops.size() + 1);
            uint32_t c = rng() % 3; /* a code neither neighbour has, as appending ensures */
            while ((at > 0 && (ops[at - 1] & 0xf) == c) || (at < ops.size() && (ops[at] & 0xf) == c))
                c = (c + 1) % 3;
            ops.insert(ops.begin() + at, c);
        }
        ls_reg r = ls_reg();
        r.qs = 3, r.qe = 3 + (int)q.size(), r.rs = 7, r.re = 7 + tlen;
        ls_extra_append_cigar(&r, (uint32_t)ops.size(), ops.data());
        std::string before = cigar_str(r.p);
        int64_t score0 = cigar_score(r.p, q.data(), t.data(), mat, 4, 2);
        int32_t qsh, tsh;
        ls_fix_cigar(&r, q.data(), t.data(), &qsh, &tsh);
        ls_extra *p = r.p;
        if (cigar_str(p) != before) ++n_changed;
        SCOPED_TRACE(before + " -> " + cigar_str(p));
        if (ops.size() < 2) {
            free(r.p);
            continue;
        }
        /* replaying consumes exactly the region's intervals, from the shifts on */
        int64_t qo = 0, to = 0;
        for (uint32_t k = 0; k < p->n_cigar; ++k) {
            uint32_t op = p->cigar[k] & 0xf, l = p->cigar[k] >> 4;
            ASSERT_GT(l, 0u);
            if (k > 0) { ASSERT_NE(op, p->cigar[k - 1] & 0xf); }
            if (op == LS_CIGAR_MATCH || op == LS_CIGAR_INS) qo += l;
            if (op == LS_CIGAR_MATCH || op == LS_CIGAR_DEL) to += l;
        }
        ASSERT_EQ(qsh + qo, (int64_t)q.size());
        ASSERT_EQ(tsh + to, (int64_t)tlen);
        ASSERT_EQ(r.qs, 3 + qsh);
        ASSERT_EQ(r.rs, 7 + tsh);
        ASSERT_EQ(r.qe - r.qs, qo);
        ASSERT_EQ(r.re - r.rs, to);
        /* an indel between matches cannot move further left. The pass is
         * single: when an indel empties the match before it, the squeezed
         * neighbours are not aligned again, and an empty operation next to
         * an indel keeps it from moving; only CIGARs where no operation
         * vanished are held to this. */
        bool vanished = p->n_cigar + (qsh || tsh) < ops.size();
        const uint8_t *qs = q.data() + qsh, *ts = t.data() + tsh;
        qo = to = 0;
        for (uint32_t k = 0; k < p->n_cigar; ++k) {
            uint32_t op = p->cigar[k] & 0xf, l = p->cigar[k] >> 4;
            bool between = k > 0 && k + 1 < p->n_cigar && (p->cigar[k - 1] & 0xf) == LS_CIGAR_MATCH &&
                           (p->cigar[k + 1] & 0xf) == LS_CIGAR_MATCH;
            if (has_empty || vanished) between = false;
            if (between && op == LS_CIGAR_INS) {
                ASSERT_NE(qs[qo - 1], qs[qo + l - 1]) << "insertion at " << k;
            }
            if (between && op == LS_CIGAR_DEL) {
                ASSERT_NE(ts[to - 1], ts[to + l - 1]) << "deletion at " << k;
            }
            if (op == LS_CIGAR_MATCH || op == LS_CIGAR_INS) qo += l;
            if (op == LS_CIGAR_MATCH || op == LS_CIGAR_DEL) to += l;
        }
        ASSERT_GE(cigar_score(p, qs, ts, mat, 4, 2), score0);
        free(r.p);
    }
    EXPECT_GT(n_changed, 1000);
}

TEST(UpdateExtra, Statistics) {
    auto mat = make_matrix(2, 4, 1);
    {
        /* best local segment: 20 - 4 + 20 */
        Seq t = encode("ACGTACGTACGTACGTACGTA"), q = t;
        q[10] = (q[10] + 1) % 4;
        Region g("21M");
        ls_update_extra(&g.r, q.data(), t.data(), mat.data(), 4, 2, 0, 1);
        EXPECT_EQ(g.r.p->max_score, 36);
        EXPECT_EQ(g.r.p->raw_max_score, 36);
        EXPECT_EQ(g.r.match_len, 20);
        EXPECT_EQ(g.r.block_len, 21);
        EXPECT_EQ(g.r.p->n_ambiguous, 0u);
    }
    {
        /* an N in the query: ambiguous, not a mismatch, not in the block */
        Seq t = encode("ACGTACGTAC"), q = encode("ACGNACGTAC");
        Region g("10M");
        g.r.p->transcript_strand = 2;
        ls_update_extra(&g.r, q.data(), t.data(), mat.data(), 4, 2, 0, 1);
        EXPECT_EQ(g.r.p->n_ambiguous, 1u);
        EXPECT_EQ(g.r.p->transcript_strand, 2u);
        EXPECT_EQ(g.r.block_len, 9);
        EXPECT_EQ(g.r.match_len, 9);
        /* a second call recomputes rather than adds */
        ls_update_extra(&g.r, q.data(), t.data(), mat.data(), 4, 2, 0, 1);
        EXPECT_EQ(g.r.p->n_ambiguous, 1u);
    }
    {
        /* gaps: 40 - (4 + 2 log2 6) + 40 with log-scaled gaps, 40 - 6 + 40 without */
        Seq t = encode("ACGTTGCAACGGATCCTAGCAGTCATGCAAGTCCGATGCA");
        Seq q(t.begin(), t.begin() + 20);
        Seq ins = encode("TTTTT");
        q.insert(q.end(), ins.begin(), ins.end());
        q.insert(q.end(), t.begin() + 20, t.end());
        Region g("20M5I20M");
        ls_update_extra(&g.r, q.data(), t.data(), mat.data(), 4, 2, 0, 1);
        EXPECT_EQ(g.r.p->max_score, 71);
        EXPECT_EQ(g.r.block_len, 45);
        EXPECT_EQ(g.r.match_len, 40);
        Region h("20M5I20M");
        ls_update_extra(&h.r, q.data(), t.data(), mat.data(), 4, 2, 0, 0);
        EXPECT_EQ(h.r.p->max_score, 74);
        EXPECT_FALSE(h.r.spliced);
    }
    {
        /* an intron marks the region spliced and covers target bases only */
        Seq t = encode("ACGTAGTTTTTTTTAGACGT"), q = encode("ACGTAACGT");
        Region g("5M11N4M");
        ls_update_extra(&g.r, q.data(), t.data(), mat.data(), 4, 2, 0, 1);
        EXPECT_TRUE(g.r.spliced);
        EXPECT_EQ(g.r.block_len, 9);
    }
    {
        /* a leading deletion is removed and the statistics start after it */
        Seq t = encode("GGACGTACGTAC"), q = encode("ACGTACGTAC");
        Region g("2D10M", 0, 50);
        ls_update_extra(&g.r, q.data(), t.data(), mat.data(), 4, 2, 1, 1);
        EXPECT_EQ(g.r.rs, 52);
        EXPECT_EQ(g.cigar(), "10=");
        EXPECT_EQ(g.r.match_len, 10);
    }
    /* no detail: nothing happens */
    ls_reg bare = ls_reg();
    ls_update_extra(&bare, nullptr, nullptr, mat.data(), 4, 2, 1, 1);
    EXPECT_EQ(bare.p, nullptr);
}

TEST(CigarToEqx, Runs) {
    {
        Seq t = encode("ACGTACGTAC"), q = t;
        q[4] = 3;
        Region g("10M");
        ls_cigar_to_eqx(&g.r, q.data(), t.data());
        EXPECT_EQ(g.cigar(), "4=1X5=");
        EXPECT_EQ(g.r.p->capacity, 32u); /* a new record: 3 operations + 28, rounded up */
    }
    {
        /* every M an exact match: rewritten in place */
        Seq t = encode("ACGTACGTGACGT"), q = encode("ACGTTACGTACGT");
        Region g("4M1I4M1D4M");
        ls_extra *before = g.r.p;
        ls_cigar_to_eqx(&g.r, q.data(), t.data());
        EXPECT_EQ(g.cigar(), "4=1I4=1D4=");
        EXPECT_EQ(g.r.p, before);
        /* N against N is equal; an M of one differing run becomes X in place */
        Seq tn = encode("NAC"), qn = encode("NGT");
        Region h("1M2M");
        h.r.p->n_cigar = 2;
        h.r.p->cigar[0] = 1 << 4, h.r.p->cigar[1] = 2 << 4;
        ls_cigar_to_eqx(&h.r, qn.data(), tn.data());
        EXPECT_EQ(h.cigar(), "1=2X");
    }
    {
        /* runs across an intron, with the header carried over */
        Seq t = encode("ACGTTTTTTTTTCG"), q = encode("ACCTCA");
        Region g("4M8N2M");
        g.r.p->aln_score = 17;
        ls_cigar_to_eqx(&g.r, q.data(), t.data());
        EXPECT_EQ(g.cigar(), "2=1X1=8N1=1X");
        EXPECT_EQ(g.r.p->aln_score, 17);
    }
}

/* ---- anchors ---- */

ls128 anchor(int32_t t, int32_t q, int span = 15, int rev = 0, int rid = 0) {
    ls128 a;
    a.x = (uint64_t)rev << 63 | (uint64_t)rid << 32 | (uint32_t)t;
    a.y = (uint64_t)span << 32 | (uint32_t)q;
    return a;
}

/* Anchors every 20 bases on one diagonal, then the given gaps (positive:
 * insertion, negative: deletion) one after another every 20 bases. */
std::vector<ls128> chain_with_gaps(const std::vector<int> &gaps, int lead = 3) {
    std::vector<ls128> a;
    int32_t t = 1000, q = 100;
    for (int i = 0; i < lead; ++i) a.push_back(anchor(t, q)), t += 20, q += 20;
    for (int g : gaps) {
        if (g > 0)
            q += g;
        else
            t -= g;
        a.push_back(anchor(t, q));
        t += 20, q += 20;
    }
    for (int i = 0; i < lead; ++i) a.push_back(anchor(t, q)), t += 20, q += 20;
    return a;
}

int count_flag(const std::vector<ls128> &a, uint64_t f) {
    int n = 0;
    for (auto &x : a) n += (x.y & f) != 0;
    return n;
}

TEST(AnchorFilters, IndelClusters) {
    ls_mapopt opt;
    ls_mapopt_defaults(&opt);
    /* deletion of 15 then insertion of 25: twice the smaller is 30, not above 40 */
    auto a = chain_with_gaps({-15, 25});
    ls_ignore_indel_clusters(nullptr, &opt, 0, (int)a.size(), a.data());
    EXPECT_EQ(count_flag(a, LS_ANCHOR_IGNORE), 0);
    /* insertion of 30 then deletion of 25: 50; the anchors from the one ending
     * the first gap to the one opening the second are passed over */
    a = chain_with_gaps({30, -25});
    ls_ignore_indel_clusters(nullptr, &opt, 0, (int)a.size(), a.data());
    EXPECT_EQ(count_flag(a, LS_ANCHOR_IGNORE), 1);
    EXPECT_TRUE(a[3].y & LS_ANCHOR_IGNORE);
    /* with matched anchors in between, the whole stretch */
    a = chain_with_gaps({30, 0, 0, -25});
    ls_ignore_indel_clusters(nullptr, &opt, 0, (int)a.size(), a.data());
    EXPECT_EQ(count_flag(a, LS_ANCHOR_IGNORE), 3);
    for (int i = 3; i <= 5; ++i) EXPECT_TRUE(a[i].y & LS_ANCHOR_IGNORE) << i;
    /* one large gap alone: nothing */
    a = chain_with_gaps({40, 5, -3});
    ls_ignore_indel_clusters(nullptr, &opt, 0, (int)a.size(), a.data());
    EXPECT_EQ(count_flag(a, LS_ANCHOR_IGNORE), 0);
    /* beyond the reach (chain_max_gap / 2) the second gap does not count */
    opt.chain_max_gap = 60;
    a = chain_with_gaps({30, 0, 0, -25});
    ls_ignore_indel_clusters(nullptr, &opt, 0, (int)a.size(), a.data());
    EXPECT_EQ(count_flag(a, LS_ANCHOR_IGNORE), 0);
    /* only the range given is looked at */
    ls_mapopt_defaults(&opt);
    a = chain_with_gaps({30, -25});
    ls_ignore_indel_clusters(nullptr, &opt, 4, (int)a.size() - 4, a.data());
    EXPECT_EQ(count_flag(a, LS_ANCHOR_IGNORE), 0);
}

TEST(AnchorFilters, GapRuns) {
    ls_mapopt opt;
    ls_mapopt_defaults(&opt);
    /* two large gaps 20 bases apart: the matched stretch between them is
     * shorter than the gaps, so the run is aligned in one DP */
    auto a = chain_with_gaps({40, -35});
    ls_ignore_gap_runs(nullptr, &opt, 0, (int)a.size(), a.data());
    EXPECT_TRUE(a[3].y & LS_ANCHOR_IGNORE);
    EXPECT_FALSE(a[4].y & LS_ANCHOR_IGNORE);
    EXPECT_TRUE(a[4].y & LS_ANCHOR_LONG_JOIN);
    EXPECT_EQ(count_flag(a, LS_ANCHOR_IGNORE), 1);
    EXPECT_EQ(count_flag(a, LS_ANCHOR_LONG_JOIN), 1);
    /* three gaps in a row */
    a = chain_with_gaps({40, 31, -35});
    ls_ignore_gap_runs(nullptr, &opt, 0, (int)a.size(), a.data());
    EXPECT_EQ(count_flag(a, LS_ANCHOR_IGNORE), 2);
    EXPECT_TRUE(a[5].y & LS_ANCHOR_LONG_JOIN);
    /* far apart (a long match between them): separate events, nothing marked */
    a = chain_with_gaps({40, 0, 0, 0, 0, -35});
    ls_ignore_gap_runs(nullptr, &opt, 0, (int)a.size(), a.data());
    EXPECT_EQ(count_flag(a, LS_ANCHOR_IGNORE | LS_ANCHOR_LONG_JOIN), 0);
    /* one large gap: nothing */
    a = chain_with_gaps({40, 20});
    ls_ignore_gap_runs(nullptr, &opt, 0, (int)a.size(), a.data());
    EXPECT_EQ(count_flag(a, LS_ANCHOR_IGNORE | LS_ANCHOR_LONG_JOIN), 0);
}

TEST(AnchorTrim, Ends) {
    ls_mapopt opt;
    ls_mapopt_defaults(&opt);
    int as1, cnt1;
    /* two anchors: never trimmed */
    std::vector<ls128> a = {anchor(100, 10), anchor(5000, 30)};
    ls_trim_anchor_ends(&opt, 0, 2, a.data(), 1000, &as1, &cnt1);
    EXPECT_EQ(as1, 0);
    EXPECT_EQ(cnt1, 2);
    /* a first anchor far off the chain's diagonal is dropped, and so is a last */
    a = {anchor(100, 10)};
    for (int i = 0; i < 10; ++i) a.push_back(anchor(3000 + 20 * i, 30 + 20 * i));
    a.push_back(anchor(9000, 30 + 20 * 10));
    ls_trim_anchor_ends(&opt, 0, (int)a.size(), a.data(), 1000, &as1, &cnt1);
    EXPECT_EQ(as1, 1);
    EXPECT_EQ(cnt1, 10);
    /* a gap of 10 after a 15-base seed exceeds half the alignment so far (7),
     * one of 7 does not */
    std::vector<ls128> b = {anchor(100, 10), anchor(130, 30)};
    for (int i = 0; i < 10; ++i) b.push_back(anchor(150 + 20 * i, 50 + 20 * i));
    ls_trim_anchor_ends(&opt, 0, (int)b.size(), b.data(), 1000, &as1, &cnt1);
    EXPECT_EQ(as1, 1);
    b[1] = anchor(127, 30);
    ls_trim_anchor_ends(&opt, 0, (int)b.size(), b.data(), 1000, &as1, &cnt1);
    EXPECT_EQ(as1, 0);
    /* a long join stops the scan from that end */
    a[1].y |= LS_ANCHOR_LONG_JOIN;
    a.back().y |= LS_ANCHOR_LONG_JOIN;
    ls_trim_anchor_ends(&opt, 0, (int)a.size(), a.data(), 1000, &as1, &cnt1);
    EXPECT_EQ(as1, 0);
    EXPECT_EQ(cnt1, 12);
    /* every gap suspicious: at least two anchors remain */
    a.clear();
    for (int i = 0; i < 6; ++i) a.push_back(anchor(1000 * i * i, 20 * i));
    ls_trim_anchor_ends(&opt, 0, (int)a.size(), a.data(), 1000, &as1, &cnt1);
    EXPECT_EQ(as1, 4);
    EXPECT_EQ(cnt1, 2);
    /* the scan stops once enough matched bases (half the region's match
     * length) are behind it: a later jump is then kept */
    a = {anchor(100, 10), anchor(120, 30)};
    for (int i = 0; i < 10; ++i) a.push_back(anchor(5000 + 20 * i, 50 + 20 * i));
    ls_trim_anchor_ends(&opt, 0, (int)a.size(), a.data(), 20, &as1, &cnt1);
    EXPECT_EQ(as1, 0);
    ls_trim_anchor_ends(&opt, 0, (int)a.size(), a.data(), 1000, &as1, &cnt1);
    EXPECT_EQ(as1, 2);
    EXPECT_EQ(cnt1, 10);
}

TEST(AnchorTrim, LongestDiagonalRun) {
    int as1, cnt1;
    /* runs of 2, 3 and 3 anchors on three diagonals: the first of the two
     * best runs wins */
    std::vector<ls128> a = {anchor(100, 0),  anchor(110, 10), anchor(130, 15), anchor(140, 25),
                            anchor(150, 35), anchor(170, 40), anchor(180, 50), anchor(190, 60)};
    ls_longest_diagonal_run(0, 8, a.data(), &as1, &cnt1);
    EXPECT_EQ(as1, 2);
    EXPECT_EQ(cnt1, 3);
    /* a longer last run wins */
    a.push_back(anchor(200, 70));
    ls_longest_diagonal_run(0, 9, a.data(), &as1, &cnt1);
    EXPECT_EQ(as1, 5);
    EXPECT_EQ(cnt1, 4);
    /* equal runs followed by a weaker one: still the first */
    a.pop_back();
    a.push_back(anchor(300, 70));
    ls_longest_diagonal_run(0, 9, a.data(), &as1, &cnt1);
    EXPECT_EQ(as1, 2);
    EXPECT_EQ(cnt1, 3);
    ls_longest_diagonal_run(3, 1, a.data(), &as1, &cnt1);
    EXPECT_EQ(as1, 3);
    EXPECT_EQ(cnt1, 1);
}

/* An index of one target, its forward query codes and reverse complement. */
struct Fixture {
    ls_idx *mi;
    std::string target;
    explicit Fixture(const std::string &t, int is_hpc = 0, int k = 15) : target(t) {
        const char *seq[1] = {target.c_str()};
        mi = ls_idx_str(10, k, is_hpc, 10, 1, seq, nullptr);
    }
    ~Fixture() { ls_idx_destroy(mi); }
};

TEST(AnchorEndPos, Waypoints) {
    std::mt19937 rng(3);
    Fixture f(random_dna(rng, 200));
    ASSERT_NE(f.mi, nullptr);
    ls128 a = anchor(120, 60);
    int32_t t, q;
    ls_anchor_end_pos(f.mi, nullptr, &a, &t, &q);
    EXPECT_EQ(t, 113); /* k = 15: 7 bases before the last base */
    EXPECT_EQ(q, 53);

    /* homopolymer-compressed seeds end on a run's last base: the waypoint is
     * the run's first base */
    Fixture h("ACGTTTTTGCAAAAC" + random_dna(rng, 50), 1);
    ASSERT_NE(h.mi, nullptr);
    Seq qs = encode("GGGAAAACT");
    a = anchor(7, 6); /* target TTTTT at 3..7, query AAAA at 3..6 */
    ls_anchor_end_pos(h.mi, qs.data(), &a, &t, &q);
    EXPECT_EQ(t, 3);
    EXPECT_EQ(q, 3);
    a = anchor(14, 2); /* target C at 14 alone; query GGG reaches position 0 */
    ls_anchor_end_pos(h.mi, qs.data(), &a, &t, &q);
    EXPECT_EQ(t, 14);
    EXPECT_EQ(q, 1); /* position 0 is never examined */
    Fixture h0("AAAACGT" + random_dna(rng, 50), 1);
    a = anchor(3, 1);
    ls_anchor_end_pos(h0.mi, qs.data(), &a, &t, &q);
    EXPECT_EQ(t, 0); /* the run starts the target */
    EXPECT_EQ(q, 1);
    a = anchor(3, 0);
    ls_anchor_end_pos(h0.mi, qs.data(), &a, &t, &q);
    EXPECT_EQ(q, 0);
}

TEST(AnchorExtension, ScoreAndSpliceTrim) {
    std::mt19937 rng(9);
    std::string tg = random_dna(rng, 3000);
    Fixture f(tg);
    ASSERT_NE(f.mi, nullptr);
    ls_mapopt opt;
    ls_mapopt_defaults(&opt);
    auto mat = make_matrix(2, 4, 1);
    /* query = target 1000..1099, then unrelated bases */
    std::string qstr = tg.substr(1000, 100) + random_dna(rng, 100);
    Seq fwd = encode(qstr), rc(fwd.size());
    for (size_t i = 0; i < fwd.size(); ++i) rc[fwd.size() - 1 - i] = fwd[i] < 4 ? 3 - fwd[i] : 4;
    uint8_t *qseq[2] = {fwd.data(), rc.data()};
    km_arena *km = km_create();
    /* seed 15 + 20 on each side, all identical: 55 matches */
    ls128 a = anchor(1050, 50);
    EXPECT_EQ(ls_anchor_extension_score(km, &opt, f.mi, mat.data(), 200, qseq, &a), 110);
    /* clipped at the query start: 0 .. 30 */
    a = anchor(1009, 9);
    EXPECT_EQ(ls_anchor_extension_score(km, &opt, f.mi, mat.data(), 200, qseq, &a), 60);
    /* clipped at the target end */
    a = anchor(2995, 50);
    int s = ls_anchor_extension_score(km, &opt, f.mi, mat.data(), 200, qseq, &a);
    EXPECT_LT(s, 40);

    /* spliced trimming: anchors at query 14, 40, 60, 140; the last sits
     * 1000 bases downstream (log 1000 + 6 = 12.9 > span 10) and its
     * neighbourhood does not align, so it is dropped; the first is short
     * too but its neighbourhood aligns */
    opt.flag |= LS_F_SPLICE;
    std::vector<ls128> ch = {anchor(1014, 14, 10), anchor(1040, 40, 15), anchor(1060, 60, 15),
                             anchor(2140, 140, 10)};
    int as1, cnt1;
    ls_trim_anchor_ends_splice(km, &opt, f.mi, mat.data(), 200, qseq, 0, 4, ch.data(), &as1, &cnt1);
    EXPECT_EQ(as1, 0);
    EXPECT_EQ(cnt1, 3);
    /* a long first anchor is kept without looking at its neighbourhood */
    ch[3] = anchor(1080, 80, 15);
    ch[0] = anchor(1, 14, 15);
    ls_trim_anchor_ends_splice(km, &opt, f.mi, mat.data(), 200, qseq, 0, 4, ch.data(), &as1, &cnt1);
    EXPECT_EQ(as1, 0);
    EXPECT_EQ(cnt1, 4);
    /* short and unaligned at the start: dropped */
    ch[0] = anchor(1, 14, 8);
    ls_trim_anchor_ends_splice(km, &opt, f.mi, mat.data(), 200, qseq, 0, 4, ch.data(), &as1, &cnt1);
    EXPECT_EQ(as1, 1);
    EXPECT_EQ(cnt1, 3);
    lstest::expect_all_freed_and_release(km);
}

/* ---- pairwise call ---- */

struct PairCall {
    dpx_extz ez;
    km_arena *km;
    PairCall() : km(km_create()) {
        ez = dpx_extz();
        ez.cigar = nullptr, ez.cigar_cap = 0;
    }
    ~PairCall() {
        kfree(km, ez.cigar);
        km_release(km);
    }
};

std::string ez_cigar(const dpx_extz &ez) {
    return cigar_str(ez.cigar, (size_t)ez.n_cigar);
}

TEST(AlignPair, KernelChoice) {
    std::mt19937 rng(21);
    std::string ts = random_dna(rng, 120);
    std::string qs = ts.substr(0, 50) + ts.substr(80); /* a 30-base deletion */
    Seq t = encode(ts), q = encode(qs);
    ls_mapopt opt;
    ls_mapopt_defaults(&opt);
    auto mat = make_matrix(2, 4, 1);
    PairCall a, b;
    /* defaults (4, 2 against 24, 1): the dual-affine kernel, the deletion
     * costs min(4 + 60, 24 + 30) */
    ls_align_pair(a.km, &opt, (int)q.size(), q.data(), (int)t.size(), t.data(), nullptr, mat.data(), 200, -1,
                  opt.zdrop, 0, &a.ez);
    dpx_extd2(b.km, (int)q.size(), q.data(), (int)t.size(), t.data(), 5, mat.data(), 4, 2, 24, 1, 200,
                  opt.zdrop, -1, 0, &b.ez);
    EXPECT_EQ(a.ez.score, 90 * 2 - 54);
    EXPECT_EQ(a.ez.score, b.ez.score);
    EXPECT_EQ(ez_cigar(a.ez), "50M30D40M");
    /* one gap model: the single-affine kernel */
    opt.gap_open2 = 4, opt.gap_ext2 = 2;
    ls_align_pair(a.km, &opt, (int)q.size(), q.data(), (int)t.size(), t.data(), nullptr, mat.data(), 200, -1,
                  opt.zdrop, 0, &a.ez);
    dpx_extz2(b.km, (int)q.size(), q.data(), (int)t.size(), t.data(), 5, mat.data(), 4, 2, 200, opt.zdrop,
                  -1, 0, &b.ez);
    EXPECT_EQ(a.ez.score, 90 * 2 - 64);
    EXPECT_EQ(a.ez.score, b.ez.score);
    EXPECT_EQ(ez_cigar(a.ez), ez_cigar(b.ez));
}

TEST(AlignPair, FullMatrixOnlyForDistinctTransitions) {
    /* With an ambiguous score of 0 the default scoring charges N the gap
     * extension, the full matrix charges 0: the two modes differ. */
    std::mt19937 rng(22);
    std::string ts = random_dna(rng, 60);
    std::string qs = ts;
    for (int i = 5; i < 60; i += 7) qs[i] = 'N';
    qs[30] = ts[30] == 'A' ? 'G' : ts[30] == 'G' ? 'A' : ts[30] == 'C' ? 'T' : 'C'; /* a transition */
    Seq t = encode(ts), q = encode(qs);
    ls_mapopt opt;
    ls_mapopt_defaults(&opt);
    opt.ambiguous_score = 0;
    for (int tp : {0, 4, 2}) {
        opt.transition_penalty = tp;
        auto mat = make_matrix(2, 4, 0, tp);
        int want_flag = tp != 0 && tp != opt.mismatch_penalty ? DPX_EZ_FULL_MATRIX : 0;
        PairCall a, b;
        ls_align_pair(a.km, &opt, (int)q.size(), q.data(), (int)t.size(), t.data(), nullptr, mat.data(), 100,
                      -1, opt.zdrop, 0, &a.ez);
        dpx_extd2(b.km, (int)q.size(), q.data(), (int)t.size(), t.data(), 5, mat.data(), 4, 2, 24, 1, 100,
                      opt.zdrop, -1, want_flag, &b.ez);
        EXPECT_EQ(a.ez.score, b.ez.score) << "tp " << tp;
    }
    /* the expected scores themselves: 51 matches, 8 N (full matrix: 0;
     * default: the smaller gap extension, 1), one transition */
    opt.transition_penalty = 2;
    auto mat = make_matrix(2, 4, 0, 2);
    PairCall a;
    ls_align_pair(a.km, &opt, (int)q.size(), q.data(), (int)t.size(), t.data(), nullptr, mat.data(), 100, -1,
                  opt.zdrop, 0, &a.ez);
    EXPECT_EQ(a.ez.score, 51 * 2 - 2);
    opt.transition_penalty = 4;
    mat = make_matrix(2, 4, 0, 4);
    ls_align_pair(a.km, &opt, (int)q.size(), q.data(), (int)t.size(), t.data(), nullptr, mat.data(), 100, -1,
                  opt.zdrop, 0, &a.ez);
    EXPECT_EQ(a.ez.score, 51 * 2 - 8 * 1 - 4);
}

TEST(AlignPair, SizeGuardAndTrace) {
    ls_mapopt opt;
    ls_mapopt_defaults(&opt);
    opt.max_dp_cells = 100;
    auto mat = make_matrix(2, 4, 1);
    Seq q = encode("ACGTACGTACGTACGTACGT"), t = encode("ACGTACGTAC");
    PairCall a;
    a.ez.n_cigar = 3, a.ez.best_score = 9; /* left over from an earlier call */
    ls_align_pair(a.km, &opt, 20, q.data(), 10, t.data(), nullptr, mat.data(), 50, -1, 7, 0, &a.ez);
    EXPECT_EQ(a.ez.dropped, 1u);
    EXPECT_EQ(a.ez.n_cigar, 0);
    EXPECT_EQ(a.ez.best_score, 0u);
    EXPECT_EQ(a.ez.best_qpos, -1);
    EXPECT_EQ(a.ez.best_tpos, -1);
    EXPECT_EQ(a.ez.score, DPX_SCORE_UNSET);
    /* 10 x 10 fits */
    ls_align_pair(a.km, &opt, 10, q.data(), 10, t.data(), nullptr, mat.data(), 50, -1, 7, 0, &a.ez);
    EXPECT_EQ(a.ez.dropped, 0u);
    EXPECT_EQ(a.ez.score, 20);

    int saved = ls_debug_flags;
    ls_debug_flags |= LS_DBG_ALIGN;
    testing::internal::CaptureStderr();
    ls_align_pair(a.km, &opt, 4, q.data(), 4, t.data(), nullptr, mat.data(), 50, -1, 7, 0x40, &a.ez);
    ls_align_pair(a.km, &opt, 20, q.data(), 10, t.data(), nullptr, mat.data(), 50, 5, 7, 0, &a.ez);
    std::string err = testing::internal::GetCapturedStderr();
    ls_debug_flags = saved;
    EXPECT_EQ(err, "===> q=(4,24), e=(2,1), bw=50, dpx_flag=64, zdrop=400, end_bonus=-1 <===\n"
                   "ACGT\nACGT\nscore=8, cigar=4M\n"
                   "===> q=(4,24), e=(2,1), bw=50, dpx_flag=0, zdrop=400, end_bonus=5 <===\n"
                   "ACGTACGTAC\nACGTACGTACGTACGTACGT\nscore=-1073741824, cigar=\n");
}

TEST(AlignPairDeathTest, BothSpliceStrands) {
    ls_mapopt opt;
    ls_mapopt_defaults(&opt);
    opt.flag |= LS_F_SPLICE;
    auto mat = make_matrix(2, 4, 1);
    Seq q = encode("ACGTACGT");
    dpx_extz ez = dpx_extz();
    EXPECT_DEATH(ls_align_pair(nullptr, &opt, 8, q.data(), 8, q.data(), nullptr, mat.data(), 10, -1, 100,
                               DPX_EZ_SPLICE_FOR | DPX_EZ_SPLICE_REV, &ez),
                 "\\(dpx_flag & DPX_EZ_SPLICE_FOR\\) == 0 \\|\\| \\(dpx_flag & DPX_EZ_SPLICE_REV\\) == "
                 "0.*ls_align_pair");
}

} // namespace
