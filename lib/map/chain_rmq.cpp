/* Chaining by range-minimum queries: the best predecessor of each anchor is
 * found in a search tree of the earlier anchors within reach, which allows
 * long gaps at a cost independent of the number of anchors skipped. */
#include <stdint.h>
#include <string.h>

#include "base/diagnostics.h"
#include "base/radix_sort.h"
#include "map/chain_internal.h"

using namespace ls_chain;

namespace {


// Recycled tree nodes. Nodes and the free list live in a child arena that
// goes back to the caller's arena as a whole.
struct nx_rmq_pool {
    km_arena *km;
    size_t n_free, m_free;
    nx_rmq_node **free_list;

    explicit nx_rmq_pool(km_arena *parent) {
        // 65536 units of 16 bytes: 1 MiB cores, room for 20000 nodes each.
        km = km_create_in(parent, 65536);
        n_free = 0, m_free = 16;
        free_list = static_cast<nx_rmq_node **>(km_malloc(km, m_free * sizeof(nx_rmq_node *)));
    }
    ~nx_rmq_pool() { km_release(km); }
    nx_rmq_pool(const nx_rmq_pool &) = delete;
    nx_rmq_pool &operator=(const nx_rmq_pool &) = delete;

    nx_rmq_node *get() {
        if (n_free > 0) return free_list[--n_free];
        return static_cast<nx_rmq_node *>(km_malloc(km, sizeof(nx_rmq_node)));
    }
    void put(nx_rmq_node *p) {
        if (n_free == m_free) {
            m_free += m_free >> 1;
            free_list =
                static_cast<nx_rmq_node **>(km_realloc(km, free_list, m_free * sizeof(nx_rmq_node *)));
        }
        free_list[n_free++] = p;
    }
};

inline uint32_t tree_size(const nx_rmq_node *root) {
    return root ? root->size : 0;
}

// Moves the window start *st forward past anchors on another target or
// strand, anchors further than max_dist before a[i] on the target, and the
// oldest anchors while the tree holds more than cap nodes; their nodes go
// back to the pool.
void advance_window(const ls128 *a, int64_t i, int64_t *st, int max_dist, int cap, nx_rmq_node **root,
                    nx_rmq_pool *pool) {
    while (*st < i && (anchor_ref(a[*st]) != anchor_ref(a[i]) || a[i].x > a[*st].x + (uint64_t)max_dist ||
                       tree_size(*root) > (uint32_t)cap)) {
        nx_rmq_node key;
        key.y = (int32_t)a[*st].y, key.index = *st;
        nx_rmq_node *q = nx_rmq_erase(root, &key);
        if (q) pool->put(q);
        ++*st;
    }
}

struct RmqLink {
    int32_t sc; // link score plus the predecessor's chain score
    int32_t width;
    bool exact; // same diagonal, and the seeds overlap or touch
};

inline RmqLink rmq_link(const ls128 &ai, const ls128 &aj, int32_t fj, float pen_gap, float pen_skip) {
    const int32_t dq = (int32_t)((uint32_t)ai.y - (uint32_t)aj.y),
                  dr = (int32_t)((uint32_t)ai.x - (uint32_t)aj.x);
    const int32_t width = dr > dq ? dr - dq : dq - dr, dg = dr < dq ? dr : dq, span = anchor_span(aj);
    int32_t sc = span < dg ? span : dg;
    if (width > 0 || dq > span) {
        float lg = width > 0 ? ls_log2_approx((float)(width + 1)) : 0.0f;
        sc -= (int32_t)(pen_gap * (float)width + pen_skip * (float)dg + 0.5f * lg);
    }
    return RmqLink{sc + fj, width, width == 0 && dg <= span};
}

} // namespace

ls128 *nx_lchain_rmq(int max_dist, int max_dist_inner, int bw, int max_skip, int cap, int min_cnt, int min_sc,
                     float pen_gap, float pen_skip, int64_t n, ls128 *a, int *n_u_, uint64_t **u_,
                     km_arena *km) {
    *n_u_ = 0, *u_ = nullptr;
    if (n <= 0 || !a) {
        kfree(km, a);
        return nullptr;
    }
    if (max_dist < bw) max_dist = bw;
    if (max_dist_inner < 0) max_dist_inner = 0;
    if (max_dist_inner > max_dist) max_dist_inner = max_dist;
    const int max_drop = bw;

    ChainWork w(km, n);
    int32_t *f = w.f;
    {
        nx_rmq_pool pool(km);
        nx_rmq_node *root = nullptr, *root_inner = nullptr;
        int64_t st = 0, st_inner = 0, i0 = 0;
        for (int64_t i = 0; i < n; ++i) {
            // Anchors enter the trees only once a later x comes up, so
            // anchors with equal x never see each other.
            if (i0 < i && a[i0].x != a[i].x) {
                for (int64_t j = i0; j < i; ++j) {
                    nx_rmq_node *q = pool.get();
                    q->y = (int32_t)a[j].y, q->index = j;
                    // For any later anchor i, f[j] - 0.5 * pen_gap * (dr + dq)
                    // equals -priority less a term of i alone: one order of
                    // the predecessors, by score net of a linear distance
                    // cost, serves every later anchor.
                    const int32_t xy = (int32_t)((uint32_t)a[j].x + (uint32_t)a[j].y);
                    q->priority = -(f[j] + 0.5 * pen_gap * xy);
                    nx_rmq_insert(&root, q);
                    if (max_dist_inner > 0) {
                        nx_rmq_node *r = pool.get();
                        *r = *q;
                        nx_rmq_insert(&root_inner, r);
                    }
                }
                i0 = i;
            }
            advance_window(a, i, &st, max_dist, cap, &root, &pool);
            if (max_dist_inner > 0) advance_window(a, i, &st_inner, max_dist_inner, cap, &root_inner, &pool);

            const int32_t yi = (int32_t)a[i].y;
            int32_t best = anchor_span(a[i]);
            int64_t best_j = -1;
            // Keys from (yi - max_dist, INT32_MAX) up to (yi, -1): anchors
            // strictly within max_dist before anchor i on the query. The
            // upper key has index -1 rather than 0 so that anchor 0 at the
            // same query position, which is no predecessor, is left out.
            nx_rmq_node lo, hi;
            lo.y = (int32_t)((int64_t)yi - max_dist > INT32_MIN ? (int64_t)yi - max_dist : INT32_MIN);
            lo.index = INT32_MAX;
            hi.y = yi, hi.index = -1;
            const nx_rmq_node *q = nx_rmq_range_min(root, &lo, &hi);
            if (q) {
                LS_ASSERT(q->y >= lo.y && q->y <= hi.y);
                const int64_t j = q->index;
                const RmqLink l = rmq_link(a[i], a[j], f[j], pen_gap, pen_skip);
                if (l.width <= bw && l.sc > best) best = l.sc, best_j = j;
                if (!l.exact && root_inner && yi > 0) {
                    // Close predecessors, exhaustively: the priority only
                    // approximates the gap cost, which matters most here.
                    nx_rmq_node key;
                    key.y = yi - 1, key.index = n;
                    nx_rmq_itr itr;
                    int n_skip = 0;
                    for (int ok = nx_rmq_itr_lower(root_inner, &key, &itr); ok; ok = nx_rmq_itr_prev(&itr)) {
                        const nx_rmq_node *r = nx_rmq_itr_node(&itr);
                        if ((int64_t)r->y < (int64_t)yi - max_dist_inner) break;
                        const int64_t jj = r->index;
                        const RmqLink li = rmq_link(a[i], a[jj], f[jj], pen_gap, pen_skip);
                        if (li.width > bw) continue;
                        if (!w.consider(i, jj, li.sc, max_skip, &best, &best_j, &n_skip)) break;
                    }
                }
            }
            const int64_t max_j = best_j;
            LS_ASSERT(max_j < 0 || (a[max_j].x < a[i].x && (int32_t)a[max_j].y < (int32_t)a[i].y));
            w.set(i, best, best_j);
        }
    } // the pool's arena goes back to km here
    return nx_finish_chains(km, w, min_cnt, min_sc, max_drop, a, n_u_, u_);
}
