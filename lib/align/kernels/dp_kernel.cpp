/* Shared routines of the DP kernels: the backtrack that turns the direction
 * matrix into a CIGAR, and the choice of instruction set. */
#include "align/kernels/dp_kernel.h"

#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "lodestar.h"

void dpx_trace_path(km_arena *km, int keep_reversed, int min_intron_len, const uint8_t *directions,
                    const int32_t *row_start, const int32_t *row_end, int row_bytes, int i0, int j0,
                    int *cigar_cap, int *n_cigar, uint32_t **cigar_) {
    uint32_t *cigar = *cigar_;
    int n = 0, i = i0, j = j0, state = 0;
    while (i >= 0 && j >= 0) {
        int r = i + j, forced = 0;
        /* Outside the stored blocks of a row the path can only have come
         * along the band's edge: from the left of the first stored cell, from
         * above past the last one. */
        if (i < row_start[r]) forced = 2;
        if (i > row_end[r]) forced = 1;
        int b = forced ? 0 : directions[(size_t)r * row_bytes + (i - row_start[r])];
        /* A gap state is left only where this cell's gap was opened. */
        if (state == 0 || !(b >> (state + 2) & 1)) state = b & 7;
        if (forced) state = forced;
        if (state == 0) {
            cigar = dpx_cigar_push(km, &n, cigar_cap, cigar, LS_CIGAR_MATCH, 1);
            --i, --j;
        } else if (state == 1) {
            cigar = dpx_cigar_push(km, &n, cigar_cap, cigar, LS_CIGAR_DEL, 1);
            --i;
        } else if (state == 3) {
            cigar = dpx_cigar_push(km, &n, cigar_cap, cigar,
                                   min_intron_len > 0 ? LS_CIGAR_N_SKIP : LS_CIGAR_DEL, 1);
            --i;
        } else {
            cigar = dpx_cigar_push(km, &n, cigar_cap, cigar, LS_CIGAR_INS, 1);
            --j;
        }
    }
    if (i >= 0)
        cigar =
            dpx_cigar_push(km, &n, cigar_cap, cigar,
                           min_intron_len > 0 && i >= min_intron_len ? LS_CIGAR_N_SKIP : LS_CIGAR_DEL, i + 1);
    if (j >= 0) cigar = dpx_cigar_push(km, &n, cigar_cap, cigar, LS_CIGAR_INS, j + 1);
    if (!keep_reversed)
        for (int k = 0; k < n >> 1; ++k) {
            uint32_t tmp = cigar[k];
            cigar[k] = cigar[n - 1 - k];
            cigar[n - 1 - k] = tmp;
        }
    *n_cigar = n, *cigar_ = cigar;
}

#if DPX_X86
/* Whether name is one of the comma-separated words of list. */
static int list_has(const char *list, const char *name) {
    size_t n = strlen(name);
    for (const char *p = list; *p;) {
        while (*p == ',' || *p == ' ') ++p;
        const char *w = p;
        while (*p && *p != ',' && *p != ' ') ++p;
        if ((size_t)(p - w) == n && strncasecmp(w, name, n) == 0) return 1;
    }
    return 0;
}

int dpx_cpu_avx2(void) {
    static const int avx2 = [] {
        __builtin_cpu_init();
        if (!__builtin_cpu_supports("avx2")) return 0;
        const char *off = getenv("LODESTAR_DISABLE_CPU_FEATURES");
        return off && list_has(off, "avx2") ? 0 : 1;
    }();
    return avx2;
}

int dpx_cpu_avx512(void) {
    static const int avx512 = [] {
        if (!dpx_cpu_avx2() || !__builtin_cpu_supports("avx512bw") || !__builtin_cpu_supports("avx512vl"))
            return 0;
        const char *off = getenv("LODESTAR_DISABLE_CPU_FEATURES");
        return off && list_has(off, "avx512") ? 0 : 1;
    }();
    return avx512;
}
#else
/* Other CPUs run the baseline kernels only. */
int dpx_cpu_avx2(void) {
    return 0;
}
int dpx_cpu_avx512(void) {
    return 0;
}
#endif

#define DPX_ENTRIES(ns)                                                                                    \
    namespace ns {                                                                                         \
    extern const dpx_extd2_fn extd2_entry;                                                                 \
    extern const dpx_extz2_fn extz2_entry;                                                                 \
    extern const dpx_exts2_fn exts2_entry;                                                                 \
    }
DPX_ENTRIES(dpx_isa_avx2)
DPX_ENTRIES(dpx_isa_avx512)

const char *dpx_kernel_isa(void) {
    if (dpx_isa_avx512::extd2_entry && dpx_isa_avx512::extz2_entry && dpx_isa_avx512::exts2_entry &&
        dpx_cpu_avx512())
        return "avx512";
    return dpx_isa_avx2::extd2_entry && dpx_isa_avx2::extz2_entry && dpx_isa_avx2::exts2_entry && dpx_cpu_avx2()
               ? "avx2"
               : "sse2";
}
