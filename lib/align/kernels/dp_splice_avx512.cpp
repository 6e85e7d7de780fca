/* The splice-aware kernel compiled once more for AVX-512, in a namespace of its
 * own, when this file is built with -mavx512bw; the plain entry point picks it at
 * run time on CPUs that have AVX-512. Built without the flag, it only records
 * that no such variant exists. */
#include "align/kernels/dp_kernel.h"

#ifdef __AVX512BW__
#define DPX_ISA_NS dpx_isa_avx512
#include "align/kernels/dp_splice.cpp"
#endif

namespace dpx_isa_avx512 {
extern const dpx_exts2_fn exts2_entry;
#ifdef __AVX512BW__
const dpx_exts2_fn exts2_entry = dpx_exts2;
#else
const dpx_exts2_fn exts2_entry = nullptr;
#endif
} // namespace dpx_isa_avx512
