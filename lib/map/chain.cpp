/* Chaining of anchors: the dynamic-programming and the range-minimum fills,
 * the backtrack that turns either fill into chains, and the compaction of
 * the chained anchors. */
#include "map/chain.h"

#include <stdint.h>
#include <string.h>

#include "base/diagnostics.h"
#include "base/radix_sort.h"

namespace {

// Query segment of an anchor: bits 48..55 of y (segments are below 256).
inline int anchor_seg(const ls128 &a) {
    return (int)(a.y >> 48 & 0xff);
}
inline int32_t anchor_span(const ls128 &a) {
    return (int32_t)(a.y >> 32 & 0xff);
}
// Target id and strand: anchors differing here never link.
inline uint64_t anchor_ref(const ls128 &a) {
    return a.x >> 32;
}

const int32_t kNoLink = INT32_MIN;

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

// Per-anchor work arrays of both fills; every array goes back to km.
struct ChainWork {
    km_arena *km;
    int64_t n;
    int32_t *f, *v, *t;
    int64_t *p;

    ChainWork(km_arena *km_, int64_t n_) : km(km_), n(n_) {
        p = static_cast<int64_t *>(km_malloc(km, n * sizeof(int64_t)));
        f = static_cast<int32_t *>(km_malloc(km, n * sizeof(int32_t)));
        v = static_cast<int32_t *>(km_malloc(km, n * sizeof(int32_t)));
        t = static_cast<int32_t *>(km_calloc(km, n, sizeof(int32_t)));
    }
    ~ChainWork() {
        kfree(km, p);
        kfree(km, f);
        kfree(km, v);
        kfree(km, t);
    }
    ChainWork(const ChainWork &) = delete;
    ChainWork &operator=(const ChainWork &) = delete;

    void set(int64_t i, int32_t best, int64_t best_j) {
        f[i] = best, p[i] = best_j;
        v[i] = best_j >= 0 && v[best_j] > best ? v[best_j] : best;
    }
};

// The end search of one chain ending at anchor e: walks back along p,
// marking the path with 2, and returns the anchor just before the chain's
// first one (the point where the score since e peaked; -1 for a chain that
// runs to the start). The marks are cleared again before returning.
int64_t chain_end(int32_t max_drop, int64_t e, const int32_t *f, const int64_t *p, int32_t *t) {
    int64_t i = e, end_i = -1, max_i = e;
    int64_t max_s = 0;
    for (;;) {
        t[i] = 2;
        end_i = i = p[i];
        int64_t s = i < 0 ? f[e] : (int64_t)f[e] - f[i];
        if (s > max_s) {
            max_s = s, max_i = i;
        } else if (max_s - s > max_drop) {
            break;
        }
        if (i < 0 || t[i] != 0) break;
    }
    for (i = e; i >= 0 && i != end_i; i = p[i]) t[i] = 0;
    return max_i;
}

// The chained anchors of a, gathered by chain (ascending within each chain)
// and the chains ordered by the x of their first anchor; u is rearranged
// alike. Frees v and a; returns an array of exactly n_v anchors.
ls128 *compact_anchors(km_arena *km, int n_u, uint64_t *u, int64_t n_v, int32_t *v, ls128 *a) {
    ls128 *b = static_cast<ls128 *>(km_malloc(km, n_v * sizeof(ls128)));
    for (int64_t i = 0, k = 0; i < n_u; ++i) {
        const int64_t k0 = k, ni = (int32_t)u[i];
        for (int64_t j = 0; j < ni; ++j) b[k++] = a[v[k0 + (ni - j - 1)]];
    }
    kfree(km, v);

    ls128 *w = static_cast<ls128 *>(km_malloc(km, n_u * sizeof(ls128)));
    for (int64_t i = 0, k = 0; i < n_u; ++i) {
        w[i].x = b[k].x, w[i].y = (uint64_t)k << 32 | (uint64_t)i;
        k += (int32_t)u[i];
    }
    ls_sort_128x(w, w + n_u);
    // a is at least n_v long and no longer needed: it takes the reordered
    // anchors before they move back into the exactly sized b.
    uint64_t *u2 = static_cast<uint64_t *>(km_malloc(km, n_u * sizeof(uint64_t)));
    int64_t k = 0;
    for (int64_t i = 0; i < n_u; ++i) {
        const int64_t j = (int32_t)w[i].y, nj = (int32_t)u[j];
        u2[i] = u[j];
        memcpy(&a[k], &b[w[i].y >> 32], nj * sizeof(ls128));
        k += nj;
    }
    memcpy(u, u2, n_u * sizeof(uint64_t));
    memcpy(b, a, k * sizeof(ls128));
    kfree(km, u2);
    kfree(km, w);
    kfree(km, a);
    return b;
}

// Backtrack and compaction shared by both chainers. The work arrays stay
// with w (v is handed to the compaction); a is always consumed.
ls128 *finish_chains(km_arena *km, ChainWork &w, int min_cnt, int min_sc, int max_drop, ls128 *a, int *n_u_,
                     uint64_t **u_) {
    int n_u;
    int64_t n_v;
    uint64_t *u = nx_chain_backtrack(km, w.n, w.f, w.p, w.v, w.t, min_cnt, min_sc, max_drop, &n_u, &n_v);
    if (n_u == 0) {
        kfree(km, u);
        kfree(km, a);
        *n_u_ = 0, *u_ = nullptr;
        return nullptr;
    }
    int32_t *v = w.v;
    w.v = nullptr;
    *n_u_ = n_u, *u_ = u;
    return compact_anchors(km, n_u, u, n_v, v, a);
}

/* ---- range-minimum chaining ---- */

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

uint64_t *nx_chain_backtrack(km_arena *km, int64_t n, const int32_t *f, const int64_t *p, int32_t *v,
                             int32_t *t, int min_cnt, int min_sc, int max_drop, int *n_u_, int64_t *n_v_) {
    *n_u_ = 0, *n_v_ = 0;
    int64_t n_z = 0;
    for (int64_t i = 0; i < n; ++i)
        if (f[i] >= min_sc) ++n_z;
    if (n_z == 0) return nullptr;
    ls128 *z = static_cast<ls128 *>(km_malloc(km, n_z * sizeof(ls128)));
    for (int64_t i = 0, k = 0; i < n; ++i)
        if (f[i] >= min_sc) z[k].x = (uint64_t)(int64_t)f[i], z[k++].y = (uint64_t)i;
    ls_sort_128x(z, z + n_z);

    // Two passes of the same walk: the first counts the chains, the second
    // writes them. From the best score down, an unused anchor starts a chain.
    int n_u = 0;
    int64_t n_v = 0;
    uint64_t *u = nullptr;
    for (int pass = 0; pass < 2; ++pass) {
        memset(t, 0, n * sizeof(int32_t));
        n_u = 0, n_v = 0;
        for (int64_t k = n_z - 1; k >= 0; --k) {
            const int64_t e = (int64_t)z[k].y;
            if (t[e] != 0) continue;
            const int64_t n_v0 = n_v, end_i = chain_end(max_drop, e, f, p, t);
            int64_t i;
            for (i = e; i != end_i; i = p[i]) {
                if (pass) v[n_v] = (int32_t)i;
                ++n_v, t[i] = 1;
            }
            const int64_t sc = i < 0 ? f[e] : (int64_t)f[e] - f[i];
            if (sc >= min_sc && n_v > n_v0 && n_v - n_v0 >= min_cnt) {
                if (pass) u[n_u] = (uint64_t)sc << 32 | (uint64_t)(n_v - n_v0);
                ++n_u;
            } else {
                n_v = n_v0; // rejected: its anchors stay used
            }
        }
        if (pass == 0) {
            LS_ASSERT(n_v < INT32_MAX);
            if (n_u == 0) break;
            u = static_cast<uint64_t *>(km_malloc(km, n_u * sizeof(uint64_t)));
        }
    }
    kfree(km, z);
    *n_u_ = n_u, *n_v_ = n_v;
    return u;
}

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
    int32_t *f = w.f, *t = w.t;
    int64_t *p = w.p;
    int64_t st = 0, m = -1; // window start; best recent anchor
    for (int64_t i = 0; i < n; ++i) {
        while (st < i && (anchor_ref(a[st]) != anchor_ref(a[i]) || a[st].x + (uint64_t)max_dist_x < a[i].x))
            ++st;
        if (i - st > max_iter) st = i - max_iter;
        int32_t best = anchor_span(a[i]);
        int64_t best_j = -1, j;
        int n_skip = 0;
        // t[j] == i: j was already reached as the predecessor of an anchor
        // that i can link to, so a chain through j is unlikely to beat that
        // anchor; too many such in a row end the search.
        for (j = i - 1; j >= st; --j) {
            int32_t sc = link_score(a[i], a[j], lp);
            if (sc == kNoLink) continue;
            sc += f[j];
            if (sc > best) {
                best = sc, best_j = j;
                if (n_skip > 0) --n_skip;
            } else if (t[j] == (int32_t)i) {
                if (n_skip >= max_skip) break;
                ++n_skip;
            }
            if (p[j] >= 0) t[p[j]] = (int32_t)i;
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
    return finish_chains(km, w, min_cnt, min_sc, max_drop, a, n_u_, u_);
}

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
    int32_t *f = w.f, *t = w.t;
    int64_t *p = w.p;
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
                        if (li.sc > best) {
                            best = li.sc, best_j = jj;
                            if (n_skip > 0) --n_skip;
                        } else if (t[jj] == (int32_t)i) {
                            if (n_skip >= max_skip) break;
                            ++n_skip;
                        }
                        if (p[jj] >= 0) t[p[jj]] = (int32_t)i;
                    }
                }
            }
            const int64_t max_j = best_j;
            LS_ASSERT(max_j < 0 || (a[max_j].x < a[i].x && (int32_t)a[max_j].y < (int32_t)a[i].y));
            w.set(i, best, best_j);
        }
    } // the pool's arena goes back to km here
    return finish_chains(km, w, min_cnt, min_sc, max_drop, a, n_u_, u_);
}
