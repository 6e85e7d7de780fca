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
 * Both records are plain C with fixed layouts: regions are written raw to
 * the temporary files of split-index mapping (80 bytes each). */
#ifndef LODESTAR_HIT_H
#define LODESTAR_HIT_H

#include <stdint.h>

#include "arena.h"
#include "lodestar.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Alignment detail of a region: seven 32-bit header words, then the CIGAR.
 * A detail without CIGAR is 8 zeroed words with capacity 8. */
typedef struct {
    uint32_t capacity;                                /* 32-bit words allocated, header included */
    int32_t aln_score;                                /* DP score of the whole alignment */
    int32_t max_score;                                /* best-scoring segment; used for ranking and mapq */
    int32_t alt_max_score;                            /* best max_score among the regions a primary masks */
    int32_t raw_max_score;                            /* max_score before recalibration */
    uint32_t n_ambiguous : 30, transcript_strand : 2; /* strand: 0 ?, 1 +, 2 -, 3 undecided */
    uint32_t n_cigar;                                 /* operations in use */
    uint32_t cigar[];                                 /* length << 4 | LS_CIGAR_* code */
} ls_extra;

/* One region. A primary has parent == id; at most one region of an array has
 * sam_pri, and only a primary. A region with n_anchors == 0 that is not
 * inverted is soft-deleted (ls_hit_sort removes it). */
typedef struct {
    int32_t id;        /* position in the array; -1 for a fresh split until renumbered */
    int32_t n_anchors; /* anchors of the region's chain */
    int32_t target_id;
    int32_t chain_score;
    int32_t qs, qe;        /* query interval, forward-strand coordinates */
    int32_t rs, re;        /* target interval, forward-strand coordinates */
    int32_t parent;        /* id of the primary; -1 none; -2 provisional primary */
    int32_t sub_score;     /* best chain score this primary masks */
    int32_t anchor_start;  /* first anchor in the query's anchor array */
    int32_t match_len;     /* query bases in seed matches / matching bases */
    int32_t block_len;     /* alignment block length */
    int32_t n_suboptimal;  /* secondaries close to this primary */
    int32_t initial_score; /* chain score at creation */
    uint32_t mapq : 8, zdrop_split : 2, reverse : 1, inverted : 1, sam_pri : 1, proper_pair : 1,
        read_through : 1, seg_derived : 1, seg_index : 8, split_at_inversion : 1, on_alt : 1,
        kept_other_strand : 1, spliced : 1, : 4;
    uint32_t tie_hash; /* breaks score ties only */
    float divergence;  /* -1.0 until estimated */
    ls_extra *p;       /* alignment detail, or null */
} ls_reg;

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
