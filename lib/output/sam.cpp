/* SAM output: the header with its read group and program lines, and one
 * record per region or unmapped segment. */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <ctype.h>
#include <string.h>

#include <atomic>

#include "map/regions.h"
#include "output/text.h"
#include "base/alloc.h"
#include "base/diagnostics.h"

namespace {

/* SAM flag bits used below. */
const int kPaired = 0x1, kProperPair = 0x2, kUnmapped = 0x4, kMateUnmapped = 0x8, kReverse = 0x10,
          kMateReverse = 0x20, kFirst = 0x40, kLast = 0x80, kSecondary = 0x100, kSupplementary = 0x800;

/* The SAM-primary region of an array; an array with regions but none marked
 * breaks the callers' promise to mark one per segment. */
const ls_reg *get_sam_pri(int n_regs, const ls_reg *regs) {
    for (int i = 0; i < n_regs; ++i)
        if (regs[i].sam_pri) return &regs[i];
    LS_ASSERT(n_regs == 0);
    return nullptr;
}

/* Regions of segment s, treating a missing array as no regions. */
int seg_regs(const int *n_regss, const ls_reg *const *regss, int s, const ls_reg **regs) {
    *regs = regss != nullptr ? regss[s] : nullptr;
    const int n = n_regss != nullptr ? n_regss[s] : 0;
    return *regs != nullptr && n > 0 ? n : 0;
}

/* The CIGAR column (in_tag 0) or the CG:B:I tag carrying a CIGAR too long
 * for the column (in_tag 1), with the unaligned query ends as clips. */
void write_sam_cigar(ls_string *str, int sam_flag, int in_tag, int qlen, const ls_reg *r, int64_t flag) {
    if (r->p == nullptr) {
        ls_string_printf(str, "*");
        return;
    }
    // Clips are listed along the target, so a reverse region starts with the query's tail.
    const int clip_len[2] = {r->reverse ? qlen - r->qe : r->qs, r->reverse ? r->qs : qlen - r->qe};
    const bool hard =
        ((sam_flag & kSupplementary) || ((sam_flag & kSecondary) && (flag & LS_F_SECONDARY_SEQ))) &&
        !(flag & LS_F_SOFT_CLIP);
    const uint32_t clip_op = hard ? LS_CIGAR_HARDCLIP : LS_CIGAR_SOFTCLIP;
    if (in_tag) {
        ls_string_printf(str, "\tCG:B:I");
        if (clip_len[0]) ls_string_printf(str, ",%u", (unsigned)clip_len[0] << 4 | clip_op);
        for (uint32_t k = 0; k < r->p->n_cigar; ++k) ls_string_printf(str, ",%u", r->p->cigar[k]);
        if (clip_len[1]) ls_string_printf(str, ",%u", (unsigned)clip_len[1] << 4 | clip_op);
    } else {
        LS_ASSERT(clip_len[0] < qlen && clip_len[1] < qlen);
        const char clip_c = hard ? 'H' : 'S';
        if (clip_len[0]) ls_string_printf(str, "%d%c", clip_len[0], clip_c);
        for (uint32_t k = 0; k < r->p->n_cigar; ++k)
            ls_string_printf(str, "%d%c", (int)(r->p->cigar[k] >> 4), LS_CIGAR_STR[r->p->cigar[k] & 0xf]);
        if (clip_len[1]) ls_string_printf(str, "%d%c", clip_len[1], clip_c);
    }
}

/* MC and MQ: the CIGAR and MAPQ of the mate's SAM-primary record (mate_qlen
 * long), which carries neither secondary nor supplementary bit and so clips
 * softly. A CIGAR too long for the column is given whole, as readers see it
 * once they have taken it back from the CG tag: duplicate markers work out the
 * mate's unclipped ends from it, which the placeholder would get wrong. */
void write_mate_tags(ls_string *str, int mate_qlen, const ls_reg *mate, int64_t flag) {
    ls_string_printf(str, "\tMC:Z:");
    write_sam_cigar(str, 0, 0, mate_qlen, mate, flag);
    ls_string_printf(str, "\tMQ:i:%d", (int)mate->mapq);
}

/* The other aligned primaries of the array (chimeric pieces of the query),
 * each as target, position, strand, a CIGAR of its spans, mapq and NM. */
void write_sa_tag(ls_string *str, const ls_idx *mi, int qlen, const ls_reg *r, int n_regs,
                  const ls_reg *regs) {
    int n_other = 0;
    for (int i = 0; i < n_regs; ++i)
        if (&regs[i] != r && regs[i].parent == regs[i].id && regs[i].p != nullptr) ++n_other;
    if (n_other == 0) return;
    ls_string_printf(str, "\tSA:Z:");
    for (int i = 0; i < n_regs; ++i) {
        const ls_reg *q = &regs[i];
        if (q == r || q->parent != q->id || q->p == nullptr) continue;
        ls_append_target_name(str, mi, q->target_id);
        ls_string_printf(str, ",%d,%c,", q->rs + 1, "+-"[q->reverse]);
        const int q_span = q->qe - q->qs, t_span = q->re - q->rs;
        const int n_m = q_span < t_span ? q_span : t_span;
        const int n_i = q_span >= t_span ? q_span - t_span : 0;
        const int n_d = q_span < t_span ? t_span - q_span : 0;
        const int clip0 = q->reverse ? qlen - q->qe : q->qs, clip1 = q->reverse ? q->qs : qlen - q->qe;
        if (clip0) ls_string_printf(str, "%dS", clip0);
        if (n_m) ls_string_printf(str, "%dM", n_m);
        if (n_i) ls_string_printf(str, "%dI", n_i);
        if (n_d) ls_string_printf(str, "%dD", n_d);
        if (clip1) ls_string_printf(str, "%dS", clip1);
        ls_string_printf(str, ",%d,%d;", (int)q->mapq, q->block_len + (int)q->p->n_ambiguous - q->match_len);
    }
}

/* QNAME holds 1 to 254 bytes of '!'..'~' other than '@': a record line that
 * starts with '@' would pass for a header line, and validators refuse the
 * rest. Every other byte becomes '_' in place, so that nothing is allocated. */
const size_t kMaxQnameLen = 254;

void append_qname(ls_string *str, const char *name, size_t len) {
    if (len > kMaxQnameLen) len = kMaxQnameLen;
    const uint64_t at = str->l;
    ls_sam_append_seq(str, name, (int)len, 0, 0);
    for (uint64_t i = at; i < str->l; ++i) {
        const unsigned char c = (unsigned char)str->s[i];
        if (c < '!' || c > '~' || c == '@') str->s[i] = '_';
    }
}

/* One word of the @PG command line: a tab or line break inside an argument
 * would split the header line, so control bytes become spaces. */
void append_cl_word(ls_string *str, const char *word) {
    const uint64_t at = str->l;
    ls_string_printf(str, " %s", word);
    for (uint64_t i = at; i < str->l; ++i) {
        const unsigned char c = (unsigned char)str->s[i];
        if (c < ' ' || c == 0x7f) str->s[i] = ' ';
    }
}

/* Skips an integer (or with fraction, a decimal number with an optional
 * exponent) at p; false, with p unmoved, when there is none. */
bool is_number(const char *&p, bool fraction) {
    const char *s = p;
    auto digits = [&p] {
        const char *d = p;
        while (isdigit((unsigned char)*p)) ++p;
        return p > d;
    };
    if (*p == '-' || *p == '+') ++p;
    bool any = digits();
    if (fraction && *p == '.') ++p, any |= digits();
    if (any && fraction && (*p == 'e' || *p == 'E')) {
        ++p;
        if (*p == '-' || *p == '+') ++p;
        any = digits();
    }
    if (!any) p = s;
    return any;
}

/* One "TT:T:value" field of [begin, end). */
bool is_tag_field(const char *b, const char *e) {
    if (e - b < 5 || !isalpha((unsigned char)b[0]) || !isalnum((unsigned char)b[1]) || b[2] != ':' || b[4] != ':')
        return false;
    const char type = b[3];
    const char *p = b + 5;
    switch (type) {
    case 'A': return e - p == 1 && *p >= '!' && *p <= '~';
    case 'i': return is_number(p, false) && p == e;
    case 'f': return is_number(p, true) && p == e;
    case 'Z':
        for (; p < e; ++p)
            if (*p < ' ' || *p > '~') return false;
        return true;
    case 'H':
        if ((e - p) % 2) return false;
        for (; p < e; ++p)
            if (!isxdigit((unsigned char)*p)) return false;
        return true;
    case 'B':
        if (p == e || !strchr("cCsSiIf", *p)) return false;
        for (++p; p < e;)
            if (*p++ != ',' || !is_number(p, b[5] == 'f')) return false;
        return true;
    default: return false;
    }
}

bool comment_is_tags(const char *c) {
    for (const char *b = c;;) {
        const char *e = strchr(b, '\t');
        if (e == nullptr) e = b + strlen(b);
        if (!is_tag_field(b, e)) return false;
        if (*e == 0) return true;
        b = e + 1;
    }
}

bool has_control_byte(const char *s) {
    for (; *s; ++s)
        if ((unsigned char)*s < ' ' || *s == 0x7f) return true;
    return false;
}

/* Whether the alignment skips an intron. Taken from the CIGAR that readers
 * see rather than from the region's spliced bit, which a region built outside
 * the aligner need not keep in step with its operations; the scan costs less
 * than printing the same CIGAR. */
bool has_intron(const ls_extra *p) {
    for (uint32_t k = 0; k < p->n_cigar; ++k)
        if ((p->cigar[k] & 0xf) == LS_CIGAR_N_SKIP) return true;
    return false;
}

} // namespace

extern "C" {

int ls_sam_parse_rg(const char *rg, const ls_logger *lg, ls_string *line_out, char *id_out) {
    id_out[0] = 0;
    if (line_out->s) line_out->s[line_out->l = 0] = 0;
    if (strncmp(rg, "@RG", 3) != 0) {
        ls_logger_log(lg, LS_LOG_ERROR, "the read group line is not started with @RG");
        return -1;
    }
    if (strchr(rg, '\t') != nullptr) {
        ls_logger_log(lg, LS_LOG_ERROR,
                      "the read group line contained literal <tab> characters -- replace with escaped tabs: \\t");
        return -1;
    }
    if (has_control_byte(rg)) {
        // A line feed would end the header line early and start another.
        ls_logger_log(lg, LS_LOG_ERROR, "the read group line holds a control character");
        return -1;
    }
    // Unescape: "\t" is a tab, "\\" a backslash; any other escape vanishes, and a
    // lone backslash at the very end is dropped.
    const size_t n = strlen(rg);
    char *line = (char *)ls_xmalloc(n + 1, __func__);
    size_t l = 0;
    for (size_t i = 0; i < n; ++i) {
        if (rg[i] != '\\') {
            line[l++] = rg[i];
            continue;
        }
        if (i + 1 == n) break;
        ++i;
        if (rg[i] == 't')
            line[l++] = '\t';
        else if (rg[i] == '\\')
            line[l++] = '\\';
    }
    line[l] = 0;
    int ret = -1;
    const char *id = strstr(line, "\tID:");
    if (id == nullptr) {
        ls_logger_log(lg, LS_LOG_ERROR, "no ID within the read group line");
    } else {
        id += 4;
        const size_t id_len = strcspn(id, "\t\n");
        if (id_len == 0) {
            ls_logger_log(lg, LS_LOG_ERROR, "the read group ID is empty");
        } else if (id_len >= LS_RG_ID_SIZE) {
            ls_logger_log(lg, LS_LOG_ERROR, "@RG:ID is longer than 255 characters");
        } else {
            memcpy(id_out, id, id_len);
            id_out[id_len] = 0;
            line_out->l = 0;
            ls_str_append(line_out, line, l);
            ret = 0;
        }
    }
    free(line);
    return ret;
}

void ls_sam_header_text(ls_string *str, const ls_idx *mi, const char *rg_line, const char *version, int argc,
                        char *const *argv) {
    str->l = 0;
    ls_string_printf(str, "@HD\tVN:1.6\tSO:unsorted\tGO:query\n");
    if (mi != nullptr) {
        for (uint32_t i = 0; i < mi->n_seq; ++i) {
            ls_string_printf(str, "@SQ\tSN:");
            ls_append_target_name(str, mi, (int32_t)i);
            ls_string_printf(str, "\tLN:%u\n", mi->seq[i].len); // 2^31 bases and more stay positive
        }
    }
    if (rg_line != nullptr && *rg_line) ls_string_printf(str, "%s\n", rg_line);
    ls_string_printf(str, "@PG\tID:lodestar\tPN:lodestar");
    if (version != nullptr) ls_string_printf(str, "\tVN:%s", version);
    if (argc > 1) {
        ls_string_printf(str, "\tCL:lodestar");
        for (int i = 1; i < argc; ++i) append_cl_word(str, argv[i]);
    }
}

void ls_sam_append_seq(ls_string *str, const char *text, int len, int reverse, int complement) {
    if (len <= 0) {
        ls_string_printf(str, "");
        return;
    }
    if (str->l + (uint64_t)len + 1 > str->m) {
        uint64_t m = 1;
        while (m < str->l + (uint64_t)len + 1) m <<= 1;
        str->s = (char *)ls_xrealloc(str->s, m, __func__);
        str->m = m;
    }
    char *out = str->s + str->l;
    if (reverse && complement) {
        for (int i = 0; i < len; ++i) out[i] = (char)ls_comp_table[(uint8_t)text[len - 1 - i]];
    } else if (reverse) {
        for (int i = 0; i < len; ++i) out[i] = text[len - 1 - i];
    } else {
        memcpy(out, text, (size_t)len);
    }
    str->l += (uint64_t)len;
    str->s[str->l] = 0;
}

void ls_sam_format_ctx(const ls_sam_ctx *ctx, ls_string *str, const ls_idx *mi, const ls_bseq_rec *t,
                       const ls_bseq_rec *mate, int seg_idx,
                       int reg_idx, int n_seg, const int *n_regss, const ls_reg *const *regss, km_arena *km,
                       int64_t flag, int rep_len) {
    LS_ASSERT(n_seg >= 1 && seg_idx >= 0 && seg_idx < n_seg);
    const ls_reg *regs;
    const int n_regs = seg_regs(n_regss, regss, seg_idx, &regs);
    const ls_reg *r = reg_idx >= 0 && reg_idx < n_regs ? &regs[reg_idx] : nullptr;
    const int qlen = t->len;

    // Mates: the next segment's SAM-primary, and the record an unmapped segment borrows its position from.
    const ls_reg *r_next = nullptr, *r_prev = nullptr;
    if (n_seg > 1) {
        const ls_reg *a;
        int n = seg_regs(n_regss, regss, (seg_idx + 1) % n_seg, &a);
        r_next = get_sam_pri(n, a);
        if (n_seg == 2) {
            r_prev = r_next;
        } else {
            for (int k = 1; k < n_seg; ++k) {
                n = seg_regs(n_regss, regss, (seg_idx + n_seg - k) % n_seg, &a);
                if (n > 0) {
                    r_prev = get_sam_pri(n, a);
                    break;
                }
            }
        }
    }

    // QNAME; mates drop a "/1"-style suffix since FLAG says which segment it is.
    str->l = 0;
    const char *name = t->name != nullptr && t->name[0] ? t->name : "*";
    size_t name_len = strlen(name);
    if (n_seg > 1 && name_len >= 3 && name[name_len - 1] >= '0' && name[name_len - 1] <= '9' &&
        name[name_len - 2] == '/')
        name_len -= 2;
    append_qname(str, name, name_len);

    // FLAG
    int sam_flag = 0;
    if (n_seg > 1) sam_flag |= kPaired;
    if (r == nullptr) {
        sam_flag |= kUnmapped;
    } else {
        if (r->reverse) sam_flag |= kReverse;
        if (r->parent != r->id)
            sam_flag |= kSecondary;
        else if (!r->sam_pri)
            sam_flag |= kSupplementary;
        if (n_seg > 1 && r->proper_pair) sam_flag |= kProperPair;
    }
    if (n_seg > 1) {
        if (seg_idx == 0)
            sam_flag |= kFirst;
        else if (seg_idx == n_seg - 1)
            sam_flag |= kLast;
        if (r_next == nullptr)
            sam_flag |= kMateUnmapped;
        else if (r_next->reverse)
            sam_flag |= kMateReverse;
    }
    ls_string_printf(str, "\t%d", sam_flag);

    // RNAME, POS, MAPQ, CIGAR
    bool has_pos = false, cigar_in_tag = false;
    int32_t pos_rid = -1, pos_rs = 0;
    if (r == nullptr) {
        if (r_prev != nullptr) {
            ls_string_printf(str, "\t");
            ls_append_target_name(str, mi, r_prev->target_id);
            ls_string_printf(str, "\t%d\t0\t*", r_prev->rs + 1);
            has_pos = true, pos_rid = r_prev->target_id, pos_rs = r_prev->rs;
        } else {
            ls_string_printf(str, "\t*\t0\t0\t*");
        }
    } else {
        ls_string_printf(str, "\t");
        ls_append_target_name(str, mi, r->target_id);
        ls_string_printf(str, "\t%d\t%d\t", r->rs + 1, (int)r->mapq);
        has_pos = true, pos_rid = r->target_id, pos_rs = r->rs;
        // The column holds at most 65535 operations: a longer CIGAR goes to the CG tag and the
        // column covers the read's bases with one skip over the aligned target span.
        if ((flag & LS_F_LONG_CIGAR) && r->p != nullptr &&
            (uint64_t)r->p->n_cigar + (r->qs != 0) + (r->qe != qlen) >= 65536) {
            int clip;
            if ((flag & LS_F_SOFT_CLIP) || !(sam_flag & (kSecondary | kSupplementary)))
                clip = qlen;
            else if (!(sam_flag & kSecondary) || (flag & LS_F_SECONDARY_SEQ))
                clip = r->qe - r->qs;
            else
                clip = 0;
            ls_string_printf(str, "%dS%dN", clip, r->re - r->rs);
            cigar_in_tag = true;
        } else {
            write_sam_cigar(str, sam_flag, 0, qlen, r, flag);
        }
    }

    // RNEXT, PNEXT, TLEN
    if (n_seg == 1) {
        ls_string_printf(str, "\t*\t0\t0\t");
    } else if (r_next != nullptr && has_pos) {
        if (pos_rid == r_next->target_id) {
            int tlen = 0;
            if (r != nullptr) {
                const int p1 = r->reverse ? r->re - 1 : r->rs;
                const int p2 = r_next->reverse ? r_next->re - 1 : r_next->rs;
                tlen = p2 - p1;
                tlen += tlen > 0 ? 1 : tlen < 0 ? -1 : 0;
            }
            ls_string_printf(str, "\t=\t%d\t%d\t", r_next->rs + 1, tlen);
        } else {
            ls_string_printf(str, "\t");
            ls_append_target_name(str, mi, r_next->target_id);
            ls_string_printf(str, "\t%d\t0\t", r_next->rs + 1);
        }
    } else if (r_next != nullptr) {
        ls_string_printf(str, "\t");
        ls_append_target_name(str, mi, r_next->target_id);
        ls_string_printf(str, "\t%d\t0\t", r_next->rs + 1);
    } else if (has_pos) {
        ls_string_printf(str, "\t=\t%d\t0\t", pos_rs + 1);
    } else {
        ls_string_printf(str, "\t*\t0\t0\t");
    }

    // SEQ, QUAL: the read on the target's strand; secondaries carry none unless asked.
    if (t->seq == nullptr || qlen <= 0) {
        ls_string_printf(str, "*\t*");
    } else if (r == nullptr) {
        ls_sam_append_seq(str, t->seq, qlen, 0, 0);
        ls_string_printf(str, "\t");
        if (t->qual != nullptr)
            ls_sam_append_seq(str, t->qual, qlen, 0, 0);
        else
            ls_string_printf(str, "*");
    } else {
        int st = -1, en = -1;
        if ((flag & LS_F_SOFT_CLIP) || !(sam_flag & (kSecondary | kSupplementary)))
            st = 0, en = qlen;
        else if ((flag & LS_F_SECONDARY_SEQ) || !(sam_flag & kSecondary))
            st = r->qs, en = r->qe;
        // No bases to give (none asked for, or an empty query interval): an empty field is
        // not valid SAM, "*" is.
        if (st < 0 || en <= st) {
            ls_string_printf(str, "*\t*");
        } else {
            ls_sam_append_seq(str, t->seq + st, en - st, r->reverse, r->reverse);
            ls_string_printf(str, "\t");
            if (t->qual != nullptr)
                ls_sam_append_seq(str, t->qual + st, en - st, r->reverse, 0);
            else
                ls_string_printf(str, "*");
        }
    }

    if (ctx->rg_id[0]) ls_string_printf(str, "\tRG:Z:%s", ctx->rg_id);
    if (n_seg > 2) ls_string_printf(str, "\tFI:i:%d", seg_idx);
    // Every record of a pair, secondary and supplementary ones too, names the mate's primary as
    // RNEXT does; duplicate markers read these instead of needing a pass that fills them in.
    if (n_seg == 2 && mate != nullptr && r_next != nullptr && !(flag & LS_F_NO_MATE_TAGS))
        write_mate_tags(str, mate->len, r_next, flag);

    if (r != nullptr) {
        ls_paf_tags(str, r);
        // ts:A is relative to the read; transcript assemblers want the transcript's strand on
        // the target, which flips on a reverse region.
        if (r->p != nullptr && (r->p->transcript_strand == 1 || r->p->transcript_strand == 2) &&
            has_intron(r->p))
            ls_string_printf(str, "\tXS:A:%c", "+-"[r->reverse ^ (r->p->transcript_strand == 2)]);
        if (r->parent == r->id && r->p != nullptr && n_regs > 1) write_sa_tag(str, mi, qlen, r, n_regs, regs);
        if (r->p != nullptr && (flag & (LS_F_CS_TAG | LS_F_MD_TAG | LS_F_DS_TAG)))
            ls_write_diff_tags(km, str, mi, t, r, !(flag & LS_F_CS_LONG), !!(flag & LS_F_MD_TAG),
                               !!(flag & LS_F_DS_TAG), 1, 0);
        if (cigar_in_tag) write_sam_cigar(str, sam_flag, 1, qlen, r, flag);
    }
    if (rep_len >= 0) ls_string_printf(str, "\trl:i:%d", rep_len);
    if ((flag & LS_F_COPY_COMMENT) && t->comment != nullptr && t->comment[0]) {
        if (comment_is_tags(t->comment)) {
            ls_string_printf(str, "\t%s", t->comment);
        } else if (!ctx->comment_warned->exchange(true) && ls_logger_shows(ctx->log, LS_LOG_WARNING)) {
            ls_logger_log(ctx->log, LS_LOG_WARNING,
                   "the comment of read '%s' is not made of SAM tags (TT:T:value); comments like it are left out "
                   "of the SAM records",
                   t->name);
        }
    }
    str->s[str->l] = 0;
}

} // extern "C"
