// Splice-jump refinement: hand-made regions against hand-made junction
// lists, and transcripts with a short first or last exon mapped end to end.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "map/regions.h"
#include "align/splice_jump.h"
#include "lodestar.h"
#include "sim.h"
#include "testutil.h"

namespace {

using lssim::revcomp;
using lstest::cigar_str;
using lstest::Gene;

std::string random_genome(int len, unsigned seed) {
    std::mt19937 rng(seed);
    return lstest::random_dna(rng, len);
}

// A BED12 transcript of two 50-base exons around the intron [s, e).
std::string intron_bed(int s, int e, char strand = '+') {
    const int st = s - 50, en = e + 50;
    return "chr\t" + std::to_string(st) + "\t" + std::to_string(en) + "\ttx\t0\t" + strand + "\t" +
           std::to_string(st) + "\t" + std::to_string(en) + "\t0\t2\t50,50,\t0," + std::to_string(e - st) +
           ",\n";
}

// An index of one target "chr" with the given BED12 files read as jump lists,
// each with its flag value.
struct Env {
    lstest::TempDir dir;
    ls_idx *mi = nullptr;
    ls_mapopt mo;
    Env(const std::string &g, const std::vector<std::pair<std::string, int>> &beds) {
        const char *seqs[] = {g.c_str()};
        const char *names[] = {"chr"};
        mi = ls_idx_str(10, 15, 0, 10, 1, seqs, names);
        for (size_t i = 0; i < beds.size(); ++i) {
            const std::string path = dir.file("j" + std::to_string(i) + ".bed");
            lstest::write_file(path, beds[i].first);
            EXPECT_EQ(ls_idx_jjump_read(mi, path.c_str(), beds[i].second, -1), 0);
        }
        ls_mapopt_defaults(&mo);
    }
    ~Env() { ls_idx_destroy(mi); }
};

// A forward-strand aligned region with one M operation; scores 2 per base.
ls_reg make_region(int qs, int qe, int rs, int re, int rev, const std::vector<uint32_t> &cigar) {
    ls_reg r;
    memset(&r, 0, sizeof(r));
    r.qs = qs, r.qe = qe, r.rs = rs, r.re = re, r.reverse = rev;
    r.match_len = r.block_len = re - rs;
    ls_extra_reserve(&r, cigar.empty() ? 1 : (int)cigar.size());
    for (size_t i = 0; i < cigar.size(); ++i) r.p->cigar[i] = cigar[i];
    r.p->n_cigar = (uint32_t)cigar.size();
    r.p->max_score = r.p->raw_max_score = r.p->aln_score = 2 * (re - rs);
    return r;
}

uint32_t M(int len) {
    return (uint32_t)len << 4 | LS_CIGAR_MATCH;
}

// Runs the refinement on a region and returns it (its p freed by the caller).
struct Refined {
    ls_reg r;
    Refined(Env &env, const std::string &q, ls_reg r0, int hint = 0) : r(r0) {
        km_arena *km = km_create();
        ls_jump_split(km, env.mi, &env.mo, (int)q.size(), q.c_str(), &r, hint);
        lstest::expect_all_freed_and_release(km);
    }
    ~Refined() { free(r.p); }
};

// Intron [500, 800) throughout; the genome is random with a fixed seed.
constexpr int kIs = 500, kIe = 800;

TEST(Jump, ClippedStartCrossesAnnotatedJunctionOnBothStrands) {
    const std::string g = random_genome(3000, 7);
    Env env(g, {{intron_bed(kIs, kIe), 1}});
    ASSERT_NE(env.mi, nullptr);
    const std::string fwd = g.substr(495, 5) + g.substr(800, 200);
    for (int rev = 0; rev < 2; ++rev) {
        SCOPED_TRACE(rev ? "reverse" : "forward");
        const std::string q = rev ? revcomp(fwd) : fwd;
        // The 5 clipped bases sit on the left of the target in both cases.
        auto fresh = [rev] {
            return rev ? make_region(0, 200, 800, 1000, 1, {M(200)})
                       : make_region(5, 205, 800, 1000, 0, {M(200)});
        };
        {
            Refined run(env, q, fresh());
            EXPECT_EQ(cigar_str(run.r.p), "5M300N200M");
            EXPECT_EQ(run.r.rs, 495);
            EXPECT_EQ(run.r.re, 1000);
            EXPECT_EQ(run.r.qs, 0);
            EXPECT_EQ(run.r.qe, 205);
            EXPECT_EQ(run.r.match_len, 205);
            EXPECT_EQ(run.r.block_len, 205);
            EXPECT_EQ(run.r.p->raw_max_score, 410);
            EXPECT_EQ(run.r.p->max_score, 419); // + 6 + 3 for the first intron
            EXPECT_EQ(run.r.spliced, 1u);
        }
        {
            // Already spliced: no bonus. A hint of the junction's strand keeps it.
            ls_reg r1 = fresh();
            r1.spliced = 1;
            Refined run(env, q, r1, 1);
            EXPECT_EQ(cigar_str(run.r.p), "5M300N200M");
            EXPECT_EQ(run.r.p->max_score, 410);
        }
        {
            // A hint of the other strand passes the junction over.
            Refined run(env, q, fresh(), -1);
            EXPECT_EQ(cigar_str(run.r.p), "200M");
            EXPECT_EQ(run.r.rs, 800);
        }
        // One mismatch among the clipped bases: the new exon piece must match.
        std::string bad = fwd;
        bad[2] = bad[2] == 'A' ? 'C' : 'A';
        {
            Refined run(env, rev ? revcomp(bad) : bad, fresh());
            EXPECT_EQ(cigar_str(run.r.p), "200M");
            EXPECT_EQ(run.r.rs, 800);
            EXPECT_EQ(run.r.qs, rev ? 0 : 5);
            EXPECT_EQ(run.r.p->max_score, 400);
            EXPECT_EQ(run.r.spliced, 0u);
        }
    }
}

TEST(Jump, ClippedEndCrossesAnnotatedJunctionOnBothStrands) {
    const std::string g = random_genome(3000, 7);
    Env env(g, {{intron_bed(kIs, kIe, '-'), 1}});
    const std::string fwd = g.substr(300, 200) + g.substr(800, 5);
    for (int rev = 0; rev < 2; ++rev) {
        SCOPED_TRACE(rev ? "reverse" : "forward");
        const std::string q = rev ? revcomp(fwd) : fwd;
        ls_reg r0 =
            rev ? make_region(5, 205, 300, 500, 1, {M(200)}) : make_region(0, 200, 300, 500, 0, {M(200)});
        {
            Refined run(env, q, r0, -1);
            EXPECT_EQ(cigar_str(run.r.p), "200M300N5M");
            EXPECT_EQ(run.r.rs, 300);
            EXPECT_EQ(run.r.re, 805);
            EXPECT_EQ(run.r.qs, 0);
            EXPECT_EQ(run.r.qe, 205);
            EXPECT_EQ(run.r.block_len, 205);
            EXPECT_EQ(run.r.p->max_score, 419);
        }
    }
}

TEST(Jump, EndsOffTheJunctionAreMovedOntoIt) {
    std::string g = random_genome(3000, 7);
    g[799] = g[499]; // lets an aligner run one base into the intron
    Env env(g, {{intron_bed(kIs, kIe), 1}});
    const std::string q = g.substr(495, 5) + g.substr(800, 200);
    {
        // Alignment reaching one base into the intron: diff = +1.
        Refined run(env, q, make_region(4, 205, 799, 1000, 0, {M(201)}));
        EXPECT_EQ(cigar_str(run.r.p), "5M300N200M");
        EXPECT_EQ(run.r.rs, 495);
        EXPECT_EQ(run.r.qs, 0);
        EXPECT_EQ(run.r.block_len, 201 + 4);
        EXPECT_EQ(run.r.p->raw_max_score, 402 + 8);
    }
    {
        // Alignment stopping two bases short of the exon start: diff = -2.
        Refined run(env, q, make_region(7, 205, 802, 1000, 0, {M(198)}));
        EXPECT_EQ(cigar_str(run.r.p), "5M300N200M");
        EXPECT_EQ(run.r.rs, 495);
        EXPECT_EQ(run.r.qs, 0);
        EXPECT_EQ(run.r.match_len, 198 + 7);
        EXPECT_EQ(run.r.p->raw_max_score, 396 + 14);
    }
    {
        // The same with one mismatch in the part beside the old alignment:
        // tolerated, and charged.
        std::string q1 = q;
        q1[5] = q1[5] == 'A' ? 'C' : 'A';
        Refined run(env, q1, make_region(7, 205, 802, 1000, 0, {M(198)}));
        EXPECT_EQ(cigar_str(run.r.p), "5M300N200M");
        EXPECT_EQ(run.r.match_len, 198 + 6);
        EXPECT_EQ(run.r.block_len, 198 + 7);
        EXPECT_EQ(run.r.p->raw_max_score, 396 + 6 * 2 - 4);
        EXPECT_EQ(run.r.p->max_score, 396 + 8 + 9);
    }
}

TEST(Jump, AmbiguityAndAnnotationDecide) {
    // A second intron [600, 802) that fits the same read: the 7 bases before
    // 600 repeat the 5 bases before 500 and the first 2 of the exon at 800.
    std::string g = random_genome(3000, 7);
    const std::string pre = g.substr(495, 5) + g.substr(800, 2);
    g.replace(593, 7, pre);
    const std::string q = g.substr(495, 5) + g.substr(800, 200);
    auto region = [] { return make_region(5, 205, 800, 1000, 0, {M(200)}); };
    {
        // Both annotated: no intron, but the alignment stops at the later one.
        Env env(g, {{intron_bed(kIs, kIe) + intron_bed(600, 802), 1}});
        Refined run(env, q, region());
        EXPECT_EQ(cigar_str(run.r.p), "198M");
        EXPECT_EQ(run.r.rs, 802);
        EXPECT_EQ(run.r.qs, 7);
        EXPECT_EQ(run.r.p->max_score, 400);
        EXPECT_EQ(run.r.spliced, 0u);
    }
    {
        // Only [600, 802) annotated: it wins over the other one.
        Env env(g, {{intron_bed(600, 802), 1}, {intron_bed(kIs, kIe), 0}});
        Refined run(env, q, region());
        EXPECT_EQ(cigar_str(run.r.p), "7M202N198M");
        EXPECT_EQ(run.r.rs, 593);
        EXPECT_EQ(run.r.qs, 0);
        EXPECT_EQ(run.r.block_len, 205);
    }
    {
        Env env(g, {{intron_bed(kIs, kIe), 1}, {intron_bed(600, 802), 0}});
        Refined run(env, q, region());
        EXPECT_EQ(cigar_str(run.r.p), "5M300N200M");
        EXPECT_EQ(run.r.rs, 495);
    }
    {
        // Neither annotated: ambiguous again.
        Env env(g, {{intron_bed(kIs, kIe) + intron_bed(600, 802), 0}});
        Refined run(env, q, region());
        EXPECT_EQ(cigar_str(run.r.p), "198M");
    }
}

TEST(Jump, RegionsThatCannotBeRefinedStayUnchanged) {
    const std::string g = random_genome(3000, 7);
    Env env(g, {{intron_bed(kIs, kIe), 1}});
    {
        // One clipped base: e = 1 is below jump_min_matches (3).
        const std::string q = g.substr(499, 1) + g.substr(800, 200);
        Refined run(env, q, make_region(1, 201, 800, 1000, 0, {M(200)}));
        EXPECT_EQ(cigar_str(run.r.p), "200M");
        EXPECT_EQ(run.r.qs, 1);
        EXPECT_EQ(run.r.rs, 800);
    }
    const std::string q = g.substr(495, 5) + g.substr(800, 200);
    {
        // The first M must be longer than ext + 20 = 24 bases.
        Refined run(env, q, make_region(5, 205, 800, 1000, 0, {M(24), 1u << 4 | LS_CIGAR_DEL, M(175)}));
        EXPECT_EQ(cigar_str(run.r.p), "24M1D175M");
        EXPECT_EQ(run.r.rs, 800);
    }
    {
        Refined run(env, q, make_region(5, 205, 800, 1000, 0, {M(25), 1u << 4 | LS_CIGAR_DEL, M(174)}));
        EXPECT_EQ(cigar_str(run.r.p), "5M300N25M1D174M");
    }
    {
        Refined run(env, q, make_region(5, 205, 799, 1000, 0, {1u << 4 | LS_CIGAR_DEL, M(200)}));
        EXPECT_EQ(cigar_str(run.r.p), "1D200M");
    }
    {
        // No alignment detail, or an empty CIGAR.
        ls_reg r = make_region(5, 205, 800, 1000, 0, {});
        Refined run(env, q, r);
        EXPECT_EQ(run.r.p->n_cigar, 0u);
        EXPECT_EQ(run.r.rs, 800);
        ls_reg bare = r;
        bare.p = nullptr;
        km_arena *km = km_create();
        ls_jump_split(km, env.mi, &env.mo, (int)q.size(), q.c_str(), &bare, 0);
        km_release(km);
        EXPECT_EQ(bare.p, nullptr);
        EXPECT_EQ(bare.qs, 5);
    }
}

TEST(JumpDeathTest, EqxCigarsAbort) {
    const std::string g = random_genome(3000, 7);
    Env env(g, {{intron_bed(kIs, kIe), 1}});
    env.mo.flag |= LS_F_EQX;
    const std::string q = g.substr(495, 5) + g.substr(800, 200);
    ls_reg r = make_region(5, 205, 800, 1000, 0, {M(200)});
    EXPECT_DEATH(ls_jump_split(nullptr, env.mi, &env.mo, (int)q.size(), q.c_str(), &r, 0),
                 "opt->flag & LS_F_EQX\\) == 0");
    free(r.p);
}

// ---- end to end ----

std::string gene_bed(const Gene &gene) {
    const int st = gene.exons.front().first, en = gene.exons.back().second;
    std::string sizes, starts;
    for (auto &ex : gene.exons) {
        sizes += std::to_string(ex.second - ex.first) + ",";
        starts += std::to_string(ex.first - st) + ",";
    }
    return "chr\t" + std::to_string(st) + "\t" + std::to_string(en) + "\ttx\t0\t+\t" + std::to_string(st) +
           "\t" + std::to_string(en) + "\t0\t" + std::to_string(gene.exons.size()) + "\t" + sizes + "\t" +
           starts + "\n";
}

TEST(Jump, ShortTerminalExonsAttachThroughMapping) {
    std::string g = random_genome(60000, 11);
    // Terminal exons of 9 and 10 bases: shorter than a seed.
    const std::vector<Gene> genes = {
        {{{10000, 10010}, {11000, 11400}, {13000, 13500}}},
        {{{30000, 30400}, {31500, 32000}, {33000, 33009}}},
    };
    std::string bed;
    for (const auto &gene : genes) lstest::plant_introns(g, gene), bed += gene_bed(gene);

    ls_idxopt io;
    ls_mapopt mo;
    ASSERT_EQ(ls_opt_preset(nullptr, &io, &mo), 0);
    ASSERT_EQ(ls_opt_preset("splice", &io, &mo), 0);
    mo.flag |= LS_F_BASE_ALIGN;
    const char *seqs[] = {g.c_str()};
    const char *names[] = {"chr"};
    ls_idx *mi = ls_idx_str(io.w, io.k, 0, io.bucket_bits, 1, seqs, names);
    ASSERT_NE(mi, nullptr);
    lstest::TempDir dir;
    lstest::write_file(dir.file("j.bed"), bed);
    ASSERT_EQ(ls_idx_jjump_read(mi, dir.file("j.bed").c_str(), 1, -1), 0);
    ls_mapopt_update(&mo, mi);
    ASSERT_EQ(ls_opt_check(&io, &mo), 0);
    ls_tbuf *b = ls_tbuf_init();

    for (size_t gi = 0; gi < genes.size(); ++gi) {
        const Gene &gene = genes[gi];
        std::vector<int> want;
        for (size_t i = 0; i + 1 < gene.exons.size(); ++i)
            want.push_back(gene.exons[i + 1].first - gene.exons[i].second);
        const std::string fwd = lstest::transcript(g, gene);
        for (int strand = 0; strand < 2; ++strand) {
            SCOPED_TRACE("gene " + std::to_string(gi) + (strand ? " reverse" : " forward"));
            const std::string q = strand ? revcomp(fwd) : fwd;
            int n = 0;
            ls_reg *r = ls_map(mi, (int)q.size(), q.c_str(), &n, b, &mo, nullptr);
            ASSERT_GE(n, 1);
            EXPECT_EQ(r[0].reverse, strand);
            EXPECT_EQ(r[0].rs, gene.exons.front().first);
            EXPECT_EQ(r[0].re, gene.exons.back().second);
            EXPECT_EQ(r[0].qs, 0);
            EXPECT_EQ(r[0].qe, (int)q.size());
            EXPECT_EQ(lstest::introns_of(r[0]), want);
            EXPECT_TRUE(r[0].spliced);
            lstest::free_regions(n, r);
        }
    }
    // CIGARs with = and X are left as aligned rather than rewritten.
    mo.flag |= LS_F_EQX;
    const std::string q = g.substr(10000, 10) + g.substr(11000, 400) + g.substr(13000, 500);
    int n = 0;
    ls_reg *r = ls_map(mi, (int)q.size(), q.c_str(), &n, b, &mo, nullptr);
    ASSERT_GE(n, 1);
    EXPECT_EQ(r[0].re, 13500);
    lstest::free_regions(n, r);
    ls_tbuf_destroy(b);
    ls_idx_destroy(mi);
}

} // namespace
