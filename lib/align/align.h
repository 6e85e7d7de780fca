/* Base-level alignment of regions: the pairwise call through which every
 * extension and gap fill reaches the DP kernels, the striped local-scoring
 * kernel that answers score-only questions (does a dropped piece align
 * reverse-complemented, where does an inversion start, does a weak end
 * anchor really align), the choice of the anchors an alignment trusts, and
 * the normalisation of a finished CIGAR together with the statistics derived
 * from it.
 *
 * Sources: align_pair.cpp (the pairwise call, CIGAR normalisation and
 * statistics), anchor_trim.cpp (anchor trimming, seed filters, waypoints),
 * align_region.cpp (one region), align_query.cpp (all regions of a query);
 * the local kernel is kernels/dp_local.{h,cpp}.
 *
 * Scratch memory comes from the caller's arena (null: the system allocator)
 * and is returned before a call ends; a region's ls_extra stays with the
 * region (system allocator). Options and the index are only read, so threads
 * may align at once, each with its own arena, records and regions. */
#ifndef LODESTAR_ALIGN_ALIGN_H
#define LODESTAR_ALIGN_ALIGN_H

#include <stdint.h>

#include "base/arena.h"
#include "align/kernels/dp_kernel.h"
#include "align/kernels/dp_local.h"
#include "map/regions.h"
#include "lodestar.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- pairwise alignment call ---- */

/* Aligns query[0..qlen) against target[0..tlen) (codes 0..4, 5 x 5 matrix)
 * with the kernel the options ask for: the splice kernel with LS_F_SPLICE
 * (junction_marks: one byte per target base, or null), else the dual-affine
 * kernel when the two gap models differ, else the single-affine one. Adds
 * DPX_EZ_FULL_MATRIX when transitions are scored apart. A problem of more
 * than max_dp_cells cells (when that is positive) is refused: ez comes back
 * cleared and dropped, without operations. With LS_DBG_ALIGN the inputs and
 * the result are traced on standard error. */
void ls_align_pair(km_arena *km, const ls_mapopt *opt, int qlen, const uint8_t *query, int tlen,
                   const uint8_t *target, const uint8_t *junction_marks, const int8_t *matrix, int bw,
                   int end_bonus, int zdrop, int flag, dpx_extz *ez);

/* Local score of an anchor's neighbourhood: the anchor's seed plus
 * anchor_extend_len bases on each side, query against target, clipped to
 * both sequences. qseq[0] is the forward query, qseq[1] its reverse
 * complement (codes 0..4). Scratch from km. */
int ls_anchor_extension_score(km_arena *km, const ls_mapopt *opt, const ls_idx *mi, const int8_t *matrix,
                              int qlen, uint8_t *const qseq[2], const ls128 *anchor);

/* ---- anchors an alignment trusts ----
 * All take the region's anchors a[as .. as+cnt-1] (layout of the seed
 * module) and return the trusted range a[*as1 .. *as1+*cnt1-1]. */

/* Short reads: the run of consecutive anchors on one diagonal covering the
 * most query bases; the first of equally good runs wins. */
void ls_longest_diagonal_run(int as, int cnt, const ls128 *a, int *as1, int *cnt1);

/* Drops anchors at either end that precede a gap out of proportion to the
 * alignment accumulated from that end. match_len is the region's. Regions
 * of fewer than 3 anchors are kept whole; the result keeps at least 2. */
void ls_trim_anchor_ends(const ls_mapopt *opt, int as, int cnt, const ls128 *a, int match_len, int *as1,
                         int *cnt1);

/* Spliced alignment: drops an end anchor before a long gap when neither its
 * seed nor its neighbourhood (ls_anchor_extension_score) is long enough for
 * the gap. */
void ls_trim_anchor_ends_splice(km_arena *km, const ls_mapopt *opt, const ls_idx *mi, const int8_t *matrix,
                                int qlen, uint8_t *const qseq[2], int as, int cnt, const ls128 *a, int *as1,
                                int *cnt1);

/* Marks LS_ANCHOR_IGNORE inside the strongest short stretches of
 * a[as1 .. as1+cnt1-1] that hold both large insertions and large deletions.
 * Scratch from km. */
void ls_ignore_indel_clusters(km_arena *km, const ls_mapopt *opt, int as1, int cnt1, ls128 *a);

/* Marks runs of nearby large gaps that together are no longer than the
 * stretch they span: LS_ANCHOR_IGNORE inside, LS_ANCHOR_LONG_JOIN on the
 * run's last anchor. Scratch from km. */
void ls_ignore_gap_runs(km_arena *km, const ls_mapopt *opt, int as1, int cnt1, ls128 *a);

/* Waypoint of an anchor: the middle of its seed, or with a homopolymer-
 * compressed index the first base of the homopolymer run its seed ends in.
 * qseq is the query in the anchor's strand (codes). */
void ls_anchor_end_pos(const ls_idx *mi, const uint8_t *qseq, const ls128 *anchor, int32_t *tpos,
                       int32_t *qpos);

/* ---- CIGAR normalisation and statistics ----
 * qseq and tseq are the codes the region's CIGAR covers, both from the
 * alignment's first base (query in the region strand's orientation). */

/* Left-aligns indels between matches, merges adjacent insertion/deletion
 * runs, drops zero-length operations and removes a leading indel, moving the
 * region's start past it; *qshift / *tshift are the bases so removed. A CIGAR
 * of fewer than 2 operations is left alone. */
void ls_fix_cigar(ls_reg *r, const uint8_t *qseq, const uint8_t *tseq, int32_t *qshift, int32_t *tshift);

/* Normalises the CIGAR, then recomputes match_len, block_len, spliced,
 * n_ambiguous and the best local-segment score (max_score, raw_max_score)
 * with the 5 x 5 matrix and the gap penalties q, e (log-scaled gap lengths
 * when log_gaps); rewrites M as =/X when to_eqx. Nothing without r->p. */
void ls_update_extra(ls_reg *r, const uint8_t *qseq, const uint8_t *tseq, const int8_t *matrix, int8_t q,
                     int8_t e, int to_eqx, int log_gaps);

/* Rewrites every M as runs of = (equal codes) and X (different codes); the
 * region's ls_extra may be replaced. */
void ls_cigar_to_eqx(ls_reg *r, const uint8_t *qseq, const uint8_t *tseq);

/* ---- alignment of regions ----
 * One region at a time (extension before the first trusted anchor, DP
 * between anchors, extension after the last, with a z-drop splitting the
 * region where its alignment collapses), and the stage that aligns every
 * region of a query, inserts the pieces that splits produce, tries
 * inversions between split pieces and ranks the result. Options and the
 * index are only read, so threads may align at once, each with its own
 * arena, kernel record, query codes, anchors and regions. */

/* The 5 x 5 substitution matrix of the options (row = target code, column
 * = query code): match on the diagonal of A, C, G, T, minus the mismatch
 * penalty elsewhere, minus the ambiguous-base score in the N row and column,
 * minus the transition penalty for A/G and C/T when one is set apart. */
void ls_align_score_matrix(const ls_mapopt *opt, int8_t mat[25]);

/* Where the score along one gap's CIGAR falls furthest below an earlier
 * maximum. qseq and tseq are the codes of the query and target stretches the
 * CIGAR covers, from their first bases; mat is the 5 x 5 matrix. Returns 2
 * when the drop exceeds zdrop_inversion and the dropped piece aligns well
 * reverse-complemented (never in splice, short-read or single-strand modes),
 * else 1 when it exceeds zdrop, else 0. Scratch from km. */
int ls_zdrop_test(km_arena *km, const ls_mapopt *opt, const uint8_t *qseq, const uint8_t *tseq, int n_cigar,
                  const uint32_t *cigar, const int8_t *mat);

/* Aligns region r base by base. qseq[0] is the query as codes 0..4,
 * qseq[1] its reverse complement; both are briefly reversed in place while
 * an extension runs and restored before the call returns. a holds the
 * query's n_a anchors grouped per region; LS_ANCHOR_IGNORE and
 * LS_ANCHOR_LONG_JOIN may be set in r's anchors. ez is the query's kernel
 * record (its CIGAR array lives in km and is reused). Of splice_flags only
 * LS_F_SPLICE_FWD and LS_F_SPLICE_RC are read.
 *
 * On return r's coordinates are the alignment's and r->p holds its CIGAR and
 * statistics; r->p stays null (and r untouched) when r has no anchor, and
 * null when no kernel call produced an operation. When the alignment
 * collapses inside a gap it ends there and, if enough anchors follow, r2
 * receives them as a new unaligned region (r2->n_anchors is 0 otherwise). */
void ls_align1(km_arena *km, const ls_mapopt *opt, const ls_idx *mi, int qlen, uint8_t *qseq[2], ls_reg *r,
               ls_reg *r2, int n_a, ls128 *a, dpx_extz *ez, int64_t splice_flags);

/* Aligns the query's stretch between r1 (cut by a z-drop) and r2 (its
 * continuation) reverse-complemented against the target between them. On
 * success returns 1 with the inversion in *inv (inverted, no anchors, its
 * own ls_extra that the caller owns); otherwise 0 with *inv zeroed. */
int ls_align_inversion(km_arena *km, const ls_mapopt *opt, const ls_idx *mi, int qlen, uint8_t *qseq[2],
                       const ls_reg *r1, const ls_reg *r2, ls_reg *inv, dpx_extz *ez);

/* Aligns every region of one query (seq: qlen bases as read, any case).
 * regs (system allocator, *n_regs regions, their anchors in a) may be grown
 * with realloc when z-drop splits and inversions add regions: use the
 * returned array. Afterwards the regions that fail the post-alignment limits
 * are dropped, max_score may be recalibrated, and the rest is sorted by
 * score; *n_regs is updated. Every region returned carries an ls_extra.
 * Scratch from km, all returned before the call ends. */
ls_reg *ls_align_regions(km_arena *km, const ls_mapopt *opt, const ls_idx *mi, int qlen, const char *seq,
                         int *n_regs, ls_reg *regs, ls128 *a);

#ifdef __cplusplus
}
#endif

#endif
