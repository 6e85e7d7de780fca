#include "map/divergence.h"

#include <gtest/gtest.h>

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "map/regions.h"

namespace {

/* An index with one target of tlen bases: all that the estimate reads. */
struct FakeIndex {
    ls_idx_seq seq;
    ls_idx mi;
    explicit FakeIndex(uint32_t tlen) {
        memset(&seq, 0, sizeof(seq));
        memset(&mi, 0, sizeof(mi));
        seq.len = tlen;
        mi.n_seq = 1;
        mi.seq = &seq;
    }
};

uint64_t seed(int pos, int span = 15) {
    return (uint64_t)span << 32 | (uint32_t)pos;
}

/* Forward anchors on target 0 at the given query end positions, target
 * position = query position + shift; the region over them. */
ls_reg forward_region(const std::vector<int> &qpos, int shift, int qlen, std::vector<ls128> &a) {
    for (int p : qpos) a.push_back(ls128{(uint64_t)(uint32_t)(p + shift), (uint64_t)15 << 32 | (uint32_t)p});
    ls_reg r;
    memset(&r, 0, sizeof(r));
    r.n_anchors = (int)qpos.size();
    ls_reg_set_coords(&r, qlen, a.data(), 0);
    return r;
}

/* The same seeds matched on the reverse strand: positions on the
 * reverse-complemented query, ascending. */
ls_reg reverse_region(const std::vector<int> &qpos, int shift, int qlen, std::vector<ls128> &a) {
    for (size_t i = qpos.size(); i-- > 0;) {
        const int y = qlen - (qpos[i] + 1 - 15) - 1;
        a.push_back(ls128{1ULL << 63 | (uint32_t)(y + shift), (uint64_t)15 << 32 | (uint32_t)y});
    }
    ls_reg r;
    memset(&r, 0, sizeof(r));
    r.n_anchors = (int)qpos.size();
    ls_reg_set_coords(&r, qlen, a.data(), 0);
    return r;
}

ls_reg reg(int id, int parent, int score, int qs, int qe, int rs, int re) {
    ls_reg r;
    memset(&r, 0, sizeof(r));
    r.id = id;
    r.parent = parent;
    r.chain_score = score;
    r.qs = qs, r.qe = qe, r.rs = rs, r.re = re;
    r.n_anchors = 5;
    return r;
}

} // namespace

TEST(DivergenceTest, EveryInnerSeedMatched) {
    FakeIndex idx(100000);
    std::vector<uint64_t> sp;
    std::vector<int> pos;
    for (int i = 0; i < 10; ++i) sp.push_back(seed(14 + 10 * i)), pos.push_back(14 + 10 * i);
    std::vector<ls128> a;
    // qs = 0 leaves no room on the left; 110 - 105 = 5 none on the right.
    ls_reg r = forward_region(pos, 1000, 110, a);
    ls_est_err(&idx.mi, 110, 1, &r, a.data(), (int32_t)sp.size(), sp.data());
    EXPECT_EQ(r.divergence, 0.0f);
}

TEST(DivergenceTest, HalfTheSeedsMatched) {
    FakeIndex idx(100000);
    std::vector<uint64_t> sp;
    std::vector<int> even;
    for (int i = 0; i < 20; ++i) {
        sp.push_back(seed(114 + 10 * i));
        if (i % 2 == 0) even.push_back(114 + 10 * i);
    }
    // 10 of the 19 seeds from the first to the last matched one, plus one
    // that fits before the region (qs = 100 and rs = 1100 exceed 15).
    const double want = 1.0 - pow(0.5, 1.0 / 15);
    EXPECT_NEAR(want, 0.0452, 1e-4);
    std::vector<ls128> a, b;
    ls_reg r[2] = {forward_region(even, 1000, 310, a), reverse_region(even, 1000, 310, b)};
    ls_est_err(&idx.mi, 310, 1, &r[0], a.data(), (int32_t)sp.size(), sp.data());
    ls_est_err(&idx.mi, 310, 1, &r[1], b.data(), (int32_t)sp.size(), sp.data());
    EXPECT_EQ(r[1].reverse, 1u);
    EXPECT_EQ(r[1].qs, 100);
    EXPECT_FLOAT_EQ(r[0].divergence, (float)want);
    EXPECT_FLOAT_EQ(r[1].divergence, (float)want);

    // Room after the region too: the end of the target is far, the query
    // end 100 bases away: 10 of 21.
    ls_est_err(&idx.mi, 400, 1, &r[0], a.data(), (int32_t)sp.size(), sp.data());
    EXPECT_FLOAT_EQ(r[0].divergence, (float)(1.0 - pow(10.0 / 21, 1.0 / 15)));
    // ... unless the target ends within a seed span of the region.
    FakeIndex short_target((uint32_t)r[0].re + 10);
    ls_est_err(&short_target.mi, 400, 1, &r[0], a.data(), (int32_t)sp.size(), sp.data());
    EXPECT_FLOAT_EQ(r[0].divergence, (float)want);
}

TEST(DivergenceTest, NoRoomBeforeANearStart) {
    FakeIndex idx(100000);
    // A region 5 bases from the query start: qs = 5 < 15, no extra seed.
    std::vector<uint64_t> sp = {seed(19), seed(29), seed(39), seed(49)};
    std::vector<ls128> a;
    ls_reg r = forward_region({19, 39, 49}, 1000, 50, a);
    EXPECT_EQ(r.qs, 5);
    ls_est_err(&idx.mi, 50, 1, &r, a.data(), 4, sp.data());
    EXPECT_FLOAT_EQ(r.divergence, (float)(1.0 - pow(0.75, 1.0 / 15)));
}

TEST(DivergenceTest, NothingToEstimate) {
    FakeIndex idx(1000);
    std::vector<ls128> a;
    ls_reg r[2] = {forward_region({20, 30}, 0, 100, a), forward_region({20, 30}, 0, 100, a)};
    r[0].divergence = 0.5f;
    ls_est_err(&idx.mi, 100, 1, r, a.data(), 0, nullptr); // no seed: unchanged
    EXPECT_EQ(r[0].divergence, 0.5f);

    // A first anchor that no seed matches, and a region without anchors.
    std::vector<uint64_t> sp = {seed(10), seed(30)};
    r[1].n_anchors = 0;
    r[1].divergence = 0.5f;
    const int saved = ls_verbosity;
    ls_verbosity = 2;
    testing::internal::CaptureStderr();
    ls_est_err(&idx.mi, 100, 2, r, a.data(), 2, sp.data());
    const std::string err = testing::internal::GetCapturedStderr();
    ls_verbosity = saved;
    EXPECT_EQ(r[0].divergence, -1.0f);
    EXPECT_EQ(r[1].divergence, -1.0f);
    EXPECT_EQ(err, "[WARNING] logic inconsistency in ls_est_err(). Please contact the developer.\n");
}

TEST(DivergenceTest, MultiSegmentSelection) {
    const int lens[2] = {150, 150};
    auto run = [&](std::vector<ls_reg> v, float ratio, int max_keep) {
        ls_reg *r = static_cast<ls_reg *>(calloc(v.size(), sizeof(ls_reg)));
        memcpy(r, v.data(), v.size() * sizeof(ls_reg));
        int n = (int)v.size();
        ls_select_sub_multiseg(nullptr, 1000, 30, max_keep, 2, lens, ratio, 0.2f, 0.7f, &n, r);
        std::vector<int> scores;
        for (int i = 0; i < n; ++i) {
            EXPECT_EQ(r[i].id, i);
            scores.push_back(r[i].chain_score);
            free(r[i].p);
        }
        free(r);
        return scores;
    };
    // Primary at 10000..10150 (mate 0 only). Secondaries: 25% of it near
    // (passes 0.2), 25% far (fails 0.8), within min_diff far away (passes).
    std::vector<ls_reg> v = {reg(0, 0, 400, 0, 150, 10000, 10150), reg(1, 0, 100, 0, 150, 10500, 10650),
                             reg(2, 0, 100, 0, 150, 90000, 90150), reg(3, 0, 371, 0, 150, 50000, 50150)};
    EXPECT_EQ(run(v, 0.8f, 5), (std::vector<int>{400, 100, 371}));
    EXPECT_EQ(run(v, 0.0f, 5).size(), 4u); // ratio 0: nothing removed
    // At most one secondary: the first passing one.
    EXPECT_EQ(run(v, 0.8f, 1), (std::vector<int>{400, 100}));
    // Near means the same strand and target within 1000 + 150 + 150 bases.
    v[1].reverse = 1;
    EXPECT_EQ(run(v, 0.8f, 5), (std::vector<int>{400, 371}));
    v[1].reverse = 0;
    v[1].rs = 10150 + 1300, v[1].re = v[1].rs + 150;
    EXPECT_EQ(run(v, 0.8f, 5), (std::vector<int>{400, 371}));

    // A primary spanning both mates against a secondary on one mate: 0.7.
    std::vector<ls_reg> w = {reg(0, 0, 400, 0, 300, 10000, 10300), reg(1, 0, 290, 0, 150, 80000, 80150),
                             reg(2, 0, 270, 160, 300, 90000, 90150), reg(3, 0, 330, 100, 200, 70000, 70150)};
    EXPECT_EQ(run(w, 0.8f, 5), (std::vector<int>{400, 290, 330}));
    // A second primary keeps its secondary; parents follow the renumbering.
    std::vector<ls_reg> x = {reg(0, 0, 400, 0, 150, 10000, 10150), reg(1, 0, 10, 0, 150, 90000, 90150),
                             reg(2, 2, 300, 150, 300, 30000, 30150), reg(3, 2, 290, 150, 300, 60000, 60150)};
    ls_reg *r = static_cast<ls_reg *>(calloc(4, sizeof(ls_reg)));
    memcpy(r, x.data(), sizeof(ls_reg) * 4);
    r[1].p = static_cast<ls_extra *>(calloc(8, sizeof(uint32_t))); // freed when dropped
    int n = 4;
    ls_select_sub_multiseg(nullptr, 1000, 30, 5, 2, lens, 0.8f, 0.2f, 0.7f, &n, r);
    ASSERT_EQ(n, 3);
    EXPECT_EQ(r[1].parent, 1);
    EXPECT_EQ(r[2].parent, 1);
    EXPECT_EQ(r[0].sam_pri, 1u);
    free(r);
}
