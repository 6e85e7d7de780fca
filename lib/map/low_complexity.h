/* Low-complexity masking: finds the stretches of a sequence made of simple
 * repeats (poly-A, short tandem repeats) so that the mapper can drop the
 * minimizers lying in them. A window of W bases slides along the sequence;
 * its overlapping 3-base words are counted, and a stretch scores by how
 * often its words repeat. Every stretch whose score exceeds the threshold
 * and is not beaten by a stretch it contains is kept, and the union of all
 * of them is reported as ascending, disjoint half-open intervals.
 *
 * A scan buffer and everything it holds lives in one arena; a buffer has no
 * lock, so each thread uses its own. */
#ifndef LODESTAR_MAP_LOW_COMPLEXITY_H
#define LODESTAR_MAP_LOW_COMPLEXITY_H

#include <stdint.h>

#include "base/arena.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Ring buffer of 32-bit integers; the capacity is a power of two, mask is
 * capacity - 1, items are a[(front + i) & mask] for i < count. */
typedef struct {
    uint32_t front, count, mask;
    int32_t *a;
} ls_int_deque;

/* A candidate stretch [start, finish) of the current window, with its
 * repeat count r (sum over words of c(c - 1) / 2) and l, its number of
 * words minus one: its score is r / l. */
typedef struct {
    int32_t start, finish;
    int32_t r, l;
} ls_dust_interval;

/* Scan state reused across calls: the words of the window, the candidate
 * stretches (by descending start, equal starts by ascending finish) and the
 * result list (start << 32 | finish). All of it, and the record, are in km. */
typedef struct {
    ls_int_deque w;
    int32_t n_p, m_p;
    ls_dust_interval *p;
    int32_t n_res, m_res;
    uint64_t *res;
    km_arena *km;
} ls_dust_buf;

/* A new, empty buffer in km (null km: the system allocator). */
ls_dust_buf *ls_dust_buf_init(km_arena *km);
/* Returns the buffer and everything in it to its arena; null does nothing. */
void ls_dust_buf_destroy(ls_dust_buf *buf);

/* Low-complexity intervals of seq[0, len) (len < 0: seq ends at its zero
 * byte) with score threshold T (in tenths: a stretch is low-complexity when
 * 10 * r > T * l) and window W bases. Bytes other than A, C, G, T and U (any
 * case) break the sequence into independently scanned pieces. Returns the
 * *n intervals start << 32 | finish, ascending and disjoint; the list is
 * owned by buf and valid until its next use. A window under 3 bases holds
 * no word and gives no interval; a window above 65536 bases is scanned as
 * 65536, which keeps every repeat count within 32 bits. */
const uint64_t *ls_dust_core(const char *seq, int len, int T, int W, int *n, ls_dust_buf *buf);

/* ls_dust_core with a private buffer. The list is the caller's, in km (free
 * it with kfree); null when *n is 0. */
uint64_t *ls_dust(km_arena *km, const char *seq, int len, int T, int W, int *n);

#ifdef __cplusplus
}
#endif

#endif
