#include "align/align.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "align/align.h"
#include "base/arena.h"
#include "map/regions.h"
#include "map/chain.h"
#include "map/seeds.h"
#include "sim.h"
#include "index/sketch.h"
#include "testutil.h"

namespace {

using lstest::cigar_of;
using lstest::free_regions;
using lstest::op;

constexpr uint32_t kM = LS_CIGAR_MATCH, kI = LS_CIGAR_INS, kD = LS_CIGAR_DEL;

std::string random_seq(lssim::Rng &rng, size_t n) {
    std::string s(n, 'A');
    for (auto &c : s) c = "ACGT"[rng.below(4)];
    return s;
}

/* An index of the given targets (k = 15, w = 10) and default options with
 * base-level alignment. */
struct Fixture {
    ls_idx *mi = nullptr;
    ls_mapopt opt;
    km_arena *km = km_create();
    std::vector<std::string> targets;
    uint64_t base = 0; /* in_use() of the fresh arena */

    explicit Fixture(std::vector<std::string> t) : targets(std::move(t)) {
        std::vector<const char *> seqs, names;
        std::vector<std::string> name_store;
        for (size_t i = 0; i < targets.size(); ++i) name_store.push_back("t" + std::to_string(i));
        for (size_t i = 0; i < targets.size(); ++i) {
            seqs.push_back(targets[i].c_str());
            names.push_back(name_store[i].c_str());
        }
        mi = ls_idx_str(10, 15, 0, 14, (int)seqs.size(), seqs.data(), names.data());
        ls_mapopt_defaults(&opt);
        opt.flag |= LS_F_BASE_ALIGN;
        ls_mapopt_update(&opt, mi);
        kfree(km, km_malloc(km, 16)); /* the arena's first core: not a leak */
        base = in_use();
    }
    ~Fixture() {
        ls_idx_destroy(mi);
        km_release(km);
    }
    /* Bytes of km handed out and not yet returned. */
    uint64_t in_use() const {
        km_stats st;
        km_stat(km, &st);
        return st.capacity - st.available;
    }
};

/* Query codes of a sequence: [0] forward, [1] reverse complement. */
struct QueryCodes {
    std::vector<uint8_t> fwd, rev;
    uint8_t *qseq[2];
    explicit QueryCodes(const std::string &s) : fwd(s.size()), rev(s.size()) {
        for (size_t i = 0; i < s.size(); ++i) {
            uint8_t c = ls_nt4_table[(uint8_t)s[i]];
            fwd[i] = c;
            rev[s.size() - 1 - i] = c < 4 ? (uint8_t)(3 - c) : 4;
        }
        qseq[0] = fwd.data(), qseq[1] = rev.data();
    }
};

ls128 anchor(int rev, int rid, int32_t tpos, int32_t qpos, int span) {
    ls128 a;
    a.x = (uint64_t)rev << 63 | (uint64_t)rid << 32 | (uint32_t)tpos;
    a.y = (uint64_t)span << 32 | (uint32_t)qpos;
    return a;
}

/* Anchors of span 15 on the diagonal tpos = qpos + offset, one every step
 * query bases, for seeds ending in query [qbeg + 14, qend). */
void add_diagonal(std::vector<ls128> &a, int rev, int rid, int32_t offset, int32_t qbeg, int32_t qend,
                  int step) {
    for (int32_t q = qbeg + 14; q < qend; q += step) a.push_back(anchor(rev, rid, q + offset, q, 15));
}

/* A primary region over all anchors of a. */
ls_reg region_of(const std::vector<ls128> &a, int qlen) {
    ls_reg r;
    memset(&r, 0, sizeof(r));
    r.n_anchors = (int)a.size();
    r.chain_score = r.initial_score = 1000;
    r.divergence = -1.0f;
    ls_reg_set_coords(&r, qlen, a.data(), 0);
    return r;
}

/* Replays the CIGAR of an aligned region over the query (reverse-
 * complemented for a reverse region) and its target interval, and checks
 * that it covers exactly the region's intervals and gives its statistics. */
void check_alignment(const Fixture &f, const std::string &query, const ls_reg &r) {
    ASSERT_NE(r.p, nullptr);
    const int qlen = (int)query.size();
    QueryCodes qc(query);
    const uint8_t *q = r.reverse ? qc.rev.data() + (qlen - r.qe) : qc.fwd.data() + r.qs;
    std::vector<uint8_t> t(r.re - r.rs + 1);
    ASSERT_EQ(ls_idx_get_bases(f.mi, r.target_id, r.rs, r.re, t.data()), r.re - r.rs);
    int64_t qi = 0, ti = 0, matches = 0, block = 0;
    for (uint32_t k = 0; k < r.p->n_cigar; ++k) {
        uint32_t c = r.p->cigar[k] & 0xf, l = r.p->cigar[k] >> 4;
        EXPECT_GT(l, 0u);
        if (c == kM) {
            for (uint32_t m = 0; m < l; ++m, ++qi, ++ti) {
                ASSERT_LT(qi, r.qe - r.qs);
                ASSERT_LT(ti, r.re - r.rs);
                if (q[qi] >= 4 || t[ti] >= 4) continue;
                ++block;
                matches += q[qi] == t[ti];
            }
        } else if (c == kI) {
            for (uint32_t m = 0; m < l; ++m) block += q[qi++] < 4;
        } else if (c == kD) {
            for (uint32_t m = 0; m < l; ++m) block += t[ti++] < 4;
        } else {
            ADD_FAILURE() << "unexpected operation " << c;
        }
    }
    EXPECT_EQ(qi, r.qe - r.qs);
    EXPECT_EQ(ti, r.re - r.rs);
    EXPECT_EQ(matches, r.match_len);
    EXPECT_EQ(block, r.block_len);
    if (r.p->n_cigar > 0) { /* a leading indel is always removed */
        EXPECT_EQ(r.p->cigar[0] & 0xf, kM);
    }
}

/* A region aligned by ls_align1 and its remainder; frees their details. */
struct Aligned {
    ls_reg r, r2;
    Aligned() {
        memset(&r, 0, sizeof(r));
        memset(&r2, 0, sizeof(r2));
    }
    ~Aligned() {
        free(r.p);
        free(r2.p);
    }
    Aligned(const Aligned &) = delete;
    Aligned &operator=(const Aligned &) = delete;
};

/* Aligns r with ls_align1 and a fresh kernel record into out, checking that
 * all scratch went back to the arena and the query codes were restored. */
void align_one(Fixture &f, const std::string &query, std::vector<ls128> &a, ls_reg r, Aligned &out) {
    QueryCodes qc(query);
    dpx_extz ez;
    memset(&ez, 0, sizeof(ez));
    uint64_t before = f.in_use();
    ls_align1(f.km, &f.opt, f.mi, (int)query.size(), qc.qseq, &r, &out.r2, (int)a.size(), a.data(), &ez,
              f.opt.flag);
    kfree(f.km, ez.cigar);
    EXPECT_EQ(f.in_use(), before) << "scratch not returned to the arena";
    EXPECT_EQ(qc.fwd, QueryCodes(query).fwd) << "query codes not restored";
    EXPECT_EQ(qc.rev, QueryCodes(query).rev) << "query codes not restored";
    out.r = r;
}

/* Seeds, chains and regions of a query the way the mapper builds them
 * before alignment; the anchors come back in *a (km). */
ls_reg *chain_regions(Fixture &f, const std::string &query, int *n_regs, ls128 **a) {
    km_arena *km = f.km;
    const ls_mapopt *opt = &f.opt;
    const int qlen = (int)query.size();
    ls128_vec mv = {0, 0, nullptr};
    ls_sketch(km, query.c_str(), qlen, f.mi->w, f.mi->k, 0, 0, &mv);
    int64_t n_a = 0;
    int rep_len = 0, n_seed_pos = 0;
    uint64_t *seed_pos = nullptr;
    ls128 *anchors = ls_collect_anchors(km, opt, opt->mid_occ, f.mi, nullptr, &mv, qlen, &n_a, &rep_len,
                                        &n_seed_pos, &seed_pos);
    kfree(km, mv.a);
    kfree(km, seed_pos);
    int n_u = 0;
    uint64_t *u = nullptr;
    anchors =
        nx_lchain_dp(opt->chain_max_gap, opt->chain_max_gap, opt->bw, opt->chain_skip_limit,
                     opt->chain_iter_limit, opt->chain_min_anchors, opt->chain_min_score,
                     (float)(opt->gap_cost_scale * 0.01 * f.mi->k), 0.0f, 0, 1, n_a, anchors, &n_u, &u, km);
    ls_reg *regs = ls_regions_from_chains(km, 12345u, qlen, n_u, u, anchors, 0);
    kfree(km, u);
    *n_regs = regs ? n_u : 0;
    ls_set_parent(km, opt->overlap_mask_level, opt->overlap_mask_len, *n_regs, regs,
                  2 * opt->match_score + opt->mismatch_penalty, 0, opt->alt_drop_fraction);
    ls_select_sub(km, opt->secondary_ratio, 2 * f.mi->k, opt->max_secondary, 1,
                  (int)(opt->chain_max_gap * 0.8), n_regs, regs);
    *a = anchors;
    return regs;
}

/* Aligns hand-made regions with ls_align_regions; anchors must be those of
 * the regions, in order. */
ls_reg *align_all(Fixture &f, const std::string &query, std::vector<ls_reg> in, std::vector<ls128> &a,
                  int *n) {
    ls_reg *regs = static_cast<ls_reg *>(calloc(in.size() + 1, sizeof(ls_reg)));
    for (size_t i = 0; i < in.size(); ++i) {
        regs[i] = in[i];
        regs[i].id = regs[i].parent = (int)i;
    }
    *n = (int)in.size();
    uint64_t before = f.in_use();
    regs = ls_align_regions(f.km, &f.opt, f.mi, (int)query.size(), query.c_str(), n, regs, a.data());
    EXPECT_EQ(f.in_use(), before) << "scratch not returned to the arena";
    return regs;
}

} // namespace

TEST(AlignRegionTest, ScoreMatrix) {
    ls_mapopt opt;
    ls_mapopt_defaults(&opt);
    int8_t mat[25];
    ls_align_score_matrix(&opt, mat);
    for (int i = 0; i < 5; ++i)
        for (int j = 0; j < 5; ++j) {
            int want = i == 4 || j == 4 ? -1 : i == j ? 2 : -4;
            EXPECT_EQ(mat[i * 5 + j], want) << i << "," << j;
        }
    opt.transition_penalty = 2; /* A/G and C/T cheaper than other mismatches */
    ls_align_score_matrix(&opt, mat);
    EXPECT_EQ(mat[0 * 5 + 2], -2);
    EXPECT_EQ(mat[2 * 5 + 0], -2);
    EXPECT_EQ(mat[1 * 5 + 3], -2);
    EXPECT_EQ(mat[3 * 5 + 1], -2);
    EXPECT_EQ(mat[0 * 5 + 1], -4);
    opt.transition_penalty = 4; /* equal to the mismatch penalty: no change */
    ls_align_score_matrix(&opt, mat);
    EXPECT_EQ(mat[0 * 5 + 2], -4);
}

TEST(AlignRegionTest, ZdropTest) {
    ls_mapopt opt;
    ls_mapopt_defaults(&opt);
    int8_t mat[25];
    ls_align_score_matrix(&opt, mat);
    km_arena *km = km_create();
    {
        /* 10 matches (score 20 at (9, 9)), 10 mismatches (down to -20 at
         * (19, 19)), 10 matches: the deepest fall is exactly 40 */
        std::vector<uint8_t> q(30, 0), t(30, 0);
        for (int i = 10; i < 20; ++i) t[i] = 1;
        uint32_t cig[] = {op(30, 'M')};
        opt.zdrop = 39;
        EXPECT_EQ(ls_zdrop_test(km, &opt, q.data(), t.data(), 1, cig, mat), 1);
        opt.zdrop = 40; /* a fall must exceed the threshold */
        EXPECT_EQ(ls_zdrop_test(km, &opt, q.data(), t.data(), 1, cig, mat), 0);
    }
    {
        /* gaps are charged q + e*l and the fall is corrected by e per base of
         * diagonal shift: 20 at (9, 9), then 3I gives 10 at (10, 13), then
         * 5 mismatches give -10 at (14, 17): z = 30 - 2 * 3 = 24 */
        std::vector<uint8_t> q(30, 0), t(30, 0);
        for (int i = 10; i < 15; ++i) t[i] = 2;
        uint32_t cig[] = {op(10, 'M'), op(3, 'I'), op(5, 'M')};
        opt.zdrop = 23;
        EXPECT_EQ(ls_zdrop_test(km, &opt, q.data(), t.data(), 3, cig, mat), 1);
        opt.zdrop = 24;
        EXPECT_EQ(ls_zdrop_test(km, &opt, q.data(), t.data(), 3, cig, mat), 0);
    }
    {
        /* an inverted middle piece: the fall lies between zdrop_inversion
         * and zdrop, and the piece aligns well reverse-complemented */
        ls_mapopt_defaults(&opt);
        lssim::Rng rng(7);
        std::string x = random_seq(rng, 100), v = random_seq(rng, 150), z = random_seq(rng, 100);
        QueryCodes qc(x + lssim::revcomp(v) + z), tc(x + v + z);
        uint32_t cig[] = {op(350, 'M')};
        EXPECT_EQ(ls_zdrop_test(km, &opt, qc.fwd.data(), tc.fwd.data(), 1, cig, mat), 2);
        opt.flag |= LS_F_FORWARD_ONLY; /* no inversions looked for: the fall is below zdrop */
        EXPECT_EQ(ls_zdrop_test(km, &opt, qc.fwd.data(), tc.fwd.data(), 1, cig, mat), 0);
        opt.flag = LS_F_SPLICE;
        EXPECT_EQ(ls_zdrop_test(km, &opt, qc.fwd.data(), tc.fwd.data(), 1, cig, mat), 0);
        /* the same piece not inverted but random: a plain drop */
        ls_mapopt_defaults(&opt);
        opt.zdrop = opt.zdrop_inversion;
        QueryCodes qr(x + random_seq(rng, 150) + z);
        EXPECT_EQ(ls_zdrop_test(km, &opt, qr.fwd.data(), tc.fwd.data(), 1, cig, mat), 1);
    }
    lstest::expect_all_freed_and_release(km);
}

TEST(AlignRegionTest, ZeroAnchorsAndExactMatches) {
    lssim::Rng rng(11);
    Fixture f({random_seq(rng, 6000)});
    const std::string &g = f.targets[0];
    {
        /* no anchors: nothing happens */
        std::vector<ls128> a = {anchor(0, 0, 100, 100, 15)};
        ls_reg r;
        memset(&r, 0, sizeof(r));
        r.qs = 3, r.qe = 4, r.rs = 5, r.re = 6;
        Aligned out;
        align_one(f, g.substr(0, 200), a, r, out);
        EXPECT_EQ(out.r.p, nullptr);
        EXPECT_EQ(out.r2.n_anchors, 0);
        EXPECT_EQ(out.r.qs, 3);
        EXPECT_EQ(out.r.re, 6);
    }
    for (int rev = 0; rev < 2; ++rev) {
        /* a whole read matching exactly: one M, the full score, both
         * extensions reaching the read's ends; a reverse read is aligned on
         * its reverse complement and mirrored back */
        std::string read = g.substr(1000, 2000);
        if (rev) read = lssim::revcomp(read);
        std::vector<ls128> a;
        add_diagonal(a, rev, 0, 1000, 0, 2000, 50);
        Aligned out;
        align_one(f, read, a, region_of(a, 2000), out);
        const ls_reg &r = out.r;
        ASSERT_NE(r.p, nullptr);
        EXPECT_EQ(cigar_of(r), std::vector<uint32_t>{op(2000, 'M')});
        EXPECT_EQ(r.p->aln_score, 4000);
        EXPECT_EQ(r.p->max_score, 4000);
        EXPECT_EQ(r.qs, 0);
        EXPECT_EQ(r.qe, 2000);
        EXPECT_EQ(r.rs, 1000);
        EXPECT_EQ(r.re, 3000);
        EXPECT_EQ(r.reverse, rev);
        EXPECT_EQ(out.r2.n_anchors, 0);
        check_alignment(f, read, r);
    }
    {
        /* a reverse read with 50 Ns after it: on the reverse complement they
         * come first, the left extension gains nothing over them, and the
         * interval mirrored back ends before them */
        std::string read = lssim::revcomp(g.substr(1000, 2000)) + std::string(50, 'N');
        std::vector<ls128> a;
        add_diagonal(a, 1, 0, 950, 50, 2050, 50);
        Aligned out;
        align_one(f, read, a, region_of(a, 2050), out);
        EXPECT_EQ(cigar_of(out.r), std::vector<uint32_t>{op(2000, 'M')});
        EXPECT_EQ(out.r.qs, 0);
        EXPECT_EQ(out.r.qe, 2000);
        EXPECT_EQ(out.r.rs, 1000);
        EXPECT_EQ(out.r.re, 3000);
        check_alignment(f, read, out.r);
    }
    {
        /* the first waypoint at target position 0: no left extension, the
         * 30 query bases before it stay unaligned */
        std::string read = random_seq(rng, 30) + g.substr(0, 400);
        std::vector<ls128> a = {anchor(0, 0, 7, 37, 8)};
        add_diagonal(a, 0, 0, -30, 80, 430, 50);
        Aligned out;
        align_one(f, read, a, region_of(a, (int)read.size()), out);
        const ls_reg &r = out.r;
        ASSERT_NE(r.p, nullptr);
        EXPECT_EQ(cigar_of(r), std::vector<uint32_t>{op(400, 'M')});
        EXPECT_EQ(r.p->aln_score, 800);
        EXPECT_EQ(r.qs, 30);
        EXPECT_EQ(r.rs, 0);
        EXPECT_EQ(r.qe, 430);
        EXPECT_EQ(r.re, 400);
        check_alignment(f, read, r);
    }
    {
        /* a 40-base insertion between anchors 300 bases apart: the
         * alignment carries it where the anchors place it, and the
         * statistics agree with the CIGAR */
        std::string read = g.substr(2000, 1000) + random_seq(rng, 40) + g.substr(3000, 1000);
        std::vector<ls128> a;
        add_diagonal(a, 0, 0, 2000, 0, 1000, 300);
        add_diagonal(a, 0, 0, 1960, 1040, 2040, 300);
        Aligned out;
        align_one(f, read, a, region_of(a, (int)read.size()), out);
        check_alignment(f, read, out.r);
        EXPECT_EQ(out.r.qs, 0);
        EXPECT_EQ(out.r.qe, 2040);
        EXPECT_EQ(out.r.rs, 2000);
        EXPECT_EQ(out.r.re, 4000);
        int n_ins = 0;
        for (uint32_t c : cigar_of(out.r)) n_ins += (c & 0xf) == kI ? (int)(c >> 4) : 0;
        EXPECT_EQ(n_ins, 40);
    }
}

TEST(AlignRegionTest, ShortReadUngappedShortcut) {
    lssim::Rng rng(5);
    Fixture f({random_seq(rng, 3000)});
    const std::string &g = f.targets[0];
    f.opt.flag |= LS_F_SHORT_READ;
    const int old_debug = ls_debug_flags;
    for (int n_mis : {2, 3}) {
        /* 150 bases on one diagonal: with 2 mismatches the sum (288) beats
         * (150 - 2) x 2 - 2 x (4 + 2) = 284 and no kernel runs at all; with 3
         * (282) the gap goes to the kernel */
        std::string read = g.substr(500, 150);
        for (int k = 0; k < n_mis; ++k) read[40 + 30 * k] = read[40 + 30 * k] == 'A' ? 'C' : 'A';
        std::vector<ls128> a = {anchor(0, 0, 514, 14, 15), anchor(0, 0, 580, 80, 15),
                                anchor(0, 0, 649, 149, 15)};
        ls_debug_flags = LS_DBG_ALIGN; /* every kernel call is traced */
        testing::internal::CaptureStderr();
        Aligned out;
        align_one(f, read, a, region_of(a, 150), out);
        std::string trace = testing::internal::GetCapturedStderr();
        ls_debug_flags = old_debug;
        const ls_reg &r = out.r;
        ASSERT_NE(r.p, nullptr);
        EXPECT_EQ(cigar_of(r), std::vector<uint32_t>{op(150, 'M')});
        EXPECT_EQ(r.p->aln_score, (150 - n_mis) * 2 - 4 * n_mis);
        EXPECT_EQ(r.qs, 0);
        EXPECT_EQ(r.qe, 150);
        EXPECT_EQ(r.rs, 500);
        EXPECT_EQ(r.re, 650);
        EXPECT_EQ(r.match_len, 150 - n_mis);
        if (n_mis == 2)
            EXPECT_EQ(trace, "");
        else
            EXPECT_NE(trace.find("===>"), std::string::npos);
        check_alignment(f, read, r);
    }
    {
        /* anchors on two diagonals: only the longest run guides the
         * alignment, and the read is still aligned end to end */
        std::string read = g.substr(1000, 60) + g.substr(1062, 90);
        std::vector<ls128> a = {anchor(0, 0, 1014, 14, 15), anchor(0, 0, 1074, 72, 15),
                                anchor(0, 0, 1120, 118, 15), anchor(0, 0, 1151, 149, 15)};
        Aligned out;
        align_one(f, read, a, region_of(a, 150), out);
        check_alignment(f, read, out.r);
        EXPECT_EQ(out.r.qe, 150);
        EXPECT_EQ(out.r.re, 1152);
    }
}

TEST(AlignRegionTest, SelfMappingStaysOffTheDiagonal) {
    /* five copies of a 600-base unit mapped against themselves, one copy
     * apart: without the bound the right extension runs to the query end;
     * with it, it stops one copy's distance past the chain */
    lssim::Rng rng(3);
    std::string unit = random_seq(rng, 600), s;
    for (int k = 0; k < 5; ++k) s += unit;
    Fixture f({s});
    for (int self = 0; self < 2; ++self) {
        std::vector<ls128> a;
        add_diagonal(a, 0, 0, -600, 600, 1800, 100);
        if (self)
            for (auto &x : a) x.y |= LS_ANCHOR_SELF;
        const ls_reg chain = region_of(a, 3000);
        Aligned out;
        align_one(f, s, a, chain, out);
        check_alignment(f, s, out.r);
        EXPECT_EQ(out.r.qs, 600);
        EXPECT_EQ(out.r.rs, 0);
        EXPECT_EQ(out.r.qe, self ? chain.qe + 600 : 3000);
        EXPECT_EQ(out.r.re, self ? chain.re + 600 : 2400);
    }
}

TEST(AlignRegionTest, ZdropSplit) {
    /* target X | Y | Z, query X | W | Z with W unrelated to Y: the DP across
     * W collapses, the region ends after X and Z's anchors come back as a
     * remainder when there are enough of them */
    lssim::Rng rng(21);
    std::string x = random_seq(rng, 2000), y = random_seq(rng, 1000), z = random_seq(rng, 2000);
    std::string w = random_seq(rng, 1000);
    Fixture f({x + y + z});
    const std::string read = x + w + z;
    for (int n_z : {20, 2}) {
        std::vector<ls128> a;
        add_diagonal(a, 0, 0, 0, 0, 2000, 100);
        const int n_x = (int)a.size();
        add_diagonal(a, 0, 0, 0, 3000, 3000 + 100 * n_z, 100);
        ls_reg r = region_of(a, 5000);
        r.id = r.parent = 0;
        Aligned out;
        align_one(f, read, a, r, out);
        check_alignment(f, read, out.r);
        EXPECT_EQ(out.r.qs, 0);
        EXPECT_GE(out.r.qe, 1990);
        EXPECT_LE(out.r.qe, 2020);
        EXPECT_EQ(out.r.qe - out.r.qs, out.r.re - out.r.rs);
        if (n_z >= f.opt.chain_min_anchors) {
            EXPECT_EQ(out.r.zdrop_split, 1);
            EXPECT_EQ(out.r.n_anchors, n_x);
            ASSERT_EQ(out.r2.n_anchors, n_z);
            EXPECT_EQ(out.r2.anchor_start, n_x);
            EXPECT_EQ(out.r2.zdrop_split, 2);
            EXPECT_EQ(out.r2.parent, -2);
            EXPECT_EQ(out.r2.split_at_inversion, 0);
            EXPECT_EQ(out.r2.p, nullptr);
            EXPECT_EQ(out.r2.qs, 3000);
        } else {
            EXPECT_EQ(out.r2.n_anchors, 0);
            EXPECT_EQ(out.r.zdrop_split, 0);
        }
    }
}

TEST(AlignRegionTest, AlignRegionsSplitsAndInversions) {
    lssim::Rng rng(33);
    std::string x = random_seq(rng, 2000), v = random_seq(rng, 600), z = random_seq(rng, 2000);
    std::string y1 = random_seq(rng, 1000), y2 = random_seq(rng, 1000), tail = random_seq(rng, 1500);
    Fixture f({x + v + z, x + y1 + z + y2 + tail});
    {
        /* a query with no regions */
        int n = 0;
        std::vector<ls128> a;
        ls_reg *regs = align_all(f, x, {}, a, &n);
        EXPECT_EQ(n, 0);
        free_regions(n, regs);
    }
    {
        /* query X | rc(V) | Z on X | V | Z: the region is cut in the
         * inverted piece, the remainder is aligned next and the inversion
         * between the two pieces is found */
        const std::string read = x + lssim::revcomp(v) + z;
        std::vector<ls128> a;
        add_diagonal(a, 0, 0, 0, 0, 2000, 100);
        add_diagonal(a, 0, 0, 0, 2600, 4600, 100);
        int n = 0;
        ls_reg *regs = align_all(f, read, {region_of(a, 4600)}, a, &n);
        ASSERT_EQ(n, 3);
        int n_inv = 0;
        for (int i = 0; i < n; ++i) {
            const ls_reg &r = regs[i];
            check_alignment(f, read, r);
            if (r.inverted) {
                ++n_inv;
                EXPECT_EQ(r.reverse, 1);
                EXPECT_EQ(r.n_anchors, 0);
                EXPECT_EQ(r.qe - r.qs, r.re - r.rs);
                EXPECT_NEAR(r.qs, 2000, 20);
                EXPECT_NEAR(r.qe, 2600, 20);
                /* query [qs, qe) reverse-complemented is target [4600 - qe, 4600 - qs) */
                EXPECT_EQ(r.rs, 4600 - r.qe);
                EXPECT_EQ(r.re, 4600 - r.qs);
            } else if (r.zdrop_split == 1) {
                EXPECT_EQ(r.qs, 0);
                EXPECT_NEAR(r.qe, 2000, 20);
            } else {
                EXPECT_EQ(r.zdrop_split, 2);
                EXPECT_NEAR(r.qs, 2600, 20);
                EXPECT_EQ(r.qe, 4600);
            }
        }
        EXPECT_EQ(n_inv, 1);
        free_regions(n, regs);

        /* the same with inversions switched off: only the two pieces */
        f.opt.flag |= LS_F_NO_INVERSION;
        std::vector<ls128> a2;
        add_diagonal(a2, 0, 0, 0, 0, 2000, 100);
        add_diagonal(a2, 0, 0, 0, 2600, 4600, 100);
        regs = align_all(f, read, {region_of(a2, 4600)}, a2, &n);
        EXPECT_EQ(n, 2);
        for (int i = 0; i < n; ++i) EXPECT_EQ(regs[i].inverted, 0);
        free_regions(n, regs);
        f.opt.flag &= ~LS_F_NO_INVERSION;
    }
    {
        /* three pieces from one region: query X | W1 | Z | W2 | tail on
         * target 1 = X | Y1 | Z | Y2 | tail; each remainder is split again,
         * and every piece ends up aligned; a soft-deleted region (no anchors)
         * disappears */
        const std::string read = x + random_seq(rng, 1000) + z + random_seq(rng, 1000) + tail;
        std::vector<ls128> a;
        add_diagonal(a, 0, 1, 0, 0, 2000, 100);
        add_diagonal(a, 0, 1, 0, 3000, 5000, 100);
        add_diagonal(a, 0, 1, 0, 6000, 7500, 100);
        ls_reg empty;
        memset(&empty, 0, sizeof(empty));
        empty.anchor_start = (int)a.size();
        int n = 0;
        ls_reg *regs = align_all(f, read, {region_of(a, 7500), empty}, a, &n);
        ASSERT_EQ(n, 3);
        std::vector<int> starts;
        for (int i = 0; i < n; ++i) {
            check_alignment(f, read, regs[i]);
            EXPECT_EQ(regs[i].target_id, 1);
            starts.push_back(regs[i].qs);
        }
        std::sort(starts.begin(), starts.end());
        EXPECT_EQ(starts[0], 0);
        EXPECT_NEAR(starts[1], 3000, 20);
        EXPECT_NEAR(starts[2], 6000, 20);
        /* ranked by score: the longest pieces first */
        for (int i = 1; i < n; ++i) EXPECT_GE(regs[i - 1].p->max_score, regs[i].p->max_score);
        free_regions(n, regs);
    }
}

TEST(AlignRegionTest, KernelsThatRefuse) {
    /* DP problems refused for their size, or by a kernel that declines a
     * mismatch penalty beyond twice a gap's cost, end the alignment where
     * they occur; the pieces are too short to survive the filter, and
     * nothing breaks on the way */
    lssim::Rng rng(13);
    Fixture f({random_seq(rng, 5000)});
    const std::string read = f.targets[0].substr(1000, 2000);
    for (int refusal = 0; refusal < 2; ++refusal) {
        if (refusal == 0)
            f.opt.max_dp_cells = 100;
        else
            f.opt.mismatch_penalty = 20;
        std::vector<ls128> a;
        add_diagonal(a, 0, 0, 1000, 0, 2000, 50);
        int n = -1;
        ls_reg *regs = align_all(f, read, {region_of(a, 2000)}, a, &n);
        EXPECT_EQ(n, 0);
        free_regions(n, regs);
        ls_mapopt_defaults(&f.opt);
        f.opt.flag |= LS_F_BASE_ALIGN;
        ls_mapopt_update(&f.opt, f.mi);
    }
}

TEST(AlignRegionTest, RegionWithoutOperations) {
    /* a one-anchor region in a run of Ns aligns nothing; with a minimum of
     * one anchor per region it still must not reach the ranking without an
     * ls_extra, beside an aligned region: it is given an empty one and then
     * fails the matching-bases limit */
    lssim::Rng rng(17);
    Fixture f({random_seq(rng, 5000)});
    f.opt.chain_min_anchors = 1;
    const std::string read = f.targets[0].substr(1000, 2000) + std::string(100, 'N');
    std::vector<ls128> a;
    add_diagonal(a, 0, 0, 1000, 0, 2000, 50);
    ls_reg good = region_of(a, 2100);
    a.push_back(anchor(0, 0, 4050, 2050, 15));
    ls_reg lone;
    memset(&lone, 0, sizeof(lone));
    lone.n_anchors = 1;
    lone.anchor_start = (int)a.size() - 1;
    ls_reg_set_coords(&lone, 2100, a.data(), 0);
    {
        Aligned out;
        align_one(f, read, a, lone, out);
        EXPECT_EQ(out.r.p, nullptr);
    }
    int n = 0;
    ls_reg *regs = align_all(f, read, {good, lone}, a, &n);
    ASSERT_EQ(n, 1);
    EXPECT_EQ(regs[0].qs, 0);
    EXPECT_EQ(regs[0].qe, 2000);
    check_alignment(f, read, regs[0]);
    free_regions(n, regs);
}

TEST(AlignRegionTest, InversionPreconditions) {
    lssim::Rng rng(9);
    std::string x = random_seq(rng, 1000), v = random_seq(rng, 200), z = random_seq(rng, 1000);
    Fixture f({x + v + z});
    const std::string read = x + lssim::revcomp(v) + z;
    QueryCodes qc(read);
    auto piece = [](int qs, int qe, int zd, int id, int parent) {
        ls_reg r;
        memset(&r, 0, sizeof(r));
        r.qs = r.rs = qs, r.qe = r.re = qe;
        r.zdrop_split = zd;
        r.id = id, r.parent = parent;
        return r;
    };
    dpx_extz ez;
    memset(&ez, 0, sizeof(ez));
    ls_reg inv;
    {
        ls_reg r1 = piece(0, 1000, 1, 0, 0), r2 = piece(1200, 2200, 2, 1, -2);
        ASSERT_EQ(ls_align_inversion(f.km, &f.opt, f.mi, 2200, qc.qseq, &r1, &r2, &inv, &ez), 1);
        EXPECT_EQ(inv.inverted, 1);
        EXPECT_EQ(inv.reverse, 1);
        EXPECT_EQ(inv.id, -1);
        EXPECT_EQ(inv.parent, -1);
        EXPECT_EQ(inv.qs, 1000);
        EXPECT_EQ(inv.qe, 1200);
        EXPECT_EQ(inv.rs, 1000);
        EXPECT_EQ(inv.re, 1200);
        EXPECT_EQ(cigar_of(inv), std::vector<uint32_t>{op(200, 'M')});
        EXPECT_EQ(inv.p->aln_score, 400);
        check_alignment(f, read, inv);
        free(inv.p);
    }
    struct Case {
        ls_reg r1, r2;
        const char *why;
    } cases[] = {
        {piece(0, 1000, 0, 0, 0), piece(1200, 2200, 2, 1, -2), "r1 not cut by a drop"},
        {piece(0, 1000, 1, 0, 0), piece(1200, 2200, 1, 1, -2), "r2 not a continuation"},
        {piece(0, 1000, 1, 0, 3), piece(1200, 2200, 2, 1, -2), "r1 a secondary"},
        {piece(0, 1000, 1, 0, 0), piece(1200, 2200, 2, 1, 0), "r2 a secondary"},
        {piece(0, 1170, 1, 0, 0), piece(1200, 2200, 2, 1, -2), "query gap of 30 < chain_min_score"},
    };
    for (const Case &c : cases) {
        inv.qs = 99;
        EXPECT_EQ(ls_align_inversion(f.km, &f.opt, f.mi, 2200, qc.qseq, &c.r1, &c.r2, &inv, &ez), 0) << c.why;
        EXPECT_EQ(inv.p, nullptr) << c.why;
        EXPECT_EQ(inv.qs, 0) << c.why;
    }
    kfree(f.km, ez.cigar);
    EXPECT_EQ(f.in_use(), f.base);
}

TEST(AlignRegionTest, SimulatedReadsAlignConsistently) {
    /* reads with substitutions and indels through seeding, chaining and
     * alignment: every aligned region's CIGAR covers exactly its intervals
     * and gives its statistics, and the best region lies on the read's
     * origin */
    lssim::GenomeParams gp;
    gp.total_len = 200000;
    gp.n_contigs = 2;
    gp.repeats = 2;
    gp.repeat_len = 1500;
    lssim::Genome g;
    std::string err;
    ASSERT_TRUE(lssim::make_genome(gp, 77, g, &err)) << err;
    lssim::ReadParams rp;
    rp.n_reads = 24;
    rp.mean_len = 3000, rp.sd_len = 800, rp.min_len = 300, rp.max_len = 6000;
    rp.sub_rate = 0.03, rp.ins_rate = 0.01, rp.del_rate = 0.01;
    std::vector<lssim::Read> reads;
    ASSERT_TRUE(lssim::make_reads(g.contigs, {}, rp, 78, reads, &err)) << err;
    std::vector<std::string> seqs;
    for (const auto &c : g.contigs) seqs.push_back(c.seq);
    Fixture f(seqs);
    int n_on_truth = 0, n_aligned = 0;
    for (const auto &rd : reads) {
        lssim::Truth truth;
        ASSERT_TRUE(lssim::parse_truth(rd.name, truth));
        int n = 0;
        ls128 *a = nullptr;
        ls_reg *regs = chain_regions(f, rd.seq, &n, &a);
        regs = ls_align_regions(f.km, &f.opt, f.mi, (int)rd.seq.size(), rd.seq.c_str(), &n, regs, a);
        kfree(f.km, a);
        for (int i = 0; i < n; ++i) {
            SCOPED_TRACE(rd.name);
            check_alignment(f, rd.seq, regs[i]);
        }
        if (n > 0) {
            ++n_aligned;
            const ls_reg &r = regs[0];
            const std::string &tname = g.contigs[r.target_id].name;
            if (tname == truth.contig && r.rs < (int64_t)truth.end && r.re > (int64_t)truth.start &&
                r.reverse == (truth.strand == '-'))
                ++n_on_truth;
        }
        free_regions(n, regs);
    }
    EXPECT_EQ(n_aligned, (int)reads.size());
    EXPECT_GE(n_on_truth, (int)reads.size() - 2);
    EXPECT_EQ(f.in_use(), f.base);
}
