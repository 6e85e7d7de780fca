#include "map/low_complexity.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "pipeline/map_query.h"
#include "map/seeds.h"
#include "index/sketch.h"
#include "testutil.h"

namespace {

using Ivs = std::vector<std::pair<int, int>>;

Ivs to_pairs(const uint64_t *a, int n) {
    Ivs v;
    for (int i = 0; i < n; ++i) v.emplace_back((int)(a[i] >> 32), (int)(uint32_t)a[i]);
    return v;
}

Ivs dust(const std::string &s, int T, int W = 64) {
    int n = -1;
    uint64_t *a = ls_dust(nullptr, s.c_str(), (int)s.size(), T, W, &n);
    Ivs v = to_pairs(a, n);
    if (n == 0) { EXPECT_EQ(a, nullptr); }
    free(a);
    return v;
}

/* ---- plain reference: every window and every stretch counted from scratch ---- */

struct Cand {
    int start, finish;
    int64_t r, l;
};

int code(char c) {
    return ls_nt4_table[(uint8_t)c];
}

/* Pairs of equal words among w[from, to). */
int64_t pairs(const std::vector<int> &w, int from, int to) {
    int64_t c[64] = {0}, r = 0;
    for (int k = from; k < to; ++k) ++c[w[k]];
    for (int64_t x : c) r += x * (x - 1) / 2;
    return r;
}

struct Reference {
    std::vector<Cand> P; // by descending start, equal starts by ascending finish
    std::vector<uint64_t> res;
    Ivs every_perfect; // every stretch ever recorded

    void save(int s) {
        if (P.empty() || P.back().start >= s) return;
        const Cand p = P.back();
        if (!res.empty() && p.start <= (int)(uint32_t)res.back()) {
            const int f = std::max((int)(uint32_t)res.back(), p.finish);
            res.back() = res.back() >> 32 << 32 | (uint32_t)f;
        } else {
            res.push_back((uint64_t)p.start << 32 | (uint32_t)p.finish);
        }
        while (!P.empty() && P.back().start < s) P.pop_back();
    }

    /* The window covers bases [s0, e]; its words end at s0 + 2 .. e. */
    void window(const std::string &s, int s0, int e, int T) {
        std::vector<int> w;
        for (int p = s0 + 2; p <= e; ++p) w.push_back(code(s[p - 2]) << 4 | code(s[p - 1]) << 2 | code(s[p]));
        const int nw = (int)w.size();
        // The longest suffix in which no word occurs more than 2T / 10 times.
        int L = 0;
        {
            int c[64] = {0};
            for (int k = nw - 1; k >= 0 && (int64_t)(c[w[k]] + 1) * 10 <= 2 * (int64_t)T; --k) ++c[w[k]], ++L;
        }
        if (pairs(w, 0, nw) * 10 <= (int64_t)L * T) return;
        // Stretches longer than the suffix, each scored by its own counts.
        int64_t c[64] = {0}, r = 0;
        for (int k = nw - 1; k >= nw - L; --k) r += c[w[k]]++;
        for (int k = nw - L - 1; k >= 0; --k) {
            r += c[w[k]]++;
            const int64_t nl = nw - k - 1;
            if (r * 10 <= (int64_t)T * nl) continue;
            // The best stretch recorded inside this one, if any: those that
            // start in it, a prefix of the list by its order.
            int64_t br = 0, bl = 0;
            size_t at = 0;
            for (; at < P.size() && P[at].start >= k + s0; ++at)
                if (br == 0 || P[at].r * bl > br * P[at].l) br = P[at].r, bl = P[at].l;
            if (br != 0 && r * bl < br * nl) continue;
            const Cand nc{k + s0, e + 1, r, nl};
            // Every recorded stretch ends at or before this window's end.
            if (at > 0) { EXPECT_LE(P[at - 1].finish, nc.finish); }
            P.insert(P.begin() + (long)at, nc);
            every_perfect.emplace_back(nc.start, nc.finish);
        }
    }

    void run(const std::string &s, int T, int W) {
        const int n = (int)s.size();
        for (int a = 0; a <= n;) {
            int b = a;
            while (b < n && code(s[b]) < 4) ++b; // the run [a, b)
            for (int e = a + 2; e < b; ++e) {
                const int len = e - a + 1;
                const int s0 = std::max(len - W, 0) + a;
                save(s0);
                window(s, s0, e, T);
            }
            const int l = b - a;
            int start = std::max(l - W + 1, 0) + a + 1;
            while (!P.empty()) save(start++);
            a = b + 1;
        }
    }
};

Ivs reference_dust(const std::string &s, int T, int W, Ivs *every = nullptr) {
    Reference ref;
    ref.run(s, T, W);
    if (every) *every = ref.every_perfect;
    return to_pairs(ref.res.data(), (int)ref.res.size());
}

/* Random bases with planted homopolymers and di-/tri-nucleotide repeats
 * (some with point changes), lower case, U and ambiguous bytes. */
std::string planted_sequence(std::mt19937 &rng, int len) {
    static const char kBases[] = "ACGT";
    std::string s;
    while ((int)s.size() < len) {
        const unsigned kind = rng() % 10;
        if (kind < 4) {
            for (unsigned i = 0, n = 5 + rng() % 60; i < n; ++i) s += kBases[rng() & 3];
        } else if (kind < 6) {
            s.append(3 + rng() % 80, kBases[rng() & 3]);
        } else if (kind < 9) {
            std::string unit;
            for (unsigned i = 0, u = 2 + rng() % 2; i < u; ++i) unit += kBases[rng() & 3];
            const unsigned n = 3 + rng() % 50;
            for (unsigned i = 0; i < n; ++i) s += unit;
            for (unsigned i = 0, m = rng() % 3; i < m; ++i)
                s[s.size() - 1 - rng() % (n * unit.size())] = kBases[rng() & 3];
        } else {
            s += "NnRx-"[rng() % 5];
        }
    }
    s.resize((size_t)len);
    for (auto &c : s) {
        const unsigned r = rng() % 50;
        if (r == 0 && c != 'N')
            c = (char)tolower(c);
        else if (r == 1 && c == 'T')
            c = 'U';
    }
    return s;
}

/* A linear de Bruijn sequence: all 64 words of 3 bases exactly once. */
std::string de_bruijn3() {
    std::vector<int> a(8, 0), seq;
    // Lyndon words of length dividing 3 over 4 letters, in order.
    auto db = [&](auto &&self, int t, int p) -> void {
        if (t > 3) {
            if (3 % p == 0)
                for (int j = 1; j <= p; ++j) seq.push_back(a[j]);
        } else {
            a[t] = a[t - p];
            self(self, t + 1, p);
            for (int j = a[t - p] + 1; j < 4; ++j) {
                a[t] = j;
                self(self, t + 1, t);
            }
        }
    };
    db(db, 1, 1);
    std::string s;
    for (int x : seq) s += "ACGT"[x];
    return s + s.substr(0, 2);
}

} // namespace

TEST(LowComplexTest, WorkedExamples) {
    // Too short, or nothing unambiguous.
    EXPECT_TRUE(dust("", 20).empty());
    EXPECT_TRUE(dust("AA", 20).empty());
    EXPECT_TRUE(dust("NNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNN", 20).empty());
    EXPECT_TRUE(dust("ACGTNACGTNACGT", 1).empty());

    EXPECT_EQ(dust(std::string(64, 'A'), 20), (Ivs{{0, 64}}));
    EXPECT_EQ(dust(std::string(20, 'A') + "N" + std::string(20, 'A'), 20), (Ivs{{0, 20}, {21, 41}}));
    std::string ca;
    for (int i = 0; i < 40; ++i) ca += "CA";
    EXPECT_EQ(dust(ca, 20), (Ivs{{0, 80}}));
    // Lower case and U are ordinary bases.
    EXPECT_EQ(dust(std::string(64, 'u'), 20), (Ivs{{0, 64}}));

    // A length below 0 reads up to the zero byte.
    const std::string a64(64, 'A');
    int n = -1;
    uint64_t *iv = ls_dust(nullptr, a64.c_str(), -1, 20, 64, &n);
    EXPECT_EQ(to_pairs(iv, n), (Ivs{{0, 64}}));
    free(iv);

    // A repeat in the middle of random sequence is found where it is.
    std::mt19937 rng(5);
    std::string mid;
    for (int i = 0; i < 100; ++i) mid += "ACGT"[rng() & 3];
    mid += std::string(30, 'G');
    for (int i = 0; i < 100; ++i) mid += "ACGT"[rng() & 3];
    const Ivs m = dust(mid, 20);
    ASSERT_EQ(m.size(), 1u);
    EXPECT_LE(m[0].first, 100);
    EXPECT_GE(m[0].second, 130);
    EXPECT_LT(m[0].second - m[0].first, 40);

    // No word repeats: no interval at any positive threshold.
    const std::string db = de_bruijn3();
    ASSERT_EQ(db.size(), 66u);
    for (int T : {1, 2, 5, 20, 100}) EXPECT_TRUE(dust(db, T).empty()) << T;

    // A window under 3 bases holds no word.
    EXPECT_TRUE(dust(std::string(64, 'A'), 20, 2).empty());
}

TEST(LowComplexTest, MatchesPlainReference) {
    std::mt19937 rng(20240611);
    int n_found = 0;
    for (int trial = 0; trial < 32; ++trial) {
        // W = 300 makes the word ring grow past its first 256 slots.
        const int W = trial == 15 || trial == 31 ? 300 : (int[]){64, 64, 3, 17, 64}[trial % 5];
        const int T = (int[]){5, 10, 20, 20, 40, 100}[trial % 6];
        const std::string s = planted_sequence(rng, W == 300 ? 400 : 200 + (int)(rng() % 600));
        Ivs every;
        const Ivs want = reference_dust(s, T, W, &every);
        const Ivs got = dust(s, T, W);
        ASSERT_EQ(got, want) << "trial " << trial << " T " << T << " W " << W << "\n" << s;
        n_found += (int)got.size();
        // Ascending and disjoint (touching stretches are merged) ...
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_LT(got[i].first, got[i].second);
            if (i > 0) { EXPECT_LT(got[i - 1].second, got[i].first); }
        }
        // ... and exactly the union of every recorded stretch.
        std::vector<char> mask(s.size(), 0), uni(s.size(), 0);
        for (auto &p : got) std::fill(mask.begin() + p.first, mask.begin() + p.second, 1);
        for (auto &p : every) std::fill(uni.begin() + p.first, uni.begin() + p.second, 1);
        EXPECT_EQ(mask, uni) << "trial " << trial;
    }
    EXPECT_GT(n_found, 50); // the planted repeats were found
}

TEST(LowComplexTest, BufferReuseAndArena) {
    km_arena *km = km_create();
    std::mt19937 rng(77);
    ls_dust_buf *b = ls_dust_buf_init(km);
    for (int trial = 0; trial < 6; ++trial) {
        const std::string s = planted_sequence(rng, 600);
        int n = -1;
        const uint64_t *iv = ls_dust_core(s.c_str(), (int)s.size(), 20, 64, &n, b);
        EXPECT_EQ(to_pairs(iv, n), reference_dust(s, 20, 64));
        int n2 = -1;
        uint64_t *own = ls_dust(km, s.c_str(), (int)s.size(), 20, 64, &n2);
        EXPECT_EQ(to_pairs(own, n2), to_pairs(iv, n));
        kfree(km, own);
    }
    ls_dust_buf_destroy(b);
    ls_dust_buf_destroy(nullptr);
    lstest::expect_all_freed_and_release(km);
}

TEST(LowComplexTest, MappingSkipsMaskedHalf) {
    // A random target with a trinucleotide repeat at 20000; the query is the
    // repeat followed by 400 unique bases.
    std::mt19937 rng(31);
    std::string target;
    for (int i = 0; i < 60000; ++i) target += "ACGT"[rng() & 3];
    for (int i = 0; i < 400; i += 3) target.replace((size_t)(20000 + i), 3, "CAG");
    const std::string query = target.substr(20000, 800);
    const char *seqs[] = {target.c_str()};
    const char *names[] = {"t"};
    ls_idx *mi = ls_idx_str(10, 15, 0, 14, 1, seqs, names);
    ASSERT_NE(mi, nullptr);
    ls_mapopt opt;
    ls_mapopt_defaults(&opt);
    ls_mapopt_update(&opt, mi);
    opt.mid_occ = 1000; // keep the repeat's seeds, so that only masking removes them
    opt.query_occ_fraction = 0;

    // The masked stretch covers the repeat and little more.
    const Ivs mask = dust(query, 20);
    ASSERT_EQ(mask.size(), 1u);
    EXPECT_EQ(mask[0].first, 0);
    EXPECT_GE(mask[0].second, 400);
    EXPECT_LE(mask[0].second, 410);

    ls_tbuf *b = ls_tbuf_init();
    auto map_query = [&](int threshold, int *qs, int *qe, int *rs) {
        opt.dust_threshold = threshold;
        int n = 0;
        ls_reg *r = ls_map(mi, (int)query.size(), query.c_str(), &n, b, &opt, "q");
        ASSERT_GE(n, 1);
        EXPECT_EQ(r[0].target_id, 0);
        EXPECT_EQ(r[0].reverse, 0u);
        *qs = r[0].qs, *qe = r[0].qe, *rs = r[0].rs;
        lstest::free_regions(n, r);
    };
    int qs, qe, rs;
    map_query(0, &qs, &qe, &rs);
    EXPECT_LT(qs, 50); // unmasked, the repeat seeds the chain too
    map_query(20, &qs, &qe, &rs);
    EXPECT_GE(qs, mask[0].second - 7); // kept seeds have at most 7 of 15 bases masked
    EXPECT_GT(qe, 750);
    EXPECT_EQ(rs - qs, 20000);

    // No anchor comes from a seed that lies mostly in the masked stretch.
    opt.dust_threshold = 20;
    const int qlen = (int)query.size();
    const char *qseqs[] = {query.c_str()};
    ls128_vec mv = {0, 0, nullptr};
    ls_map_collect_minimizers(nullptr, &opt, mi, 1, &qlen, qseqs, &mv);
    int64_t n_a = 0;
    int rep_len = 0, n_sp = 0;
    uint64_t *sp = nullptr;
    ls128 *a = ls_collect_anchors(nullptr, &opt, opt.mid_occ, mi, "q", &mv, qlen, &n_a, &rep_len, &n_sp, &sp);
    ASSERT_GT(n_a, 0);
    for (int64_t i = 0; i < n_a; ++i) {
        const int span = (int)(a[i].y >> 32 & 0xff), e = (int)(uint32_t)a[i].y + 1;
        const int in = std::max(0, std::min(e, mask[0].second) - std::max(e - span, mask[0].first));
        EXPECT_LE(in, span >> 1) << "anchor ending at " << e;
    }
    kfree(nullptr, a);
    kfree(nullptr, sp);
    kfree(nullptr, mv.a);
    ls_tbuf_destroy(b);
    ls_idx_destroy(mi);
}
