/* Output writers never print: they build text in an ls_string (growable,
 * realloc'ed to powers of two, freed with free by its owner) and the caller
 * writes it out. Scratch comes from the arena passed in (null: the system
 * allocator). Nothing here keeps state, so threads may format at once, each
 * into its own string with its own arena. The writers themselves (PAF, SAM,
 * difference strings, junction lines) are public: see lodestar.h. */
#ifndef LODESTAR_OUTPUT_TEXT_H
#define LODESTAR_OUTPUT_TEXT_H

#include <stddef.h>
#include <stdint.h>

#include "lodestar.h"

/* Appends n bytes of s (then a terminating zero, not counted in l). */
void ls_str_append(ls_string *str, const char *s, size_t n);
void ls_str_putc(ls_string *str, char c);

/* A target's name; a part built without names has none, and its decimal id
 * stands in for it so that the column never becomes empty. */
void ls_append_target_name(ls_string *str, const ls_idx *mi, int32_t rid);

#endif
