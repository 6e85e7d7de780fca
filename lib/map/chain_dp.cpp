/* Chaining by dynamic programming: each anchor looks back over a bounded
 * number of earlier anchors for the best predecessor, paying a gap cost. */
#include <stdint.h>
#include <string.h>

#include "base/diagnostics.h"
#include "base/radix_sort.h"
#include "map/chain_internal.h"

using namespace ls_chain;

namespace {

struct LinkParams {
    int max_dist_x, max_dist_y, bw;
    float pen_gap, pen_skip;
    int is_splice, n_seg;
};

// Score of extending a chain that ends at anchor j by anchor i (j before i
// on the same target and strand), or kNoLink.
inline int32_t link_score(const ls128 &ai, const ls128 &aj, const LinkParams &lp) {
    // Positions are the low 32 bits as signed integers; differences wrap
    // rather than overflow.
    const int32_t dq = (int32_t)((uint32_t)ai.y - (uint32_t)aj.y);
    if (dq <= 0 || dq > lp.max_dist_x) return kNoLink;
    const int32_t dr = (int32_t)((uint32_t)ai.x - (uint32_t)aj.x);
    const int si = anchor_seg(ai), sj = anchor_seg(aj);
    const bool same_seg = si == sj;
    if (same_seg && (dr == 0 || dq > lp.max_dist_y)) return kNoLink;
    const int32_t dd = dr > dq ? dr - dq : dq - dr;
    if (same_seg && dd > lp.bw) return kNoLink;
    // Mates of a fragment may lie further apart on the target than on the
    // concatenated query; anchors within one mate may not.
    if (lp.n_seg > 1 && !lp.is_splice && same_seg && dr > lp.max_dist_y) return kNoLink;
    const int32_t dg = dr < dq ? dr : dq, span = anchor_span(aj);
    int32_t sc = span < dg ? span : dg;
    if (dd > 0 || dg > span) {
        float lin = lp.pen_gap * (float)dd + lp.pen_skip * (float)dg;
        float lg = dd >= 1 ? ls_log2_approx((float)(dd + 1)) : 0.0f;
        if (!lp.is_splice && same_seg) {
            sc -= (int32_t)(lin + 0.5f * lg);
        } else if (!same_seg && dr == 0) {
            sc = 1; // both mates cover the same target base
        } else if (dr > dq || !same_seg) {
            // A target-side gap (an intron, or the space between mates)
            // costs only the lesser term.
            sc -= (int32_t)(lin < lg ? lin : lg);
        } else {
            sc -= (int32_t)(lin + 0.5f * lg);
        }
    }
    return sc;
}

} // namespace

ls128 *nx_lchain_dp(int max_dist_x, int max_dist_y, int bw, int max_skip, int max_iter, int min_cnt,
                    int min_sc, float pen_gap, float pen_skip, int is_splice, int n_seg, int64_t n, ls128 *a,
                    int *n_u_, uint64_t **u_, km_arena *km) {
    *n_u_ = 0, *u_ = nullptr;
    if (n <= 0 || !a) {
        kfree(km, a);
        return nullptr;
    }
    if (max_dist_x < bw) max_dist_x = bw;
    if (max_dist_y < bw && !is_splice) max_dist_y = bw;
    const int max_drop = is_splice ? INT32_MAX : bw;
    const LinkParams lp = {max_dist_x, max_dist_y, bw, pen_gap, pen_skip, is_splice, n_seg};

    ChainWork w(km, n);
    int32_t *f = w.f;
    int64_t st = 0, m = -1; // window start; best recent anchor
    for (int64_t i = 0; i < n; ++i) {
        while (st < i && (anchor_ref(a[st]) != anchor_ref(a[i]) || a[st].x + (uint64_t)max_dist_x < a[i].x))
            ++st;
        if (i - st > max_iter) st = i - max_iter;
        int32_t best = anchor_span(a[i]);
        int64_t best_j = -1, j;
        int n_skip = 0;
        for (j = i - 1; j >= st; --j) {
            int32_t sc = link_score(a[i], a[j], lp);
            if (sc == kNoLink) continue;
            if (!w.consider(i, j, sc + f[j], max_skip, &best, &best_j, &n_skip)) break;
        }
        const int64_t end_j = j;
        // The best recent anchor keeps long jumps possible when the search
        // stopped early or the window was cut to max_iter anchors.
        if (m < 0 || a[i].x - a[m].x > (uint64_t)max_dist_x) {
            int32_t max_f = INT32_MIN;
            m = -1;
            for (j = st; j < i; ++j)
                if (max_f <= f[j]) max_f = f[j], m = j;
        }
        if (m >= 0 && m < end_j) {
            int32_t sc = link_score(a[i], a[m], lp);
            if (sc != kNoLink && sc + f[m] > best) best = sc + f[m], best_j = m;
        }
        w.set(i, best, best_j);
        if (m < 0 || (a[i].x - a[m].x <= (uint64_t)max_dist_x && f[m] < f[i])) m = i;
    }
    return nx_finish_chains(km, w, min_cnt, min_sc, max_drop, a, n_u_, u_);
}
