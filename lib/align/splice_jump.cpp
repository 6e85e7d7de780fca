/* Splice-jump refinement of the two ends of an aligned region. */
#include "align/splice_jump.h"

#include <string.h>

#include "map/regions.h"
#include "base/diagnostics.h"
#include "base/nucleotides.h"

namespace {

/* Candidate junctions of one kind (annotated or not) at one end. */
struct Tally {
    int count = 0;
    const ls_idx_jump *rec = nullptr; // the remembered candidate
    int miss = 0;                     // its mismatches against the present alignment
};

/* How far around an alignment end a junction may lie: one mismatch costs as
 * much as this many matches, plus two bases of slack, so an aligner that ran
 * a few bases into the intron (or stopped short of the exon end) is still
 * caught. */
int jump_ext(const ls_mapopt *opt) {
    return (opt->match_score + opt->mismatch_penalty - 1) / opt->match_score + 2;
}

/* out[i] = code of base from + i of the query in the alignment's
 * orientation (reverse-complemented for a reverse region). */
void aligned_codes(const char *seq, int qlen, bool is_rev, int from, int len, uint8_t *out) {
    for (int i = 0; i < len; ++i) {
        if (!is_rev) {
            out[i] = ls_nt4_table[(uint8_t)seq[from + i]];
        } else {
            const uint8_t c = ls_nt4_table[(uint8_t)seq[qlen - 1 - from - i]];
            out[i] = c < 4 ? 3 - c : 4;
        }
    }
}

/* An ambiguous base never counts as a match. */
int count_mismatches(const uint8_t *a, const uint8_t *b, int len) {
    int miss = 0;
    for (int i = 0; i < len; ++i)
        if (a[i] != b[i] || a[i] >= 4 || b[i] >= 4) ++miss;
    return miss;
}

bool hint_rejects(int strand_hint, int16_t strand) {
    return (int64_t)strand_hint * strand < 0;
}

/* Annotated junctions win whenever there is one. */
const Tally &chosen_kind(const Tally kinds[2]) {
    return kinds[0].count > 0 ? kinds[0] : kinds[1];
}

uint32_t match_op(int64_t len) {
    LS_ASSERT(len > 0 && len < (1 << 28));
    return (uint32_t)len << 4 | LS_CIGAR_MATCH;
}

uint32_t skip_op(int64_t len) {
    LS_ASSERT(len > 0 && len < (1 << 28));
    return (uint32_t)len << 4 | LS_CIGAR_N_SKIP;
}

/* Statistics of an overhang of `overhang` query bases newly aligned with
 * `miss` mismatches in the stretch it overlaps; the first intron of a region
 * earns the bonus the spliced kernel would have given it. */
void credit_overhang(ls_reg *r, const ls_mapopt *opt, int overhang, int miss) {
    ls_extra *p = r->p;
    r->block_len += overhang;
    r->match_len += overhang - miss;
    const int gain = (overhang - miss) * opt->match_score - miss * opt->mismatch_penalty;
    p->raw_max_score += gain;
    p->max_score += gain;
    if (!r->spliced) {
        r->spliced = 1;
        const int m = opt->match_score + opt->mismatch_penalty;
        p->max_score += m + m / 2;
    }
}

/* The start of the alignment on the target. */
void ls_jump_split_left(km_arena *km, const ls_idx *mi, const ls_mapopt *opt, int qlen, const char *seq,
                        ls_reg *r, int strand_hint) {
    const int ext = jump_ext(opt);
    if (r->p == nullptr || r->p->n_cigar == 0) return;
    const uint32_t first = r->p->cigar[0];
    if ((first & 0xf) != LS_CIGAR_MATCH || (int64_t)(first >> 4) <= ext + 20) return;
    const int overhang = r->reverse ? qlen - r->qe : r->qs;
    const int far_overhang = r->reverse ? r->qs : qlen - r->qe;
    if (far_overhang >= r->rs) return;
    const int extt = overhang < ext ? overhang : ext;

    int32_t n_rec;
    const ls_idx_jump *a = ls_idx_jump_get(mi, r->target_id, r->rs - extt, r->rs + ext, &n_rec);
    if (n_rec == 0) return;

    // Both stretches cover the overhang plus ext bases of the present
    // alignment: target in the first half of buf, query in the second.
    const int len = overhang + ext;
    uint8_t *buf = nullptr;
    Tally kinds[2]; // 0: annotated, 1: other
    for (int32_t i = 0; i < n_rec; ++i) {
        const ls_idx_jump *ai = &a[i];
        LS_ASSERT(ai->off >= r->rs - extt && ai->off <= r->rs + ext);
        if (hint_rejects(strand_hint, ai->strand) || ai->off2 >= ai->off || ai->off - ai->off2 < 6 ||
            ai->off2 < overhang + ext)
            continue;
        if (buf == nullptr) {
            buf = static_cast<uint8_t *>(km_calloc(km, 2 * (size_t)len, 1));
            aligned_codes(seq, qlen, r->reverse, 0, len, buf + len);
        }
        const int n = overhang + ai->off - r->rs; // query bases before the intron
        const int tl1 = n;
        int tlen = ls_idx_get_bases_strand(mi, 0, r->target_id, ai->off2 - n, ai->off2, buf);
        LS_ASSERT(tlen == tl1);
        tlen = ls_idx_get_bases_strand(mi, 0, r->target_id, ai->off, r->rs + ext, buf + n);
        LS_ASSERT(tlen == r->rs + ext - ai->off);
        const int miss_new = count_mismatches(buf, buf + len, n);
        const int miss_old = count_mismatches(buf + n, buf + len + n, len - n);
        if (miss_new > 0 || miss_old > 1) continue;
        Tally &t = kinds[ai->flag & 1 ? 0 : 1];
        ++t.count;
        t.rec = ai; // the last one in list order
        t.miss = miss_old;
    }
    if (buf) kfree(km, buf);

    const Tally &c = chosen_kind(kinds);
    if (c.count == 0) return;
    const ls_idx_jump *j = c.rec;
    const int diff = j->off - r->rs;
    const int e = overhang + diff;
    ls_extra *p = r->p;
    if (c.count == 1 && e >= opt->jump_min_matches) {
        ls_extra_reserve(r, 2);
        p = r->p;
        memmove(p->cigar + 2, p->cigar, p->n_cigar * sizeof(uint32_t));
        p->cigar[0] = match_op(e);
        p->cigar[1] = skip_op(j->off - j->off2);
        p->cigar[2] = match_op((int64_t)(p->cigar[2] >> 4) - diff);
        p->n_cigar += 2;
        r->rs = j->off2 - e;
        if (r->reverse)
            r->qe = qlen;
        else
            r->qs = 0;
        credit_overhang(r, opt, overhang, c.miss);
    } else if (j->off > r->rs) {
        // Ambiguous or too short to place: at least stop at the exon end.
        p->cigar[0] = match_op((int64_t)(p->cigar[0] >> 4) - diff);
        r->rs += diff;
        if (r->reverse)
            r->qe -= diff;
        else
            r->qs += diff;
    }
}

/* The end of the alignment on the target: the mirror image of the start. */
void ls_jump_split_right(km_arena *km, const ls_idx *mi, const ls_mapopt *opt, int qlen, const char *seq,
                         ls_reg *r, int strand_hint) {
    const int ext = jump_ext(opt);
    if (r->p == nullptr || r->p->n_cigar == 0) return;
    const uint32_t last = r->p->cigar[r->p->n_cigar - 1];
    if ((last & 0xf) != LS_CIGAR_MATCH || (int64_t)(last >> 4) <= ext + 20) return;
    const int overhang = r->reverse ? r->qs : qlen - r->qe;
    const int far_overhang = r->reverse ? qlen - r->qe : r->qs;
    const int64_t tgt_len = mi->seq[r->target_id].len;
    if ((uint32_t)far_overhang >= (uint32_t)tgt_len - (uint32_t)r->re) return;
    const int extt = overhang < ext ? overhang : ext;

    int32_t n_rec;
    const ls_idx_jump *a = ls_idx_jump_get(mi, r->target_id, r->re - ext, r->re + extt, &n_rec);
    if (n_rec == 0) return;

    const int len = overhang + ext;
    uint8_t *buf = nullptr;
    Tally kinds[2]; // 0: annotated, 1: other
    for (int32_t i = 0; i < n_rec; ++i) {
        const ls_idx_jump *ai = &a[i];
        LS_ASSERT(ai->off >= r->re - ext && ai->off <= r->re + extt);
        if (hint_rejects(strand_hint, ai->strand) || ai->off2 <= ai->off || ai->off2 - ai->off < 6 ||
            (int64_t)ai->off2 + overhang + ext > tgt_len)
            continue;
        if (buf == nullptr) {
            buf = static_cast<uint8_t *>(km_calloc(km, 2 * (size_t)len, 1));
            aligned_codes(seq, qlen, r->reverse, qlen - len, len, buf + len);
        }
        const int n = overhang + r->re - ai->off; // query bases after the intron
        const int tl1 = n;
        int tlen = ls_idx_get_bases_strand(mi, 0, r->target_id, r->re - ext, ai->off, buf);
        LS_ASSERT(tlen == ai->off - (r->re - ext));
        tlen = ls_idx_get_bases_strand(mi, 0, r->target_id, ai->off2, ai->off2 + n, buf + len - n);
        LS_ASSERT(tlen == tl1);
        const int miss_old = count_mismatches(buf, buf + len, len - n);
        const int miss_new = count_mismatches(buf + len - n, buf + 2 * len - n, n);
        if (miss_new > 0 || miss_old > 1) continue;
        Tally &t = kinds[ai->flag & 1 ? 0 : 1];
        if (t.count++ == 0) { // the first one in list order
            t.rec = ai;
            t.miss = miss_old;
        }
    }
    if (buf) kfree(km, buf);

    const Tally &c = chosen_kind(kinds);
    if (c.count == 0) return;
    const ls_idx_jump *j = c.rec;
    const int diff = r->re - j->off;
    const int e = overhang + diff;
    ls_extra *p = r->p;
    // e is 0 when the junction lies exactly overhang bases past the end:
    // nothing would follow the intron, and a CIGAR cannot hold an empty M.
    if (c.count == 1 && e >= opt->jump_min_matches && e > 0) {
        ls_extra_reserve(r, 2);
        p = r->p;
        uint32_t *lm = &p->cigar[p->n_cigar - 1];
        *lm = match_op((int64_t)(*lm >> 4) - diff);
        p->cigar[p->n_cigar] = skip_op(j->off2 - j->off);
        p->cigar[p->n_cigar + 1] = match_op(e);
        p->n_cigar += 2;
        r->re = j->off2 + e;
        if (r->reverse)
            r->qs = 0;
        else
            r->qe = qlen;
        credit_overhang(r, opt, overhang, c.miss);
    } else if (j->off < r->re) {
        uint32_t *lm = &p->cigar[p->n_cigar - 1];
        *lm = match_op((int64_t)(*lm >> 4) - diff);
        r->re -= diff;
        if (r->reverse)
            r->qs += diff;
        else
            r->qe -= diff;
    }
}

} // namespace

void ls_jump_split(km_arena *km, const ls_idx *mi, const ls_mapopt *opt, int qlen, const char *seq, ls_reg *r,
                   int strand_hint) {
    LS_ASSERT((opt->flag & LS_F_EQX) == 0);
    // Without stored bases nothing can be compared; without a positive match
    // score the search window is undefined.
    if (opt->match_score <= 0 || mi->packed_seq == nullptr || r->target_id < 0 ||
        (uint32_t)r->target_id >= mi->n_seq)
        return;
    ls_jump_split_left(km, mi, opt, qlen, seq, r, strand_hint);
    ls_jump_split_right(km, mi, opt, qlen, seq, r, strand_hint);
}
