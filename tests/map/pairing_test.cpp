#include "map/pairing.h"

#include <gtest/gtest.h>

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "base/diagnostics.h"
#include "base/radix_sort.h"
#include "sim.h"
#include "testutil.h"

namespace {

/* The two mates' region arrays, each region with an alignment detail. */
struct Mates {
    std::vector<ls_reg> r[2];
    int lens[2] = {150, 150};
    ~Mates() {
        for (auto &v : r)
            for (auto &x : v) free(x.p);
    }
    /* Appends a region to mate s; parent -1 makes it a primary. */
    ls_reg &add(int s, int tid, int rs, int re, int rev, int max_sc, int mapq, uint32_t hash = 0,
                int parent = -1) {
        ls_reg x;
        memset(&x, 0, sizeof(x));
        x.id = (int)r[s].size();
        x.parent = parent < 0 ? x.id : parent;
        x.target_id = tid, x.rs = rs, x.re = re, x.reverse = rev;
        x.qs = 0, x.qe = re - rs;
        x.mapq = mapq, x.tie_hash = hash;
        x.sam_pri = x.id == x.parent && x.id == 0;
        x.p = lstest::new_extra(max_sc);
        r[s].push_back(x);
        return r[s].back();
    }
    /* Pairs with a fresh arena, and checks every scratch block came back. */
    void pair(int gap_limit, int pair_bonus = 33, int margin = 12, int match = 2) {
        km_arena *km = km_create();
        int n[2] = {(int)r[0].size(), (int)r[1].size()};
        ls_reg *a[2] = {r[0].data(), r[1].data()};
        ls_pair_mates(km, gap_limit, pair_bonus, margin, match, lens, n, a);
        km_stats st;
        km_stat(km, &st);
        EXPECT_EQ(st.n_blocks, st.n_cores);
        km_release(km);
    }
};

} // namespace

TEST(PairTest, SortByKey) {
    for (int n : {0, 1, 64, 65, 300}) {
        std::vector<ls_pair_rec> v(n);
        lssim::Rng rng(n + 1);
        for (int i = 0; i < n; ++i) {
            // Mostly differing in low bits, so the radix passes recurse deep.
            v[i].key = (rng.below(3) << 32) | (rng.below(4) << 9) | rng.below(512);
            v[i].seg = i;
        }
        std::vector<ls_pair_rec> s = v;
        ls_sort_pair(s.data(), s.data() + n);
        std::multiset<std::pair<uint64_t, int>> before, after;
        for (int i = 0; i < n; ++i) {
            before.insert({v[i].key, v[i].seg});
            after.insert({s[i].key, s[i].seg});
            if (i > 0) { EXPECT_LE(s[i - 1].key, s[i].key); }
        }
        EXPECT_EQ(before, after);
    }
}

TEST(PairTest, Orientation) {
    { // forward first mate (left end) before a forward second mate (right end)
        Mates m;
        m.add(0, 0, 1000, 1150, 0, 200, 0);
        m.add(1, 0, 1300, 1450, 0, 200, 0);
        m.pair(500);
        for (int s = 0; s < 2; ++s) {
            EXPECT_EQ(m.r[s][0].proper_pair, 1u);
            EXPECT_EQ(m.r[s][0].mapq, 2u); // the only candidate pair
            EXPECT_EQ(m.r[s][0].read_through, 0u);
        }
    }
    { // forward first mate, reverse second mate: two left ends
        Mates m;
        m.add(0, 0, 1000, 1150, 0, 200, 0);
        m.add(1, 0, 1300, 1450, 1, 200, 0);
        m.pair(500);
        for (int s = 0; s < 2; ++s) EXPECT_EQ(m.r[s][0].proper_pair, 0u);
        EXPECT_EQ(m.r[0][0].mapq, 0u);
    }
    { // both reverse: the second mate is the left end, the first the right end
        Mates m;
        m.add(0, 0, 1300, 1450, 1, 200, 0);
        m.add(1, 0, 1000, 1150, 1, 200, 0);
        m.pair(500);
        for (int s = 0; s < 2; ++s) EXPECT_EQ(m.r[s][0].proper_pair, 1u);
    }
    { // both reverse in the other order: right end before left end
        Mates m;
        m.add(0, 0, 1000, 1150, 1, 200, 0);
        m.add(1, 0, 1300, 1450, 1, 200, 0);
        m.pair(500);
        for (int s = 0; s < 2; ++s) EXPECT_EQ(m.r[s][0].proper_pair, 0u);
    }
    { // different targets
        Mates m;
        m.add(0, 0, 1000, 1150, 0, 200, 0);
        m.add(1, 1, 1300, 1450, 0, 200, 0);
        m.pair(500);
        for (int s = 0; s < 2; ++s) EXPECT_EQ(m.r[s][0].proper_pair, 0u);
    }
    { // a mate without regions: nothing changes
        Mates m;
        m.add(0, 0, 1000, 1150, 0, 200, 7);
        m.pair(500);
        EXPECT_EQ(m.r[0][0].proper_pair, 0u);
        EXPECT_EQ(m.r[0][0].mapq, 7u);
    }
}

TEST(PairTest, GapLimitAndScoreFloor) {
    for (int limit : {149, 150}) { // gap = 1300 - 1150
        Mates m;
        m.add(0, 0, 1000, 1150, 0, 200, 0);
        m.add(1, 0, 1300, 1450, 0, 200, 0);
        m.pair(limit);
        EXPECT_EQ(m.r[0][0].proper_pair, limit >= 150 ? 1u : 0u) << limit;
    }
    // The best second-mate placement is far away; the near one scores 50
    // below it, so the pair is only considered when the bonus covers that.
    for (int bonus : {49, 50}) {
        Mates m;
        m.add(0, 0, 1000, 1150, 0, 100, 0);
        m.add(1, 0, 90000, 90150, 0, 100, 0);
        m.add(1, 0, 1300, 1450, 0, 50, 0, 0, 0);
        m.pair(500, bonus);
        EXPECT_EQ(m.r[0][0].proper_pair, bonus >= 50 ? 1u : 0u) << bonus;
        EXPECT_EQ(m.r[1][1].proper_pair, bonus >= 50 ? 1u : 0u) << bonus;
        EXPECT_EQ(m.r[1][0].proper_pair, 0u);
    }
}

// Equal summed scores: the larger tie-hash sum wins; the chosen region of
// the second mate was a secondary and takes over as primary.
TEST(PairTest, TieAndPromotion) {
    Mates m;
    m.add(0, 0, 1000, 1150, 0, 100, 0, 1);
    m.add(1, 0, 1400, 1550, 0, 100, 30, 5);    // primary, tie hash 5
    m.add(1, 0, 1300, 1450, 0, 100, 0, 7, 0);  // secondary, tie hash 7
    m.add(1, 0, 80000, 80150, 0, 90, 0, 9, 0); // another secondary of region 0
    m.pair(500);
    EXPECT_EQ(m.r[0][0].proper_pair, 1u);
    EXPECT_EQ(m.r[1][1].proper_pair, 1u);
    EXPECT_EQ(m.r[1][0].proper_pair, 0u);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(m.r[1][k].parent, 1) << k;
    EXPECT_EQ(m.r[1][0].mapq, 0u); // the former primary
    EXPECT_EQ(m.r[1][0].sam_pri, 0u);
    EXPECT_EQ(m.r[1][1].sam_pri, 1u);
    // d = 0 and two close pairs: the pair mapq is trunc(-4.343 ln 2) = -3, so
    // nothing is raised, and with no lead nothing is forced to 1.
    EXPECT_EQ(m.r[0][0].mapq, 0u);
    EXPECT_EQ(m.r[1][1].mapq, 0u);
}

TEST(PairTest, PairMapq) {
    // Two candidate pairs, 200 and 195: d = 5, n_close = 2 with margin 12,
    // alt = trunc(6.02 * 5 / 2 - 4.343 ln 2) = trunc(12.04) = 12; pair mapq
    // min(40, 12) = 12; the first mate's 5 becomes trunc(1 + 9.6 + 0.499) = 11.
    {
        Mates m;
        m.add(0, 0, 1000, 1150, 0, 100, 5);
        m.add(1, 0, 1300, 1450, 0, 100, 40);
        m.add(1, 0, 1350, 1500, 0, 95, 0, 0, 0);
        m.pair(500);
        EXPECT_EQ(m.r[0][0].mapq, 11u);
        EXPECT_EQ(m.r[1][0].mapq, 40u);
        EXPECT_EQ(m.r[1][0].proper_pair, 1u);
    }
    // margin 4: n_close = 1, alt = trunc(15.05) = 15; 5 -> trunc(13.499) = 13.
    {
        Mates m;
        m.add(0, 0, 1000, 1150, 0, 100, 5);
        m.add(1, 0, 1300, 1450, 0, 100, 40);
        m.add(1, 0, 1350, 1500, 0, 95, 0, 0, 0);
        m.pair(500, 33, 4);
        EXPECT_EQ(m.r[0][0].mapq, 13u);
    }
    // alt = 6.02 * 8 / 5 = 9.632 truncates to 9 (rounding would give 10):
    // 0 -> trunc(0.8 * 9 + 0.499) = 7 (8 with 10).
    {
        Mates m;
        m.add(0, 0, 1000, 1150, 0, 100, 0);
        m.add(1, 0, 1300, 1450, 0, 100, 60);
        m.add(1, 0, 1350, 1500, 0, 92, 0, 0, 0);
        m.pair(500, 33, 4, 5);
        EXPECT_EQ(m.r[0][0].mapq, 7u);
        EXPECT_EQ(m.r[1][0].mapq, 60u);
    }
    // Both mapq 0 and the top pair leads: nothing to raise from, but each
    // gets 1.
    {
        Mates m;
        m.add(0, 0, 1000, 1150, 0, 100, 0);
        m.add(1, 0, 1300, 1450, 0, 100, 0);
        m.add(1, 0, 1350, 1500, 0, 95, 0, 0, 0);
        m.pair(500);
        EXPECT_EQ(m.r[0][0].mapq, 1u);
        EXPECT_EQ(m.r[1][0].mapq, 1u);
        EXPECT_EQ(m.r[1][1].mapq, 0u);
    }
    // The only pair: mapq 10 and 40 -> 10 becomes trunc(2 + 32 + 0.499) = 34.
    {
        Mates m;
        m.add(0, 0, 1000, 1150, 0, 100, 10);
        m.add(1, 0, 1300, 1450, 0, 100, 40);
        m.pair(500);
        EXPECT_EQ(m.r[0][0].mapq, 34u);
        EXPECT_EQ(m.r[1][0].mapq, 40u);
    }
}

TEST(PairTest, ReadThrough) {
    // Same interval, same strand, covered end to end: a short fragment.
    {
        Mates m;
        m.add(0, 0, 5000, 5150, 0, 300, 60);
        m.add(1, 0, 5002, 5148, 0, 290, 60).qe = 150;
        m.pair(500);
        EXPECT_EQ(m.r[0][0].proper_pair, 1u);
        EXPECT_EQ(m.r[0][0].read_through, 1u);
        EXPECT_EQ(m.r[1][0].read_through, 1u);
    }
    struct Case {
        int rs1, re1, rev1, qs1, qe1;
        bool expect;
    };
    const Case cases[] = {
        {5002, 5148, 0, 0, 150, true},  {5003, 5150, 0, 0, 150, false}, {5000, 5153, 0, 0, 150, false},
        {5000, 5150, 1, 0, 150, false}, {5000, 5150, 0, 1, 150, false}, {5000, 5150, 0, 0, 149, true},
    };
    for (const Case &c : cases) {
        Mates m;
        ls_reg &p = m.add(0, 0, 5000, 5150, 0, 300, 60);
        p.qs = 1, p.qe = 150;
        ls_reg &q = m.add(1, 0, c.rs1, c.re1, c.rev1, 300, 60);
        q.qs = c.qs1, q.qe = c.qe1;
        int n[2] = {1, 1};
        ls_reg *a[2] = {m.r[0].data(), m.r[1].data()};
        ls_mark_read_through(m.lens, n, a);
        EXPECT_EQ(m.r[0][0].read_through, c.expect ? 1u : 0u) << c.rs1 << " " << c.re1 << " " << c.qs1;
        EXPECT_EQ(m.r[1][0].read_through, c.expect ? 1u : 0u);
    }
    // Two primaries in one mate: no mark.
    Mates m;
    m.add(0, 0, 5000, 5150, 0, 300, 60);
    m.add(1, 0, 5000, 5150, 0, 300, 60);
    m.add(1, 0, 9000, 9150, 0, 300, 60);
    int n[2] = {1, 2};
    ls_reg *a[2] = {m.r[0].data(), m.r[1].data()};
    ls_mark_read_through(m.lens, n, a);
    EXPECT_EQ(m.r[0][0].read_through, 0u);
}

namespace {

/* A random genome with exact repeats longer than a mate, indexed in memory,
 * and short-read options with base-level alignment. */
struct ShortReadWorld {
    lssim::Genome g;
    ls_idx *mi = nullptr;
    ls_mapopt opt;
    std::map<std::string, int> tid;

    ShortReadWorld() {
        lssim::GenomeParams gp;
        gp.total_len = 400000;
        gp.n_contigs = 2;
        gp.repeats = 20;
        gp.repeat_copies = 2;
        gp.repeat_len = 1000;
        if (!lssim::make_genome(gp, 11, g, nullptr)) abort();
        std::vector<const char *> seqs, names;
        for (auto &c : g.contigs) {
            seqs.push_back(c.seq.c_str());
            names.push_back(c.name.c_str());
            tid[c.name] = (int)tid.size();
        }
        ls_idxopt io;
        ls_opt_preset(nullptr, &io, &opt);
        ls_opt_preset("sr", &io, &opt);
        opt.flag |= LS_F_BASE_ALIGN;
        mi = ls_idx_str(io.w, io.k, 0, io.bucket_bits, (int)seqs.size(), seqs.data(), names.data());
        if (!mi) abort();
        ls_mapopt_update(&opt, mi);
    }
    ~ShortReadWorld() { ls_idx_destroy(mi); }

    /* Whether [st, en) of the contig lies wholly inside a repeat copy. */
    bool in_repeat(const std::string &ctg, uint64_t st, uint64_t en) const {
        for (auto &f : g.features)
            if (f.type == "repeat" && f.contig == ctg && f.start <= st && en <= f.end) return true;
        return false;
    }
};

const ls_reg *primary(int n, const ls_reg *r) {
    for (int i = 0; i < n; ++i)
        if (r[i].id == r[i].parent && r[i].sam_pri) return &r[i];
    return nullptr;
}

} // namespace

/* Regions of both mates of one fragment, freed with their detail. */
struct FragRegs {
    int n[2] = {0, 0};
    ls_reg *r[2] = {nullptr, nullptr};
    FragRegs() = default;
    FragRegs(const FragRegs &) = delete;
    FragRegs &operator=(const FragRegs &) = delete;
    ~FragRegs() {
        for (int s = 0; s < 2; ++s) lstest::free_regions(n[s], r[s]);
    }
};

// Pairs from the generator mapped as fragments, the second mate flipped as
// the file pipeline does for pair orientation 1: both mates land on the true
// origin as a proper pair. The same fragments mapped without pairing show
// what the pairing changed: a mate inside an exact repeat, unplaceable on
// its own, takes its mapping quality from its mate.
TEST(PairTest, FragmentsEndToEnd) {
    static ShortReadWorld w;
    ASSERT_TRUE(w.opt.flag & LS_F_FRAGMENT);
    ls_mapopt unpaired = w.opt;
    unpaired.pair_orientation = -1;
    lssim::ReadParams rp;
    rp.n_reads = 300;
    rp.mean_len = 400, rp.sd_len = 40;
    rp.sub_rate = 0.01;
    std::vector<lssim::Read> m1, m2;
    ASSERT_TRUE(lssim::make_pairs(w.g.contigs, {}, rp, 150, false, 5, m1, m2, nullptr));
    ls_tbuf *b = ls_tbuf_init();
    int n_proper_true = 0, n_rep = 0, n_raised = 0, n_placeable = 0, n_placeable_true = 0;
    for (size_t i = 0; i < m1.size(); ++i) {
        lssim::Truth t;
        ASSERT_TRUE(lssim::parse_truth(m1[i].name, t));
        const std::string s1 = m1[i].seq, s2 = lssim::revcomp(m2[i].seq);
        const int lens[2] = {(int)s1.size(), (int)s2.size()};
        const char *seqs[2] = {s1.c_str(), s2.c_str()};
        FragRegs x, u;
        ls_map_frag(w.mi, 2, lens, seqs, x.n, x.r, b, &w.opt, m1[i].name.c_str());
        ls_map_frag(w.mi, 2, lens, seqs, u.n, u.r, b, &unpaired, m1[i].name.c_str());
        const ls_reg *p[2] = {primary(x.n[0], x.r[0]), primary(x.n[1], x.r[1])};
        // Where each mate came from: the '+' fragment's first mate is its
        // start, the flipped second mate its end; '-' swaps them.
        const uint64_t len = t.end - t.start;
        const uint64_t rl = len < 150 ? len : 150;
        uint64_t st[2] = {t.start, t.end - rl}, en[2] = {t.start + rl, t.end};
        if (t.strand == '-') std::swap(st[0], st[1]), std::swap(en[0], en[1]);
        bool ok = p[0] && p[1] && p[0]->proper_pair && p[1]->proper_pair;
        for (int s = 0; s < 2 && ok; ++s)
            ok = p[s]->target_id == w.tid.at(t.contig) && p[s]->rs < (int)en[s] && (int)st[s] < p[s]->re &&
                 p[s]->reverse == (t.strand == '-' ? 1u : 0u);
        n_proper_true += ok;
        // Both mates inside repeat copies: several equally good pairs.
        const bool placeable = !w.in_repeat(t.contig, st[0], en[0]) || !w.in_repeat(t.contig, st[1], en[1]);
        n_placeable += placeable, n_placeable_true += placeable && ok;
        if (!ok) continue;
        // Pairing changes flags and mapping qualities only: the same regions
        // in the same order. The chosen regions never lose quality.
        ASSERT_EQ(x.n[0], u.n[0]);
        ASSERT_EQ(x.n[1], u.n[1]);
        int mq[2], mq0[2];
        for (int s = 0; s < 2; ++s) {
            const ls_reg &q = u.r[s][p[s]->id];
            EXPECT_EQ(q.rs, p[s]->rs);
            EXPECT_EQ(q.proper_pair, 0u);
            mq[s] = (int)p[s]->mapq, mq0[s] = (int)q.mapq;
            EXPECT_GE(mq[s], mq0[s]) << m1[i].name;
        }
        // One mate wholly inside a repeat copy, its mate unique: the copies
        // are far apart, so this is the only candidate pair and the weaker
        // mate is pulled to 0.2 x its own + 0.8 x the better quality.
        for (int s = 0; s < 2; ++s) {
            if (!w.in_repeat(t.contig, st[s], en[s]) || w.in_repeat(t.contig, st[!s], en[!s])) continue;
            ++n_rep;
            const int best = mq0[0] > mq0[1] ? mq0[0] : mq0[1];
            int want = mq0[s] < best ? (int)(0.2f * (float)mq0[s] + 0.8f * (float)best + 0.499f) : mq0[s];
            if (want < 2) want = 2;
            EXPECT_EQ(mq[s], want) << m1[i].name;
            n_raised += mq[s] > mq0[s];
        }
    }
    ls_tbuf_destroy(b);
    EXPECT_GE(n_proper_true, (int)m1.size() * 95 / 100);
    EXPECT_GE(n_placeable_true, n_placeable * 99 / 100);
    EXPECT_GE(n_rep, 5);
    EXPECT_GE(n_raised, 1);
}
