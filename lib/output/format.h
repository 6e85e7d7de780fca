/* Output formats: PAF lines with their tags, and the difference strings (cs,
 * ds, MD) that spell out an alignment's bases.
 *
 * Writers never print: they build text in an ls_string (growable, realloc'ed
 * to powers of two, freed with free by its owner) and the caller writes it
 * out. Scratch comes from the arena passed in (null: the system allocator).
 * Nothing here keeps state, so threads may format at once, each into its own
 * string with its own arena. */
#ifndef LODESTAR_FORMAT_H
#define LODESTAR_FORMAT_H

#include <stdint.h>

#include "seqio/seq_reader.h"
#include "lodestar.h"

/* The writers are public: see the output-format section of lodestar.h. */

#endif
