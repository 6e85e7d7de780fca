/* Alignment module: the pairwise call to the DP kernels, the local score of
 * an anchor's neighbourhood, and the normalisation of a region's finished
 * CIGAR with the statistics derived from it. Anchor trimming and the seed
 * filters are in align/anchor_trim.cpp; the local kernel in
 * align/kernels/dp_local.cpp. */
#include "align/align.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>

#include "align/align_internal.h"
#include "map/chain.h"
#include "base/alloc.h"
#include "base/diagnostics.h"

namespace {

void print_codes(const uint8_t *s, int len) {
    std::string line(len, 'N');
    for (int i = 0; i < len; ++i) line[i] = "ACGTN"[s[i] < 4 ? s[i] : 4];
    ls_log_raw("%s\n", line.c_str());
}

/* Length of the shift that moves an indel of length l left past equal bases:
 * the largest n <= p such that s[off - 1 - m] == s[off + l - 1 - m] for every
 * m < n (the base before the indel equals the indel's last base, and so on
 * while the preceding match of length p lasts). */
int32_t left_shift_len(const uint8_t *s, int64_t off, int32_t l, int32_t p) {
    int32_t n = 0;
    while (n < p && s[off - 1 - n] == s[off + l - 1 - n]) ++n;
    return n;
}

/* Step 1 of the normalisation: every indel between two matches moves left as
 * far as the sequence repeats. Returns whether zero-length operations may
 * now exist (a match emptied, or one was zero already); *qoff_ and *toff_
 * receive the bases the CIGAR covers. */
bool left_align_indels(ls_extra *p, const uint8_t *qseq, const uint8_t *tseq, int64_t *qoff_,
                       int64_t *toff_) {
    const int n = (int)p->n_cigar;
    uint32_t *cigar = p->cigar;
    int64_t qoff = 0, toff = 0;
    bool shrink = false;
    for (int k = 0; k < n; ++k) {
        uint32_t op = op_code(cigar[k]);
        int32_t l = (int32_t)op_len(cigar[k]);
        if (l == 0) shrink = true;
        if (op == kOpM) {
            qoff += l, toff += l;
        } else if (op == kOpI || op == kOpD) {
            if (k > 0 && k < n - 1 && op_code(cigar[k - 1]) == kOpM && op_code(cigar[k + 1]) == kOpM) {
                int32_t prev = (int32_t)op_len(cigar[k - 1]);
                int32_t s =
                    op == kOpI ? left_shift_len(qseq, qoff, l, prev) : left_shift_len(tseq, toff, l, prev);
                if (s > 0) {
                    cigar[k - 1] -= (uint32_t)s << 4;
                    cigar[k + 1] += (uint32_t)s << 4;
                    qoff -= s, toff -= s;
                }
                if (s == prev) shrink = true;
            }
            if (op == kOpI)
                qoff += l;
            else
                toff += l;
        } else if (op == kOpN) {
            toff += l;
        }
    }
    *qoff_ = qoff, *toff_ = toff;
    return shrink;
}

/* Step 2: a run of three or more operations that are insertions, deletions
 * or empty, with both kinds present, becomes one insertion and one deletion
 * followed by empty operations. Returns whether a run was squeezed. */
bool merge_indel_runs(ls_extra *p) {
    uint32_t *cigar = p->cigar;
    const int n = (int)p->n_cigar;
    bool shrink = false;
    for (int k = 0; k < n - 2;) {
        uint32_t op0 = op_code(cigar[k]), op1 = op_code(cigar[k + 1]);
        /* an intron followed by a match enters as well; its run is empty
         * unless the intron is, and then holds no indel: nothing changes */
        bool enters =
            (op0 == kOpI && op1 == kOpD) || (op0 == kOpD && op1 == kOpI) || (op0 == kOpN && op1 == kOpM);
        if (!enters) {
            ++k;
            continue;
        }
        uint32_t n_ins = 0, n_del = 0;
        int e = k;
        for (; e < n; ++e) {
            uint32_t op = op_code(cigar[e]), l = op_len(cigar[e]);
            if (op == kOpI)
                n_ins += l;
            else if (op == kOpD)
                n_del += l;
            else if (l != 0)
                break;
        }
        if (n_ins > 0 && n_del > 0 && e - k > 2) {
            cigar[k] = n_ins << 4 | kOpI;
            cigar[k + 1] = n_del << 4 | kOpD;
            for (int j = k + 2; j < e; ++j) cigar[j] = op_code(cigar[j]);
            shrink = true;
        }
        k = e + 1;
    }
    return shrink;
}

/* Step 3: drops empty operations, then merges equal neighbours. */
void squeeze_cigar(ls_extra *p) {
    uint32_t *cigar = p->cigar;
    int n = 0;
    for (uint32_t k = 0; k < p->n_cigar; ++k)
        if (op_len(cigar[k]) > 0) cigar[n++] = cigar[k];
    int m = 0;
    for (int k = 0; k < n; ++k) {
        if (m > 0 && op_code(cigar[m - 1]) == op_code(cigar[k]))
            cigar[m - 1] += op_len(cigar[k]) << 4;
        else
            cigar[m++] = cigar[k];
    }
    p->n_cigar = (uint32_t)m;
}

/* Number of codes >= 4 in s[0..l). */
int32_t count_ambiguous(const uint8_t *s, int32_t l) {
    int32_t n = 0;
    for (int32_t i = 0; i < l; ++i) n += s[i] >= 4;
    return n;
}

/* Calls fn(code, run length) for the maximal runs of equal (=) and
 * differing (X) codes of an M over query qs and target ts. */
template <typename Fn> void for_each_eqx_run(const uint8_t *qs, const uint8_t *ts, int32_t l, Fn fn) {
    int32_t st = 0;
    for (int32_t i = 1; i <= l; ++i) {
        bool eq_st = qs[st] == ts[st];
        if (i == l || (qs[i] == ts[i]) != eq_st) {
            fn(eq_st ? kOpEq : kOpX, i - st);
            st = i;
        }
    }
}

/* Smallest power of two not below x (x >= 1). */
uint32_t round_up_pow2(uint32_t x) {
    --x;
    x |= x >> 1, x |= x >> 2, x |= x >> 4, x |= x >> 8, x |= x >> 16;
    return x + 1;
}

} // namespace

/* ---- pairwise alignment call ---- */

void ls_align_pair(km_arena *km, const ls_mapopt *opt, int qlen, const uint8_t *query, int tlen,
                   const uint8_t *target, const uint8_t *junction_marks, const int8_t *matrix, int bw,
                   int end_bonus, int zdrop, int flag, dpx_extz *ez) {
    const bool trace = (ls_debug_flags & LS_DBG_ALIGN) != 0;
    if (trace) {
        ls_log_raw("===> q=(%d,%d), e=(%d,%d), bw=%d, dpx_flag=%d, zdrop=%d, end_bonus=%d <===\n",
                opt->gap_open, opt->gap_open2, opt->gap_ext, opt->gap_ext2, bw, flag, opt->zdrop, end_bonus);
        print_codes(target, tlen);
        print_codes(query, qlen);
    }
    if (opt->transition_penalty != 0 && opt->transition_penalty != opt->mismatch_penalty)
        flag |= DPX_EZ_FULL_MATRIX;
    if (opt->max_dp_cells > 0 && (int64_t)qlen * tlen > opt->max_dp_cells) {
        /* refused: the caller treats it like a drop before the first cell */
        dpx_extz_clear(ez);
        ez->dropped = 1;
    } else if (opt->flag & LS_F_SPLICE) {
        int dpx_flag = flag;
        LS_ASSERT((dpx_flag & DPX_EZ_SPLICE_FOR) == 0 || (dpx_flag & DPX_EZ_SPLICE_REV) == 0);
        if (!(opt->flag & LS_F_SPLICE_OLD)) dpx_flag |= DPX_EZ_SPLICE_GRADED;
        dpx_exts2(km, qlen, query, tlen, target, 5, matrix, (int8_t)opt->gap_open, (int8_t)opt->gap_ext,
                      (int8_t)opt->gap_open2, (int8_t)opt->noncanonical_penalty, zdrop, end_bonus,
                      (int8_t)opt->junction_bonus, (int8_t)opt->junction_penalty, dpx_flag, junction_marks, ez);
    } else if (opt->gap_open != opt->gap_open2 || opt->gap_ext != opt->gap_ext2) {
        dpx_extd2(km, qlen, query, tlen, target, 5, matrix, (int8_t)opt->gap_open, (int8_t)opt->gap_ext,
                      (int8_t)opt->gap_open2, (int8_t)opt->gap_ext2, bw, zdrop, end_bonus, flag, ez);
    } else {
        dpx_extz2(km, qlen, query, tlen, target, 5, matrix, (int8_t)opt->gap_open, (int8_t)opt->gap_ext,
                      bw, zdrop, end_bonus, flag, ez);
    }
    if (trace) {
        ls_log_raw("score=%d, cigar=", ez->score);
        for (int k = 0; k < ez->n_cigar; ++k)
            ls_log_raw("%d%c", (int)op_len(ez->cigar[k]), LS_CIGAR_STR[op_code(ez->cigar[k])]);
        ls_log_raw("\n");
    }
}

int ls_anchor_extension_score(km_arena *km, const ls_mapopt *opt, const ls_idx *mi, const int8_t *matrix,
                              int qlen, uint8_t *const qseq[2], const ls128 *anchor) {
    const int ext = opt->anchor_extend_len;
    const int32_t x = (int32_t)anchor->x, y = (int32_t)anchor->y;
    const int32_t span = (int32_t)(anchor->y >> 32 & 0xff);
    const int rid = (int)(anchor->x << 1 >> 33);
    const int rev = (int)(anchor->x >> 63);
    const bool query_strand = (opt->flag & LS_F_QUERY_STRAND) != 0;
    const int64_t t_len = mi->seq[rid].len;

    int64_t ts = (int64_t)x + 1 - (span + ext), te = (int64_t)x + 1 + ext;
    if (ts < 0) ts = 0;
    if (te > t_len) te = t_len;
    int64_t qs = (int64_t)y + 1 - (span + ext), qe = (int64_t)y + 1 + ext;
    if (qs < 0) qs = 0;
    if (qe > qlen) qe = qlen;
    if (te <= ts || qe <= qs) return 0;

    arena_ptr<uint8_t> tseq(static_cast<uint8_t *>(km_malloc(km, (size_t)(te - ts))), ArenaFree{km});
    int n = query_strand ? ls_idx_get_bases_strand(mi, rev, rid, (int)ts, (int)te, tseq.get())
                         : ls_idx_get_bases(mi, rid, (int)ts, (int)te, tseq.get());
    if (n <= 0) return 0;
    const uint8_t *q = qseq[query_strand ? 0 : rev] + qs;
    arena_ptr<dpx_profile> prof(dpx_profile_init(km, 2, (int)(qe - qs), q, 5, matrix), ArenaFree{km});
    int q_end, t_end;
    return dpx_local_score_i16(prof.get(), n, tseq.get(), opt->gap_open, opt->gap_ext, &q_end, &t_end);
}

/* ---- CIGAR normalisation and statistics ---- */

void ls_fix_cigar(ls_reg *r, const uint8_t *qseq, const uint8_t *tseq, int32_t *qshift, int32_t *tshift) {
    *qshift = *tshift = 0;
    ls_extra *p = r->p;
    if (p == nullptr || p->n_cigar < 2) return;
    int64_t qoff, toff;
    bool shrink = left_align_indels(p, qseq, tseq, &qoff, &toff);
    LS_ASSERT(qoff == r->qe - r->qs && toff == r->re - r->rs);
    if (merge_indel_runs(p)) shrink = true;
    if (shrink) squeeze_cigar(p);
    if (p->n_cigar == 0) return;
    /* A leading indel is not part of the alignment: move the start past it. */
    uint32_t op = op_code(p->cigar[0]);
    int32_t l = (int32_t)op_len(p->cigar[0]);
    if (op != kOpI && op != kOpD) return;
    if (op == kOpI) {
        *qshift = l;
        if (r->reverse)
            r->qe -= l;
        else
            r->qs += l;
    } else {
        *tshift = l;
        r->rs += l;
    }
    memmove(p->cigar, p->cigar + 1, (p->n_cigar - 1) * sizeof(uint32_t));
    --p->n_cigar;
}

void ls_update_extra(ls_reg *r, const uint8_t *qseq, const uint8_t *tseq, const int8_t *matrix, int8_t q,
                     int8_t e, int to_eqx, int log_gaps) {
    if (r->p == nullptr) return;
    int32_t qshift, tshift;
    ls_fix_cigar(r, qseq, tseq, &qshift, &tshift);
    qseq += qshift, tseq += tshift;

    ls_extra *p = r->p;
    r->match_len = r->block_len = 0;
    r->spliced = 0;
    /* recomputed from scratch, so that a second call does not count twice */
    p->n_ambiguous = 0;
    double s = 0.0, max = 0.0;
    int64_t qoff = 0, toff = 0;
    for (uint32_t k = 0; k < p->n_cigar; ++k) {
        uint32_t op = op_code(p->cigar[k]);
        int32_t l = (int32_t)op_len(p->cigar[k]);
        if (op == kOpM) {
            int32_t n_amb = 0, n_diff = 0;
            for (int32_t i = 0; i < l; ++i) {
                uint8_t qc = qseq[qoff + i], tc = tseq[toff + i];
                if (qc > 3 || tc > 3)
                    ++n_amb;
                else if (qc != tc)
                    ++n_diff;
                s += matrix[tc * 5 + qc];
                if (s < 0)
                    s = 0;
                else
                    max = max > s ? max : s;
            }
            r->block_len += l - n_amb;
            r->match_len += l - n_amb - n_diff;
            p->n_ambiguous += n_amb;
            qoff += l, toff += l;
        } else if (op == kOpI || op == kOpD) {
            int32_t n_amb = op == kOpI ? count_ambiguous(qseq + qoff, l) : count_ambiguous(tseq + toff, l);
            r->block_len += l - n_amb;
            p->n_ambiguous += n_amb;
            /* a long gap costs little more than a short one: it is more
             * likely one event than many */
            s -= log_gaps ? q + e * (double)ls_log2_approx((float)(l + 1)) : q + e;
            if (s < 0) s = 0;
            if (op == kOpI)
                qoff += l;
            else
                toff += l;
        } else if (op == kOpN) {
            r->spliced = 1;
            toff += l;
        }
    }
    p->max_score = p->raw_max_score = (int32_t)(max + 0.499);
    LS_ASSERT(qoff == r->qe - r->qs && toff == r->re - r->rs);
    if (to_eqx) ls_cigar_to_eqx(r, qseq, tseq);
}

void ls_cigar_to_eqx(ls_reg *r, const uint8_t *qseq, const uint8_t *tseq) {
    ls_extra *p = r->p;
    if (p == nullptr) return;
    int64_t n_runs = 0, n_m = 0, qoff = 0, toff = 0;
    for (uint32_t k = 0; k < p->n_cigar; ++k) {
        uint32_t op = op_code(p->cigar[k]);
        int32_t l = (int32_t)op_len(p->cigar[k]);
        if (op == kOpM) {
            ++n_m;
            for_each_eqx_run(qseq + qoff, tseq + toff, l, [&](uint32_t, int32_t) { ++n_runs; });
            qoff += l, toff += l;
        } else if (op == kOpI) {
            qoff += l;
        } else if (op == kOpD || op == kOpN) {
            toff += l;
        }
    }
    if (n_runs == n_m) { /* every M is one run: rewrite in place */
        qoff = toff = 0;
        for (uint32_t k = 0; k < p->n_cigar; ++k) {
            uint32_t op = op_code(p->cigar[k]);
            int32_t l = (int32_t)op_len(p->cigar[k]);
            if (op == kOpM) {
                p->cigar[k] = (uint32_t)l << 4 | (qseq[qoff] == tseq[toff] ? kOpEq : kOpX);
                qoff += l, toff += l;
            } else if (op == kOpI) {
                qoff += l;
            } else if (op == kOpD || op == kOpN) {
                toff += l;
            }
        }
        return;
    }
    int64_t n_new = (int64_t)p->n_cigar - n_m + n_runs;
    uint32_t cap = round_up_pow2((uint32_t)(n_new + 28));
    ls_extra *np = static_cast<ls_extra *>(ls_xcalloc(cap, sizeof(uint32_t), __func__));
    memcpy(np, p, sizeof(ls_extra));
    np->capacity = cap;
    uint32_t m = 0;
    qoff = toff = 0;
    for (uint32_t k = 0; k < p->n_cigar; ++k) {
        uint32_t op = op_code(p->cigar[k]);
        int32_t l = (int32_t)op_len(p->cigar[k]);
        if (op == kOpM) {
            for_each_eqx_run(qseq + qoff, tseq + toff, l,
                             [&](uint32_t c, int32_t len) { np->cigar[m++] = (uint32_t)len << 4 | c; });
            qoff += l, toff += l;
        } else {
            np->cigar[m++] = p->cigar[k];
            if (op == kOpI)
                qoff += l;
            else if (op == kOpD || op == kOpN)
                toff += l;
        }
    }
    np->n_cigar = m;
    free(p);
    r->p = np;
}
