/* The striped local kernel against a plain Smith-Waterman with affine gaps. */
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "align/align.h"
#include "base/arena.h"
#include "testutil.h"

namespace {

using lstest::make_matrix;
using lstest::Seq;

struct LocalResult {
    int score, q_end, t_end;
};

/* Gotoh's recurrences column by column (column = target position), scores
 * floored at 0. The end cell follows the kernel's tie rules: the last column
 * holding the best score, and in it the best cell that comes last in the
 * striped order (segment k % n_seg first, then lane k / n_seg). */
LocalResult scalar_local(const Seq &q, const Seq &t, const std::vector<int8_t> &mat, int go, int ge) {
    const int qlen = (int)q.size(), n_seg = (qlen + 7) / 8;
    std::vector<int> H(qlen, 0), E(qlen, 0), Hn(qlen);
    LocalResult res{0, -1, -1};
    std::vector<int> best_col;
    for (int i = 0; i < (int)t.size(); ++i) {
        int diag = 0, F = 0, colmax = 0;
        for (int j = 0; j < qlen; ++j) {
            E[j] = std::max(E[j] - ge, H[j] - go - ge);
            if (j > 0) F = std::max(F - ge, Hn[j - 1] - go - ge);
            int h = std::max({0, diag + mat[t[i] * 5 + q[j]], E[j], j > 0 ? F : 0});
            diag = H[j];
            Hn[j] = h;
            colmax = std::max(colmax, h);
        }
        H = Hn;
        if (colmax > 0 && colmax >= res.score) res.score = colmax, res.t_end = i, best_col = H;
    }
    if (res.score > 0) {
        int key = -1;
        for (int j = 0; j < qlen; ++j)
            if (best_col[j] == res.score) {
                int order = (j % n_seg) * 8 + j / n_seg;
                if (order > key) key = order, res.q_end = j;
            }
    }
    return res;
}

LocalResult striped_local(km_arena *km, const Seq &q, const Seq &t, const std::vector<int8_t> &mat, int go,
                          int ge) {
    dpx_profile *p = dpx_profile_init(km, 2, (int)q.size(), q.data(), 5, mat.data());
    LocalResult r;
    r.score = dpx_local_score_i16(p, (int)t.size(), t.data(), go, ge, &r.q_end, &r.t_end);
    kfree(km, p);
    return r;
}

Seq random_seq(std::mt19937 &rng, int len, int n_rate_permille) {
    Seq s(len);
    for (auto &c : s) c = (int)(rng() % 1000) < n_rate_permille ? 4 : rng() % 4;
    return s;
}

/* A copy with substitutions, short indels and occasional long insertions
 * (long vertical gaps in the DP). */
Seq mutate(std::mt19937 &rng, const Seq &s, int long_ins) {
    Seq r;
    for (size_t i = 0; i < s.size(); ++i) {
        int x = rng() % 100;
        if (x < 6)
            r.push_back(rng() % 4);
        else if (x < 8)
            continue;
        else if (x < 10)
            r.push_back(s[i]), r.push_back(rng() % 4);
        else
            r.push_back(s[i]);
        if (long_ins && i == s.size() / 2)
            for (int k = 0; k < long_ins; ++k) r.push_back(rng() % 4);
    }
    return r;
}

TEST(LocalKernel, WorkedExamples) {
    km_arena *km = km_create();
    auto mat = make_matrix(2, 4, 1);
    Seq q = {0, 1, 2, 3, 3, 2, 1, 0, 0, 2};
    Seq t = {3, 3, 1, 0, 1, 2, 3, 3, 2, 1, 0, 0, 2, 1, 1};
    LocalResult r = striped_local(km, q, t, mat, 4, 2);
    EXPECT_EQ(r.score, 20);
    EXPECT_EQ(r.q_end, 9);
    EXPECT_EQ(r.t_end, 12);

    /* two equally good hits: the later one is reported */
    Seq t2 = t;
    for (int k = 0; k < 3; ++k) t2.push_back(3);
    t2.insert(t2.end(), q.begin(), q.end());
    t2.push_back(1);
    r = striped_local(km, q, t2, mat, 4, 2);
    EXPECT_EQ(r.score, 20);
    EXPECT_EQ(r.t_end, (int)t2.size() - 2);
    EXPECT_EQ(r.q_end, 9);

    /* nothing positive: no best cell */
    Seq qa(12, 0), tc(20, 1);
    r = striped_local(km, qa, tc, mat, 4, 2);
    EXPECT_EQ(r.score, 0);
    EXPECT_EQ(r.q_end, -1);
    EXPECT_EQ(r.t_end, -1);
    r = striped_local(km, q, Seq(), mat, 4, 2);
    EXPECT_EQ(r.score, 0);
    EXPECT_EQ(r.t_end, -1);
    r = striped_local(km, Seq(), t, mat, 4, 2);
    EXPECT_EQ(r.score, 0);
    EXPECT_EQ(r.q_end, -1);
    km_release(km);
}

TEST(LocalKernel, StripedProfileLayout) {
    km_arena *km = km_create();
    auto mat = make_matrix(2, 4, 1);
    Seq q = {0, 1, 2, 3, 4, 0, 1, 2, 3};
    dpx_profile *p = dpx_profile_init(km, 2, 9, q.data(), 5, mat.data());
    EXPECT_EQ(p->n_segments, 2);
    EXPECT_EQ(p->lane_bytes, 2);
    EXPECT_EQ(p->max_entry, 2);
    EXPECT_EQ(p->bias, 4);
    EXPECT_EQ(p->score_range, 6);
    EXPECT_EQ((uintptr_t)p->profile % 16, 0u);
    EXPECT_EQ(p->h_prev, p->profile + 5 * 2);
    EXPECT_EQ(p->h_best, p->profile + 5 * 2 + 3 * 2);
    const int16_t *v = reinterpret_cast<const int16_t *>(p->profile);
    for (int a = 0; a < 5; ++a)
        for (int s = 0; s < 2; ++s)
            for (int l = 0; l < 8; ++l) {
                int k = s + l * 2; /* segment 0: 0, 2, ..., 14; segment 1: 1, 3, ..., 15 */
                int want = k < 9 ? mat[a * 5 + q[k]] : -1;
                EXPECT_EQ(v[(a * 2 + s) * 8 + l], want) << a << " " << s << " " << l;
            }
    kfree(km, p);

    /* 8-bit lanes: 16 per vector, values biased to be non-negative */
    p = dpx_profile_init(km, 1, 9, q.data(), 5, mat.data());
    EXPECT_EQ(p->n_segments, 1);
    EXPECT_EQ(p->lane_bytes, 1);
    const uint8_t *b = reinterpret_cast<const uint8_t *>(p->profile);
    for (int a = 0; a < 5; ++a)
        for (int l = 0; l < 16; ++l)
            EXPECT_EQ(b[a * 16 + l], (uint8_t)((l < 9 ? mat[a * 5 + q[l]] : -1) + 4));
    kfree(km, p);
    km_release(km);
}

struct Scoring {
    int a, b, amb, tp, go, ge;
};

void compare_random(const Scoring &sc, int n_pairs, uint32_t seed) {
    std::mt19937 rng(seed);
    km_arena *km = km_create();
    auto mat = make_matrix(sc.a, sc.b, sc.amb, sc.tp);
    for (int it = 0; it < n_pairs; ++it) {
        int qlen;
        if (it < 80)
            qlen = 1 + it; /* every length around the vector width */
        else
            qlen = 1 + rng() % 300;
        Seq q = random_seq(rng, qlen, it % 3 == 0 ? 30 : 0);
        Seq t;
        int kind = rng() % 5;
        if (kind == 4) {
            /* the query and the target differ by one block replaced by an
             * unrelated one: an insertion next to a deletion */
            Seq x = random_seq(rng, 5 + rng() % 40, 0), y = random_seq(rng, 5 + rng() % 40, 0);
            size_t cut = rng() % (q.size() + 1);
            t.assign(q.begin(), q.begin() + cut);
            t.insert(t.end(), y.begin(), y.end());
            t.insert(t.end(), q.begin() + cut, q.end());
            q.insert(q.begin() + cut, x.begin(), x.end());
        } else if (kind == 0) {
            t = random_seq(rng, rng() % 400, 10);
        } else {
            /* the target holds a mutated copy of the query inside random flanks;
             * the query sometimes carries a long insertion that crosses several
             * lanes of the stripe */
            Seq core = mutate(rng, q, 0);
            if (kind == 3 && qlen > 20) {
                Seq qi = q;
                int pos = qlen / 2, ins = 8 + rng() % 60;
                qi.insert(qi.begin() + pos, ins, 0);
                for (int k = 0; k < ins; ++k) qi[pos + k] = rng() % 4;
                q = qi;
            }
            t = random_seq(rng, rng() % 50, 0);
            t.insert(t.end(), core.begin(), core.end());
            Seq tail = random_seq(rng, rng() % 50, 0);
            t.insert(t.end(), tail.begin(), tail.end());
            if (kind == 2) t.insert(t.end(), core.begin(), core.end()); /* a second hit */
        }
        LocalResult want = scalar_local(q, t, mat, sc.go, sc.ge);
        LocalResult got = striped_local(km, q, t, mat, sc.go, sc.ge);
        ASSERT_EQ(got.score, want.score) << "pair " << it << " qlen " << q.size() << " tlen " << t.size();
        ASSERT_EQ(got.t_end, want.t_end) << "pair " << it;
        ASSERT_EQ(got.q_end, want.q_end) << "pair " << it;
    }
    km_release(km);
}

TEST(LocalKernel, MatchesScalarDefaults) {
    compare_random({2, 4, 1, 0, 4, 2}, 1000, 11);
}

TEST(LocalKernel, MatchesScalarOtherScorings) {
    compare_random({1, 2, 1, 0, 2, 1}, 300, 12); /* spliced-read scores */
    compare_random({2, 4, 1, 2, 4, 2}, 300, 13); /* transitions cheaper */
    compare_random({5, 3, 2, 0, 1, 1}, 300, 14); /* cheap long gaps: many correction rounds */
    compare_random({3, 2, 1, 0, 0, 1}, 300, 17); /* no gap-open penalty */
    compare_random({3, 3, 1, 0, 5, 0}, 200, 18); /* no gap-extension penalty */
    /* mismatches dearer than two gap extensions: a vertical gap followed at
     * once by a horizontal one can be the best path */
    compare_random({2, 8, 1, 0, 1, 1}, 300, 15);
    compare_random({1, 4, 1, 0, 6, 1}, 300, 16);
}

TEST(LocalKernel, LongVerticalGap) {
    /* The query carries 70 extra bases (G/T only, so they match nothing)
     * between two 15-base A/C flanks that the target holds back to back: with
     * 13 segments the gap crosses 5 lane boundaries, one correction round
     * each. */
    std::mt19937 rng(7);
    km_arena *km = km_create();
    auto mat = make_matrix(6, 4, 1);
    Seq left(15), right(15), mid(70);
    for (auto &c : left) c = rng() % 2;
    for (auto &c : right) c = rng() % 2;
    for (auto &c : mid) c = 2 + rng() % 2;
    Seq q = left, t = left;
    q.insert(q.end(), mid.begin(), mid.end());
    q.insert(q.end(), right.begin(), right.end());
    t.insert(t.end(), right.begin(), right.end());
    for (int go = 0; go <= 1; ++go) { /* a free gap open is the hard case */
        LocalResult want = scalar_local(q, t, mat, go, 1);
        LocalResult got = striped_local(km, q, t, mat, go, 1);
        EXPECT_EQ(want.score, 30 * 6 - 70 - go);
        EXPECT_EQ(got.score, want.score);
        EXPECT_EQ(got.q_end, 99);
        EXPECT_EQ(got.t_end, 29);
    }
    km_release(km);
}

} // namespace
