/* PAF lines: the twelve columns of a mapped region (or an unmapped query)
 * and the tags they share with SAM records. */
#include <stdio.h>
#include <string.h>

#include "base/diagnostics.h"
#include "map/regions.h"
#include "output/text.h"

extern "C" {

void ls_paf_tags(ls_string *str, const ls_reg *r) {
    const ls_extra *p = r->p;
    if (p != nullptr) {
        ls_string_printf(str, "\tNM:i:%d\tms:i:%d\tAS:i:%d\tnn:i:%d",
                         r->block_len + (int)p->n_ambiguous - r->match_len, p->raw_max_score, p->aln_score,
                         (int)p->n_ambiguous);
        if (p->transcript_strand == 1 || p->transcript_strand == 2)
            ls_string_printf(str, "\tts:A:%c", "?+-?"[p->transcript_strand]);
    }
    const bool primary = r->parent == r->id;
    char type = primary ? 'P' : 'S';
    if (r->inverted) type = primary ? 'I' : 'i';
    ls_string_printf(str, "\ttp:A:%c\tcm:i:%d\ts1:i:%d", type, r->n_anchors, r->chain_score);
    if (primary) ls_string_printf(str, "\ts2:i:%d", r->sub_score);
    char buf[16];
    if (p != nullptr) {
        const double d = ls_event_identity(r);
        if (d == 1.0)
            ls_string_printf(str, "\tde:f:%s", "0");
        else {
            snprintf(buf, sizeof(buf), "%.4f", 1.0 - d);
            ls_string_printf(str, "\tde:f:%s", buf);
        }
    } else if (r->divergence >= 0.0f && r->divergence <= 1.0f) {
        if (r->divergence == 0.0f)
            ls_string_printf(str, "\tdv:f:%s", "0");
        else {
            snprintf(buf, sizeof(buf), "%.4f", (double)r->divergence);
            ls_string_printf(str, "\tdv:f:%s", buf);
        }
    }
    if (r->zdrop_split != 0) ls_string_printf(str, "\tzd:i:%d", (int)r->zdrop_split);
}

void ls_paf_format(ls_string *str, const ls_idx *mi, const ls_bseq_rec *t, const ls_reg *r, km_arena *km,
                   int64_t flag, int rep_len, int n_seg, int seg_idx) {
    str->l = 0;
    // An empty first column would shift every column for a reader that
    // splits on runs of white space; "*" stands for no name, as in SAM.
    ls_string_printf(str, "%s", t->name != nullptr && t->name[0] ? t->name : "*");
    if ((flag & LS_F_FRAGMENT) && seg_idx >= 0 && n_seg > 1) ls_string_printf(str, "/%d", seg_idx + 1);
    if (r == nullptr) {
        ls_string_printf(str, "\t%d\t0\t0\t*\t*\t0\t0\t0\t0\t0\t0", t->len);
        if (rep_len >= 0) ls_string_printf(str, "\trl:i:%d", rep_len);
        return;
    }
    ls_string_printf(str, "\t%d\t%d\t%d\t%c\t", t->len, r->qs, r->qe, "+-"[r->reverse]);
    LS_ASSERT(r->target_id >= 0 && (uint32_t)r->target_id < mi->n_seq);
    const ls_idx_seq *s = &mi->seq[r->target_id];
    if (s->name != nullptr)
        ls_string_printf(str, "%s", s->name);
    else
        ls_string_printf(str, "%d", r->target_id);
    // Lengths are unsigned 32-bit: a target of 2^31 bases or more must not print as negative,
    // nor turn the mirrored coordinates below negative (re never exceeds the length).
    const uint32_t tlen = s->len;
    ls_string_printf(str, "\t%u", tlen);
    if ((flag & LS_F_QUERY_STRAND) && r->reverse)
        ls_string_printf(str, "\t%u\t%u", tlen - (uint32_t)r->re, tlen - (uint32_t)r->rs);
    else
        ls_string_printf(str, "\t%d\t%d", r->rs, r->re);
    ls_string_printf(str, "\t%d\t%d", r->match_len, r->block_len);
    ls_string_printf(str, "\t%d", (int)r->mapq);
    ls_paf_tags(str, r);
    if (rep_len >= 0) ls_string_printf(str, "\trl:i:%d", rep_len);
    if ((flag & LS_F_CG_TAG) && r->p != nullptr) {
        ls_string_printf(str, "\tcg:Z:");
        for (uint32_t k = 0; k < r->p->n_cigar; ++k)
            ls_string_printf(str, "%d%c", (int)(r->p->cigar[k] >> 4), LS_CIGAR_STR[r->p->cigar[k] & 0xf]);
    }
    if (r->p != nullptr && (flag & (LS_F_CS_TAG | LS_F_MD_TAG | LS_F_DS_TAG)))
        ls_write_diff_tags(km, str, mi, t, r, !(flag & LS_F_CS_LONG), !!(flag & LS_F_MD_TAG),
                           !!(flag & LS_F_DS_TAG), 1, !!(flag & LS_F_QUERY_STRAND));
    if ((flag & LS_F_COPY_COMMENT) && t->comment != nullptr) ls_string_printf(str, "\t%s", t->comment);
}

void ls_paf_format_rl(ls_string *str, const ls_idx *mi, const ls_bseq_rec *t, const ls_reg *r, km_arena *km,
                      int64_t flag, int rep_len) {
    ls_paf_format(str, mi, t, r, km, flag, rep_len, 0, 0);
}

void ls_paf_format_basic(ls_string *str, const ls_idx *mi, const ls_bseq_rec *t, const ls_reg *r,
                         km_arena *km, int64_t flag) {
    ls_paf_format(str, mi, t, r, km, flag, -1, 0, 0);
}

} // extern "C"
