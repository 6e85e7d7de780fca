/* Mapping quality of regions, the gap-compressed identity of an alignment and
 * the recalibration of alignment scores when two alignments compete closely. */
#include <math.h>
#include <stdint.h>

#include "map/regions.h"
#include "map/chain.h"
#include "base/diagnostics.h"
#include "base/radix_sort.h"

namespace {

/* Truncation toward zero; a value outside the signed 32-bit range, an
 * infinity or a NaN (the logarithm of a non-positive score) gives INT32_MIN,
 * the most hopeless quality, rather than undefined behaviour. */
int32_t trunc_i32(double v) {
    if (!(v >= -2147483648.0 && v < 2147483648.0)) return INT32_MIN;
    return (int32_t)v;
}

/* Insertions and deletions of an alignment: number of operations and their
 * summed length. */
void count_gaps(const ls_extra *p, int *n_gaps, int *gap_len) {
    *n_gaps = *gap_len = 0;
    for (uint32_t k = 0; k < p->n_cigar; ++k) {
        const uint32_t op = p->cigar[k] & 0xf;
        if (op == LS_CIGAR_INS || op == LS_CIGAR_DEL) {
            ++*n_gaps;
            *gap_len += (int)(p->cigar[k] >> 4);
        }
    }
}

/* Mapping quality of one primary before clamping. All arithmetic in single
 * precision so that ties come out the same everywhere; the result may lie
 * far outside 0..60 (64 bits so that the suboptimal penalty cannot wrap). */
int64_t primary_quality(const ls_reg *r, float uniq, int min_chain_sc, int match_sc, int n_2nd_splice,
                        int is_sr, int is_splice) {
    const float pen_s1 = (r->chain_score > 100 ? 1.0f : 0.01f * (float)r->chain_score) * uniq;
    float pen = r->n_anchors > 10 ? 1.0f : 0.1f * (float)r->n_anchors;
    pen = pen_s1 < pen ? pen_s1 : pen;
    const float sub = (float)(r->sub_score > min_chain_sc ? r->sub_score : min_chain_sc);
    int64_t q;
    if (r->p) {
        const int m1 = r->p->max_score, m2 = r->p->alt_max_score;
        const float identity = (float)r->match_len / (float)r->block_len;
        if (m2 > 0 && m1 > 0) {
            float x;
            if (is_sr && is_splice)
                x = (float)m2 / (float)m1;
            else
                x = sub * (float)m2 / (float)m1 / (float)r->initial_score;
            q = trunc_i32((1.0f - x * x) * (pen * identity * 40.0f) * logf((float)m1 / (float)match_sc));
            if (is_sr) {
                if (is_splice && r->spliced && n_2nd_splice == 0) q += 10;
            } else {
                const int64_t q_alt =
                    trunc_i32(6.02f * identity * identity * (float)(m1 - m2) / (float)match_sc + 0.499f);
                q = q < q_alt ? q : q_alt;
            }
        } else {
            const float x = sub / (float)r->initial_score;
            q = trunc_i32(logf((float)m1 / (float)match_sc) * ((1.0f - x) * (pen * identity * 40.0f)));
        }
    } else {
        const float x = sub / (float)r->initial_score;
        q = trunc_i32(logf((float)r->chain_score) * ((1.0f - x) * (pen * 40.0f)));
    }
    q -= trunc_i32(4.343f * logf((float)r->n_suboptimal + 1.0f) + 0.499f);
    return q;
}

/* Mapping quality of an aligned primary from the aligned scores alone, the
 * optional model; rival_score is the best raw alignment score among the
 * secondaries it masks, or -1 when none was aligned. With a rival, the
 * quality grows with the raw score margin over it: the margin that earns 60
 * grows with the square of the alignment's divergence, since noisier reads
 * make the aligned scores of two near-identical copies scatter more (20
 * match scores at 10% divergence, 5 at 5%, 45 at 15%, measured on reads
 * generated from repeat-rich genomes). Raw scores, because the rescoring of
 * close competitors weighs a mismatch by the divergence and would inflate
 * small margins. With no aligned rival, the chain evidence decides as in the
 * specified model, without its penalty for seeds in repeats: the alignment
 * has shown where the read lies, and the repeats left no rival worth
 * aligning. */
int64_t aligned_quality(const ls_reg *r, int rival_score, int min_chain_sc, int match_sc, int is_splice) {
    if (rival_score < 0) return primary_quality(r, 1.0f, min_chain_sc, match_sc, 0, 0, is_splice);
    float d = 1.0f - (float)ls_event_identity(r);
    d = d > 0.01f ? d : 0.01f;
    const float margin = (float)(r->p->raw_max_score - rival_score) / (float)match_sc, full = 2000.0f * d * d;
    const float u = margin / (full > 2.0f ? full : 2.0f);
    int64_t q = trunc_i32(60.0f * u * u);
    q -= trunc_i32(4.343f * logf((float)r->n_suboptimal + 1.0f) + 0.499f);
    return q;
}

/* An inverted region between two others on the target is as reliable as the
 * weaker of its neighbours. */
void inversion_mapq(km_arena *km, int n_regs, ls_reg *regs) {
    ls128 *z = static_cast<ls128 *>(km_malloc(km, (size_t)n_regs * sizeof(ls128)));
    int n = 0;
    for (int i = 0; i < n_regs; ++i) {
        if (regs[i].parent != i && regs[i].parent >= 0) continue;
        z[n].x = (uint64_t)(uint32_t)regs[i].target_id << 32 | (uint32_t)regs[i].rs;
        z[n++].y = (uint64_t)i;
    }
    ls_sort_128x(z, z + n);
    for (int k = 1; k < n - 1; ++k) {
        ls_reg *r = &regs[z[k].y];
        if (!r->inverted) continue;
        const uint32_t a = regs[z[k - 1].y].mapq, b = regs[z[k + 1].y].mapq;
        r->mapq = a < b ? a : b;
    }
    kfree(km, z);
}

} // namespace

void ls_set_mapq(km_arena *km, int n_regs, ls_reg *regs, int min_chain_sc, int match_sc, int rep_len,
                 int is_sr, int is_splice, int from_alignment) {
    if (n_regs <= 0) return;
    int64_t sum_sc = 0;
    int n_2nd_splice = 0, n_inverted = 0;
    for (int i = 0; i < n_regs; ++i) {
        if (regs[i].parent == regs[i].id)
            sum_sc += regs[i].chain_score;
        else if (regs[i].spliced)
            ++n_2nd_splice;
        if (regs[i].inverted) ++n_inverted;
    }
    // Share of the query's seeded bases outside repeats.
    const float uniq = (float)sum_sc / (float)(sum_sc + rep_len);
    for (int i = 0; i < n_regs; ++i) {
        ls_reg *r = &regs[i];
        if (r->inverted || r->parent != r->id) {
            r->mapq = 0;
            continue;
        }
        int64_t q;
        // Short reads keep the specified model: with their low divergence
        // the margin of a base or two would already earn 60, and on
        // generated pairs from Dictyostelium that put wrong placements there.
        if (from_alignment && r->p && !is_sr) {
            int rival = -1;
            for (int j = 0; j < n_regs; ++j)
                if (j != i && regs[j].parent == r->id && regs[j].p && regs[j].p->raw_max_score > rival)
                    rival = regs[j].p->raw_max_score;
            q = aligned_quality(r, rival, min_chain_sc, match_sc, is_splice);
        } else {
            q = primary_quality(r, uniq, min_chain_sc, match_sc, n_2nd_splice, is_sr, is_splice);
        }
        r->mapq = (uint32_t)(q < 0 ? 0 : q > 60 ? 60 : q);
        // An aligned primary that beats its best competitor is never reported
        // as hopeless.
        if (r->p && r->p->max_score > r->p->alt_max_score && q <= 0) r->mapq = 1;
    }
    if (n_regs >= 3 && n_inverted > 0) inversion_mapq(km, n_regs, regs);
}

double ls_event_identity(const ls_reg *r) {
    if (r->p == nullptr) return -1.0;
    int n_gaps, gap_len;
    count_gaps(r->p, &n_gaps, &gap_len);
    // Each gap counts as one event, whatever its length.
    const int denom = r->block_len + (int)r->p->n_ambiguous + n_gaps - gap_len;
    return (double)r->match_len / denom;
}

void ls_update_max_score(int qlen, int n_regs, ls_reg *regs, float frac, int match_sc, int mismatch_pen) {
    if (n_regs < 2) return;
    int max = INT32_MIN, max2 = INT32_MIN, max_i = -1;
    for (int i = 0; i < n_regs; ++i) {
        if (regs[i].p == nullptr) continue;
        const int s = regs[i].p->max_score;
        if (max_i < 0 || s > max) {
            max2 = max;
            max = s;
            max_i = i;
        } else if (s > max2) {
            max2 = s;
        }
    }
    if (max_i < 0 || max < 0 || max2 < 0) return;
    const ls_reg *best = &regs[max_i];
    if ((double)qlen * frac > best->qe - best->qs) return;
    if (max * (double)frac > max2) return;
    // Mismatch weight from the best alignment's divergence, so that both are
    // scored as if by the scoring that suits that divergence.
    double d = 1.0 - ls_event_identity(best);
    d = d > 0.02 ? d : 0.02;
    double b2 = 0.5 / d;
    if (mismatch_pen > b2 * match_sc) b2 = (double)match_sc / mismatch_pen;
    for (int i = 0; i < n_regs; ++i) {
        ls_reg *r = &regs[i];
        if (r->p == nullptr) continue;
        double cost = 0.0;
        int64_t gap_len = 0;
        for (uint32_t k = 0; k < r->p->n_cigar; ++k) {
            const uint32_t op = r->p->cigar[k] & 0xf, len = r->p->cigar[k] >> 4;
            if (op != LS_CIGAR_INS && op != LS_CIGAR_DEL) continue;
            cost += b2 + ls_log2_approx((float)(1 + len));
            gap_len += len;
        }
        // 64-bit: regions read back from a damaged temporary file may hold
        // any values, and the difference must not overflow on them.
        const int64_t e = (int64_t)r->block_len + (int64_t)r->p->n_ambiguous - r->match_len - gap_len;
        int s = trunc_i32(match_sc * ((double)r->match_len - b2 * e - cost) + 0.499);
        r->p->max_score = s < 0 ? 0 : s;
    }
}
