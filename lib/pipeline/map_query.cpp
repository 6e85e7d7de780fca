/* The mapping driver: minimizers, anchors, chains, regions, divergence,
 * alignment and mapping quality of one query, in that order, with all
 * scratch memory from the thread buffer's arena. */
#include "pipeline/map_query.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "align/align.h"
#include "map/divergence.h"
#include "map/regions.h"
#include "align/splice_jump.h"
#include "map/chain.h"
#include "map/low_complexity.h"
#include "base/alloc.h"
#include "base/diagnostics.h"
#include "base/radix_sort.h"
#include "map/pairing.h"
#include "map/seeds.h"
#include "index/sketch.h"

namespace {

/* An arena that grew a single core beyond this (2^28 bytes) is replaced after
 * the query, so that one huge query does not leave the thread holding it. */
constexpr uint64_t kArenaLargestCore = 268435456;

/* Window of the low-complexity scan, in bases. */
constexpr int kDustWindow = 64;

/* ---- seams to stages of other modules ----
 * Each stage below is reached through exactly one function. */

/* Low-complexity intervals of one segment, start << 32 | end, ascending and
 * disjoint, in km (null with *n = 0 when there are none). */
uint64_t *low_complexity_intervals(km_arena *km, const char *seq, int len, int threshold, int window,
                                   int *n) {
    return ls_dust(km, seq, len, threshold, window, n);
}

/* Base-level alignment of a query's regions; may add, split, drop and
 * re-sort regions and returns the possibly moved array. */
ls_reg *align_query_regions(km_arena *km, const ls_mapopt *opt, const ls_idx *mi, int qlen, const char *seq,
                            int *n_regs, ls_reg *regs, ls128 *a) {
    return ls_align_regions(km, opt, mi, qlen, seq, n_regs, regs, a);
}

/* Pairing of the two mates' aligned regions. */
void pair_mates(km_arena *km, int gap_limit, int pair_bonus, int score_margin, int match_sc, const int *qlens,
                int *n_regs, ls_reg **regs) {
    ls_pair_mates(km, gap_limit, pair_bonus, score_margin, match_sc, qlens, n_regs, regs);
}

/* Refinement of spliced alignments with annotated junctions, both strands
 * considered. The rewrite understands M operations only, so CIGARs written
 * with = and X (LS_F_EQX) stay as aligned rather than abort the query. */
void refine_splice_jumps(km_arena *km, const ls_mapopt *opt, const ls_idx *mi, int qlen, const char *seq,
                         int n_regs, ls_reg *regs) {
    if (opt->flag & LS_F_EQX) return;
    for (int i = 0; i < n_regs; ++i) ls_jump_split(km, mi, opt, qlen, seq, &regs[i], 0);
}

/* ---- steps of the driver ---- */

const char *target_name(const ls_idx *mi, uint64_t ax) {
    const char *name = mi->seq[ax << 1 >> 33].name;
    return name ? name : "*"; // an index built without names
}

inline int32_t pos32(uint64_t w) {
    return (int32_t)(uint32_t)w;
}

/* One anchor as a debug line: target name, position, strand, query position,
 * span and the diagonal change from the previous anchor. */
void print_anchor(const ls_idx *mi, const ls128 &a, int32_t diag_change) {
    ls_log_raw("%s\t%d\t%c\t%d\t%d\t%d\n", target_name(mi, a.x), pos32(a.x), "+-"[a.x >> 63], pos32(a.y),
            (int)(a.y >> 32 & 0xff), diag_change);
}

int32_t diag_change(const ls128 &cur, const ls128 &prev) {
    return (pos32(cur.y) - pos32(prev.y)) - (pos32(cur.x) - pos32(prev.x));
}

ls128 *collect_anchors(km_arena *km, const ls_mapopt *opt, int max_occ, const ls_idx *mi, const char *qname,
                       const ls128_vec *mv, int qlen, int64_t *n_a, int *rep_len, int *n_seed_pos,
                       uint64_t **seed_pos) {
    if (opt->flag & LS_F_HEAP_MERGE)
        return ls_collect_anchors_heap(km, opt, max_occ, mi, qname, mv, qlen, n_a, rep_len, n_seed_pos,
                                       seed_pos);
    return ls_collect_anchors(km, opt, max_occ, mi, qname, mv, qlen, n_a, rep_len, n_seed_pos, seed_pos);
}

void print_seeds(const ls_idx *mi, int rep_len, int64_t n_a, const ls128 *a) {
    ls_log_raw("RS\t%d\n", rep_len);
    for (int64_t i = 0; i < n_a; ++i) {
        ls_log_raw("SD\t");
        print_anchor(mi, a[i], i == 0 ? 0 : diag_change(a[i], a[i - 1]));
    }
}

void print_chains(const ls_idx *mi, int n_regs, const ls_reg *regs, const ls128 *a) {
    for (int i = 0; i < n_regs; ++i) {
        const ls_reg *r = &regs[i];
        for (int j = 0; j < r->n_anchors; ++j) {
            const ls128 *p = &a[r->anchor_start + j];
            ls_log_raw("CN\t%d\t", i);
            print_anchor(mi, *p, j == 0 ? 0 : diag_change(p[0], p[-1]));
        }
    }
}

/* Gap limits and costs of chaining one query. */
struct ChainParams {
    int ref_gap, qry_gap;
    float pen_gap, pen_skip;
};

ChainParams chain_params(const ls_mapopt *opt, const ls_idx *mi, int qlen) {
    ChainParams c;
    if (opt->chain_max_gap_ref > 0)
        c.ref_gap = opt->chain_max_gap_ref;
    else if (opt->max_fragment_len > 0)
        c.ref_gap = opt->max_fragment_len - qlen > opt->chain_max_gap ? opt->max_fragment_len - qlen
                                                                      : opt->chain_max_gap;
    else
        c.ref_gap = opt->chain_max_gap;
    c.qry_gap = (opt->flag & LS_F_SHORT_READ) && qlen > opt->chain_max_gap ? qlen : opt->chain_max_gap;
    c.pen_gap = (float)(opt->gap_cost_scale * 0.01 * mi->k);
    c.pen_skip = (float)(opt->skip_cost_scale * 0.01 * mi->k);
    return c;
}

ls128 *chain_dp(km_arena *km, const ls_mapopt *opt, const ChainParams &c, int n_segs, int64_t n_a, ls128 *a,
                int *n_u, uint64_t **u) {
    return nx_lchain_dp(c.ref_gap, c.qry_gap, opt->bw, opt->chain_skip_limit, opt->chain_iter_limit,
                        opt->chain_min_anchors, opt->chain_min_score, c.pen_gap, c.pen_skip,
                        (opt->flag & LS_F_SPLICE) != 0, n_segs, n_a, a, n_u, u, km);
}

ls128 *chain_rmq(km_arena *km, const ls_mapopt *opt, const ChainParams &c, int bw, int64_t n_a, ls128 *a,
                 int *n_u, uint64_t **u) {
    return nx_lchain_rmq(opt->chain_max_gap, opt->rmq_inner_distance, bw, opt->chain_skip_limit, opt->rmq_cap,
                         opt->chain_min_anchors, opt->chain_min_score, c.pen_gap, c.pen_skip, n_a, a, n_u, u,
                         km);
}

int64_t chained_anchors(int n_u, const uint64_t *u) {
    int64_t n = 0;
    for (int i = 0; i < n_u; ++i) n += (uint32_t)u[i];
    return n;
}

/* Number of query segments that the best chain (the first of the highest
 * score; with every score at or below 0, the first chain) runs through,
 * counted as segment changes between its consecutive anchors plus one. */
int segments_of_best_chain(int n_u, const uint64_t *u, const ls128 *a) {
    int best = 0;
    int64_t off = 0, best_off = 0;
    for (int i = 0; i < n_u; ++i) {
        if ((int32_t)(u[i] >> 32) > (int32_t)(u[best] >> 32)) best = i, best_off = off;
        off += (uint32_t)u[i];
    }
    int n = 1;
    for (int64_t j = best_off + 1; j < best_off + (uint32_t)u[best]; ++j)
        if ((a[j].y >> LS_ANCHOR_SEG_SHIFT & 0xff) != (a[j - 1].y >> LS_ANCHOR_SEG_SHIFT & 0xff)) ++n;
    return n;
}

/* Seeds, anchors and chains of one query, all in the arena. */
struct Chaining {
    ls128 *a = nullptr; // chained anchors
    int64_t n_a = 0;
    uint64_t *u = nullptr; // chains: score << 32 | anchor count
    int n_u = 0;
    uint64_t *seed_pos = nullptr;
    int n_seed_pos = 0;
    int rep_len = 0;

    void release(km_arena *km) {
        kfree(km, a);
        kfree(km, u);
        kfree(km, seed_pos);
        a = nullptr, u = nullptr, seed_pos = nullptr;
        n_a = 0, n_u = 0, n_seed_pos = 0;
    }
};

/* Anchors, chaining, then either a long join of the chains or a rechain
 * with the higher occurrence limit. */
void seed_and_chain(km_arena *km, const ls_idx *mi, const ls_mapopt *opt, const char *qname, int n_segs,
                    int qlen, const ls128_vec *mv, const ChainParams &cp, Chaining *ch) {
    int64_t n_a;
    ls128 *a = collect_anchors(km, opt, opt->mid_occ, mi, qname, mv, qlen, &n_a, &ch->rep_len,
                               &ch->n_seed_pos, &ch->seed_pos);
    if (ls_debug_flags & LS_DBG_SEEDS) print_seeds(mi, ch->rep_len, n_a, a);
    if (opt->flag & LS_F_RMQ)
        ch->a = chain_rmq(km, opt, cp, opt->bw, n_a, a, &ch->n_u, &ch->u);
    else
        ch->a = chain_dp(km, opt, cp, n_segs, n_a, a, &ch->n_u, &ch->u);
    ch->n_a = chained_anchors(ch->n_u, ch->u);

    if (opt->long_bw > opt->bw && !(opt->flag & (LS_F_NO_LONG_JOIN | LS_F_SHORT_READ | LS_F_SPLICE)) &&
        n_segs == 1 && ch->n_u >= 2) {
        // Join chains across gaps too wide for the first pass when the first
        // chain leaves much of the query uncovered.
        const int32_t st = pos32(ch->a[0].y), en = pos32(ch->a[(uint32_t)ch->u[0] - 1].y);
        if (qlen - (en - st) > opt->rmq_rescue_min ||
            (float)(en - st) > (float)qlen * opt->rmq_rescue_fraction) {
            ls_sort_128x(ch->a, ch->a + ch->n_a);
            kfree(km, ch->u);
            ch->u = nullptr;
            ch->a = chain_rmq(km, opt, cp, opt->long_bw, ch->n_a, ch->a, &ch->n_u, &ch->u);
            ch->n_a = chained_anchors(ch->n_u, ch->u);
        }
    } else if (opt->occ_cap > opt->mid_occ && ch->rep_len > 0 && !(opt->flag & LS_F_RMQ)) {
        // Repetitive query whose best chain misses some segments (or no chain
        // at all): seed again with the higher occurrence limit.
        if (ch->n_u == 0 || segments_of_best_chain(ch->n_u, ch->u, ch->a) < n_segs) {
            ch->release(km);
            a = collect_anchors(km, opt, opt->occ_cap, mi, qname, mv, qlen, &n_a, &ch->rep_len,
                                &ch->n_seed_pos, &ch->seed_pos);
            ch->a = chain_dp(km, opt, cp, n_segs, n_a, a, &ch->n_u, &ch->u);
            ch->n_a = chained_anchors(ch->n_u, ch->u);
        }
    }
}

/* Alignment of one region array and the re-selection that follows it. */
ls_reg *align_and_reselect(km_arena *km, const ls_idx *mi, const ls_mapopt *opt, int qlen, const char *seq,
                           int *n_regs, ls_reg *regs, ls128 *a) {
    if (!(opt->flag & LS_F_BASE_ALIGN)) return regs;
    regs = align_query_regions(km, opt, mi, qlen, seq, n_regs, regs, a);
    if (!(opt->flag & LS_F_ALL_CHAINS)) {
        ls_set_parent(km, opt->overlap_mask_level, opt->overlap_mask_len, *n_regs, regs,
                      2 * opt->match_score + opt->mismatch_penalty, (opt->flag & LS_F_HARD_MASK_LEVEL) != 0,
                      opt->alt_drop_fraction);
        ls_select_sub(km, opt->secondary_ratio, 2 * mi->k, opt->max_secondary, 0,
                      (int)(opt->chain_max_gap * 0.8), n_regs, regs);
    }
    // Every aligned array gets its SAM primary, also when all chains are
    // kept: a mate's record takes its RNEXT and PNEXT from it.
    ls_mark_sam_pri(*n_regs, regs);
    return regs;
}

void set_parent(km_arena *km, const ls_mapopt *opt, int n_regs, ls_reg *regs) {
    ls_set_parent(km, opt->overlap_mask_level, opt->overlap_mask_len, n_regs, regs,
                  2 * opt->match_score + opt->mismatch_penalty, (opt->flag & LS_F_HARD_MASK_LEVEL) != 0,
                  opt->alt_drop_fraction);
}

void set_mapq(km_arena *km, const ls_mapopt *opt, int rep_len, int n_regs, ls_reg *regs) {
    ls_set_mapq(km, n_regs, regs, opt->chain_min_score, opt->match_score, rep_len,
                (opt->flag & (LS_F_SHORT_READ | LS_F_SHORT_RNA)) != 0, (opt->flag & LS_F_SPLICE) != 0,
                (opt->flag & LS_F_MAPQ_FROM_ALN) != 0);
}

/* After a query: every block must be back in the arena; an arena that grew
 * too large is replaced. */
void check_arena(ls_tbuf *b, const ls_mapopt *opt, const char *qname, int qlen) {
    if (b->arena == nullptr) return;
    const char *name = qname ? qname : "*";
    km_stats kmst;
    km_stat(b->arena, &kmst);
    if (ls_debug_flags & LS_DBG_QUERY_STATS)
        ls_log_raw("QM\t%s\t%d\tcap=%ld,nCore=%ld,largest=%ld\n", name, qlen, (long)kmst.capacity,
                (long)kmst.n_cores, (long)kmst.largest);
    LS_ASSERT(kmst.n_blocks == kmst.n_cores);
    if (kmst.largest > kArenaLargestCore ||
        (opt->arena_cap > 0 && kmst.capacity > (uint64_t)opt->arena_cap)) {
        if (ls_debug_flags & LS_DBG_QUERY_STATS)
            ls_log(LS_LOG_WARNING, "reset thread-local memory after read %s", name);
        km_release(b->arena);
        b->arena = km_create();
    }
}

} // namespace

uint32_t ls_hash32(uint32_t key) {
    key += ~(key << 15);
    key ^= key >> 10;
    key += key << 3;
    key ^= key >> 6;
    key += ~(key << 11);
    key ^= key >> 16;
    return key;
}

uint32_t ls_query_hash(const char *qname, int total_len, int hash_seed, int64_t flag) {
    uint32_t h = 0;
    if (qname && *qname && !(flag & LS_F_NO_NAME_HASH)) {
        const signed char *s = reinterpret_cast<const signed char *>(qname);
        h = (uint32_t)(int32_t)*s;
        for (++s; *s; ++s) h = h * 31 + (uint32_t)(int32_t)*s;
    }
    return ls_hash32(h ^ (ls_hash32((uint32_t)hash_seed) + ls_hash32((uint32_t)total_len)));
}

void ls_mask_minimizers(ls128_vec *mv, size_t start, int n_iv, const uint64_t *iv) {
    size_t k = start;
    int u = 0; // intervals before u end at or before the current minimizer
    for (size_t j = start; j < mv->n; ++j) {
        const ls128 m = mv->a[j];
        const int span = (int)(m.x & 0xff);
        const int e = (int)((uint32_t)m.y >> 1) + 1, s = e - span;
        while (u < n_iv && (int)(uint32_t)iv[u] <= s) ++u;
        int masked = 0;
        for (int v = u; v < n_iv && (int)(iv[v] >> 32) < e; ++v) {
            const int is = (int)(iv[v] >> 32), ie = (int)(uint32_t)iv[v];
            masked += (ie < e ? ie : e) - (is > s ? is : s);
        }
        if (masked <= span >> 1) mv->a[k++] = m;
    }
    mv->n = k;
}

void ls_map_collect_minimizers(km_arena *km, const ls_mapopt *opt, const ls_idx *mi, int n_segs,
                               const int *qlens, const char **seqs, ls128_vec *mv) {
    uint64_t offset = 0;
    for (int s = 0; s < n_segs; ++s) {
        const size_t n0 = mv->n;
        if (qlens[s] > 0)
            ls_sketch(km, seqs[s], qlens[s], mi->w, mi->k, (uint32_t)s, mi->flag & LS_I_HPC, mv);
        if (opt->dust_threshold > 0 && qlens[s] > 0) {
            // Masking works in the segment's own coordinates, before the
            // positions are shifted onto the concatenated query.
            int n_iv;
            uint64_t *iv =
                low_complexity_intervals(km, seqs[s], qlens[s], opt->dust_threshold, kDustWindow, &n_iv);
            if (n_iv > 0) ls_mask_minimizers(mv, n0, n_iv, iv);
            kfree(km, iv);
        }
        // y holds position << 1 | strand: twice the offset moves the position.
        for (size_t j = n0; j < mv->n; ++j) mv->a[j].y += offset << 1;
        offset += (uint64_t)qlens[s];
    }
}

ls_tbuf *ls_tbuf_init(void) {
    ls_tbuf *b = static_cast<ls_tbuf *>(calloc(1, sizeof(ls_tbuf)));
    if (b == nullptr) return nullptr;
    if (!(ls_debug_flags & LS_DBG_NO_ARENA)) b->arena = km_create();
    return b;
}

void ls_tbuf_destroy(ls_tbuf *b) {
    if (b == nullptr) return;
    km_release(b->arena);
    free(b);
}

void ls_map_frag_core(const ls_idx *mi, int n_segs, const int *qlens, const char **seqs, int *n_regs,
                      ls_reg **regs, ls_tbuf *b, const ls_mapopt *opt, const char *qname) {
    // The buffer describes this query even when nothing is mapped (an
    // unseeded query has no repetitive stretch), never the one the thread
    // mapped before: which query that was depends on the scheduling.
    b->repeat_len = 0;
    b->fragment_gap = chain_params(opt, mi, 0).ref_gap;
    // Nothing to map for an empty, too long or too fragmented query.
    if (n_segs < 1) return;
    int64_t qlen_sum = 0;
    bool bad_len = false;
    for (int s = 0; s < n_segs; ++s) {
        n_regs[s] = 0;
        regs[s] = nullptr;
        if (qlens[s] < 0) bad_len = true;
        qlen_sum += qlens[s];
    }
    // Positions live in 31 bits of the minimizer and anchor words.
    if (bad_len || n_segs > LS_MAX_SEG || qlen_sum == 0 || qlen_sum > INT32_MAX ||
        (opt->max_query_len > 0 && qlen_sum > opt->max_query_len))
        return;
    const int qlen = (int)qlen_sum;
    km_arena *km = b->arena;

    // Tie-break seed, minimizers, query-occurrence filter.
    const uint32_t query_hash = ls_query_hash(qname, qlen, opt->hash_seed, opt->flag);
    ls128_vec mv = {0, 0, nullptr};
    ls_map_collect_minimizers(km, opt, mi, n_segs, qlens, seqs, &mv);
    if (opt->query_occ_fraction > 0.0f)
        ls_seed_filter_query_occ(km, &mv.n, mv.a, opt->mid_occ, opt->query_occ_fraction);

    // Anchors and chains.
    const ChainParams cp = chain_params(opt, mi, qlen);
    Chaining ch;
    seed_and_chain(km, mi, opt, qname, n_segs, qlen, &mv, cp, &ch);
    b->fragment_gap = cp.ref_gap;
    b->repeat_len = ch.rep_len;

    // Regions, ALT hits ranked lower.
    ls_reg *regs0 = ls_regions_from_chains(km, query_hash, qlen, ch.n_u, ch.u, ch.a,
                                           (opt->flag & LS_F_QUERY_STRAND) != 0);
    int n_regs0 = regs0 ? ch.n_u : 0;
    if (mi->n_alt > 0) {
        ls_mark_alt(mi, n_regs0, regs0);
        ls_hit_sort(km, &n_regs0, regs0, opt->alt_drop_fraction);
    }
    if (ls_debug_flags & (LS_DBG_SEEDS | LS_DBG_CHAINS)) print_chains(mi, n_regs0, regs0, ch.a);

    // Primaries and secondaries.
    if (!(opt->flag & LS_F_ALL_CHAINS)) {
        set_parent(km, opt, n_regs0, regs0);
        if (n_segs == 1)
            ls_select_sub(km, opt->secondary_ratio, 2 * mi->k, opt->max_secondary, 1,
                          (int)(opt->chain_max_gap * 0.8), &n_regs0, regs0);
        else
            ls_select_sub_multiseg(km, cp.ref_gap, 2 * mi->k, opt->max_secondary, n_segs, qlens,
                                   opt->secondary_ratio, 0.2f, 0.7f, &n_regs0, regs0);
    }

    // Divergence from the seeds, and the secondaries it discredits.
    if (!(opt->flag & (LS_F_SHORT_READ | LS_F_QUERY_STRAND))) {
        ls_est_err(mi, qlen, n_regs0, regs0, ch.a, ch.n_seed_pos, ch.seed_pos);
        n_regs0 = ls_filter_by_divergence(n_regs0, regs0);
    }

    if (n_segs == 1) { // one segment: align, then mapping quality
        regs0 = align_and_reselect(km, mi, opt, qlen, seqs[0], &n_regs0, regs0, ch.a);
        if (n_regs0 > 0)
            regs0 = static_cast<ls_reg *>(ls_xrealloc(regs0, (size_t)n_regs0 * sizeof(ls_reg), __func__));
        set_mapq(km, opt, ch.rep_len, n_regs0, regs0);
        n_regs[0] = n_regs0;
        regs[0] = regs0;
    } else { // several segments: regions split by segment, each aligned on its own
        ls_seg *seg = ls_seg_gen(km, query_hash, n_segs, qlens, n_regs0, regs0, n_regs, regs, ch.a);
        for (int i = 0; i < n_regs0; ++i) free(regs0[i].p);
        free(regs0);
        for (int s = 0; s < n_segs; ++s) {
            set_parent(km, opt, n_regs[s], regs[s]);
            regs[s] = align_and_reselect(km, mi, opt, qlens[s], seqs[s], &n_regs[s], regs[s], seg[s].anchors);
            set_mapq(km, opt, ch.rep_len, n_regs[s], regs[s]);
        }
        ls_seg_free(km, n_segs, seg);
        if (n_segs == 2 && opt->pair_orientation >= 0 && (opt->flag & LS_F_BASE_ALIGN))
            pair_mates(km, cp.ref_gap, opt->pair_bonus, 2 * opt->match_score + opt->mismatch_penalty,
                       opt->match_score, qlens, n_regs, regs);
    }

    // Scratch back to the arena.
    kfree(km, mv.a);
    ch.release(km);

    // Junction refinement of spliced single-segment alignments.
    if (n_segs == 1 && (opt->flag & LS_F_SPLICE) && mi->jumps)
        refine_splice_jumps(km, opt, mi, qlen, seqs[0], n_regs[0], regs[0]);

    check_arena(b, opt, qname, qlen);
}

ls_reg *ls_map(const ls_idx *mi, int qlen, const char *seq, int *n_regs, ls_tbuf *b, const ls_mapopt *opt,
               const char *qname) {
    ls_reg *regs;
    ls_map_frag_core(mi, 1, &qlen, &seq, n_regs, &regs, b, opt, qname);
    return regs;
}

void ls_map_frag(const ls_idx *mi, int n_segs, const int *qlens, const char **seqs, int *n_regs,
                 ls_reg **regs, ls_tbuf *b, const ls_mapopt *opt, const char *qname) {
    if ((opt->flag & LS_F_WEAK_PAIRING) && n_segs == 2 && (opt->flag & LS_F_BASE_ALIGN) &&
        opt->pair_orientation >= 0) {
        for (int s = 0; s < 2; ++s)
            ls_map_frag_core(mi, 1, &qlens[s], &seqs[s], &n_regs[s], &regs[s], b, opt, qname);
        // The arena may have been replaced after either mate.
        pair_mates(b->arena, opt->chain_max_gap_ref, opt->pair_bonus,
                   2 * opt->match_score + opt->mismatch_penalty, opt->match_score, qlens, n_regs, regs);
        return;
    }
    ls_map_frag_core(mi, n_segs, qlens, seqs, n_regs, regs, b, opt, qname);
}
