/* The splice-aware kernel compiled once more for AVX2, in a namespace of its
 * own, when this file is built with -mavx2; the plain entry point picks it at
 * run time on CPUs that have AVX2. Built without the flag, it only records
 * that no such variant exists. */
#include "dpx2.h"

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
