/* Sorting routines shared by every stage: an in-place radix sort that each
 * record type instantiates, selection of the k-th smallest value, and
 * array-backed max-heaps. */
#ifndef LODESTAR_BASE_RADIX_SORT_H
#define LODESTAR_BASE_RADIX_SORT_H

#include <stddef.h>
#include <stdint.h>

#include "base/diagnostics.h"
#include "lodestar.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One in-place most-significant-digit radix sort serves every record type
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
 * allocates: the bucket table lives on the stack (256 entries per level).
 * Instances for the records of other modules are declared in their headers
 * and defined in their sources with LS_RADIX_SORT_INSTANCE below. */

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

namespace ls_radix {

/* In-place MSD radix sort of records of type T by the unsigned key
 * Key::get(record), which is key_bits wide. */
template <typename T, typename Key, int key_bits> struct RadixSort {
    static_assert(key_bits > RS_MAX_BITS && key_bits <= 64, "key width out of range");

    /* Ranges this short are cheaper to insertion-sort than to distribute. */
    static constexpr ptrdiff_t kSmall = 64;

    struct Bucket {
        T *b, *e;
    };

    static uint64_t bucket_of(const T &r, int s, uint64_t mask) {
        return ((uint64_t)Key::get(r) >> s) & mask;
    }

    /* Shifts a record only past strictly larger keys, so equal keys keep
     * their order. */
    static void insertion(T *beg, T *end) {
        if (end - beg < 2) return;
        for (T *i = beg + 1; i < end; ++i) {
            if (Key::get(*i) < Key::get(*(i - 1))) {
                T tmp = *i;
                T *j = i;
                for (; j > beg && Key::get(tmp) < Key::get(*(j - 1)); --j) *j = *(j - 1);
                *j = tmp;
            }
        }
    }

    /* Counts the records of each bucket, then turns the counts into the
     * buckets' final [b, e) boundaries; every b starts at its bucket's first
     * slot. */
    static void count_and_place(T *beg, T *end, Bucket *bk, int n_buckets, int s, uint64_t mask) {
        for (int k = 0; k < n_buckets; ++k) bk[k].b = bk[k].e = beg;
        for (T *i = beg; i < end; ++i) ++bk[bucket_of(*i, s, mask)].e;
        for (int k = 1; k < n_buckets; ++k) {
            ptrdiff_t cnt = bk[k].e - beg;
            bk[k].b = bk[k - 1].e;
            bk[k].e = bk[k].b + cnt;
        }
    }

    /* Moves every record into its bucket. Invariant: [bucket start, b) of
     * each bucket holds only records of that bucket, and all buckets before
     * the current one are complete, so a carried record always lands in a
     * later bucket that still has room. */
    static void permute(Bucket *bk, int n_buckets, int s, uint64_t mask) {
        for (Bucket *k = bk; k != bk + n_buckets; ++k) {
            while (k->b < k->e) {
                Bucket *l = bk + bucket_of(*k->b, s, mask);
                if (l == k) {
                    ++k->b;
                    continue;
                }
                T carried = *k->b;
                do {
                    T displaced = *l->b;
                    *l->b++ = carried;
                    carried = displaced;
                    l = bk + bucket_of(carried, s, mask);
                } while (l != k);
                *k->b++ = carried;
            }
        }
    }

    static void pass(T *beg, T *end, int n_bits, int s) {
        LS_ASSERT(n_bits <= RS_MAX_BITS);
        // Zero bits per pass would recurse forever; a shift outside the
        // 64-bit word is undefined.
        LS_ASSERT(n_bits > 0 && s >= 0 && s < 64);
        Bucket bk[1 << RS_MAX_BITS];
        int n_buckets = 1 << n_bits;
        uint64_t mask = (uint64_t)n_buckets - 1;
        count_and_place(beg, end, bk, n_buckets, s, mask);
        // Keys that share this digit (the high bits of anchors often do) all
        // go to one bucket, where the permutation would move nothing.
        bool one_bucket = false;
        for (int k = 0; k < n_buckets && !one_bucket; ++k) one_bucket = bk[k].e - bk[k].b == end - beg;
        if (!one_bucket) permute(bk, n_buckets, s, mask);
        // permute() left every b at its bucket's end: restore the starts.
        bk[0].b = beg;
        for (int k = 1; k < n_buckets; ++k) bk[k].b = bk[k - 1].e;
        if (s == 0) return;
        int next_s = s > n_bits ? s - n_bits : 0;
        for (int k = 0; k < n_buckets; ++k) {
            ptrdiff_t n = bk[k].e - bk[k].b;
            if (n > kSmall)
                pass(bk[k].b, bk[k].e, n_bits, next_s);
            else if (n > 1)
                insertion(bk[k].b, bk[k].e);
        }
    }

    static void sort(T *beg, T *end) {
        if (end - beg <= kSmall)
            insertion(beg, end);
        else
            pass(beg, end, 8, key_bits - 8);
    }
};

} // namespace ls_radix

/* Defines, in the source of the module that owns the record type, the three
 * routines of one radix-sort instance declared in that module's header:
 * NAME, record type, key width in bits, and the key as an expression of the
 * record `r` (an unsigned integer of at most key width bits), e.g.
 *     LS_RADIX_SORT_INSTANCE(bed, ls_idx_intv, 32, (uint32_t)r.st) */
#define LS_RADIX_SORT_INSTANCE(name, rec_t, key_bits, key_expr)                                              \
    namespace {                                                                                              \
    struct rs_key_##name {                                                                                   \
        static uint64_t get(const rec_t &r) { return (key_expr); }                                           \
    };                                                                                                       \
    using rs_impl_##name = ls_radix::RadixSort<rec_t, rs_key_##name, key_bits>;                                        \
    }                                                                                                        \
    void rs_insertsort_##name(rec_t *beg, rec_t *end) {                                                      \
        rs_impl_##name::insertion(beg, end);                                                                 \
    }                                                                                                        \
    void rs_sort_##name(rec_t *beg, rec_t *end, int n_bits, int s) {                                         \
        rs_impl_##name::pass(beg, end, n_bits, s);                                                           \
    }                                                                                                        \
    void ls_sort_##name(rec_t *beg, rec_t *end) {                                                            \
        rs_impl_##name::sort(beg, end);                                                                      \
    }

#endif

#endif
