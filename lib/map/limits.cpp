/* What the mapping options take from an index: the occurrence threshold
 * mid_occ, and the options a run maps with once it is known. */
#include "base/diagnostics.h"
#include "lodestar.h"

void ls_map_limits_get(const ls_mapopt *mo, const ls_idx *mi, ls_map_limits *lim) {
    if (mo->mid_occ > 0) {
        lim->mid_occ = mo->mid_occ;
        return;
    }
    LS_ASSERT(mi != nullptr);
    int mid_occ = ls_idx_max_occ(mi, mo->mid_occ_fraction);
    if (mid_occ < mo->mid_occ_min) mid_occ = mo->mid_occ_min;
    // An upper bound not above the lower one would contradict it; it is
    // then ignored rather than applied.
    if (mo->mid_occ_max > mo->mid_occ_min && mid_occ > mo->mid_occ_max) mid_occ = mo->mid_occ_max;
    lim->mid_occ = mid_occ;
}

void ls_mapopt_resolve(const ls_mapopt *mo, const ls_map_limits *lim, ls_mapopt *out) {
    if (out != mo) *out = *mo;
    if (out->flag & (LS_F_SPLICE_FWD | LS_F_SPLICE_RC)) out->flag |= LS_F_SPLICE;
    out->mid_occ = lim->mid_occ;
    if (out->long_bw < out->bw) out->long_bw = out->bw;
}

void ls_mapopt_update(ls_mapopt *mo, const ls_idx *mi) {
    // A positive mid_occ is kept, so the threshold comes from the first index
    // part the options meet and stays the same for every later part.
    ls_map_limits lim;
    ls_map_limits_get(mo, mi, &lim);
    ls_mapopt_resolve(mo, &lim, mo);
    ls_progress("ls_mapopt_update", "mid_occ = %d\n", mo->mid_occ);
}
