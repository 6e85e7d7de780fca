#include "map/seeds.h"

#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "index/sketch.h"
#include "sim.h"
#include "testutil.h"

namespace {

using lssim::revcomp;
using lstest::random_dna;

using Anchor = std::pair<uint64_t, uint64_t>;

/* Owns an index built from in-memory sequences. */
struct Index {
    ls_idx *mi = nullptr;
    Index(int w, int k, const std::vector<std::string> &seqs, const std::vector<std::string> &names = {}) {
        std::vector<const char *> s, n;
        for (auto &x : seqs) s.push_back(x.c_str());
        for (auto &x : names) n.push_back(x.c_str());
        mi = ls_idx_str(w, k, 0, 10, (int)seqs.size(), s.data(), names.empty() ? nullptr : n.data());
    }
    ~Index() { ls_idx_destroy(mi); }
};

/* Minimizers of a query made of one or more segments, positions running over
 * the concatenation as the mapping driver sets them up. */
std::vector<ls128> query_minimizers(const std::vector<std::string> &segs, int w, int k) {
    std::vector<ls128> out;
    uint64_t sum = 0;
    for (size_t i = 0; i < segs.size(); ++i) {
        ls128_vec v = {0, 0, nullptr};
        ls_sketch(nullptr, segs[i].data(), (int)segs[i].size(), w, k, (uint32_t)i, 0, &v);
        for (size_t j = 0; j < v.n; ++j) {
            v.a[j].y += sum << 1;
            out.push_back(v.a[j]);
        }
        kfree(nullptr, v.a);
        sum += segs[i].size();
    }
    return out;
}

ls128_vec as_vec(std::vector<ls128> &m) {
    return ls128_vec{m.size(), m.size(), m.data()};
}

struct Collected {
    std::vector<Anchor> a; // in the order produced
    int repeat_len = -1;
    std::vector<uint64_t> seed_pos;
};

/* Runs one anchor builder and checks that it returned every arena block. */
Collected collect(bool heap, const ls_mapopt &opt, int max_occ, const ls_idx *mi, const char *qname,
                  std::vector<ls128> &mins, int qlen) {
    km_arena *km = km_create();
    ls128_vec mv = as_vec(mins);
    int64_t n_a = -1;
    int rep = -1, n_sp = -1;
    uint64_t *sp = nullptr;
    ls128 *a = heap ? ls_collect_anchors_heap(km, &opt, max_occ, mi, qname, &mv, qlen, &n_a, &rep, &n_sp, &sp)
                    : ls_collect_anchors(km, &opt, max_occ, mi, qname, &mv, qlen, &n_a, &rep, &n_sp, &sp);
    Collected c;
    for (int64_t i = 0; i < n_a; ++i) c.a.push_back({a[i].x, a[i].y});
    c.repeat_len = rep;
    c.seed_pos.assign(sp, sp + n_sp);
    kfree(km, a);
    kfree(km, sp);
    lstest::expect_all_freed_and_release(km);
    return c;
}

std::vector<Anchor> sorted(std::vector<Anchor> v) {
    std::sort(v.begin(), v.end());
    return v;
}

bool ascending_x(const std::vector<Anchor> &v) {
    for (size_t i = 1; i < v.size(); ++i)
        if (v[i - 1].first > v[i].first) return false;
    return true;
}

ls_mapopt default_opt() {
    ls_mapopt o;
    ls_mapopt_defaults(&o);
    return o;
}

ls_seed make_seed(uint32_t qpos, uint32_t n_hits) {
    ls_seed s;
    memset(&s, 0, sizeof(s));
    s.query_pos = qpos << 1;
    s.n_hits = n_hits;
    s.span = 15;
    return s;
}

std::vector<int> filtered_bits(const std::vector<ls_seed> &s) {
    std::vector<int> f;
    for (auto &x : s) f.push_back(x.filtered);
    return f;
}

/* The per-run choice written plainly: sort the run by (hits, index) and keep
 * the first k. */
void reference_select(std::vector<ls_seed> &a, int qlen, int L, int H, int D) {
    int n = (int)a.size();
    if (n < 2) return;
    bool any = false;
    for (auto &s : a) any |= (int)s.n_hits > L;
    if (!any) return;
    int i = 0;
    while (i < n) {
        if ((int)a[i].n_hits <= L) {
            ++i;
            continue;
        }
        int st = i;
        while (i < n && (int)a[i].n_hits > L) ++i;
        int ps = st == 0 ? 0 : (int)(a[st - 1].query_pos >> 1);
        int pe = i == n ? qlen : (int)(a[i].query_pos >> 1);
        int k = std::min(128, (int)((double)(pe - ps) / D + 0.499));
        std::vector<std::pair<uint32_t, int>> run;
        for (int j = st; j < i; ++j) run.push_back({a[j].n_hits, j});
        std::sort(run.begin(), run.end());
        for (int j = st; j < i; ++j) a[j].filtered = 1;
        for (int j = 0; j < k && j < (int)run.size(); ++j) a[run[j].second].filtered = 0;
        for (int j = st; j < i; ++j)
            if ((int)a[j].n_hits > H) a[j].filtered = 1;
    }
}

} // namespace

TEST(SeedTest, QueryOccurrenceFilter) {
    std::mt19937 rng(3);
    const uint64_t A = 1000ULL << 8 | 15, B = 2000ULL << 8 | 15;
    const uint64_t C15 = 3000ULL << 8 | 15, C16 = 3000ULL << 8 | 16;
    std::vector<uint64_t> xs;
    xs.insert(xs.end(), 300, A);
    xs.insert(xs.end(), 100, B);
    xs.insert(xs.end(), 60, C15); // same hash, other span: a separate run
    xs.insert(xs.end(), 60, C16);
    for (uint64_t i = 0; xs.size() < 10000; ++i) xs.push_back((5000 + i) << 8 | 15);
    std::shuffle(xs.begin(), xs.end(), rng);
    std::vector<ls128> m;
    for (size_t i = 0; i < xs.size(); ++i) m.push_back({xs[i], (uint64_t)i << 1});

    km_arena *km = km_create();
    std::vector<ls128> t = m;
    size_t n = t.size();
    ls_seed_filter_query_occ(km, &n, t.data(), 0, 0.01f); // no limit: nothing
    EXPECT_EQ(n, 10000u);
    ls_seed_filter_query_occ(km, &n, t.data(), 100, 0.0f); // no fraction
    EXPECT_EQ(n, 10000u);
    ls_seed_filter_query_occ(km, &n, t.data(), 10000, 0.01f); // n not above the limit
    EXPECT_EQ(n, 10000u);

    // 300 > 100 and 300 > 10000 * 0.01; B's 100 is not above either.
    ls_seed_filter_query_occ(km, &n, t.data(), 100, 0.01f);
    ASSERT_EQ(n, 9700u);
    size_t j = 0;
    for (auto &x : m)
        if (x.x != A) {
            ASSERT_EQ(t[j].x, x.x);
            ASSERT_EQ(t[j].y, x.y); // order kept
            ++j;
        }

    // Limit 50: B (100 > 97 = 9700 * 0.01) goes; C's two runs of 60 stay
    // because each alone is below the fraction.
    ls_seed_filter_query_occ(km, &n, t.data(), 50, 0.01f);
    EXPECT_EQ(n, 9600u);
    ls_seed_filter_query_occ(km, &n, t.data(), 50, 0.01f);
    EXPECT_EQ(n, 9600u);

    lstest::expect_all_freed_and_release(km);
}

TEST(SeedTest, SelectWorkedExamples) {
    // Limit 0: every seed is frequent. One run over a 1000-base query with
    // distance 500 keeps truncate(1000 / 500 + 0.499) = 2 seeds, the rarest
    // (the earlier of two equally rare ones).
    std::vector<ls_seed> s;
    const uint32_t hits[] = {9, 3, 7, 3, 8, 2, 6, 5, 4, 9};
    for (int i = 0; i < 10; ++i) s.push_back(make_seed(50 + 100 * i, hits[i]));
    ls_seed_select((int)s.size(), s.data(), 1000, 0, 4095, 500);
    EXPECT_EQ(filtered_bits(s), (std::vector<int>{1, 0, 1, 1, 1, 0, 1, 1, 1, 1}));

    // A run between rare seeds at 100 and 300: k = truncate(0.4 + 0.499) = 0.
    s = {make_seed(100, 5), make_seed(150, 20), make_seed(200, 30), make_seed(300, 3)};
    ls_seed_select((int)s.size(), s.data(), 1000, 10, 4095, 500);
    EXPECT_EQ(filtered_bits(s), (std::vector<int>{0, 1, 1, 0}));

    // Chosen seeds above the cap are filtered all the same.
    s = {make_seed(0, 1), make_seed(100, 30), make_seed(200, 20), make_seed(1000, 1)};
    ls_seed_select((int)s.size(), s.data(), 1000, 10, 25, 100);
    EXPECT_EQ(filtered_bits(s), (std::vector<int>{0, 1, 0, 0}));

    // At most 128 seeds per run.
    s.clear();
    std::mt19937 rng(5);
    for (int i = 0; i < 300; ++i) s.push_back(make_seed(10 * i, 100 + rng() % 50));
    std::vector<ls_seed> ref = s;
    ls_seed_select((int)s.size(), s.data(), 1000000, 10, 4095, 10);
    reference_select(ref, 1000000, 10, 4095, 10);
    std::vector<int> f = filtered_bits(s);
    EXPECT_EQ(std::count(f.begin(), f.end(), 0), 128);
    EXPECT_EQ(f, filtered_bits(ref));

    // Nothing to do: fewer than 2 seeds, or none above the limit.
    s = {make_seed(10, 50)};
    ls_seed_select(1, s.data(), 1000, 10, 4095, 500);
    EXPECT_EQ(s[0].filtered, 0u);
    s = {make_seed(10, 5), make_seed(20, 10)};
    ls_seed_select(2, s.data(), 1000, 10, 4095, 500);
    EXPECT_EQ(filtered_bits(s), (std::vector<int>{0, 0}));
}

TEST(SeedTest, SelectMatchesPlainReference) {
    std::mt19937 rng(17);
    for (int iter = 0; iter < 300; ++iter) {
        int n = (int)(rng() % 60);
        int L = 1 + (int)(rng() % 30), H = L + (int)(rng() % 40), D = 20 + (int)(rng() % 300);
        std::vector<ls_seed> s;
        uint32_t pos = 14;
        for (int i = 0; i < n; ++i) {
            pos += rng() % 80;
            s.push_back(make_seed(pos, 1 + rng() % 60));
        }
        int qlen = (int)pos + 1 + (int)(rng() % 500);
        std::vector<ls_seed> ref = s;
        ls_seed_select(n, s.data(), qlen, L, H, D);
        reference_select(ref, qlen, L, H, D);
        ASSERT_EQ(filtered_bits(s), filtered_bits(ref)) << "iteration " << iter;
    }
}

// A 100-base query whose k-mers ending at 24, 34 and 64 ([10,25), [20,35)
// and [50,65)) are planted 10 more times in the index: with every k-mer a
// minimizer (w = 1) those three are the only frequent seeds.
TEST(SeedTest, RepeatLengthAndSeedPositions) {
    std::mt19937 rng(23);
    std::string q = random_dna(rng, 100);
    std::string rep;
    for (int i = 0; i < 10; ++i)
        rep += q.substr(10, 15) + "N" + q.substr(20, 15) + "N" + q.substr(50, 15) + "N";
    Index idx(1, 15, {q, rep});
    ASSERT_NE(idx.mi, nullptr);
    std::vector<ls128> mins = query_minimizers({q}, 1, 15);
    ASSERT_EQ(mins.size(), 86u);
    ls128_vec mv = as_vec(mins);

    km_arena *km = km_create();
    int n_seeds = -1, rep_len = -1, n_sp = -1;
    int64_t n_a = -1;
    uint64_t *sp = nullptr;
    ls_debug_flags = LS_DBG_SEED_FREQ;
    testing::internal::CaptureStderr();
    ls_seed *m = ls_collect_matches(km, &n_seeds, 100, 5, 4095, 0, idx.mi, &mv, &n_a, &rep_len, &n_sp, &sp);
    std::string err = testing::internal::GetCapturedStderr();
    ls_debug_flags = 0;
    EXPECT_EQ(rep_len, 40); // [10,35) and [50,65)
    EXPECT_EQ(n_seeds, 83);
    EXPECT_EQ(n_a, 83);
    ASSERT_EQ(n_sp, 83);
    std::vector<uint64_t> want;
    for (uint64_t p = 14; p < 100; ++p)
        if (p != 24 && p != 34 && p != 64) want.push_back(15ULL << 32 | p);
    EXPECT_EQ(std::vector<uint64_t>(sp, sp + n_sp), want);
    for (int i = 0; i < n_seeds; ++i) EXPECT_EQ(m[i].filtered, 0u);
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 86);
    EXPECT_NE(err.find("SF\t14\t1\t0\n"), std::string::npos);
    EXPECT_NE(err.find("SF\t24\t11\t1\n"), std::string::npos);
    EXPECT_NE(err.find("SF\t64\t11\t1\n"), std::string::npos);
    kfree(km, m);
    kfree(km, sp);

    // A limit of 11 filters nothing.
    m = ls_collect_matches(km, &n_seeds, 100, 11, 4095, 0, idx.mi, &mv, &n_a, &rep_len, &n_sp, &sp);
    EXPECT_EQ(rep_len, 0);
    EXPECT_EQ(n_seeds, 86);
    EXPECT_EQ(n_a, 86 + 30);
    kfree(km, m);
    kfree(km, sp);

    // No minimizers at all.
    ls128_vec empty = {0, 0, nullptr};
    m = ls_collect_matches(km, &n_seeds, 100, 11, 4095, 0, idx.mi, &empty, &n_a, &rep_len, &n_sp, &sp);
    EXPECT_EQ(n_seeds, 0);
    EXPECT_EQ(n_a, 0);
    EXPECT_EQ(rep_len, 0);
    EXPECT_EQ(n_sp, 0);
    kfree(km, m);
    kfree(km, sp);

    lstest::expect_all_freed_and_release(km);
}

// mid_occ 0 makes every seed frequent: the occurrence distance alone decides.
TEST(SeedTest, LimitZeroKeepsRarestPerDistance) {
    std::mt19937 rng(29);
    std::string q = random_dna(rng, 1000);
    Index idx(10, 15, {q, q.substr(0, 300)});
    std::vector<ls128> mins = query_minimizers({q}, 10, 15);
    ls128_vec mv = as_vec(mins);
    int n_seeds, rep_len, n_sp;
    int64_t n_a;
    uint64_t *sp;
    ls_seed *m =
        ls_collect_matches(nullptr, &n_seeds, 1000, 0, 4095, 500, idx.mi, &mv, &n_a, &rep_len, &n_sp, &sp);
    // The first 300 bases occur twice: the two kept seeds are the first two
    // minimizers with a single hit.
    ASSERT_EQ(n_seeds, 2);
    EXPECT_EQ(n_a, 2);
    std::vector<uint64_t> rarest;
    for (auto &x : mins) {
        int n;
        ls_idx_lookup(idx.mi, x.x >> 8, &n);
        if (n == 1) rarest.push_back((x.x & 0xff) << 32 | (uint32_t)x.y >> 1);
    }
    ASSERT_GE(rarest.size(), 2u);
    EXPECT_GT(rarest[0] & 0xffffffff, 250u);
    EXPECT_EQ(sp[0], rarest[0]);
    EXPECT_EQ(sp[1], rarest[1]);
    EXPECT_GT(rep_len, 900);
    kfree(nullptr, m);
    kfree(nullptr, sp);
}

// Target 0 holds the query reverse-complemented at offset 50 (length 200),
// target 1 the query itself at offset 30: every query k-mer ending at q gives
// a forward anchor (1, 30 + q; q) and a reverse one (0, 163 - q; 113 - q).
TEST(SeedTest, AnchorEncodingBothStrands) {
    std::mt19937 rng(31);
    std::string q = random_dna(rng, 100);
    std::string t0 = random_dna(rng, 50) + revcomp(q) + random_dna(rng, 50);
    std::string t1 = random_dna(rng, 30) + q + random_dna(rng, 30);
    Index idx(1, 15, {t0, t1});
    std::vector<ls128> mins = query_minimizers({q}, 1, 15);
    ls_mapopt opt = default_opt();

    std::vector<Anchor> want;
    for (uint64_t p = 14; p < 100; ++p) {
        want.push_back({1ULL << 32 | (30 + p), 15ULL << 32 | p});
        want.push_back({1ULL << 63 | (163 - p), 15ULL << 32 | (113 - p)});
    }
    // The reverse hit of the seed ending at 14: 100 - (14 + 1 - 15) - 1 = 99.
    EXPECT_EQ(want[1], Anchor(1ULL << 63 | 149, 15ULL << 32 | 99));
    for (bool heap : {false, true}) {
        Collected c = collect(heap, opt, 100, idx.mi, nullptr, mins, 100);
        EXPECT_TRUE(ascending_x(c.a));
        EXPECT_EQ(sorted(c.a), sorted(want)) << (heap ? "heap" : "radix");
        EXPECT_EQ(c.repeat_len, 0);
        EXPECT_EQ(c.seed_pos.size(), 86u);
    }

    // Query-strand mode keeps the query position and flips the target one:
    // 200 - (163 - p + 1 - 15) - 1 = 50 + p. The heap builder ignores it.
    opt.flag |= LS_F_QUERY_STRAND;
    std::vector<Anchor> want_qs;
    for (uint64_t p = 14; p < 100; ++p) {
        want_qs.push_back({1ULL << 32 | (30 + p), 15ULL << 32 | p});
        want_qs.push_back({1ULL << 63 | (50 + p), 15ULL << 32 | p});
    }
    EXPECT_EQ(sorted(collect(false, opt, 100, idx.mi, nullptr, mins, 100).a), sorted(want_qs));
    EXPECT_EQ(sorted(collect(true, opt, 100, idx.mi, nullptr, mins, 100).a), sorted(want));
    opt.flag &= ~LS_F_QUERY_STRAND;

    // Segment 1 goes to bit 48; a minimizer repeated next to itself marks
    // both copies (and only them) as tandem.
    std::vector<ls128> seg = mins;
    for (auto &x : seg) x.y |= 1ULL << 32;
    seg.insert(seg.begin() + 21, seg[20]); // the k-mer ending at 34
    for (bool heap : {false, true}) {
        Collected c = collect(heap, opt, 100, idx.mi, nullptr, seg, 100);
        ASSERT_EQ(c.a.size(), 174u);
        int n_tandem = 0;
        for (auto &a : c.a) {
            EXPECT_EQ(a.second >> 48, 1u);
            if (a.second & LS_ANCHOR_TANDEM) {
                ++n_tandem;
                EXPECT_EQ((uint32_t)a.second, a.first >> 63 ? 113u - 34 : 34u);
            }
            EXPECT_EQ(a.second & (LS_ANCHOR_SELF | LS_ANCHOR_IGNORE | LS_ANCHOR_LONG_JOIN), 0u);
        }
        EXPECT_EQ(n_tandem, 4);
    }
}

TEST(SeedTest, StrandOnlyFlags) {
    std::mt19937 rng(37);
    std::string q = random_dna(rng, 300);
    Index idx(5, 15, {random_dna(rng, 40) + q + random_dna(rng, 40), revcomp(q.substr(100, 150))});
    std::vector<ls128> mins = query_minimizers({q}, 5, 15);
    ls_mapopt opt = default_opt();
    std::vector<Anchor> all = collect(false, opt, 100, idx.mi, nullptr, mins, 300).a, fwd, rev;
    for (auto &a : all) (a.first >> 63 ? rev : fwd).push_back(a);
    ASSERT_FALSE(fwd.empty());
    ASSERT_FALSE(rev.empty());
    for (bool heap : {false, true}) {
        opt.flag = LS_F_FORWARD_ONLY;
        EXPECT_EQ(sorted(collect(heap, opt, 100, idx.mi, nullptr, mins, 300).a), sorted(fwd));
        opt.flag = LS_F_REVERSE_ONLY;
        EXPECT_EQ(sorted(collect(heap, opt, 100, idx.mi, nullptr, mins, 300).a), sorted(rev));
    }
}

// A sequence with a direct and an inverted internal repeat, mapped against
// itself.
TEST(SeedTest, SelfMappingRules) {
    std::mt19937 rng(41);
    std::string s = random_dna(rng, 200);
    s.replace(100, 40, s.substr(20, 40));
    s.replace(150, 40, revcomp(s.substr(30, 40)));
    std::string other = random_dna(rng, 80) + s.substr(60, 60) + random_dna(rng, 80);
    Index idx(5, 15, {s, other}, {"a", "b"});
    std::vector<ls128> mins = query_minimizers({s}, 5, 15);
    ls_mapopt opt = default_opt();
    const std::vector<Anchor> plain = collect(false, opt, 100, idx.mi, "a", mins, 200).a;

    // On the diagonal: forward anchors with equal positions, reverse ones
    // whose hit position equals the minimizer's own end position.
    auto on_diagonal = [](const Anchor &a) {
        uint32_t tpos = (uint32_t)a.first, ypos = (uint32_t)a.second, span = (a.second >> 32) & 0xff;
        if (!(a.first >> 63)) return tpos == ypos;
        return tpos == 200 - ypos + span - 2;
    };
    int n_diag = 0, n_off = 0;
    for (auto &a : plain) {
        EXPECT_EQ(a.second & LS_ANCHOR_SELF, 0u);
        if ((a.first >> 32 & 0x7fffffff) != 0) continue;
        if (on_diagonal(a))
            ++n_diag;
        else if (!(a.first >> 63))
            ++n_off;
    }
    ASSERT_GT(n_diag, 10);
    ASSERT_GT(n_off, 0);

    opt.flag = LS_F_SKIP_DIAG;
    for (bool heap : {false, true}) {
        std::vector<Anchor> want;
        for (auto a : plain) {
            if ((a.first >> 32 & 0x7fffffff) == 0) {
                if (on_diagonal(a)) continue;
                if (!(a.first >> 63)) a.second |= LS_ANCHOR_SELF;
            }
            want.push_back(a);
        }
        EXPECT_EQ(sorted(collect(heap, opt, 100, idx.mi, "a", mins, 200).a), sorted(want));
        // Without a name, or with a length other than the target's, the rule
        // does not apply.
        EXPECT_EQ(sorted(collect(heap, opt, 100, idx.mi, nullptr, mins, 200).a), sorted(plain));
        std::vector<ls128> longer = query_minimizers({s + "ACGTACGTAC"}, 5, 15);
        EXPECT_EQ(sorted(collect(heap, opt, 100, idx.mi, "a", longer, 210).a),
                  sorted(collect(heap, default_opt(), 100, idx.mi, "a", longer, 210).a));
    }

    // Half pairs: "b" sorts after "a", so as a query it skips target "a";
    // "a" as a query keeps its anchors on "b".
    opt.flag = LS_F_HALF_PAIRS;
    std::vector<ls128> bmins = query_minimizers({other}, 5, 15);
    for (bool heap : {false, true}) {
        std::set<uint64_t> targets;
        for (auto &a : collect(heap, opt, 100, idx.mi, "b", bmins, 220).a)
            targets.insert(a.first >> 32 & 0x7fffffff);
        EXPECT_EQ(targets, (std::set<uint64_t>{1}));
        targets.clear();
        for (auto &a : collect(heap, opt, 100, idx.mi, "a", mins, 200).a)
            targets.insert(a.first >> 32 & 0x7fffffff);
        EXPECT_EQ(targets, (std::set<uint64_t>{0, 1}));
    }
}

// Random targets with planted repeats (direct and inverted copies of one
// element, and a short tandem repeat), random one- and two-segment queries:
// both builders give the same anchors, repeat length and seed positions.
TEST(SeedTest, BuildersAgreeOnRandomQueries) {
    std::mt19937 rng(43);
    std::string element = random_dna(rng, 300), unit = random_dna(rng, 23);
    std::vector<std::string> targets, names;
    for (int t = 0; t < 5; ++t) {
        std::string s = random_dna(rng, 4000 + rng() % 8000);
        for (int r = 0; r < 8; ++r) {
            size_t at = rng() % (s.size() - 400);
            s.replace(at, element.size(), rng() & 1 ? element : revcomp(element));
        }
        std::string tandem;
        for (int r = 0; r < 30; ++r) tandem += unit;
        s.replace(rng() % (s.size() - tandem.size()), tandem.size(), tandem);
        targets.push_back(s);
        names.push_back("t" + std::to_string(t));
    }
    Index idx(10, 15, targets, names);
    ASSERT_NE(idx.mi, nullptr);

    auto mutate = [&](std::string s) {
        for (auto &c : s)
            if (rng() % 50 == 0) c = "ACGT"[rng() & 3];
        return rng() & 1 ? revcomp(s) : s;
    };
    const int64_t flag_sets[] = {0, LS_F_FORWARD_ONLY, LS_F_REVERSE_ONLY, LS_F_SKIP_DIAG | LS_F_HALF_PAIRS,
                                 LS_F_SKIP_DIAG | LS_F_FORWARD_ONLY};
    int n_with_repeats = 0, n_with_anchors = 0;
    for (int iter = 0; iter < 60; ++iter) {
        int t = (int)(rng() % targets.size());
        std::vector<std::string> segs;
        std::string qname = names[t];
        if (iter % 6 == 0) {
            segs.push_back(targets[t]); // the whole target, mapped against itself
        } else {
            int n_seg = 1 + (iter % 3 == 0);
            for (int j = 0; j < n_seg; ++j) {
                size_t len = 150 + rng() % 2000;
                size_t st = rng() % (targets[t].size() - len);
                segs.push_back(mutate(targets[t].substr(st, len)));
            }
        }
        int qlen = 0;
        for (auto &x : segs) qlen += (int)x.size();
        std::vector<ls128> mins = query_minimizers(segs, 10, 15);
        ls_mapopt opt = default_opt();
        opt.flag = flag_sets[iter % 5];
        opt.occ_distance = iter % 2 ? 500 : 0;
        opt.occ_cap_max = iter % 4 < 2 ? 4095 : 30;
        int max_occ = iter % 3 ? 4 : 12;
        const char *name = iter % 7 ? qname.c_str() : nullptr;
        Collected a = collect(false, opt, max_occ, idx.mi, name, mins, qlen);
        Collected b = collect(true, opt, max_occ, idx.mi, name, mins, qlen);
        EXPECT_TRUE(ascending_x(a.a)) << iter;
        EXPECT_TRUE(ascending_x(b.a)) << iter;
        EXPECT_EQ(sorted(a.a), sorted(b.a)) << iter;
        EXPECT_EQ(a.repeat_len, b.repeat_len) << iter;
        EXPECT_EQ(a.seed_pos, b.seed_pos) << iter;
        n_with_repeats += a.repeat_len > 0;
        n_with_anchors += !a.a.empty();
    }
    // The planted repeats must have made the occurrence filters work.
    EXPECT_GT(n_with_repeats, 20);
    EXPECT_GT(n_with_anchors, 40);
}
