#include "map/chain.h"

#include <gtest/gtest.h>

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <utility>
#include <vector>

namespace {

/* ---- anchors and chainer calls ---- */

ls128 anchor(uint32_t tpos, uint32_t qpos, int span = 15, uint32_t rid = 0, bool rev = false, int seg = 0) {
    return ls128{(uint64_t)rev << 63 | (uint64_t)rid << 32 | tpos,
                 (uint64_t)seg << 48 | (uint64_t)span << 32 | qpos};
}

bool same(const ls128 &a, const ls128 &b) {
    return a.x == b.x && a.y == b.y;
}

struct Chain {
    int score;
    std::vector<ls128> a;
};

struct Params {
    int max_dist_x = 5000, max_dist_y = 5000, bw = 500, max_skip = 25, max_iter = 5000;
    int min_cnt = 3, min_sc = 40;
    // The defaults' gap cost for k = 15: 0.8 * 0.01 * 15, skip cost 0.
    float pen_gap = (float)(0.8f * 0.01 * 15), pen_skip = 0.0f;
    int is_splice = 0, n_seg = 1;
    int max_dist_inner = 1000, cap = 100000; // range-minimum chainer only
};

enum Chainer { kDp, kRangeMin };

/* Runs a chainer on a copy of in (sorted by x here) taken from km, checks the
 * shape of the output and converts it. */
std::vector<Chain> run(Chainer which, std::vector<ls128> in, const Params &o, km_arena *km) {
    std::stable_sort(in.begin(), in.end(), [](const ls128 &a, const ls128 &b) { return a.x < b.x; });
    ls128 *a = static_cast<ls128 *>(km_malloc(km, in.size() * sizeof(ls128)));
    if (!in.empty()) memcpy(a, in.data(), in.size() * sizeof(ls128));
    int n_u = -1;
    uint64_t *u = reinterpret_cast<uint64_t *>(1);
    ls128 *b =
        which == kDp
            ? nx_lchain_dp(o.max_dist_x, o.max_dist_y, o.bw, o.max_skip, o.max_iter, o.min_cnt, o.min_sc,
                           o.pen_gap, o.pen_skip, o.is_splice, o.n_seg, (int64_t)in.size(), a, &n_u, &u, km)
            : nx_lchain_rmq(o.max_dist_x, o.max_dist_inner, o.bw, o.max_skip, o.cap, o.min_cnt, o.min_sc,
                            o.pen_gap, o.pen_skip, (int64_t)in.size(), a, &n_u, &u, km);
    std::vector<Chain> out;
    if (!b) {
        EXPECT_EQ(n_u, 0);
        EXPECT_EQ(u, nullptr);
        return out;
    }
    EXPECT_GT(n_u, 0);
    size_t off = 0;
    for (int i = 0; i < n_u; ++i) {
        Chain c;
        c.score = (int)(u[i] >> 32);
        c.a.assign(b + off, b + off + (uint32_t)u[i]);
        off += (uint32_t)u[i];
        out.push_back(c);
    }
    kfree(km, b);
    kfree(km, u);
    return out;
}

/* Properties every result has: kept chains pass the limits, lie on one
 * target and strand, ascend in x and y, come ordered by their first x and use
 * each input anchor at most once. */
void check_shape(const std::vector<Chain> &chains, const std::vector<ls128> &in, const Params &o) {
    std::multiset<std::pair<uint64_t, uint64_t>> pool;
    for (const ls128 &a : in) pool.insert({a.x, a.y});
    for (size_t i = 0; i < chains.size(); ++i) {
        const Chain &c = chains[i];
        EXPECT_GE(c.score, o.min_sc);
        EXPECT_GE((int)c.a.size(), std::max(o.min_cnt, 1));
        if (i > 0) { EXPECT_LE(chains[i - 1].a[0].x, c.a[0].x); }
        for (size_t j = 0; j < c.a.size(); ++j) {
            auto it = pool.find({c.a[j].x, c.a[j].y});
            ASSERT_NE(it, pool.end()) << "anchor not in the input or used twice";
            pool.erase(it);
            if (j == 0) continue;
            EXPECT_EQ(c.a[j].x >> 32, c.a[0].x >> 32);
            EXPECT_LT(c.a[j - 1].x, c.a[j].x);
            EXPECT_LT((int32_t)c.a[j - 1].y, (int32_t)c.a[j].y);
        }
    }
}

/* Every test's arena must be whole again at the end: all blocks returned,
 * each core a single free block. */
class ChainTest : public ::testing::Test {
  protected:
    km_arena *km = nullptr;
    void SetUp() override { km = km_create(); }
    void TearDown() override {
        km_stats s;
        km_stat(km, &s);
        EXPECT_EQ(s.n_blocks, s.n_cores);
        EXPECT_EQ(s.available, s.capacity - 16 * s.n_cores);
        km_release(km);
    }
};

/* ---- the search tree ---- */

struct Ref {
    int32_t y;
    int64_t index;
    bool operator<(const Ref &o) const { return y != o.y ? y < o.y : index < o.index; }
};
Ref ref_of(const nx_rmq_node *p) {
    return Ref{p->y, p->index};
}

/* Checks links, balance, size and subtree minimum of every node against a
 * recomputation; appends the keys in order. Returns the height. */
int check_subtree(const nx_rmq_node *p, std::vector<const nx_rmq_node *> *order, double *min_pri) {
    if (!p) {
        *min_pri = INFINITY;
        return 0;
    }
    double ml, mr;
    size_t first = order->size();
    int hl = check_subtree(p->child[0], order, &ml);
    order->push_back(p);
    int hr = check_subtree(p->child[1], order, &mr);
    EXPECT_EQ(p->balance, hr - hl);
    EXPECT_LE(abs(hr - hl), 1);
    EXPECT_EQ(p->size, order->size() - first);
    *min_pri = std::min(std::min(ml, mr), p->priority);
    EXPECT_EQ(p->min_node->priority, *min_pri);
    EXPECT_TRUE(std::find(order->begin() + first, order->end(), p->min_node) != order->end());
    return 1 + std::max(hl, hr);
}

void check_tree(const nx_rmq_node *root, const std::map<Ref, nx_rmq_node *> &ref) {
    std::vector<const nx_rmq_node *> order;
    double m;
    check_subtree(root, &order, &m);
    ASSERT_EQ(order.size(), ref.size());
    size_t i = 0;
    for (const auto &kv : ref) EXPECT_EQ(order[i++], kv.second);
}

/* Random inserts and erases, checked after every step; then lookups and
 * range minima against a linear scan. distinct: all priorities differ, so
 * even the chosen node is fixed; otherwise many ties. */
void tree_round(uint64_t seed, bool distinct) {
    std::mt19937_64 rng(seed);
    std::vector<nx_rmq_node> nodes(1500);
    std::map<Ref, nx_rmq_node *> ref;
    nx_rmq_node *root = nullptr;
    size_t next = 0;
    auto key = [](int32_t y, int64_t index) {
        nx_rmq_node k;
        memset(&k, 0, sizeof(k));
        k.y = y, k.index = index;
        return k;
    };
    for (int step = 0; step < 3000; ++step) {
        if (next < nodes.size() && (ref.empty() || rng() % 3 != 0)) {
            nx_rmq_node *p = &nodes[next];
            p->y = (int32_t)(rng() % 300), p->index = (int64_t)(rng() % 4);
            p->priority = distinct ? (double)next + (double)(rng() % 1000) * 1e4 : (double)(rng() % 5);
            nx_rmq_node *got = nx_rmq_insert(&root, p);
            if (ref.count(ref_of(p))) {
                EXPECT_EQ(got, ref[ref_of(p)]); // same key: the existing node, nothing inserted
            } else {
                EXPECT_EQ(got, p);
                ref[ref_of(p)] = p;
                ++next;
            }
        } else {
            auto it = ref.begin();
            std::advance(it, rng() % ref.size());
            nx_rmq_node k = key(it->first.y, it->first.index);
            EXPECT_EQ(nx_rmq_erase(&root, &k), it->second);
            ref.erase(it);
            k.index = 99; // never inserted
            EXPECT_EQ(nx_rmq_erase(&root, &k), nullptr);
        }
        check_tree(root, ref);
        if (::testing::Test::HasFailure()) return;
    }
    for (int q = 0; q < 2000; ++q) {
        nx_rmq_node lo = key((int32_t)(rng() % 320) - 10, (int64_t)(rng() % 6) - 1);
        nx_rmq_node hi = key((int32_t)(rng() % 320) - 10, (int64_t)(rng() % 6) - 1);
        if (q % 2 == 0 && lo.y > hi.y) std::swap(lo, hi); // mostly proper ranges, some empty ones
        const nx_rmq_node *best = nullptr;
        for (const auto &kv : ref)
            if (!(ref_of(kv.second) < ref_of(&lo)) && !(ref_of(&hi) < ref_of(kv.second)) &&
                (!best || kv.second->priority < best->priority))
                best = kv.second;
        const nx_rmq_node *got = nx_rmq_range_min(root, &lo, &hi);
        ASSERT_EQ(got == nullptr, best == nullptr)
            << lo.y << "," << lo.index << " " << hi.y << "," << hi.index;
        if (got) {
            EXPECT_EQ(got->priority, best->priority);
            EXPECT_FALSE(ref_of(got) < ref_of(&lo) || ref_of(&hi) < ref_of(got));
            if (distinct) { EXPECT_EQ(got, best); }
        }

        // find, lower and backward iteration from the lower node
        auto exact = ref.find(ref_of(&lo));
        EXPECT_EQ(nx_rmq_find(root, &lo), exact == ref.end() ? nullptr : exact->second);
        auto up = ref.upper_bound(ref_of(&lo));
        const nx_rmq_node *want = up == ref.begin() ? nullptr : std::prev(up)->second;
        EXPECT_EQ(nx_rmq_lower(root, &lo), want);
        nx_rmq_itr itr;
        ASSERT_EQ(nx_rmq_itr_lower(root, &lo, &itr) != 0, want != nullptr);
        if (!want) continue;
        for (auto it = std::prev(up);; --it) {
            ASSERT_EQ(nx_rmq_itr_node(&itr), it->second);
            const int more = nx_rmq_itr_prev(&itr);
            if (it == ref.begin()) {
                EXPECT_EQ(more, 0);
                EXPECT_EQ(nx_rmq_itr_node(&itr), nullptr);
                break;
            }
            ASSERT_EQ(more, 1);
        }
    }
}

} // namespace

TEST(Log2Approx, CloseToLog2AndIncreasing) {
    // log2(11) = 3.4594; the approximation of a 10-base gap difference is 3.4571.
    EXPECT_NEAR(ls_log2_approx(11.0f), 3.4571, 1e-4);
    EXPECT_NEAR(ls_log2_approx(2.0f), 1.0, 0.006);
    float prev = 0.0f;
    for (int x = 2; x < 1 << 22; x += 1 + (x >> 10)) {
        float l = ls_log2_approx((float)x);
        ASSERT_NEAR(l, log2((double)x), 0.005) << x;
        ASSERT_GE(l, prev) << x;
        prev = l;
    }
}

TEST(RmqTree, RandomInsertEraseKeepsBalanceSizesAndMinima) {
    tree_round(1, true);
    tree_round(2, false);
}

TEST(RmqTree, SortedInsertionStaysShallow) {
    std::vector<nx_rmq_node> nodes(100000);
    nx_rmq_node *root = nullptr;
    for (size_t i = 0; i < nodes.size(); ++i) {
        nodes[i].y = (int32_t)i, nodes[i].index = 0, nodes[i].priority = -(double)i;
        nx_rmq_insert(&root, &nodes[i]);
    }
    int h = 0;
    for (const nx_rmq_node *p = root; p; p = p->child[p->balance > 0]) ++h;
    EXPECT_LE(h, 25); // 1.44 * log2(100002)
    EXPECT_EQ(root->size, nodes.size());
    EXPECT_EQ(root->min_node, &nodes.back());
}

TEST_F(ChainTest, WorkedLinkScores) {
    Params o;
    o.min_cnt = 2, o.min_sc = 0;
    for (Chainer c : {kDp, kRangeMin}) {
        // Same diagonal, 20 bases apart, span 15: no cost, the span counts.
        auto r = run(c, {anchor(100, 100), anchor(120, 120)}, o, km);
        ASSERT_EQ(r.size(), 1u);
        EXPECT_EQ(r[0].score, 15 + 15);
        // dq 100, dr 110: 15 - trunc(0.12 * 10 + 0.5 * log2(11)) = 13.
        r = run(c, {anchor(100, 100), anchor(210, 200)}, o, km);
        ASSERT_EQ(r.size(), 1u);
        EXPECT_EQ(r[0].score, 15 + 13);
        EXPECT_EQ(r[0].a.size(), 2u);
    }
}

TEST_F(ChainTest, SameTargetBaseLinksOnlyAcrossSegments) {
    Params o;
    o.min_cnt = 2, o.min_sc = 0;
    EXPECT_TRUE(run(kDp, {anchor(100, 100), anchor(100, 130)}, o, km).empty());
    EXPECT_TRUE(run(kRangeMin, {anchor(100, 100), anchor(100, 130)}, o, km).empty()); // equal x never meet
    o.n_seg = 2;
    auto r = run(kDp, {anchor(100, 100, 15, 0, false, 0), anchor(100, 130, 15, 0, false, 1)}, o, km);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].score, 15 + 1);
}

TEST_F(ChainTest, EmptyAndWeakInputs) {
    Params o;
    for (Chainer c : {kDp, kRangeMin}) {
        EXPECT_TRUE(run(c, {}, o, km).empty());
        o.min_cnt = 1;
        EXPECT_TRUE(run(c, {anchor(500, 50)}, o, km).empty()); // 15 < 40
        o.min_sc = 15;
        EXPECT_EQ(run(c, {anchor(500, 50)}, o, km).size(), 1u);
        o = Params();
        int n_u = 7;
        uint64_t *u = nullptr;
        EXPECT_EQ(c == kDp ? nx_lchain_dp(0, 0, 500, 25, 5000, 1, 1, 0.1f, 0, 0, 1, 0, nullptr, &n_u, &u, km)
                           : nx_lchain_rmq(0, 0, 500, 25, 10, 1, 1, 0.1f, 0, 0, nullptr, &n_u, &u, km),
                  nullptr);
        EXPECT_EQ(n_u, 0);
    }
}

TEST_F(ChainTest, RejectedChainKeepsItsAnchors) {
    // A-B is the best chain (30); C reaches A through X (29 = 15 + 6 + 8).
    const ls128 A = anchor(100, 100), B = anchor(120, 120), X = anchor(130, 110), C = anchor(150, 120);
    Params o;
    o.min_sc = 0;
    for (Chainer c : {kDp, kRangeMin}) {
        o.min_cnt = 2;
        auto r = run(c, {A, B, X, C}, o, km);
        ASSERT_EQ(r.size(), 2u);
        EXPECT_EQ(r[0].score, 30);
        EXPECT_EQ(r[1].score, 29 - 15); // stops before A, already used
        EXPECT_TRUE(same(r[0].a[0], A) && same(r[0].a[1], B));
        EXPECT_TRUE(same(r[1].a[0], X) && same(r[1].a[1], C));
        // A-B has too few anchors but still holds A, so C-X-A cannot form.
        o.min_cnt = 3;
        EXPECT_TRUE(run(c, {A, B, X, C}, o, km).empty());
    }
}

TEST_F(ChainTest, ChainsOrderedByFirstAnchor) {
    // The later chain scores higher but comes second.
    std::vector<ls128> in;
    for (int k = 0; k < 4; ++k) in.push_back(anchor(1000 + 20 * k, 2000 + 20 * k));
    for (int k = 0; k < 6; ++k) in.push_back(anchor(50000 + 20 * k, 100 + 20 * k));
    for (Chainer c : {kDp, kRangeMin}) {
        auto r = run(c, in, Params(), km);
        ASSERT_EQ(r.size(), 2u);
        EXPECT_EQ(r[0].score, 60);
        EXPECT_EQ(r[1].score, 90);
        check_shape(r, in, Params());
    }
}

TEST_F(ChainTest, OtherTargetsAndStrandsNeverLink) {
    // Three interleaved runs on one diagonal, on different targets or strands:
    // they would make one chain of 9 if they could link.
    const uint32_t rid[3] = {0, 1, 0};
    const bool rev[3] = {false, false, true};
    std::vector<ls128> in;
    for (int k = 0; k < 9; ++k) in.push_back(anchor(100 + 20 * k, 100 + 20 * k, 15, rid[k % 3], rev[k % 3]));
    for (Chainer c : {kDp, kRangeMin}) {
        auto r = run(c, in, Params(), km);
        ASSERT_EQ(r.size(), 3u);
        for (const Chain &ch : r) {
            EXPECT_EQ(ch.score, 45);
            EXPECT_EQ(ch.a.size(), 3u);
        }
        check_shape(r, in, Params());
    }
}

TEST_F(ChainTest, ScoreDropEndsChainsExceptInSpliceMode) {
    // Six anchors on one diagonal (90), a costly jump of 41 onto a second
    // diagonal, six more anchors there (f reaches 139).
    std::vector<ls128> in;
    for (int k = 0; k < 6; ++k) in.push_back(anchor(1000 + 15 * k, 1000 + 15 * k));
    in.push_back(anchor(1085, 1095));
    for (int k = 1; k <= 6; ++k) in.push_back(anchor(1085 + 15 * k, 1095 + 15 * k));
    Params o;
    o.bw = 10, o.pen_gap = 5.0f, o.min_sc = 0;
    auto r = run(kDp, in, o, km);
    ASSERT_EQ(r.size(), 2u); // the walk back stops 41 below the peak (> bw)
    for (const Chain &ch : r) {
        EXPECT_EQ(ch.score, 90);
        EXPECT_EQ(ch.a.size(), 6u);
    }
    o.is_splice = 1;
    r = run(kDp, in, o, km);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].score, 139);
    EXPECT_EQ(r[0].a.size(), 13u);
}

TEST_F(ChainTest, RmqBridgesWhatTheBandForbids) {
    // Two runs of 20 anchors with a 2,000-base deletion between them.
    std::vector<ls128> in;
    for (int k = 0; k < 20; ++k) in.push_back(anchor(100 + 20 * k, 100 + 20 * k));
    for (int k = 0; k < 20; ++k) in.push_back(anchor(2500 + 20 * k, 500 + 20 * k));
    Params o;
    auto r = run(kDp, in, o, km);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].score, 300);
    r = run(kRangeMin, in, o, km);
    ASSERT_EQ(r.size(), 2u);
    o.bw = 20000; // long-join bandwidth: 15 - trunc(0.12 * 2000 + 0.5 * log2(2001)) = -230
    r = run(kRangeMin, in, o, km);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].score, 300 - 230 + 19 * 15);
    EXPECT_EQ(r[0].a.size(), 40u);
}

TEST_F(ChainTest, RmqTreeLimits) {
    std::vector<ls128> in;
    for (int k = 0; k < 30; ++k) in.push_back(anchor(100 + 20 * k, 100 + 20 * k));
    Params o;
    o.cap = 1, o.max_dist_inner = 0; // only the previous anchor stays in the tree
    auto r = run(kRangeMin, in, o, km);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].score, 30 * 15);
    // A wider seed ending at the same query base is not a predecessor.
    o = Params();
    o.min_cnt = 2, o.min_sc = 0;
    EXPECT_TRUE(run(kRangeMin, {anchor(100, 50, 20), anchor(101, 50, 15)}, o, km).empty());
}

namespace {

/* A 10 kb read along target 7 from 200,000 (forward) with small indels every
 * few anchors, ~1,500 true anchors; decoys spread over a megabase of the same
 * target, other targets and the other strand. */
std::vector<ls128> simulate(uint64_t seed, std::set<std::pair<uint64_t, uint64_t>> *truth) {
    std::mt19937_64 rng(seed);
    std::vector<ls128> in;
    const uint32_t qlen = 10000, t0 = 200000;
    int64_t drift = 0;
    for (uint32_t q = 14; q < qlen; q += 2 + rng() % 10) {
        if (rng() % 20 == 0) drift += (int64_t)(rng() % 11) - 5;
        ls128 a = anchor((uint32_t)(t0 + q + drift), q, 15, 7);
        in.push_back(a);
        truth->insert({a.x, a.y});
    }
    for (int k = 0; k < 3000; ++k) {
        uint32_t q = 14 + rng() % (qlen - 14), t = (uint32_t)(rng() % 1000000);
        switch (k % 4) {
        case 0:
        case 1:
            in.push_back(anchor(t, q, 15, 7));
            break;
        case 2:
            in.push_back(anchor(t, q, 15, 3));
            break;
        default:
            in.push_back(anchor(t, q, 15, 7, true));
        }
    }
    return in;
}

void expect_true_chain(const std::vector<Chain> &r, const std::set<std::pair<uint64_t, uint64_t>> &truth) {
    ASSERT_FALSE(r.empty());
    const Chain *best = &r[0];
    for (const Chain &c : r)
        if (c.score > best->score) best = &c;
    size_t on_truth = 0;
    for (const ls128 &a : best->a) on_truth += truth.count({a.x, a.y});
    EXPECT_GE(on_truth, best->a.size() * 98 / 100);
    const int32_t covered = (int32_t)best->a.back().y - (int32_t)best->a.front().y + 15;
    EXPECT_GE(covered, 9000);
}

} // namespace

TEST_F(ChainTest, SimulatedReadChainsOnTheTrueDiagonal) {
    for (uint64_t seed = 1; seed <= 3; ++seed) {
        std::set<std::pair<uint64_t, uint64_t>> truth;
        std::vector<ls128> in = simulate(seed, &truth);
        for (Chainer c : {kDp, kRangeMin}) {
            auto r = run(c, in, Params(), km);
            check_shape(r, in, Params());
            expect_true_chain(r, truth);
        }
    }
}

TEST(Chain, WorksWithoutArena) {
    std::set<std::pair<uint64_t, uint64_t>> truth;
    std::vector<ls128> in = simulate(9, &truth);
    for (Chainer c : {kDp, kRangeMin}) {
        auto r = run(c, in, Params(), nullptr);
        check_shape(r, in, Params());
        expect_true_chain(r, truth);
    }
}
