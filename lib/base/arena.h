/* First-fit arena allocator. Mapping scratch, index tables and kernel
 * matrices come from arenas that hand out blocks from large cores and are
 * released as a whole. Every routine also takes a null arena and then
 * forwards to the system allocator, so the same code runs with or without
 * an arena. An arena has no lock: one thread uses it at a time. */
#ifndef LODESTAR_BASE_ARENA_H
#define LODESTAR_BASE_ARENA_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct km_arena km_arena;

/* Statistics of an arena; all bytes. */
typedef struct {
    uint64_t capacity, available, n_blocks, n_cores, largest;
} km_stats;

/* A new top-level arena (minimum core size 524288 units of 16 bytes). */
km_arena *km_create(void);
/* A new arena drawing its cores from parent (null: the system allocator).
 * min_core_size is in 16-byte units; 0 picks the default. */
km_arena *km_create_in(km_arena *parent, size_t min_core_size);
/* Returns every core to the parent, then the arena record. Null does nothing. */
void km_release(km_arena *km);

/* A block of at least size bytes, 8-byte aligned (not 16); null for 0 bytes.
 * Never null for a non-zero size: when an arena's parent cannot supply a
 * core it prints "[morecore] insufficient memory" and aborts, and a null
 * arena's system allocation fails as those of base/alloc.h do. The same holds
 * for km_calloc and km_realloc. */
void *km_malloc(km_arena *km, size_t size);
/* Zeroed count * size bytes; null when count or size is 0. */
void *km_calloc(km_arena *km, size_t count, size_t size);
/* Blocks never shrink: a request that fits returns the same block. A size
 * of 0 frees the block and returns null. */
void *km_realloc(km_arena *km, void *ptr, size_t size);
/* Returns a block to the arena it came from. A block overlapping a free one
 * (for example one freed twice) is reported on standard error and aborts. */
void kfree(km_arena *km, void *ptr);
/* Copies size bytes (at most what the old block holds) into a new block and
 * frees the old one (no-op for a null arena or block). */
void *km_move(km_arena *km, void *ptr, size_t size);

/* Fills s; all zero for a null arena or one that never allocated. When every
 * block has been freed, n_blocks == n_cores. */
void km_stat(const km_arena *km, km_stats *s);
/* "[km_stat] cap=..., avail=..., largest=..., n_core=..., n_block=..." on
 * standard error. */
void km_stat_print(const km_arena *km);

#ifdef __cplusplus
}
#endif

#endif
