/* Striped Smith-Waterman local scoring with affine gaps: the score-only
 * kernel that the aligner asks whether a dropped piece aligns
 * reverse-complemented, where an inversion starts, or whether a weak end
 * anchor really aligns. */
#ifndef LODESTAR_ALIGN_KERNELS_DP_LOCAL_H
#define LODESTAR_ALIGN_KERNELS_DP_LOCAL_H

#include <stdint.h>

#include "align/kernels/simd.h"

#include "base/arena.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Striped query profile of the local kernel and its column buffers, all in
 * one arena block; release it with a single kfree on the arena it came from.
 * Query position k sits in segment k % n_segments, lane k / n_segments. */
typedef struct {
    int32_t query_len;
    int32_t n_segments;                       /* ceil(query_len / lanes per vector) */
    uint8_t bias;                             /* -(smallest matrix entry), modulo 256 (8-bit lanes) */
    uint8_t score_range;                      /* largest minus smallest entry, modulo 256 */
    uint8_t max_entry;                        /* largest entry, at least 0 */
    uint8_t lane_bytes;                       /* 1: 16 lanes of 8 bits; 2: 8 lanes of 16 bits */
    __m128i *profile;                         /* m x n_segments vectors: symbol, then segment */
    __m128i *h_prev, *h_cur, *e_col, *h_best; /* n_segments vectors each */
} dpx_profile;

/* Builds the striped profile of query[0..qlen) (codes 0 .. m-1; a larger code
 * counts as the wildcard m - 1) under the m x m matrix (row = target code).
 * size > 1 selects 8 lanes of 16 bits, otherwise 16 lanes of 8 bits with
 * the bias added. Padding lanes past the query hold -1. Never null. */
dpx_profile *dpx_profile_init(km_arena *km, int size, int qlen, const uint8_t *query, int m,
                              const int8_t *matrix);

/* Best Smith-Waterman score of the profile's query against target[0..tlen)
 * with affine gaps (a gap of length l costs gap_open + l * gap_ext); scores
 * saturate at 32767. *t_end is the last target position whose column holds
 * the best score; *q_end the query position of the best cell in that column
 * that comes last in the striped memory order. Both are -1 when no cell
 * scores above 0 (the result is then 0). Needs a 16-bit profile. */
int dpx_local_score_i16(dpx_profile *prof, int tlen, const uint8_t *target, int gap_open, int gap_ext,
                        int *q_end, int *t_end);

#ifdef __cplusplus
}
#endif

#endif
