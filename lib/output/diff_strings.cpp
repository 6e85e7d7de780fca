/* Difference strings: MD, and the cs and ds strings (short or long form) that
 * spell out an aligned region's bases against the target. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "base/arena.h"
#include "base/diagnostics.h"
#include "base/nucleotides.h"
#include "map/regions.h"
#include "output/text.h"

namespace {

const char kUpper[] = "ACGTN";
const char kLower[] = "acgtn";

/* Scratch from an arena, returned when the owner goes out of scope. */
struct ArenaBuf {
    km_arena *km;
    uint8_t *p;
    ArenaBuf(km_arena *km_, size_t n) : km(km_), p((uint8_t *)km_malloc(km_, n > 0 ? n : 1)) {}
    ~ArenaBuf() { kfree(km, p); }
    ArenaBuf(const ArenaBuf &) = delete;
    ArenaBuf &operator=(const ArenaBuf &) = delete;
};

/* Query and target spans consumed by the CIGAR. Checked before any base is
 * read, so that a CIGAR that overruns the region stops the process at the
 * span assertion instead of reading past the scratch arrays. */
void cigar_spans(const ls_extra *p, int64_t *q_len, int64_t *t_len) {
    int64_t q = 0, t = 0;
    for (uint32_t k = 0; k < p->n_cigar; ++k) {
        const uint32_t op = p->cigar[k] & 0xf, len = p->cigar[k] >> 4;
        if (op == LS_CIGAR_MATCH || op == LS_CIGAR_EQ_MATCH || op == LS_CIGAR_X_MISMATCH ||
            op == LS_CIGAR_INS)
            q += len;
        if (op == LS_CIGAR_MATCH || op == LS_CIGAR_EQ_MATCH || op == LS_CIGAR_X_MISMATCH ||
            op == LS_CIGAR_DEL || op == LS_CIGAR_N_SKIP)
            t += len;
    }
    *q_len = q, *t_len = t;
}

void check_spans(const ls_extra *p, const ls_reg *r) {
    int64_t q_off, t_off;
    cigar_spans(p, &q_off, &t_off);
    LS_ASSERT(t_off == r->re - r->rs && q_off == r->qe - r->qs);
}

void write_MD_core(ls_string *str, const uint8_t *tseq, const uint8_t *qseq, const ls_reg *r, char *tmp,
                   int write_tag) {
    const ls_extra *p = r->p;
    if (write_tag) ls_string_printf(str, "\tMD:Z:");
    check_spans(p, r);
    int q_off = 0, t_off = 0, l_MD = 0;
    for (uint32_t k = 0; k < p->n_cigar; ++k) {
        const int op = (int)(p->cigar[k] & 0xf);
        const int len = (int)(p->cigar[k] >> 4);
        LS_ASSERT((op >= LS_CIGAR_MATCH && op <= LS_CIGAR_N_SKIP) || op == LS_CIGAR_EQ_MATCH ||
                  op == LS_CIGAR_X_MISMATCH);
        if (op == LS_CIGAR_MATCH || op == LS_CIGAR_EQ_MATCH || op == LS_CIGAR_X_MISMATCH) {
            for (int i = 0; i < len; ++i) {
                const uint8_t tb = tseq[t_off + i], qb = qseq[q_off + i];
                if (tb == qb) {
                    ++l_MD;
                } else {
                    ls_string_printf(str, "%d%c", l_MD, kUpper[tb]);
                    l_MD = 0;
                }
            }
            q_off += len, t_off += len;
        } else if (op == LS_CIGAR_DEL) {
            for (int i = 0; i < len; ++i) tmp[i] = kUpper[tseq[t_off + i]];
            tmp[len] = 0;
            ls_string_printf(str, "%d^%s", l_MD, tmp);
            l_MD = 0;
            t_off += len;
        } else if (op == LS_CIGAR_INS) {
            q_off += len;
        } else { // intron
            t_off += len;
        }
    }
    // The count closes the string even when it is 0: readers expect every letter
    // or deletion to be followed by a number, and reject an MD that ends in a letter.
    ls_string_printf(str, "%d", l_MD);
    LS_ASSERT(t_off == r->re - r->rs && q_off == r->qe - r->qs);
}

/* An inserted or deleted sequence whose first ll letters repeat the sequence
 * after it and whose last lr letters repeat the sequence before it; the
 * repeated parts are bracketed (the whole of it when they cover it). */
void write_ds_indel(ls_string *str, int len, const uint8_t *codes, int ll, int lr) {
    if (ll + lr < len) {
        if (ll >= 1) {
            ls_str_putc(str, '[');
            for (int i = 0; i < ll; ++i) ls_str_putc(str, kLower[codes[i]]);
            ls_str_putc(str, ']');
        }
        for (int i = ll; i < len - lr; ++i) ls_str_putc(str, kLower[codes[i]]);
        if (lr >= 1) {
            ls_str_putc(str, '[');
            for (int i = len - lr; i < len; ++i) ls_str_putc(str, kLower[codes[i]]);
            ls_str_putc(str, ']');
        }
    } else {
        ls_str_putc(str, '[');
        for (int i = 0; i < len; ++i) ls_str_putc(str, kLower[codes[i]]);
        ls_str_putc(str, ']');
    }
}

/* One gap of len codes starting at y in seq (of total length seq_len) in ds
 * form: lr counts the gap's last letters that equal the letters before it,
 * ll the gap's first letters that equal the letters after it. */
void write_ds_gap(ls_string *str, const uint8_t *seq, int seq_len, int y, int len) {
    int lr = 0, ll = 0;
    for (int z = 1; z <= len && y - z >= 0; ++z, ++lr)
        if (seq[y + len - z] != seq[y - z]) break;
    for (int z = 0; z < len && z < seq_len - (y + len); ++z, ++ll)
        if (seq[y + len + z] != seq[y + z]) break;
    write_ds_indel(str, len, seq + y, ll, lr);
}

/* An insertion ('+', query bases) or a deletion ('-', target bases) of len
 * bases from seq[off]: the bases in cs, the bracketed form in ds. */
void write_gap(ls_string *str, char sign, bool is_ds, const uint8_t *seq, int seq_len, int off, int len) {
    ls_str_putc(str, sign);
    if (is_ds)
        write_ds_gap(str, seq, seq_len, off, len);
    else
        for (int i = 0; i < len; ++i) ls_str_putc(str, kLower[seq[off + i]]);
}

void flush_run(ls_string *str, char *run, int *n_run, int no_iden) {
    if (*n_run == 0) return;
    if (no_iden) {
        ls_string_printf(str, ":%d", *n_run);
    } else {
        run[*n_run] = 0;
        ls_string_printf(str, "=%s", run);
    }
    *n_run = 0;
}

void write_cs_ds_core(ls_string *str, const uint8_t *tseq, const uint8_t *qseq, const ls_reg *r, char *tmp,
                      int no_iden, int is_ds, int write_tag) {
    const ls_extra *p = r->p;
    if (write_tag) ls_string_printf(str, "\t%cs:Z:", is_ds ? 'd' : 'c');
    check_spans(p, r);
    const int q_len = r->qe - r->qs, t_len = r->re - r->rs;
    int q_off = 0, t_off = 0;
    for (uint32_t k = 0; k < p->n_cigar; ++k) {
        const int op = (int)(p->cigar[k] & 0xf);
        const int len = (int)(p->cigar[k] >> 4);
        LS_ASSERT((op >= LS_CIGAR_MATCH && op <= LS_CIGAR_N_SKIP) || op == LS_CIGAR_EQ_MATCH ||
                  op == LS_CIGAR_X_MISMATCH);
        if (op == LS_CIGAR_MATCH || op == LS_CIGAR_EQ_MATCH || op == LS_CIGAR_X_MISMATCH) {
            int n_run = 0;
            for (int i = 0; i < len; ++i) {
                const uint8_t tb = tseq[t_off + i], qb = qseq[q_off + i];
                if (tb == qb) {
                    tmp[n_run++] = kUpper[tb];
                } else {
                    flush_run(str, tmp, &n_run, no_iden);
                    ls_string_printf(str, "*%c%c", kLower[tb], kLower[qb]);
                }
            }
            flush_run(str, tmp, &n_run, no_iden);
            q_off += len, t_off += len;
        } else if (op == LS_CIGAR_INS) {
            write_gap(str, '+', is_ds, qseq, q_len, q_off, len);
            q_off += len;
        } else if (op == LS_CIGAR_DEL) {
            write_gap(str, '-', is_ds, tseq, t_len, t_off, len);
            t_off += len;
        } else { // intron
            LS_ASSERT(len >= 2);
            const uint8_t *s = tseq + t_off;
            ls_string_printf(str, "~%c%c%d%c%c", kLower[s[0]], kLower[s[1]], len, kLower[s[len - 2]],
                             kLower[s[len - 1]]);
            t_off += len;
        }
    }
    LS_ASSERT(t_off == r->re - r->rs && q_off == r->qe - r->qs);
}

/* Region fits its query text and the index's stored bases. */
bool region_fits(const ls_idx *mi, const ls_bseq_rec *t, const ls_reg *r) {
    if (mi == nullptr || mi->packed_seq == nullptr || t == nullptr || t->seq == nullptr) return false;
    if (r->target_id < 0 || (uint32_t)r->target_id >= mi->n_seq) return false;
    if (r->qs < 0 || r->qe < r->qs || r->rs < 0 || r->re < r->rs) return false;
    if (r->re > (int64_t)mi->seq[r->target_id].len) return false;
    // The record's length may be absent (0) for callers that only have text.
    const size_t qlen = t->len > 0 ? (size_t)t->len : strlen(t->seq);
    if ((size_t)r->qe > qlen) return false;
    return true;
}

} // namespace

extern "C" {

int ls_write_diff_tags(km_arena *km, ls_string *str, const ls_idx *mi, const ls_bseq_rec *t, const ls_reg *r,
                       int no_iden, int is_md, int is_ds, int write_tag, int is_qstrand) {
    if (r->p == nullptr) return 0;
    if (!region_fits(mi, t, r)) return -1;
    const int t_n = r->re - r->rs, q_n = r->qe - r->qs;
    ArenaBuf tbuf(km, (size_t)t_n), qbuf(km, (size_t)q_n), tmp(km, (size_t)std::max(t_n, q_n) + 1);
    uint8_t *tseq = tbuf.p, *qseq = qbuf.p;
    int got;
    if (is_qstrand) {
        got = ls_idx_get_bases_strand(mi, r->reverse, r->target_id, r->rs, r->re, tseq);
        for (int i = 0; i < q_n; ++i) qseq[i] = ls_nt4_table[(uint8_t)t->seq[r->qs + i]];
    } else {
        got = ls_idx_get_bases(mi, r->target_id, r->rs, r->re, tseq);
        if (!r->reverse) {
            for (int i = 0; i < q_n; ++i) qseq[i] = ls_nt4_table[(uint8_t)t->seq[r->qs + i]];
        } else {
            // Run along the target: entry j is the complement of query base qe - 1 - j.
            for (int i = 0; i < q_n; ++i) {
                const uint8_t c = ls_nt4_table[(uint8_t)t->seq[r->qe - 1 - i]];
                qseq[i] = c < 4 ? 3 - c : 4;
            }
        }
    }
    // An empty target interval reads as "start out of range"; it has no bases to miss.
    if (t_n > 0 && got != t_n) return -1;
    if (is_md)
        write_MD_core(str, tseq, qseq, r, (char *)tmp.p, write_tag);
    else
        write_cs_ds_core(str, tseq, qseq, r, (char *)tmp.p, no_iden, is_ds, write_tag);
    return 0;
}

int ls_diff_string_full(km_arena *km, char **buf, int *max_len, const ls_idx *mi, const ls_reg *r,
                        const char *seq, int is_md, int is_ds, int no_iden, int is_qstrand) {
    ls_string str;
    str.l = 0;
    str.m = *buf != nullptr && *max_len > 0 ? (uint64_t)*max_len : 0;
    str.s = *buf;
    ls_bseq_rec q;
    memset(&q, 0, sizeof(q));
    q.seq = (char *)seq;
    q.len = 0; // taken from the text
    const int ret = ls_write_diff_tags(km, &str, mi, &q, r, no_iden, is_md, is_ds, 0, is_qstrand);
    if (str.s != nullptr) str.s[str.l] = 0;
    *buf = str.s;
    *max_len = (int)str.m;
    return ret < 0 ? -1 : (int)str.l;
}

int ls_diff_string(km_arena *km, char **buf, int *max_len, const ls_idx *mi, const ls_reg *r, const char *seq,
                   int is_md, int no_iden, int is_qstrand) {
    return ls_diff_string_full(km, buf, max_len, mi, r, seq, is_md, 0, no_iden, is_qstrand);
}

int ls_cs_string(km_arena *km, char **buf, int *max_len, const ls_idx *mi, const ls_reg *r, const char *seq,
                 int no_iden) {
    return ls_diff_string_full(km, buf, max_len, mi, r, seq, 0, 0, no_iden, 0);
}

int ls_ds_string(km_arena *km, char **buf, int *max_len, const ls_idx *mi, const ls_reg *r, const char *seq,
                 int no_iden) {
    return ls_diff_string_full(km, buf, max_len, mi, r, seq, 0, 1, no_iden, 0);
}

int ls_md_string(km_arena *km, char **buf, int *max_len, const ls_idx *mi, const ls_reg *r, const char *seq) {
    return ls_diff_string_full(km, buf, max_len, mi, r, seq, 1, 0, 0, 0);
}

} // extern "C"
