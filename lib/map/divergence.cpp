/* Divergence estimate from seeds and secondary selection for multi-segment
 * queries. */
#include "map/divergence.h"

#include <math.h>
#include <stdio.h>

#include "map/regions.h"

namespace {

/* Forward-strand query position of an anchor's last base: reverse anchors
 * hold positions on the reverse-complemented query. */
uint32_t forward_qpos(const ls128 &a, int qlen) {
    int32_t y = (int32_t)(uint32_t)a.y;
    if (a.x >> 63) {
        const int32_t span = (int32_t)(a.y >> 32 & 0xff);
        y = qlen + span - y - 2;
    }
    return (uint32_t)y;
}

/* Index of the seed ending at pos, or -1. */
int32_t find_seed(int32_t n, const uint64_t *seed_pos, uint32_t pos) {
    int32_t lo = 0, hi = n - 1;
    while (lo <= hi) {
        const int32_t mid = (int32_t)(((uint32_t)lo + (uint32_t)hi) >> 1);
        const uint32_t x = (uint32_t)seed_pos[mid];
        if (x < pos)
            lo = mid + 1;
        else if (x > pos)
            hi = mid - 1;
        else
            return mid;
    }
    return -1;
}

/* The k-th anchor of a region counted from its forward-strand query start. */
const ls128 &nth_forward(const ls_reg &r, const ls128 *a, int k) {
    return r.reverse ? a[r.anchor_start + r.n_anchors - 1 - k] : a[r.anchor_start + k];
}

} // namespace

void ls_est_err(const ls_idx *mi, int qlen, int n_regs, ls_reg *regs, const ls128 *a, int32_t n,
                const uint64_t *seed_pos) {
    if (n <= 0) return;
    uint64_t sum_span = 0;
    for (int32_t i = 0; i < n; ++i) sum_span += seed_pos[i] >> 32 & 0xff;
    const float mean_span = (float)sum_span / (float)n;
    const double expo = 1.0 / mean_span;
    for (int i = 0; i < n_regs; ++i) {
        ls_reg *r = &regs[i];
        r->divergence = -1.0f;
        if (r->n_anchors == 0) continue;
        const int32_t st = find_seed(n, seed_pos, forward_qpos(nth_forward(*r, a, 0), qlen));
        if (st < 0) {
            if (ls_verbosity >= 2)
                fputs("[WARNING] logic inconsistency in ls_est_err(). Please contact the developer.\n",
                      stderr);
            continue;
        }
        // Walk the query's seeds from the first matched one; each seed that
        // the region's next anchor sits on counts as matched.
        int32_t en = st, matched = 1;
        for (int32_t j = st + 1; j < n && matched < r->n_anchors; ++j) {
            if (forward_qpos(nth_forward(*r, a, matched), qlen) == (uint32_t)seed_pos[j]) {
                ++matched;
                en = j;
            }
        }
        int32_t expected = en - st + 1;
        // A seed before or after the region would have fitted on both
        // sequences: count it as missed.
        if ((float)r->qs > mean_span && (float)r->rs > mean_span) ++expected;
        if ((float)(qlen - r->qe) > mean_span &&
            (float)((int64_t)mi->seq[r->target_id].len - r->re) > mean_span)
            ++expected;
        r->divergence = matched >= expected ? 0.0f : (float)(1.0 - pow((double)matched / expected, expo));
    }
}

void ls_select_sub_multiseg(km_arena *km, int ref_gap, int min_diff, int max_keep, int n_segs,
                            const int *seg_lens, float ratio, float ratio_near, float ratio_split,
                            int *n_regs, ls_reg *regs) {
    const int n = *n_regs;
    if (ratio <= 0.0f || n <= 0) return;
    const int max_dist = n_segs == 2 ? ref_gap + seg_lens[0] + seg_lens[1] : 0;
    uint8_t *keep = static_cast<uint8_t *>(km_calloc(km, (size_t)n, 1));
    int n_kept2 = 0;
    for (int i = 0; i < n; ++i) {
        const ls_reg *r = &regs[i];
        if (r->parent == i) {
            keep[i] = 1;
            continue;
        }
        if (r->parent < 0 || r->parent >= n) continue; // no primary to compare with
        const ls_reg *p = &regs[r->parent];
        const float psc = (float)p->chain_score, sc = (float)r->chain_score;
        bool pass;
        if (r->chain_score + min_diff >= p->chain_score) {
            pass = true;
        } else if (p->reverse == r->reverse && p->target_id == r->target_id && r->re - p->rs < max_dist &&
                   p->re - r->rs < max_dist) {
            pass = sc >= psc * ratio_near;
        } else {
            // A region spanning both mates is compared with the looser ratio
            // only against a primary that spans them too.
            const bool both_p = n_segs == 2 && p->qs < seg_lens[0] && seg_lens[0] < p->qe;
            const bool both_r = n_segs == 2 && r->qs < seg_lens[0] && seg_lens[0] < r->qe;
            pass = both_r || both_r == both_p ? sc >= psc * ratio : sc >= psc * ratio_split;
        }
        if (pass) {
            if (n_kept2 < max_keep) keep[i] = 1;
            ++n_kept2;
        }
    }
    ls_keep_regions(km, n_regs, regs, keep);
    kfree(km, keep);
}
