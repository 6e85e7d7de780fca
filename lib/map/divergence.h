/* Region-level estimates made before base-level alignment: the sequence
 * divergence of each region from the share of the query's seeds it matched,
 * and the choice of secondary regions for queries of several segments (read
 * pairs). Both work on the region array of one query in place and keep no
 * state; scratch comes from the caller's arena. */
#ifndef LODESTAR_MAP_DIVERGENCE_H
#define LODESTAR_MAP_DIVERGENCE_H

#include <stdint.h>

#include "base/arena.h"
#include "lodestar.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Sets the divergence of every region from its anchors (a) and the query's
 * kept seeds (seed_pos, n entries of span << 32 | end position, ascending):
 * a fraction d of differing bases lets a seed of span k survive with
 * probability (1 - d)^k. Regions without anchors, or whose first seed is
 * missing from seed_pos (reported at verbosity 2), get -1. With n == 0
 * nothing changes. */
void ls_est_err(const ls_idx *mi, int qlen, int n_regs, ls_reg *regs, const ls128 *a, int32_t n,
                const uint64_t *seed_pos);

/* Keeps primaries and at most max_keep secondaries of a multi-segment query:
 * a secondary passes within min_diff of its primary's chain score, or by
 * ratio_near when it lies near its primary on the target (within ref_gap plus
 * both mate lengths, two segments only), else by ratio, or by ratio_split
 * when only its primary spans both mates. Dropped regions' p are freed; the
 * array is compacted and renumbered; *n_regs is updated. Nothing when ratio
 * is not positive. */
void ls_select_sub_multiseg(km_arena *km, int ref_gap, int min_diff, int max_keep, int n_segs,
                            const int *seg_lens, float ratio, float ratio_near, float ratio_split,
                            int *n_regs, ls_reg *regs);

#ifdef __cplusplus
}
#endif

#endif
