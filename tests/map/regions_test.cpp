#include "map/regions.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <random>
#include <vector>

#include "testutil.h"

namespace {

using lstest::cigar_of;
using lstest::new_extra;
using lstest::op;

ls_reg make_reg(int id, int n_anchors, int chain_score, uint32_t tie_hash) {
    ls_reg r;
    memset(&r, 0, sizeof(r));
    r.id = r.parent = id;
    r.n_anchors = n_anchors;
    r.chain_score = chain_score;
    r.tie_hash = tie_hash;
    r.divergence = -1.0f;
    return r;
}

void free_regs(int n, ls_reg *r) {
    for (int i = 0; i < n; ++i) free(r[i].p);
}

} // namespace

// The flag word is written raw to temporary files: its bit order is part of
// the format.
TEST(HitTest, RegionFlagWordBitOrder) {
    ls_reg r;
    memset(&r, 0, sizeof(r));
    r.mapq = 60;
    r.zdrop_split = 2;
    r.reverse = 1;
    r.sam_pri = 1;
    r.seg_index = 0xa5;
    r.on_alt = 1;
    r.spliced = 1;
    uint32_t w;
    memcpy(&w, reinterpret_cast<const char *>(&r) + 60, 4);
    EXPECT_EQ(w, 60u | 2u << 8 | 1u << 10 | 1u << 12 | 0xa5u << 16 | 1u << 25 | 1u << 27);
    r.inverted = r.proper_pair = r.read_through = r.seg_derived = 1;
    r.split_at_inversion = r.kept_other_strand = 1;
    r.mapq = 255, r.zdrop_split = 3, r.seg_index = 255;
    memcpy(&w, reinterpret_cast<const char *>(&r) + 60, 4);
    EXPECT_EQ(w, 0x0fffffffu); // the top 4 bits stay 0

    ls_extra e;
    memset(&e, 0, sizeof(e));
    e.n_ambiguous = (1u << 30) - 1;
    e.transcript_strand = 2;
    memcpy(&w, reinterpret_cast<const char *>(&e) + 20, 4);
    EXPECT_EQ(w, 0xbfffffffu);
}

TEST(HitTest, AltScore) {
    EXPECT_EQ(ls_alt_score(100, 0.15f), 85);
    EXPECT_EQ(ls_alt_score(1, 0.15f), 1);
    EXPECT_EQ(ls_alt_score(0, 0.15f), 1);   // never below 1
    EXPECT_EQ(ls_alt_score(3, 0.5f), 1);    // 1.5 + 0.499 truncates to 1
    EXPECT_EQ(ls_alt_score(4, 0.5f), 2);    // 2.0 + 0.499
    EXPECT_EQ(ls_alt_score(-7, 0.15f), -7); // negative scores unchanged
    EXPECT_EQ(ls_alt_score(1000, 0.0f), 1000);
}

TEST(HitTest, SortSmallArraysUnchanged) {
    int n = 0;
    ls_hit_sort(nullptr, &n, nullptr, 0.15f);
    EXPECT_EQ(n, 0);
    ls_reg r = make_reg(0, 0, 10, 1); // soft-deleted, but alone
    r.p = new_extra(5);
    n = 1;
    ls_hit_sort(nullptr, &n, &r, 0.15f);
    EXPECT_EQ(n, 1);
    EXPECT_NE(r.p, nullptr);
    free(r.p);
}

TEST(HitTest, SortOrderTiesDeletionAndAlt) {
    km_arena *km = km_create();
    std::vector<ls_reg> r = {
        make_reg(0, 3, 50, 7),  //
        make_reg(1, 0, 99, 1),  // soft-deleted
        make_reg(2, 4, 50, 9),  // ties with 0, larger hash first
        make_reg(3, 0, 70, 2),  // inverted: kept despite no anchors
        make_reg(4, 2, 100, 3), // ALT: 85
        make_reg(5, 2, 86, 0),  //
        make_reg(6, 2, 84, 0),  //
        make_reg(7, 1, 1, 5),   // ALT with score 1 stays 1
        make_reg(8, 1, 1, 4),   //
        make_reg(9, 1, 2, 0),   //
    };
    r[3].inverted = 1;
    r[4].on_alt = 1;
    r[7].on_alt = 1;
    int n = (int)r.size();
    ls_hit_sort(km, &n, r.data(), 0.15f);
    ASSERT_EQ(n, 9);
    std::vector<int> ids;
    for (int i = 0; i < n; ++i) ids.push_back(r[i].id);
    EXPECT_EQ(ids, (std::vector<int>{5, 4, 6, 3, 2, 0, 9, 7, 8}));

    // Aligned regions rank by max_score, not chain_score; deleted ones lose
    // their detail (the sanitizer build catches a leak).
    std::vector<ls_reg> a = {make_reg(0, 1, 90, 0), make_reg(1, 1, 10, 0), make_reg(2, 0, 50, 0)};
    a[0].p = new_extra(20);
    a[1].p = new_extra(30);
    a[2].p = new_extra(99);
    n = 3;
    ls_hit_sort(km, &n, a.data(), 0.15f);
    ASSERT_EQ(n, 2);
    EXPECT_EQ(a[0].id, 1);
    EXPECT_EQ(a[1].id, 0);
    free_regs(n, a.data());

    // Every region soft-deleted: nothing left, and no complaint.
    std::vector<ls_reg> d = {make_reg(0, 0, 5, 0), make_reg(1, 0, 6, 0)};
    d[1].p = new_extra(3);
    n = 2;
    ls_hit_sort(km, &n, d.data(), 0.15f);
    EXPECT_EQ(n, 0);

    km_stats st;
    km_stat(km, &st);
    EXPECT_EQ(st.n_blocks, st.n_cores); // scratch returned
    km_release(km);
}

TEST(HitTest, SortRandomIsDescendingPermutation) {
    std::mt19937 rng(11);
    for (int iter = 0; iter < 50; ++iter) {
        int n = 1 + (int)(rng() % 300);
        std::vector<ls_reg> r;
        std::vector<std::pair<uint64_t, int>> expect;
        for (int i = 0; i < n; ++i) {
            ls_reg x = make_reg(i, (int)(rng() % 4), (int)(rng() % 50), rng() % 8);
            x.on_alt = rng() % 5 == 0;
            r.push_back(x);
            if (x.n_anchors > 0) {
                int s = x.on_alt ? ls_alt_score(x.chain_score, 0.3f) : x.chain_score;
                expect.push_back({(uint64_t)s << 32 | x.tie_hash, i});
            }
        }
        ls_hit_sort(nullptr, &n, r.data(), 0.3f);
        if (r.size() < 2) continue;
        ASSERT_EQ(n, (int)expect.size());
        std::sort(expect.begin(), expect.end(), [](auto &a, auto &b) { return a.first > b.first; });
        std::vector<int> got_ids, want_ids;
        for (int i = 0; i < n; ++i) {
            int s = r[i].on_alt ? ls_alt_score(r[i].chain_score, 0.3f) : r[i].chain_score;
            EXPECT_EQ((uint64_t)s << 32 | r[i].tie_hash, expect[i].first) << "position " << i;
            got_ids.push_back(r[i].id);
            want_ids.push_back(expect[i].second);
        }
        std::sort(got_ids.begin(), got_ids.end());
        std::sort(want_ids.begin(), want_ids.end());
        EXPECT_EQ(got_ids, want_ids);
    }
}

TEST(HitDeathTest, SortRejectsMixedAlignment) {
    std::vector<ls_reg> r = {make_reg(0, 1, 5, 0), make_reg(1, 1, 6, 0)};
    r[0].p = new_extra(3);
    int n = 2;
    EXPECT_DEATH(ls_hit_sort(nullptr, &n, r.data(), 0.15f), "has_cigar \\+ no_cigar == 1");
    free(r[0].p);
}

TEST(HitTest, MarkSamPrimary) {
    std::vector<ls_reg> r;
    for (int i = 0; i < 6; ++i) r.push_back(make_reg(i, 1, 10, 0));
    r[0].parent = r[1].parent = r[2].parent = 3; // secondaries of region 3
    r[4].parent = 3;
    for (auto &x : r) x.sam_pri = 1;
    EXPECT_EQ(ls_mark_sam_pri((int)r.size(), r.data()), 2); // regions 3 and 5
    for (int i = 0; i < 6; ++i) EXPECT_EQ(r[i].sam_pri, i == 3 ? 1u : 0u) << i;
    EXPECT_EQ(ls_mark_sam_pri(0, nullptr), 0);
}

TEST(HitTest, RenumberRegions) {
    km_arena *km = km_create();
    // Old ids 0..7; regions 1, 3, 4 and 7 were removed, and one split-off
    // region (id -1) is a provisional primary.
    std::vector<ls_reg> r = {make_reg(0, 1, 9, 0), make_reg(2, 1, 9, 0), make_reg(5, 1, 9, 0),
                             make_reg(-1, 1, 9, 0), make_reg(6, 1, 9, 0)};
    r[0].parent = 0;
    r[1].parent = 5; // its primary survives at position 2
    r[2].parent = 5;
    r[3].parent = -2;
    r[4].parent = 7; // removed, and above every surviving id
    ls_reg extra = make_reg(2, 1, 9, 0);
    extra.parent = 3; // removed
    r.push_back(extra);
    r[5].id = 1;
    ls_renumber_regions(km, (int)r.size(), r.data());
    std::vector<int> ids, parents;
    for (auto &x : r) ids.push_back(x.id), parents.push_back(x.parent);
    EXPECT_EQ(ids, (std::vector<int>{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(parents, (std::vector<int>{0, 2, 2, 3, -1, -1}));
    EXPECT_EQ(r[0].sam_pri, 1u);
    for (size_t i = 1; i < r.size(); ++i) EXPECT_EQ(r[i].sam_pri, 0u) << i;

    // Parent -1 stays -1; no region with an id leaves the map empty.
    std::vector<ls_reg> s = {make_reg(-1, 1, 9, 0), make_reg(-1, 1, 9, 0)};
    s[0].parent = -1;
    s[1].parent = -2;
    ls_renumber_regions(km, 2, s.data());
    EXPECT_EQ(s[0].parent, -1);
    EXPECT_EQ(s[1].parent, 1);
    EXPECT_EQ(s[1].sam_pri, 1u);

    km_stats st;
    km_stat(km, &st);
    EXPECT_EQ(st.n_blocks, st.n_cores);
    km_release(km);
}

TEST(HitTest, ExtraReserve) {
    ls_reg r = make_reg(0, 1, 1, 0);
    ls_extra_reserve(&r, 0);
    EXPECT_EQ(r.p, nullptr);
    ls_extra_reserve(&r, 1);
    ASSERT_NE(r.p, nullptr);
    EXPECT_EQ(r.p->capacity, 8u);
    EXPECT_EQ(r.p->n_cigar, 0u);
    EXPECT_EQ(r.p->max_score, 0);
    free(r.p);
    r.p = nullptr;
    ls_extra_reserve(&r, 9);
    EXPECT_EQ(r.p->capacity, 16u);
    free(r.p);
    r.p = nullptr;

    // With a detail: room is counted from the operations already in use.
    ls_extra_reserve(&r, 1);
    r.p->n_cigar = 1;
    r.p->cigar[0] = op(3, 'M');
    ls_extra_reserve(&r, 0);
    EXPECT_EQ(r.p->capacity, 8u);
    ls_extra_reserve(&r, 1); // 1 + 1 + 7 = 9 words
    EXPECT_EQ(r.p->capacity, 16u);
    EXPECT_EQ(r.p->cigar[0], op(3, 'M'));
    ls_extra_reserve(&r, 8); // 16 words suffice
    EXPECT_EQ(r.p->capacity, 16u);
    ls_extra_reserve(&r, 25); // 33 words
    EXPECT_EQ(r.p->capacity, 64u);
    EXPECT_EQ(r.p->n_cigar, 1u);
    free(r.p);
}

TEST(HitTest, ExtraAppendCigar) {
    ls_reg r = make_reg(0, 1, 1, 0);
    uint32_t m10 = op(10, 'M'), m5 = op(5, 'M'), i3 = op(3, 'I');
    ls_extra_append_cigar(&r, 1, &m10);
    ls_extra_append_cigar(&r, 1, &m5);
    EXPECT_EQ(cigar_of(r), (std::vector<uint32_t>{op(15, 'M')}));
    ls_extra_append_cigar(&r, 1, &i3);
    EXPECT_EQ(cigar_of(r), (std::vector<uint32_t>{op(15, 'M'), i3}));
    // Merging at the seam, then the rest copied behind.
    uint32_t more[] = {op(2, 'I'), op(4, 'D'), op(7, 'M')};
    ls_extra_append_cigar(&r, 3, more);
    EXPECT_EQ(cigar_of(r), (std::vector<uint32_t>{op(15, 'M'), op(5, 'I'),
                                                  op(4, 'D'), op(7, 'M')}));
    ls_extra_append_cigar(&r, 0, nullptr); // nothing to append
    EXPECT_EQ(r.p->n_cigar, 4u);

    // Growth across several reallocations keeps every operation.
    std::vector<uint32_t> want = cigar_of(r);
    for (uint32_t i = 0; i < 200; ++i) {
        uint32_t o[2] = {op(i + 1, 'D'), op(i + 2, 'M')};
        ls_extra_append_cigar(&r, 2, o);
        want.push_back(o[0]);
        want.push_back(o[1]);
        ASSERT_GE(r.p->capacity, r.p->n_cigar + 7);
        ASSERT_EQ(r.p->capacity & (r.p->capacity - 1), 0u);
    }
    EXPECT_EQ(cigar_of(r), want);
    free(r.p);
}
