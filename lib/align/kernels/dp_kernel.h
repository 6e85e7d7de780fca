/* Banded dynamic-programming kernels for base-level alignment.
 *
 * A kernel aligns a query stretch against a target stretch, both anchored at
 * their first bases, sweeping the matrix anti-diagonal by anti-diagonal inside
 * a band. Cell scores are kept as 8-bit differences between
 * neighbouring cells so that 16 cells fit one 128-bit vector; a 32-bit row
 * recovers the absolute scores where the best cell, the z-drop rule and the
 * end scores need them.
 *
 * This header owns the result record `dpx_extz`, the flag bits, and the steps
 * every kernel runs the same way: the band of an anti-diagonal, the tracking
 * of best scores, the z-drop test, the scratch of a sweep, the choice of the
 * backtrack's start cell and the backtrack over the direction matrix. The
 * helpers are `static inline` so that a kernel compiled again for a wider
 * instruction set gets its own copies and shares no code with the baseline
 * build.
 *
 * All scratch memory and the CIGAR come from the caller's arena (null = the
 * system allocator). A kernel keeps no global state: threads may run kernels
 * concurrently, each with its own arena and record. */
#ifndef LODESTAR_ALIGN_KERNELS_DP_KERNEL_H
#define LODESTAR_ALIGN_KERNELS_DP_KERNEL_H

#include <stddef.h>
#include <stdint.h>

#include "align/kernels/simd.h"

#include "base/arena.h"
#include "base/diagnostics.h"

#define DPX_EZ_NO_PATH        0x01   /* score only: no direction matrix, no CIGAR */
#define DPX_EZ_GAPS_RIGHT     0x02   /* ties go to the later state: right-aligned gaps */
#define DPX_EZ_FULL_MATRIX    0x04   /* substitution scores from the whole matrix */
#define DPX_EZ_FAST_MAX       0x08   /* follow one greedy path instead of the 32-bit row */
#define DPX_EZ_FAST_DROP      0x10   /* with FAST_MAX: best score and z-drop on that path */
#define DPX_EZ_EXTEND_ONLY    0x40   /* extension: need not reach the end cell */
#define DPX_EZ_CIGAR_REVERSED 0x80   /* leave the CIGAR last operation first */
#define DPX_EZ_SPLICE_FOR     0x100  /* splice kernel: GT-AG site model */
#define DPX_EZ_SPLICE_REV     0x200  /* splice kernel: CT-AC site model */
#define DPX_EZ_SPLICE_CONTEXT 0x400  /* splice kernel: site context penalty */
#define DPX_EZ_SPLICE_GRADED  0x800  /* splice kernel: graded site penalties */
#define DPX_EZ_SITE_SCORES    0x1000 /* splice kernel: junction array holds site scores */

/* -2^30: far below any reachable score, and still far from overflow when a
 * bonus or a difference is added to it. */
#define DPX_SCORE_UNSET (-1073741824)

/* Result of one kernel call; the caller owns it and may reuse it for many
 * calls with the same arena (the CIGAR array and its capacity persist). */
typedef struct {
    uint32_t best_score : 31, dropped : 1; /* best positive score; sweep stopped early */
    int32_t best_qpos, best_tpos;          /* cell of best_score, -1 when none */
    int32_t qend_best, qend_tpos;          /* best score on the last query position */
    int32_t tend_best, tend_qpos;          /* best score on the last target position */
    int32_t score;                         /* score of the end cell (global score) */
    int32_t cigar_cap, n_cigar;
    int32_t reached_end; /* the extension was taken to the query end */
    uint32_t *cigar;     /* length << 4 | op, from the caller's arena; free with kfree */
} dpx_extz;

#ifdef __cplusplus
extern "C" {
#endif

/* Aligns query[0..qlen) against target[0..tlen) with one affine gap model
 * (a gap of length l costs q + l*e) inside a band of half-width bw (negative:
 * unlimited). Codes are 0 .. n_symbols-1, the last one the wildcard; matrix is
 * n_symbols x n_symbols, row = target code. zdrop < 0 never drops. Results,
 * including the CIGAR unless DPX_EZ_NO_PATH, are left in ez; bad arguments
 * leave a cleared record. */
void dpx_extz2(km_arena *km, int qlen, const uint8_t *query, int tlen, const uint8_t *target,
               int8_t n_symbols, const int8_t *matrix, int8_t q, int8_t e, int bw, int zdrop, int end_bonus,
               int flag, dpx_extz *ez);

/* As dpx_extz2 with two affine gap models, of which the cheaper applies:
 * a gap of length l costs min(q + l*e, q2 + l*e2). */
void dpx_extd2(km_arena *km, int qlen, const uint8_t *query, int tlen, const uint8_t *target,
               int8_t n_symbols, const int8_t *matrix, int8_t q, int8_t e, int8_t q2, int8_t e2, int bw,
               int zdrop, int end_bonus, int flag, dpx_extz *ez);

typedef void (*dpx_extz2_fn)(km_arena *, int, const uint8_t *, int, const uint8_t *, int8_t, const int8_t *,
                             int8_t, int8_t, int, int, int, int, dpx_extz *);
typedef void (*dpx_extd2_fn)(km_arena *, int, const uint8_t *, int, const uint8_t *, int8_t, const int8_t *,
                             int8_t, int8_t, int8_t, int8_t, int, int, int, int, dpx_extz *);
typedef void (*dpx_exts2_fn)(km_arena *, int, const uint8_t *, int, const uint8_t *, int8_t, const int8_t *,
                             int8_t, int8_t, int8_t, int8_t, int, int, int8_t, int8_t, int, const uint8_t *,
                             dpx_extz *);

/* Splice-aware kernel: affine gaps plus an intron state with splice-site
 * scores; no band. */
void dpx_exts2(km_arena *km, int qlen, const uint8_t *query, int tlen, const uint8_t *target,
               int8_t n_symbols, const int8_t *matrix, int8_t q, int8_t e, int8_t q2, int8_t noncan_pen,
               int zdrop, int end_bonus, int8_t junction_bonus, int8_t junction_penalty, int flag,
               const uint8_t *junction_marks, dpx_extz *ez);

/* Backtrack from cell (i0, j0) (target index, query index) over the direction
 * matrix: one byte per computed cell, row r = i + j holding target positions
 * row_start[r] .. row_end[r] at row r * row_bytes. Replaces the operations of
 * *cigar (the array and its capacity are reused, grown in km). State 3 and
 * leading target overhangs of at least min_intron_len + 1 bases become N when
 * min_intron_len > 0, D otherwise. Unless keep_reversed, the CIGAR runs from
 * the first bases to the start cell; it covers target[0..i0] and
 * query[0..j0] exactly. */
void dpx_trace_path(km_arena *km, int keep_reversed, int min_intron_len, const uint8_t *directions,
                    const int32_t *row_start, const int32_t *row_end, int row_bytes, int i0, int j0,
                    int *cigar_cap, int *n_cigar, uint32_t **cigar);

/* Whether the kernels may use AVX2, and AVX-512 (BW, VL): the CPU (and the
 * system) have it and the environment variable LODESTAR_DISABLE_CPU_FEATURES
 * (a comma-separated list) does not switch it off: "avx512" leaves AVX2 the
 * widest, "avx2" forces the SSE2 baseline. Decided once per process. */
int dpx_cpu_avx2(void);
int dpx_cpu_avx512(void);
/* The instruction set the extension kernels run with: "avx512" or "avx2"
 * when that variant was built and the CPU may use it, else "sse2". */
const char *dpx_kernel_isa(void);

#ifdef __cplusplus
}
#endif

/* Sets every field to its value before any work; the CIGAR array and its
 * capacity are kept. */
static inline void dpx_extz_clear(dpx_extz *ez) {
    ez->best_score = 0;
    ez->dropped = 0;
    ez->best_qpos = ez->best_tpos = -1;
    ez->qend_best = ez->tend_best = DPX_SCORE_UNSET;
    ez->qend_tpos = ez->tend_qpos = -1;
    ez->score = DPX_SCORE_UNSET;
    ez->n_cigar = 0;
    ez->reached_end = 0;
}

/* Appends len bases of op, lengthening the last operation when it has the
 * same code. Returns the array, which may have moved. */
static inline uint32_t *dpx_cigar_push(km_arena *km, int *n_cigar, int *cigar_cap, uint32_t *cigar,
                                       uint32_t op, int len) {
    if (*n_cigar == 0 || op != (cigar[*n_cigar - 1] & 0xf)) {
        if (*n_cigar == *cigar_cap) {
            *cigar_cap = *cigar_cap ? *cigar_cap << 1 : 4;
            cigar = (uint32_t *)km_realloc(km, cigar, (size_t)*cigar_cap * sizeof(uint32_t));
            LS_ASSERT(cigar != NULL);
        }
        cigar[(*n_cigar)++] = (uint32_t)len << 4 | op;
    } else {
        cigar[*n_cigar - 1] += (uint32_t)len << 4;
    }
    return cigar;
}

/* Best-score update and z-drop test for score H at target position t of
 * anti-diagonal r. A later cell is dropped only when it lies below and to the
 * right of the best cell and trails it by more than zdrop plus gap_e per base
 * of diagonal shift. Returns 1 (and sets dropped) when the sweep must stop. */
static inline int dpx_zdrop_check(dpx_extz *ez, int32_t H, int r, int t, int32_t zdrop, int32_t gap_e) {
    if (H > (int32_t)ez->best_score) {
        ez->best_score = (uint32_t)H;
        ez->best_tpos = t;
        ez->best_qpos = r - t;
    } else if (t >= ez->best_tpos && r - t >= ez->best_qpos && zdrop >= 0) {
        int64_t tl = t - ez->best_tpos, ql = (r - t) - ez->best_qpos;
        int64_t shift = tl > ql ? tl - ql : ql - tl;
        if ((int64_t)ez->best_score - H > (int64_t)zdrop + (int64_t)gap_e * shift) {
            ez->dropped = 1;
            return 1;
        }
    }
    return 0;
}

/* The lowest substitution score of the m x m matrix apart from matrix[0],
 * and 0 when none is negative. A kernel refuses a matrix whose lowest score
 * falls below -2(q+e): its 8-bit differences would no longer fit. */
static inline int dpx_min_score(const int8_t *matrix, int m) {
    int min_sc = 0;
    for (int k = 1; k < m * m; ++k) min_sc = matrix[k] < min_sc ? matrix[k] : min_sc;
    return min_sc;
}

/* A value stored with the offset of 128: the signed order of x is the
 * unsigned order of the stored byte. */
static inline uint8_t dpx_biased(int x) {
    return (uint8_t)(x + 128);
}

/* Copies the target to sf and the query, reversed, to qr; codes beyond the
 * alphabet of m symbols are read as the wildcard m - 1. */
static inline void dpx_load_codes(uint8_t *sf, uint8_t *qr, const uint8_t *target, int tlen,
                                  const uint8_t *query, int qlen, int m) {
    for (int t = 0; t < tlen; ++t) sf[t] = target[t] < m ? target[t] : (uint8_t)(m - 1);
    for (int t = 0; t < qlen; ++t) qr[t] = query[qlen - 1 - t] < m ? query[qlen - 1 - t] : (uint8_t)(m - 1);
}

/* Number of 16-cell blocks a direction-matrix row must hold when at most
 * `width` cells of an anti-diagonal are in band: an unaligned run of width
 * cells touches ceil(width / 16) + 1 blocks at most. */
static inline int dpx_n_blocks(int64_t width) {
    return (int)((width + 15) / 16 + 1);
}

/* In-band cells [*st0, *en0] of anti-diagonal r: inside the matrix and
 * |i - j| <= bw. Empty (st0 > en0) once the band has left the matrix. */
static inline void dpx_band(int r, int qlen, int tlen, int bw, int *st0, int *en0) {
    int64_t st = 0, en = r;
    if (st < (int64_t)r - qlen + 1) st = (int64_t)r - qlen + 1;
    if (st < ((int64_t)r - bw + 1) >> 1) st = ((int64_t)r - bw + 1) >> 1; /* >> 1 floors */
    if (en > tlen - 1) en = tlen - 1;
    if (en > ((int64_t)r + bw) >> 1) en = ((int64_t)r + bw) >> 1;
    *st0 = (int)st, *en0 = (int)en;
}

/* A stored score difference as an integer: a signed byte (off 0), or an
 * unsigned byte holding the difference plus off. */
static inline int32_t dpx_diff(uint8_t b, int off) {
    return off ? (int32_t)b - off : (int32_t)(int8_t)b;
}

/* The 16 differences in b as four vectors of 32-bit lanes (bytes 4k .. 4k+3
 * go to w[k]): each byte, first xor-ed with flip, is read as unsigned minus
 * off. A signed byte is the unsigned byte with its top bit flipped, minus 128,
 * so both storage forms take this one path. */
static inline void dpx_diff_widen16(__m128i b, __m128i flip, __m128i off4, __m128i w[4]) {
    const __m128i zero = _mm_setzero_si128();
    b = _mm_xor_si128(b, flip);
    __m128i lo = _mm_unpacklo_epi8(b, zero), hi = _mm_unpackhi_epi8(b, zero);
    w[0] = _mm_sub_epi32(_mm_unpacklo_epi16(lo, zero), off4);
    w[1] = _mm_sub_epi32(_mm_unpackhi_epi16(lo, zero), off4);
    w[2] = _mm_sub_epi32(_mm_unpacklo_epi16(hi, zero), off4);
    w[3] = _mm_sub_epi32(_mm_unpackhi_epi16(hi, zero), off4);
}

/* H[t..t+3] += d; *lane_max keeps the per-lane maximum. */
static inline void dpx_add_and_max4(int32_t *H, int t, __m128i d, __m128i *lane_max) {
    __m128i h = _mm_add_epi32(_mm_loadu_si128((const __m128i *)(H + t)), d);
    _mm_storeu_si128((__m128i *)(H + t), h);
#ifdef __SSE4_1__
    *lane_max = _mm_max_epi32(*lane_max, h);
#else
    __m128i gt = _mm_cmpgt_epi32(h, *lane_max);
    *lane_max = _mm_or_si128(_mm_and_si128(gt, h), _mm_andnot_si128(gt, *lane_max));
#endif
}

/* Brings H to anti-diagonal r > 0 and finds its maximum. The order of
 * preference, a later candidate winning only when strictly greater: the last
 * cell en0; then st0 .. en1-1 (en1 = st0 + 4*floor((en0-st0)/4)) in four
 * interleaved lanes, lane k holding st0+k, st0+k+4, ..., lanes in order, each
 * in increasing t; then en1 .. en0-1. The lanes keep only their maxima; the
 * winning cell of a lane is its first cell with the lane's maximum, found by a
 * second look once the winning lane is known. */
static inline void dpx_update_row(int32_t *H, const uint8_t *u, const uint8_t *v, int off, int st0, int en0,
                                  int32_t *max_H, int32_t *max_t) {
    /* the last cell is new on this anti-diagonal: reach it from above */
    H[en0] = en0 > 0 ? H[en0 - 1] + dpx_diff(u[en0], off) : H[0] + dpx_diff(v[0], off);
    int32_t best = H[en0], best_t = en0;
    const int en1 = st0 + (en0 - st0) / 4 * 4;
    int t = st0;
    if (en1 > st0) {
        const __m128i flip = _mm_set1_epi8(off ? 0 : (char)0x80), off4 = _mm_set1_epi32(off ? off : 128);
        __m128i lane_max = _mm_set1_epi32(best), w[4];
#ifdef __AVX2__
        /* eight lanes: lanes k and k+4 both belong to lane k of four */
        __m256i lane_max8 = _mm256_set1_epi32(best);
        const __m256i off8 = _mm256_set1_epi32(off ? off : 128);
        for (; t + 8 <= en1; t += 8) {
            __m128i b8 = _mm_xor_si128(_mm_loadl_epi64((const __m128i *)(v + t)), flip);
            __m256i d = _mm256_sub_epi32(_mm256_cvtepu8_epi32(b8), off8);
            __m256i h = _mm256_add_epi32(_mm256_loadu_si256((const __m256i *)(H + t)), d);
            _mm256_storeu_si256((__m256i *)(H + t), h);
            lane_max8 = _mm256_max_epi32(lane_max8, h);
        }
        lane_max = _mm_max_epi32(_mm256_castsi256_si128(lane_max8), _mm256_extracti128_si256(lane_max8, 1));
#endif
        for (; t + 16 <= en1; t += 16) {
            dpx_diff_widen16(_mm_loadu_si128((const __m128i *)(v + t)), flip, off4, w);
            for (int k = 0; k < 4; ++k) dpx_add_and_max4(H, t + 4 * k, w[k], &lane_max);
        }
        for (; t < en1; t += 4) {
            int32_t b4;
            __builtin_memcpy(&b4, v + t, 4);
            dpx_diff_widen16(_mm_cvtsi32_si128(b4), flip, off4, w);
            dpx_add_and_max4(H, t, w[0], &lane_max);
        }
        int32_t lm[4];
        _mm_storeu_si128((__m128i *)lm, lane_max);
        int lane = -1;
        for (int k = 0; k < 4; ++k)
            if (lm[k] > best) best = lm[k], lane = k;
        if (lane >= 0) {
            best_t = st0 + lane;
            while (H[best_t] != best) best_t += 4;
        }
    }
    for (; t < en0; ++t) {
        H[t] += dpx_diff(v[t], off);
        if (H[t] > best) best = H[t], best_t = t;
    }
    *max_H = best, *max_t = best_t;
}

/* Exact score tracking of anti-diagonal r (in-band cells st0..en0, the U and V
 * differences as stored by the kernel, h00 = H(0,0) for r = 0): brings the
 * 32-bit row H to this anti-diagonal, updates the end scores, runs the z-drop
 * test and records the global score on the last anti-diagonal. Returns 1 to
 * stop the sweep. */
static inline int dpx_track_exact(dpx_extz *ez, int32_t *H, const uint8_t *u, const uint8_t *v, int off,
                                  int r, int st0, int en0, int qlen, int tlen, int32_t h00, int zdrop,
                                  int gap_e) {
    int32_t max_H, max_t;
    if (r > 0) {
        dpx_update_row(H, u, v, off, st0, en0, &max_H, &max_t);
    } else {
        H[0] = h00;
        max_H = H[0], max_t = 0;
    }
    if (en0 == tlen - 1 && H[en0] > ez->tend_best) ez->tend_best = H[en0], ez->tend_qpos = r - en0;
    if (r - st0 == qlen - 1 && H[st0] > ez->qend_best) ez->qend_best = H[st0], ez->qend_tpos = st0;
    if (dpx_zdrop_check(ez, max_H, r, max_t, zdrop, gap_e)) return 1;
    if (r == qlen + tlen - 2 && en0 == tlen - 1) ez->score = H[tlen - 1];
    return 0;
}

/* Fast score tracking: one greedy path through the anti-diagonals, *H0 being
 * the score of its cell *t0. Stepping down (to t0 + 1) wins ties. Returns 1 to
 * stop (z-drop, only with DPX_EZ_FAST_DROP). */
static inline int dpx_track_fast(dpx_extz *ez, int32_t *H0, int32_t *t0, const uint8_t *u, const uint8_t *v,
                                 int off, int r, int st0, int en0, int qlen, int tlen, int32_t h00, int zdrop,
                                 int gap_e, int flag) {
    if (r > 0) {
        if (*t0 < st0 || *t0 > en0) {
            ++*t0;
            *H0 += dpx_diff(u[*t0], off);
        } else if (*t0 < en0) {
            int32_t d0 = dpx_diff(v[*t0], off), d1 = dpx_diff(u[*t0 + 1], off);
            if (d0 > d1) {
                *H0 += d0;
            } else {
                *H0 += d1;
                ++*t0;
            }
        } else {
            *H0 += dpx_diff(v[*t0], off);
        }
    } else {
        *H0 = h00, *t0 = 0;
    }
    if ((flag & DPX_EZ_FAST_DROP) && dpx_zdrop_check(ez, *H0, r, *t0, zdrop, gap_e)) return 1;
    if (r == qlen + tlen - 2 && en0 == tlen - 1) ez->score = *H0;
    return 0;
}

/* After the sweep: picks the cell the backtrack starts from (the end cell for
 * a global alignment; for an extension the query end when its score plus the
 * bonus beats the best cell, else the best cell) and runs the backtrack. */
static inline void dpx_backtrack(km_arena *km, dpx_extz *ez, int flag, int min_intron_len,
                                 const uint8_t *directions, const int32_t *row_start, const int32_t *row_end,
                                 int row_bytes, int qlen, int tlen, int end_bonus) {
    int i0, j0;
    if (!ez->dropped && !(flag & DPX_EZ_EXTEND_ONLY)) {
        i0 = tlen - 1, j0 = qlen - 1;
    } else if (!ez->dropped && (int64_t)ez->qend_best + end_bonus > (int64_t)ez->best_score) {
        ez->reached_end = 1;
        i0 = ez->qend_tpos, j0 = qlen - 1;
    } else if (ez->best_tpos >= 0 && ez->best_qpos >= 0) {
        i0 = ez->best_tpos, j0 = ez->best_qpos;
    } else {
        return;
    }
    dpx_trace_path(km, (flag & DPX_EZ_CIGAR_REVERSED) != 0, min_intron_len, directions, row_start, row_end,
                   row_bytes, i0, j0, &ez->cigar_cap, &ez->n_cigar, &ez->cigar);
}

/* The scratch of one sweep besides a kernel's difference arrays: the 32-bit
 * score row of exact tracking (T entries, DPX_SCORE_UNSET to start), and with
 * a path the direction matrix, row_bytes per anti-diagonal from a 16-byte
 * boundary, with the target positions row_start[r] .. row_end[r] each row
 * holds. A part not asked for stays null. */
typedef struct {
    int32_t *H;
    uint8_t *dir, *dir_mem; /* dir: dir_mem rounded up to 16 bytes */
    int32_t *row_start, *row_end;
    size_t row_bytes;
} dpx_scratch;

static inline void dpx_scratch_alloc(km_arena *km, dpx_scratch *w, int exact, int with_path, size_t T,
                                     int n_col_, int qlen, int tlen) {
    const int n_rows = qlen + tlen - 1;
    w->H = NULL;
    w->dir = w->dir_mem = NULL;
    w->row_start = w->row_end = NULL;
    w->row_bytes = (size_t)n_col_ * 16;
    if (exact) {
        w->H = (int32_t *)km_malloc(km, T * sizeof(int32_t));
        LS_ASSERT(w->H != NULL);
        for (size_t t = 0; t < T; ++t) w->H[t] = DPX_SCORE_UNSET;
    }
    if (with_path) {
        w->dir_mem = (uint8_t *)km_malloc(km, w->row_bytes * n_rows + 16);
        w->dir = (uint8_t *)(((size_t)w->dir_mem + 15) >> 4 << 4);
        w->row_start = (int32_t *)km_malloc(km, (size_t)n_rows * 2 * sizeof(int32_t));
        LS_ASSERT(w->dir_mem != NULL && w->row_start != NULL);
        w->row_end = w->row_start + n_rows;
    }
}

/* Releases the score row, backtracks over the direction matrix when there is
 * one (dpx_backtrack, no introns), then releases the matrix. */
static inline void dpx_scratch_finish(km_arena *km, dpx_scratch *w, dpx_extz *ez, int flag, int qlen,
                                      int tlen, int end_bonus) {
    kfree(km, w->H);
    if (w->dir_mem) {
        dpx_backtrack(km, ez, flag, 0, w->dir, w->row_start, w->row_end, (int)w->row_bytes, qlen, tlen,
                      end_bonus);
        kfree(km, w->dir_mem);
        kfree(km, w->row_start);
    }
}

#ifdef __cplusplus
/* The widest build of a kernel this CPU may run; the entry of a wider build
 * is null when its source was compiled without that instruction set. */
template <typename F> static inline F dpx_pick(F avx512, F avx2, F sse2) {
    return avx512 && dpx_cpu_avx512() ? avx512 : avx2 && dpx_cpu_avx2() ? avx2 : sse2;
}

/* Defines the entry point of a kernel's build for one instruction set: the
 * kernel, or null where the source was compiled without that set. */
#define DPX_VARIANT_ENTRY(ns, type, entry, value)                                                            \
    namespace ns {                                                                                           \
    extern const type entry;                                                                                 \
    const type entry = value;                                                                                \
    }

/* Byte-vector operations behind one name for 16 and 32 lanes, so that a kernel
 * writes its block once and runs it at either width. The anonymous namespace
 * keeps every copy private to the source that uses it. */
namespace {
struct DpxV128 {
    typedef __m128i V;
    static inline V load(const uint8_t *p) { return _mm_loadu_si128((const __m128i *)p); }
    static inline void store(uint8_t *p, V a) { _mm_storeu_si128((__m128i *)p, a); }
    static inline V set1(int x) { return _mm_set1_epi8((char)x); }
    static inline V add(V a, V b) { return _mm_add_epi8(a, b); }
    static inline V sub(V a, V b) { return _mm_sub_epi8(a, b); }
    static inline V max_u(V a, V b) { return _mm_max_epu8(a, b); }
    static inline V min_u(V a, V b) { return _mm_min_epu8(a, b); }
    static inline V eq(V a, V b) { return _mm_cmpeq_epi8(a, b); }
    static inline V gt(V a, V b) { return _mm_cmpgt_epi8(a, b); }
    static inline V and_(V a, V b) { return _mm_and_si128(a, b); }
    static inline V andnot(V a, V b) { return _mm_andnot_si128(a, b); } /* ~a & b */
    static inline V or_(V a, V b) { return _mm_or_si128(a, b); }
    static inline V xor_(V a, V b) { return _mm_xor_si128(a, b); }
    static inline V select(V mask, V a, V b) { return or_(and_(mask, a), andnot(mask, b)); }
};
#ifdef __AVX2__
struct DpxV256 {
    typedef __m256i V;
    static inline V load(const uint8_t *p) { return _mm256_loadu_si256((const __m256i *)p); }
    static inline void store(uint8_t *p, V a) { _mm256_storeu_si256((__m256i *)p, a); }
    static inline V set1(int x) { return _mm256_set1_epi8((char)x); }
    static inline V add(V a, V b) { return _mm256_add_epi8(a, b); }
    static inline V sub(V a, V b) { return _mm256_sub_epi8(a, b); }
    static inline V max_u(V a, V b) { return _mm256_max_epu8(a, b); }
    static inline V min_u(V a, V b) { return _mm256_min_epu8(a, b); }
    static inline V eq(V a, V b) { return _mm256_cmpeq_epi8(a, b); }
    static inline V gt(V a, V b) { return _mm256_cmpgt_epi8(a, b); }
    static inline V and_(V a, V b) { return _mm256_and_si256(a, b); }
    static inline V andnot(V a, V b) { return _mm256_andnot_si256(a, b); }
    static inline V or_(V a, V b) { return _mm256_or_si256(a, b); }
    static inline V xor_(V a, V b) { return _mm256_xor_si256(a, b); }
    static inline V select(V mask, V a, V b) { return _mm256_blendv_epi8(b, a, mask); }
};
#endif
} // namespace
#endif

#endif
