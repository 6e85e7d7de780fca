/* The dual-affine kernel compiled once more for AVX-512, in a namespace of its
 * own, when this file is built with -mavx512bw; the plain entry point picks it at
 * run time on CPUs that have AVX-512. Built without the flag, it only records
 * that no such variant exists. */
#include "align/kernels/dp_kernel.h"

#ifdef __AVX512BW__
#define DPX_ISA_NS dpx_isa_avx512
#include "align/kernels/dp_dual_gap.cpp"
#endif

namespace dpx_isa_avx512 {
extern const dpx_extd2_fn extd2_entry;
#ifdef __AVX512BW__
const dpx_extd2_fn extd2_entry = dpx_extd2;
#else
const dpx_extd2_fn extd2_entry = nullptr;
#endif
} // namespace dpx_isa_avx512
