/* Regions: one candidate mapping of a query (or of one segment of it) onto
 * one target, and its base-level alignment detail. This module holds the two
 * records and the small operations every later stage uses on them: the
 * score sort with its tie-break, the SAM-primary marking, renumbering after
 * removals, the ALT-contig score reduction and CIGAR growth.
 *
 * Ownership: a query's region array comes from the system allocator
 * (calloc/realloc), because it outlives the per-query arena work; each
 * region owns its ls_extra exclusively (calloc/realloc, released with free).
 * The caller of the mapper frees every region's p, then the array.
 *
 * Both records (public, in lodestar.h) are plain C with fixed layouts:
 * regions are written raw to the temporary files of split-index mapping (80
 * bytes each). */
#ifndef LODESTAR_HIT_H
#define LODESTAR_HIT_H

#include <stdint.h>

#include "arena.h"
#include "lodestar.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Score of a hit on an ALT contig: a negative score unchanged, otherwise
 * score * (1 - fraction) rounded (+0.499, truncated) but at least 1. */
int ls_alt_score(int score, float fraction);

/* Removes soft-deleted regions (freeing their p) and sorts the rest by
 * descending score (p->max_score when aligned, else chain_score; ALT hits
 * reduced by alt_drop_fraction), ties by descending tie_hash; *n_regs
 * becomes the number kept. Fewer than 2 regions: nothing happens. Scratch
 * from km (null: the system allocator). Mixing aligned and unaligned kept
 * regions is a fatal internal error. */
void ls_hit_sort(km_arena *km, int *n_regs, ls_reg *r, float alt_drop_fraction);

/* Sets sam_pri on the first primary (id == parent) and clears it everywhere
 * else. Returns the number of primaries. */
int ls_mark_sam_pri(int n_regs, ls_reg *r);

/* After removals: id becomes the array position and every parent is mapped
 * to its region's new position (-1 when that region is gone; a provisional
 * primary, -2, becomes its own parent); then the SAM-primary marking is
 * redone. Scratch from km. */
void ls_renumber_regions(km_arena *km, int n_regs, ls_reg *r);

/* Makes room for m further CIGAR operations, creating r->p when absent; the
 * capacity grows to a power of two of 32-bit words. */
void ls_extra_reserve(ls_reg *r, int m);

/* Appends k operations; one with the same code as the last stored operation
 * lengthens that operation. k == 0 does nothing. */
void ls_extra_append_cigar(ls_reg *r, uint32_t k, const uint32_t *cigar);

#ifdef __cplusplus
}
#endif

#endif
