#include "index/sketch.h"

#include <gtest/gtest.h>

#include <ctype.h>
#include <stdlib.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

const uint64_t kNone = UINT64_MAX;

// Sketches into a fresh list and returns its items.
std::vector<ls128> sketch(const std::string &s, int w, int k, bool hpc, uint32_t rid = 0,
                          km_arena *km = nullptr) {
    ls128_vec v = {0, 0, nullptr};
    ls_sketch(km, s.data(), (int)s.size(), w, k, rid, hpc, &v);
    std::vector<ls128> out(v.a, v.a + v.n);
    kfree(km, v.a);
    return out;
}

bool same(const std::vector<ls128> &a, const std::vector<ls128> &b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].x != b[i].x || a[i].y != b[i].y) return false;
    return true;
}

int pos_of(const ls128 &m) {
    return (int)((uint32_t)m.y >> 1);
}
int span_of(const ls128 &m) {
    return (int)(m.x & 0xff);
}

// The hash written out step by step with explicit reduction modulo 2^(2k).
uint64_t plain_hash(uint64_t key, int k) {
    const uint64_t mod = 1ULL << 2 * k;
    key = ((mod - 1 - key) + key * (1ULL << 21) % mod) % mod;
    key = key ^ key / (1ULL << 24);
    key = key * 265 % mod;
    key = key ^ key / (1ULL << 14);
    key = key * 21 % mod;
    key = key ^ key / (1ULL << 28);
    key = (key + key * (1ULL << 31) % mod) % mod;
    return key;
}

int code_of(char ch) {
    switch (ch) {
    case 'A':
    case 'a':
    case 0:
        return 0;
    case 'C':
    case 'c':
    case 1:
        return 1;
    case 'G':
    case 'g':
    case 2:
        return 2;
    case 'T':
    case 't':
    case 'U':
    case 'u':
    case 3:
        return 3;
    default:
        return 4;
    }
}

// ---- A deliberately plain model of the sketch ----
//
// Each scanned position that keeps a window slot becomes an entry: an
// ambiguous base (l = 0, no k-mer) or a valid base whose k-mer is not its own
// reverse complement (l = the count of such k-mers since the last ambiguous
// base; a k-mer when l >= k and the span is below 256). Then every window of
// the w most recent entries is examined on its own.
struct Entry {
    ls128 v;
    int l;
};

std::vector<Entry> model_entries(const std::string &s, int k, uint32_t rid, bool hpc) {
    std::vector<Entry> e;
    std::vector<int> bases; // every valid base so far: k-mer codes run across ambiguous bases
    std::vector<int> runs;  // run lengths since the last ambiguous base
    int l = 0;
    for (size_t i = 0; i < s.size();) {
        int c = code_of(s[i]);
        if (c == 4) {
            l = 0;
            runs.clear();
            e.push_back({{kNone, kNone}, 0});
            ++i;
            continue;
        }
        size_t end = i + 1;
        if (hpc)
            while (end < s.size() && code_of(s[end]) == c) ++end;
        runs.push_back((int)(end - i));
        uint64_t last = end - 1;
        i = end;
        bases.push_back(c);
        int span = 0;
        if (hpc) {
            for (size_t j = runs.size() >= (size_t)k ? runs.size() - k : 0; j < runs.size(); ++j)
                span += runs[j];
        } else {
            span = std::min(l + 1, k);
        }
        // Bases not yet seen count as 0 in both codes.
        uint64_t fwd = 0, rev = 0;
        for (int j = 0; j < k; ++j) {
            long idx = (long)bases.size() - k + j; // j = 0 is the oldest base of the k-mer
            if (idx < 0) continue;
            fwd |= (uint64_t)bases[idx] << 2 * (k - 1 - j);
            rev |= (uint64_t)(3 - bases[idx]) << 2 * j;
        }
        if (fwd == rev) continue;
        int z = fwd < rev ? 0 : 1;
        ++l;
        ls128 v = {kNone, kNone};
        if (l >= k && span < 256) {
            v.x = plain_hash(z ? rev : fwd, k) << 8 | span;
            v.y = (uint64_t)rid << 32 | last << 1 | z;
        }
        e.push_back({v, l});
    }
    return e;
}

// Index of the most recent entry with the smallest x in e[lo..hi], or -1 if
// all are empty.
int rightmost_min(const std::vector<Entry> &e, int lo, int hi) {
    int r = -1;
    for (int j = std::max(lo, 0); j <= hi; ++j)
        if (e[j].v.x != kNone && (r < 0 || e[j].v.x <= e[r].v.x)) r = j;
    return r;
}

// The k-mers of e[lo..hi] sharing e[r]'s hash, other than e[r].
void add_ties(const std::vector<Entry> &e, int lo, int hi, int r, std::vector<ls128> &out) {
    for (int j = std::max(lo, 0); j <= hi; ++j)
        if (j != r && e[j].v.x == e[r].v.x) out.push_back(e[j].v);
}

// What the sketch must write, as a multiset:
//  - the most recent smallest k-mer of every full window (w entries, all in
//    one run of valid k-mers), once each;
//  - the k-mers tied with it when a window's minimum is found by scanning the
//    window: at the first full window of a run (among the w - 1 entries before
//    its last one) and whenever the minimum has just left the window;
//  - at the end of a sequence whose last run holds no full window, the
//    smallest k-mer among the last w entries written after the last run that
//    did hold one.
std::vector<ls128> model_minimizers(const std::vector<Entry> &e, int w, int k) {
    const int m = (int)e.size(), full = w + k - 1;
    std::vector<ls128> out;
    std::set<int> chosen;
    int restart = 0; // entries before this belong to runs already written out
    for (int t = 0; t < m; ++t) {
        if (e[t].l == 0 && t > 0 && e[t - 1].l >= full) restart = t;
        if (e[t].l < full) continue;
        int r = rightmost_min(e, t - w + 1, t);
        if (r >= 0) chosen.insert(r);
        if (e[t].l == full && w > 1) {
            int rp = rightmost_min(e, t - w + 1, t - 1);
            if (rp >= 0) add_ties(e, t - w + 1, t - 1, rp, out);
        }
        if (e[t].l > full) {
            int prev = rightmost_min(e, t - w, t - 1);
            if (prev == t - w && e[t].v.x > e[prev].v.x && r >= 0) add_ties(e, t - w + 1, t, r, out);
        }
    }
    for (int r : chosen) out.push_back(e[r].v);
    if (e[m - 1].l < full) {
        int r = rightmost_min(e, std::max(m - w, restart), m - 1);
        if (r >= 0) out.push_back(e[r].v);
    }
    return out;
}

// Random sequence with mixed case, homopolymer runs (some longer than 255),
// ambiguous stretches and copied segments, so that equal k-mers meet in a
// window.
std::string random_seq(std::mt19937_64 &rng, size_t len) {
    const char *bases = "ACGTacgu";
    std::string s;
    while (s.size() < len) {
        unsigned r = rng() % 100;
        if (r < 70) {
            s += bases[rng() % 8];
        } else if (r < 85) {
            s.append(1 + rng() % 12, "ACGT"[rng() % 4]);
        } else if (r < 88) {
            s.append(1 + rng() % 4, "NnRx"[rng() % 4]);
        } else if (r < 98 && s.size() > 40) {
            size_t n = 5 + rng() % 35, from = rng() % (s.size() - n);
            s += s.substr(from, n);
        } else if (r < 99) {
            s.append(1 + rng() % 300, "ACGT"[rng() % 4]);
        } else {
            s.append(50 + rng() % 100, rng() % 2 ? 'A' : 'C');
        }
    }
    s.resize(len);
    return s;
}

TEST(Sketch, CodeTable) {
    for (int b = 0; b < 256; ++b) EXPECT_EQ(ls_nt4_table[b], code_of((char)b)) << "byte " << b;
}

TEST(Sketch, HashFixedPointsAndBijection) {
    EXPECT_EQ(ls_kmer_hash(0, (1ULL << 30) - 1), 1072721685u);
    EXPECT_EQ(ls_kmer_hash(1, (1ULL << 30) - 1), 932509926u);
    EXPECT_EQ(ls_kmer_hash(6, (1ULL << 6) - 1), 21u);
    for (int k = 1; k <= 8; ++k) {
        const uint64_t n = 1ULL << 2 * k;
        std::vector<bool> seen(n);
        for (uint64_t key = 0; key < n; ++key) {
            uint64_t h = ls_kmer_hash(key, n - 1);
            ASSERT_LT(h, n);
            ASSERT_FALSE(seen[h]) << "k=" << k << " key=" << key;
            seen[h] = true;
        }
    }
    std::mt19937_64 rng(7);
    for (int k = 1; k <= 28; ++k)
        for (int i = 0; i < 1000; ++i) {
            uint64_t mask = (1ULL << 2 * k) - 1, key = rng() & mask;
            ASSERT_EQ(ls_kmer_hash(key, mask), plain_hash(key, k)) << "k=" << k << " key=" << key;
        }
}

TEST(Sketch, EdgeCases) {
    // Shorter than k: nothing.
    EXPECT_TRUE(sketch("ACGTTGCAAGT", 5, 15, false).empty());
    // Exactly k bases, w = 1: one minimizer ending at k - 1.
    std::vector<ls128> one = sketch("CAGTTGCAAGTCCAT", 1, 15, false, 9);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(pos_of(one[0]), 14);
    EXPECT_EQ(span_of(one[0]), 15);
    EXPECT_EQ(one[0].y >> 32, 9u);
    // ACGT is its own reverse complement.
    EXPECT_TRUE(sketch("ACGT", 1, 4, false).empty());
    EXPECT_EQ(sketch("ACGA", 1, 4, false).size(), 1u);

    // Five A, five C, five G compress to ACG: code 6 on the forward strand,
    // whose hash is 21; it covers all 15 bases and ends at 14.
    std::vector<ls128> h = sketch("AAAAACCCCCGGGGG", 1, 3, true, 3);
    ASSERT_EQ(h.size(), 1u);
    EXPECT_EQ(h[0].x, 21u << 8 | 15);
    EXPECT_EQ(h[0].y, 3ULL << 32 | 14 << 1 | 0);

    // The forward code of TTTTTT is above its reverse complement's (AAAAAA).
    std::vector<ls128> t = sketch("TTTTTT", 1, 6, false);
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].x >> 8, ls_kmer_hash(0, (1ULL << 12) - 1));
    EXPECT_EQ(t[0].y & 1, 1u);

    // Lower case, U and the codes 0..3 sketch as the upper-case bases.
    std::mt19937_64 rng(11);
    std::string s;
    for (int i = 0; i < 3000; ++i) s += "ACGT"[rng() % 4];
    std::string lower = s, u = s, codes = s;
    for (size_t i = 0; i < s.size(); ++i) {
        lower[i] = (char)tolower(s[i]);
        if (s[i] == 'T') u[i] = i % 2 ? 'U' : 'u';
        codes[i] = (char)code_of(s[i]);
    }
    for (int hpc = 0; hpc < 2; ++hpc) {
        std::vector<ls128> ref = sketch(s, 10, 15, hpc);
        EXPECT_GT(ref.size(), 300u);
        EXPECT_TRUE(same(ref, sketch(lower, 10, 15, hpc)));
        EXPECT_TRUE(same(ref, sketch(u, 10, 15, hpc)));
        EXPECT_TRUE(same(ref, sketch(codes, 10, 15, hpc)));
    }
}

TEST(Sketch, AmbiguousBaseSplitsTheSequence) {
    // Around an N the sketch is that of the two sides on their own: no k-mer
    // covers the N, the count of valid bases restarts after it, and the last
    // minimizer before it is kept.
    std::mt19937_64 rng(5);
    for (int trial = 0; trial < 20; ++trial) {
        std::string a, b;
        for (int i = 0; i < 200; ++i) a += "ACGT"[rng() % 4];
        size_t blen = trial % 3 == 0 ? 5 : trial % 3 == 1 ? 20 : 300;
        for (size_t i = 0; i < blen; ++i) b += "ACGT"[rng() % 4];
        for (int hpc = 0; hpc < 2; ++hpc) {
            const int w = 5 + trial % 7, k = 11 + trial % 5, npos = (int)a.size();
            std::vector<ls128> whole = sketch(a + "N" + b, w, k, hpc, 2);
            std::vector<ls128> expect = sketch(a, w, k, hpc, 2);
            for (ls128 m : sketch(b, w, k, hpc, 2)) {
                m.y += (uint64_t)(npos + 1) << 1;
                expect.push_back(m);
            }
            EXPECT_TRUE(same(whole, expect)) << "trial " << trial << " hpc " << hpc;
            for (const ls128 &m : whole) EXPECT_TRUE(pos_of(m) < npos || pos_of(m) - span_of(m) + 1 > npos);
            if (blen < (size_t)k) {
                for (const ls128 &m : whole) EXPECT_LT(pos_of(m), npos);
            }
        }
    }
}

TEST(Sketch, LongRunIsNotSpannedWithCompression) {
    std::string s = "ACGTTGCAGT" + std::string(300, 'G') + "TACGATCCAG";
    const int run_lo = 10, run_hi = 309;
    std::vector<ls128> h = sketch(s, 1, 3, true);
    bool before = false, after = false;
    for (const ls128 &m : h) {
        int end = pos_of(m), start = end - span_of(m) + 1;
        EXPECT_TRUE(end < run_lo || start > run_hi) << "minimizer " << start << ".." << end;
        before |= end < run_lo;
        after |= start > run_hi;
    }
    EXPECT_TRUE(before && after);
    // Without compression the run is ordinary sequence.
    bool inside = false;
    for (const ls128 &m : sketch(s, 1, 3, false)) inside |= pos_of(m) >= run_lo + 2 && pos_of(m) <= run_hi;
    EXPECT_TRUE(inside);
}

TEST(Sketch, MatchesWindowByWindowModel) {
    const int cfg[][2] = {{15, 10}, {19, 19}, {5, 1}, {28, 255}, {3, 2}, {4, 3}, {2, 7}, {1, 4}, {12, 40}};
    const uint32_t rid = 0xdeadbeef;
    for (auto &kw : cfg) {
        const int k = kw[0], w = kw[1];
        for (int hpc = 0; hpc < 2; ++hpc)
            for (uint64_t seed = 1; seed <= 6; ++seed) {
                std::mt19937_64 rng(seed * 1000 + k * 10 + hpc);
                std::string s = random_seq(rng, seed == 1 ? 60 : 3000);
                SCOPED_TRACE("k=" + std::to_string(k) + " w=" + std::to_string(w) +
                             " hpc=" + std::to_string(hpc) + " seed=" + std::to_string(seed));
                std::vector<ls128> got = sketch(s, w, k, hpc, rid);
                std::vector<Entry> e = model_entries(s, k, rid, hpc);
                std::vector<ls128> want = model_minimizers(e, w, k);

                auto key = [](const ls128 &a, const ls128 &b) { return a.x != b.x ? a.x < b.x : a.y < b.y; };
                std::vector<ls128> g = got, m = want;
                std::sort(g.begin(), g.end(), key);
                std::sort(m.begin(), m.end(), key);
                ASSERT_TRUE(same(g, m)) << got.size() << " minimizers, model " << want.size();

                // Every full window with a k-mer holds a chosen one.
                std::set<uint64_t> ys;
                for (const ls128 &a : got) ys.insert(a.y);
                for (int t = 0; t < (int)e.size(); ++t) {
                    if (e[t].l < w + k - 1 || rightmost_min(e, t - w + 1, t) < 0) continue;
                    bool covered = false;
                    for (int j = t - w + 1; j <= t; ++j) covered |= ys.count(e[j].v.y) > 0;
                    ASSERT_TRUE(covered) << "window ending at entry " << t;
                }
                // Positions ascend except inside a group of equal hashes.
                for (size_t i = 1; i < got.size(); ++i)
                    ASSERT_TRUE(pos_of(got[i]) >= pos_of(got[i - 1]) || got[i].x >> 8 == got[i - 1].x >> 8)
                        << "at " << i;
                for (const ls128 &a : got) {
                    ASSERT_EQ(a.y >> 32, rid);
                    ASSERT_LT(span_of(a), 256);
                    if (!hpc) { ASSERT_EQ(span_of(a), k); }
                }
            }
    }
}

TEST(Sketch, AppendsAndSizesTheList) {
    std::mt19937_64 rng(3);
    std::string s = random_seq(rng, 5000);
    std::vector<ls128> fresh = sketch(s, 10, 15, false, 1);
    ASSERT_GT(fresh.size(), 500u);

    // Earlier entries stay; the new ones follow.
    ls128_vec v = {0, 4, (ls128 *)malloc(4 * sizeof(ls128))};
    for (int i = 0; i < 3; ++i) v.a[v.n++] = {(uint64_t)i, (uint64_t)i * 7};
    ls_sketch(nullptr, s.data(), (int)s.size(), 10, 15, 1, 0, &v);
    ASSERT_EQ(v.n, fresh.size() + 3);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(v.a[i].x == (uint64_t)i && v.a[i].y == (uint64_t)i * 7);
    EXPECT_TRUE(same(std::vector<ls128>(v.a + 3, v.a + v.n), fresh));
    free(v.a);

    // An arena gives the same list as the system allocator.
    km_arena *km = km_create();
    for (int hpc = 0; hpc < 2; ++hpc)
        EXPECT_TRUE(same(sketch(s, 19, 19, hpc, 1, km), sketch(s, 19, 19, hpc, 1)));
    km_release(km);

    // Before the scan the capacity becomes the power of two not below
    // count + len / w; a larger one is kept.
    ls128_vec e = {0, 0, nullptr};
    ls_sketch(nullptr, "NNN", 3, 10, 15, 0, 0, &e); // 0 + 3 / 10 -> 1
    EXPECT_EQ(e.m, 1u);
    std::string n(1000, 'N');
    ls_sketch(nullptr, n.data(), (int)n.size(), 10, 15, 0, 0, &e);
    EXPECT_EQ(e.n, 0u);
    EXPECT_EQ(e.m, 128u);
    e.n = 29; // 29 + 100 -> 256
    ls_sketch(nullptr, n.data(), (int)n.size(), 10, 15, 0, 0, &e);
    EXPECT_EQ(e.m, 256u);
    e.n = 0;
    ls_sketch(nullptr, n.data(), (int)n.size(), 10, 15, 0, 0, &e);
    EXPECT_EQ(e.m, 256u);
    free(e.a);
}

TEST(SketchDeathTest, RejectsBadArguments) {
    const char *msg = "len > 0 && \\(w > 0 && w < 256\\) && \\(k > 0 && k <= 28\\)";
    ls128_vec v = {0, 0, nullptr};
    EXPECT_DEATH(ls_sketch(nullptr, "ACGT", 0, 10, 15, 0, 0, &v), msg);
    EXPECT_DEATH(ls_sketch(nullptr, "ACGT", 4, 0, 3, 0, 0, &v), msg);
    EXPECT_DEATH(ls_sketch(nullptr, "ACGT", 4, 256, 3, 0, 0, &v), msg);
    EXPECT_DEATH(ls_sketch(nullptr, "ACGT", 4, 10, 0, 0, 0, &v), msg);
    EXPECT_DEATH(ls_sketch(nullptr, "ACGT", 4, 10, 29, 0, 0, &v), msg);
}

} // namespace
