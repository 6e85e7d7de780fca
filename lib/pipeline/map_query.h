/* Mapping one query: the driver that runs every stage from minimizers to
 * finished regions, with all scratch memory from one per-thread arena.
 *
 * A thread buffer (ls_tbuf) serves one thread: queries run on it one after
 * another, and different threads use different buffers, so the index and
 * the options, which are only read, are shared without a lock. Regions come
 * back in system memory and belong to the caller. */
#ifndef LODESTAR_PIPELINE_MAP_QUERY_H
#define LODESTAR_PIPELINE_MAP_QUERY_H

#include <stdint.h>

#include "base/arena.h"
#include "lodestar.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- internals of the driver, exported for the file pipeline and tests ---- */

/* Maps all n_segs segments together (ls_map_frag without weak pairing). */
void ls_map_frag_core(const ls_idx *mi, int n_segs, const int *qlens, const char **seqs, int *n_regs,
                      ls_reg **regs, ls_tbuf *b, const ls_mapopt *opt, const char *qname);

/* 32-bit integer mix used for the query hash. */
uint32_t ls_hash32(uint32_t key);

/* Per-query seed of the region tie-break: from the name (ignored when null,
 * empty or with LS_F_NO_NAME_HASH in flag), the total query length and
 * hash_seed. */
uint32_t ls_query_hash(const char *qname, int total_len, int hash_seed, int64_t flag);

/* Appends the minimizers of every segment to mv (items in km), the segment
 * index as sequence id and positions running over the concatenated query;
 * with dust_threshold > 0, minimizers lying mostly in low-complexity
 * stretches of their segment are left out. */
void ls_map_collect_minimizers(km_arena *km, const ls_mapopt *opt, const ls_idx *mi, int n_segs,
                               const int *qlens, const char **seqs, ls128_vec *mv);

/* Drops, from mv->a[start ..], the minimizers of which more than span >> 1
 * bases lie in the n_iv sorted, disjoint intervals iv (start << 32 | end,
 * half-open, in the same coordinates as the minimizers' positions), keeping
 * the order of the others; mv->n shrinks accordingly. */
void ls_mask_minimizers(ls128_vec *mv, size_t start, int n_iv, const uint64_t *iv);

#ifdef __cplusplus
}
#endif

#endif
