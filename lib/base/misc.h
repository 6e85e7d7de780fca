/* Runtime support shared by every module: the always-on assertion, the
 * message forms, the checked output routines and the timing helpers (the
 * latter declared in the public header). The sorting routines live here too. */
#ifndef LODESTAR_MISC_H
#define LODESTAR_MISC_H

#include <stdio.h>
#include <stdint.h>

#include "lodestar.h"

/* Internal invariants hold for any consistent input, so a failure is a bug:
 * the check stays on in release builds (NDEBUG does not remove it). */
#define LS_ASSERT(cond) ((cond) ? (void)0 : ls_assert_fail(#cond, __func__, __FILE__, __LINE__))

#ifdef __cplusplus
extern "C" {
#endif

/* Prints the failed condition's text, the function and the source file to
 * standard error and aborts. */
[[noreturn]] void ls_assert_fail(const char *cond, const char *func, const char *file, int line);

/* Writes text and a newline to standard output. Returns 0, or -1 when the
 * stream refused it (errno tells why); prints nothing, so that the caller
 * reports the failure once. */
int ls_checked_puts(const char *text);

/* ---- sorting ----
 * One in-place most-significant-digit radix sort serves every record type
 * that is sorted by an unsigned integer key. Each instance has three
 * routines, all ascending by key over the half-open range [beg, end):
 *   ls_sort_NAME(beg, end)                the entry: ranges of at most 64
 *       records are insertion-sorted, longer ones go to rs_sort_NAME with 8
 *       bits per pass, starting from the key's top 8 bits;
 *   rs_sort_NAME(beg, end, n_bits, s)     one distribution pass on key bits
 *       s .. s + n_bits - 1, then recursion into each bucket; n_bits is 1 to
 *       RS_MAX_BITS and s is 0 to 63;
 *   rs_insertsort_NAME(beg, end)          insertion sort; keeps the input
 *       order of equal keys.
 * The radix passes do not keep the order of equal keys. None of them
 * allocates: the bucket table lives on the stack (256 entries per level). */

/* At most 8 key bits per pass: 256 buckets. */
#define RS_MAX_BITS 8

/* ls128 by x. */
void ls_sort_128x(ls128 *beg, ls128 *end);
void rs_sort_128x(ls128 *beg, ls128 *end, int n_bits, int s);
void rs_insertsort_128x(ls128 *beg, ls128 *end);

/* Plain unsigned 64-bit values. */
void ls_sort_64(uint64_t *beg, uint64_t *end);
void rs_sort_64(uint64_t *beg, uint64_t *end, int n_bits, int s);
void rs_insertsort_64(uint64_t *beg, uint64_t *end);

/* Mate-pairing records (pe.h) by their key. */
struct ls_pair_rec;
void ls_sort_pair(struct ls_pair_rec *beg, struct ls_pair_rec *end);
void rs_sort_pair(struct ls_pair_rec *beg, struct ls_pair_rec *end, int n_bits, int s);
void rs_insertsort_pair(struct ls_pair_rec *beg, struct ls_pair_rec *end);

/* Annotation intervals by start (bed) and by end (end), splice-jump records
 * by off (jj) and by off2 (jj2); the keys are non-negative positions. */
void ls_sort_bed(ls_idx_intv *beg, ls_idx_intv *end);
void rs_sort_bed(ls_idx_intv *beg, ls_idx_intv *end, int n_bits, int s);
void rs_insertsort_bed(ls_idx_intv *beg, ls_idx_intv *end);
void ls_sort_end(ls_idx_intv *beg, ls_idx_intv *end);
void rs_sort_end(ls_idx_intv *beg, ls_idx_intv *end, int n_bits, int s);
void rs_insertsort_end(ls_idx_intv *beg, ls_idx_intv *end);
void ls_sort_jj(ls_idx_jump *beg, ls_idx_jump *end);
void rs_sort_jj(ls_idx_jump *beg, ls_idx_jump *end, int n_bits, int s);
void rs_insertsort_jj(ls_idx_jump *beg, ls_idx_jump *end);
void ls_sort_jj2(ls_idx_jump *beg, ls_idx_jump *end);
void rs_sort_jj2(ls_idx_jump *beg, ls_idx_jump *end, int n_bits, int s);
void rs_insertsort_jj2(ls_idx_jump *beg, ls_idx_jump *end);

/* The value that would stand at 0-based position k if the n values of a were
 * sorted ascending; a is permuted. Requires k < n (a broken requirement is a
 * fatal internal error). */
uint32_t ls_select_u32(size_t n, uint32_t *a, size_t k);
uint64_t ls_select_u64(size_t n, uint64_t *a, size_t k);

/* Max-heap laid out in an array (children of slot i at 2i + 1 and 2i + 2).
 * ls_heap_make_* arranges the first n values into a heap; ls_heap_adjust_*
 * sifts slot i down within the first n slots (a larger right child wins only
 * when strictly larger than the left one; a child equal to the sifted value
 * still moves up). */
void ls_heap_make_u64(size_t n, uint64_t *a);
void ls_heap_adjust_u64(size_t i, size_t n, uint64_t *a);
void ls_heap_make_u32(size_t n, uint32_t *a);
void ls_heap_adjust_u32(size_t i, size_t n, uint32_t *a);

#ifdef __cplusplus
}
#endif

/* Red-coloured message prefixes and suffix; "\x1b" is the escape byte. */
#define LS_RED   "\x1b[1;31m"
#define LS_RESET "\x1b[0m"

/* Progress line: "[M::func::elapsed*cpu_ratio] " + text, at verbosity 3 or more. */
void ls_progress(const char *func, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

#endif
