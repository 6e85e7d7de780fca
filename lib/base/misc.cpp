/* Timing, diagnostics, the always-on assertion, the checked line output and
 * the sorting routines. */
#include "base/misc.h"

#include <stdarg.h>
#include <stddef.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/time.h>

#include <utility>

#include "map/pairing.h"

int ls_verbosity = 1;
double ls_start_time = 0.0;
int ls_debug_flags = 0;

void ls_assert_fail(const char *cond, const char *func, const char *file, int line) {
    fprintf(stderr, "Assertion failed: (%s), function %s, file %s, line %d.\n", cond, func, file, line);
    fflush(stderr);
    abort();
}

double ls_realtime(void) {
    struct timeval tp;
    gettimeofday(&tp, nullptr);
    return tp.tv_sec + tp.tv_usec * 1e-6;
}

double ls_cputime(void) {
    struct rusage r;
    getrusage(RUSAGE_SELF, &r);
    return r.ru_utime.tv_sec + r.ru_stime.tv_sec + 1e-6 * (r.ru_utime.tv_usec + r.ru_stime.tv_usec);
}

long ls_peak_rss(void) {
    struct rusage r;
    getrusage(RUSAGE_SELF, &r);
    return r.ru_maxrss;
}

void ls_progress(const char *func, const char *fmt, ...) {
    if (ls_verbosity < 3) return;
    double t = ls_realtime() - ls_start_time;
    double cpu = ls_cputime();
    // A second wall-clock reading after the CPU time, so the ratio never
    // divides by a stale elapsed time.
    double t2 = ls_realtime() - ls_start_time;
    fprintf(stderr, "[M::%s::%.3f*%.2f] ", func, t, cpu / t2);
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
}

int ls_checked_puts(const char *text) {
    // puts sets errno when it fails; the caller words the message, once.
    return puts(text) == EOF ? -1 : 0;
}

/* ---- sorting ---- */

namespace {

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
        permute(bk, n_buckets, s, mask);
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

} // namespace

/* Defines the three routines of one radix-sort instance with the
 * declarations in misc.h: NAME, record type, key width in bits, and the key
 * as an expression of the record `r` (an unsigned integer of at most key
 * width bits). A new record type needs only one line here, for example
 *     LS_RADIX_SORT_INSTANCE(bed, ls_bed_rec, 32, r.st)
 * plus its three declarations in misc.h. */
#define LS_RADIX_SORT_INSTANCE(name, rec_t, key_bits, key_expr)                                              \
    namespace {                                                                                              \
    struct rs_key_##name {                                                                                   \
        static uint64_t get(const rec_t &r) { return (key_expr); }                                           \
    };                                                                                                       \
    using rs_impl_##name = RadixSort<rec_t, rs_key_##name, key_bits>;                                        \
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

LS_RADIX_SORT_INSTANCE(128x, ls128, 64, r.x)
LS_RADIX_SORT_INSTANCE(64, uint64_t, 64, r)
LS_RADIX_SORT_INSTANCE(pair, ls_pair_rec, 64, r.key)
LS_RADIX_SORT_INSTANCE(bed, ls_idx_intv, 32, (uint32_t)r.st)
LS_RADIX_SORT_INSTANCE(end, ls_idx_intv, 32, (uint32_t)r.en)
LS_RADIX_SORT_INSTANCE(jj, ls_idx_jump, 32, (uint32_t)r.off)
LS_RADIX_SORT_INSTANCE(jj2, ls_idx_jump, 32, (uint32_t)r.off2)

namespace {

/* Quickselect on [low, high] with a median-of-three pivot. The median of
 * a[low], a[mid], a[high] goes to low (the pivot), the smallest of the three
 * to low + 1 and the largest stays at high: these two act as sentinels, so
 * both partition scans stop inside the range without bound checks. */
template <typename T> T select_kth(size_t n, T *a, size_t k) {
    LS_ASSERT(k < n);
    size_t low = 0, high = n - 1;
    for (;;) {
        if (high <= low) return a[k];
        if (high == low + 1) {
            if (a[low] > a[high]) std::swap(a[low], a[high]);
            return a[k];
        }
        size_t mid = low + (high - low) / 2;
        if (a[mid] > a[high]) std::swap(a[mid], a[high]);
        if (a[low] > a[high]) std::swap(a[low], a[high]);
        if (a[mid] > a[low]) std::swap(a[mid], a[low]);
        std::swap(a[mid], a[low + 1]);
        size_t ll = low + 1, hh = high;
        for (;;) {
            do ++ll;
            while (a[low] > a[ll]);
            do --hh;
            while (a[hh] > a[low]);
            if (hh < ll) break;
            std::swap(a[ll], a[hh]);
        }
        std::swap(a[low], a[hh]);
        if (hh <= k) low = ll;
        if (hh >= k) high = hh - 1;
    }
}

template <typename T> void heap_adjust(size_t i, size_t n, T *a) {
    if (i >= n) return; // nothing to sift, and a[i] may lie outside the array
    T kept = a[i];
    size_t k;
    while ((k = (i << 1) + 1) < n) {
        if (k != n - 1 && a[k] < a[k + 1]) ++k;
        if (a[k] < kept) break;
        a[i] = a[k];
        i = k;
    }
    a[i] = kept;
}

template <typename T> void heap_make(size_t n, T *a) {
    for (size_t i = n / 2; i-- > 0;) heap_adjust(i, n, a);
}

} // namespace

uint32_t ls_select_u32(size_t n, uint32_t *a, size_t k) {
    return select_kth(n, a, k);
}
uint64_t ls_select_u64(size_t n, uint64_t *a, size_t k) {
    return select_kth(n, a, k);
}

void ls_heap_make_u64(size_t n, uint64_t *a) {
    heap_make(n, a);
}
void ls_heap_adjust_u64(size_t i, size_t n, uint64_t *a) {
    heap_adjust(i, n, a);
}
void ls_heap_make_u32(size_t n, uint32_t *a) {
    heap_make(n, a);
}
void ls_heap_adjust_u32(size_t i, size_t n, uint32_t *a) {
    heap_adjust(i, n, a);
}
