/* Seed collection: turns the minimizers of one query (all its segments in
 * one list) into anchors, one per match of a query minimizer with an
 * occurrence of the same minimizer in the index. Minimizers too frequent in
 * the index, or within the query, are dropped first; the query bases they
 * cover add up to the repeat length, which later lowers mapping quality.
 *
 * Every array handed out comes from the caller's arena (null: the system
 * allocator) and is returned to it with kfree. The index and the options are
 * only read, so threads may collect anchors at once, each with its own arena.
 *
 * Anchor layout (ls128), shared with chaining, region generation and
 * alignment:
 *   x: bit 63 strand (1 = reverse), bits 32..62 target id, bits 0..31 target
 *      position of the seed's last base;
 *   y: bits 48..55 query segment, bits 40..43 the LS_ANCHOR_* marks below,
 *      bits 32..39 seed span, bits 0..31 query position of the seed's last
 *      base on the query strand being mapped. */
#ifndef LODESTAR_MAP_SEEDS_H
#define LODESTAR_MAP_SEEDS_H

#include <stdint.h>

#include "base/arena.h"
#include "lodestar.h"

#ifdef __cplusplus
extern "C" {
#endif

#define LS_ANCHOR_SEG_SHIFT 48
#define LS_ANCHOR_SELF      (1ULL << 43) /* self-mapping anchor on the same strand */
#define LS_ANCHOR_TANDEM    (1ULL << 42) /* a neighbouring query minimizer has the same hash */
#define LS_ANCHOR_IGNORE    (1ULL << 41) /* set and read by alignment */
#define LS_ANCHOR_LONG_JOIN (1ULL << 40) /* set and read by alignment */

/* One query minimizer with at least one index hit. */
typedef struct {
    uint32_t n_hits;
    uint32_t query_pos;                /* end position << 1 | strand */
    uint32_t span : 31, filtered : 1;  /* filtered: dropped as too frequent */
    uint32_t segment : 31, tandem : 1; /* tandem: a neighbouring minimizer has the same hash */
    const uint64_t *hits;              /* the index's hit words (not owned) */
} ls_seed;

/* Drops, in place, the minimizers whose x (hash and span) occurs more than
 * limit times and more than fraction * *n times in the list; the others keep
 * their order and *n becomes their number. Nothing happens unless limit > 0,
 * fraction > 0 and *n > limit. Scratch from km. */
void ls_seed_filter_query_occ(km_arena *km, size_t *n, ls128 *a, int limit, float fraction);

/* One seed per minimizer of mv with a hit in mi, in minimizer order, none
 * filtered yet. Returns the array (km) and its count in *n_seeds; null with
 * 0 when no minimizer hits. */
ls_seed *ls_seed_collect_all(km_arena *km, const ls_idx *mi, const ls128_vec *mv, int *n_seeds);

/* Keeps, of every maximal run of seeds with more than max_occ hits, the
 * seeds with the fewest hits, about one per dist query bases of the run's
 * surroundings (at most 128), and filters the rest of the run; seeds with
 * more than max_max_occ hits are filtered regardless. qlen is the total
 * query length. */
void ls_seed_select(int n_seeds, ls_seed *a, int qlen, int max_occ, int max_max_occ, int dist);

/* Seeds of mv, filtered by occurrence (limit max_occ; with dist > 0 and
 * max_max_occ > max_occ the per-run choice of ls_seed_select), with the kept
 * seeds moved to the front. Returns the seed array (km; *n_seeds kept seeds),
 * *n_anchors the number of hits of the kept seeds, *repeat_len the query
 * bases covered by filtered seeds, and *seed_pos (km, room for every
 * minimizer) holding span << 32 | end position of each kept seed, with its
 * count *n_seed_pos. With LS_DBG_SEED_FREQ every seed is printed first. */
ls_seed *ls_collect_matches(km_arena *km, int *n_seeds, int qlen, int max_occ, int max_max_occ, int dist,
                            const ls_idx *mi, const ls128_vec *mv, int64_t *n_anchors, int *repeat_len,
                            int *n_seed_pos, uint64_t **seed_pos);

/* Anchors of a query, sorted by x: a plain fill and a radix sort. max_occ is
 * the occurrence limit of this call (mid_occ, or occ_cap on a rechain);
 * qname (may be null) takes part only in the self-mapping rules of
 * LS_F_SKIP_DIAG and LS_F_HALF_PAIRS; qlen is the total query length.
 * Returns the anchors (km; null when there are none) with their count in
 * *n_anchors, and *repeat_len, *seed_pos and *n_seed_pos as
 * ls_collect_matches gives them. */
ls128 *ls_collect_anchors(km_arena *km, const ls_mapopt *opt, int max_occ, const ls_idx *mi,
                          const char *qname, const ls128_vec *mv, int qlen, int64_t *n_anchors,
                          int *repeat_len, int *n_seed_pos, uint64_t **seed_pos);

/* The same anchors, built by merging the seeds' sorted hit lists through a
 * heap instead of sorting (LS_F_HEAP_MERGE). It has no query-strand
 * encoding: LS_F_QUERY_STRAND does not change its anchors. */
ls128 *ls_collect_anchors_heap(km_arena *km, const ls_mapopt *opt, int max_occ, const ls_idx *mi,
                               const char *qname, const ls128_vec *mv, int qlen, int64_t *n_anchors,
                               int *repeat_len, int *n_seed_pos, uint64_t **seed_pos);

#ifdef __cplusplus
}
#endif

#endif
