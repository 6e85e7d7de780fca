/* Pairing of the mates of a fragment and the read-through mark. */
#include "map/pairing.h"

#include <math.h>
#include <stdlib.h>

#include "base/diagnostics.h"
#include "base/radix_sort.h"

namespace {

inline int32_t rec_target(const ls_pair_rec &r) {
    return (int32_t)(r.key >> 32);
}

inline int32_t max_score(const ls_reg *r) {
    LS_ASSERT(r->p);
    return r->p->max_score;
}

/* Arena-backed growable list of pair scores; the capacity doubles when full. */
struct ScoreList {
    km_arena *km;
    size_t n = 0, m;
    uint64_t *a;
    ScoreList(km_arena *km_, size_t n_recs) : km(km_) {
        m = 1;
        while (m < n_recs) m <<= 1; // n_recs rounded up to a power of two
        a = (uint64_t *)km_malloc(km, m * sizeof(uint64_t));
        LS_ASSERT(a);
    }
    ~ScoreList() { kfree(km, a); }
    void push(uint64_t x) {
        if (n == m) {
            m <<= 1;
            a = (uint64_t *)km_realloc(km, a, m * sizeof(uint64_t));
            LS_ASSERT(a);
        }
        a[n++] = x;
    }
};

/* Makes r the primary of its mate: the former primary and every region
 * that pointed to it now point to r, and the former primary, no longer the
 * mate's best placement, loses its mapping quality. r also becomes the
 * mate's SAM-primary region. */
void promote(int n, ls_reg *regs, ls_reg *r) {
    if (r->id != r->parent) {
        if (r->parent >= 0 && r->parent < n) {
            ls_reg *p = &regs[r->parent];
            int32_t old = p->id;
            for (int k = 0; k < n; ++k)
                if (regs[k].parent == old) regs[k].parent = r->id;
            p->mapq = 0;
        }
        // A parent outside the array names no region to take over from;
        // r still has to stand as the primary of its mate.
        r->parent = r->id;
    }
    if (!r->sam_pri) {
        for (int k = 0; k < n; ++k) regs[k].sam_pri = 0;
        r->sam_pri = 1;
    }
}

/* Raises the mapping qualities of the chosen pair r[0], r[1] by how clearly
 * its score top beats the other candidate pairs in the ascending list. */
void raise_mapq(ls_reg *r[2], const ScoreList &list, uint64_t top, int score_margin, int match) {
    const size_t n = list.n;
    const int64_t top_sc = (int64_t)(top >> 32);
    int pair_mapq = r[0]->mapq > r[1]->mapq ? (int)r[0]->mapq : (int)r[1]->mapq;
    int n_close = 0;
    for (size_t k = 0; k < n; ++k)
        if ((int64_t)(list.a[k] >> 32) + score_margin >= top_sc) ++n_close;
    const int64_t second_sc = n >= 2 ? (int64_t)(list.a[n - 2] >> 32) : 0;
    if (n >= 2) {
        // A zero match score would turn the division into inf or NaN, whose
        // conversion to int is undefined.
        const int m = match > 0 ? match : 1;
        float x = 6.02f * (float)(top_sc - second_sc);
        x = x / (float)m;
        x = x + -4.343f * logf((float)n_close);
        int alt = (int)x; // truncation toward zero
        if (alt < pair_mapq) pair_mapq = alt;
    }
    for (int s = 0; s < 2; ++s)
        if ((int)r[s]->mapq < pair_mapq) {
            float q = 0.2f * (float)r[s]->mapq + 0.8f * (float)pair_mapq + 0.499f;
            r[s]->mapq = (uint32_t)(int)q & 0xff;
        }
    if (n == 1) {
        // The only candidate pair: its placement is never entirely unsure.
        for (int s = 0; s < 2; ++s)
            if (r[s]->mapq < 2) r[s]->mapq = 2;
    } else if (top_sc > second_sc) {
        for (int s = 0; s < 2; ++s)
            if (r[s]->mapq == 0) r[s]->mapq = 1;
    }
}

} // namespace

// Pairing records sort by their packed key: target, then position and end.
LS_RADIX_SORT_INSTANCE(pair, ls_pair_rec, 64, r.key)

void ls_pair_mates(km_arena *km, int gap_limit, int pair_bonus, int score_margin, int match,
                   const int mate_lens[2], const int n[2], ls_reg *regs[2]) {
    const int n_recs = n[0] + n[1];
    ls_pair_rec *a = (ls_pair_rec *)km_malloc(km, (size_t)(n_recs > 0 ? n_recs : 1) * sizeof(ls_pair_rec));
    LS_ASSERT(a);
    int32_t best[2] = {0, 0};
    int k = 0;
    for (int s = 0; s < 2; ++s)
        for (int i = 0; i < n[s]; ++i) {
            ls_reg *r = &regs[s][i];
            ls_pair_rec &p = a[k++];
            p.seg = s;
            p.rev = r->reverse;
            p.key = (uint64_t)(uint32_t)r->target_id << 32 | (uint32_t)r->rs << 1 |
                    (uint64_t)(uint32_t)(s ^ (int)r->reverse);
            p.reg = r;
            if (max_score(r) > best[s]) best[s] = max_score(r);
        }
    if (n[0] == 0 || n[1] == 0) {
        kfree(km, a);
        return;
    }

    // Pairs scoring far below the two mates' best placements are not
    // worth ranking.
    int64_t score_floor = (int64_t)best[0] + best[1] - pair_bonus;
    if (score_floor < 0) score_floor = 0;

    ls_sort_pair(a, a + n_recs);

    // Each right end looks back for left ends of the other mate on its
    // strand; last[rev] is the latest left end seen on that strand, and the
    // records before it are ordered by target, then start.
    int last[2] = {-1, -1};
    int64_t top = -1;
    int top_rec[2] = {-1, -1};
    ScoreList list(km, (size_t)n_recs);
    for (int i = 0; i < n_recs; ++i) {
        const ls_pair_rec &q = a[i];
        if (!(q.key & 1)) {
            last[q.rev] = i;
            continue;
        }
        int j0 = last[q.rev];
        if (j0 < 0 || rec_target(a[j0]) != rec_target(q)) continue;
        if ((int64_t)q.reg->rs - a[j0].reg->re > gap_limit) continue;
        for (int j = j0; j >= 0; --j) {
            const ls_pair_rec &p = a[j];
            if (p.rev != q.rev || p.seg == q.seg) continue;
            if (rec_target(p) != rec_target(q) || (int64_t)q.reg->rs - p.reg->re > gap_limit) break;
            int64_t sum = (int64_t)max_score(q.reg) + max_score(p.reg);
            if (sum < score_floor) continue;
            // sum >= score_floor >= 0, so the packed score orders like sum,
            // then like the tie hashes.
            uint64_t score = (uint64_t)sum << 32 | (uint32_t)(p.reg->tie_hash + q.reg->tie_hash);
            if ((int64_t)score > top) {
                top = (int64_t)score;
                top_rec[p.seg] = j;
                top_rec[q.seg] = i;
            }
            list.push(score);
        }
    }
    if (list.n >= 2) ls_sort_64(list.a, list.a + list.n);

    if (list.n > 0 && top > 0) {
        ls_reg *r[2] = {a[top_rec[0]].reg, a[top_rec[1]].reg};
        r[0]->proper_pair = r[1]->proper_pair = 1;
        for (int s = 0; s < 2; ++s) promote(n[s], regs[s], r[s]);
        raise_mapq(r, list, (uint64_t)top, score_margin, match);
    }
    kfree(km, a);
    ls_mark_read_through(mate_lens, n, regs);
}

void ls_mark_read_through(const int mate_lens[2], const int n[2], ls_reg *regs[2]) {
    ls_reg *pri[2] = {nullptr, nullptr};
    for (int s = 0; s < 2; ++s) {
        int n_pri = 0;
        for (int i = 0; i < n[s]; ++i)
            if (regs[s][i].id == regs[s][i].parent) ++n_pri, pri[s] = &regs[s][i];
        if (n_pri != 1) return;
    }
    ls_reg *p = pri[0], *q = pri[1];
    if (p->target_id != q->target_id || p->reverse != q->reverse) return;
    if (abs(p->rs - q->rs) > 2 || abs(p->re - q->re) > 2) return;
    if ((p->qs == 0 && q->qe == mate_lens[1]) || (q->qs == 0 && p->qe == mate_lens[0]))
        p->read_through = q->read_through = 1;
}
