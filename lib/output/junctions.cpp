/* Junction lines: one BED-like line per intron of a spliced alignment, with
 * a score for the splice-site dinucleotides at its two ends. */
#include <string.h>

#include "base/diagnostics.h"
#include "map/regions.h"
#include "output/text.h"

namespace {

/* Two codes of the target read at [st, st + 2); N (4) where no base is stored. */
void read_pair(const ls_idx *mi, int32_t rid, int64_t st, uint8_t out[2]) {
    out[0] = out[1] = 4;
    if (mi->packed_seq == nullptr || st < 0 || st + 2 > (int64_t)mi->seq[rid].len) return;
    ls_idx_get_bases(mi, rid, (int)st, (int)st + 2, out);
}

int donor_score(const uint8_t d[2]) {
    if (d[0] == 2 && d[1] == 3) return 3; // GT
    if (d[0] == 2 && d[1] == 1) return 2; // GC
    if (d[0] == 0 && d[1] == 3) return 1; // AT
    return 0;
}

int acceptor_score(const uint8_t a[2]) {
    if (a[0] == 0 && a[1] == 2) return 3; // AG
    if (a[0] == 0 && a[1] == 1) return 1; // AC
    return 0;
}

void revcomp_pair(const uint8_t in[2], uint8_t out[2]) {
    out[0] = in[1] < 4 ? 3 - in[1] : 4;
    out[1] = in[0] < 4 ? 3 - in[0] : 4;
}

} // namespace

extern "C" {

void ls_write_junc(ls_string *str, const ls_idx *mi, const ls_bseq_rec *t, const ls_reg *r) {
    str->l = 0;
    ls_string_printf(str, "");
    if (!r->spliced || r->p == nullptr) return;
    const uint32_t ts = r->p->transcript_strand;
    if (ts != 1 && ts != 2) return;
    const int rev_t = ts == 2;
    const char *qname = t->name != nullptr && t->name[0] ? t->name : "*";
    int64_t t_off = r->rs;
    int n_lines = 0;
    for (uint32_t k = 0; k < r->p->n_cigar; ++k) {
        const int op = (int)(r->p->cigar[k] & 0xf);
        const int64_t len = r->p->cigar[k] >> 4;
        if (op == LS_CIGAR_MATCH || op == LS_CIGAR_EQ_MATCH || op == LS_CIGAR_X_MISMATCH ||
            op == LS_CIGAR_DEL) {
            t_off += len;
        } else if (op == LS_CIGAR_N_SKIP) {
            LS_ASSERT(len >= 2);
            const int64_t end = t_off + len;
            uint8_t left[2], right[2], donor[2], acceptor[2];
            read_pair(mi, r->target_id, t_off, left);
            read_pair(mi, r->target_id, end - 2, right);
            // On the transcript's strand the donor opens the intron; seen from the other
            // strand it is the reverse complement of the intron's last two bases.
            if ((int)r->reverse == rev_t) {
                memcpy(donor, left, 2), memcpy(acceptor, right, 2);
            } else {
                revcomp_pair(right, donor), revcomp_pair(left, acceptor);
            }
            if (n_lines++ > 0) ls_string_printf(str, "\n");
            ls_append_target_name(str, mi, r->target_id);
            ls_string_printf(str, "\t%d\t%d\t%s\t%d\t%c", (int)t_off, (int)end, qname,
                             donor_score(donor) + acceptor_score(acceptor), "+-"[r->reverse ^ rev_t]);
            t_off = end;
        }
    }
    LS_ASSERT(t_off == r->re);
}

} // extern "C"
