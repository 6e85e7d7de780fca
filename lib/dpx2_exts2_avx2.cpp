/* The splice-aware kernel compiled once more for AVX2, in a namespace of its
 * own, when this file is built with -mavx2; the plain entry point picks it at
 * run time on CPUs that have AVX2. Built without the flag, it only records
 * that no such variant exists. */
#include "dpx2.h"

#ifndef LODESTAR_DPX2_EXTS2_FN
#define LODESTAR_DPX2_EXTS2_FN
typedef void (*dpx_exts2_fn)(km_arena *, int, const uint8_t *, int, const uint8_t *, int8_t, const int8_t *,
                             int8_t, int8_t, int8_t, int8_t, int, int, int8_t, int8_t, int, const uint8_t *,
                             dpx_extz *);
#endif

#ifdef __AVX2__
#define DPX_ISA_NS dpx_isa_avx2
#include "dpx2_exts2_sse.cpp"
#endif

namespace dpx_isa_avx2 {
extern const dpx_exts2_fn exts2_entry;
#ifdef __AVX2__
const dpx_exts2_fn exts2_entry = dpx_exts2_sse;
#else
const dpx_exts2_fn exts2_entry = nullptr;
#endif
} // namespace dpx_isa_avx2
