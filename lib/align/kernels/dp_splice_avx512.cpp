/* The splice-aware kernel compiled once more for AVX-512 (BW and VL), in a
 * namespace of its own; the plain entry point picks it at run time on CPUs
 * that have it. It runs the AVX2 build's 32-byte blocks with the AVX-512
 * encodings (32 vector registers, mask registers, three-input logic), which
 * measured faster than 64-byte blocks: anti-diagonals are often short, and
 * every load shifted by one byte splits a 64-byte line. Built without the
 * flags, it only records that no such variant exists. */
#include "align/kernels/dp_kernel.h"

#if defined(__AVX512BW__) && defined(__AVX512VL__)
#define DPX_ISA_NS dpx_isa_avx512
#include "align/kernels/dp_splice.cpp"
DPX_VARIANT_ENTRY(dpx_isa_avx512, dpx_exts2_fn, exts2_entry, dpx_exts2)
#else
DPX_VARIANT_ENTRY(dpx_isa_avx512, dpx_exts2_fn, exts2_entry, nullptr)
#endif
