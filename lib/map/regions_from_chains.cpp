/* Regions from chains: one region per chain, ranked with a per-query hash
 * tie-break; primaries and secondaries by query overlap; the choice of the
 * secondaries worth keeping; the filters applied after the divergence
 * estimate and after alignment; and the region operations alignment needs
 * (splitting, packing anchors) plus the split into per-segment regions. */
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "map/regions.h"
#include "base/alloc.h"
#include "base/diagnostics.h"
#include "base/radix_sort.h"
#include "map/seeds.h"

namespace {

/* Invertible 64-bit integer mix; only breaks ties, so any good mix would do,
 * but the constants fix the tie order of every query and must not change. */
uint64_t hash64(uint64_t k) {
    k = ~k + (k << 21);
    k ^= k >> 24;
    k = k * 265;
    k ^= k >> 14;
    k = k * 21;
    k ^= k >> 28;
    k = k + (k << 31);
    return k;
}

inline int32_t pos32(uint64_t w) {
    return (int32_t)(uint32_t)w;
}

inline int32_t anchor_span(const ls128 &a) {
    return (int32_t)(a.y >> 32 & 0xff);
}

inline int anchor_segment(const ls128 &a) {
    return (int)(a.y >> LS_ANCHOR_SEG_SHIFT & 0xff);
}

/* Query bases of [si, ei) that none of the n sorted intervals (start << 32 |
 * end, each clipped to [si, ei)) covers. */
int uncovered_length(int si, int ei, int n, const uint64_t *cov) {
    int uncov = 0, x = si;
    for (int k = 0; k < n; ++k) {
        int st = (int)(cov[k] >> 32), en = (int)(uint32_t)cov[k];
        if (st > x) uncov += st - x;
        if (en > x) x = en;
    }
    if (ei > x) uncov += ei - x;
    return uncov;
}

/* Score of a secondary as seen by its primary: a hit on an ALT contig counts
 * less against a primary on the main assembly. */
int masked_score(int s, const ls_reg &sec, const ls_reg &pri, float alt_diff_frac) {
    if (sec.on_alt && !pri.on_alt && s >= 0) s = ls_alt_score(s, alt_diff_frac);
    return s;
}

} // namespace

void ls_reg_set_coords(ls_reg *r, int qlen, const ls128 *a, int is_qstrand) {
    if (r->n_anchors <= 0) {
        r->match_len = r->block_len = 0;
        return;
    }
    const int32_t k = r->anchor_start, n = r->n_anchors;
    const ls128 &f = a[k], &l = a[k + n - 1];
    const int32_t span = anchor_span(f);
    r->reverse = (uint32_t)(f.x >> 63);
    r->target_id = (int32_t)(f.x << 1 >> 33);
    r->rs = pos32(f.x) < span ? 0 : pos32(f.x) + 1 - span;
    r->re = pos32(l.x) + 1;
    if (!r->reverse || is_qstrand) {
        r->qs = pos32(f.y) + 1 - span;
        r->qe = pos32(l.y) + 1;
    } else {
        // Anchors hold positions on the reverse-complemented query; regions
        // report forward-strand query coordinates.
        r->qs = qlen - (pos32(l.y) + 1);
        r->qe = qlen - (pos32(f.y) + 1 - span);
    }
    r->match_len = r->block_len = span;
    for (int32_t j = k + 1; j < k + n; ++j) {
        const int32_t sp = anchor_span(a[j]);
        const int32_t dq = pos32(a[j].y) - pos32(a[j - 1].y), dt = pos32(a[j].x) - pos32(a[j - 1].x);
        r->block_len += dq > dt ? dq : dt;
        // Overlapping seeds share bases: only the part beyond the previous
        // seed is new.
        r->match_len += sp < dq && sp < dt ? sp : dq < dt ? dq : dt;
    }
}

ls_reg *ls_regions_from_chains(km_arena *km, uint32_t query_hash, int qlen, int n_u, const uint64_t *u,
                               const ls128 *a, int is_qstrand) {
    if (n_u <= 0) return nullptr;
    ls128 *z = static_cast<ls128 *>(km_malloc(km, (size_t)n_u * sizeof(ls128)));
    uint64_t off = 0;
    for (int i = 0; i < n_u; ++i) {
        const ls128 &f = a[off];
        const uint32_t h = (uint32_t)hash64((hash64(f.x) + hash64(f.y)) ^ query_hash);
        z[i].x = u[i] ^ h; // only the count half changes: the score still ranks
        z[i].y = off << 32 | (uint32_t)u[i];
        off += (uint32_t)u[i];
    }
    ls_sort_128x(z, z + n_u);
    for (int i = 0, j = n_u - 1; i < j; ++i, --j) {
        ls128 t = z[i];
        z[i] = z[j];
        z[j] = t;
    }
    ls_reg *r = static_cast<ls_reg *>(ls_xcalloc((size_t)n_u, sizeof(ls_reg), __func__));
    for (int i = 0; i < n_u; ++i) {
        ls_reg *ri = &r[i];
        ri->id = i;
        ri->parent = -1;
        ri->chain_score = ri->initial_score = (int32_t)(z[i].x >> 32);
        ri->tie_hash = (uint32_t)z[i].x;
        ri->n_anchors = (int32_t)(uint32_t)z[i].y;
        ri->anchor_start = (int32_t)(z[i].y >> 32);
        ri->divergence = -1.0f;
        ls_reg_set_coords(ri, qlen, a, is_qstrand);
    }
    kfree(km, z);
    return r;
}

void ls_mark_alt(const ls_idx *mi, int n_regs, ls_reg *r) {
    if (mi->n_alt <= 0) return;
    for (int i = 0; i < n_regs; ++i)
        if (mi->seq[r[i].target_id].is_alt) r[i].on_alt = 1;
}

void ls_split_reg(ls_reg *r, ls_reg *r2, int n, int qlen, const ls128 *a, int is_qstrand) {
    if (n <= 0 || n >= r->n_anchors) return;
    *r2 = *r;
    r2->id = -1;
    r2->sam_pri = 0;
    r2->p = nullptr;
    r2->split_at_inversion = 0;
    r2->n_anchors = r->n_anchors - n;
    // The share of the chain score goes by anchor count: single-precision
    // ratio and product, then rounded.
    r2->chain_score = (int32_t)((float)r2->n_anchors / (float)r->n_anchors * (float)r->chain_score + 0.499);
    r2->anchor_start = r->anchor_start + n;
    r2->parent = r->parent == r->id ? -2 : r->parent;
    r->n_anchors -= r2->n_anchors;
    r->chain_score -= r2->chain_score;
    ls_reg_set_coords(r, qlen, a, is_qstrand);
    ls_reg_set_coords(r2, qlen, a, is_qstrand);
    r->zdrop_split |= 1;
    r2->zdrop_split |= 2;
}

void ls_set_parent(km_arena *km, float mask_level, int mask_len, int n_regs, ls_reg *r, int sub_diff,
                   int hard_mask_level, float alt_diff_frac) {
    if (n_regs <= 0) return;
    for (int i = 0; i < n_regs; ++i) r[i].id = i;
    int32_t *w = static_cast<int32_t *>(km_malloc(km, (size_t)n_regs * sizeof(int32_t)));
    uint64_t *cov = static_cast<uint64_t *>(km_malloc(km, (size_t)n_regs * sizeof(uint64_t)));
    int n_w = 1;
    w[0] = 0;
    r[0].parent = 0;
    for (int i = 1; i < n_regs; ++i) {
        ls_reg *ri = &r[i];
        const int si = ri->qs, ei = ri->qe;
        int uncov = 0;
        bool overlapped = true, claimed = false;
        if (!hard_mask_level) {
            int n_cov = 0;
            for (int k = 0; k < n_w; ++k) {
                const int sj = r[w[k]].qs, ej = r[w[k]].qe;
                if (ej <= si || sj >= ei) continue;
                cov[n_cov++] = (uint64_t)(uint32_t)(sj > si ? sj : si) << 32 | (uint32_t)(ej < ei ? ej : ei);
            }
            if (n_cov > 0) {
                ls_sort_64(cov, cov + n_cov);
                uncov = uncovered_length(si, ei, n_cov, cov);
            } else {
                overlapped = false; // no primary touches i: it is one itself
            }
        }
        for (int k = 0; overlapped && k < n_w; ++k) {
            ls_reg *rj = &r[w[k]];
            const int sj = rj->qs, ej = rj->qe;
            if (ej <= si || sj >= ei) continue;
            const int lj = ej - sj, li = ei - si;
            const int mn = lj < li ? lj : li, mx = lj > li ? lj : li;
            const int ol = si < sj ? (ei < ej ? ei - sj : lj) : (ej < ei ? ej - si : li);
            if ((float)ol / (float)mn - (float)uncov / (float)mx > mask_level && uncov <= mask_len) {
                ri->parent = rj->parent;
                const int s = masked_score(ri->chain_score, *ri, *rj, alt_diff_frac);
                if (s > rj->sub_score) rj->sub_score = s;
                bool suboptimal = false;
                if (ri->p && rj->p &&
                    (ri->target_id != rj->target_id || ri->rs != rj->rs || ri->re != rj->re || ol != mn)) {
                    const int sp = masked_score(ri->p->max_score, *ri, *rj, alt_diff_frac);
                    if (sp > rj->p->alt_max_score) rj->p->alt_max_score = sp;
                    if (rj->p->max_score - ri->p->max_score <= sub_diff) suboptimal = true;
                }
                if (!suboptimal && ri->n_anchors >= rj->n_anchors) suboptimal = true;
                if (suboptimal) ++rj->n_suboptimal;
                claimed = true;
                break;
            }
        }
        if (!claimed) {
            w[n_w++] = i;
            ri->parent = i;
            ri->n_suboptimal = 0;
        }
    }
    kfree(km, cov);
    kfree(km, w);
}

void ls_select_sub(km_arena *km, float pri_ratio, int min_diff, int best_n, int check_strand,
                   int min_strand_sc, int *n_regs, ls_reg *r) {
    const int n = *n_regs;
    if (pri_ratio <= 0.0f || n <= 0) return;
    // Decisions read the parents at their original positions, so the array
    // is compacted only afterwards.
    uint8_t *keep = static_cast<uint8_t *>(km_calloc(km, (size_t)n, 1));
    int n_2nd = 0;
    for (int i = 0; i < n; ++i) {
        ls_reg *ri = &r[i];
        if (ri->parent == i || ri->inverted) {
            keep[i] = 1;
            continue;
        }
        LS_ASSERT(ri->parent >= 0 && ri->parent < n);
        const ls_reg *rp = &r[ri->parent];
        const int sc = ri->chain_score, psc = rp->chain_score;
        if (((float)sc >= pri_ratio * (float)psc || sc + min_diff >= psc) && n_2nd < best_n) {
            // A secondary that merely repeats its primary says nothing new.
            if (!(ri->qs == rp->qs && ri->qe == rp->qe && ri->target_id == rp->target_id &&
                  ri->rs == rp->rs && ri->re == rp->re)) {
                keep[i] = 1;
                ++n_2nd;
            }
        } else if (check_strand && n_2nd < best_n && sc > min_strand_sc && ri->reverse != rp->reverse) {
            ri->kept_other_strand = 1;
            keep[i] = 1;
            ++n_2nd;
        }
    }
    ls_keep_regions(km, n_regs, r, keep);
    kfree(km, keep);
}

void ls_keep_regions(km_arena *km, int *n_regs, ls_reg *r, const uint8_t *keep) {
    const int n = *n_regs;
    int k = 0;
    for (int i = 0; i < n; ++i) {
        if (keep[i]) {
            if (k < i) r[k] = r[i];
            ++k;
        } else {
            free(r[i].p);
            r[i].p = nullptr;
        }
    }
    if (k < n) ls_renumber_regions(km, k, r);
    *n_regs = k;
}

int ls_filter_by_divergence(int n_regs, ls_reg *r) {
    if (n_regs <= 0) return n_regs;
    // Parents are read at their positions before anything moves.
    std::vector<uint8_t> drop((size_t)n_regs, 0);
    for (int i = 0; i < n_regs; ++i) {
        const ls_reg *ri = &r[i];
        if (!ri->kept_other_strand || ri->parent < 0 || ri->parent >= n_regs) continue;
        const float dv = ri->divergence, pdv = r[ri->parent].divergence;
        if (dv >= 5.0f * pdv && dv >= 0.01f) drop[i] = 1;
    }
    int k = 0;
    for (int i = 0; i < n_regs; ++i) {
        if (drop[i]) {
            free(r[i].p);
            r[i].p = nullptr;
            continue;
        }
        if (k < i) r[k] = r[i];
        ++k;
    }
    return k;
}

void ls_filter_regions(const ls_mapopt *opt, int qlen, int *n_regs, ls_reg *regs) {
    const float max_clip = (float)qlen * opt->max_clip_fraction;
    int k = 0;
    for (int i = 0; i < *n_regs; ++i) {
        ls_reg *r = &regs[i];
        bool fail = !r->inverted && !r->seg_derived && r->n_anchors < opt->chain_min_anchors;
        if (r->p) {
            if (r->match_len < opt->chain_min_score || r->p->max_score < opt->min_dp_score ||
                ((float)r->qs > max_clip && (float)(qlen - r->qe) > max_clip))
                fail = true;
            if (fail) {
                free(r->p);
                r->p = nullptr;
            }
        }
        if (fail) continue;
        if (k < i) regs[k] = regs[i];
        ++k;
    }
    *n_regs = k;
}

int ls_squeeze_anchors(km_arena *km, int n_regs, ls_reg *regs, ls128 *a) {
    if (n_regs <= 0) return 0;
    uint64_t *key = static_cast<uint64_t *>(km_malloc(km, (size_t)n_regs * sizeof(uint64_t)));
    for (int i = 0; i < n_regs; ++i) key[i] = (uint64_t)(uint32_t)regs[i].anchor_start << 32 | (uint32_t)i;
    ls_sort_64(key, key + n_regs);
    int off = 0;
    // Regions in anchor order: each block moves down (never up), so an
    // overlapping move never clobbers a block still to come.
    for (int k = 0; k < n_regs; ++k) {
        ls_reg *r = &regs[(uint32_t)key[k]];
        if (r->n_anchors > 0 && r->anchor_start != off)
            memmove(a + off, a + r->anchor_start, (size_t)r->n_anchors * sizeof(ls128));
        r->anchor_start = off;
        off += r->n_anchors;
    }
    kfree(km, key);
    return off;
}

ls_seg *ls_seg_gen(km_arena *km, uint32_t query_hash, int n_segs, const int *qlens, int n_regs0,
                   const ls_reg *regs0, int *n_regs, ls_reg **regs, const ls128 *a) {
    LS_ASSERT(n_segs <= LS_MAX_SEG);
    int acc[LS_MAX_SEG + 1];
    int total = 0;
    for (int s = 0; s < n_segs; ++s) {
        acc[s] = total;
        total += qlens[s];
    }
    ls_seg *seg = static_cast<ls_seg *>(km_calloc(km, (size_t)n_segs, sizeof(ls_seg)));
    for (int s = 0; s < n_segs; ++s) {
        seg[s].chains = static_cast<uint64_t *>(km_calloc(km, (size_t)n_regs0, sizeof(uint64_t)));
        for (int i = 0; i < n_regs0; ++i) seg[s].chains[i] = (uint64_t)(uint32_t)regs0[i].chain_score << 32;
    }
    // Count, per region, the anchors falling into each segment.
    for (int i = 0; i < n_regs0; ++i) {
        const ls_reg *r = &regs0[i];
        for (int j = 0; j < r->n_anchors; ++j) {
            const int sid = anchor_segment(a[r->anchor_start + j]);
            LS_ASSERT(sid < n_segs);
            ++seg[sid].chains[i];
            ++seg[sid].n_anchors;
        }
    }
    for (int s = 0; s < n_segs; ++s) {
        int k = 0;
        for (int i = 0; i < n_regs0; ++i)
            if ((uint32_t)seg[s].chains[i] != 0) seg[s].chains[k++] = seg[s].chains[i];
        seg[s].n_chains = k;
        seg[s].anchors = static_cast<ls128 *>(km_malloc(km, (size_t)seg[s].n_anchors * sizeof(ls128)));
        seg[s].n_anchors = 0; // refilled below
    }
    // Anchors move into their segment's array with positions within it: the
    // forward query holds segment s at [acc[s], acc[s] + len), the reverse
    // complement at [total - acc[s] - len, total - acc[s]).
    for (int i = 0; i < n_regs0; ++i) {
        const ls_reg *r = &regs0[i];
        for (int j = 0; j < r->n_anchors; ++j) {
            ls128 b = a[r->anchor_start + j];
            const int sid = anchor_segment(b);
            b.y -= (uint64_t)(b.x >> 63 ? total - acc[sid] - qlens[sid] : acc[sid]);
            seg[sid].anchors[seg[sid].n_anchors++] = b;
        }
    }
    for (int s = 0; s < n_segs; ++s) {
        regs[s] = ls_regions_from_chains(km, query_hash, qlens[s], seg[s].n_chains, seg[s].chains,
                                         seg[s].anchors, 0);
        n_regs[s] = regs[s] ? seg[s].n_chains : 0;
        for (int i = 0; i < n_regs[s]; ++i) {
            regs[s][i].seg_derived = 1;
            regs[s][i].seg_index = (uint32_t)s;
        }
    }
    return seg;
}

void ls_seg_free(km_arena *km, int n_segs, ls_seg *segs) {
    if (segs == nullptr) return;
    for (int s = 0; s < n_segs; ++s) {
        kfree(km, segs[s].chains);
        kfree(km, segs[s].anchors);
    }
    kfree(km, segs);
}
