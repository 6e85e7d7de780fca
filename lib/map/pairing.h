/* Pairing of the mates of a fragment: after each mate of a read pair has
 * been mapped and aligned on its own, picks the best pair of regions (one
 * per mate, same target, expected orientation, bounded distance), marks it
 * proper, makes both regions their mate's primary and raises their mapping
 * qualities by how clearly the pair beats the other candidate pairs. Scratch
 * memory comes from the caller's arena and is returned before each call
 * ends; the regions stay owned by the caller. */
#ifndef LODESTAR_MAP_PAIRING_H
#define LODESTAR_MAP_PAIRING_H

#include <stdint.h>

#include "base/arena.h"
#include "lodestar.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One region of either mate, as sorted during pairing. Bit 0 of key is 0 for
 * a "left" end of a fragment (forward first mate or reverse second mate) and
 * 1 for a "right" end, so that after sorting by key the records of one target
 * run by target start and every right end can look back for its left ends. */
typedef struct ls_pair_rec {
    int32_t seg;  /* the mate, 0 or 1 */
    int32_t rev;  /* the region's reverse bit */
    uint64_t key; /* target_id << 32 | (uint32_t)(rs * 2) | (seg ^ rev) */
    ls_reg *reg;
} ls_pair_rec;

/* Pairs the aligned regions of two mates: regs[s] holds n[s] regions of mate
 * s (each with its ls_extra), mate_lens[s] the mate's length. Left and right
 * ends further apart than gap_limit target bases are not paired; pairs whose
 * summed max_score falls more than pair_bonus below the two mates' best are
 * not considered; score_margin decides which pairs count as close to the
 * best, match (the match score) scales the score gap into a mapping quality.
 * Changes proper_pair, parent, sam_pri and mapq of the regions, then marks
 * read-through mates (ls_mark_read_through). Nothing happens when a mate has
 * no region. km may be null (system allocator). */
void ls_pair_mates(km_arena *km, int gap_limit, int pair_bonus, int score_margin, int match,
                   const int mate_lens[2], const int n[2], ls_reg *regs[2]);

/* Sets read_through on both mates' primaries when each mate has exactly one
 * primary, both lie on the same target and strand at the same interval (ends
 * within 2 bases) and they cover it from opposite ends: a fragment shorter
 * than the reads. */
void ls_mark_read_through(const int mate_lens[2], const int n[2], ls_reg *regs[2]);

/* Radix sort of pairing records by their key (see base/radix_sort.h). */
struct ls_pair_rec;
void ls_sort_pair(struct ls_pair_rec *beg, struct ls_pair_rec *end);
void rs_sort_pair(struct ls_pair_rec *beg, struct ls_pair_rec *end, int n_bits, int s);
void rs_insertsort_pair(struct ls_pair_rec *beg, struct ls_pair_rec *end);

#ifdef __cplusplus
}
#endif

#endif
