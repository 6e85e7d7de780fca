#include "pipeline/map_query.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

#include "map/regions.h"
#include "map/chain.h"
#include "map/seeds.h"
#include "sim.h"
#include "index/sketch.h"
#include "testutil.h"

namespace {

/* Regions of one query, freed with their detail. */
struct Regs {
    int n = 0;
    ls_reg *r = nullptr;
    Regs() = default;
    Regs(const Regs &) = delete;
    Regs &operator=(const Regs &) = delete;
    ~Regs() { lstest::free_regions(n, r); }
};

/* Simulated genome with planted exact repeats, its index and options. */
struct World {
    lssim::Genome g;
    ls_idx *mi = nullptr;
    ls_mapopt opt;
    std::map<std::string, int> tid;

    World() {
        lssim::GenomeParams gp;
        gp.total_len = 1200000;
        gp.n_contigs = 2;
        gp.repeats = 3;
        gp.repeat_copies = 2;
        gp.repeat_len = 12000;
        std::string err;
        if (!lssim::make_genome(gp, 7, g, &err)) abort();
        std::vector<const char *> seqs, names;
        for (auto &c : g.contigs) {
            seqs.push_back(c.seq.c_str());
            names.push_back(c.name.c_str());
            tid[c.name] = (int)tid.size();
        }
        mi = ls_idx_str(10, 15, 0, 14, (int)seqs.size(), seqs.data(), names.data());
        ls_mapopt_defaults(&opt);
        ls_mapopt_update(&opt, mi);
    }
    ~World() { ls_idx_destroy(mi); }

    bool overlaps_repeat(const lssim::Truth &t) const {
        for (auto &f : g.features)
            if (f.type == "repeat" && f.contig == t.contig && f.start < t.end && t.start < f.end) return true;
        return false;
    }
    bool hits_truth(const ls_reg &r, const lssim::Truth &t) const {
        return r.target_id == tid.at(t.contig) && r.rs < (int)t.end && (int)t.start < r.re &&
               r.reverse == (t.strand == '-' ? 1u : 0u);
    }
};

World &world() {
    static World w;
    return w;
}

std::vector<lssim::Read> simulate(const std::vector<lssim::Contig> &ref, int n, double len, double error,
                                  uint64_t seed) {
    lssim::ReadParams rp;
    rp.n_reads = n;
    rp.mean_len = len;
    rp.sd_len = 0;
    rp.sub_rate = error / 2;
    rp.ins_rate = rp.del_rate = error / 4;
    std::vector<lssim::Read> reads;
    std::string err;
    if (!lssim::make_reads(ref, {}, rp, seed, reads, &err)) abort();
    return reads;
}

void map_one(const World &w, ls_tbuf *b, const ls_mapopt &opt, const lssim::Read &rd, Regs *out,
             bool with_name = true) {
    out->r = ls_map(w.mi, (int)rd.seq.size(), rd.seq.c_str(), &out->n, b, &opt,
                    with_name ? rd.name.c_str() : nullptr);
}

/* Everything but the detail pointer, for comparing runs. */
std::vector<uint8_t> region_bytes(const Regs &x) {
    std::vector<uint8_t> v;
    for (int i = 0; i < x.n; ++i) {
        ls_reg r = x.r[i];
        r.p = nullptr;
        const uint8_t *p = reinterpret_cast<const uint8_t *>(&r);
        v.insert(v.end(), p, p + sizeof(r));
    }
    return v;
}

} // namespace

TEST(MapTest, QueryHash) {
    // The integer mix of 0, worked out by hand step by step.
    EXPECT_EQ(ls_hash32(0), 0x4636b9c9u);
    const uint32_t anon = ls_query_hash(nullptr, 1000, 11, 0);
    EXPECT_EQ(anon, ls_hash32(ls_hash32(11) + ls_hash32(1000)));
    EXPECT_EQ(ls_query_hash("", 1000, 11, 0), anon);
    EXPECT_EQ(ls_query_hash("read1", 1000, 11, LS_F_NO_NAME_HASH), anon);
    // "ab": 'a' * 31 + 'b'.
    EXPECT_EQ(ls_query_hash("ab", 1000, 11, 0),
              ls_hash32((97u * 31 + 98) ^ (ls_hash32(11) + ls_hash32(1000))));
    // Bytes count as signed values.
    EXPECT_EQ(ls_query_hash("\xff", 5, 1, 0), ls_hash32(0xffffffffu ^ (ls_hash32(1) + ls_hash32(5))));
    EXPECT_NE(ls_query_hash("read1", 1000, 11, 0), ls_query_hash("read2", 1000, 11, 0));
    EXPECT_NE(ls_query_hash(nullptr, 1000, 11, 0), ls_query_hash(nullptr, 1000, 12, 0));
}

TEST(MapTest, MaskMinimizers) {
    // 15-base minimizers ending at 14, 29, 44 and 59 (y = end << 1 | strand).
    std::vector<ls128> m;
    for (int e : {14, 29, 44, 59}) m.push_back(ls128{(uint64_t)15, (uint64_t)e << 1 | 1});
    // [8, 15) covers 7 bases of [0, 15): kept; [22, 30) 8 of [15, 30):
    // dropped; [30, 38) and [40, 41) 9 of [30, 45): dropped; [52, 53) plus
    // [53, 59) (touching, 7): kept.
    const uint64_t iv[] = {8ULL << 32 | 15,  22ULL << 32 | 30, 30ULL << 32 | 38,
                           40ULL << 32 | 41, 52ULL << 32 | 53, 53ULL << 32 | 59};
    ls128_vec v = {m.size(), m.size(), m.data()};
    ls_mask_minimizers(&v, 0, 6, iv);
    ASSERT_EQ(v.n, 2u);
    EXPECT_EQ(v.a[0].y >> 1, 14u);
    EXPECT_EQ(v.a[1].y >> 1, 59u);
    // Only the minimizers from start on are filtered.
    std::vector<ls128> m2 = {ls128{15, 29 << 1}, ls128{15, 29 << 1}};
    ls128_vec v2 = {2, 2, m2.data()};
    ls_mask_minimizers(&v2, 1, 1, iv + 1);
    EXPECT_EQ(v2.n, 1u);
}

TEST(MapTest, MinimizersOfSegmentsRunOverTheConcatenation) {
    World &w = world();
    const std::string s0 = w.g.contigs[0].seq.substr(1000, 300), s1 = w.g.contigs[0].seq.substr(5000, 200);
    const char *seqs[] = {s0.c_str(), s1.c_str()};
    const int lens[] = {300, 200};
    ls128_vec all = {0, 0, nullptr}, one = {0, 0, nullptr};
    ls_map_collect_minimizers(nullptr, &w.opt, w.mi, 2, lens, seqs, &all);
    ls_sketch(nullptr, s1.c_str(), 200, w.mi->w, w.mi->k, 1, 0, &one);
    ASSERT_GT(one.n, 0u);
    ASSERT_GT(all.n, one.n);
    const size_t first = all.n - one.n;
    for (size_t i = 0; i < one.n; ++i) {
        EXPECT_EQ(all.a[first + i].x, one.a[i].x);
        EXPECT_EQ(all.a[first + i].y, one.a[i].y + (300u << 1)); // segment 1 keeps its id, shifted by 300
    }
    EXPECT_EQ(all.a[first - 1].y >> 32, 0u);
    kfree(nullptr, all.a);
    kfree(nullptr, one.a);
}

TEST(MapTest, EmptyTooLongAndTooManySegments) {
    World &w = world();
    ls_tbuf *b = ls_tbuf_init();
    int n = -1;
    EXPECT_EQ(ls_map(w.mi, 0, "", &n, b, &w.opt, "empty"), nullptr);
    EXPECT_EQ(n, 0);

    ls_mapopt opt = w.opt;
    opt.max_query_len = 1000;
    const std::string q = w.g.contigs[1].seq.substr(20000, 1001);
    Regs r1, r2;
    r1.r = ls_map(w.mi, 1001, q.c_str(), &r1.n, b, &opt, "long");
    EXPECT_EQ(r1.n, 0);
    EXPECT_EQ(r1.r, nullptr);
    r2.r = ls_map(w.mi, 1000, q.c_str(), &r2.n, b, &opt, "fits");
    ASSERT_GE(r2.n, 1);
    EXPECT_EQ(r2.r[0].target_id, 1);
    EXPECT_EQ(r2.r[0].mapq, 60u);

    // 256 segments: every output is cleared, nothing is mapped.
    std::vector<int> lens(256, 100);
    std::vector<const char *> seqs(256, q.c_str());
    std::vector<int> counts(256, 7);
    std::vector<ls_reg *> out(256, reinterpret_cast<ls_reg *>(&lens));
    ls_map_frag(w.mi, 256, lens.data(), seqs.data(), counts.data(), out.data(), b, &w.opt, "many");
    for (int i = 0; i < 256; ++i) {
        EXPECT_EQ(counts[i], 0);
        EXPECT_EQ(out[i], nullptr);
    }
    ls_tbuf_destroy(b);
}

// Reads from unique sequence land at their origin; a mapq of 60 is earned.
TEST(MapTest, LongNoisyReadsFromUniqueSequence) {
    World &w = world();
    const auto reads = simulate(w.g.contigs, 150, 10000, 0.10, 21);
    ls_tbuf *b = ls_tbuf_init();
    int n_unique = 0, n_right = 0;
    for (const auto &rd : reads) {
        lssim::Truth t;
        ASSERT_TRUE(lssim::parse_truth(rd.name, t));
        if (w.overlaps_repeat(t)) continue;
        ++n_unique;
        Regs x;
        map_one(w, b, w.opt, rd, &x);
        if (x.n == 0) continue;
        EXPECT_EQ(x.r[0].parent, x.r[0].id);
        const bool right = w.hits_truth(x.r[0], t);
        n_right += right;
        if (x.r[0].mapq == 60) { EXPECT_TRUE(right) << rd.name; }
        for (int i = 1; i < x.n; ++i) EXPECT_GE(x.r[i - 1].chain_score, x.r[i].chain_score);
        EXPECT_GE(x.r[0].divergence, 0.0f);
        EXPECT_LT(x.r[0].divergence, 0.3f);
    }
    ls_tbuf_destroy(b);
    ASSERT_GT(n_unique, 120);
    EXPECT_GE(n_right * 100, n_unique * 99) << n_right << " of " << n_unique;
}

// Reads inside an exact two-copy repeat: a primary on one copy, a secondary
// on the other, and no confidence.
TEST(MapTest, ReadsFromPlantedRepeats) {
    World &w = world();
    ls_tbuf *b = ls_tbuf_init();
    int n_reads = 0;
    for (auto &f : w.g.features) {
        if (f.type != "repeat" || f.strand != '+') continue;
        // The copies of the family, where the read may belong.
        std::vector<const lssim::Feature *> copies;
        for (auto &c : w.g.features)
            if (c.family == f.family) copies.push_back(&c);
        ASSERT_EQ(copies.size(), 2u);
        const std::string &ctg = w.g.contigs[w.tid.at(f.contig)].seq;
        const std::vector<lssim::Contig> rep = {{"rep", ctg.substr(f.start, f.end - f.start)}};
        for (const auto &rd : simulate(rep, 4, 8000, 0.10, 5 + f.id)) {
            ++n_reads;
            Regs x;
            map_one(w, b, w.opt, rd, &x);
            ASSERT_GE(x.n, 2) << rd.name;
            EXPECT_LE(x.r[0].mapq, 3u);
            int n_on_copies = 0;
            for (int i = 0; i < x.n; ++i)
                for (auto *c : copies)
                    n_on_copies += x.r[i].target_id == w.tid.at(c->contig) && x.r[i].rs < (int)c->end &&
                                   (int)c->start < x.r[i].re;
            EXPECT_GE(n_on_copies, 2);
            EXPECT_EQ(x.r[1].parent, 0);
            EXPECT_EQ(x.r[1].mapq, 0u);
        }
    }
    ls_tbuf_destroy(b);
    EXPECT_GT(n_reads, 0);
}

// The same query gives the same regions in the same order, with or without
// an arena, and whatever ran on the buffer before.
TEST(MapTest, DeterministicRegionsAndTieOrder) {
    World &w = world();
    auto reads = simulate(w.g.contigs, 20, 3000, 0.10, 99);
    for (auto &f : w.g.features) // plus some repeat reads, where ties abound
        if (f.type == "repeat") {
            auto r = simulate({{"rep", w.g.contigs[w.tid.at(f.contig)].seq.substr(f.start, 6000)}}, 2, 3000,
                              0.05, f.id);
            reads.insert(reads.end(), r.begin(), r.end());
        }
    std::vector<std::vector<uint8_t>> first;
    ls_tbuf *b = ls_tbuf_init();
    for (const auto &rd : reads) {
        Regs x;
        map_one(w, b, w.opt, rd, &x);
        first.push_back(region_bytes(x));
    }
    for (int pass = 0; pass < 2; ++pass) {
        const int saved = ls_debug_flags;
        if (pass == 1) ls_debug_flags |= LS_DBG_NO_ARENA;
        ls_tbuf *b2 = ls_tbuf_init();
        EXPECT_EQ(b2->arena == nullptr, pass == 1);
        for (size_t i = reads.size(); i-- > 0;) { // reverse order: no state may carry over
            Regs x;
            map_one(w, b2, w.opt, reads[i], &x);
            EXPECT_EQ(region_bytes(x), first[i]) << reads[i].name;
        }
        ls_tbuf_destroy(b2);
        ls_debug_flags = saved;
    }
    ls_tbuf_destroy(b);
}

// Thousands of queries leave every block returned (the driver asserts it
// after each one), and the reset rule replaces an arena that grew too large.
TEST(MapTest, ArenaStaysConsistent) {
    World &w = world();
    const auto reads = simulate(w.g.contigs, 2000, 400, 0.05, 3);
    ls_tbuf *b = ls_tbuf_init();
    int n_mapped = 0;
    for (const auto &rd : reads) {
        Regs x;
        map_one(w, b, w.opt, rd, &x);
        n_mapped += x.n > 0;
    }
    km_stats st;
    km_stat(b->arena, &st);
    EXPECT_EQ(st.n_blocks, st.n_cores);
    EXPECT_GT(st.capacity, 0u);
    EXPECT_GT(n_mapped, 1900);

    ls_mapopt opt = w.opt;
    opt.arena_cap = 1;
    Regs x;
    map_one(w, b, opt, reads[0], &x);
    km_stat(b->arena, &st);
    EXPECT_EQ(st.capacity, 0u); // a fresh arena
    ls_tbuf_destroy(b);
}

TEST(MapTest, AllChainsKeepsEveryChain) {
    World &w = world();
    ls_mapopt opt = w.opt;
    opt.flag |= LS_F_NO_LONG_JOIN;
    opt.max_secondary = 0; // selection keeps no secondary at all
    ls_mapopt all = opt;
    all.flag |= LS_F_ALL_CHAINS;
    ls_tbuf *b = ls_tbuf_init();
    const auto &f = w.g.features[0];
    const auto reads =
        simulate({{"rep", w.g.contigs[w.tid.at(f.contig)].seq.substr(f.start, 8000)}}, 3, 6000, 0.10, 8);
    for (const auto &rd : reads) {
        // The chains, by hand.
        const int qlen = (int)rd.seq.size();
        const char *seq = rd.seq.c_str();
        ls128_vec mv = {0, 0, nullptr};
        ls_map_collect_minimizers(nullptr, &opt, w.mi, 1, &qlen, &seq, &mv);
        ls_seed_filter_query_occ(nullptr, &mv.n, mv.a, opt.mid_occ, opt.query_occ_fraction);
        int64_t n_a;
        int rep, n_sp, n_u;
        uint64_t *sp, *u;
        ls128 *a =
            ls_collect_anchors(nullptr, &opt, opt.mid_occ, w.mi, nullptr, &mv, qlen, &n_a, &rep, &n_sp, &sp);
        a = nx_lchain_dp(opt.chain_max_gap, opt.chain_max_gap, opt.bw, opt.chain_skip_limit,
                         opt.chain_iter_limit, opt.chain_min_anchors, opt.chain_min_score,
                         (float)(opt.gap_cost_scale * 0.01 * 15), 0.0f, 0, 1, n_a, a, &n_u, &u, nullptr);
        kfree(nullptr, a);
        kfree(nullptr, u);
        kfree(nullptr, sp);
        kfree(nullptr, mv.a);

        Regs x, y;
        map_one(w, b, all, rd, &x);
        map_one(w, b, opt, rd, &y);
        EXPECT_EQ(x.n, n_u);
        EXPECT_EQ(y.n, 1);
        EXPECT_GT(x.n, y.n);
        for (int i = 0; i < x.n; ++i) {
            EXPECT_EQ(x.r[i].id, i);
            EXPECT_EQ(x.r[i].parent, -1);
            EXPECT_EQ(x.r[i].mapq, 0u);
        }
    }
    ls_tbuf_destroy(b);
}

// Mates of a fragment mapped as one query: per-segment regions.
TEST(MapTest, TwoSegmentFragment) {
    World &w = world();
    lssim::ReadParams rp;
    rp.n_reads = 10;
    rp.mean_len = 3000;
    rp.sd_len = 0;
    rp.sub_rate = 0.02;
    std::vector<lssim::Read> m1, m2;
    ASSERT_TRUE(lssim::make_pairs(w.g.contigs, {}, rp, 1000, true, 17, m1, m2, nullptr));
    ls_tbuf *b = ls_tbuf_init();
    for (size_t i = 0; i < m1.size(); ++i) {
        lssim::Truth t;
        ASSERT_TRUE(lssim::parse_truth(m1[i].name, t));
        if (w.overlaps_repeat(t)) continue;
        const int lens[2] = {(int)m1[i].seq.size(), (int)m2[i].seq.size()};
        const char *seqs[2] = {m1[i].seq.c_str(), m2[i].seq.c_str()};
        int n[2];
        ls_reg *r[2];
        ls_map_frag(w.mi, 2, lens, seqs, n, r, b, &w.opt, m1[i].name.c_str());
        for (int s = 0; s < 2; ++s) {
            ASSERT_GE(n[s], 1);
            EXPECT_EQ(r[s][0].seg_index, (uint32_t)s);
            EXPECT_EQ(r[s][0].seg_derived, 1u);
            EXPECT_EQ(r[s][0].target_id, w.tid.at(t.contig));
            EXPECT_TRUE(r[s][0].rs < (int)t.end && (int)t.start < r[s][0].re) << m1[i].name;
            EXPECT_LE(r[s][0].qe, lens[s]);
            EXPECT_EQ(r[s][0].mapq, 60u);
        }
        // The mates lie on opposite strands.
        EXPECT_NE(r[0][0].reverse, r[1][0].reverse);
        free(r[0]);
        free(r[1]);
    }
    ls_tbuf_destroy(b);
}

TEST(MapTest, DebugLines) {
    World &w = world();
    const std::string q = w.g.contigs[0].seq.substr(30000, 500);
    const int saved = ls_debug_flags;
    ls_tbuf *b = ls_tbuf_init();
    ls_debug_flags = LS_DBG_SEEDS | LS_DBG_QUERY_STATS;
    testing::internal::CaptureStderr();
    Regs x;
    x.r = ls_map(w.mi, 500, q.c_str(), &x.n, b, &w.opt, "dbg");
    const std::string err = testing::internal::GetCapturedStderr();
    ls_debug_flags = saved;
    ls_tbuf_destroy(b);
    ASSERT_EQ(x.n, 1);
    EXPECT_EQ(err.rfind("RS\t0\nSD\tctg1\t", 0), 0u) << err.substr(0, 100);
    EXPECT_NE(err.find("\t+\t"), std::string::npos);
    EXPECT_NE(err.find("CN\t0\tctg1\t"), std::string::npos);
    EXPECT_NE(err.find("QM\tdbg\t500\tcap="), std::string::npos);
}

// With base-level alignment every region carries its alignment, the regions
// are re-parented and the first primary is marked for SAM.
TEST(MapTest, BaseAlignedRegions) {
    World &w = world();
    ls_mapopt opt = w.opt;
    opt.flag |= LS_F_BASE_ALIGN;
    const auto &f = w.g.features[0];
    auto reads =
        simulate({{"rep", w.g.contigs[w.tid.at(f.contig)].seq.substr(f.start, 8000)}}, 1, 6000, 0.05, 4);
    const auto unique = simulate(w.g.contigs, 3, 3000, 0.05, 41);
    reads.insert(reads.end(), unique.begin(), unique.end());
    ls_tbuf *b = ls_tbuf_init();
    for (size_t k = 0; k < reads.size(); ++k) {
        Regs x;
        map_one(w, b, opt, reads[k], &x);
        ASSERT_GE(x.n, k == 0 ? 2 : 1);
        for (int i = 0; i < x.n; ++i) {
            ASSERT_NE(x.r[i].p, nullptr);
            EXPECT_EQ(x.r[i].id, i);
            EXPECT_EQ(x.r[i].sam_pri, i == 0 ? 1u : 0u);
        }
        EXPECT_GT(x.r[0].p->max_score, 0);
    }
    ls_tbuf_destroy(b);
}

// Anchors from the heap merge are the same as from the sort, and the
// range-query chainer finds the same origins.
TEST(MapTest, SeedBuildersAndChainers) {
    World &w = world();
    const auto reads = simulate(w.g.contigs, 30, 5000, 0.10, 31);
    ls_mapopt heap = w.opt, rmq = w.opt;
    heap.flag |= LS_F_HEAP_MERGE;
    rmq.flag |= LS_F_RMQ;
    ls_tbuf *b = ls_tbuf_init();
    int n_right = 0, n_unique = 0;
    for (const auto &rd : reads) {
        lssim::Truth t;
        ASSERT_TRUE(lssim::parse_truth(rd.name, t));
        Regs x, y, z;
        map_one(w, b, w.opt, rd, &x);
        map_one(w, b, heap, rd, &y);
        map_one(w, b, rmq, rd, &z);
        EXPECT_EQ(region_bytes(x), region_bytes(y)) << rd.name;
        if (w.overlaps_repeat(t)) continue;
        ++n_unique;
        n_right += z.n > 0 && w.hits_truth(z.r[0], t);
    }
    ls_tbuf_destroy(b);
    EXPECT_EQ(n_right, n_unique);
}

// A query whose seeds are all too frequent is seeded again with occ_cap.
TEST(MapTest, RechainWithHigherOccurrenceLimit) {
    lssim::Rng rng(5);
    auto random_seq = [&](size_t n) {
        std::string s(n, 'A');
        for (auto &c : s) c = "ACGT"[rng.below(4)];
        return s;
    };
    const std::string unit = random_seq(1000);
    std::string target = random_seq(500);
    for (int i = 0; i < 30; ++i) target += unit + random_seq(500);
    const char *seqs[] = {target.c_str()};
    const char *names[] = {"tandem"};
    ls_idx *mi = ls_idx_str(10, 15, 0, 14, 1, seqs, names);
    ls_mapopt opt;
    ls_mapopt_defaults(&opt);
    opt.mid_occ = 10;     // every seed of the unit occurs 30 times
    opt.occ_distance = 0; // and none is rescued by the per-run choice
    ls_tbuf *b = ls_tbuf_init();
    for (int occ_cap : {0, 100}) {
        opt.occ_cap = occ_cap;
        Regs x;
        x.r = ls_map(mi, (int)unit.size(), unit.c_str(), &x.n, b, &opt, "unit");
        if (occ_cap == 0) {
            EXPECT_EQ(x.n, 0);
            EXPECT_GT(b->repeat_len, 900);
        } else {
            ASSERT_GE(x.n, 1);
            EXPECT_EQ(b->repeat_len, 0); // the second collection filtered nothing
            EXPECT_EQ(x.r[0].mapq, 0u);
            EXPECT_GT(x.r[0].qe - x.r[0].qs, 950);
        }
        EXPECT_EQ(b->fragment_gap, opt.chain_max_gap);
    }
    ls_tbuf_destroy(b);
    ls_idx_destroy(mi);
}
