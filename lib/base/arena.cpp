/* First-fit arena allocator.
 *
 * Memory is counted in units of 16 bytes, the size of a free-block header
 * (a size word and a next pointer). Free blocks form one circular list in
 * ascending address order, closed through a zero-sized base block that lives
 * in the arena record, so the list is never empty and freeing never has to
 * special-case an empty list. An allocated block keeps only its size word;
 * the caller's bytes start 8 bytes in, over the place of the next pointer. */
#include "base/arena.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "base/alloc.h"
#include "base/diagnostics.h"

namespace {

struct km_header {
    size_t size;    /* units, counting the header's own unit */
    km_header *ptr; /* next free block (free blocks) or next core (core headers) */
};

static_assert(sizeof(km_header) == 16, "a unit is one header: a size word and a pointer");

/* 8 MiB in units: big enough that steady per-query work never asks the
 * parent for more, small enough that an idle thread holds little. */
const size_t KM_DEFAULT_CORE_UNITS = 0x80000;

/* Sizes whose byte count (units + minimum core size) × 16 would not fit a
 * size_t cannot be supplied by any parent. */
const size_t KM_MAX_UNITS = SIZE_MAX / sizeof(km_header);

} // namespace

struct km_arena {
    km_arena *parent;     /* where cores come from; null = system allocator */
    size_t min_core_size; /* units */
    km_header base;       /* zero-sized, always in the free list */
    km_header *loop_head; /* roving entry into the free list; null before the first allocation */
    km_header *core_head; /* all cores, newest first */
};

namespace {

[[noreturn]] void km_fatal(const char *msg) {
    ls_log_line("", "%s", msg);
    fflush(stderr);
    abort();
}

inline km_header *block_of(void *ptr) {
    return reinterpret_cast<km_header *>(static_cast<char *>(ptr) - 8);
}
inline void *user_of(km_header *p) {
    return reinterpret_cast<char *>(p) + 8;
}

/* (n + 23) / 16 without overflowing for n near SIZE_MAX: one unit for the
 * size word (and the 8 bytes it leaves for alignment), the rest for n. */
inline size_t units_for(size_t n) {
    return n / 16 + (n % 16 + 23) / 16;
}

/* Takes a new core of at least units + 1 units (the extra unit holds the core
 * header), links its body into the free list and returns the new loop head. */
km_header *morecore(km_arena *km, size_t units) {
    const size_t min = km->min_core_size;
    if (min > KM_MAX_UNITS || units > KM_MAX_UNITS - min) km_fatal("[morecore] insufficient memory");
    /* Largest multiple of min not above units + min: always above units. */
    const size_t core_units = (units + min) / min * min;
    const size_t bytes = core_units * sizeof(km_header);
    /* A parent arena stops the program by itself when memory runs out, and so
     * does the checked system allocation. */
    void *mem = km->parent ? km_malloc(km->parent, bytes) : ls_xmalloc(bytes, "morecore");
    km_header *core = static_cast<km_header *>(mem);
    core->size = core_units;
    core->ptr = km->core_head;
    km->core_head = core;
    /* The body is one allocated block of core_units - 1 units; freeing it
     * puts it at its place in the address-ordered list. */
    km_header *body = core + 1;
    body->size = core_units - 1;
    kfree(km, user_of(body));
    return km->loop_head;
}

} // namespace

km_arena *km_create(void) {
    return km_create_in(nullptr, 0);
}

km_arena *km_create_in(km_arena *parent, size_t min_core_size) {
    km_arena *km;
    if (parent) {
        km = static_cast<km_arena *>(km_calloc(parent, 1, sizeof(km_arena)));
        /* Two units less than the parent's cores: a child core of min - 2
         * units is a parent block of min - 1 units, exactly the body of a
         * fresh parent core. A parent with tiny cores still gives a usable
         * (non-zero) size. */
        if (min_core_size == 0) min_core_size = parent->min_core_size > 2 ? parent->min_core_size - 2 : 1;
    } else {
        km = static_cast<km_arena *>(calloc(1, sizeof(km_arena)));
        if (km == nullptr) return nullptr;
        if (min_core_size == 0) min_core_size = KM_DEFAULT_CORE_UNITS;
    }
    km->parent = parent;
    km->min_core_size = min_core_size;
    return km;
}

void km_release(km_arena *km) {
    if (km == nullptr) return;
    km_header *next;
    for (km_header *p = km->core_head; p; p = next) {
        next = p->ptr;
        kfree(km->parent, p); /* a core header is the pointer the parent handed out */
    }
    kfree(km->parent, km);
}

void *km_malloc(km_arena *km, size_t size) {
    if (size == 0) return nullptr;
    if (km == nullptr) return ls_xmalloc(size, __func__);
    const size_t units = units_for(size);
    if (km->loop_head == nullptr) {
        km->base.ptr = &km->base;
        km->base.size = 0;
        km->loop_head = &km->base;
    }
    km_header *prev = km->loop_head;
    for (km_header *q = prev->ptr;; prev = q, q = q->ptr) {
        if (q->size >= units) {
            if (q->size == units) {
                prev->ptr = q->ptr;
            } else { /* carve from the high end so the free block's header stays put */
                q->size -= units;
                q += q->size;
                q->size = units;
            }
            km->loop_head = prev;
            return user_of(q);
        }
        /* Back at the start without a fit: q becomes the new loop head, so
         * the walk resumes right after the newly linked core body's place. */
        if (q == km->loop_head) q = morecore(km, units);
    }
}

void *km_calloc(km_arena *km, size_t count, size_t size) {
    if (count == 0 || size == 0) return nullptr;
    if (km == nullptr) return ls_xcalloc(count, size, __func__);
    /* A product that wraps would hand out a block smaller than asked for. */
    if (count > SIZE_MAX / size) km_fatal("[morecore] insufficient memory");
    void *p = km_malloc(km, count * size);
    memset(p, 0, count * size);
    return p;
}

void *km_realloc(km_arena *km, void *ptr, size_t size) {
    if (size == 0) {
        kfree(km, ptr);
        return nullptr;
    }
    if (km == nullptr) return ls_xrealloc(ptr, size, __func__);
    if (ptr == nullptr) return km_malloc(km, size);
    const size_t cap = block_of(ptr)->size * 16 - 8;
    if (cap >= size) return ptr; /* growable arrays rely on this costing nothing */
    void *q = km_malloc(km, size);
    memcpy(q, ptr, cap);
    kfree(km, ptr);
    return q;
}

void kfree(km_arena *km, void *ptr) {
    if (ptr == nullptr) return;
    if (km == nullptr) {
        free(ptr);
        return;
    }
    km_header *p = block_of(ptr);
    /* Find q with p in (q, q->ptr]; at the highest block the list wraps, and p
     * then lies above everything or at/below the lowest block. Accepting p ==
     * q->ptr (a block freed twice that is still a list node of its own)
     * stops the walk there and lets the overlap test below report it; with
     * a strict test such a p fits no gap and the walk would never end. */
    km_header *q = km->loop_head;
    for (; !(p > q && p <= q->ptr); q = q->ptr)
        if (q >= q->ptr && (p > q || p <= q->ptr)) break;
    km_header *next = q->ptr;
    if (p + p->size == next) { /* merge with the following free block */
        p->size += next->size;
        p->ptr = next->ptr;
    } else if (p <= next && next < p + p->size) {
        km_fatal("[kfree] The end of the allocated block enters a free block.");
    } else {
        p->ptr = next;
    }
    if (q + q->size == p) { /* merge with the preceding free block */
        q->size += p->size;
        q->ptr = p->ptr;
        km->loop_head = q;
    } else if (q <= p && p < q + q->size) {
        km_fatal("[kfree] The end of a free block enters the allocated block.");
    } else {
        q->ptr = p;
        km->loop_head = p;
    }
}

void *km_move(km_arena *km, void *ptr, size_t size) {
    if (km == nullptr || ptr == nullptr) return ptr;
    void *q = km_malloc(km, size);
    /* Copying more than the old block holds would read past it. */
    const size_t cap = block_of(ptr)->size * 16 - 8;
    const size_t n = size < cap ? size : cap;
    if (n > 0) memcpy(q, ptr, n);
    kfree(km, ptr);
    return q;
}

void km_stat(const km_arena *km, km_stats *s) {
    memset(s, 0, sizeof(*s));
    if (km == nullptr || km->loop_head == nullptr) return;
    const km_header *p = km->loop_head;
    do {
        s->available += p->size * 16;
        if (p->size != 0) ++s->n_blocks;
        if (p->ptr > p && p + p->size > p->ptr)
            km_fatal("[km_stat] The end of a free block enters another free block.");
        p = p->ptr;
    } while (p != km->loop_head);
    for (const km_header *c = km->core_head; c; c = c->ptr) {
        ++s->n_cores;
        s->capacity += c->size * 16;
        if (c->size * 16 > s->largest) s->largest = c->size * 16;
    }
}

void km_stat_print(const km_arena *km) {
    km_stats s;
    km_stat(km, &s);
    ls_log_raw("[km_stat] cap=%ld, avail=%ld, largest=%ld, n_core=%ld, n_block=%ld\n", (long)s.capacity,
            (long)s.available, (long)s.largest, (long)s.n_cores, (long)s.n_blocks);
}
