/* The radix-sort instances of the shared records, selection and heaps. */
#include "base/radix_sort.h"

#include <utility>

LS_RADIX_SORT_INSTANCE(128x, ls128, 64, r.x)
LS_RADIX_SORT_INSTANCE(64, uint64_t, 64, r)

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
