/* Pieces shared by the two chainers (chain_dp.cpp and chain_rmq.cpp): the
 * fields of an anchor that decide whether two anchors may link, the
 * per-anchor work arrays, and the backtrack and compaction that turn either
 * fill into chains (chain.cpp). C++ only, internal to map/. */
#ifndef LODESTAR_MAP_CHAIN_INTERNAL_H
#define LODESTAR_MAP_CHAIN_INTERNAL_H

#include <stdint.h>

#include "base/arena.h"
#include "map/chain.h"

namespace ls_chain {


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

    /* Anchor j as a predecessor of anchor i, with sc the score of a chain
     * through it: keeps the best so far. A j already reached as the
     * predecessor of an anchor that i links to (t[j] == i) is unlikely to
     * beat that anchor; after max_skip of them in a row (better ones lower
     * the count) the search stops: returns false. Otherwise marks j's own
     * predecessor as reached from i. */
    bool consider(int64_t i, int64_t j, int32_t sc, int max_skip, int32_t *best, int64_t *best_j, int *n_skip) {
        if (sc > *best) {
            *best = sc, *best_j = j;
            if (*n_skip > 0) --*n_skip;
        } else if (t[j] == (int32_t)i) {
            if (*n_skip >= max_skip) return false;
            ++*n_skip;
        }
        if (p[j] >= 0) t[p[j]] = (int32_t)i;
        return true;
    }
};

} // namespace ls_chain

// Backtrack and compaction shared by both chainers. The work arrays stay
// with w (v is handed to the compaction); a is always consumed. Returns the
// chained anchors (n_u chains, described by *u_), or null when none is kept.
ls128 *nx_finish_chains(km_arena *km, ls_chain::ChainWork &w, int min_cnt, int min_sc, int max_drop, ls128 *a,
                        int *n_u_, uint64_t **u_);

#endif
