#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <set>
#include <utility>
#include <vector>

#include "map/regions.h"
#include "map/seeds.h"
#include "testutil.h"

namespace {

using lstest::free_regions;
using lstest::new_extra;

ls128 anchor(int tid, int tpos, int qpos, bool rev = false, int span = 15, int seg = 0) {
    return ls128{(uint64_t)rev << 63 | (uint64_t)tid << 32 | (uint32_t)tpos,
                 (uint64_t)seg << LS_ANCHOR_SEG_SHIFT | (uint64_t)span << 32 | (uint32_t)qpos};
}

uint64_t chain(int score, int n) {
    return (uint64_t)score << 32 | (uint32_t)n;
}

ls_reg reg(int qs, int qe, int score, int n_anchors = 10) {
    ls_reg r;
    memset(&r, 0, sizeof(r));
    r.id = r.parent = -1;
    r.qs = qs, r.qe = qe;
    r.rs = qs + 1000, r.re = qe + 1000;
    r.chain_score = r.initial_score = score;
    r.n_anchors = n_anchors;
    r.divergence = -1.0f;
    return r;
}

ls_reg *copy_regs(const std::vector<ls_reg> &v) {
    ls_reg *r = static_cast<ls_reg *>(calloc(v.size(), sizeof(ls_reg)));
    memcpy(r, v.data(), v.size() * sizeof(ls_reg));
    return r;
}

} // namespace

TEST(RegionsTest, CoordinatesFromAnchors) {
    // Forward chain: spans overlap between the first two anchors only.
    std::vector<ls128> a = {anchor(2, 100, 50), anchor(2, 110, 60), anchor(2, 140, 85)};
    ls_reg *r =
        ls_regions_from_chains(nullptr, 1, 200, 1, std::vector<uint64_t>{chain(45, 3)}.data(), a.data(), 0);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->id, 0);
    EXPECT_EQ(r->parent, -1);
    EXPECT_EQ(r->target_id, 2);
    EXPECT_EQ(r->reverse, 0u);
    EXPECT_EQ(r->chain_score, 45);
    EXPECT_EQ(r->initial_score, 45);
    EXPECT_EQ(r->n_anchors, 3);
    EXPECT_EQ(r->divergence, -1.0f);
    EXPECT_EQ(r->qs, 36);
    EXPECT_EQ(r->qe, 86);
    EXPECT_EQ(r->rs, 86);
    EXPECT_EQ(r->re, 141);
    EXPECT_EQ(r->block_len, 15 + 10 + 30);
    EXPECT_EQ(r->match_len, 15 + 10 + 15);
    free(r);

    // Reverse chain: first y 29, last y 99, span 15, query of 200 bases;
    // the first anchor sits at target position 5, so rs clips to 0.
    std::vector<ls128> b = {anchor(1, 5, 29, true), anchor(1, 40, 64, true), anchor(1, 75, 99, true)};
    ls_reg rr;
    memset(&rr, 0, sizeof(rr));
    rr.n_anchors = 3;
    ls_reg_set_coords(&rr, 200, b.data(), 0);
    EXPECT_EQ(rr.reverse, 1u);
    EXPECT_EQ(rr.target_id, 1);
    EXPECT_EQ(rr.qs, 100);
    EXPECT_EQ(rr.qe, 185);
    EXPECT_EQ(rr.rs, 0);
    EXPECT_EQ(rr.re, 76);
    // Query-strand mode keeps the query positions as they are.
    ls_reg_set_coords(&rr, 200, b.data(), 1);
    EXPECT_EQ(rr.qs, 15);
    EXPECT_EQ(rr.qe, 100);
    // No anchor: nothing to measure.
    rr.n_anchors = 0;
    ls_reg_set_coords(&rr, 200, b.data(), 0);
    EXPECT_EQ(rr.match_len, 0);
    EXPECT_EQ(rr.block_len, 0);
}

TEST(RegionsTest, RankedByScoreWithHashTieBreak) {
    // Three chains, two of them tied at 60.
    const std::vector<std::vector<ls128>> chains = {
        {anchor(0, 100, 20), anchor(0, 120, 40)},
        {anchor(0, 5000, 20), anchor(0, 5020, 40), anchor(0, 5040, 60)},
        {anchor(1, 700, 20, true), anchor(1, 720, 40, true)}};
    const int scores[] = {60, 80, 60};
    auto run = [&](const std::vector<int> &order, uint32_t hash) {
        std::vector<ls128> a;
        std::vector<uint64_t> u;
        for (int c : order) {
            u.push_back(chain(scores[c], (int)chains[c].size()));
            a.insert(a.end(), chains[c].begin(), chains[c].end());
        }
        ls_reg *r = ls_regions_from_chains(nullptr, hash, 1000, 3, u.data(), a.data(), 0);
        std::vector<std::pair<int, int>> out; // (target, rs), checked against the anchors
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(r[i].id, i);
            EXPECT_EQ(r[i].tie_hash & ~3u, (uint32_t)(r[i].tie_hash ^ (uint32_t)r[i].n_anchors) & ~3u);
            const ls128 &f = a[r[i].anchor_start];
            EXPECT_EQ(r[i].rs, (int)(uint32_t)f.x + 1 - 15);
            out.push_back({r[i].target_id, r[i].rs});
        }
        EXPECT_EQ(r[0].chain_score, 80);
        EXPECT_GE(r[1].tie_hash, r[2].tie_hash);
        free(r);
        return out;
    };
    std::set<std::vector<std::pair<int, int>>> seen;
    for (uint32_t h = 0; h < 32; ++h) {
        const auto fwd = run({0, 1, 2}, h);
        // The tie order depends on the chains, not on their place in the list.
        EXPECT_EQ(run({2, 1, 0}, h), fwd);
        EXPECT_EQ(run({1, 2, 0}, h), fwd);
        seen.insert(fwd);
    }
    EXPECT_EQ(seen.size(), 2u); // and the query hash decides it
    EXPECT_EQ(ls_regions_from_chains(nullptr, 0, 10, 0, nullptr, nullptr, 0), nullptr);
}

TEST(RegionsTest, SplitRegion) {
    std::vector<ls128> a;
    for (int i = 0; i < 10; ++i) a.push_back(anchor(0, 1000 + 100 * i, 14 + 100 * i));
    ls_reg r;
    memset(&r, 0, sizeof(r));
    r.id = r.parent = 3;
    r.n_anchors = 10;
    r.chain_score = r.initial_score = 100;
    r.sam_pri = r.split_at_inversion = 1;
    r.p = new_extra(7);
    ls_reg_set_coords(&r, 1000, a.data(), 0);
    ls_reg r2;
    memset(&r2, 0xff, sizeof(r2));
    ls_split_reg(&r, &r2, 4, 1000, a.data(), 0);
    EXPECT_EQ(r.chain_score, 40);
    EXPECT_EQ(r2.chain_score, 60);
    EXPECT_EQ(r.initial_score, 100);
    EXPECT_EQ(r2.initial_score, 100);
    EXPECT_EQ(r.n_anchors, 4);
    EXPECT_EQ(r2.n_anchors, 6);
    EXPECT_EQ(r2.anchor_start, 4);
    EXPECT_EQ(r.qe, 315);
    EXPECT_EQ(r.re, 1301);
    EXPECT_EQ(r2.qs, 400);
    EXPECT_EQ(r2.rs, 1386);
    EXPECT_EQ(r2.qe, 915);
    EXPECT_EQ(r2.id, -1);
    EXPECT_EQ(r2.parent, -2); // split off a primary: a provisional primary
    EXPECT_EQ(r2.p, nullptr);
    EXPECT_EQ(r2.sam_pri, 0u);
    EXPECT_EQ(r2.split_at_inversion, 0u);
    EXPECT_EQ(r.zdrop_split, 1u);
    EXPECT_EQ(r2.zdrop_split, 2u);
    EXPECT_EQ(r.sam_pri, 1u);

    // A secondary's remainder keeps its parent; the ends are no-ops.
    r.parent = 0;
    ls_split_reg(&r, &r2, 1, 1000, a.data(), 0);
    EXPECT_EQ(r2.parent, 0);
    EXPECT_EQ(r2.chain_score, 30); // 3/4 of 40
    EXPECT_EQ(r.chain_score, 10);
    EXPECT_EQ(r.zdrop_split, 1u);
    EXPECT_EQ(r2.zdrop_split, 3u); // continuation and cut again
    const ls_reg before = r;
    ls_split_reg(&r, &r2, 0, 1000, a.data(), 0);
    ls_split_reg(&r, &r2, 1, 1000, a.data(), 0);
    EXPECT_EQ(memcmp(&before, &r, sizeof(r)), 0);
    free(r.p);
}

TEST(RegionsTest, SetParentByOverlap) {
    // 0: primary [0, 1000); 1: inside it; 2: overlapping it by 40% of its
    // length; 3: disjoint from all.
    std::vector<ls_reg> r = {reg(0, 1000, 500, 20), reg(100, 900, 300, 20), reg(600, 1600, 200),
                             reg(2000, 2100, 150)};
    r[0].n_suboptimal = 7; // region 0 keeps what it had
    r[0].sub_score = 9;
    r[3].n_suboptimal = 5; // other primaries start from 0
    ls_set_parent(nullptr, 0.5f, 1000000, 4, r.data(), 8, 0, 0.15f);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(r[i].id, i);
    EXPECT_EQ(r[0].parent, 0);
    EXPECT_EQ(r[1].parent, 0);
    EXPECT_EQ(r[0].sub_score, 300);
    EXPECT_EQ(r[0].n_suboptimal, 8); // region 1 has as many anchors
    EXPECT_EQ(r[2].parent, 2);       // 400 / 1000 - 600 / 1000 is no overlap
    EXPECT_EQ(r[3].parent, 3);
    EXPECT_EQ(r[3].n_suboptimal, 0);

    // With the hard mask level the uncovered part does not count: [300,
    // 1500) over [0, 1000) is 700 / 1000 > 0.5.
    std::vector<ls_reg> h = {reg(0, 1000, 500), reg(300, 1500, 400, 5)};
    ls_set_parent(nullptr, 0.5f, 1000000, 2, h.data(), 8, 0, 0.15f);
    EXPECT_EQ(h[1].parent, 1);
    ls_set_parent(nullptr, 0.5f, 1000000, 2, h.data(), 8, 1, 0.15f);
    EXPECT_EQ(h[1].parent, 0);
    EXPECT_EQ(h[0].n_suboptimal, 0); // fewer anchors than the primary

    // [50, 250) between primaries [0, 100) and [200, 300): 100 bases
    // uncovered, tested against the length limit.
    for (int mask_len : {99, 100}) {
        std::vector<ls_reg> u = {reg(0, 100, 300), reg(200, 300, 200), reg(50, 250, 100)};
        ls_set_parent(nullptr, -1.0f, mask_len, 3, u.data(), 8, 0, 0.15f);
        EXPECT_EQ(u[1].parent, 1);
        EXPECT_EQ(u[2].parent, mask_len == 99 ? 2 : 0);
    }
}

TEST(RegionsTest, SetParentScoresOfAlignedAndAltSecondaries) {
    std::vector<ls_reg> r = {reg(0, 1000, 500, 20), reg(10, 990, 450, 20), reg(20, 980, 300, 5),
                             reg(0, 1000, 350, 30)};
    r[0].p = new_extra(1000);
    r[1].p = new_extra(995); // within the margin of 8
    r[2].p = new_extra(800); // beyond it, and with fewer anchors
    r[3].p = new_extra(990); // same place as the primary: no score comparison
    r[3].on_alt = 1;
    r[1].on_alt = 1;
    ls_set_parent(nullptr, 0.5f, 1000000, 4, r.data(), 8, 0, 0.15f);
    for (int i = 1; i < 4; ++i) EXPECT_EQ(r[i].parent, 0);
    EXPECT_EQ(r[0].sub_score, 382);        // 450 on an ALT contig: 450 * (1 - 0.15f) = 382.49999 rounded
    EXPECT_EQ(r[0].p->alt_max_score, 846); // 995 * 0.85 rounded
    EXPECT_EQ(r[0].n_suboptimal, 2);       // region 1 by score, region 3 by anchors
    // On an ALT primary, ALT secondaries are not lowered.
    r[0].on_alt = 1;
    r[0].sub_score = 0;
    r[0].p->alt_max_score = 0;
    ls_set_parent(nullptr, 0.5f, 1000000, 4, r.data(), 8, 0, 0.15f);
    EXPECT_EQ(r[0].sub_score, 450);
    EXPECT_EQ(r[0].p->alt_max_score, 995);
    for (auto &x : r) free(x.p);
}

TEST(RegionsTest, SelectSecondaries) {
    auto family = [](std::vector<int> scores) {
        std::vector<ls_reg> v;
        for (size_t i = 0; i < scores.size(); ++i) {
            v.push_back(reg(0, 1000, scores[i]));
            v.back().id = (int)i;
            v.back().parent = 0;
            v.back().rs = 5000 * (int)i; // distinct places
            v.back().re = v.back().rs + 1000;
            v.back().p = new_extra(scores[i]);
        }
        return v;
    };
    // 90 of 100 passes 0.8; 70 does not, unless within min_diff.
    for (int min_diff : {0, 30}) {
        auto v = family({100, 90, 70});
        ls_reg *r = copy_regs(v);
        int n = 3;
        ls_select_sub(nullptr, 0.8f, min_diff, 5, 0, 0, &n, r);
        ASSERT_EQ(n, min_diff ? 3 : 2);
        EXPECT_EQ(r[1].chain_score, 90);
        free_regions(n, r);
    }
    // max_secondary 0: only inverted regions survive beside the primary.
    {
        auto v = family({100, 95, 94});
        v[2].inverted = 1;
        ls_reg *r = copy_regs(v);
        int n = 3;
        ls_select_sub(nullptr, 0.8f, 0, 0, 0, 0, &n, r);
        ASSERT_EQ(n, 2);
        EXPECT_EQ(r[1].chain_score, 94);
        EXPECT_EQ(r[1].id, 1);
        EXPECT_EQ(r[1].parent, 0);
        EXPECT_EQ(r[0].sam_pri, 1u);
        free_regions(n, r);
    }
    // A copy of its primary is dropped without counting; the count limits
    // the rest; a weak secondary on the other strand is kept as such.
    {
        auto v = family({100, 99, 98, 97, 50, 60});
        v[1].rs = v[0].rs, v[1].re = v[0].re;
        v[5].reverse = 1;
        ls_reg *r = copy_regs(v);
        int n = 6;
        ls_select_sub(nullptr, 0.8f, 0, 3, 1, 55, &n, r);
        ASSERT_EQ(n, 4);
        EXPECT_EQ(r[1].chain_score, 98);
        EXPECT_EQ(r[2].chain_score, 97);
        EXPECT_EQ(r[3].chain_score, 60);
        EXPECT_EQ(r[3].kept_other_strand, 1u);
        EXPECT_EQ(r[2].kept_other_strand, 0u);
        for (int i = 0; i < n; ++i) EXPECT_EQ(r[i].id, i);
        free_regions(n, r);
    }
    // A second primary and its secondary: parents follow the renumbering.
    {
        std::vector<ls_reg> v = family({100, 10, 90, 85});
        v[2].parent = 2;
        v[3].parent = 2;
        ls_reg *r = copy_regs(v);
        int n = 4;
        ls_select_sub(nullptr, 0.8f, 0, 5, 0, 0, &n, r);
        ASSERT_EQ(n, 3);
        EXPECT_EQ(r[1].parent, 1);
        EXPECT_EQ(r[2].parent, 1);
        EXPECT_EQ(r[2].chain_score, 85);
        free_regions(n, r);
    }
    // A ratio of 0 keeps everything.
    {
        auto v = family({100, 1});
        int n = 2;
        ls_select_sub(nullptr, 0.0f, 0, 0, 0, 0, &n, v.data());
        EXPECT_EQ(n, 2);
        for (auto &x : v) free(x.p);
    }
}

TEST(RegionsTest, FilterByDivergence) {
    std::vector<ls_reg> r = {reg(0, 100, 100), reg(0, 100, 60), reg(0, 100, 50), reg(0, 100, 40)};
    r[0].id = r[0].parent = 0;
    for (int i = 1; i < 4; ++i) r[i].id = i, r[i].parent = 0, r[i].kept_other_strand = 1;
    r[0].divergence = 0.001f;
    r[1].divergence = 0.1f;   // 100 times its primary's: dropped
    r[2].divergence = 0.004f; // 4 times: kept
    r[3].divergence = 0.009f; // 9 times but below 0.01: kept
    r[1].p = new_extra(1);
    EXPECT_EQ(ls_filter_by_divergence(4, r.data()), 3);
    EXPECT_EQ(r[1].chain_score, 50);
    EXPECT_EQ(r[1].id, 2); // not renumbered
    EXPECT_EQ(r[2].chain_score, 40);
    // Only secondaries kept for their strand are judged.
    r[1].kept_other_strand = 0;
    r[1].divergence = 0.5f;
    EXPECT_EQ(ls_filter_by_divergence(3, r.data()), 3);
}

TEST(RegionsTest, FilterRegionsAfterAlignment) {
    ls_mapopt opt;
    ls_mapopt_defaults(&opt); // 3 anchors, score 40, DP score 80
    opt.max_clip_fraction = 0.5f;
    std::vector<ls_reg> v;
    auto add = [&](int n_anchors, int match_len, int max_score, int qs, int qe) {
        v.push_back(reg(qs, qe, 100, n_anchors));
        v.back().match_len = match_len;
        v.back().id = (int)v.size() - 1;
        if (max_score >= 0) v.back().p = new_extra(max_score);
    };
    add(3, 40, 80, 0, 1000);    // 0 passes
    add(2, 500, 900, 0, 1000);  // 1 too few anchors
    add(2, 500, -1, 0, 1000);   // 2 too few anchors, unaligned
    add(5, 39, 900, 0, 1000);   // 3 too few matching bases
    add(5, 500, 79, 0, 1000);   // 4 alignment score too low
    add(5, 500, 900, 501, 990); // 5 clipped more than half on the left, not on the right
    add(5, 500, 900, 501, 499); // 6 clipped more than half on both sides
    add(1, 5, -1, 0, 1000);     // 7 seg_derived: exempt from the anchor count
    v[7].seg_derived = 1;
    add(0, 100, 100, 0, 1000); // 8 inverted: exempt too
    v[8].inverted = 1;
    add(5, 10, -1, 0, 1000); // 9 unaligned: only anchors count
    ls_reg *r = copy_regs(v);
    int n = (int)v.size();
    ls_filter_regions(&opt, 1000, &n, r);
    std::vector<int> kept;
    for (int i = 0; i < n; ++i) kept.push_back(r[i].id);
    EXPECT_EQ(kept, (std::vector<int>{0, 5, 7, 8, 9}));
    free_regions(n, r);
}

TEST(RegionsTest, SqueezeAnchors) {
    std::vector<ls128> a;
    for (int i = 0; i < 16; ++i) a.push_back(anchor(0, i, i));
    std::vector<ls_reg> r = {reg(0, 10, 10, 3), reg(0, 10, 10, 2), reg(0, 10, 10, 4)};
    r[0].anchor_start = 10;
    r[1].anchor_start = 2;
    r[2].anchor_start = 3; // adjacent to region 1: moves by the same amount
    EXPECT_EQ(ls_squeeze_anchors(nullptr, 3, r.data(), a.data()), 9);
    EXPECT_EQ(r[1].anchor_start, 0);
    EXPECT_EQ(r[2].anchor_start, 2);
    EXPECT_EQ(r[0].anchor_start, 6);
    const int want[] = {2, 3, 3, 4, 5, 6, 10, 11, 12};
    for (int i = 0; i < 9; ++i) EXPECT_EQ((int)(uint32_t)a[i].x, want[i]) << i;
}

TEST(RegionsTest, PerSegmentRegions) {
    // Segments of 300 and 200 bases. Region 0 lies in segment 1 only
    // (forward); region 1 spans both (reverse strand).
    const int lens[] = {300, 200};
    std::vector<ls128> a = {anchor(0, 5000, 320, false, 15, 1), anchor(0, 5050, 370, false, 15, 1),
                            anchor(0, 5100, 420, false, 15, 1),
                            // reverse: segment 1 sits at [0, 200) of the reverse-complemented query
                            anchor(1, 900, 150, true, 15, 1), anchor(1, 950, 199, true, 15, 1),
                            anchor(1, 1100, 250, true, 15, 0), anchor(1, 1300, 450, true, 15, 0)};
    std::vector<ls_reg> r0 = {reg(0, 0, 90, 3), reg(0, 0, 80, 4)};
    r0[1].anchor_start = 3;
    int n[2];
    ls_reg *regs[2];
    ls_seg *seg = ls_seg_gen(nullptr, 42, 2, lens, 2, r0.data(), n, regs, a.data());
    ASSERT_EQ(n[0], 1);
    ASSERT_EQ(n[1], 2);
    EXPECT_EQ(seg[0].n_chains, 1);
    EXPECT_EQ(seg[0].n_anchors, 2);
    EXPECT_EQ(seg[1].n_anchors, 5);
    // Segment 0: the reverse region's anchors, positions less 200.
    EXPECT_EQ((int)(uint32_t)seg[0].anchors[0].y, 50);
    EXPECT_EQ((int)(uint32_t)seg[0].anchors[1].y, 250);
    EXPECT_EQ(regs[0][0].chain_score, 80);
    EXPECT_EQ(regs[0][0].reverse, 1u);
    EXPECT_EQ(regs[0][0].qs, 300 - 251);
    EXPECT_EQ(regs[0][0].qe, 300 - 36);
    EXPECT_EQ(regs[0][0].seg_index, 0u);
    EXPECT_EQ(regs[0][0].seg_derived, 1u);
    // Segment 1: forward positions less 300, reverse ones unchanged.
    EXPECT_EQ(regs[1][0].chain_score, 90);
    EXPECT_EQ(regs[1][0].qs, 20 - 14);
    EXPECT_EQ(regs[1][0].qe, 121);
    EXPECT_EQ(regs[1][0].seg_index, 1u);
    EXPECT_EQ(regs[1][1].n_anchors, 2);
    EXPECT_EQ(regs[1][1].qs, 0);
    EXPECT_EQ(regs[1][1].qe, 200 - 136);
    free(regs[0]);
    free(regs[1]);
    ls_seg_free(nullptr, 2, seg);
    std::vector<int> many(256, 10);
    EXPECT_DEATH(ls_seg_gen(nullptr, 0, 256, many.data(), 0, nullptr, n, regs, nullptr),
                 "n_segs <= LS_MAX_SEG");
}
