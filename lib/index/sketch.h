/* Minimizer sketch: the nucleotide code table, the invertible k-mer hash and
 * the routine that turns a sequence into its (w, k)-minimizers. The index
 * builder sketches every target and the mapper every query with the same k,
 * w and homopolymer setting, so equal k-mers on either strand meet in the
 * index. The module owns no state: the output list belongs to the caller. */
#ifndef LODESTAR_INDEX_SKETCH_H
#define LODESTAR_INDEX_SKETCH_H

#include <stdint.h>

#include "base/arena.h"
#include "base/nucleotides.h"
#include "lodestar.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Invertible hash of a 2k-bit k-mer code onto the 2k-bit numbers; mask is the
 * 2k low ones, (1 << 2k) - 1, passed in so that callers compute it once per
 * sequence rather than once per k-mer. Every step is an invertible map modulo
 * 2^(2k) (an odd multiplier, an xor with a right shift, an addition of a left
 * shift), so distinct k-mers never share a hash. Index files store these
 * values: the constants must never change. */
static inline uint64_t ls_kmer_hash(uint64_t key, uint64_t mask) {
    key = (~key + (key << 21)) & mask;
    key = key ^ (key >> 24);
    key = (key * 265) & mask;
    key = key ^ (key >> 14);
    key = (key * 21) & mask;
    key = key ^ (key >> 28);
    key = (key + (key << 31)) & mask;
    return key;
}

/* Appends the minimizers of str[0 .. len-1] to p, whose item array lives in
 * km (null: the system allocator). Each minimizer is an ls128:
 *   x = hash of the strand-chosen k-mer << 8 | span (bases the k-mer covers),
 *   y = rid << 32 | position of the k-mer's last base << 1 | strand.
 * With is_hpc non-zero, runs of one base count as a single base and positions
 * are those of a run's last base; k-mers covering 256 bases or more are never
 * chosen. Requires len > 0, 0 < w < 256 and 0 < k <= 28 (a violation aborts).
 * Nothing is kept between calls, so threads may sketch at once, each with its
 * own arena and list. */
void ls_sketch(km_arena *km, const char *str, int len, int w, int k, uint32_t rid, int is_hpc, ls128_vec *p);

#ifdef __cplusplus
}
#endif

#endif
