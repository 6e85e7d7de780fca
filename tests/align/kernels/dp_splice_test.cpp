#include "align/kernels/dp_kernel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/arena.h"
#include "dp_reference_splice.h"
#include "testutil.h"

namespace {

using lstest::encode;
using lstest::make_matrix;
using lstest::Seq;

using dpxref::cigar_str;

/* Splice parameters as the options hand them over. */
struct Params {
    int q, e, q2, noncan, jbonus, jpen;
};
const Params kSplice = {2, 1, 32, 9, 9, 5};

/* One kernel call with a fresh record. */
struct Call {
    dpx_extz ez;
    km_arena *km;
    explicit Call(km_arena *arena = nullptr) : km(arena) {
        ez = dpx_extz(), ez.cigar = nullptr, ez.cigar_cap = 0;
    }
    ~Call() { kfree(km, ez.cigar); }
    Call(const Call &) = delete;
    Call &operator=(const Call &) = delete;
    void run(const Params &p, const Seq &qs, const Seq &ts, const std::vector<int8_t> &mat, int zdrop,
             int end_bonus, int flag, const uint8_t *marks = nullptr, int n_symbols = 5) {
        dpx_exts2(km, (int)qs.size(), qs.data(), (int)ts.size(), ts.data(), (int8_t)n_symbols, mat.data(),
                      (int8_t)p.q, (int8_t)p.e, (int8_t)p.q2, (int8_t)p.noncan, zdrop, end_bonus,
                      (int8_t)p.jbonus, (int8_t)p.jpen, flag, marks, &ez);
    }
    std::string cigar() const { return cigar_str(ez.cigar, ez.n_cigar); }
};

::testing::AssertionResult same_as_ref(const dpx_extz &ez, const dpxref::Result &ref) {
    const std::string diff = dpxref::differences(ez, ref);
    if (diff.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << diff;
}

struct Gen : lstest::SeqGen {
    using SeqGen::SeqGen;
    Seq mutate(const Seq &src, double div) {
        Seq out;
        for (size_t i = 0; i < src.size(); ++i) {
            double x = real();
            if (x < div * 0.6) {
                out.push_back((uint8_t)((src[i] + uni(1, 3)) & 3));
            } else if (x < div * 0.8) {
                for (int k = uni(1, 4); k > 0; --k) out.push_back((uint8_t)uni(0, 3));
                out.push_back(src[i]);
            } else if (x < div) {
                i += uni(0, 3);
            } else {
                out.push_back(src[i]);
            }
        }
        return out;
    }
    int length() {
        static const int edges[] = {1, 2, 3, 4, 5, 6, 15, 16, 17, 31, 32, 33, 47, 48, 49, 63, 64, 65};
        double x = real();
        if (x < 0.3) return edges[uni(0, (int)(sizeof(edges) / sizeof(edges[0])) - 1)];
        if (x < 0.97) return uni(1, 250);
        return uni(250, 2000);
    }
    /* An intron with motif ends: forward GT..AG-like or reverse CT..AC-like,
     * now and then a minor or no motif. */
    Seq intron(int len) {
        static const char *fwd_ends[][2] = {{"GTA", "CAG"}, {"GTG", "TAG"}, {"GTC", "GAG"}, {"GCA", "TAG"},
                                            {"ATA", "TAC"}, {"CTA", "TAC"}, {"CTG", "CAC"}, {"GTA", "TGC"},
                                            {"CTT", "GAT"}, {"AAA", "AAA"}};
        const auto &ends = fwd_ends[uni(0, 9)];
        Seq s = encode(ends[0]), mid = random_seq(std::max(len - 6, 0)), tail = encode(ends[1]);
        s.insert(s.end(), mid.begin(), mid.end());
        s.insert(s.end(), tail.begin(), tail.end());
        return s;
    }
};

Seq cat(std::initializer_list<Seq> parts) {
    Seq s;
    for (const Seq &p : parts) s.insert(s.end(), p.begin(), p.end());
    return s;
}

Seq reversed(Seq s) {
    std::reverse(s.begin(), s.end());
    return s;
}

const Params kParams[] = {{2, 1, 32, 9, 9, 5}, {6, 1, 24, 5, 9, 5},  {4, 2, 32, 9, 9, 5},
                          {2, 1, 4, 9, 0, 0},  {1, 1, 3, 3, 12, 20}, {5, 3, 60, 9, 9, 5}};

/* The flag words the pair-alignment call and the region aligner pass, before
 * the splice bits. */
const int kBaseFlags[] = {0,
                          DPX_EZ_FAST_MAX,
                          DPX_EZ_EXTEND_ONLY,
                          DPX_EZ_EXTEND_ONLY | DPX_EZ_CIGAR_REVERSED | DPX_EZ_GAPS_RIGHT,
                          DPX_EZ_GAPS_RIGHT,
                          DPX_EZ_FAST_MAX | DPX_EZ_FAST_DROP | DPX_EZ_EXTEND_ONLY,
                          DPX_EZ_NO_PATH,
                          DPX_EZ_NO_PATH | DPX_EZ_FAST_MAX | DPX_EZ_FAST_DROP};

TEST(DpxExts2, MatchesScalarModelOnRandomPairs) {
    Gen g(20240611);
    km_arena *km = km_create();
    {
        Call call(km);
        int n_spliced = 0; /* pairs whose alignment holds an intron */
        for (int it = 0; it < 1600; ++it) {
            const Params &p = kParams[g.uni(0, 5)];
            const double n_rate = g.real() < 0.3 ? 0.02 : 0.0;
            Seq ts, qs;
            if (g.real() < 0.2) {
                ts = g.random_seq(g.length(), n_rate), qs = g.random_seq(g.length(), n_rate);
            } else {
                /* exons around one or two planted introns, the query from the
                 * spliced exons with some divergence */
                Seq e1 = g.random_seq(g.uni(0, 120), n_rate), e2 = g.random_seq(g.uni(1, 120), n_rate);
                Seq e3 = g.random_seq(g.uni(0, 60), n_rate);
                const int long_ones = g.real() < 0.05 ? 1500 : 300;
                Seq i1 = g.intron(g.uni(4, long_ones)), i2 = g.real() < 0.3 ? g.intron(g.uni(4, 100)) : Seq();
                ts = cat({g.random_seq(g.uni(0, 20)), e1, i1, e2, i2, e3, g.random_seq(g.uni(0, 20))});
                static const double divs[] = {0.0, 0.01, 0.05, 0.15};
                qs = g.mutate(cat({e1, e2, i2.empty() ? Seq() : e3}), divs[g.uni(0, 3)]);
                if (qs.empty()) qs.push_back(1);
                if (g.real() < 0.2) std::swap(qs, ts); /* a query longer than its target */
            }
            int flag = kBaseFlags[g.uni(0, (int)(sizeof(kBaseFlags) / sizeof(kBaseFlags[0])) - 1)];
            const int strand = g.uni(0, 4);
            if (strand == 1 || strand == 2) flag |= DPX_EZ_SPLICE_FOR;
            if (strand == 3 || strand == 4) flag |= DPX_EZ_SPLICE_REV;
            if (g.real() < 0.7) flag |= DPX_EZ_SPLICE_GRADED;
            if (g.real() < 0.5) flag |= DPX_EZ_SPLICE_CONTEXT;
            std::vector<int8_t> mat;
            switch (g.uni(0, 3)) {
            case 0:
                mat = make_matrix(1, 2, 1);
                break;
            case 1:
                mat = make_matrix(2, 4, 0);
                break; /* wildcard scored as -e */
            case 2:
                mat = make_matrix(1, 2, 1, 1);
                flag |= DPX_EZ_FULL_MATRIX;
                break;
            default:
                mat = make_matrix(1, std::min(2 * (p.q + p.e), 4), 1);
                break;
            }
            std::vector<uint8_t> marks;
            const int mk = g.uni(0, 2);
            if (mk == 1) { /* annotation bits, mostly none */
                marks.resize(ts.size());
                for (auto &b : marks) b = g.real() < 0.1 ? (uint8_t)g.uni(1, 15) : 0;
            } else if (mk == 2) { /* site scores, mostly no information */
                flag |= DPX_EZ_SITE_SCORES;
                marks.resize(ts.size());
                for (auto &b : marks)
                    b = g.real() < 0.7 ? 255 : (uint8_t)((g.uni(-12, 12) + 64) << 1 | g.uni(0, 1));
            }
            static const int zdrops[] = {-1, 0, 50, 100, 200, 400};
            static const int bonuses[] = {-1, 0, 10, 1000};
            const int zdrop = zdrops[g.uni(0, 5)], end_bonus = bonuses[g.uni(0, 3)];
            const uint8_t *mp = marks.empty() ? nullptr : marks.data();
            call.run(p, qs, ts, mat, zdrop, end_bonus, flag, mp);
            dpxref::Result ref =
                dpxref::splice_align((int)qs.size(), qs.data(), (int)ts.size(), ts.data(), 5, mat.data(), p.q,
                                     p.e, p.q2, p.noncan, zdrop, end_bonus, p.jbonus, p.jpen, flag, mp);
            ASSERT_TRUE(same_as_ref(call.ez, ref))
                << "pair " << it << ": qlen=" << qs.size() << " tlen=" << ts.size() << " q,e,q2=" << p.q
                << "," << p.e << "," << p.q2 << " zdrop=" << zdrop << " end_bonus=" << end_bonus
                << " flag=" << flag << " marks=" << mk;
            for (int k = 1; k < call.ez.n_cigar; ++k) n_spliced += (call.ez.cigar[k] & 0xf) == 3;
        }
        EXPECT_GT(n_spliced, 300);
    }
    lstest::expect_all_freed_and_release(km);
}

void expect_cleared(const dpx_extz &ez) {
    EXPECT_EQ(ez.best_score, 0u);
    EXPECT_EQ(ez.dropped, 0u);
    EXPECT_EQ(ez.best_qpos, -1);
    EXPECT_EQ(ez.best_tpos, -1);
    EXPECT_EQ(ez.qend_best, DPX_SCORE_UNSET);
    EXPECT_EQ(ez.tend_best, DPX_SCORE_UNSET);
    EXPECT_EQ(ez.score, DPX_SCORE_UNSET);
    EXPECT_EQ(ez.n_cigar, 0);
}

TEST(DpxExts2, RejectedArgumentsLeaveAClearedRecord) {
    const Seq s = encode("ACGTACGTAC");
    const std::vector<int8_t> mat = make_matrix(1, 2, 1);
    Call call;
    call.run({2, 1, 3, 9, 9, 5}, s, s, mat, 100, 10, 0); /* q2 <= q + e */
    expect_cleared(call.ez);
    call.run(kSplice, s, s, mat, 100, 10, 0, nullptr, 1);
    expect_cleared(call.ez);
    call.run(kSplice, Seq(), s, mat, 100, 10, 0);
    expect_cleared(call.ez);
    std::vector<int8_t> harsh = make_matrix(1, 7, 1); /* -7 < -2 * (2 + 1) */
    call.run(kSplice, s, s, harsh, 100, 10, 0);
    expect_cleared(call.ez);
    call.run(kSplice, s, s, mat, 100, 10, 0); /* and a valid call still works */
    EXPECT_EQ(call.ez.score, 10);
    EXPECT_EQ(call.cigar(), "10M");
}

/* exon1 + intron + exon2 against exon1 + exon2: the global score is the exon
 * length minus the intron's cost. */
struct Spliced {
    Seq ts, qs;
    int n_intron;
    Spliced(const char *donor, const char *acceptor, int n_mid = 80, uint64_t seed = 7) {
        Gen g(seed);
        Seq e1 = g.random_seq(40), e2 = g.random_seq(40), mid(n_mid, 1); /* a run of C: no motif inside */
        Seq in = cat({encode(donor), mid, encode(acceptor)});
        /* T flanks: a junction moved by a few bases pays mismatches and meets
         * no better motif there, so the intron stays where it was put */
        for (int k = 0; k < 4; ++k) e1[39 - k] = 3, e2[k] = 3;
        ts = cat({e1, in, e2}), qs = cat({e1, e2}), n_intron = (int)in.size();
    }
    std::string cigar() const { return "40M" + std::to_string(n_intron) + "N40M"; }
};

TEST(DpxExts2, GradedSiteModelOnTheForwardStrand) {
    const std::vector<int8_t> mat = make_matrix(1, 2, 1);
    const int flag = DPX_EZ_SPLICE_FOR | DPX_EZ_SPLICE_GRADED;
    struct Case {
        const char *donor, *acceptor;
        int cost;
    } cases[] = {
        {"GTA", "TAG", 0},  /* GT + R, Y + AG */
        {"GTG", "GAG", 3},  /* G counts as R after GT, not as Y before AG */
        {"GTC", "TAG", 3},  /* GT without R */
        {"GCA", "CAG", 5},  /* GC */
        {"ATA", "CAC", 14}, /* AT .. AC */
        {"CCA", "CCC", 20}, /* no motif at either end */
        {"GTC", "GAG", 6},  /* neither neighbour favourable */
    };
    for (const Case &c : cases) {
        Spliced sp(c.donor, c.acceptor);
        Call call;
        call.run(kSplice, sp.qs, sp.ts, mat, 200, 10, flag);
        EXPECT_EQ(call.ez.score, 80 - kSplice.q2 - c.cost) << c.donor << ".." << c.acceptor;
        EXPECT_EQ(call.cigar(), sp.cigar()) << c.donor << ".." << c.acceptor;
    }
    /* the reverse-strand model reads CT..AC the same way */
    Spliced rv("CTA", "TAC");
    Call call;
    call.run(kSplice, rv.qs, rv.ts, mat, 200, 10, DPX_EZ_SPLICE_REV | DPX_EZ_SPLICE_GRADED);
    EXPECT_EQ(call.ez.score, 80 - kSplice.q2);
    EXPECT_EQ(call.cigar(), rv.cigar());
}

TEST(DpxExts2, UngradedModelAndNoStrand) {
    const std::vector<int8_t> mat = make_matrix(1, 2, 1);
    Call call;
    /* without context, any GT..AG costs q2; other ends cost noncan_pen each */
    Spliced plain("GTC", "GAG"), minor("GCA", "CAG");
    call.run(kSplice, plain.qs, plain.ts, mat, 200, 10, DPX_EZ_SPLICE_FOR);
    EXPECT_EQ(call.ez.score, 80 - 32);
    call.run(kSplice, minor.qs, minor.ts, mat, 200, 10, DPX_EZ_SPLICE_FOR);
    EXPECT_EQ(call.ez.score, 80 - 32 - 9);
    /* with context, a canonical end without its neighbour costs noncan_pen / 2 */
    call.run(kSplice, plain.qs, plain.ts, mat, 200, 10, DPX_EZ_SPLICE_FOR | DPX_EZ_SPLICE_CONTEXT);
    EXPECT_EQ(call.ez.score, 80 - 32 - 4 - 4);
    /* no strand: every intron costs q2 and is still an N */
    Spliced odd("CCA", "CCC");
    call.run(kSplice, odd.qs, odd.ts, mat, 200, 10, 0);
    EXPECT_EQ(call.ez.score, 80 - 32);
    EXPECT_EQ(call.cigar(), odd.cigar());
    /* a leading target overhang becomes N once longer than long_thres (29
     * here: g(l) = min(2 + l, 32)), else D */
    Gen g(3);
    const Seq qs = g.random_seq(40);
    Seq lead = g.random_seq(40);
    lead.back() = (uint8_t)((qs.back() + 1) & 3);
    call.run(kSplice, qs, cat({lead, qs}), mat, 200, 10, 0);
    EXPECT_EQ(call.cigar(), "40N40M");
    EXPECT_EQ(call.ez.score, 40 - 32);
    Seq shortl(lead.end() - 10, lead.end());
    call.run(kSplice, qs, cat({shortl, qs}), mat, 200, 10, 0);
    EXPECT_EQ(call.cigar(), "10D40M");
    EXPECT_EQ(call.ez.score, 40 - 12);
}

TEST(DpxExts2, ReversedCallScoresSitesAlike) {
    const std::vector<int8_t> mat = make_matrix(1, 2, 1);
    for (const char *d : {"GTA", "GTC", "GCA"}) {
        Spliced sp(d, "TAG");
        Call fwd, rev;
        fwd.run(kSplice, sp.qs, sp.ts, mat, 200, 10, DPX_EZ_SPLICE_FOR | DPX_EZ_SPLICE_GRADED);
        rev.run(kSplice, reversed(sp.qs), reversed(sp.ts), mat, 200, 10,
                DPX_EZ_SPLICE_FOR | DPX_EZ_SPLICE_GRADED | DPX_EZ_CIGAR_REVERSED);
        EXPECT_EQ(fwd.ez.score, rev.ez.score) << d;
        EXPECT_EQ(rev.cigar(), sp.cigar()) << d; /* symmetric, so the same either order */
    }
}

TEST(DpxExts2, JunctionMarks) {
    const std::vector<int8_t> mat = make_matrix(1, 2, 1);
    Spliced sp("CCA", "CCC");
    const int k = 39, i = 40 + sp.n_intron - 1; /* last exon base before, last intron base */
    Call call;
    /* annotated ends: a bonus at each end, whatever the motif */
    std::vector<uint8_t> bits(sp.ts.size(), 0);
    bits[k + 1] = 1, bits[i] = 2;
    call.run(kSplice, sp.qs, sp.ts, mat, 200, 10, DPX_EZ_SPLICE_FOR | DPX_EZ_SPLICE_GRADED, bits.data());
    EXPECT_EQ(call.ez.score, 80 - 32 - 20 + 2 * 9);
    EXPECT_EQ(call.cigar(), sp.cigar());
    /* reverse-strand bits do nothing on the forward strand */
    bits[k + 1] = 8, bits[i] = 4;
    call.run(kSplice, sp.qs, sp.ts, mat, 200, 10, DPX_EZ_SPLICE_FOR | DPX_EZ_SPLICE_GRADED, bits.data());
    EXPECT_EQ(call.ez.score, 80 - 32 - 20);
    /* site scores: 255 costs junction_penalty on both tables */
    std::vector<uint8_t> sc(sp.ts.size(), 255);
    call.run(kSplice, sp.qs, sp.ts, mat, 200, 10, DPX_EZ_SITE_SCORES, sc.data());
    EXPECT_EQ(call.ez.score, 80 - 32 - 2 * 5);
    /* forward, not reversed: donor bytes have kind 0, acceptor bytes kind 1;
     * the byte after the junction scores it */
    sc[k + 1] = (uint8_t)((64 + 6) << 1 | 0), sc[i + 1] = (uint8_t)((64 + 4) << 1 | 1);
    call.run(kSplice, sp.qs, sp.ts, mat, 200, 10,
             DPX_EZ_SITE_SCORES | DPX_EZ_SPLICE_FOR | DPX_EZ_SPLICE_GRADED, sc.data());
    EXPECT_EQ(call.ez.score, 80 - 32 - 20 + 6 + 4);
    EXPECT_EQ(call.cigar(), sp.cigar());
    /* the wrong kind counts as no information */
    sc[k + 1] ^= 1, sc[i + 1] ^= 1;
    call.run(kSplice, sp.qs, sp.ts, mat, 200, 10,
             DPX_EZ_SITE_SCORES | DPX_EZ_SPLICE_FOR | DPX_EZ_SPLICE_GRADED, sc.data());
    EXPECT_EQ(call.ez.score, 80 - 32 - 20 - 2 * 5);
}

TEST(DpxExts2, ShortTargetsAndArenaReuse) {
    /* below 5 bases no donor entry exists; the model agrees on every length */
    const std::vector<int8_t> mat = make_matrix(1, 2, 1);
    km_arena *km = km_create();
    {
        Call call(km);
        const Seq qs = encode("GTAG");
        for (int tl = 1; tl <= 6; ++tl) {
            const Seq ts = encode(std::string("GTAGGT").substr(0, tl));
            for (int flag :
                 {DPX_EZ_SPLICE_FOR | DPX_EZ_SPLICE_GRADED, DPX_EZ_SPLICE_REV | DPX_EZ_EXTEND_ONLY}) {
                call.run(kSplice, qs, ts, mat, 100, 10, flag);
                dpxref::Result ref = dpxref::splice_align(4, qs.data(), tl, ts.data(), 5, mat.data(), 2, 1,
                                                          32, 9, 100, 10, 9, 5, flag, nullptr);
                EXPECT_TRUE(same_as_ref(call.ez, ref)) << tl;
            }
        }
    }
    lstest::expect_all_freed_and_release(km);
}

/* The widest kernel runs above; the narrower ones are checked by running
 * these tests again with the wider instruction sets switched off. */
TEST(DpxExts2, NarrowerKernelsMatchTheModelToo) {
    lstest::check_narrower_kernels("DpxExts2.*");
}

TEST(DpxExts2DeathTest, BothStrandBitsAbort) {
    const Seq s = encode("ACGTACGT");
    const std::vector<int8_t> mat = make_matrix(1, 2, 1);
    EXPECT_DEATH(
        {
            Call call;
            call.run(kSplice, s, s, mat, 100, 10, DPX_EZ_SPLICE_FOR | DPX_EZ_SPLICE_REV);
        },
        "DPX_EZ_SPLICE_REV");
}

} // namespace
