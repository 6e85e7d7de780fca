/* The vector instructions of the kernels. The kernels are written with the
 * SSE2 intrinsics (and AVX2/AVX-512 in their x86 variants). On other CPUs,
 * such as ARM64, SIMDe supplies the same SSE2 operations, mapped to NEON
 * where it can and to plain C otherwise, with the same results bit for bit;
 * only x86 chooses wider variants at run time. */
#ifndef LODESTAR_ALIGN_KERNELS_SIMD_H
#define LODESTAR_ALIGN_KERNELS_SIMD_H

#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64)
#define DPX_X86 1
#include <emmintrin.h>
#if defined(__AVX2__) || defined(__SSE4_1__)
#include <immintrin.h>
#endif
#else
#define DPX_X86 0
#define SIMDE_ENABLE_NATIVE_ALIASES
#include <simde/x86/sse2.h>
#endif

#endif
