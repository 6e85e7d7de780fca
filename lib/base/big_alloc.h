/* Large arrays (an index's packed bases, grown while it is built)
 * straight from the kernel rather than from the malloc heap: their pages
 * arrive zeroed and become resident only when touched, so an array grown in
 * powers of two costs the memory it uses, not its capacity, and growing it
 * moves page mappings rather than bytes. Small arrays (below 1 MB) come from
 * the heap as usual. Allocation failures return null.
 * ls_release_pages hands the pages of a finished range of any large array
 * back at once, wherever the range lies, which free() on a heap shared with
 * other threads cannot promise. */
#ifndef LODESTAR_BASE_BIG_ALLOC_H
#define LODESTAR_BASE_BIG_ALLOC_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A zeroed array of `bytes` bytes, or null. */
void *ls_big_alloc(size_t bytes);

/* Resizes an array from ls_big_alloc (or null) to `bytes`, keeping its
 * contents; bytes beyond the old size read as zero. Null on failure, with
 * the old array left as it was. */
void *ls_big_realloc(void *p, size_t bytes);

/* Gives the whole pages inside [p, p + bytes) back to the system, for a
 * range of any array the caller owns (from here or from malloc) and is done
 * with: the range then reads as zero. Pages shared with bytes outside the
 * range are kept. */
void ls_release_pages(void *p, size_t bytes);

/* Frees an array from ls_big_alloc; null is ignored. */
void ls_big_free(void *p);

#ifdef __cplusplus
}
#endif

#endif
