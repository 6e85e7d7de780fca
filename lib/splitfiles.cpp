#include "splitfiles.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "hit.h"
#include "map.h"
#include "misc.h"
#include "pe.h"

namespace {

std::string tmp_name(const char *prefix, int part) {
    char buf[32];
    snprintf(buf, sizeof(buf), ".%.4d.tmp", part);
    return std::string(prefix) + buf;
}

/* A temporary file whose bytes do not describe what the writer wrote cannot
 * be merged safely (out-of-range ids and sizes would be trusted by the
 * writers), so it ends the run like a failed read does. */
[[noreturn]] void corrupt(const char *what) {
    fprintf(stderr, "[ERROR]" LS_RED " corrupted temporary file: %s" LS_RESET "\n", what);
    exit(1);
}

int32_t read_i32(FILE *fp) {
    int32_t v;
    ls_checked_fread(&v, sizeof(v), 1, fp);
    return v;
}

uint32_t read_u32(FILE *fp) {
    uint32_t v;
    ls_checked_fread(&v, sizeof(v), 1, fp);
    return v;
}

/* Words of the ls_extra header that precede the CIGAR. */
constexpr uint32_t kExtraHeaderWords = sizeof(ls_extra) / 4;

/* Reads one region (and its detail with base-level alignment) into r. */
void read_region(FILE *fp, int64_t flag, int32_t shift, uint32_t n_seq_part, const ls_idx *mi, int qlen,
                 ls_reg *r) {
    ls_checked_fread(r, sizeof(ls_reg), 1, fp);
    r->p = nullptr; // the writer's pointer value means nothing here
    if (r->target_id < 0 || (uint32_t)r->target_id >= n_seq_part) corrupt("target id out of range");
    r->target_id += shift;
    const uint32_t tlen = mi->seq[r->target_id].len;
    if (r->qs < 0 || r->qs > r->qe || r->qe > qlen) corrupt("query interval out of range");
    if (r->rs < 0 || r->rs > r->re || (uint32_t)r->re > tlen) corrupt("target interval out of range");
    if (!(flag & LS_F_BASE_ALIGN)) return;
    const uint32_t cap = read_u32(fp);
    // A writer never stores more than one CIGAR word per query or target base
    // plus clips, so a count far beyond that is damage, not data.
    const uint64_t limit = kExtraHeaderWords + 2 * ((uint64_t)qlen + tlen) + 16;
    if (cap < kExtraHeaderWords || cap > limit) corrupt("alignment record size out of range");
    uint32_t *w = static_cast<uint32_t *>(calloc(cap, 4));
    LS_ASSERT(w != nullptr);
    r->p = reinterpret_cast<ls_extra *>(w);
    ls_checked_fread(w, 4, cap, fp);
    if (r->p->capacity != cap || r->p->n_cigar > cap - kExtraHeaderWords)
        corrupt("alignment record inconsistent");
}

} // namespace

FILE *ls_split_open_out(const char *prefix, const ls_idx *mi) {
    const std::string fn = tmp_name(prefix, mi->part_index);
    FILE *fp = fopen(fn.c_str(), "wb");
    if (fp == nullptr) {
        if (ls_verbosity >= 1)
            fprintf(stderr, "[ERROR]" LS_RED " failed to write to temporary file '%s'" LS_RESET ": %s\n",
                    fn.c_str(), strerror(errno));
        exit(1);
    }
    const int32_t k = mi->k;
    ls_checked_fwrite(&k, sizeof(k), 1, fp);
    ls_checked_fwrite(&mi->n_seq, sizeof(mi->n_seq), 1, fp);
    for (uint32_t i = 0; i < mi->n_seq; ++i) {
        const char *name = mi->seq[i].name ? mi->seq[i].name : "";
        const int32_t l = (int32_t)strlen(name);
        ls_checked_fwrite(&l, sizeof(l), 1, fp);
        if (l > 0) ls_checked_fwrite(name, 1, (size_t)l, fp);
        ls_checked_fwrite(&mi->seq[i].len, sizeof(uint32_t), 1, fp);
    }
    return fp;
}

void ls_split_write_query(FILE *fp, int64_t flag, int n_reg, const ls_reg *regs, int32_t repeat_len,
                          int32_t fragment_gap) {
    const int32_t head[3] = {n_reg, repeat_len, fragment_gap};
    ls_checked_fwrite(head, sizeof(int32_t), 3, fp);
    for (int i = 0; i < n_reg; ++i) {
        ls_checked_fwrite(&regs[i], sizeof(ls_reg), 1, fp);
        if (!(flag & LS_F_BASE_ALIGN)) continue;
        LS_ASSERT(regs[i].p != nullptr && regs[i].p->capacity >= kExtraHeaderWords);
        ls_checked_fwrite(&regs[i].p->capacity, 4, 1, fp);
        ls_checked_fwrite(regs[i].p, 4, regs[i].p->capacity, fp);
    }
}

ls_idx *ls_split_read_headers(const char *prefix, int n_parts, FILE **files, uint32_t *n_seq_of_part) {
    if (n_parts <= 0) return nullptr;
    for (int j = 0; j < n_parts; ++j) {
        const std::string fn = tmp_name(prefix, j);
        files[j] = fopen(fn.c_str(), "rb");
        if (files[j] == nullptr) {
            if (ls_verbosity >= 1)
                fprintf(stderr, "ERROR: failed to open temporary file '%s': %s\n", fn.c_str(),
                        strerror(errno));
            for (int i = 0; i < j; ++i) {
                fclose(files[i]);
                files[i] = nullptr;
            }
            return nullptr;
        }
    }
    ls_idx *mi = static_cast<ls_idx *>(calloc(1, sizeof(ls_idx)));
    LS_ASSERT(mi != nullptr);
    std::vector<uint32_t> n_seq(n_parts);
    uint64_t total = 0;
    for (int j = 0; j < n_parts; ++j) {
        mi->k = read_i32(files[j]);
        n_seq[j] = read_u32(files[j]);
        total += n_seq[j];
        if (n_seq_of_part) n_seq_of_part[j] = n_seq[j];
    }
    if (total > INT32_MAX) corrupt("too many targets");
    mi->n_seq = (uint32_t)total;
    mi->seq = static_cast<ls_idx_seq *>(calloc(total ? total : 1, sizeof(ls_idx_seq)));
    LS_ASSERT(mi->seq != nullptr);
    uint32_t t = 0;
    for (int j = 0; j < n_parts; ++j) {
        for (uint32_t i = 0; i < n_seq[j]; ++i, ++t) {
            const int32_t l = read_i32(files[j]);
            if (l < 0) corrupt("negative name length");
            char *name = static_cast<char *>(malloc((size_t)l + 1));
            LS_ASSERT(name != nullptr);
            mi->seq[t].name = name;
            if (l > 0) ls_checked_fread(name, 1, (size_t)l, files[j]);
            name[l] = 0;
            mi->seq[t].len = read_u32(files[j]);
        }
    }
    return mi;
}

void ls_split_remove(const char *prefix, int n_parts) {
    for (int j = 0; j < n_parts; ++j) remove(tmp_name(prefix, j).c_str());
}

ls_reg *ls_split_merge_query(int n_parts, FILE **files, const int32_t *rid_shift, const ls_idx *mi,
                             const ls_mapopt *opt, int qlen, km_arena *km, int *n_reg, int *repeat_len,
                             int *fragment_gap) {
    std::vector<int32_t> n_part(n_parts);
    int64_t n = 0;
    int32_t rep = 0, gap = 0;
    for (int j = 0; j < n_parts; ++j) {
        const int32_t head[3] = {read_i32(files[j]), read_i32(files[j]), read_i32(files[j])};
        if (head[0] < 0) corrupt("negative region count");
        n_part[j] = head[0];
        n += head[0];
        if (j == 0 || head[1] > rep) rep = head[1];
        if (j == 0) gap = head[2];
    }
    if (n > INT32_MAX / (int64_t)sizeof(ls_reg)) corrupt("region count out of range");
    const int64_t flag = opt->flag;
    ls_reg *regs = static_cast<ls_reg *>(calloc(n ? (size_t)n : 1, sizeof(ls_reg)));
    LS_ASSERT(regs != nullptr);
    int m = 0;
    for (int j = 0; j < n_parts; ++j) {
        const uint32_t n_seq_part = (j + 1 < n_parts ? (uint32_t)rid_shift[j + 1] : mi->n_seq) - rid_shift[j];
        for (int32_t i = 0; i < n_part[j]; ++i, ++m)
            read_region(files[j], flag, rid_shift[j], n_seq_part, mi, qlen, &regs[m]);
    }
    int nr = m;
    if (!(flag & LS_F_SHORT_READ) && qlen >= opt->rank_min_length)
        ls_update_max_score(qlen, nr, regs, opt->rank_fraction, opt->match_score, opt->mismatch_penalty);
    for (int i = 0; i < nr; ++i) {
        if (regs[i].p) regs[i].p->alt_max_score = 0;
        regs[i].sub_score = 0;
        regs[i].n_suboptimal = 0;
    }
    ls_hit_sort(km, &nr, regs, opt->alt_drop_fraction);
    ls_set_parent(km, opt->overlap_mask_level, opt->overlap_mask_len, nr, regs,
                  opt->match_score * 2 + opt->mismatch_penalty, !!(flag & LS_F_HARD_MASK_LEVEL),
                  opt->alt_drop_fraction);
    if (!(flag & LS_F_ALL_CHAINS)) {
        ls_select_sub(km, opt->secondary_ratio, mi->k * 2, opt->max_secondary, 0,
                      (int)(opt->chain_max_gap * 0.8), &nr, regs);
        ls_mark_sam_pri(nr, regs);
    }
    ls_set_mapq(km, nr, regs, opt->chain_min_score, opt->match_score, rep,
                !!(flag & (LS_F_SHORT_READ | LS_F_SHORT_RNA)), !!(flag & LS_F_SPLICE));
    *n_reg = nr;
    *repeat_len = rep;
    *fragment_gap = gap;
    return regs;
}

int ls_split_merge(int n_files, const char **paths, const ls_mapopt *opt, int n_parts) {
    if (n_files <= 0 || n_parts <= 0 || opt->split_prefix == nullptr) return -1;
    ls_bseq_file **fps = ls_open_query_files(n_files, paths);
    if (fps == nullptr) return -1;
    auto close_queries = [&]() {
        for (int i = 0; i < n_files; ++i) ls_bseq_close(fps[i]);
        free(fps);
    };
    std::vector<FILE *> files(n_parts, nullptr);
    std::vector<uint32_t> n_seq(n_parts);
    ls_idx *mi = ls_split_read_headers(opt->split_prefix, n_parts, files.data(), n_seq.data());
    if (mi == nullptr) {
        close_queries();
        return -1;
    }
    std::vector<int32_t> rid_shift(n_parts);
    for (int j = 1; j < n_parts; ++j) rid_shift[j] = rid_shift[j - 1] + (int32_t)n_seq[j - 1];
    if (opt->flag & LS_F_SAM_OUT) {
        ls_string str = {0, 0, nullptr};
        for (uint32_t i = 0; i < mi->n_seq; ++i) {
            str.l = 0;
            ls_string_printf(&str, "@SQ\tSN:%s\tLN:%d", mi->seq[i].name, (int)mi->seq[i].len);
            ls_checked_puts(str.s);
        }
        free(str.s);
    }
    ls_map_file_run(mi, n_files, fps, opt, 2, n_parts, files.data(), rid_shift.data());
    ls_idx_destroy(mi);
    for (FILE *f : files) fclose(f);
    close_queries();
    ls_split_remove(opt->split_prefix, n_parts);
    return 0;
}
