/* Chains from either fill: the backtrack that turns the scores and
 * predecessors of the anchors into chains, and the compaction of the chained
 * anchors. The fills are chain_dp.cpp and chain_rmq.cpp. */
#include <stdint.h>
#include <string.h>

#include "base/diagnostics.h"
#include "base/radix_sort.h"
#include "map/chain_internal.h"

namespace {

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

ls128 *nx_finish_chains(km_arena *km, ls_chain::ChainWork &w, int min_cnt, int min_sc, int max_drop, ls128 *a,
                        int *n_u_, uint64_t **u_) {
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
