/* Checked system allocation. Mapping has no useful partial result once memory
 * runs out, and a null pointer passed on would only fail later and further
 * from the cause, so the library stops where the allocation failed: one line
 * on standard error naming the function and the size, then abort() (the
 * library never calls exit()). Allocations whose failure a caller reports as
 * an error of its own keep calling the system allocator directly. */
#ifndef LODESTAR_BASE_ALLOC_H
#define LODESTAR_BASE_ALLOC_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Prints "[ERROR] out of memory: <func> asked for <bytes> bytes" and aborts.
 * A bytes of 0 leaves the size out, for failures whose size the caller does
 * not know (a table that could not grow). */
[[noreturn]] void ls_out_of_memory(const char *func, size_t bytes);

/* malloc, calloc and realloc that never return null: func names the caller
 * in the message. A size of 0 asks for one byte, so the result is always a
 * block of its own (and ls_xrealloc never frees). */
void *ls_xmalloc(size_t size, const char *func);
void *ls_xcalloc(size_t count, size_t size, const char *func);
void *ls_xrealloc(void *ptr, size_t size, const char *func);

#ifdef __cplusplus
}
#endif

#endif
