/* Regions and their alignment detail: sorting, primary marking, renumbering,
 * ALT score reduction and CIGAR growth. */
#include "map/regions.h"

#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include "base/alloc.h"
#include "base/diagnostics.h"
#include "base/radix_sort.h"

// Regions travel raw through the temporary files of split-index mapping, so
// their layout is part of that file format and must not drift.
static_assert(sizeof(ls_reg) == 80, "ls_reg is 80 bytes");
static_assert(offsetof(ls_reg, id) == 0, "ls_reg layout");
static_assert(offsetof(ls_reg, n_anchors) == 4, "ls_reg layout");
static_assert(offsetof(ls_reg, target_id) == 8, "ls_reg layout");
static_assert(offsetof(ls_reg, chain_score) == 12, "ls_reg layout");
static_assert(offsetof(ls_reg, qs) == 16, "ls_reg layout");
static_assert(offsetof(ls_reg, qe) == 20, "ls_reg layout");
static_assert(offsetof(ls_reg, rs) == 24, "ls_reg layout");
static_assert(offsetof(ls_reg, re) == 28, "ls_reg layout");
static_assert(offsetof(ls_reg, parent) == 32, "ls_reg layout");
static_assert(offsetof(ls_reg, sub_score) == 36, "ls_reg layout");
static_assert(offsetof(ls_reg, anchor_start) == 40, "ls_reg layout");
static_assert(offsetof(ls_reg, match_len) == 44, "ls_reg layout");
static_assert(offsetof(ls_reg, block_len) == 48, "ls_reg layout");
static_assert(offsetof(ls_reg, n_suboptimal) == 52, "ls_reg layout");
static_assert(offsetof(ls_reg, initial_score) == 56, "ls_reg layout");
// The flag word sits at 60, between initial_score and tie_hash.
static_assert(offsetof(ls_reg, tie_hash) == 64, "ls_reg layout");
static_assert(offsetof(ls_reg, divergence) == 68, "ls_reg layout");
static_assert(offsetof(ls_reg, p) == 72, "ls_reg layout");
static_assert(sizeof(float) == 4 && sizeof(void *) == 8, "64-bit platform with 32-bit floats");

// The detail is written as capacity 32-bit words: the header must be exactly
// seven words with the CIGAR directly behind it.
static_assert(sizeof(ls_extra) == 28, "ls_extra header is seven words");
static_assert(offsetof(ls_extra, n_cigar) == 24, "ls_extra layout");
static_assert(offsetof(ls_extra, cigar) == 28, "ls_extra layout");

namespace {

/* Words of the ls_extra header, in front of the CIGAR. */
constexpr uint32_t kExtraHeaderWords = sizeof(ls_extra) / sizeof(uint32_t);

/* Smallest power of two not below x (x itself when it is one); x > 0. */
uint32_t round_up_pow2(uint32_t x) {
    --x;
    x |= x >> 1;
    x |= x >> 2;
    x |= x >> 4;
    x |= x >> 8;
    x |= x >> 16;
    return x + 1;
}

/* The score a region is ranked by. */
int rank_score(const ls_reg *r, float alt_drop_fraction) {
    int score = r->p ? r->p->max_score : r->chain_score;
    if (r->on_alt) score = ls_alt_score(score, alt_drop_fraction);
    return score;
}

} // namespace

int ls_alt_score(int score, float fraction) {
    if (score < 0) return score;
    int s = (int)(score * (1.0 - fraction) + 0.499);
    return s >= 2 ? s : 1;
}

void ls_hit_sort(km_arena *km, int *n_regs, ls_reg *r, float alt_drop_fraction) {
    int n = *n_regs;
    if (n <= 1) return;
    ls128 *keys = static_cast<ls128 *>(km_malloc(km, (size_t)n * sizeof(ls128)));
    ls_reg *sorted = static_cast<ls_reg *>(km_malloc(km, (size_t)n * sizeof(ls_reg)));
    int n_kept = 0, has_cigar = 0, no_cigar = 0;
    for (int i = 0; i < n; ++i) {
        if (r[i].inverted || r[i].n_anchors > 0) {
            if (r[i].p)
                has_cigar = 1;
            else
                no_cigar = 1;
            // The raw 32-bit pattern of the score above the tie hash: one
            // ascending sort orders by score, then by tie hash.
            uint32_t score = (uint32_t)rank_score(&r[i], alt_drop_fraction);
            keys[n_kept].x = (uint64_t)score << 32 | r[i].tie_hash;
            keys[n_kept++].y = (uint64_t)i;
        } else {
            free(r[i].p);
            r[i].p = nullptr;
        }
    }
    // When every region was dropped there is nothing to mix up.
    if (n_kept > 0) LS_ASSERT(has_cigar + no_cigar == 1);
    ls_sort_128x(keys, keys + n_kept);
    for (int i = 0; i < n_kept; ++i) sorted[i] = r[keys[n_kept - 1 - i].y];
    if (n_kept > 0) memcpy(r, sorted, (size_t)n_kept * sizeof(ls_reg));
    *n_regs = n_kept;
    kfree(km, sorted);
    kfree(km, keys);
}

int ls_mark_sam_pri(int n_regs, ls_reg *r) {
    int n_pri = 0;
    for (int i = 0; i < n_regs; ++i) {
        if (r[i].id == r[i].parent) {
            r[i].sam_pri = n_pri == 0 ? 1 : 0;
            ++n_pri;
        } else {
            r[i].sam_pri = 0;
        }
    }
    return n_pri;
}

void ls_renumber_regions(km_arena *km, int n_regs, ls_reg *r) {
    if (n_regs <= 0) return;
    int max_id = -1;
    for (int i = 0; i < n_regs; ++i) max_id = r[i].id > max_id ? r[i].id : max_id;
    int n_map = max_id + 1;
    int32_t *map = static_cast<int32_t *>(km_malloc(km, (size_t)(n_map > 0 ? n_map : 1) * sizeof(int32_t)));
    for (int i = 0; i < n_map; ++i) map[i] = -1;
    for (int i = 0; i < n_regs; ++i)
        if (r[i].id >= 0) map[r[i].id] = i;
    for (int i = 0; i < n_regs; ++i) {
        r[i].id = i;
        if (r[i].parent == -2)
            r[i].parent = i;
        else if (r[i].parent >= 0)
            // A parent above every surviving id was removed as well.
            r[i].parent = r[i].parent < n_map && map[r[i].parent] >= 0 ? map[r[i].parent] : -1;
        else
            r[i].parent = -1;
    }
    kfree(km, map);
    ls_mark_sam_pri(n_regs, r);
}

void ls_extra_reserve(ls_reg *r, int m) {
    if (m <= 0) return;
    if (r->p == nullptr) {
        uint32_t cap = round_up_pow2((uint32_t)m + kExtraHeaderWords);
        r->p = static_cast<ls_extra *>(ls_xcalloc(cap, sizeof(uint32_t), __func__));
        r->p->capacity = cap;
        return;
    }
    uint32_t need = (uint32_t)m + r->p->n_cigar + kExtraHeaderWords;
    if (r->p->capacity >= need) return;
    const uint32_t old_cap = r->p->capacity, cap = round_up_pow2(need);
    r->p = static_cast<ls_extra *>(ls_xrealloc(r->p, (size_t)cap * sizeof(uint32_t), __func__));
    // Zeroed like a new block: every word up to the capacity is defined, as
    // the temporary files of split-index runs copy them all.
    memset(reinterpret_cast<uint32_t *>(r->p) + old_cap, 0, (size_t)(cap - old_cap) * sizeof(uint32_t));
    r->p->capacity = cap;
}

void ls_extra_append_cigar(ls_reg *r, uint32_t k, const uint32_t *cigar) {
    if (k == 0) return;
    ls_extra_reserve(r, (int)k);
    ls_extra *p = r->p;
    uint32_t skip = 0;
    if (p->n_cigar > 0 && (p->cigar[p->n_cigar - 1] & 0xf) == (cigar[0] & 0xf)) {
        p->cigar[p->n_cigar - 1] += cigar[0] >> 4 << 4;
        skip = 1;
    }
    memcpy(p->cigar + p->n_cigar, cigar + skip, (k - skip) * sizeof(uint32_t));
    p->n_cigar += k - skip;
}
