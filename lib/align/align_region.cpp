/* Alignment of one region: the trusted anchors become waypoints, the query is
 * extended leftwards from the first and rightwards from the last, and the
 * stretches between waypoints are filled by the DP kernels. A gap whose
 * alignment collapses ends the region; the anchors after it go back to the
 * caller as a new region. */
#include "align/align.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <memory>

#include "align/align_internal.h"
#include "map/regions.h"
#include "index/index.h"
#include "base/alloc.h"
#include "base/diagnostics.h"
#include "map/seeds.h"

namespace {

/* How far an end of length l may stretch on the other sequence: the longest
 * gap that the matches of l bases (plus bonus) could pay for. */
int64_t ext_len(const ls_mapopt *opt, int64_t l, int64_t bonus) {
    int64_t v = (int64_t)opt->match_score * l + bonus - opt->gap_open;
    return v > 0 ? v / opt->gap_ext : 0;
}

/* ---- the splice kernel and the annotation lookups ---- */

/* The splice kernel, called directly for the short-intron attempt. */
void splice_kernel(km_arena *km, const ls_mapopt *opt, int qlen, const uint8_t *query, int tlen,
                   const uint8_t *target, const int8_t *mat, int flag, const uint8_t *junction_marks,
                   dpx_extz *ez) {
    dpx_exts2(km, qlen, query, tlen, target, 5, mat, (int8_t)opt->gap_open, (int8_t)opt->gap_ext,
                  (int8_t)opt->gap_open2, (int8_t)opt->noncanonical_penalty, opt->zdrop, -1,
                  (int8_t)opt->junction_bonus, (int8_t)opt->junction_penalty, flag, junction_marks, ez);
}

/* Per-region context: the codes of the region's strand and how to fetch its
 * target bases and junction marks. */
struct Region {
    km_arena *km;
    const ls_mapopt *opt;
    const ls_idx *mi;
    int rid, rev;
    bool qstrand;     /* query-strand mode: target fetched on the region's strand */
    int kernel_extra; /* splice bits every kernel call carries */
    int8_t mat[25];

    void fetch_target(int64_t s, int64_t e, uint8_t *out) const {
        if (e <= s) return;
        if (qstrand)
            ls_idx_get_bases_strand(mi, rev, rid, (int)s, (int)e, out);
        else
            ls_idx_get_bases(mi, rid, (int)s, (int)e, out);
    }

    /* One byte per target base of [s, e); only the splice kernel reads them. */
    void junction_marks(int64_t s, int64_t e, uint8_t *out) const {
        if (e <= s) return;
        if (mi->splice_scores) {
            ls_idx_spsc_get(mi, rid, s, e, (kernel_extra & DPX_EZ_SPLICE_REV) != 0, out);
        } else if (mi->intervals) {
            ls_idx_bed_junc(mi, rid, s, e, out);
        } else {
            memset(out, 0, (size_t)(e - s));
        }
    }
};

/* Sum of the ungapped scores of L query and target codes, as the shortcut
 * scores them (an ambiguous base costs the ambiguous score whatever it
 * faces). */
int64_t ungapped_score(const ls_mapopt *opt, int64_t L, const uint8_t *q, const uint8_t *t) {
    int64_t s = 0;
    const int amb = opt->ambiguous_score < 0 ? -opt->ambiguous_score : opt->ambiguous_score;
    for (int64_t j = 0; j < L; ++j) {
        if (q[j] >= 4 || t[j] >= 4)
            s -= amb;
        else if (q[j] == t[j])
            s += opt->match_score;
        else
            s -= opt->mismatch_penalty;
    }
    return s;
}

/* The ungapped shortcut: a stretch of equal length on both sequences that
 * scores within two mismatches and a short gap of a perfect match is taken
 * as one M without a kernel call. Returns whether it was taken; ez holds its
 * result then (score = the ungapped sum). */
bool ungapped_pass(km_arena *km, const ls_mapopt *opt, int64_t L, const uint8_t *q, const uint8_t *t,
                   dpx_extz *ez) {
    dpx_extz_clear(ez);
    int64_t s = ungapped_score(opt, L, q, t);
    ez->score = (int32_t)s;
    if (s <= (L - 2) * opt->match_score - 2 * (int64_t)(opt->gap_open + opt->gap_ext)) return false;
    if (ez->cigar_cap == 0) {
        ez->cigar_cap = 4;
        ez->cigar = (uint32_t *)km_realloc(km, ez->cigar, 4 * sizeof(uint32_t));
    }
    ez->cigar[0] = (uint32_t)L << 4 | kOpM;
    ez->n_cigar = 1;
    return true;
}

/* The short-intron attempt for a short query stretch facing a much longer
 * target stretch: both ends of the query are likely to sit near the two ends
 * of the target, with one intron between them. The splice kernel aligns the
 * query against the two target ends joined by 2 x gap_open2 wildcards, and
 * the result is accepted only as M..N..M without insertions; the intron then
 * regains the target bases left out. buf holds 4 x gap_open2 + 400 bytes:
 * the built target, then from byte 2 x gap_open2 + 200 its junction marks.
 * marks are those of the whole target stretch. */
bool short_intron_pass(const Region &rg, int64_t L, const uint8_t *q, int64_t T, const uint8_t *t,
                       const uint8_t *marks, uint8_t *buf, dpx_extz *ez) {
    const ls_mapopt *opt = rg.opt;
    int64_t m1 = 0, m2 = 0;
    for (int64_t j = 0; j < L; ++j) {
        m1 += q[j] < 4 && q[j] == t[j];
        m2 += q[L - 1 - j] < 4 && q[L - 1 - j] == t[T - 1 - j];
    }
    if (L - (m1 + m2) > 9) return false;
    const int64_t pad = 2 * (int64_t)opt->gap_open2, tlen = 2 * L + pad;
    uint8_t *tb = buf, *jb = buf + pad + 200;
    memcpy(tb, t, (size_t)L);
    memset(tb + L, 4, (size_t)pad);
    memcpy(tb + L + pad, t + T - L, (size_t)L);
    memcpy(jb, marks, (size_t)L);
    memset(jb + L, 0, (size_t)pad);
    memcpy(jb + L + pad, marks + T - L, (size_t)L);
    int flag = rg.kernel_extra | DPX_EZ_FAST_MAX;
    if (!(opt->flag & LS_F_SPLICE_OLD)) flag |= DPX_EZ_SPLICE_GRADED;
    splice_kernel(rg.km, opt, (int)L, q, (int)tlen, tb, rg.mat, flag, jb, ez);
    if (ez->dropped || ez->n_cigar == 0) return false;
    if (op_code(ez->cigar[0]) != kOpM || op_code(ez->cigar[ez->n_cigar - 1]) != kOpM) return false;
    int n_intron = 0, n_ins = 0;
    for (int k = 0; k < ez->n_cigar; ++k) {
        n_intron += op_code(ez->cigar[k]) == kOpN;
        n_ins += op_code(ez->cigar[k]) == kOpI;
    }
    if (n_intron != 1 || n_ins != 0) return false;
    const uint32_t left_out = (uint32_t)(T - 2 * ((int64_t)opt->gap_open2 + L));
    for (int k = 0; k < ez->n_cigar; ++k)
        if (op_code(ez->cigar[k]) == kOpN) ez->cigar[k] += left_out << 4;
    return true;
}

/* Appends a kernel result's operations to the region. Returns whether any
 * were appended. */
bool append_kernel_cigar(ls_reg *r, const dpx_extz *ez) {
    if (ez->n_cigar <= 0) return false;
    ls_extra_append_cigar(r, (uint32_t)ez->n_cigar, ez->cigar);
    return true;
}

/* An ls_extra without CIGAR: 8 zeroed words, capacity 8. */
ls_extra *empty_extra() {
    ls_extra *p = static_cast<ls_extra *>(ls_xcalloc(8, sizeof(uint32_t), __func__));
    p->capacity = 8;
    return p;
}

/* The window [*rs0, *re0) x [*qs0, *qe0) the alignment of anchors
 * a[as .. as+cnt-1] may cover, given the waypoints (rs, qs) and (re, qe) of
 * its first and last trusted anchors. Outside short-read mode each end may
 * reach as far as its bases could pay for with gaps, at most chain_max_gap,
 * and no further than where enough anchors of a neighbouring chain on the
 * same target and strand begin. */
void region_window(const ls_mapopt *opt, int qlen, int64_t t_len, int n_a, const ls128 *a, int as, int cnt,
                   int64_t rs, int64_t qs, int64_t re, int64_t qe, int64_t *rs0_, int64_t *qs0_,
                   int64_t *re0_, int64_t *qe0_) {
    const int64_t max_gap = opt->chain_max_gap;
    int64_t rs0, qs0, re0, qe0;
    if (opt->flag & LS_F_SHORT_READ) {
        qs0 = 0, qe0 = qlen;
        rs0 = rs - (qs + ext_len(opt, qs, opt->end_bonus));
        if (rs0 <= 0) rs0 = 0;
        re0 = std::min(t_len, re + (qlen - qe) + ext_len(opt, qlen - qe, opt->end_bonus));
    } else {
        /* left end: from the region's own first anchor */
        rs0 = (int64_t)tpos(a, as) + 1 - span(a, as);
        if (rs0 <= 0) rs0 = 0;
        qs0 = (int64_t)qpos(a, as) + 1 - span(a, as); /* not negative: checked by the caller */
        int64_t tb = 0, qb = 0;
        for (int64_t i = as - 1, n = 0; i >= 0 && tid_strand(a, i) == tid_strand(a, as); --i) {
            int64_t x = (int64_t)tpos(a, i) + 1 - span(a, i), y = (int64_t)qpos(a, i) + 1 - span(a, i);
            if (x < rs0 && y < qs0) {
                if (++n == (int64_t)opt->chain_min_anchors + 1) {
                    int64_t l = std::max(rs0 - x, qs0 - y);
                    tb = rs0 - l > 0 ? rs0 - l : 0;
                    qb = qs0 - l;
                    break;
                }
            }
        }
        if (qs > 0 && rs > 0) {
            int64_t l = std::min((int64_t)qs, max_gap);
            qb = std::max(qb, qs - l);
            qs0 = std::min(qs0, qb);
            l += ext_len(opt, l, 0);
            l = std::min({l, max_gap, rs});
            tb = std::max(tb, rs - l);
            rs0 = std::min({rs0, tb, rs});
        } else {
            rs0 = rs, qs0 = qs;
        }
        /* right end: from the region's own last anchor */
        const int last = as + cnt - 1;
        re0 = (int64_t)tpos(a, last) + 1;
        qe0 = (int64_t)qpos(a, last) + 1;
        tb = t_len, qb = qlen;
        for (int64_t i = as + cnt, n = 0; i < n_a && tid_strand(a, i) == tid_strand(a, as); ++i) {
            int64_t x = (int64_t)tpos(a, i) + 1, y = (int64_t)qpos(a, i) + 1;
            if (x > re0 && y > qe0) {
                if (++n == (int64_t)opt->chain_min_anchors + 1) {
                    int64_t l = std::max(x - re0, y - qe0);
                    tb = re0 + l, qb = qe0 + l;
                    break;
                }
            }
        }
        if (qe < qlen && re < t_len) {
            int64_t l = std::min((int64_t)qlen - qe, max_gap);
            qb = std::min(qb, qe + l);
            qe0 = std::max(qe0, qb);
            l += ext_len(opt, l, 0);
            l = std::min({l, max_gap, t_len - re});
            tb = std::min(tb, re + l);
            re0 = std::max(re0, tb);
        } else {
            re0 = re, qe0 = qe;
        }
    }
    *rs0_ = rs0, *qs0_ = qs0, *re0_ = re0, *qe0_ = qe0;
}

/* An alignment of a sequence against itself must not cross the main
 * diagonal: each end reaches at most as far past the chain as the chain lies
 * off the diagonal. */
void bound_self_mapping(const ls_reg *r, int64_t *rs0, int64_t *qs0, int64_t *re0, int64_t *qe0) {
    int64_t d = r->qs > r->rs ? (int64_t)r->qs - r->rs : (int64_t)r->rs - r->qs;
    if (r->rs - *rs0 > d) *rs0 = r->rs - d;
    if (r->qs - *qs0 > d) *qs0 = r->qs - d;
    d = r->qe > r->re ? (int64_t)r->qe - r->re : (int64_t)r->re - r->qe;
    if (*re0 - r->re > d) *re0 = r->re + d;
    if (*qe0 - r->qe > d) *qe0 = r->qe + d;
}

} // namespace

void ls_align_score_matrix(const ls_mapopt *opt, int8_t mat[25]) {
    const int a = opt->match_score < 0 ? -opt->match_score : opt->match_score;
    const int b = opt->mismatch_penalty < 0 ? -opt->mismatch_penalty : opt->mismatch_penalty;
    const int sc_ambi = opt->ambiguous_score < 0 ? -opt->ambiguous_score : opt->ambiguous_score;
    const int tr = opt->transition_penalty < 0 ? -opt->transition_penalty : opt->transition_penalty;
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) mat[i * 5 + j] = (int8_t)(i == j ? a : -b);
        mat[i * 5 + 4] = (int8_t)-sc_ambi;
    }
    for (int j = 0; j < 5; ++j) mat[20 + j] = (int8_t)-sc_ambi;
    if (opt->transition_penalty != 0 && opt->transition_penalty != opt->mismatch_penalty) {
        /* A <-> G and C <-> T */
        mat[0 * 5 + 2] = mat[2 * 5 + 0] = (int8_t)-tr;
        mat[1 * 5 + 3] = mat[3 * 5 + 1] = (int8_t)-tr;
    }
}

int ls_zdrop_test(km_arena *km, const ls_mapopt *opt, const uint8_t *qseq, const uint8_t *tseq, int n_cigar,
                  const uint32_t *cigar, const int8_t *mat) {
    const int64_t q = opt->gap_open, e = opt->gap_ext;
    int64_t s = 0, top = INT32_MIN, deepest = 0;
    int64_t ti = -1, tj = -1, i0 = -1, i1 = -1, j0 = -1, j1 = -1;
    int64_t i = 0, j = 0;
    /* top: the best score so far, reached at (ti, tj); deepest: the largest
     * fall below it, corrected for the diagonal shift between the two cells */
    auto update = [&](int64_t si, int64_t ci, int64_t cj) {
        if (si < top) {
            int64_t shift = (ci - ti) - (cj - tj);
            int64_t z = top - si - e * (shift < 0 ? -shift : shift);
            if (z > deepest) deepest = z, i0 = ti, i1 = ci, j0 = tj, j1 = cj;
        } else {
            top = si, ti = ci, tj = cj;
        }
    };
    for (int k = 0; k < n_cigar; ++k) {
        const uint32_t op = op_code(cigar[k]);
        const int64_t l = op_len(cigar[k]);
        if (op == kOpM) {
            for (int64_t m = 0; m < l; ++m, ++i, ++j) {
                s += mat[tseq[i] * 5 + qseq[j]];
                update(s, i, j);
            }
        } else if (op == kOpI) {
            s -= q + e * l;
            j += l;
            update(s, i, j);
        } else if (op == kOpD || op == kOpN) {
            s -= q + e * l;
            i += l;
            update(s, i, j);
        }
    }
    /* A large drop over a short stretch may be an inversion: the dropped
     * piece then aligns well reverse-complemented. A drop made by a pure
     * insertion or deletion leaves one side empty, which cannot be
     * reverse-complemented into an alignment, so both sides must hold bases. */
    const int64_t no_inv = LS_F_SPLICE | LS_F_SHORT_READ | LS_F_FORWARD_ONLY | LS_F_REVERSE_ONLY;
    if (!(opt->flag & no_inv) && deepest > opt->zdrop_inversion && j1 - j0 < opt->chain_max_gap &&
        i1 - i0 < opt->chain_max_gap && j1 > j0 && i1 > i0) {
        const int64_t ql = j1 - j0;
        arena_ptr<uint8_t> qrc(static_cast<uint8_t *>(km_malloc(km, (size_t)ql)), ArenaFree{km});
        for (int64_t k = 0; k < ql; ++k) {
            uint8_t c = qseq[j1 - 1 - k];
            qrc.get()[k] = c < 4 ? (uint8_t)(3 - c) : 4;
        }
        arena_ptr<dpx_profile> prof(dpx_profile_init(km, 2, (int)ql, qrc.get(), 5, mat), ArenaFree{km});
        int q_end, t_end;
        int score = dpx_local_score_i16(prof.get(), (int)(i1 - i0), tseq + i0, opt->gap_open, opt->gap_ext,
                                        &q_end, &t_end);
        if ((int64_t)score >= (int64_t)opt->match_score * opt->chain_min_score && score >= opt->min_dp_score)
            return 2;
    }
    return deepest > opt->zdrop ? 1 : 0;
}

void ls_align1(km_arena *km, const ls_mapopt *opt, const ls_idx *mi, int qlen, uint8_t *qseq[2], ls_reg *r,
               ls_reg *r2, int n_a, ls128 *a, dpx_extz *ez, int64_t splice_flags) {
    const int64_t flag = opt->flag;
    const bool is_sr = (flag & LS_F_SHORT_READ) != 0;
    const bool is_splice = (flag & LS_F_SPLICE) != 0;
    const bool is_sr_rna = is_splice && (flag & LS_F_SHORT_RNA);
    if (is_sr) LS_ASSERT(!(mi->flag & LS_I_HPC));
    r2->n_anchors = 0;
    if (r->n_anchors == 0) return;

    const int as = r->anchor_start, cnt = r->n_anchors;
    Region rg;
    rg.km = km, rg.opt = opt, rg.mi = mi;
    rg.rev = (int)(a[as].x >> 63);
    rg.rid = (int)(a[as].x << 1 >> 33);
    rg.qstrand = (flag & LS_F_QUERY_STRAND) != 0;
    uint8_t *qs_codes = qseq[rg.qstrand ? 0 : rg.rev]; /* the query as the region's strand sees it */
    const int8_t *mat = rg.mat;
    ls_align_score_matrix(opt, rg.mat);
    const int bw_ext = (int)(opt->bw * 1.5 + 1.0);
    const int bw_gap = std::max(bw_ext, (int)(opt->long_bw * 1.5 + 1.0));

    /* trusted anchors and their waypoints */
    int as1, cnt1;
    int32_t rs, qs, re, qe;
    if (is_sr) {
        ls_longest_diagonal_run(as, cnt, a, &as1, &cnt1);
        LS_ASSERT(cnt1 > 0);
        const int last = as1 + cnt1 - 1;
        rs = tpos(a, as1) + 1 - span(a, as1), qs = qpos(a, as1) + 1 - span(a, as1);
        re = tpos(a, last) + 1, qe = qpos(a, last) + 1;
    } else {
        if (!(flag & LS_F_NO_END_FILTER)) {
            if (is_splice)
                ls_trim_anchor_ends_splice(km, opt, mi, mat, qlen, qseq, as, cnt, a, &as1, &cnt1);
            else
                ls_trim_anchor_ends(opt, as, cnt, a, r->match_len, &as1, &cnt1);
        } else {
            as1 = as, cnt1 = cnt;
        }
        LS_ASSERT(cnt1 > 0);
        if (cnt1 > 1) {
            ls_ignore_indel_clusters(km, opt, as1, cnt1, a);
            ls_ignore_gap_runs(km, opt, as1, cnt1, a);
        }
        ls_anchor_end_pos(mi, qs_codes, &a[as1], &rs, &qs);
        ls_anchor_end_pos(mi, qs_codes, &a[as1 + cnt1 - 1], &re, &qe);
    }

    rg.kernel_extra = 0;
    if (is_splice) {
        const bool fwd = (splice_flags & LS_F_SPLICE_FWD) != 0, rc = (splice_flags & LS_F_SPLICE_RC) != 0;
        if ((fwd && rg.rev == 0) || (rc && rg.rev == 1)) rg.kernel_extra |= DPX_EZ_SPLICE_FOR;
        if ((fwd && rg.rev == 1) || (rc && rg.rev == 0)) rg.kernel_extra |= DPX_EZ_SPLICE_REV;
        if (flag & LS_F_SPLICE_FLANK) rg.kernel_extra |= DPX_EZ_SPLICE_CONTEXT;
        if (mi->splice_scores) rg.kernel_extra |= DPX_EZ_SITE_SCORES;
    }
    const int kernel_extra = rg.kernel_extra;

    /* window */
    const int64_t t_len = mi->seq[rg.rid].len;
    int64_t rs0, qs0, re0, qe0;
    if (!is_sr) { /* the first seed lies inside the query */
        qs0 = (int64_t)qpos(a, as) + 1 - span(a, as);
        LS_ASSERT(qs0 >= 0);
    }
    region_window(opt, qlen, t_len, n_a, a, as, cnt, rs, qs, re, qe, &rs0, &qs0, &re0, &qe0);
    if (a[as].y & LS_ANCHOR_SELF) bound_self_mapping(r, &rs0, &qs0, &re0, &qe0);
    LS_ASSERT(re0 > rs0);
    /* every stretch below lies inside the window, so buffers of its size
     * hold any of them */
    const int64_t win = re0 - rs0;
    arena_ptr<uint8_t> tbuf(static_cast<uint8_t *>(km_malloc(km, (size_t)win)), ArenaFree{km});
    arena_ptr<uint8_t> jbuf(static_cast<uint8_t *>(km_malloc(km, (size_t)win)), ArenaFree{km});
    arena_ptr<uint8_t> sbuf(nullptr, ArenaFree{km});
    if (is_sr_rna)
        sbuf.reset(static_cast<uint8_t *>(km_malloc(km, (size_t)(4 * (int64_t)opt->gap_open2 + 400))));
    uint8_t *tseq = tbuf.get(), *junc = jbuf.get();

    /* left extension, run on reversed sequences so that it grows leftwards
     * from the first waypoint with gaps left-aligned */
    int64_t rs1, qs1;
    if (qs > 0 && rs > 0) {
        LS_ASSERT(rs0 <= rs && rs - rs0 <= win);
        const int64_t ql = qs - qs0, tl = rs - rs0;
        uint8_t *qp = qs_codes + qs0;
        rg.fetch_target(rs0, rs, tseq);
        rg.junction_marks(rs0, rs, junc);
        reverse_bytes(qp, ql), reverse_bytes(tseq, tl), reverse_bytes(junc, tl);
        ls_align_pair(km, opt, (int)ql, qp, (int)tl, tseq, junc, mat, bw_ext, opt->end_bonus,
                      r->split_at_inversion ? opt->zdrop_inversion : opt->zdrop,
                      kernel_extra | DPX_EZ_EXTEND_ONLY | DPX_EZ_CIGAR_REVERSED | DPX_EZ_GAPS_RIGHT, ez);
        if (append_kernel_cigar(r, ez)) r->p->aln_score += (int32_t)ez->best_score;
        rs1 = rs - (ez->reached_end ? ez->qend_tpos + 1 : ez->best_tpos + 1);
        qs1 = ez->reached_end ? qs0 : qs - (ez->best_qpos + 1);
        reverse_bytes(qp, ql);
        LS_ASSERT(qs1 >= 0 && rs1 >= 0);
    } else {
        rs1 = rs, qs1 = qs;
    }

    /* gap filling between waypoints; (rs, qs) is the current position */
    bool dropped = false;
    int64_t re1 = 0, qe1 = 0;
    for (int i = is_sr ? cnt1 - 1 : 1; i < cnt1; ++i) {
        const int64_t ai = as1 + i;
        const bool is_last = i == cnt1 - 1;
        if (!is_last && (a[ai].y & (LS_ANCHOR_IGNORE | LS_ANCHOR_TANDEM))) continue;
        if (is_sr) {
            re = tpos(a, ai) + 1, qe = qpos(a, ai) + 1;
        } else {
            ls_anchor_end_pos(mi, qs_codes, &a[ai], &re, &qe);
        }
        const bool long_join = (a[ai].y & LS_ANCHOR_LONG_JOIN) != 0;
        const int64_t L = (int64_t)qe - qs, T = (int64_t)re - rs;
        if (!is_last && !long_join && !(L >= opt->min_dp_len && T >= opt->min_dp_len)) continue;
        if (L <= 0 || T <= 0) {
            /* Nothing to align on one side: a DP of an empty stretch yields
             * no operation and no score, and moving on would leave the other
             * side's bases out of the CIGAR. The next DP, or the right
             * extension after the last anchor, takes the stretch over. */
            if (is_last) re = rs, qe = qs;
            continue;
        }
        LS_ASSERT(rs >= rs0 && re - rs <= win);
        const int bw = long_join ? (int)std::max(L, T) : bw_gap;
        const uint8_t *qp = qs_codes + qs;
        rg.fetch_target(rs, re, tseq);
        rg.junction_marks(rs, re, junc);

        /* first pass */
        bool done = false;
        if (is_sr) {
            LS_ASSERT(qe - qs == re - rs);
            done = ungapped_pass(km, opt, L, qp, tseq, ez);
        } else if (is_sr_rna) {
            if (L == T)
                done = ungapped_pass(km, opt, L, qp, tseq, ez);
            else if (L <= 100 && T >= 2 * ((int64_t)opt->gap_open2 + L))
                done = short_intron_pass(rg, L, qp, T, tseq, junc, sbuf.get(), ez);
        }
        if (!done)
            ls_align_pair(km, opt, (int)L, qp, (int)T, tseq, junc, mat, bw, -1, opt->zdrop,
                          kernel_extra | DPX_EZ_FAST_MAX, ez);

        /* a large drop inside the first pass's path: realign exactly with the
         * z-drop rule in force */
        const int drop_kind = ls_zdrop_test(km, opt, qp, tseq, ez->n_cigar, ez->cigar, mat);
        if (drop_kind == 2 || drop_kind == 1)
            ls_align_pair(km, opt, (int)L, qp, (int)T, tseq, junc, mat, bw, -1,
                          drop_kind == 2 ? opt->zdrop_inversion : opt->zdrop, kernel_extra, ez);
        /* A kernel that declines its arguments returns neither a path nor a
         * global score; like a refused oversized problem, that ends the
         * alignment here. */
        if (!ez->dropped && ez->n_cigar == 0) ez->dropped = 1;
        append_kernel_cigar(r, ez);

        if (ez->dropped) {
            if (r->p == nullptr) {
                LS_ASSERT(ez->n_cigar == 0);
                r->p = empty_extra();
            }
            int j = 0;
            for (int k = i - 1; k >= 0; --k) {
                if ((int64_t)tpos(a, as1 + k) <= (int64_t)rs + ez->best_tpos) {
                    j = k;
                    break;
                }
            }
            r->p->aln_score += (int32_t)ez->best_score;
            re1 = (int64_t)rs + ez->best_tpos + 1;
            qe1 = (int64_t)qs + ez->best_qpos + 1;
            if (cnt1 - (j + 1) >= opt->chain_min_anchors) {
                ls_split_reg(r, r2, as1 + j + 1 - as, qlen, a, rg.qstrand);
                if (drop_kind == 2) r2->split_at_inversion = 1;
            }
            dropped = true;
            break;
        }
        LS_ASSERT(r->p != nullptr);
        r->p->aln_score += ez->score;
        rs = re, qs = qe;
    }

    /* right extension from the last waypoint */
    if (!dropped) {
        if (qe < qe0 && re < re0) {
            LS_ASSERT(re >= rs0 && re0 - re <= win);
            const int64_t ql = qe0 - qe, tl = re0 - re;
            rg.fetch_target(re, re0, tseq);
            rg.junction_marks(re, re0, junc);
            ls_align_pair(km, opt, (int)ql, qs_codes + qe, (int)tl, tseq, junc, mat, bw_ext, opt->end_bonus,
                          opt->zdrop, kernel_extra | DPX_EZ_EXTEND_ONLY, ez);
            if (append_kernel_cigar(r, ez)) r->p->aln_score += (int32_t)ez->best_score;
            re1 = re + (ez->reached_end ? ez->qend_tpos + 1 : ez->best_tpos + 1);
            qe1 = qe + (ez->reached_end ? qe0 - qe : ez->best_qpos + 1);
        } else {
            re1 = re, qe1 = qe;
        }
    }

    /* final coordinates and statistics */
    LS_ASSERT(qe1 <= qlen);
    r->rs = (int32_t)rs1, r->re = (int32_t)re1;
    if (rg.rev && !rg.qstrand) {
        r->qs = (int32_t)(qlen - qe1), r->qe = (int32_t)(qlen - qs1);
    } else {
        r->qs = (int32_t)qs1, r->qe = (int32_t)qe1;
    }
    LS_ASSERT(re1 - rs1 <= re0 - rs0);
    if (r->p) {
        if (rg.qstrand)
            ls_idx_get_bases_strand(mi, r->reverse, rg.rid, (int)rs1, (int)re1, tseq);
        else
            rg.fetch_target(rs1, re1, tseq);
        const bool log_gaps = !((flag & LS_F_SHORT_READ) || is_sr_rna);
        ls_update_extra(r, qs_codes + qs1, tseq, mat, (int8_t)opt->gap_open, (int8_t)opt->gap_ext,
                        (flag & LS_F_EQX) != 0, log_gaps);
    }
}
