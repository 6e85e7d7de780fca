/* Seed collection: occurrence filters, the repeat length and the two anchor
 * builders (fill and radix sort; heap merge of the sorted hit lists). */
#include "map/seeds.h"

#include "index/index.h"

#include <stdio.h>
#include <string.h>

#include "base/diagnostics.h"
#include "base/radix_sort.h"

namespace {

/* The per-run choice of rare seeds keeps at most this many: a fixed heap
 * that needs no allocation. */
constexpr int kMaxSelect = 128;

uint32_t hit_pos(uint64_t h) {
    return (uint32_t)h >> 1;
}

/* A hit on the same strand as the query minimizer gives a forward anchor. */
bool is_forward(uint64_t h, const ls_seed *s) {
    return (h & 1) == (s->query_pos & 1);
}

/* Query and target context of the anchor builders. */
struct AnchorCtx {
    const ls_mapopt *opt;
    const ls_idx *mi;
    const char *qname;
    int qlen;
};

/* Applies the self-mapping and strand rules to hit h of seed s. Returns false
 * when the hit yields no anchor; *self tells whether the anchor is a
 * self-mapping one on the same strand. */
bool accept_hit(const AnchorCtx &c, const ls_seed *s, uint64_t h, bool *self) {
    const int64_t flag = c.opt->flag;
    *self = false;
    // A part built without names cannot match names: the rules need both.
    const char *tname = c.mi->seq[h >> 32].name;
    if (c.qname && tname && (flag & (LS_F_SKIP_DIAG | LS_F_HALF_PAIRS))) {
        int cmp = strcmp(c.qname, tname);
        if ((flag & LS_F_SKIP_DIAG) && cmp == 0) {
            if ((int64_t)c.mi->seq[h >> 32].len == c.qlen) {
                // The main diagonal of a sequence against itself carries no
                // information.
                if (hit_pos(h) == s->query_pos >> 1) return false;
                if (is_forward(h, s)) *self = true;
            }
        } else if ((flag & LS_F_HALF_PAIRS) && cmp > 0) {
            // All-against-all: each pair is mapped once, from the name that
            // sorts first.
            return false;
        }
    }
    if ((flag & LS_F_FORWARD_ONLY) && !is_forward(h, s)) return false;
    if ((flag & LS_F_REVERSE_ONLY) && is_forward(h, s)) return false;
    return true;
}

/* The anchor of hit h of seed s. query_strand: reverse anchors keep the
 * query position and flip the target position instead. */
ls128 make_anchor(const AnchorCtx &c, const ls_seed *s, uint64_t h, bool self, bool query_strand) {
    const uint64_t tid = h >> 32;
    const int64_t rpos = hit_pos(h), qpos = s->query_pos >> 1, span = s->span;
    uint64_t y = (uint64_t)s->segment << LS_ANCHOR_SEG_SHIFT | (uint64_t)span << 32;
    if (s->tandem) y |= LS_ANCHOR_TANDEM;
    if (self) y |= LS_ANCHOR_SELF;
    ls128 a;
    if (is_forward(h, s)) {
        a.x = tid << 32 | (uint64_t)rpos;
        a.y = y | (uint64_t)qpos;
    } else if (!query_strand) {
        // Position of the seed's last base on the reverse-complemented query.
        a.x = 1ULL << 63 | tid << 32 | (uint64_t)rpos;
        a.y = y | (uint32_t)(c.qlen - (qpos + 1 - span) - 1);
    } else {
        a.x = 1ULL << 63 | tid << 32 | (uint32_t)((int64_t)c.mi->seq[tid].len - (rpos + 1 - span) - 1);
        a.y = y | (uint64_t)qpos;
    }
    return a;
}

/* (x, y) order, so that equal hit words leave the heap in seed order. */
bool less128(const ls128 &a, const ls128 &b) {
    return a.x < b.x || (a.x == b.x && a.y < b.y);
}

/* Min-heap on (x, y) laid out in an array. */
void min_heap_down(size_t i, size_t n, ls128 *h) {
    ls128 kept = h[i];
    size_t k;
    while ((k = 2 * i + 1) < n) {
        if (k + 1 < n && less128(h[k + 1], h[k])) ++k;
        if (!less128(h[k], kept)) break;
        h[i] = h[k];
        i = k;
    }
    h[i] = kept;
}

void min_heap_make(size_t n, ls128 *h) {
    for (size_t i = n / 2; i-- > 0;) min_heap_down(i, n, h);
}

/* Chooses which seeds of the frequent run [st, en) stay: the k rarest, with
 * k from the stretch of query between the bounding seeds. */
void select_in_run(ls_seed *a, int st, int en, int ps, int pe, int max_max_occ, int dist) {
    // Without a distance no seed of the run is chosen.
    double kd = dist > 0 ? (double)(pe - ps) / dist + 0.499 : 0.0;
    int k = kd <= 0.0 ? 0 : kd >= kMaxSelect ? kMaxSelect : (int)kd;
    for (int j = st; j < en; ++j) a[j].filtered = 0;
    if (k > 0) {
        // Max-heap of the k rarest seeds so far, keyed by hits then index:
        // its root is the first to give way to a rarer seed.
        uint64_t b[kMaxSelect];
        int n = 0;
        for (int j = st; j < en; ++j) {
            uint64_t key = (uint64_t)a[j].n_hits << 32 | (uint32_t)j;
            if (n < k) {
                b[n++] = key;
                if (n == k) ls_heap_make_u64((size_t)k, b);
            } else if (a[j].n_hits < b[0] >> 32) {
                b[0] = key;
                ls_heap_adjust_u64(0, (size_t)k, b);
            }
        }
        for (int j = 0; j < n; ++j) a[(uint32_t)b[j]].filtered = 1;
    }
    // The mark set above means "chosen": flip it into "filtered".
    for (int j = st; j < en; ++j) a[j].filtered ^= 1;
    for (int j = st; j < en; ++j)
        if ((int64_t)a[j].n_hits > max_max_occ) a[j].filtered = 1;
}

} // namespace

void ls_seed_filter_query_occ(km_arena *km, size_t *n_mini, ls128 *a, int limit, float fraction) {
    const size_t n = *n_mini;
    if (limit <= 0 || fraction <= 0.0f || n <= (size_t)limit) return;
    ls128 *b = static_cast<ls128 *>(km_malloc(km, n * sizeof(ls128)));
    uint8_t *drop = static_cast<uint8_t *>(km_calloc(km, n, 1));
    for (size_t i = 0; i < n; ++i) b[i].x = a[i].x, b[i].y = i;
    ls_sort_128x(b, b + n);
    for (size_t st = 0, i = 1; i <= n; ++i) {
        if (i == n || b[i].x != b[st].x) {
            size_t c = i - st;
            if (c > (size_t)limit && (float)c > (float)n * fraction)
                for (size_t j = st; j < i; ++j) drop[b[j].y] = 1;
            st = i;
        }
    }
    size_t m = 0;
    for (size_t i = 0; i < n; ++i)
        if (!drop[i]) a[m++] = a[i];
    *n_mini = m;
    kfree(km, drop);
    kfree(km, b);
}

ls_seed *ls_seed_collect_all(km_arena *km, const ls_idx *mi, const ls128_vec *mv, int *n_seeds) {
    const size_t n = mv->n;
    ls_seed *m = static_cast<ls_seed *>(km_malloc(km, n * sizeof(ls_seed)));
    int n_m = 0;
    // Lookups are independent, so the memory of later ones is fetched while
    // earlier ones run; the distances leave each stage time to arrive.
    const size_t kAhead0 = 24, kAhead1 = 16, kAhead2 = 8;
    for (size_t i = 0; i < n; ++i) {
        if (i + kAhead0 < n) ls_idx_prefetch(mi, mv->a[i + kAhead0].x >> 8, 0);
        if (i + kAhead1 < n) ls_idx_prefetch(mi, mv->a[i + kAhead1].x >> 8, 1);
        if (i + kAhead2 < n) ls_idx_prefetch(mi, mv->a[i + kAhead2].x >> 8, 2);
        const ls128 *p = &mv->a[i];
        int n_hits;
        const uint64_t *hits = ls_idx_lookup(mi, p->x >> 8, &n_hits);
        if (n_hits == 0) continue;
        ls_seed *q = &m[n_m++];
        q->n_hits = (uint32_t)n_hits;
        q->query_pos = (uint32_t)p->y;
        q->span = (uint32_t)(p->x & 0xff);
        q->filtered = 0;
        q->segment = (uint32_t)(p->y >> 32) & 0x7fffffff;
        q->tandem =
            (i > 0 && p->x >> 8 == mv->a[i - 1].x >> 8) || (i + 1 < n && p->x >> 8 == mv->a[i + 1].x >> 8);
        q->hits = hits;
    }
    *n_seeds = n_m;
    return m;
}

void ls_seed_select(int n_seeds, ls_seed *a, int qlen, int max_occ, int max_max_occ, int dist) {
    if (n_seeds < 2) return;
    bool any = false;
    for (int i = 0; i < n_seeds && !any; ++i) any = (int64_t)a[i].n_hits > max_occ;
    if (!any) return;
    // last_rare: the seed before the current run (-1 at the start); the
    // sentinel i == n_seeds closes a run that reaches the end.
    for (int i = 0, last_rare = -1; i <= n_seeds; ++i) {
        if (i < n_seeds && (int64_t)a[i].n_hits > max_occ) continue;
        if (i - last_rare > 1) {
            int ps = last_rare < 0 ? 0 : (int)(a[last_rare].query_pos >> 1);
            int pe = i == n_seeds ? qlen : (int)(a[i].query_pos >> 1);
            select_in_run(a, last_rare + 1, i, ps, pe, max_max_occ, dist);
        }
        last_rare = i;
    }
}

ls_seed *ls_collect_matches(km_arena *km, int *n_seeds, int qlen, int max_occ, int max_max_occ, int dist,
                            const ls_idx *mi, const ls128_vec *mv, int64_t *n_anchors, int *repeat_len,
                            int *n_seed_pos, uint64_t **seed_pos) {
    int n_m;
    ls_seed *m = ls_seed_collect_all(km, mi, mv, &n_m);
    if (dist > 0 && max_max_occ > max_occ) {
        ls_seed_select(n_m, m, qlen, max_occ, max_max_occ, dist);
    } else {
        for (int i = 0; i < n_m; ++i)
            if ((int64_t)m[i].n_hits > max_occ) m[i].filtered = 1;
    }
    uint64_t *sp = static_cast<uint64_t *>(km_malloc(km, mv->n * sizeof(uint64_t)));
    int n_sp = 0, n_kept = 0;
    int64_t n_a = 0;
    // [rs, re): the current union of filtered seed intervals; seeds come in
    // query order, so a gap closes it for good.
    int rep = 0, rs = 0, re = 0;
    for (int i = 0; i < n_m; ++i) {
        ls_seed *p = &m[i];
        int qpos = (int)(p->query_pos >> 1), span = (int)p->span;
        if (ls_debug_flags & LS_DBG_SEED_FREQ)
            ls_log_raw("SF\t%d\t%d\t%d\n", qpos, (int)p->n_hits, (int)p->filtered);
        if (p->filtered) {
            int s = qpos + 1 - span, e = qpos + 1;
            if (s > re) {
                rep += re - rs;
                rs = s, re = e;
            } else {
                re = e;
            }
        } else {
            n_a += p->n_hits;
            sp[n_sp++] = (uint64_t)span << 32 | (uint32_t)qpos;
            m[n_kept++] = *p;
        }
    }
    rep += re - rs;
    *n_seeds = n_kept;
    *n_anchors = n_a;
    *repeat_len = rep;
    *n_seed_pos = n_sp;
    *seed_pos = sp;
    return m;
}

ls128 *ls_collect_anchors(km_arena *km, const ls_mapopt *opt, int max_occ, const ls_idx *mi,
                          const char *qname, const ls128_vec *mv, int qlen, int64_t *n_anchors,
                          int *repeat_len, int *n_seed_pos, uint64_t **seed_pos) {
    int n_m;
    int64_t n_a;
    ls_seed *m = ls_collect_matches(km, &n_m, qlen, max_occ, opt->occ_cap_max, opt->occ_distance, mi, mv,
                                    &n_a, repeat_len, n_seed_pos, seed_pos);
    const AnchorCtx c = {opt, mi, qname, qlen};
    const bool query_strand = (opt->flag & LS_F_QUERY_STRAND) != 0;
    ls128 *a = static_cast<ls128 *>(km_malloc(km, (size_t)n_a * sizeof(ls128)));
    int64_t n = 0;
    for (int i = 0; i < n_m; ++i) {
        const ls_seed *s = &m[i];
        for (uint32_t j = 0; j < s->n_hits; ++j) {
            bool self;
            if (!accept_hit(c, s, s->hits[j], &self)) continue;
            a[n++] = make_anchor(c, s, s->hits[j], self, query_strand);
        }
    }
    kfree(km, m);
    ls_sort_128x(a, a + n);
    *n_anchors = n;
    return a;
}

ls128 *ls_collect_anchors_heap(km_arena *km, const ls_mapopt *opt, int max_occ, const ls_idx *mi,
                               const char *qname, const ls128_vec *mv, int qlen, int64_t *n_anchors,
                               int *repeat_len, int *n_seed_pos, uint64_t **seed_pos) {
    int n_m;
    int64_t n_a;
    ls_seed *m = ls_collect_matches(km, &n_m, qlen, max_occ, opt->occ_cap_max, opt->occ_distance, mi, mv,
                                    &n_a, repeat_len, n_seed_pos, seed_pos);
    const AnchorCtx c = {opt, mi, qname, qlen};
    // One cursor per kept seed: x = its current hit word, y = seed index << 32
    // | hit index. Every kept seed has at least one hit.
    ls128 *heap = static_cast<ls128 *>(km_malloc(km, (size_t)n_m * sizeof(ls128)));
    size_t n_heap = 0;
    for (int i = 0; i < n_m; ++i) {
        heap[n_heap].x = m[i].hits[0];
        heap[n_heap++].y = (uint64_t)i << 32;
    }
    min_heap_make(n_heap, heap);
    // Hit words leave the heap ascending, so forward anchors grow from the
    // front and reverse ones from the back, each in x order.
    ls128 *a = static_cast<ls128 *>(km_malloc(km, (size_t)n_a * sizeof(ls128)));
    int64_t n_fwd = 0, n_rev = 0;
    while (n_heap > 0) {
        const uint64_t h = heap[0].x;
        const ls_seed *s = &m[heap[0].y >> 32];
        const uint32_t j = (uint32_t)heap[0].y;
        bool self;
        if (accept_hit(c, s, h, &self)) {
            ls128 an = make_anchor(c, s, h, self, false);
            if (is_forward(h, s))
                a[n_fwd++] = an;
            else
                a[n_a - ++n_rev] = an;
        }
        if (j + 1 < s->n_hits) {
            heap[0].x = s->hits[j + 1];
            ++heap[0].y;
        } else {
            heap[0] = heap[--n_heap];
        }
        if (n_heap > 0) min_heap_down(0, n_heap, heap);
    }
    kfree(km, heap);
    kfree(km, m);
    LS_ASSERT(n_fwd + n_rev <= n_a);
    // The back part was filled backwards: reverse it, then close the gap the
    // skipped hits left.
    for (int64_t i = 0, k = n_a - n_rev, l = n_a - 1; i < n_rev / 2; ++i, ++k, --l) {
        ls128 t = a[k];
        a[k] = a[l];
        a[l] = t;
    }
    if (n_fwd + n_rev < n_a && n_rev > 0) memmove(a + n_fwd, a + n_a - n_rev, (size_t)n_rev * sizeof(ls128));
    *n_anchors = n_fwd + n_rev;
    return a;
}
