/* Nucleotide tables shared by every stage: the 0-4 code of each byte and the
 * complement of sequence text (declared in the public header). The
 * complement of a code c below 4 is 3 - c; 4 (ambiguous) stays 4. */
#ifndef LODESTAR_BASE_NUCLEOTIDES_H
#define LODESTAR_BASE_NUCLEOTIDES_H

#include <stdint.h>

#include "lodestar.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Nucleotide code of every byte value: A/a 0, C/c 1, G/g 2, T/t/U/u 3, the
 * bytes 0 to 3 themselves (sequences already held as codes sketch the same),
 * every other byte 4 (ambiguous). */
extern const uint8_t ls_nt4_table[256];

#ifdef __cplusplus
}
#endif

#endif
