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
#ifndef LODESTAR_MAP_REGIONS_H
#define LODESTAR_MAP_REGIONS_H

#include <stdint.h>

#include "base/arena.h"
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

/* ---- regions from chains ----
 * The chain list u of a query holds one word per chain, score << 32 | anchor
 * count; chain i's anchors follow those of chains 0 .. i-1 in the anchor
 * array. Region arrays come from the system allocator; scratch from km. */

/* Chains and anchors of one query segment (ls_seg_gen). */
typedef struct {
    int32_t n_chains, n_anchors;
    uint64_t *chains; /* score << 32 | anchor count */
    ls128 *anchors;   /* positions within the segment */
} ls_seg;

/* One region per chain (zeroed calloc array), by descending score; ties go
 * by a hash of query_hash and the chain's first anchor, so the order never
 * depends on where the chain sat in the list. Null when n_u is 0. */
ls_reg *ls_regions_from_chains(km_arena *km, uint32_t query_hash, int qlen, int n_u, const uint64_t *u,
                               const ls128 *a, int is_qstrand);

/* Strand, target, coordinates, match_len and block_len from the region's
 * anchors (a[r->anchor_start ..]). */
void ls_reg_set_coords(ls_reg *r, int qlen, const ls128 *a, int is_qstrand);

/* Sets on_alt on regions whose target is an ALT contig (nothing when the
 * index has none). */
void ls_mark_alt(const ls_idx *mi, int n_regs, ls_reg *r);

/* Splits r after its first n anchors: r2 receives the rest (a copy of r with
 * its own coordinates and the pro-rata share of the chain score, no p).
 * Nothing unless 0 < n < r->n_anchors. */
void ls_split_reg(ls_reg *r, ls_reg *r2, int n, int qlen, const ls128 *a, int is_qstrand);

/* Makes each region, in array order (by descending score), secondary to the
 * first earlier primary that masks it, or a primary itself; sets id, parent,
 * sub_score, n_suboptimal and the primaries' p->alt_max_score. sub_diff is
 * the score margin within which an aligned secondary counts as suboptimal. */
void ls_set_parent(km_arena *km, float mask_level, int mask_len, int n_regs, ls_reg *r, int sub_diff,
                   int hard_mask_level, float alt_diff_frac);

/* Keeps primaries, inverted regions and at most best_n secondaries that score
 * within pri_ratio (or min_diff) of their primary; with check_strand, also
 * secondaries above min_strand_sc on the other strand (kept_other_strand).
 * Drops the rest (freeing p), compacts and renumbers; updates *n_regs.
 * Nothing when pri_ratio <= 0. */
void ls_select_sub(km_arena *km, float pri_ratio, int min_diff, int best_n, int check_strand,
                   int min_strand_sc, int *n_regs, ls_reg *r);

/* Keeps, in order, the regions whose keep[i] is set and frees the p of the
 * others; when any went, renumbers the rest (ls_renumber_regions). *n_regs
 * becomes the number kept. keep stays the caller's. Scratch from km. */
void ls_keep_regions(km_arena *km, int *n_regs, ls_reg *r, const uint8_t *keep);

/* Drops kept_other_strand secondaries that diverge at least 5 times as much
 * as their primary (and at least 0.01); returns the new count. Ids are not
 * renumbered. */
int ls_filter_by_divergence(int n_regs, ls_reg *r);

/* Drops regions that fail the limits applied after alignment (anchors,
 * matching bases, alignment score, clipping), freeing their p; compacts in
 * order without renumbering; updates *n_regs. */
void ls_filter_regions(const ls_mapopt *opt, int qlen, int *n_regs, ls_reg *regs);

/* Moves the regions' anchors to the front of a, in anchor order, updating
 * anchor_start. Returns the number of anchors in use. */
int ls_squeeze_anchors(km_arena *km, int n_regs, ls_reg *regs, ls128 *a);

/* Splits the regions of a multi-segment query into per-segment regions:
 * regs[s] (n_regs[s] of them, system allocator; null when none) for each
 * segment. Returns the segment records (km), released by ls_seg_free; the
 * new regions' anchors live there. More than LS_MAX_SEG segments is a fatal
 * internal error. */
ls_seg *ls_seg_gen(km_arena *km, uint32_t query_hash, int n_segs, const int *qlens, int n_regs0,
                   const ls_reg *regs0, int *n_regs, ls_reg **regs, const ls128 *a);
void ls_seg_free(km_arena *km, int n_segs, ls_seg *segs);

/* ---- mapping quality and scores ---- */

/* Sets mapq (0..60) of every region: primaries from their own strength, the
 * best competitor they mask, the near-equal competitors and the repeat
 * share of the query; secondaries and inverted regions 0 (an inverted
 * primary between two primaries takes the lower of their values). */
void ls_set_mapq(km_arena *km, int n_regs, ls_reg *regs, int min_chain_sc, int match_sc, int rep_len,
                 int is_sr, int is_splice, int from_alignment);

/* Gap-compressed identity of an aligned region; -1.0 without p. */
double ls_event_identity(const ls_reg *r);

/* Recalibrates p->max_score of every aligned region from its matches,
 * mismatches and gaps when the best two alignments compete closely (the
 * second within frac of the best, the best covering frac of the query). */
void ls_update_max_score(int qlen, int n_regs, ls_reg *regs, float frac, int match_sc, int mismatch_pen);

#ifdef __cplusplus
}
#endif

#endif
