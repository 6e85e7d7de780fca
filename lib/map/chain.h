/* Chaining: ordered sets of co-linear anchors on one target and strand,
 * scored by the query bases they cover minus a cost for the gaps between
 * consecutive anchors. Two chainers share one output form:
 *   nx_lchain_dp   dynamic programming over a bounded window of earlier
 *                  anchors (the default);
 *   nx_lchain_rmq  range-minimum queries on a balanced search tree, which
 *                  bridges long gaps at logarithmic cost.
 * Both consume the anchor array (layout of the seed module: x = strand << 63
 * | target id << 32 | target end position; y = segment << 48 | marks | span
 * << 32 | query end position) and return a new, exactly sized array of the
 * chained anchors plus the chain list (score << 32 | anchor count per chain).
 * All memory comes from the caller's arena (null: the system allocator) and
 * goes back to it with kfree; nothing is kept between calls, so threads may
 * chain at once, each with its own arena.
 *
 * The module also exports the search tree of the second chainer (an AVL tree
 * ordered by query position and anchor index that keeps the minimum
 * priority of every subtree) and the single-precision log2 approximation
 * that the gap cost and the alignment statistics share. */
#ifndef LODESTAR_MAP_CHAIN_H
#define LODESTAR_MAP_CHAIN_H

#include <stdint.h>
#include <string.h>

#include "base/arena.h"
#include "lodestar.h"

#ifdef __cplusplus
extern "C" {
#endif

/* log2(x) for a single-precision x >= 2, within 0.005, without a library
 * call: the exponent field gives the integer part and a quadratic in the
 * mantissa m (in [1, 2)) the fraction. Scores rounded from it must come out
 * the same everywhere, so the operation order is fixed: (poly(m) - c) + e.
 * For x < 2 the result is meaningless. */
static inline float ls_log2_approx(float x) {
    uint32_t b;
    float m, e;
    memcpy(&b, &x, sizeof(b));
    e = (float)((int32_t)(b >> 23) - 128);
    b = (b & 0x7fffffU) | 0x3f800000U;
    memcpy(&m, &b, sizeof(m));
    return ((-0.34484843f * m + 2.02466578f) * m - 0.67487759f) + e;
}

/* Chains anchors a[0 .. n-1], sorted ascending by x, by dynamic programming.
 * max_dist_x / max_dist_y: largest target- / query-side gap inside a chain;
 * bw: largest difference of the two gaps; max_skip, max_iter: bounds of the
 * predecessor search; min_cnt, min_sc: fewest anchors and lowest score of a
 * kept chain; pen_gap, pen_skip: gap cost per base of gap difference and of
 * gap length; is_splice: long query-side gaps cost only the lesser of the
 * linear and logarithmic terms, and chains never end on a score drop; n_seg:
 * number of query segments.
 * Returns the chained anchors (km), grouped by chain in the order of *u, each
 * chain ascending by x, chains ordered by the x of their first anchor; *u
 * (km) has *n_u words score << 32 | anchor count. With no chain: null, *n_u
 * 0 and *u null. The input array a always goes back to km. */
ls128 *nx_lchain_dp(int max_dist_x, int max_dist_y, int bw, int max_skip, int max_iter, int min_cnt,
                    int min_sc, float pen_gap, float pen_skip, int is_splice, int n_seg, int64_t n, ls128 *a,
                    int *n_u, uint64_t **u, km_arena *km);

/* Chains like nx_lchain_dp, finding each anchor's best predecessor with a
 * range-minimum query over the anchors within max_dist on the query, among
 * at most cap of them (oldest dropped first). Predecessors within
 * max_dist_inner (0: none) are also scanned exhaustively, bounded by
 * max_skip, where the tree's priority order is least accurate. Returns as
 * nx_lchain_dp; the input array a always goes back to km. */
ls128 *nx_lchain_rmq(int max_dist, int max_dist_inner, int bw, int max_skip, int cap, int min_cnt, int min_sc,
                     float pen_gap, float pen_skip, int64_t n, ls128 *a, int *n_u, uint64_t **u,
                     km_arena *km);

/* Turns the fill of either chainer into chains. f: best score ending at each
 * of the n anchors; p: predecessor or -1; t: n scratch words (overwritten);
 * v: n words, on return the chained anchor indices, each chain from its last
 * anchor back to its first. Chains start at the best-scoring unused anchor
 * and end where the score since the chain's start peaked, or after a drop of
 * more than max_drop below the peak; a chain is kept with at least min_cnt
 * (and one) anchors and a score of at least min_sc, and a rejected chain's
 * anchors stay used. Returns the chain list (km; score << 32 | count), *n_u
 * chains and *n_v indices in v; null with *n_u = *n_v = 0 when no anchor
 * reaches min_sc. */
uint64_t *nx_chain_backtrack(km_arena *km, int64_t n, const int32_t *f, const int64_t *p, int32_t *v,
                             int32_t *t, int min_cnt, int min_sc, int max_drop, int *n_u, int64_t *n_v);

/* ---- the range-minimum search tree ----
 * Nodes are owned by the caller; the tree only links them. Key order: by y,
 * then by index. Every node knows the node of smallest priority in its
 * subtree (min_node); on equal priorities a child's minimum wins over the
 * node itself, and the right child's over the left one's. */
typedef struct nx_rmq_node {
    int32_t y;       /* query position of the anchor */
    int64_t index;   /* anchor index */
    double priority; /* smaller is better */
    struct nx_rmq_node *child[2];
    struct nx_rmq_node *min_node;
    int8_t balance; /* height of the right subtree minus that of the left, -1..1 */
    uint32_t size;  /* nodes in the subtree */
} nx_rmq_node;

/* Inserts node (its links are overwritten). Returns node, or the node
 * already holding the same key (then nothing changes). */
nx_rmq_node *nx_rmq_insert(nx_rmq_node **root, nx_rmq_node *node);
/* Unlinks the node with the key of key (only y and index are read). Returns
 * the removed node, or null when the key is absent. */
nx_rmq_node *nx_rmq_erase(nx_rmq_node **root, const nx_rmq_node *key);
/* The node with the key of key, or null. */
nx_rmq_node *nx_rmq_find(const nx_rmq_node *root, const nx_rmq_node *key);
/* The largest node whose key is at most that of key, or null. */
nx_rmq_node *nx_rmq_lower(const nx_rmq_node *root, const nx_rmq_node *key);
/* The node of smallest priority with lo <= key <= hi, or null. On equal
 * priorities the first one met on the search paths wins. */
nx_rmq_node *nx_rmq_range_min(const nx_rmq_node *root, const nx_rmq_node *lo, const nx_rmq_node *hi);

/* Backward iteration: the path from the root to the current node. Depth 64
 * covers any AVL tree that fits in memory (height < 1.45 log2(n + 2)). */
typedef struct {
    int depth;
    const nx_rmq_node *path[64];
} nx_rmq_itr;

/* Positions itr at nx_rmq_lower(root, key). Returns 0 when there is no such
 * node (itr is then exhausted). */
int nx_rmq_itr_lower(const nx_rmq_node *root, const nx_rmq_node *key, nx_rmq_itr *itr);
/* The current node, or null when itr is exhausted. */
static inline const nx_rmq_node *nx_rmq_itr_node(const nx_rmq_itr *itr) {
    return itr->depth > 0 ? itr->path[itr->depth - 1] : 0;
}
/* Moves to the next smaller key. Returns 0 (itr exhausted) past the smallest. */
int nx_rmq_itr_prev(nx_rmq_itr *itr);

#ifdef __cplusplus
}
#endif

#endif
