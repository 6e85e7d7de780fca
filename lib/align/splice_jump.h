/* Splice-jump refinement: repairs the ends of a spliced alignment that stop
 * at (or a few bases past) an exon boundary with a short overhang left
 * clipped. With the index's list of known junctions, an end whose overhang
 * matches the far side of exactly one junction gets an intron (N) and the
 * overhang (M) added to its CIGAR; ambiguous ends are at most cut back to the
 * junction. Works on one region in place; keeps no state; scratch comes from
 * the caller's arena. */
#ifndef LODESTAR_ALIGN_SPLICE_JUMP_H
#define LODESTAR_ALIGN_SPLICE_JUMP_H

#include <stdint.h>

#include "base/arena.h"
#include "lodestar.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Refines both ends of region r (first the left end on the target, then the
 * right end as the left end left it) of a query of qlen bases (seq as read,
 * not reverse-complemented) against the jump lists of mi. A junction whose
 * strand times strand_hint is negative is ignored (0 ignores none). The
 * CIGAR, coordinates, block_len, match_len, scores and the spliced bit are
 * updated incrementally; a region without detail or whose end operation is
 * not a long M is left alone. The CIGAR must hold M operations: LS_F_EQX in
 * opt->flag is a fatal internal error. Scratch from km (null: the system
 * allocator); mi is only read, so threads may share it. */
void ls_jump_split(km_arena *km, const ls_idx *mi, const ls_mapopt *opt, int qlen, const char *seq, ls_reg *r,
                   int strand_hint);

#ifdef __cplusplus
}
#endif

#endif
