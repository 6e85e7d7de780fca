/* Alignment of all regions of one query: query codes on both strands, one
 * ls_align1 per region (two in the two-strand splice mode, the better one
 * kept), the remainders of z-drop splits aligned next in query order, an
 * inversion tried between split pieces, then the post-alignment filter,
 * score recalibration and ranking. */
#include "align/align.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <memory>

#include "align/align_internal.h"
#include "map/regions.h"
#include "base/alloc.h"
#include "base/diagnostics.h"
#include "base/nucleotides.h"

namespace {

/* Inserts *r at position pos of the array (its n regions after pos move up
 * by one); the array grows with realloc. Returns the array. */
ls_reg *insert_region(ls_reg *regs, int *n, int pos, const ls_reg *r) {
    ls_reg *p = static_cast<ls_reg *>(ls_xrealloc(regs, (size_t)(*n + 1) * sizeof(ls_reg), __func__));
    if (pos < *n) memmove(&p[pos + 1], &p[pos], (size_t)(*n - pos) * sizeof(ls_reg));
    p[pos] = *r;
    ++*n;
    return p;
}

/* A region whose alignment produced no operation gets an ls_extra without
 * CIGAR and no matching bases, so that the post-alignment filter judges it
 * like any other aligned region (and drops it under any positive limit):
 * an array must never mix aligned and unaligned regions. */
void mark_unaligned(ls_reg *r) {
    if (r->p != nullptr || r->n_anchors == 0) return;
    r->p = static_cast<ls_extra *>(ls_xcalloc(8, sizeof(uint32_t), __func__));
    r->p->capacity = 8;
    r->match_len = r->block_len = 0;
    r->spliced = 0;
}

/* Aligns regs[i] for both transcript strands and keeps the better one, whose
 * split-out remainder goes to *split. */
void align_two_strands(km_arena *km, const ls_mapopt *opt, const ls_idx *mi, int qlen, uint8_t *qseq[2],
                       ls_reg *regs, int i, int n_a, ls128 *a, dpx_extz *ez, ls_reg *split) {
    ls_reg s0 = regs[i], s1 = regs[i], t0, t1;
    memset(&t0, 0, sizeof(t0));
    memset(&t1, 0, sizeof(t1));
    ls_align1(km, opt, mi, qlen, qseq, &s0, &t0, n_a, a, ez, LS_F_SPLICE_FWD);
    const ls_reg &orig = regs[i];
    if ((opt->flag & LS_F_SHORT_RNA) && orig.qe - orig.qs == orig.re - orig.rs && s0.qs == 0 &&
        s0.qe == qlen && s0.qe - s0.qs == s0.re - s0.rs) {
        /* a gap-free read aligned whole without a gap has no intron whose
         * splice sites could tell the strands apart: the other strand is
         * not tried and the strand stays unknown */
        regs[i] = s0, *split = t0;
        if (regs[i].p) regs[i].p->transcript_strand = 0;
        return;
    }
    ls_align1(km, opt, mi, qlen, qseq, &s1, &t1, n_a, a, ez, LS_F_SPLICE_RC);
    int strand;
    bool take_s0;
    if (s0.p == nullptr || s1.p == nullptr) {
        /* an unaligned copy loses to an aligned one; between two unaligned
         * ones there is nothing to decide */
        take_s0 = s1.p == nullptr;
        strand = s0.p == nullptr && s1.p == nullptr ? 0 : take_s0 ? 1 : 2;
    } else {
        const int32_t d0 = s0.p->aln_score, d1 = s1.p->aln_score;
        if (d0 > d1)
            take_s0 = true, strand = 1;
        else if (d0 < d1)
            take_s0 = false, strand = 2;
        else
            take_s0 = (((int64_t)qlen + d0) & 1) == 0, strand = 3;
    }
    ls_reg &win = take_s0 ? s0 : s1, &lose = take_s0 ? s1 : s0;
    free(lose.p);
    regs[i] = win, *split = take_s0 ? t0 : t1;
    ls_reg *r = &regs[i];
    if (r->p == nullptr) return;
    r->p->transcript_strand = (uint32_t)strand;
    if (r->spliced) {
        /* a spliced alignment with a clear strand is more credible than one
         * whose splice sites fit both strands equally */
        const int m = opt->match_score + opt->mismatch_penalty;
        if (strand == 1 || strand == 2)
            r->p->max_score += m + (m >> 1);
        else if (strand == 3)
            r->p->max_score -= m;
    }
}

} // namespace

int ls_align_inversion(km_arena *km, const ls_mapopt *opt, const ls_idx *mi, int qlen, uint8_t *qseq[2],
                       const ls_reg *r1, const ls_reg *r2, ls_reg *inv, dpx_extz *ez) {
    memset(inv, 0, sizeof(*inv));
    if (!(r1->zdrop_split & 1) || !(r2->zdrop_split & 2)) return 0;
    if ((r1->parent != r1->id && r1->parent != -2) || (r2->parent != r2->id && r2->parent != -2)) return 0;
    if (r1->target_id != r2->target_id || r1->reverse != r2->reverse) return 0;
    const int64_t qgap = r1->reverse ? (int64_t)r1->qs - r2->qe : (int64_t)r2->qs - r1->qe;
    const int64_t tgap = (int64_t)r2->rs - r1->re;
    if (qgap < opt->chain_min_score || qgap > opt->chain_max_gap) return 0;
    if (tgap < opt->chain_min_score || tgap > opt->chain_max_gap) return 0;

    int8_t mat[25];
    ls_align_score_matrix(opt, mat);
    arena_ptr<uint8_t> tbuf(static_cast<uint8_t *>(km_malloc(km, (size_t)tgap)), ArenaFree{km});
    uint8_t *tseq = tbuf.get();
    if (ls_idx_get_bases(mi, r1->target_id, r1->re, r2->rs, tseq) != tgap) return 0;
    /* the query gap in the orientation opposite to the two pieces */
    uint8_t *qp = r1->reverse ? qseq[0] + r2->qe : qseq[1] + (qlen - r2->qs);

    /* where the best local alignment of the gaps starts: score the reversed
     * stretches and read its end */
    reverse_bytes(qp, qgap), reverse_bytes(tseq, tgap);
    int q_end, t_end, score;
    {
        arena_ptr<dpx_profile> prof(dpx_profile_init(km, 2, (int)qgap, qp, 5, mat), ArenaFree{km});
        score = dpx_local_score_i16(prof.get(), (int)tgap, tseq, opt->gap_open, opt->gap_ext, &q_end, &t_end);
    }
    reverse_bytes(qp, qgap), reverse_bytes(tseq, tgap);
    if (score < opt->min_dp_score) return 0;
    const int64_t q_start = qgap - (q_end + 1), t_start = tgap - (t_end + 1);

    ls_align_pair(km, opt, (int)(qgap - q_start), qp + q_start, (int)(tgap - t_start), tseq + t_start,
                  nullptr, mat, (int)(opt->bw * 1.5), -1, opt->zdrop, DPX_EZ_EXTEND_ONLY, ez);
    if (ez->n_cigar == 0) return 0;

    ls_extra_append_cigar(inv, (uint32_t)ez->n_cigar, ez->cigar);
    inv->p->aln_score = (int32_t)ez->best_score;
    inv->id = -1, inv->parent = -1;
    inv->inverted = 1;
    inv->reverse = !r1->reverse;
    inv->target_id = r1->target_id;
    inv->divergence = -1.0f;
    if (!inv->reverse) { /* r1 was on the reverse strand */
        inv->qs = (int32_t)(r2->qe + q_start);
        inv->qe = inv->qs + ez->best_qpos + 1;
    } else {
        inv->qe = (int32_t)(r2->qs - q_start);
        inv->qs = inv->qe - (ez->best_qpos + 1);
    }
    inv->rs = (int32_t)(r1->re + t_start);
    inv->re = inv->rs + ez->best_tpos + 1;
    const bool log_gaps = !(opt->flag & (LS_F_SHORT_READ | LS_F_SHORT_RNA));
    ls_update_extra(inv, qp + q_start, tseq + t_start, mat, (int8_t)opt->gap_open, (int8_t)opt->gap_ext,
                    (opt->flag & LS_F_EQX) != 0, log_gaps);
    return 1;
}

ls_reg *ls_align_regions(km_arena *km, const ls_mapopt *opt, const ls_idx *mi, int qlen, const char *seq,
                         int *n_regs_, ls_reg *regs, ls128 *a) {
    const int64_t flag = opt->flag;
    int n_regs = *n_regs_;

    /* query codes: forward, then the reverse complement */
    arena_ptr<uint8_t> qbuf(static_cast<uint8_t *>(km_malloc(km, (size_t)qlen * 2)), ArenaFree{km});
    uint8_t *qseq[2] = {qbuf.get(), qbuf.get() + qlen};
    for (int i = 0; i < qlen; ++i) {
        uint8_t c = ls_nt4_table[(uint8_t)seq[i]];
        qseq[0][i] = c;
        qseq[1][qlen - 1 - i] = c < 4 ? (uint8_t)(3 - c) : 4;
    }
    const int n_a = ls_squeeze_anchors(km, n_regs, regs, a);
    dpx_extz ez;
    memset(&ez, 0, sizeof(ez));

    const int64_t two_strands = LS_F_SPLICE | LS_F_SPLICE_FWD | LS_F_SPLICE_RC;
    for (int i = 0; i < n_regs; ++i) {
        ls_reg split;
        memset(&split, 0, sizeof(split));
        if ((flag & two_strands) == two_strands) {
            align_two_strands(km, opt, mi, qlen, qseq, regs, i, n_a, a, &ez, &split);
        } else {
            ls_align1(km, opt, mi, qlen, qseq, &regs[i], &split, n_a, a, &ez, flag);
            if ((flag & LS_F_SPLICE) && regs[i].p)
                regs[i].p->transcript_strand = (flag & LS_F_SPLICE_FWD) ? 1 : 2;
        }
        mark_unaligned(&regs[i]);
        /* the remainder follows its region, so that split pieces stay in
         * query order and are aligned next */
        if (split.n_anchors > 0) regs = insert_region(regs, &n_regs, i + 1, &split);
        if (i > 0 && regs[i].split_at_inversion && !(flag & LS_F_NO_INVERSION)) {
            ls_reg inv;
            if (ls_align_inversion(km, opt, mi, qlen, qseq, &regs[i - 1], &regs[i], &inv, &ez)) {
                regs = insert_region(regs, &n_regs, i + 1, &inv);
                ++i; /* already aligned */
            }
        }
    }
    kfree(km, ez.cigar);
    qbuf.reset();

    ls_filter_regions(opt, qlen, &n_regs, regs);
    if (!(flag & (LS_F_SHORT_READ | LS_F_ALL_CHAINS | LS_F_SHORT_RNA)) && opt->split_prefix == nullptr &&
        qlen >= opt->rank_min_length) {
        ls_update_max_score(qlen, n_regs, regs, opt->rank_fraction, opt->match_score, opt->mismatch_penalty);
        ls_filter_regions(opt, qlen, &n_regs, regs);
    }
    ls_hit_sort(km, &n_regs, regs, opt->alt_drop_fraction);
    *n_regs_ = n_regs;
    return regs;
}
