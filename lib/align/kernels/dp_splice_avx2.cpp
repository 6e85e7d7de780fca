/* The splice-aware kernel compiled once more for AVX2, in a namespace of its
 * own, when this file is built with -mavx2; the plain entry point picks it at
 * run time on CPUs that have AVX2. Built without the flag, it only records
 * that no such variant exists. */
#include "align/kernels/dp_kernel.h"

#if defined(__AVX2__)
#define DPX_ISA_NS dpx_isa_avx2
#include "align/kernels/dp_splice.cpp"
DPX_VARIANT_ENTRY(dpx_isa_avx2, dpx_exts2_fn, exts2_entry, dpx_exts2)
#else
DPX_VARIANT_ENTRY(dpx_isa_avx2, dpx_exts2_fn, exts2_entry, nullptr)
#endif
