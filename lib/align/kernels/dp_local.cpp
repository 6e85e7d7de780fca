/* Striped Smith-Waterman local scoring with affine gaps (SSE2).
 *
 * The query is laid out in stripes: with p lanes per vector and
 * n = ceil(qlen / p) segments, query position k sits in segment k % n, lane
 * k / n. One pass over the segments then handles every dependency inside a
 * lane at once; only vertical gaps that cross from the end of one lane into
 * the next need the correction rounds that follow the pass. Only the best
 * score and its cell are produced, no traceback. */
#include <stdint.h>
#include <string.h>

#include "align/kernels/dp_local.h"
#include "base/diagnostics.h"

namespace {

/* Largest of the eight signed 16-bit lanes. */
inline int hmax_epi16(__m128i v) {
    v = _mm_max_epi16(v, _mm_srli_si128(v, 8));
    v = _mm_max_epi16(v, _mm_srli_si128(v, 4));
    v = _mm_max_epi16(v, _mm_srli_si128(v, 2));
    return (int16_t)_mm_extract_epi16(v, 0);
}

/* One target column of the striped recurrence. h_prev holds the previous
 * column, h_cur receives this one, e_col carries the horizontal gap state
 * from column to column. Returns the column's largest score. */
inline int score_column(const __m128i *S, const __m128i *h_prev, __m128i *h_cur, __m128i *e_col, int n_seg,
                        __m128i v_open_ext, __m128i v_ext) {
    const __m128i zero = _mm_setzero_si128();
    /* The diagonal predecessor of segment 0 lane l is the last segment of
     * lane l - 1; lane 0 starts from the empty-query boundary, 0. */
    __m128i h = _mm_slli_si128(h_prev[n_seg - 1], 2);
    __m128i f = zero, colmax = zero;
    for (int j = 0; j < n_seg; ++j) {
        h = _mm_adds_epi16(h, S[j]);
        h = _mm_max_epi16(h, e_col[j]);
        h = _mm_max_epi16(h, f);
        colmax = _mm_max_epi16(colmax, h);
        h_cur[j] = h;
        __m128i h_open = _mm_subs_epu16(h, v_open_ext);
        e_col[j] = _mm_max_epi16(_mm_subs_epu16(e_col[j], v_ext), h_open);
        f = _mm_max_epi16(_mm_subs_epu16(f, v_ext), h_open);
        h = h_prev[j];
    }
    /* Vertical gaps crossing a lane boundary: carry f into the next lane and
     * sweep again. Each round crosses one more boundary, so 8 rounds cover
     * all lanes; a round ends as soon as no lane's gap can still beat a gap
     * opened at the cell reached. Every score raised here is a gap that came
     * from a higher score of the same column, so colmax is unaffected. The
     * horizontal gap state is not raised: a horizontal gap that would follow
     * such a vertical gap at once scores the same as the horizontal gap taken
     * first and the vertical one after it, which the next columns find. */
    for (int round = 0; round < 8; ++round) {
        f = _mm_slli_si128(f, 2);
        for (int j = 0; j < n_seg; ++j) {
            __m128i hc = h_cur[j];
            /* A raised cell opens gaps the first sweep never saw; with a zero
             * open penalty they tie with f and would otherwise end the round. */
            __m128i raised = _mm_cmpgt_epi16(f, hc);
            hc = _mm_max_epi16(hc, f);
            h_cur[j] = hc;
            __m128i h_open = _mm_subs_epu16(hc, v_open_ext);
            f = _mm_subs_epu16(f, v_ext);
            if (!_mm_movemask_epi8(_mm_or_si128(_mm_cmpgt_epi16(f, h_open), raised)))
                return hmax_epi16(colmax);
        }
    }
    return hmax_epi16(colmax);
}

} // namespace

dpx_profile *dpx_profile_init(km_arena *km, int size, int qlen, const uint8_t *query, int m,
                              const int8_t *matrix) {
    const int p = size > 1 ? 8 : 16;
    if (qlen < 0) qlen = 0;
    const int n_seg = (qlen + p - 1) / p;
    /* 256 bytes of slack cover the alignment of the vectors after the record. */
    size_t bytes = sizeof(dpx_profile) + 256 + (size_t)16 * n_seg * (size_t)(m + 4);
    dpx_profile *prof = static_cast<dpx_profile *>(km_malloc(km, bytes));
    prof->query_len = qlen;
    prof->n_segments = n_seg;
    uintptr_t vec = ((uintptr_t)(prof + 1) + 15) & ~(uintptr_t)15;
    prof->profile = reinterpret_cast<__m128i *>(vec);
    prof->h_prev = prof->profile + (size_t)m * n_seg;
    prof->h_cur = prof->h_prev + n_seg;
    prof->e_col = prof->h_cur + n_seg;
    prof->h_best = prof->e_col + n_seg;

    int lo = 127, hi = 0;
    for (int k = 0; k < m * m; ++k) {
        if (matrix[k] < lo) lo = matrix[k];
        if (matrix[k] > hi) hi = matrix[k];
    }
    prof->max_entry = (uint8_t)hi;
    prof->bias = (uint8_t)(-lo);
    prof->score_range = (uint8_t)(hi + prof->bias);
    prof->lane_bytes = size > 1 ? 2 : 1;

    if (size > 1) {
        int16_t *t = reinterpret_cast<int16_t *>(prof->profile);
        for (int a = 0; a < m; ++a)
            for (int s = 0; s < n_seg; ++s)
                for (int l = 0; l < p; ++l) {
                    int k = s + l * n_seg;
                    int c = k < qlen ? (query[k] < m ? query[k] : m - 1) : -1;
                    *t++ = (int16_t)(c < 0 ? -1 : matrix[a * m + c]);
                }
    } else {
        uint8_t *t = reinterpret_cast<uint8_t *>(prof->profile);
        for (int a = 0; a < m; ++a)
            for (int s = 0; s < n_seg; ++s)
                for (int l = 0; l < p; ++l) {
                    int k = s + l * n_seg;
                    int c = k < qlen ? (query[k] < m ? query[k] : m - 1) : -1;
                    *t++ = (uint8_t)((c < 0 ? -1 : matrix[a * m + c]) + prof->bias);
                }
    }
    return prof;
}

int dpx_local_score_i16(dpx_profile *prof, int tlen, const uint8_t *target, int gap_open, int gap_ext,
                        int *q_end, int *t_end) {
    LS_ASSERT(prof->lane_bytes == 2);
    *q_end = *t_end = -1;
    const int n_seg = prof->n_segments;
    if (tlen <= 0 || n_seg == 0) return 0;
    /* The profile has as many symbols as the vectors before h_prev hold (the
     * record's pointers never move: the columns are swapped locally). */
    const int m = (int)((prof->h_prev - prof->profile) / n_seg);
    __m128i *h_prev = prof->h_prev, *h_cur = prof->h_cur, *e_col = prof->e_col, *h_best = prof->h_best;
    memset(e_col, 0, (size_t)n_seg * sizeof(__m128i));
    memset(h_prev, 0, (size_t)n_seg * sizeof(__m128i));
    memset(h_best, 0, (size_t)n_seg * sizeof(__m128i));
    const __m128i v_open_ext = _mm_set1_epi16((int16_t)(gap_open + gap_ext));
    const __m128i v_ext = _mm_set1_epi16((int16_t)gap_ext);

    int best = 0, t_best = -1;
    for (int i = 0; i < tlen; ++i) {
        int c = target[i] < m ? target[i] : m - 1;
        int colmax =
            score_column(prof->profile + (size_t)c * n_seg, h_prev, h_cur, e_col, n_seg, v_open_ext, v_ext);
        if (colmax >= best) { /* ties move the end to the later column */
            best = colmax, t_best = i;
            memcpy(h_best, h_cur, (size_t)n_seg * sizeof(__m128i));
        }
        __m128i *tmp = h_prev;
        h_prev = h_cur, h_cur = tmp;
    }
    if (best == 0) return 0; /* no cell scored: there is no best cell */

    /* The last entry equal to best in memory order names the query end;
     * padding lanes past the query are not positions. */
    const int16_t *hb = reinterpret_cast<const int16_t *>(h_best);
    int q_best = -1;
    for (int n = 0; n < 8 * n_seg; ++n)
        if (hb[n] == best) {
            int k = n / 8 + (n % 8) * n_seg;
            if (k < prof->query_len) q_best = k;
        }
    *q_end = q_best, *t_end = t_best;
    return best;
}
