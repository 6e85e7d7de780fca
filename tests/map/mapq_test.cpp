#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <vector>

#include "map/regions.h"
#include "testutil.h"

namespace {

using lstest::op;

/* A primary with chain score cs and n anchors, id/parent i. */
ls_reg primary(int i, int cs, int n) {
    ls_reg r;
    memset(&r, 0, sizeof(r));
    r.id = r.parent = i;
    r.chain_score = r.initial_score = cs;
    r.n_anchors = n;
    r.divergence = -1.0f;
    return r;
}

/* Alignment detail with room for a few CIGAR operations. */
ls_extra *extra(int max_score, int alt_max_score, std::vector<uint32_t> cigar = {}) {
    const size_t words = 7 + (cigar.size() > 1 ? cigar.size() : 1);
    ls_extra *p = static_cast<ls_extra *>(calloc(words, sizeof(uint32_t)));
    p->capacity = (uint32_t)words;
    p->max_score = p->raw_max_score = max_score;
    p->alt_max_score = alt_max_score;
    p->n_cigar = (uint32_t)cigar.size();
    for (size_t i = 0; i < cigar.size(); ++i) p->cigar[i] = cigar[i];
    return p;
}

int mapq_of(ls_reg r, int rep_len = 0, int is_sr = 0, int is_splice = 0) {
    ls_set_mapq(nullptr, 1, &r, 40, 2, rep_len, is_sr, is_splice, 0);
    return (int)r.mapq;
}

} // namespace

TEST(MapqTest, UnalignedPrimaries) {
    // ln 200 * 0.8 * 40 = 169.5: clamped to 60, also after losing 5 for two
    // suboptimal secondaries.
    ls_reg r = primary(0, 200, 20);
    EXPECT_EQ(mapq_of(r), 60);
    r.n_suboptimal = 2;
    EXPECT_EQ(mapq_of(r), 60);
    // Score 50 with 5 anchors: pen 0.5, x = 40 / 50, ln 50 * 0.2 * 20 = 15.6.
    r = primary(0, 50, 5);
    EXPECT_EQ(mapq_of(r), 15);
    r.n_suboptimal = 2; // truncate(4.343 ln 3 + 0.499) = 5
    EXPECT_EQ(mapq_of(r), 10);
    // Half the query in repeats halves pen_s: ln 50 * 0.2 * 10 = 7.8.
    r = primary(0, 50, 20);
    EXPECT_EQ(mapq_of(r), 15);
    EXPECT_EQ(mapq_of(r, 50), 7);
    // A competitor as strong as the primary leaves nothing.
    r = primary(0, 200, 20);
    r.sub_score = 200;
    EXPECT_EQ(mapq_of(r), 0);
}

TEST(MapqTest, AlignedPrimaries) {
    ls_reg r = primary(0, 200, 20);
    r.match_len = r.block_len = 1000;
    // m2 = m1 and sub = initial: q = 0, and m1 does not beat m2.
    r.sub_score = 200;
    r.p = extra(1000, 1000);
    EXPECT_EQ(mapq_of(r), 0);
    // m1 beats m2 by one point: q is still 0, reported as 1.
    r.p->alt_max_score = 999;
    EXPECT_EQ(mapq_of(r), 1);
    // A clear winner: x = 100 * 500 / 1000 / 200; 0.9375 * 40 * ln 500 = 233.
    r.sub_score = 100;
    r.p->alt_max_score = 500;
    EXPECT_EQ(mapq_of(r), 60);
    // Capped by the score difference: 6.02 * 5 / 2 + 0.499 = 15.5.
    r.p->max_score = 100;
    r.p->alt_max_score = 95;
    EXPECT_EQ(mapq_of(r), 15);
    // Short-read splice mode: x = m2 / m1 = 0.9, 0.19 * 40 * ln 50 = 29.7;
    // a spliced primary gains 10 unless a secondary is spliced too.
    r.p->alt_max_score = 90;
    r.spliced = 1;
    EXPECT_EQ(mapq_of(r, 0, 1, 1), 39);
    std::vector<ls_reg> two = {r, primary(1, 10, 1)};
    two[1].parent = 0;
    two[1].spliced = 1;
    ls_set_mapq(nullptr, 2, two.data(), 40, 2, 0, 1, 1, 0);
    EXPECT_EQ(two[0].mapq, 29u);
    EXPECT_EQ(two[1].mapq, 0u);
    r.spliced = 0;
    EXPECT_EQ(mapq_of(r, 0, 1, 1), 29);
    // Without a competitor's alignment: x = 40 / 200, ln 500 * 0.8 * 40.
    r.p->max_score = 1000;
    r.p->alt_max_score = 0;
    EXPECT_EQ(mapq_of(r), 60);
    free(r.p);
}

// A non-positive alignment score has no logarithm: the quality is the
// lowest, never a wrapped-around high value, and an alignment that still
// beats its competitor gets 1.
TEST(MapqTest, NonFiniteValues) {
    ls_reg r = primary(0, 200, 20);
    r.match_len = r.block_len = 100;
    r.p = extra(0, -5);
    r.n_suboptimal = 3;
    EXPECT_EQ(mapq_of(r), 1);
    r.p->max_score = -10;
    r.p->alt_max_score = -20;
    EXPECT_EQ(mapq_of(r), 1);
    r.p->alt_max_score = -10;
    EXPECT_EQ(mapq_of(r), 0);
    free(r.p);
    // Without alignment, a zero initial score gives an infinite x.
    r = primary(0, 200, 20);
    r.initial_score = 0;
    r.n_suboptimal = 1;
    EXPECT_EQ(mapq_of(r), 0);
}

TEST(MapqTest, SecondariesInversionsAndNeighbours) {
    // In target order: A (60), the inverted B, C (15); D is A's secondary.
    std::vector<ls_reg> r = {primary(0, 200, 20), primary(1, 50, 5), primary(2, 150, 20),
                             primary(3, 190, 20)};
    r[0].rs = 100;
    r[1].rs = 5000; // C
    r[2].rs = 600;  // B
    r[2].inverted = 1;
    r[3].parent = 0;
    r[3].rs = 300;
    ls_set_mapq(nullptr, 4, r.data(), 40, 2, 0, 0, 0, 0);
    EXPECT_EQ(r[0].mapq, 60u);
    EXPECT_EQ(r[1].mapq, 15u);
    EXPECT_EQ(r[2].mapq, 15u); // the smaller neighbour
    EXPECT_EQ(r[3].mapq, 0u);
    // At the end of the target order an inversion has one neighbour: 0.
    r[2].rs = 9000;
    ls_set_mapq(nullptr, 4, r.data(), 40, 2, 0, 0, 0, 0);
    EXPECT_EQ(r[2].mapq, 0u);
    // With fewer than 3 regions nothing is inherited.
    r[2].rs = 600;
    ls_set_mapq(nullptr, 2, r.data() + 1, 40, 2, 0, 0, 0, 0);
    EXPECT_EQ(r[2].mapq, 0u);
    ls_set_mapq(nullptr, 0, nullptr, 40, 2, 0, 0, 0, 0);
}

TEST(MapqTest, EventIdentity) {
    ls_reg r = primary(0, 200, 20);
    EXPECT_EQ(ls_event_identity(&r), -1.0);
    r.match_len = 100;
    r.block_len = 102;
    r.p = extra(0, 0, {op(50, 'M'), op(2, 'D'), op(50, 'M')});
    EXPECT_NEAR(ls_event_identity(&r), 100.0 / 101.0, 1e-12);
    r.p->n_ambiguous = 3;
    r.p->cigar[1] = op(2, 'I');
    EXPECT_NEAR(ls_event_identity(&r), 100.0 / 104.0, 1e-12);
    free(r.p);
}

TEST(MapqTest, UpdateMaxScore) {
    auto make = [](std::vector<ls_reg> &r) {
        r = {primary(0, 200, 20), primary(1, 190, 20)};
        r[0].qs = 0, r[0].qe = 1000;
        r[0].match_len = 990, r[0].block_len = 1000;
        r[0].p = extra(1900, 0, {op(1000, 'M')});
        r[1].match_len = 980, r[1].block_len = 1000;
        r[1].p = extra(1800, 0, {op(500, 'M'), op(2, 'D'), op(498, 'M')});
    };
    auto release = [](std::vector<ls_reg> &r) {
        for (auto &x : r) free(x.p);
    };
    std::vector<ls_reg> r;
    make(r);
    // Best identity 0.99 -> d = 0.02 (floor), b2 = 25 (4 <= 50, kept).
    // Region 0: 2 * (990 - 25 * 10) = 1480. Region 1: one 2-base deletion
    // costs 25 + log2(3) ~ 26.586, e = 1000 - 980 - 2 = 18:
    // 2 * (980 - 450 - 26.586) + 0.499 = 1007.3.
    ls_update_max_score(1000, 2, r.data(), 0.9f, 2, 4);
    EXPECT_EQ(r[0].p->max_score, 1480);
    EXPECT_EQ(r[1].p->max_score, 1007);
    EXPECT_EQ(r[1].p->raw_max_score, 1800);
    release(r);

    // A mismatch penalty above b2 * match replaces b2 by match / mismatch:
    // 2 * (990 - 10 / 30) + 0.499 = 1979.8.
    make(r);
    ls_update_max_score(1000, 2, r.data(), 0.9f, 2, 60);
    EXPECT_EQ(r[0].p->max_score, 1979);
    release(r);

    // Nothing when the second is not close, the best covers too little of
    // the query, or there is only one alignment.
    make(r);
    r[1].p->max_score = 1700;
    ls_update_max_score(1000, 2, r.data(), 0.9f, 2, 4);
    EXPECT_EQ(r[0].p->max_score, 1900);
    r[1].p->max_score = 1800;
    ls_update_max_score(1200, 2, r.data(), 0.9f, 2, 4);
    EXPECT_EQ(r[0].p->max_score, 1900);
    free(r[1].p);
    r[1].p = nullptr;
    ls_update_max_score(1000, 2, r.data(), 0.9f, 2, 4);
    EXPECT_EQ(r[0].p->max_score, 1900);
    release(r);

    // Negative results become 0.
    make(r);
    r[1].match_len = 100;
    ls_update_max_score(1000, 2, r.data(), 0.9f, 2, 4);
    EXPECT_EQ(r[1].p->max_score, 0);
    release(r);
}

/* The optional model on a genome with planted copies: a read from unique
 * sequence gets 60, a read inside an exact two-copy repeat 0, and a read
 * from one copy of a 3%-diverged repeat lands on that copy with 60. */
TEST(MapqFromAlignment, UniqueExactAndDivergedCopies) {
    std::mt19937 rng(17);
    const std::string exact = lstest::random_dna(rng, 5000), diverged = lstest::random_dna(rng, 5000);
    std::string other = diverged;
    for (size_t i = 13; i < other.size(); i += 33) other[i] = other[i] == 'A' ? 'C' : 'A';
    const std::string genome = lstest::random_dna(rng, 20000) + exact + lstest::random_dna(rng, 20000) + diverged +
                               lstest::random_dna(rng, 20000) + exact + lstest::random_dna(rng, 20000) + other +
                               lstest::random_dna(rng, 20000);
    const char *seq = genome.c_str(), *name = "g";
    ls_idx *mi = ls_idx_str(10, 15, 0, 14, 1, &seq, &name);
    ls_idxopt io;
    ls_mapopt mo;
    ASSERT_EQ(ls_opt_preset(nullptr, &io, &mo), 0);
    mo.flag |= LS_F_BASE_ALIGN | LS_F_MAPQ_FROM_ALN;
    ls_mapopt_update(&mo, mi);
    ls_tbuf *b = ls_tbuf_init();
    const struct {
        size_t start;
        int mapq;
    } cases[] = {{5000, 60}, {20000 + 500, 0}, {2 * 20000 + 5000 + 500, 60}};
    for (const auto &c : cases) {
        std::string read = genome.substr(c.start, 3000);
        for (size_t i = 7; i < read.size(); i += 50) read[i] = read[i] == 'G' ? 'T' : 'G'; // 2% errors
        int n = 0;
        ls_reg *r = ls_map(mi, (int)read.size(), read.c_str(), &n, b, &mo, "read");
        ASSERT_GE(n, 1) << c.start;
        EXPECT_EQ((int)r[0].mapq, c.mapq) << c.start;
        if (c.mapq == 60) {
            EXPECT_EQ(r[0].rs, (int)c.start) << c.start;
        }
        lstest::free_regions(n, r);
    }
    ls_tbuf_destroy(b);
    ls_idx_destroy(mi);
}
