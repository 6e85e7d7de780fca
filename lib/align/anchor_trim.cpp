/* Anchors an alignment trusts: the choice of the anchor range at a chain's
 * ends, the two filters that mark anchors inside indel-rich stretches so the
 * gap filling aligns such stretches in one piece, and the waypoint an anchor
 * stands for. Nothing here changes but the range, the waypoints and the
 * LS_ANCHOR_IGNORE / LS_ANCHOR_LONG_JOIN bits. */
#include <math.h>
#include <stdint.h>
#include <stdlib.h>

#include <memory>

#include "align/align.h"
#include "align/align_internal.h"
#include "map/seeds.h"

namespace {

/* Gap between a[i-1] and a[i]: positive for extra query bases (an
 * insertion), negative for extra target bases (a deletion). */
inline int32_t gap(const ls128 *a, int i) {
    return (qpos(a, i) - qpos(a, i - 1)) - (tpos(a, i) - tpos(a, i - 1));
}
inline int32_t iabs(int32_t x) {
    return x < 0 ? -x : x;
}

/* Offsets i in 1 .. cnt1-1 whose gap(as1 + i) exceeds min_gap in size, in
 * increasing order (arena array; *n entries, null when none). */
arena_ptr<int32_t> large_gaps(km_arena *km, const ls128 *a, int as1, int cnt1, int32_t min_gap, int *n) {
    *n = 0;
    for (int i = 1; i < cnt1; ++i)
        if (iabs(gap(a, as1 + i)) > min_gap) ++*n;
    arena_ptr<int32_t> g(nullptr, ArenaFree{km});
    if (*n == 0) return g;
    g.reset(static_cast<int32_t *>(km_malloc(km, (size_t)*n * sizeof(int32_t))));
    int k = 0;
    for (int i = 1; i < cnt1; ++i)
        if (iabs(gap(a, as1 + i)) > min_gap) g.get()[k++] = i;
    return g;
}

/* The trimming scan from one end stops once the alignment behind it is long
 * enough to be trusted. */
inline bool trim_scan_done(int32_t l, int32_t m, int bw, int32_t enough, int32_t match_len) {
    return l >= 2 * bw || m >= enough || m >= match_len >> 1;
}

/* Base code at position pos of target rid in the packed store (4 bits per
 * base, 8 per word, first base in the low bits). */
inline int packed_base(const ls_idx *mi, uint64_t o) {
    return (int)(mi->packed_seq[o >> 3] >> ((o & 7) << 2) & 0xf);
}

} // namespace

void ls_longest_diagonal_run(int as, int cnt, const ls128 *a, int *as1, int *cnt1) {
    if (cnt < 2) {
        *as1 = as, *cnt1 = cnt;
        return;
    }
    int32_t score = span(a, as), best = -1;
    int len = 1, best_start = -1, best_len = 0;
    for (int i = as + 1; i < as + cnt; ++i) {
        int32_t lr = tpos(a, i) - tpos(a, i - 1), lq = qpos(a, i) - qpos(a, i - 1);
        if (lq == lr) {
            score += lr < span(a, i) ? lr : span(a, i);
            ++len;
        } else {
            if (score > best) best = score, best_start = i - len, best_len = len;
            len = 1, score = span(a, i);
        }
    }
    if (score > best) best = score, best_start = as + cnt - len, best_len = len;
    *as1 = best_start, *cnt1 = best_len;
}

void ls_trim_anchor_ends(const ls_mapopt *opt, int as, int cnt, const ls128 *a, int match_len, int *as1_,
                         int *cnt1_) {
    int as1 = as, cnt1 = cnt;
    *as1_ = as1, *cnt1_ = cnt1;
    if (cnt < 3) return;
    const int bw = opt->bw;
    const int32_t enough = 2 * opt->chain_min_score > bw ? 2 * opt->chain_min_score : bw;

    /* from the left: a gap whose size exceeds half the alignment accumulated
     * so far moves the start past it */
    int32_t m = span(a, as), l = m;
    for (int i = as + 1; i < as + cnt - 1; ++i) {
        if (a[i].y & LS_ANCHOR_LONG_JOIN) break;
        int32_t lr = tpos(a, i) - tpos(a, i - 1), lq = qpos(a, i) - qpos(a, i - 1);
        int32_t mn = lr < lq ? lr : lq;
        if (iabs(lr - lq) > l >> 1) as1 = i;
        l += mn;
        m += mn < span(a, i) ? mn : span(a, i);
        if (trim_scan_done(l, m, bw, enough, match_len)) break;
    }
    cnt1 = as + cnt - as1;

    /* from the right, not past the new start */
    m = l = span(a, as + cnt - 1);
    for (int i = as + cnt - 2; i > as1; --i) {
        if (a[i + 1].y & LS_ANCHOR_LONG_JOIN) break;
        int32_t lr = tpos(a, i + 1) - tpos(a, i), lq = qpos(a, i + 1) - qpos(a, i);
        int32_t mn = lr < lq ? lr : lq;
        if (iabs(lr - lq) > l >> 1) cnt1 = i + 1 - as1;
        l += mn;
        m += mn < span(a, i + 1) ? mn : span(a, i + 1);
        if (trim_scan_done(l, m, bw, enough, match_len)) break;
    }
    *as1_ = as1, *cnt1_ = cnt1;
}

void ls_trim_anchor_ends_splice(km_arena *km, const ls_mapopt *opt, const ls_idx *mi, const int8_t *matrix,
                                int qlen, uint8_t *const qseq[2], int as, int cnt, const ls128 *a, int *as1,
                                int *cnt1) {
    *as1 = as, *cnt1 = cnt;
    if (cnt < 3) return;
    /* An end anchor before an intron must be longer than the log of the
     * intron (plus a margin) to be believed, or at least its surroundings
     * must align that well. */
    const double shift = opt->anchor_extend_shift;
    double g = log((double)(tpos(a, as + 1) - tpos(a, as)));
    if (span(a, as) < g + shift) {
        int s = ls_anchor_extension_score(km, opt, mi, matrix, qlen, qseq, &a[as]);
        if ((double)s / matrix[0] < g + shift) ++*as1, --*cnt1;
    }
    g = log((double)(tpos(a, as + cnt - 1) - tpos(a, as + cnt - 2)));
    if (span(a, as + cnt - 1) < g + shift) {
        int s = ls_anchor_extension_score(km, opt, mi, matrix, qlen, qseq, &a[as + cnt - 1]);
        if ((double)s / matrix[0] < g + shift) --*cnt1;
    }
}

void ls_ignore_indel_clusters(km_arena *km, const ls_mapopt *opt, int as1, int cnt1, ls128 *a) {
    const int32_t max_gap = 10, min_diff = 40, look_ahead = 10;
    const int32_t reach = opt->chain_max_gap >> 1;
    int n;
    auto gaps = large_gaps(km, a, as1, cnt1, max_gap, &n);
    if (n < 2) return;
    const int32_t *G = gaps.get();
    int32_t best = 0;
    int from = -1, to = -1;
    for (int k = 0;; ++k) {
        if (k == n || k >= to) {
            /* the pending cluster is complete: its inner anchors are passed
             * over so that one DP spans the whole cluster */
            if (to > 0)
                for (int i = as1 + G[from]; i < as1 + G[to]; ++i) a[i].y |= LS_ANCHOR_IGNORE;
            best = 0, from = to = -1;
            if (k == n) break;
        }
        int i = G[k];
        int32_t g = gap(a, as1 + i);
        int32_t ins = g > 0 ? g : 0, del = g < 0 ? -g : 0;
        int32_t q0 = qpos(a, as1 + i - 1), t0 = tpos(a, as1 + i - 1);
        int32_t top_diff = 0;
        int top_l = -1;
        for (int l = k + 1; l < n && l <= k + look_ahead; ++l) {
            int j = G[l];
            if (qpos(a, as1 + j) - q0 > reach || tpos(a, as1 + j) - t0 > reach) break;
            int32_t gj = gap(a, as1 + j);
            if (gj > 0)
                ins += gj;
            else
                del -= gj;
            int32_t diff = ins + del - iabs(ins - del); /* twice the smaller of the two */
            if (diff > top_diff) top_diff = diff, top_l = l;
        }
        if (top_diff > min_diff && top_diff > best) best = top_diff, from = k, to = top_l;
    }
}

void ls_ignore_gap_runs(km_arena *km, const ls_mapopt *opt, int as1, int cnt1, ls128 *a) {
    const int32_t min_gap = 30;
    const int32_t reach = opt->chain_max_gap >> 1;
    int n;
    auto gaps = large_gaps(km, a, as1, cnt1, min_gap, &n);
    if (n < 2) return;
    const int32_t *G = gaps.get();
    for (int k = 0; k < n;) {
        int i = as1 + G[k];
        int32_t g1 = iabs(gap(a, i)), t1 = tpos(a, i), q1 = qpos(a, i);
        int l = k + 1;
        for (; l < n; ++l) {
            int j = as1 + G[l];
            if (qpos(a, j) - q1 > reach || tpos(a, j) - t1 > reach) break;
            int32_t g2 = iabs(gap(a, j));
            int32_t sp = span(a, j - 1);
            /* the matched stretch between the two gaps */
            int32_t mt = tpos(a, j - 1) + sp - t1, mq = qpos(a, j - 1) + sp - q1;
            int32_t m = mt < mq ? mt : mq;
            if (m > g1 + g2) break;
            t1 = tpos(a, j), q1 = qpos(a, j), g1 = g2;
        }
        if (l > k + 1) {
            for (int x = as1 + G[k]; x < as1 + G[l - 1]; ++x) a[x].y |= LS_ANCHOR_IGNORE;
            a[as1 + G[l - 1]].y |= LS_ANCHOR_LONG_JOIN;
        }
        k = l;
    }
}

void ls_anchor_end_pos(const ls_idx *mi, const uint8_t *qseq, const ls128 *anchor, int32_t *tpos_,
                       int32_t *qpos_) {
    const int32_t t = (int32_t)anchor->x, q = (int32_t)anchor->y;
    if (!(mi->flag & LS_I_HPC)) {
        *tpos_ = t - (mi->k >> 1), *qpos_ = q - (mi->k >> 1);
        return;
    }
    /* The seed ends on the last base of a homopolymer run: move to the run's
     * first base on both sequences. Query position 0 is never examined. */
    int32_t i = q - 1;
    for (; i > 0; --i)
        if (qseq[i] != qseq[q]) break;
    *qpos_ = i + 1; /* 1 when the run reaches position 1; 0 and 1 give themselves */
    const int rid = (int)(anchor->x << 1 >> 33);
    const uint64_t off = mi->seq[rid].offset;
    const int c = packed_base(mi, off + (uint64_t)t);
    int32_t h = 1;
    while (t - h >= 0 && packed_base(mi, off + (uint64_t)(t - h)) == c) ++h;
    *tpos_ = t + 1 - h;
}
