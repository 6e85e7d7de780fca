#include "output/text.h"

#include <stdlib.h>
#include <string.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "base/arena.h"
#include "map/regions.h"
#include "lodestar.h"
#include "sim.h"
#include "testutil.h"

namespace {

using lssim::revcomp;
using lstest::Idx;
using lstest::op;
using lstest::random_dna;
using lstest::split;

/* A region that owns its alignment detail. */
struct Reg {
    ls_reg r;
    Reg(int rs, int re, int qs, int qe, int rev, const std::vector<uint32_t> &cigar, bool aligned = true) {
        memset(&r, 0, sizeof(r));
        r.rs = rs, r.re = re, r.qs = qs, r.qe = qe, r.reverse = (uint32_t)rev;
        r.divergence = -1.0f;
        if (aligned && cigar.empty()) {
            ls_extra_reserve(&r, 1); // a detail without operations: 8 zeroed words
        } else if (aligned) {
            ls_extra_append_cigar(&r, (uint32_t)cigar.size(), cigar.data());
        }
    }
    ~Reg() { free(r.p); }
    Reg(const Reg &) = delete;
    Reg &operator=(const Reg &) = delete;
};

/* The bare difference string through the public wrapper. */
std::string diff(const ls_idx *mi, const ls_reg *r, const std::string &q, int is_md, int is_ds, int no_iden,
                 int qstrand = 0) {
    char *buf = nullptr;
    int cap = 0;
    km_arena *km = km_create();
    const int n = ls_diff_string_full(km, &buf, &cap, mi, r, q.c_str(), is_md, is_ds, no_iden, qstrand);
    km_release(km);
    std::string s = n < 0            ? std::string("<refused>")
                    : buf != nullptr ? std::string(buf, (size_t)n)
                                     : std::string();
    free(buf);
    return s;
}
std::string cs_short(const ls_idx *mi, const ls_reg *r, const std::string &q, int qs = 0) {
    return diff(mi, r, q, 0, 0, 1, qs);
}
std::string cs_long(const ls_idx *mi, const ls_reg *r, const std::string &q, int qs = 0) {
    return diff(mi, r, q, 0, 0, 0, qs);
}
std::string ds_short(const ls_idx *mi, const ls_reg *r, const std::string &q) {
    return diff(mi, r, q, 0, 1, 1);
}
std::string md(const ls_idx *mi, const ls_reg *r, const std::string &q, int qs = 0) {
    return diff(mi, r, q, 1, 0, 0, qs);
}

std::string upper(std::string s) {
    for (char &c : s)
        c = (c == 'a' || c == 'A')                           ? 'A'
            : (c == 'c' || c == 'C')                         ? 'C'
            : (c == 'g' || c == 'G')                         ? 'G'
            : (c == 't' || c == 'T' || c == 'u' || c == 'U') ? 'T'
                                                             : 'N';
    return s;
}

/* Rebuilds the aligned query and target bases from a cs string (either form);
 * tref is the target interval, used for the stretches that the short form
 * and introns give only as lengths. Returns false on a malformed string. */
bool parse_cs(const std::string &cs, const std::string &tref, std::string *q, std::string *t) {
    q->clear(), t->clear();
    size_t i = 0;
    auto number = [&](size_t *n) {
        if (i >= cs.size() || !isdigit((unsigned char)cs[i])) return false;
        *n = 0;
        while (i < cs.size() && isdigit((unsigned char)cs[i])) *n = *n * 10 + (size_t)(cs[i++] - '0');
        return true;
    };
    while (i < cs.size()) {
        const char c = cs[i++];
        size_t n;
        if (c == ':') {
            if (!number(&n) || t->size() + n > tref.size()) return false;
            *q += tref.substr(t->size(), n);
            *t += tref.substr(t->size(), n);
        } else if (c == '=') {
            while (i < cs.size() && isupper((unsigned char)cs[i])) *q += cs[i], *t += cs[i++];
        } else if (c == '*') {
            if (i + 2 > cs.size()) return false;
            *t += upper(cs.substr(i, 1)), *q += upper(cs.substr(i + 1, 1));
            i += 2;
        } else if (c == '+' || c == '-') {
            std::string s;
            while (i < cs.size() && islower((unsigned char)cs[i])) s += cs[i++];
            if (s.empty()) return false;
            *(c == '+' ? q : t) += upper(s);
        } else if (c == '~') {
            if (i + 2 > cs.size()) return false;
            const std::string a = upper(cs.substr(i, 2));
            i += 2;
            if (!number(&n) || i + 2 > cs.size()) return false;
            const std::string b = upper(cs.substr(i, 2));
            i += 2;
            if (t->size() + n > tref.size()) return false;
            const std::string intron = tref.substr(t->size(), n);
            if (intron.substr(0, 2) != a || intron.substr(n - 2) != b) return false;
            *t += intron;
        } else {
            return false;
        }
    }
    return true;
}

} // namespace

TEST(Format, StringPrintf) {
    ls_string s = {0, 0, nullptr};
    ls_string_printf(&s, "");
    ASSERT_NE(s.s, nullptr);
    EXPECT_EQ(s.l, 0u);
    EXPECT_EQ(s.s[0], 0);
    ls_string_printf(&s, "ab%d|%u|%s|%c", -5, 4000000000u, "xyz", 'Q');
    EXPECT_STREQ(s.s, "ab-5|4000000000|xyz|Q");
    EXPECT_EQ(s.l, 21u);
    EXPECT_EQ(s.m, 32u);                       // smallest power of two holding 21 + 1
    ls_string_printf(&s, "%s", "0123456789a"); // 32 bytes + terminator: 64
    EXPECT_EQ(s.l, 32u);
    EXPECT_EQ(s.m, 64u);
    EXPECT_EQ(s.s[32], 0);
    ls_string_printf(&s, "%d%d", -2147483647 - 1, 2147483647);
    EXPECT_STREQ(s.s + 32, "-21474836482147483647");
    free(s.s);

    ls_string d = {0, 0, nullptr};
    EXPECT_DEATH(ls_string_printf(&d, "%x", 1), "");
    EXPECT_DEATH(ls_string_printf(&d, "50%"), "");
    free(d.s);
}

TEST(Format, DiffStringsWorkedExamples) {
    // One mismatch at the 4th base: target G, query A.
    {
        Idx x({"TTTTT"
               "ACTGCATGCA"
               "GGGGG"});
        Reg r(5, 15, 0, 10, 0, {op(10, 'M')});
        const std::string q = "ACTACATGCA";
        EXPECT_EQ(cs_short(x.mi, &r.r, q), ":3*ga:6");
        EXPECT_EQ(cs_long(x.mi, &r.r, q), "=ACT*ga=CATGCA");
        EXPECT_EQ(md(x.mi, &r.r, q), "3G6");
    }
    // Mismatch at the first and at the last base.
    {
        Idx x({"GCTACATGCG"});
        Reg r(0, 10, 0, 10, 0, {op(10, 'M')});
        EXPECT_EQ(md(x.mi, &r.r, "ACTACATGCG"), "0G9");
        EXPECT_EQ(cs_short(x.mi, &r.r, "ACTACATGCG"), "*ga:9");
        EXPECT_EQ(md(x.mi, &r.r, "GCTACATGCA"), "9G0");
        EXPECT_EQ(cs_long(x.mi, &r.r, "GCTACATGCA"), "=GCTACATGC*ga");
    }
    // Deletion of AC between five matches on each side; the C repeats the
    // base before the gap, so ds brackets it.
    {
        Idx x({"CATGC"
               "AC"
               "TTGCA"});
        Reg r(0, 12, 0, 10, 0, {op(5, 'M'), op(2, 'D'), op(5, 'M')});
        const std::string q = "CATGCTTGCA";
        EXPECT_EQ(md(x.mi, &r.r, q), "5^AC5");
        EXPECT_EQ(cs_short(x.mi, &r.r, q), ":5-ac:5");
        EXPECT_EQ(cs_long(x.mi, &r.r, q), "=CATGC-ac=TTGCA");
        EXPECT_EQ(ds_short(x.mi, &r.r, q), ":5-a[c]:5");
    }
    // Insertion of CA inside CA CA: fully repeated on both sides.
    {
        Idx x({"GTCACAGT"});
        Reg r(0, 8, 0, 10, 0, {op(4, 'M'), op(2, 'I'), op(4, 'M')});
        const std::string q = "GTCACACAGT";
        EXPECT_EQ(ds_short(x.mi, &r.r, q), ":4+[ca]:4");
        EXPECT_EQ(cs_short(x.mi, &r.r, q), ":4+ca:4");
        EXPECT_EQ(md(x.mi, &r.r, q), "8");
    }
    // Insertion of GTT after AGT and before TTC: only the last T repeats.
    {
        Idx x({"CAGTTTCA"});
        Reg r(0, 8, 0, 11, 0, {op(4, 'M'), op(3, 'I'), op(4, 'M')});
        const std::string q = "CAGTGTTTTCA";
        EXPECT_EQ(ds_short(x.mi, &r.r, q), ":4+gt[t]:4");
        EXPECT_EQ(diff(x.mi, &r.r, q, 0, 1, 0), "=CAGT+gt[t]=TTCA");
        EXPECT_EQ(cs_long(x.mi, &r.r, q), "=CAGT+gtt=TTCA");
    }
    // Intron of 1000 bases GT...AG, on both strands.
    {
        const std::string t = "ACGTA"
                              "GT" +
                              std::string(996, 'C') +
                              "AG"
                              "CATGA";
        Idx x({t});
        const std::string q = "ACGTACATGA";
        Reg f(0, 1010, 0, 10, 0, {op(5, 'M'), op(1000, 'N'), op(5, 'M')});
        EXPECT_EQ(cs_short(x.mi, &f.r, q), ":5~gt1000ag:5");
        EXPECT_EQ(cs_long(x.mi, &f.r, q), "=ACGTA~gt1000ag=CATGA");
        EXPECT_EQ(md(x.mi, &f.r, q), "10");
        Reg r(0, 1010, 2, 12, 1, {op(5, 'M'), op(1000, 'N'), op(5, 'M')});
        const std::string rq = "GG" + revcomp(q) + "T";
        EXPECT_EQ(cs_short(x.mi, &r.r, rq), ":5~gt1000ag:5");
        EXPECT_EQ(cs_long(x.mi, &r.r, rq), "=ACGTA~gt1000ag=CATGA");
    }
    // Reverse-strand region: query letters are those of the target strand.
    {
        Idx x({"TTTTT"
               "ACTGCATGCA"
               "GGGGG"});
        Reg r(5, 15, 2, 12, 1, {op(10, 'M')});
        const std::string q = "GG" + revcomp("ACTACATGCA") + "CCC";
        EXPECT_EQ(cs_short(x.mi, &r.r, q), ":3*ga:6");
        EXPECT_EQ(cs_long(x.mi, &r.r, q), "=ACT*ga=CATGCA");
        EXPECT_EQ(md(x.mi, &r.r, q), "3G6");
    }
    // Query-strand mode: the target is read reverse-complemented on the
    // reverse strand and the query as given.
    {
        Idx x({"ACTGCATGCA"}); // reverse complement TGCATGCAGT
        Reg r(0, 10, 0, 10, 1, {op(10, 'M')});
        const std::string q = "TGCATGCCGT";
        EXPECT_EQ(cs_short(x.mi, &r.r, q, 1), ":7*ac:2");
        EXPECT_EQ(md(x.mi, &r.r, q, 1), "7A2");
        EXPECT_EQ(cs_short(x.mi, &r.r, q, 0), ":2*tg:7"); // along the forward target instead
    }
    // Ambiguous bases, mixed case and U: N against N counts as identical.
    {
        Idx x({"ACGNNACGTA"});
        Reg r(0, 10, 0, 10, 0, {op(4, 'M'), op(6, 'M')});
        EXPECT_EQ(cs_long(x.mi, &r.r, "acgnRacguA"), "=ACGN=NACGTA"); // one run per operation
        EXPECT_EQ(cs_long(x.mi, &r.r, "acgnAacguA"), "=ACGN*na=ACGTA");
        EXPECT_EQ(md(x.mi, &r.r, "acgnAacguA"), "4N5");
        EXPECT_EQ(md(x.mi, &r.r, "acgnRacguA"), "10");
    }
}

/* MD always closes with a count, 0 included, and separates adjacent letters
 * and deletions with one, so that readers can split it unambiguously. */
TEST(Format, MdCountsBetweenAndAfterEveryDifference) {
    const std::string tg = "ACGTACGTAC";
    Idx x({tg});
    struct Case {
        const char *query;
        std::vector<uint32_t> cigar;
        const char *want;
    } cases[] = {
        {"ACGTACGTAA", {op(10, 'M')}, "9C0"},                          // mismatch at the last base
        {"ACGTTTGTAC", {op(10, 'M')}, "4A0C4"},                        // two mismatches in a row
        {"ACGGGTAC", {op(3, 'M'), op(2, 'D'), op(5, 'M')}, "3^TA0C4"}, // mismatch right after a deletion
        {"ACCCGTAC", {op(3, 'M'), op(2, 'D'), op(5, 'M')}, "2G0^TA5"}, // deletion right after a mismatch
        {"ACGTACGT", {op(8, 'M'), op(2, 'D')}, "8^AC0"},               // deletion at the end
        {"ACGTA", {op(5, 'M'), op(5, 'N')}, "5"},                      // an intron adds nothing
    };
    for (const Case &c : cases) {
        int t_span = 0;
        for (uint32_t o : c.cigar)
            if ((o & 0xf) != LS_CIGAR_INS) t_span += (int)(o >> 4);
        Reg r(0, t_span, 0, (int)strlen(c.query), 0, c.cigar);
        EXPECT_EQ(md(x.mi, &r.r, c.query), c.want) << c.query;
    }
}

TEST(Format, DiffStringsRefusalsAndTags) {
    Idx x({"TTTTTACTGCATGCAGGGGG"});
    // No alignment detail: nothing written, length 0.
    Reg none(5, 15, 0, 10, 0, {}, false);
    EXPECT_EQ(cs_short(x.mi, &none.r, "ACTACATGCA"), "");
    // A query shorter than qe, or a target interval beyond the target: refused.
    Reg r(5, 15, 0, 10, 0, {op(10, 'M')});
    EXPECT_EQ(cs_short(x.mi, &r.r, "ACTAC"), "<refused>");
    Reg far(15, 25, 0, 10, 0, {op(10, 'M')});
    EXPECT_EQ(cs_short(x.mi, &far.r, "ACTACATGCA"), "<refused>");
    // A CIGAR that does not span the region, a soft clip, a 1-base intron.
    Reg short_cigar(5, 15, 0, 10, 0, {op(9, 'M')});
    EXPECT_DEATH(cs_short(x.mi, &short_cigar.r, "ACTACATGCA"), "t_off == r->re - r->rs");
    Reg clip(5, 15, 0, 10, 0, {op(10, 'M'), op(1, 'S')});
    EXPECT_DEATH(md(x.mi, &clip.r, "ACTACATGCAT"), "op == LS_CIGAR_EQ_MATCH");
    Reg intron(5, 15, 0, 9, 0, {op(4, 'M'), op(1, 'N'), op(5, 'M')});
    EXPECT_DEATH(cs_short(x.mi, &intron.r, "ACTACATGC"), "len >= 2");

    // Tag prefixes and appending through the full entry point.
    ls_string s = {0, 0, nullptr};
    ls_bseq_rec q;
    memset(&q, 0, sizeof(q));
    q.seq = (char *)"ACTACATGCA";
    q.len = 10;
    ls_string_printf(&s, "x");
    EXPECT_EQ(ls_write_diff_tags(nullptr, &s, x.mi, &q, &r.r, 1, 0, 0, 1, 0), 0);
    EXPECT_EQ(ls_write_diff_tags(nullptr, &s, x.mi, &q, &r.r, 0, 1, 0, 1, 0), 0);
    EXPECT_EQ(ls_write_diff_tags(nullptr, &s, x.mi, &q, &r.r, 1, 0, 1, 1, 0), 0);
    EXPECT_STREQ(s.s, "x\tcs:Z::3*ga:6\tMD:Z:3G6\tds:Z::3*ga:6");
    free(s.s);

    // A caller's buffer is reused and grown.
    char *buf = (char *)malloc(4);
    int cap = 4;
    EXPECT_EQ(ls_cs_string(nullptr, &buf, &cap, x.mi, &r.r, q.seq, 0), 14);
    EXPECT_STREQ(buf, "=ACT*ga=CATGCA");
    EXPECT_EQ(cap, 16);
    EXPECT_EQ(ls_md_string(nullptr, &buf, &cap, x.mi, &r.r, q.seq), 3);
    EXPECT_STREQ(buf, "3G6");
    EXPECT_EQ(ls_ds_string(nullptr, &buf, &cap, x.mi, &r.r, q.seq, 1), 7);
    EXPECT_EQ(ls_diff_string(nullptr, &buf, &cap, x.mi, &r.r, q.seq, 0, 1, 0), 7);
    EXPECT_STREQ(buf, ":3*ga:6");
    free(buf);
}

/* Random alignments: the cs string (both forms) rebuilds the query and target
 * bases of the aligned interval, ds without brackets is cs, and the MD string
 * rebuilds the target bases under M and D operations. */
TEST(Format, DiffStringsRoundTrip) {
    std::mt19937 rng(20240611);
    std::string tgt = random_dna(rng, 6000);
    for (int i = 0; i < 60; ++i) tgt[rng() % tgt.size()] = 'N';
    Idx x({tgt});
    km_arena *km = km_create();
    for (int trial = 0; trial < 300; ++trial) {
        const int rs = (int)(rng() % 2500);
        std::vector<uint32_t> cigar;
        std::string aligned; // query bases along the target
        std::string m_query, md_target;
        int t = rs;
        const int n_ops = 1 + (int)(rng() % 12);
        for (int k = 0; k < n_ops; ++k) {
            const int kind = k == 0 || k == n_ops - 1 ? 0 : (int)(rng() % 8);
            if (kind <= 3) {
                const int len = 1 + (int)(rng() % 40);
                for (int i = 0; i < len; ++i, ++t) {
                    char c = tgt[(size_t)t];
                    const unsigned u = rng() % 100;
                    if (u < 8) c = "ACGTN"[rng() % 5];
                    if (u >= 95) c = (char)tolower(c);
                    aligned += c;
                    m_query += c;
                    md_target += tgt[(size_t)t];
                }
                cigar.push_back(op(len, "M=X"[rng() % 3]));
            } else if (kind <= 5) {
                const int len = 1 + (int)(rng() % 8);
                aligned += random_dna(rng, len);
                cigar.push_back(op(len, 'I'));
            } else if (kind == 6) {
                const int len = 1 + (int)(rng() % 8);
                md_target += tgt.substr((size_t)t, (size_t)len);
                t += len;
                cigar.push_back(op(len, 'D'));
            } else {
                const int len = 2 + (int)(rng() % 60);
                t += len;
                cigar.push_back(op(len, 'N'));
            }
        }
        const int re = t;
        const std::string left = random_dna(rng, (int)(rng() % 20)),
                          right = random_dna(rng, (int)(rng() % 20));
        const int rev = (int)(rng() & 1);
        const std::string query = rev ? revcomp(left + aligned + right) : left + aligned + right;
        const int qs = rev ? (int)right.size() : (int)left.size();
        Reg r(rs, re, qs, qs + (int)aligned.size(), rev, cigar);
        ASSERT_EQ(r.r.p->n_cigar <= cigar.size(), true);

        const std::string tref = upper(tgt.substr((size_t)rs, (size_t)(re - rs)));
        const std::string want_q = upper(aligned);
        for (int no_iden = 0; no_iden <= 1; ++no_iden) {
            char *buf = nullptr;
            int cap = 0;
            ASSERT_GE(ls_cs_string(km, &buf, &cap, x.mi, &r.r, query.c_str(), no_iden), 0);
            const std::string cs = buf;
            std::string q, tt;
            ASSERT_TRUE(parse_cs(cs, tref, &q, &tt)) << cs;
            EXPECT_EQ(q, want_q) << cs;
            EXPECT_EQ(tt, tref) << cs;
            ASSERT_GE(ls_ds_string(km, &buf, &cap, x.mi, &r.r, query.c_str(), no_iden), 0);
            std::string ds = buf;
            ds.erase(std::remove_if(ds.begin(), ds.end(), [](char c) { return c == '[' || c == ']'; }),
                     ds.end());
            EXPECT_EQ(ds, cs);
            free(buf);
        }
        // MD: numbers copy query bases under M, letters are mismatching
        // target bases, ^ introduces deleted ones.
        char *buf = nullptr;
        int cap = 0;
        ASSERT_GE(ls_md_string(km, &buf, &cap, x.mi, &r.r, query.c_str()), 0);
        const std::string mds = buf;
        free(buf);
        static const std::regex md_grammar("[0-9]+(([A-Z]|\\^[A-Z]+)[0-9]+)*");
        EXPECT_TRUE(std::regex_match(mds, md_grammar)) << mds;
        std::string rebuilt;
        const std::string mq = upper(m_query);
        size_t mpos = 0;
        for (size_t i = 0; i < mds.size();) {
            if (isdigit((unsigned char)mds[i])) {
                size_t n = 0;
                while (i < mds.size() && isdigit((unsigned char)mds[i]))
                    n = n * 10 + (size_t)(mds[i++] - '0');
                rebuilt += mq.substr(mpos, n);
                mpos += n;
            } else if (mds[i] == '^') {
                for (++i; i < mds.size() && isupper((unsigned char)mds[i]); ++i) rebuilt += mds[i];
            } else {
                rebuilt += mds[i++];
                ++mpos;
            }
        }
        EXPECT_EQ(rebuilt, upper(md_target)) << mds;
        EXPECT_EQ(mpos, mq.size()) << mds;
    }
    lstest::expect_all_freed_and_release(km); // all scratch went back
}

namespace {

/* A mapped-looking region for the PAF tests: primary, 7 anchors, chain score
 * 50, query 10..160 of 200, target 100..250, 140 matches in a 150 block. */
void base_region(ls_reg *r) {
    r->id = r->parent = 0;
    r->n_anchors = 7;
    r->chain_score = 50;
    r->match_len = 140, r->block_len = 150;
    r->mapq = 60;
}

std::string paf(const ls_idx *mi, const ls_bseq_rec *q, const ls_reg *r, int64_t flag, int rep_len = -1,
                int n_seg = 0, int seg_idx = 0) {
    ls_string s = {0, 0, nullptr};
    ls_string_printf(&s, "stale text that must go");
    ls_paf_format(&s, mi, q, r, nullptr, flag, rep_len, n_seg, seg_idx);
    std::string out(s.s, s.l);
    free(s.s);
    return out;
}

} // namespace

TEST(Format, PafLines) {
    std::mt19937 rng(7);
    const std::string t1 = random_dna(rng, 1000), t2 = random_dna(rng, 500);
    Idx x({t1, t2});
    std::string qseq = t1.substr(90, 200);
    ls_bseq_rec q;
    memset(&q, 0, sizeof(q));
    q.name = (char *)"q1";
    q.len = 200;
    q.seq = &qseq[0];
    q.comment = (char *)"BC:Z:xyz";

    const std::string cols = "q1\t200\t10\t160\t+\tchr1\t1000\t100\t250\t140\t150\t60";
    Reg u(100, 250, 10, 160, 0, {}, false);
    base_region(&u.r);
    EXPECT_EQ(paf(x.mi, &q, &u.r, 0), cols + "\ttp:A:P\tcm:i:7\ts1:i:50\ts2:i:0");
    u.r.divergence = 0.05f;
    u.r.zdrop_split = 2;
    EXPECT_EQ(paf(x.mi, &q, &u.r, 0, 33),
              cols + "\ttp:A:P\tcm:i:7\ts1:i:50\ts2:i:0\tdv:f:0.0500\tzd:i:2\trl:i:33");
    u.r.divergence = 0.0f, u.r.zdrop_split = 0;
    EXPECT_EQ(paf(x.mi, &q, &u.r, 0), cols + "\ttp:A:P\tcm:i:7\ts1:i:50\ts2:i:0\tdv:f:0");
    u.r.divergence = 1.5f;
    EXPECT_EQ(paf(x.mi, &q, &u.r, 0), cols + "\ttp:A:P\tcm:i:7\ts1:i:50\ts2:i:0");
    // Inverted secondary and inverted primary; a plain secondary has no s2.
    u.r.id = 1, u.r.parent = 0, u.r.sub_score = 9, u.r.divergence = -1.0f;
    EXPECT_EQ(paf(x.mi, &q, &u.r, 0), cols + "\ttp:A:S\tcm:i:7\ts1:i:50");
    u.r.inverted = 1;
    EXPECT_EQ(paf(x.mi, &q, &u.r, 0), cols + "\ttp:A:i\tcm:i:7\ts1:i:50");
    u.r.parent = 1;
    EXPECT_EQ(paf(x.mi, &q, &u.r, 0), cols + "\ttp:A:I\tcm:i:7\ts1:i:50\ts2:i:9");

    // Reverse strand in query-strand mode: the target interval is mirrored.
    Reg rv(100, 250, 10, 160, 1, {}, false);
    base_region(&rv.r);
    EXPECT_EQ(paf(x.mi, &q, &rv.r, LS_F_QUERY_STRAND).substr(0, 41),
              "q1\t200\t10\t160\t-\tchr1\t1000\t750\t900\t140\t150");
    EXPECT_EQ(paf(x.mi, &q, &rv.r, 0).substr(0, 41), "q1\t200\t10\t160\t-\tchr1\t1000\t100\t250\t140\t150");

    // Names: fragment suffix only with LS_F_FRAGMENT and several segments;
    // a nameless index prints the target id.
    EXPECT_EQ(paf(x.mi, &q, &u.r, LS_F_FRAGMENT, -1, 2, 1).substr(0, 7), "q1/2\t20");
    EXPECT_EQ(paf(x.mi, &q, &u.r, LS_F_FRAGMENT, -1, 1, 0).substr(0, 5), "q1\t20");
    EXPECT_EQ(paf(x.mi, &q, &u.r, 0, -1, 2, 1).substr(0, 5), "q1\t20");
    {
        Idx nameless({t1, t2}, false);
        Reg r2(5, 20, 10, 25, 0, {}, false);
        base_region(&r2.r);
        r2.r.target_id = 1;
        EXPECT_EQ(paf(nameless.mi, &q, &r2.r, 0).substr(0, 26), "q1\t200\t10\t25\t+\t1\t500\t5\t20\t");
    }

    // Unmapped: twelve columns, rl when given, never the comment.
    EXPECT_EQ(paf(x.mi, &q, nullptr, LS_F_COPY_COMMENT | LS_F_PAF_UNMAPPED, 12),
              "q1\t200\t0\t0\t*\t*\t0\t0\t0\t0\t0\t0\trl:i:12");
    EXPECT_EQ(paf(x.mi, &q, nullptr, 0), "q1\t200\t0\t0\t*\t*\t0\t0\t0\t0\t0\t0");

    // Aligned: NM = block + ambiguous - matches; de from the gap-compressed
    // identity (140 / 153 here); ts from the transcript strand.
    Reg a(100, 250, 10, 160, 0, {op(150, 'M')});
    base_region(&a.r);
    a.r.p->aln_score = 200, a.r.p->raw_max_score = 210, a.r.p->max_score = 5;
    a.r.p->n_ambiguous = 3, a.r.p->transcript_strand = 2;
    EXPECT_EQ(
        paf(x.mi, &q, &a.r, LS_F_CG_TAG | LS_F_COPY_COMMENT),
        cols + "\tNM:i:13\tms:i:210\tAS:i:200\tnn:i:3\tts:A:-\ttp:A:P\tcm:i:7\ts1:i:50\ts2:i:0\tde:f:0.0850"
               "\tcg:Z:150M\tBC:Z:xyz");
    a.r.p->transcript_strand = 3, a.r.p->n_ambiguous = 0;
    a.r.match_len = 150;
    a.r.divergence = 0.2f; // ignored when aligned
    EXPECT_EQ(paf(x.mi, &q, &a.r, 0),
              "q1\t200\t10\t160\t+\tchr1\t1000\t100\t250\t150\t150\t60\tNM:i:0\tms:i:210"
              "\tAS:i:200\tnn:i:0\ttp:A:P\tcm:i:7\ts1:i:50\ts2:i:0\tde:f:0");
    a.r.match_len = 99, a.r.block_len = 100;
    EXPECT_NE(paf(x.mi, &q, &a.r, 0).find("\tde:f:0.0100"), std::string::npos);

    // Target lengths are unsigned: 2^31 bases and more print as they are, and so do the
    // coordinates mirrored from them.
    x.mi->seq[0].len = 3000000000u;
    EXPECT_EQ(paf(x.mi, &q, &rv.r, LS_F_QUERY_STRAND).substr(0, 54),
              "q1\t200\t10\t160\t-\tchr1\t3000000000\t2999999750\t2999999900\t");
    x.mi->seq[0].len = 1000;

    // An alignment detail without operations: an empty cg tag.
    Reg e(100, 100, 10, 10, 0, {});
    base_region(&e.r);
    const std::string le = paf(x.mi, &q, &e.r, LS_F_CG_TAG);
    EXPECT_EQ(le.substr(le.size() - 6), "\tcg:Z:");

    // Difference strings after cg, in the flagged form; MD wins over cs.
    qseq = t1.substr(90, 200);
    qseq[10 + 3] = t1[103] == 'A' ? 'C' : 'A';
    q.seq = &qseq[0];
    Reg d(100, 110, 10, 20, 0, {op(10, 'M')});
    base_region(&d.r);
    const std::string mm = std::string(1, (char)tolower(t1[103])) + (char)tolower(qseq[13]);
    std::string l = paf(x.mi, &q, &d.r, LS_F_CG_TAG | LS_F_CS_TAG);
    EXPECT_EQ(l.substr(l.find("\tcg:Z:")), "\tcg:Z:10M\tcs:Z::3*" + mm + ":6");
    l = paf(x.mi, &q, &d.r, LS_F_CS_TAG | LS_F_CS_LONG);
    EXPECT_EQ(l.substr(l.find("\tcs:Z:")),
              "\tcs:Z:=" + t1.substr(100, 3) + "*" + mm + "=" + t1.substr(104, 6));
    l = paf(x.mi, &q, &d.r, LS_F_CS_TAG | LS_F_MD_TAG);
    EXPECT_EQ(l.substr(l.find("\tMD:Z:")), "\tMD:Z:3" + std::string(1, t1[103]) + "6");
    EXPECT_EQ(l.find("cs:Z:"), std::string::npos);
    l = paf(x.mi, &q, &d.r, LS_F_DS_TAG);
    EXPECT_EQ(l.substr(l.find("\tds:Z:")), "\tds:Z::3*" + mm + ":6");
}

/* End to end: regions from the mapper with base-level alignment, printed as
 * PAF lines with cg and cs tags. */
TEST(Format, PafFromMapper) {
    std::mt19937 rng(99);
    std::vector<std::string> genome = {random_dna(rng, 20000), random_dna(rng, 20000),
                                       random_dna(rng, 20000)};
    Idx x(genome);
    ASSERT_NE(x.mi, nullptr);
    ls_mapopt mo;
    ls_mapopt_defaults(&mo);
    mo.flag |= LS_F_BASE_ALIGN | LS_F_PAF_UNMAPPED;
    ls_mapopt_update(&mo, x.mi);
    ls_tbuf *b = ls_tbuf_init();

    // Mutated pieces of chr2 (forward) and chr3 (reverse complement), and a
    // random query that maps nowhere.
    auto mutate = [&](std::string s) {
        std::string out;
        for (char c : s) {
            const unsigned u = rng() % 1000;
            if (u < 20)
                out += "ACGT"[rng() & 3];
            else if (u < 25) {
            } else if (u < 30)
                out += c, out += "ACGT"[rng() & 3];
            else
                out += c;
        }
        return out;
    };
    struct Q {
        std::string name, seq;
        int target, rev, start;
    };
    std::vector<Q> qs = {{"fwd", mutate(genome[1].substr(4000, 3000)), 1, 0, 4000},
                         {"rev", revcomp(mutate(genome[2].substr(9000, 2500))), 2, 1, 9000},
                         {"none", random_dna(rng, 3000), -1, 0, 0}};
    for (const Q &qq : qs) {
        int n = 0;
        ls_reg *regs = ls_map(x.mi, (int)qq.seq.size(), qq.seq.c_str(), &n, b, &mo, qq.name.c_str());
        ls_bseq_rec rec;
        memset(&rec, 0, sizeof(rec));
        rec.name = (char *)qq.name.c_str();
        rec.seq = (char *)qq.seq.c_str();
        rec.len = (int)qq.seq.size();
        ls_string s = {0, 0, nullptr};
        const int64_t flag = mo.flag | LS_F_CG_TAG | LS_F_CS_TAG | LS_F_CS_LONG;
        if (qq.target < 0) {
            EXPECT_EQ(n, 0);
            if (n == 0 && (mo.flag & LS_F_PAF_UNMAPPED)) {
                ls_paf_format(&s, x.mi, &rec, nullptr, b->arena, flag, b->repeat_len, 1, 0);
                EXPECT_EQ(std::string(s.s),
                          "none\t3000\t0\t0\t*\t*\t0\t0\t0\t0\t0\t0\trl:i:" + std::to_string(b->repeat_len));
            }
        } else {
            ASSERT_GE(n, 1) << qq.name;
            EXPECT_EQ(regs[0].target_id, qq.target);
            EXPECT_EQ((int)regs[0].reverse, qq.rev);
            EXPECT_NEAR(regs[0].rs, qq.start, 50);
        }
        for (int i = 0; i < n; ++i) {
            const ls_reg *r = &regs[i];
            ASSERT_NE(r->p, nullptr);
            ls_paf_format(&s, x.mi, &rec, r, b->arena, flag, -1, 1, 0);
            const std::vector<std::string> f = split(s.s, '\t');
            ASSERT_GE(f.size(), 12u);
            EXPECT_EQ(f[0], qq.name);
            EXPECT_EQ(f[1], std::to_string(qq.seq.size()));
            EXPECT_EQ(f[2], std::to_string(r->qs));
            EXPECT_EQ(f[3], std::to_string(r->qe));
            EXPECT_EQ(f[4], r->reverse ? "-" : "+");
            EXPECT_EQ(f[5], "chr" + std::to_string(r->target_id + 1));
            EXPECT_EQ(f[6], "20000");
            EXPECT_EQ(f[7], std::to_string(r->rs));
            EXPECT_EQ(f[8], std::to_string(r->re));
            EXPECT_EQ(f[9], std::to_string(r->match_len));
            EXPECT_EQ(f[10], std::to_string(r->block_len));
            EXPECT_EQ(f[11], std::to_string(r->mapq));
            EXPECT_EQ(f[12], "NM:i:" + std::to_string(r->block_len + (int)r->p->n_ambiguous - r->match_len));
            EXPECT_EQ(f[13], "ms:i:" + std::to_string(r->p->raw_max_score));
            EXPECT_EQ(f[14], "AS:i:" + std::to_string(r->p->aln_score));
            EXPECT_EQ(f[15], "nn:i:" + std::to_string(r->p->n_ambiguous));
            std::string cg, cs;
            bool has_tp = false, has_de = false;
            for (const std::string &t : f) {
                if (t.rfind("cg:Z:", 0) == 0) cg = t.substr(5);
                if (t.rfind("cs:Z:", 0) == 0) cs = t.substr(5);
                if (t == (r->id == r->parent ? "tp:A:P" : "tp:A:S")) has_tp = true;
                if (t.rfind("de:f:", 0) == 0) has_de = true;
            }
            EXPECT_TRUE(has_tp && has_de);
            std::string want_cg;
            for (uint32_t k = 0; k < r->p->n_cigar; ++k)
                want_cg += std::to_string(r->p->cigar[k] >> 4) + LS_CIGAR_STR[r->p->cigar[k] & 0xf];
            EXPECT_EQ(cg, want_cg);
            const std::string tref =
                genome[(size_t)r->target_id].substr((size_t)r->rs, (size_t)(r->re - r->rs));
            std::string piece = qq.seq.substr((size_t)r->qs, (size_t)(r->qe - r->qs));
            if (r->reverse) piece = revcomp(piece);
            std::string pq, pt;
            ASSERT_TRUE(parse_cs(cs, tref, &pq, &pt)) << cs;
            EXPECT_EQ(pq, piece);
            EXPECT_EQ(pt, tref);
        }
        free(s.s);
        lstest::free_regions(n, regs);
    }
    ls_tbuf_destroy(b);
}
