#include "align/kernels/dp_kernel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/arena.h"
#include "dp_reference.h"
#include "testutil.h"

namespace {

using lstest::encode;
using lstest::make_matrix;
using lstest::Seq;

using dpxref::cigar_str;

std::string cigar_str(const dpx_extz &ez) {
    return cigar_str(ez.cigar, ez.n_cigar);
}

struct Kernel {
    bool dual;
    int q, e, q2, e2;
};

/* One kernel call with a fresh record. */
struct Call {
    dpx_extz ez;
    km_arena *km;
    explicit Call(km_arena *arena = nullptr) : km(arena) {
        ez = dpx_extz();
        ez.cigar = nullptr, ez.cigar_cap = 0;
    }
    ~Call() { kfree(km, ez.cigar); }
    Call(const Call &) = delete;
    Call &operator=(const Call &) = delete;
    void run(const Kernel &k, const Seq &qs, const Seq &ts, const std::vector<int8_t> &mat, int bw, int zdrop,
             int end_bonus, int flag, int qlen = -2, int tlen = -2, int n_symbols = 5) {
        if (qlen == -2) qlen = (int)qs.size();
        if (tlen == -2) tlen = (int)ts.size();
        if (k.dual)
            dpx_extd2(km, qlen, qs.data(), tlen, ts.data(), (int8_t)n_symbols, mat.data(), (int8_t)k.q,
                          (int8_t)k.e, (int8_t)k.q2, (int8_t)k.e2, bw, zdrop, end_bonus, flag, &ez);
        else
            dpx_extz2(km, qlen, qs.data(), tlen, ts.data(), (int8_t)n_symbols, mat.data(), (int8_t)k.q,
                          (int8_t)k.e, bw, zdrop, end_bonus, flag, &ez);
    }
    std::string cigar() const { return cigar_str(ez); }
};

void expect_cleared(const dpx_extz &ez) {
    EXPECT_EQ(ez.best_score, 0u);
    EXPECT_EQ(ez.dropped, 0u);
    EXPECT_EQ(ez.best_qpos, -1);
    EXPECT_EQ(ez.best_tpos, -1);
    EXPECT_EQ(ez.qend_best, DPX_SCORE_UNSET);
    EXPECT_EQ(ez.qend_tpos, -1);
    EXPECT_EQ(ez.tend_best, DPX_SCORE_UNSET);
    EXPECT_EQ(ez.tend_qpos, -1);
    EXPECT_EQ(ez.score, DPX_SCORE_UNSET);
    EXPECT_EQ(ez.n_cigar, 0);
    EXPECT_EQ(ez.reached_end, 0);
}

/* Every field of the record and the CIGAR against the scalar model. */
::testing::AssertionResult same_as_ref(const dpx_extz &ez, const dpxref::Result &ref) {
    const std::string diff = dpxref::differences(ez, ref);
    if (diff.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << diff;
}

/* Random test material. */
struct Gen : lstest::SeqGen {
    using SeqGen::SeqGen;
    /* Substitutions, short indels and now and then a long one. */
    Seq mutate(const Seq &src, double div) {
        Seq out;
        for (size_t i = 0; i < src.size(); ++i) {
            double x = real();
            if (x < div * 0.6) {
                out.push_back((uint8_t)((src[i] + uni(1, 3)) & 3));
            } else if (x < div * 0.8) {
                int l = real() < 0.1 ? uni(15, 60) : uni(1, 4);
                for (int k = 0; k < l; ++k) out.push_back((uint8_t)uni(0, 3));
                out.push_back(src[i]);
            } else if (x < div) {
                i += real() < 0.1 ? uni(15, 60) : uni(0, 3);
            } else {
                out.push_back(src[i]);
            }
        }
        return out;
    }
    int length() {
        static const int edges[] = {1, 2, 3, 15, 16, 17, 31, 32, 33, 47, 48, 49, 63, 64, 65, 127, 128, 129};
        double x = real();
        if (x < 0.3) return edges[uni(0, (int)(sizeof(edges) / sizeof(edges[0])) - 1)];
        if (x < 0.97) return uni(1, 300);
        return uni(300, 2000);
    }
};

const Kernel kDualKernels[] = {
    {true, 4, 2, 24, 1},  {true, 6, 2, 26, 1}, {true, 12, 2, 24, 1}, {true, 2, 1, 32, 0},
    {true, 39, 3, 81, 1}, {true, 24, 1, 4, 2}, {true, 4, 2, 4, 2},   {true, 16, 2, 41, 1},
};
const Kernel kSingleKernels[] = {{false, 4, 2, 0, 0},  {false, 6, 2, 0, 0}, {false, 12, 2, 0, 0},
                                 {false, 39, 3, 0, 0}, {false, 2, 1, 0, 0}, {false, 60, 3, 0, 0}};

const int kFlags[] = {0,
                      DPX_EZ_GAPS_RIGHT,
                      DPX_EZ_FAST_MAX,
                      DPX_EZ_FAST_MAX | DPX_EZ_FAST_DROP,
                      DPX_EZ_FAST_MAX | DPX_EZ_FAST_DROP | DPX_EZ_EXTEND_ONLY,
                      DPX_EZ_EXTEND_ONLY,
                      DPX_EZ_EXTEND_ONLY | DPX_EZ_CIGAR_REVERSED | DPX_EZ_GAPS_RIGHT,
                      DPX_EZ_NO_PATH,
                      DPX_EZ_NO_PATH | DPX_EZ_GAPS_RIGHT | DPX_EZ_EXTEND_ONLY,
                      DPX_EZ_NO_PATH | DPX_EZ_FAST_MAX | DPX_EZ_FAST_DROP};

/* Random pairs through a kernel and through the scalar model. */
void check_against_model(const Kernel *kernels, int n_kernels, uint64_t seed, int n_pairs) {
    Gen g(seed);
    km_arena *km = km_create();
    Call call(km);
    for (int it = 0; it < n_pairs; ++it) {
        const Kernel &k = kernels[g.uni(0, n_kernels - 1)];
        Seq ts, qs;
        const int tl = g.length();
        const double n_rate = g.real() < 0.3 ? 0.02 : 0.0;
        if (g.real() < 0.25) {
            ts = g.random_seq(tl, n_rate), qs = g.random_seq(g.length(), n_rate);
        } else {
            ts = g.random_seq(tl, n_rate);
            static const double divs[] = {0.0, 0.01, 0.05, 0.15, 0.3};
            qs = g.mutate(ts, divs[g.uni(0, 4)]);
            if (g.real() < 0.2) { /* the query runs past the target's end, or the target past the query's */
                Seq tail = g.random_seq(g.uni(1, 80), 0);
                Seq &longer = g.real() < 0.5 ? qs : ts;
                longer.insert(longer.end(), tail.begin(), tail.end());
            }
            if (qs.empty()) qs.push_back(0);
        }
        std::vector<int8_t> mat;
        int flag = kFlags[g.uni(0, (int)(sizeof(kFlags) / sizeof(kFlags[0])) - 1)];
        switch (g.uni(0, 5)) {
        case 0: /* wildcard entry 0: scored as minus the extension */
            mat = make_matrix(2, 4, 0);
            break;
        case 1:
            mat = make_matrix(1, std::min(2 * (k.q + k.e), 19), 1);
            break;
        case 2:
            mat = make_matrix(2, 6, 1, 3);
            flag |= DPX_EZ_FULL_MATRIX;
            break;
        case 3:
            if (k.dual) { /* a diagonal entry above matrix[0]: capped */
                mat = make_matrix(2, 4, 1, 2);
                mat[6] = 3;
                flag |= DPX_EZ_FULL_MATRIX;
                break;
            }
            /* fall through */
        default:
            mat = make_matrix(2, 4, 1);
            break;
        }
        static const int bws[] = {-1, 0, 1, 2, 3, 5, 15, 16, 17, 33, 100, 751};
        int bw = g.real() < 0.8 ? bws[g.uni(0, 11)] : g.uni(0, 400);
        static const int zdrops[] = {-1, 0, 10, 50, 100, 400};
        static const int bonuses[] = {-1, 0, 5, 50, 1000};
        int zdrop = zdrops[g.uni(0, 5)], end_bonus = bonuses[g.uni(0, 4)];
        call.run(k, qs, ts, mat, bw, zdrop, end_bonus, flag);
        dpxref::Result ref = dpxref::align(k.dual, (int)qs.size(), qs.data(), (int)ts.size(), ts.data(), 5,
                                           mat.data(), k.q, k.e, k.q2, k.e2, bw, zdrop, end_bonus, flag);
        ASSERT_TRUE(same_as_ref(call.ez, ref))
            << "pair " << it << ": qlen=" << qs.size() << " tlen=" << ts.size() << " q,e=" << k.q << ","
            << k.e << " q2,e2=" << k.q2 << "," << k.e2 << " dual=" << k.dual << " bw=" << bw
            << " zdrop=" << zdrop << " end_bonus=" << end_bonus << " flag=" << flag;
    }
    kfree(km, call.ez.cigar);
    call.ez.cigar = nullptr;
    km_release(km);
}

/* Textbook Gotoh recursion over absolute scores, gap cost min(q + l*e,
 * q2 + l*e2), leading gaps charged: the global score. */
int gotoh_global(const Seq &qs, const Seq &ts, const std::vector<int8_t> &mat, int q, int e, int q2, int e2,
                 int sc_n) {
    const int n = (int)ts.size(), m = (int)qs.size(), NEG = -1000000000;
    auto g = [&](int l) { return std::min(q + l * e, q2 + l * e2); };
    auto sc = [&](int i, int j) {
        if (ts[i] == 4 || qs[j] == 4) return sc_n;
        return (int)(ts[i] == qs[j] ? mat[0] : mat[1]);
    };
    /* index (i+1, j+1) */
    std::vector<std::vector<int>> H(n + 1, std::vector<int>(m + 1)), E(H), F(H), E2(H), F2(H);
    for (int i = 0; i <= n; ++i)
        for (int j = 0; j <= m; ++j) {
            if (i == 0 || j == 0) {
                H[i][j] = i + j == 0 ? 0 : -g(i + j);
                E[i][j] = F[i][j] = E2[i][j] = F2[i][j] = NEG;
                continue;
            }
            E[i][j] = std::max(H[i - 1][j] - q - e, E[i - 1][j] - e);
            E2[i][j] = std::max(H[i - 1][j] - q2 - e2, E2[i - 1][j] - e2);
            F[i][j] = std::max(H[i][j - 1] - q - e, F[i][j - 1] - e);
            F2[i][j] = std::max(H[i][j - 1] - q2 - e2, F2[i][j - 1] - e2);
            H[i][j] = std::max({H[i - 1][j - 1] + sc(i - 1, j - 1), E[i][j], F[i][j], E2[i][j], F2[i][j]});
        }
    return H[n][m];
}

/* Score of an alignment given by a CIGAR over target[0..] and query[0..]:
 * each run of I or D is one gap. */
int replay(const uint32_t *cigar, int n_cigar, const Seq &qs, const Seq &ts, const std::vector<int8_t> &mat,
           int q, int e, int q2, int e2, int sc_n, int *t_used, int *q_used) {
    int i = 0, j = 0, score = 0;
    for (int k = 0; k < n_cigar; ++k) {
        int op = cigar[k] & 0xf, len = cigar[k] >> 4;
        if (op == 0) {
            for (int l = 0; l < len; ++l, ++i, ++j)
                score += ts[i] == 4 || qs[j] == 4 ? sc_n : ts[i] == qs[j] ? mat[0] : mat[1];
        } else {
            score -= std::min(q + len * e, q2 + len * e2);
            (op == 1 ? j : i) += len;
        }
    }
    *t_used = i, *q_used = j;
    return score;
}

} // namespace

TEST(Dpx2, ExtendDualMatchesScalarModel) {
    check_against_model(kDualKernels, 8, 11, 1500);
}

TEST(Dpx2, ExtendSingleMatchesScalarModel) {
    check_against_model(kSingleKernels, 6, 12, 1000);
}

/* With an unlimited band and no z-drop, the global score is that of the
 * textbook recursion, and the CIGAR scores exactly that much; for extensions
 * the CIGAR scores what the start cell's recorded score says. */
TEST(Dpx2, GlobalScoreMatchesTextbookRecursion) {
    Gen g(21);
    const Kernel kernels[] = {{true, 4, 2, 24, 1}, {true, 2, 1, 32, 0}, {true, 6, 2, 26, 1},
                              {false, 4, 2, 0, 0}, {false, 6, 3, 0, 0}, {true, 24, 1, 4, 2}};
    km_arena *km = km_create();
    for (int it = 0; it < 200; ++it) {
        const Kernel &k = kernels[it % 6];
        Seq ts = g.random_seq(g.uni(1, 250), g.real() < 0.3 ? 0.03 : 0);
        Seq qs = g.real() < 0.2 ? g.random_seq(g.uni(1, 250), 0) : g.mutate(ts, g.real() * 0.3);
        if (qs.empty()) qs.push_back(1);
        std::vector<int8_t> mat = make_matrix(2, 4, it % 3 == 0 ? 0 : 1);
        int q = k.q, e = k.e, q2 = k.dual ? k.q2 : k.q, e2 = k.dual ? k.e2 : k.e;
        if (q2 + e2 < q + e) std::swap(q, q2), std::swap(e, e2);
        int sc_n = mat[24] ? mat[24] : -e2;
        int expect = gotoh_global(qs, ts, mat, q, e, q2, e2, sc_n);
        const int flags[] = {0, DPX_EZ_GAPS_RIGHT, DPX_EZ_FAST_MAX, DPX_EZ_NO_PATH};
        for (int flag : flags) {
            Call c(km);
            c.run(k, qs, ts, mat, -1, -1, -1, flag);
            ASSERT_EQ(c.ez.score, expect) << "pair " << it << " flag " << flag;
            ASSERT_EQ(c.ez.dropped, 0u);
            if (flag & DPX_EZ_NO_PATH) {
                EXPECT_EQ(c.ez.n_cigar, 0);
                continue;
            }
            int tu, qu;
            ASSERT_EQ(replay(c.ez.cigar, c.ez.n_cigar, qs, ts, mat, q, e, q2, e2, sc_n, &tu, &qu), expect)
                << "pair " << it << " flag " << flag << " cigar " << c.cigar();
            EXPECT_EQ(tu, (int)ts.size());
            EXPECT_EQ(qu, (int)qs.size());
        }
        /* extension: the CIGAR ends at the cell whose score the record names */
        Call c(km);
        c.run(k, qs, ts, mat, -1, -1, it % 2 ? 5 : -1, DPX_EZ_EXTEND_ONLY);
        int tu = 0, qu = 0, got = replay(c.ez.cigar, c.ez.n_cigar, qs, ts, mat, q, e, q2, e2, sc_n, &tu, &qu);
        if (c.ez.reached_end) {
            EXPECT_EQ(got, c.ez.qend_best);
            EXPECT_EQ(qu, (int)qs.size());
            EXPECT_EQ(tu, c.ez.qend_tpos + 1);
        } else if (c.ez.n_cigar > 0) {
            EXPECT_EQ(got, (int)c.ez.best_score);
            EXPECT_EQ(tu, c.ez.best_tpos + 1);
            EXPECT_EQ(qu, c.ez.best_qpos + 1);
        }
    }
    km_release(km);
}

TEST(Dpx2, SingleGapKernelEqualsDualWithEqualModels) {
    Gen g(31);
    const int qe[][2] = {{4, 2}, {6, 2}, {2, 1}, {12, 3}};
    for (int it = 0; it < 400; ++it) {
        int q = qe[it % 4][0], e = qe[it % 4][1];
        Seq ts = g.random_seq(g.length(), 0.02);
        Seq qs = g.real() < 0.2 ? g.random_seq(g.length(), 0.02) : g.mutate(ts, g.real() * 0.2);
        if (qs.empty()) qs.push_back(2);
        std::vector<int8_t> mat = it % 5 == 0 ? make_matrix(2, 4, 0) : make_matrix(2, 4, 1);
        int flag = kFlags[it % 10] | (it % 7 == 0 ? DPX_EZ_FULL_MATRIX : 0);
        int bw = it % 3 == 0 ? -1 : g.uni(0, 120), zdrop = it % 4 == 0 ? -1 : g.uni(0, 200);
        int bonus = g.uni(-1, 30);
        Call a, b;
        a.run({false, q, e, 0, 0}, qs, ts, mat, bw, zdrop, bonus, flag);
        b.run({true, q, e, q, e}, qs, ts, mat, bw, zdrop, bonus, flag);
        dpxref::Result rb;
        rb.best_score = b.ez.best_score, rb.dropped = b.ez.dropped, rb.best_qpos = b.ez.best_qpos;
        rb.best_tpos = b.ez.best_tpos, rb.qend_best = b.ez.qend_best, rb.qend_tpos = b.ez.qend_tpos;
        rb.tend_best = b.ez.tend_best, rb.tend_qpos = b.ez.tend_qpos, rb.score = b.ez.score;
        rb.reached_end = b.ez.reached_end, rb.cigar.assign(b.ez.cigar, b.ez.cigar + b.ez.n_cigar);
        ASSERT_TRUE(same_as_ref(a.ez, rb)) << "pair " << it << " flag " << flag << " bw " << bw;
    }
}

TEST(Dpx2, BadArgumentsLeaveClearedRecord) {
    std::vector<int8_t> mat = make_matrix(2, 4, 1);
    Seq s = encode("ACGTACGTAC");
    const Kernel dual = {true, 4, 2, 24, 1}, single = {false, 4, 2, 0, 0};
    for (const Kernel &k : {dual, single}) {
        Call c;
        c.run(k, s, s, mat, 10, 100, 0, 0); /* a first call leaves a CIGAR and scores */
        ASSERT_EQ(c.cigar(), "10M");
        c.run(k, s, s, mat, 10, 100, 0, 0, 0, 10);
        expect_cleared(c.ez);
        c.run(k, s, s, mat, 10, 100, 0, 0, 10, -3);
        expect_cleared(c.ez);
        c.run(k, s, s, mat, 10, 100, 0, 0, -2, -2, 0);
        expect_cleared(c.ez);
        /* a mismatch score below -2(q+e) = -12 */
        std::vector<int8_t> bad = make_matrix(2, 13, 1);
        c.run(k, s, s, bad, 10, 100, 0, 0);
        expect_cleared(c.ez);
        std::vector<int8_t> edge = make_matrix(2, 12, 1);
        c.run(k, s, s, edge, 10, 100, 0, 0);
        EXPECT_EQ(c.cigar(), "10M");
        EXPECT_EQ(c.ez.score, 20);
    }
    /* r = i + j would not fit an int: refused before the sequences are read */
    for (const Kernel &k : {dual, single}) {
        Call c;
        c.run(k, s, s, mat, 10, 100, 0, 0, INT32_MAX, 10);
        expect_cleared(c.ez);
    }
    /* one symbol: refused by the dual kernel, accepted by the single one */
    Call c;
    Seq zeros(6, 0);
    std::vector<int8_t> one = {3};
    c.run(dual, zeros, zeros, one, 5, -1, 0, 0, -2, -2, 1);
    expect_cleared(c.ez);
    c.run(single, zeros, zeros, one, 5, -1, 0, 0, -2, -2, 1);
    EXPECT_EQ(c.ez.score, 18);
    EXPECT_EQ(c.cigar(), "6M");
}

/* Leading gaps cost min(q + l*e, q2 + l*e2): with 4, 2, 24, 1 the switch is
 * after 19 bases (both models cost 44 at 20). */
TEST(Dpx2, LeadingGapSwitchesModelAfterLongThres) {
    Gen g(41);
    std::vector<int8_t> mat = make_matrix(2, 4, 1);
    Seq core = g.random_seq(60, 0);
    for (int l = 1; l <= 40; ++l) {
        Seq prefix = g.random_seq(l, 0);
        Seq ts = prefix;
        ts.insert(ts.end(), core.begin(), core.end());
        int g_l = std::min(4 + 2 * l, 24 + l);
        for (bool dual : {true, false}) {
            Kernel k = dual ? Kernel{true, 4, 2, 24, 1} : Kernel{false, 4, 2, 0, 0};
            int cost = dual ? g_l : 4 + 2 * l;
            Call c;
            c.run(k, core, ts, mat, -1, -1, -1, 0); /* leading deletion */
            EXPECT_EQ(c.ez.score, 120 - cost) << "l=" << l << " dual=" << dual;
            EXPECT_EQ(c.cigar(), std::to_string(l) + "D60M") << "l=" << l;
            c.run(k, ts, core, mat, -1, -1, -1, 0); /* leading insertion */
            EXPECT_EQ(c.ez.score, 120 - cost) << "l=" << l << " dual=" << dual;
            EXPECT_EQ(c.cigar(), std::to_string(l) + "I60M") << "l=" << l;
        }
    }
}

/* A deletion inside the alignment: one D whether model 1 or 2 pays for it. */
TEST(Dpx2, InternalDeletionUsesCheaperModel) {
    Gen g(42);
    std::vector<int8_t> mat = make_matrix(2, 4, 1);
    Seq a = g.random_seq(80, 0), b = g.random_seq(80, 0);
    for (int l : {1, 5, 19, 20, 21, 35}) {
        Seq gap = g.random_seq(l, 0), ts = a;
        ts.insert(ts.end(), gap.begin(), gap.end());
        ts.insert(ts.end(), b.begin(), b.end());
        Seq qs = a;
        qs.insert(qs.end(), b.begin(), b.end());
        Call c;
        c.run({true, 4, 2, 24, 1}, qs, ts, mat, 100, -1, -1, 0);
        EXPECT_EQ(c.ez.score, 320 - std::min(4 + 2 * l, 24 + l)) << l;
        /* the gap may slide over equal bases; it stays one D */
        std::string cg = c.cigar();
        EXPECT_EQ(std::count(cg.begin(), cg.end(), 'D'), 1) << cg;
        EXPECT_EQ(c.ez.n_cigar, 3) << c.cigar();
    }
}

TEST(Dpx2, GapModelsAreOrdered) {
    Gen g(51);
    std::vector<int8_t> mat = make_matrix(2, 4, 0); /* wildcard: minus e2 after ordering */
    for (int it = 0; it < 40; ++it) {
        Seq ts = g.random_seq(g.uni(20, 300), 0.05);
        Seq qs = g.mutate(ts, 0.2);
        if (qs.empty()) qs.push_back(0);
        int flag = kFlags[it % 10];
        Call a, b;
        a.run({true, 4, 2, 24, 1}, qs, ts, mat, 50, 100, 10, flag);
        b.run({true, 24, 1, 4, 2}, qs, ts, mat, 50, 100, 10, flag);
        dpxref::Result ra = dpxref::align(true, (int)qs.size(), qs.data(), (int)ts.size(), ts.data(), 5,
                                          mat.data(), 4, 2, 24, 1, 50, 100, 10, flag);
        ASSERT_TRUE(same_as_ref(a.ez, ra));
        ASSERT_TRUE(same_as_ref(b.ez, ra));
    }
}

TEST(Dpx2, NarrowBands) {
    std::vector<int8_t> mat = make_matrix(2, 4, 1);
    Seq s = encode("ACGTTGCAACGGTACCATGA");
    for (bool dual : {true, false}) {
        Kernel k = dual ? Kernel{true, 4, 2, 24, 1} : Kernel{false, 4, 2, 0, 0};
        Call c;
        /* bw 0: anti-diagonal 1 has no cell in band */
        c.run(k, s, s, mat, 0, -1, -1, 0);
        EXPECT_EQ(c.ez.dropped, 1u);
        EXPECT_EQ(c.cigar(), "1M");
        EXPECT_EQ(c.ez.best_score, 2u);
        EXPECT_EQ(c.ez.score, DPX_SCORE_UNSET);
        /* bw 1: the diagonal and its neighbours */
        c.run(k, s, s, mat, 1, -1, -1, 0);
        EXPECT_EQ(c.ez.dropped, 0u);
        EXPECT_EQ(c.cigar(), "20M");
        EXPECT_EQ(c.ez.score, 40);
        EXPECT_EQ(c.ez.best_score, 40u);
        EXPECT_EQ(c.ez.best_tpos, 19);
        EXPECT_EQ(c.ez.best_qpos, 19);
        /* a query longer than the target by more than bw: the band leaves the matrix */
        Seq longer = s;
        longer.insert(longer.end(), {0, 1, 2, 3, 0, 1});
        c.run(k, longer, s, mat, 3, -1, -1, 0);
        EXPECT_EQ(c.ez.dropped, 1u);
        EXPECT_EQ(c.ez.score, DPX_SCORE_UNSET);
        EXPECT_EQ(c.cigar(), "20M");
        EXPECT_EQ(c.ez.best_score, 40u);
        /* negative bw: unlimited */
        c.run(k, longer, s, mat, -5, -1, -1, 0);
        EXPECT_EQ(c.ez.dropped, 0u);
        EXPECT_EQ(c.cigar(), "20M6I");
        EXPECT_EQ(c.ez.score, 40 - (4 + 12));
    }
}

/* Ties between a match and a gap: gaps go left by default, right with
 * DPX_EZ_GAPS_RIGHT. */
TEST(Dpx2, GapPlacementInRepeats) {
    std::vector<int8_t> mat = make_matrix(2, 4, 1);
    Seq ts = encode("ACGTTTTACGA"), qs = encode("ACGTTTACGA");
    for (bool dual : {true, false}) {
        Kernel k = dual ? Kernel{true, 4, 2, 24, 1} : Kernel{false, 4, 2, 0, 0};
        Call c;
        c.run(k, qs, ts, mat, 10, -1, -1, 0);
        EXPECT_EQ(c.cigar(), "3M1D7M");
        c.run(k, qs, ts, mat, 10, -1, -1, DPX_EZ_GAPS_RIGHT);
        EXPECT_EQ(c.cigar(), "6M1D4M");
        c.run(k, ts, qs, mat, 10, -1, -1, 0);
        EXPECT_EQ(c.cigar(), "3M1I7M");
        c.run(k, ts, qs, mat, 10, -1, -1, DPX_EZ_GAPS_RIGHT);
        EXPECT_EQ(c.cigar(), "6M1I4M");
    }
}

TEST(Dpx2, ExtensionEnds) {
    std::vector<int8_t> mat = make_matrix(2, 4, 1);
    const Kernel k = {true, 4, 2, 24, 1};
    Seq qs = encode("ACGTTGCAACGGTACCATGA"), ts = qs;
    ts.insert(ts.end(), {3, 3, 3, 3, 3, 3, 3, 3});
    Call c;
    /* the query is consumed first; the end of the query is the best cell */
    c.run(k, qs, ts, mat, 50, 100, 0, DPX_EZ_EXTEND_ONLY);
    EXPECT_EQ(c.ez.qend_best, 40);
    EXPECT_EQ(c.ez.qend_tpos, 19);
    EXPECT_EQ(c.ez.best_score, 40u);
    EXPECT_EQ(c.ez.reached_end, 0); /* 40 + 0 is not above 40 */
    EXPECT_EQ(c.cigar(), "20M");
    EXPECT_EQ(c.ez.tend_best, 40 - (4 + 16));
    EXPECT_EQ(c.ez.tend_qpos, 19);
    EXPECT_EQ(c.ez.score, 40 - (4 + 16));
    c.run(k, qs, ts, mat, 50, 100, 1, DPX_EZ_EXTEND_ONLY);
    EXPECT_EQ(c.ez.reached_end, 1);
    EXPECT_EQ(c.cigar(), "20M");
    /* a query tail with a mismatch: the best cell stops before it, unless
     * the bonus pays for the mismatch */
    Seq q2 = qs;
    q2.insert(q2.end(), {3, 3});
    Seq t2 = qs;
    t2.insert(t2.end(), {3, 0, 1, 1, 1, 1});
    c.run(k, q2, t2, mat, 50, 100, 4, DPX_EZ_EXTEND_ONLY); /* 38 + 4 only equals 42 */
    EXPECT_EQ(c.ez.best_score, 42u);
    EXPECT_EQ(c.ez.qend_best, 38);
    EXPECT_EQ(c.ez.qend_tpos, 21);
    EXPECT_EQ(c.ez.reached_end, 0);
    EXPECT_EQ(c.cigar(), "21M");
    c.run(k, q2, t2, mat, 50, 100, 5, DPX_EZ_EXTEND_ONLY);
    EXPECT_EQ(c.ez.reached_end, 1);
    EXPECT_EQ(c.cigar(), "22M");
    c.run(k, q2, t2, mat, 50, 100, 5, DPX_EZ_EXTEND_ONLY | DPX_EZ_CIGAR_REVERSED);
    EXPECT_EQ(c.ez.reached_end, 1);
    EXPECT_EQ(c.cigar(), "22M");
    /* nothing ever positive: no best cell, no CIGAR */
    Seq aa = encode("AAAAAAAA"), cc = encode("CCCCCCCCCC");
    c.run(k, aa, cc, mat, 50, -1, 0, DPX_EZ_EXTEND_ONLY);
    EXPECT_EQ(c.ez.best_score, 0u);
    EXPECT_EQ(c.ez.best_tpos, -1);
    EXPECT_EQ(c.ez.best_qpos, -1);
    EXPECT_EQ(c.ez.n_cigar, 0);
}

TEST(Dpx2, ZDropStopsAndBacktracksFromBest) {
    Gen g(61);
    std::vector<int8_t> mat = make_matrix(2, 4, 1);
    Seq common = g.random_seq(100, 0);
    Seq qs = common, ts = common;
    Seq qt = g.random_seq(300, 0), tt = g.random_seq(300, 0);
    qs.insert(qs.end(), qt.begin(), qt.end());
    ts.insert(ts.end(), tt.begin(), tt.end());
    for (bool dual : {true, false}) {
        Kernel k = dual ? Kernel{true, 4, 2, 24, 1} : Kernel{false, 4, 2, 0, 0};
        Call c;
        c.run(k, qs, ts, mat, 500, 100, -1, DPX_EZ_EXTEND_ONLY);
        EXPECT_EQ(c.ez.dropped, 1u);
        EXPECT_EQ(c.ez.best_score, 200u);
        EXPECT_EQ(c.ez.best_tpos, 99);
        EXPECT_EQ(c.ez.best_qpos, 99);
        EXPECT_EQ(c.cigar(), "100M");
        EXPECT_EQ(c.ez.score, DPX_SCORE_UNSET);
        c.run(k, qs, ts, mat, 500, -1, -1, DPX_EZ_EXTEND_ONLY);
        EXPECT_EQ(c.ez.dropped, 0u);
        EXPECT_NE(c.ez.score, DPX_SCORE_UNSET);
        /* fast mode tracks nothing without FAST_DROP, but still scores the end cell */
        c.run(k, qs, ts, mat, 500, 100, -1, DPX_EZ_FAST_MAX);
        EXPECT_EQ(c.ez.dropped, 0u);
        EXPECT_EQ(c.ez.best_score, 0u);
        EXPECT_EQ(c.ez.qend_best, DPX_SCORE_UNSET);
        EXPECT_EQ(c.ez.tend_best, DPX_SCORE_UNSET);
        EXPECT_NE(c.ez.score, DPX_SCORE_UNSET);
        c.run(k, qs, ts, mat, 500, 100, -1, DPX_EZ_FAST_MAX | DPX_EZ_FAST_DROP | DPX_EZ_EXTEND_ONLY);
        EXPECT_EQ(c.ez.dropped, 1u);
        EXPECT_EQ(c.ez.best_score, 200u);
        EXPECT_EQ(c.cigar(), "100M");
    }
}

TEST(Dpx2, ZDropRule) {
    dpx_extz ez = dpx_extz();
    dpx_extz_clear(&ez);
    EXPECT_EQ(dpx_zdrop_check(&ez, 0, 0, 0, 10, 1), 0); /* not above the initial 0 */
    EXPECT_EQ(ez.best_tpos, -1);
    EXPECT_EQ(dpx_zdrop_check(&ez, 50, 10, 4, 10, 1), 0);
    EXPECT_EQ(ez.best_score, 50u);
    EXPECT_EQ(ez.best_tpos, 4);
    EXPECT_EQ(ez.best_qpos, 6);
    EXPECT_EQ(dpx_zdrop_check(&ez, 50, 12, 5, 10, 1), 0); /* equal: the earlier cell stays */
    EXPECT_EQ(ez.best_tpos, 4);
    /* 3 bases off the best cell's diagonal: the threshold is 10 + 3 */
    EXPECT_EQ(dpx_zdrop_check(&ez, 37, 17, 9, 10, 1), 0);
    EXPECT_EQ(dpx_zdrop_check(&ez, 36, 17, 9, 10, 1), 1);
    EXPECT_EQ(ez.dropped, 1u);
    ez.dropped = 0;
    EXPECT_EQ(dpx_zdrop_check(&ez, 0, 17, 3, 10, 1), 0);  /* above the best cell's row: no drop */
    EXPECT_EQ(dpx_zdrop_check(&ez, 0, 17, 12, -1, 1), 0); /* negative zdrop: never */
    EXPECT_EQ(ez.dropped, 0u);
}

/* The 32-bit row update and the order of preference of the maximum: the
 * last cell, then four interleaved lanes in lane order, then the tail. */
TEST(Dpx2, RowMaximumOrderOfPreference) {
    auto run_row = [](std::vector<int32_t> &H, const std::vector<int> &d, int off, int st0, int en0,
                      int *mt) {
        std::vector<uint8_t> bytes(d.size() + 16);
        for (size_t t = 0; t < d.size(); ++t) bytes[t] = (uint8_t)(d[t] + off);
        int32_t mh;
        dpx_update_row(H.data(), bytes.data(), bytes.data(), off, st0, en0, &mh, mt);
        return mh;
    };
    /* hand-worked: after the update H = 5 7 7 3 7 7 0 0 7 | 6 (last cell) */
    std::vector<int> d = {5, 7, 7, 3, 7, 7, 0, 0, 7, 6};
    std::vector<int32_t> H(32, 0);
    int mt;
    EXPECT_EQ(run_row(H, d, 0, 0, 9, &mt), 7);
    EXPECT_EQ(mt, 4); /* lane 0 (cells 0, 4) before lane 1 (cells 1, 5) */
    d[8] = 8, H.assign(32, 0);
    EXPECT_EQ(run_row(H, d, 128, 0, 9, &mt), 8);
    EXPECT_EQ(mt, 8); /* the tail, strictly greater */
    d[9] = 8, H.assign(32, 0);
    EXPECT_EQ(run_row(H, d, 20, 0, 9, &mt), 8);
    EXPECT_EQ(mt, 9); /* the last cell first */

    Gen g(81);
    for (int it = 0; it < 3000; ++it) {
        int st0 = g.uni(0, 20), en0 = st0 + g.uni(0, 70), n = en0 + 1;
        std::vector<int32_t> H0(n + 16);
        for (auto &h : H0) h = 1000 + g.uni(-3, 3);
        std::vector<int> d(n);
        for (auto &x : d) x = g.uni(-4, 4);
        /* the rule as stated */
        std::vector<int32_t> want = H0;
        want[en0] = en0 > 0 ? H0[en0 - 1] + d[en0] : H0[0] + d[0];
        for (int t = st0; t < en0; ++t) want[t] += d[t];
        int best = want[en0], best_t = en0, en1 = st0 + (en0 - st0) / 4 * 4;
        for (int k = 0; k < 4; ++k) {
            int lh = want[en0], lt = en0;
            for (int t = st0 + k; t < en1; t += 4)
                if (want[t] > lh) lh = want[t], lt = t;
            if (lh > best) best = lh, best_t = lt;
        }
        for (int t = en1; t < en0; ++t)
            if (want[t] > best) best = want[t], best_t = t;
        for (int off : {0, 128, 9}) {
            std::vector<int32_t> H = H0;
            ASSERT_EQ(run_row(H, d, off, st0, en0, &mt), best) << it << " off " << off;
            ASSERT_EQ(mt, best_t) << it << " off " << off;
            ASSERT_EQ(H, want) << it << " off " << off;
        }
    }
}

TEST(Dpx2, CigarPushAndReuse) {
    km_arena *km = km_create();
    int n = 0, cap = 0;
    uint32_t *c = nullptr;
    c = dpx_cigar_push(km, &n, &cap, c, 0, 3);
    EXPECT_EQ(cap, 4);
    c = dpx_cigar_push(km, &n, &cap, c, 0, 2);
    EXPECT_EQ(n, 1);
    EXPECT_EQ(c[0], 5u << 4);
    for (int k = 0; k < 4; ++k) c = dpx_cigar_push(km, &n, &cap, c, k % 2 + 1, 1);
    EXPECT_EQ(n, 5);
    EXPECT_EQ(cap, 8);
    for (int k = 0; k < 4; ++k) c = dpx_cigar_push(km, &n, &cap, c, k % 2, 1);
    EXPECT_EQ(cap, 16);
    EXPECT_EQ(cigar_str(c, n), "5M1I1D1I1D1M1I1M1I");
    kfree(km, c);

    /* one record across calls: the array is reused and only grows */
    std::vector<int8_t> mat = make_matrix(2, 4, 1);
    Call call(km);
    Seq ts = encode("ACGTACGTACGTACGTACGT"), qs = encode("ACGTAGTACGAACGTTACGT");
    call.run({true, 4, 2, 24, 1}, qs, ts, mat, 10, -1, -1, 0);
    std::string first = call.cigar();
    EXPECT_GE(call.ez.n_cigar, 3) << first;
    int cap1 = call.ez.cigar_cap;
    call.run({true, 4, 2, 24, 1}, ts, ts, mat, 10, -1, -1, 0);
    EXPECT_EQ(call.cigar(), "20M");
    EXPECT_EQ(call.ez.cigar_cap, cap1);
    call.run({true, 4, 2, 24, 1}, qs, ts, mat, 10, -1, -1, DPX_EZ_CIGAR_REVERSED);
    std::string rev;
    for (int k = call.ez.n_cigar - 1; k >= 0; --k) rev += cigar_str(call.ez.cigar + k, 1);
    EXPECT_EQ(rev, first);
    kfree(km, call.ez.cigar);
    call.ez.cigar = nullptr;
    km_release(km);
}

TEST(Dpx2, OverhangsAreOneOperationEach) {
    /* unaligned ends: one I or D each, last in backtrack order */
    km_arena *km = km_create();
    Call c(km);
    std::vector<int8_t> mat = make_matrix(2, 4, 1);
    Seq qs = encode("GGGGGACGTTGCAACGGTACCATGA"), ts = encode("ACGTTGCAACGGTACCATGATTTTTTTTTT");
    c.run({true, 4, 2, 24, 1}, qs, ts, mat, -1, -1, -1, 0);
    EXPECT_EQ(c.cigar(), "5I20M10D");
    c.run({true, 4, 2, 24, 1}, qs, ts, mat, -1, -1, -1, DPX_EZ_CIGAR_REVERSED);
    EXPECT_EQ(c.cigar(), "10D20M5I");
    kfree(km, c.ez.cigar);
    c.ez.cigar = nullptr;
    km_release(km);
}

TEST(Dpx2, FullMatrixScoresAndCap) {
    /* transitions cheaper than transversions through the full matrix */
    std::vector<int8_t> mat = make_matrix(2, 8, 1, 2);
    Seq ts = encode("ACGTACGTAC"), qs = encode("ACGTGCGTAC"); /* A->G: a transition */
    Call c;
    c.run({true, 4, 2, 24, 1}, qs, ts, mat, 5, -1, -1, DPX_EZ_FULL_MATRIX);
    EXPECT_EQ(c.ez.score, 18 - 2);
    c.run({true, 4, 2, 24, 1}, qs, ts, mat, 5, -1, -1, 0);
    EXPECT_EQ(c.ez.score, 18 - 8);
    /* a diagonal entry above matrix[0] is capped at matrix[0] per cell */
    mat[6] = 5;
    Seq cs = encode("CCCCCCCC");
    for (bool dual : {true, false}) {
        c.run(dual ? Kernel{true, 4, 2, 24, 1} : Kernel{false, 4, 2, 0, 0}, cs, cs, mat, 5, -1, -1,
              DPX_EZ_FULL_MATRIX);
        EXPECT_EQ(c.ez.score, 16);
        EXPECT_EQ(c.cigar(), "8M");
    }
}

/* Codes beyond the alphabet count as the wildcard, in both scoring modes. */
TEST(Dpx2, CodesBeyondTheAlphabetAreWildcards) {
    std::vector<int8_t> mat = make_matrix(2, 4, 1, 3);
    Seq ts = encode("ACGTACGTACGTAC"), q4 = encode("ACGTANGTACGNAC"), q9 = q4;
    q9[5] = 9, q9[11] = 200;
    for (int flag : {0, DPX_EZ_FULL_MATRIX})
        for (bool dual : {true, false}) {
            Kernel k = dual ? Kernel{true, 4, 2, 24, 1} : Kernel{false, 4, 2, 0, 0};
            Call a, b;
            a.run(k, q4, ts, mat, 5, -1, -1, flag);
            b.run(k, q9, ts, mat, 5, -1, -1, flag);
            EXPECT_EQ(a.ez.score, 24 - 2);
            EXPECT_EQ(b.ez.score, a.ez.score);
            EXPECT_EQ(b.cigar(), a.cigar());
        }
}

TEST(Dpx2, ScratchMemoryGoesBackToTheArena) {
    km_arena *km = km_create();
    Gen g(71);
    Seq ts = g.random_seq(900, 0.01), qs = g.mutate(ts, 0.1);
    std::vector<int8_t> mat = make_matrix(2, 4, 1);
    km_stats s1, s2;
    for (int flag : {0, DPX_EZ_NO_PATH, DPX_EZ_FAST_MAX}) {
        for (bool dual : {true, false}) {
            Kernel k = dual ? Kernel{true, 4, 2, 24, 1} : Kernel{false, 4, 2, 0, 0};
            Call c(km);
            c.run(k, qs, ts, mat, 200, 400, 10, flag | DPX_EZ_NO_PATH);
            km_stat(km, &s1);
            c.run(k, qs, ts, mat, 200, 400, 10, flag | DPX_EZ_NO_PATH);
            km_stat(km, &s2);
            EXPECT_EQ(s1.available, s2.available);
            EXPECT_EQ(s1.capacity, s2.capacity);
            c.run(k, qs, ts, mat, 200, 400, 10, flag);
            kfree(km, c.ez.cigar);
            c.ez.cigar = nullptr;
            km_stat(km, &s2);
            EXPECT_EQ(s2.available + 16 * s2.n_cores, s2.capacity);
        }
    }
    km_release(km);
}

/* The widest kernels run above; the narrower ones are checked by running
 * these tests again with the wider instruction sets switched off. */
TEST(Dpx2, NarrowerKernelsMatchTheModelToo) {
    lstest::check_narrower_kernels("Dpx2.*");
}
