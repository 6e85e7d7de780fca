/* Mapping whole query files: a three-step pipeline (read a batch, map its
 * fragments on worker threads, write the results in input order), which
 * also carries the merge pass of split-index runs. */
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <vector>

#include "seqio/seq_reader.h"
#include "map/regions.h"
#include "pipeline/map_query.h"
#include "base/alloc.h"
#include "base/diagnostics.h"
#include "base/threads.h"
#include "map/pairing.h"
#include "pipeline/map_file.h"
#include "pipeline/run.h"
#include "pipeline/split_files.h"

/* Shared by all steps of one pipeline run. */
struct ls_pipeline_state {
    ls_run *run = nullptr;
    int n_files = 0;
    ls_bseq_file **fp = nullptr;
    const ls_idx *mi = nullptr;
    const ls_mapopt *opt = nullptr;
    int n_threads = 1; /* at least 1 */
    int64_t batch_bases = 0;
    int64_t n_processed = 0; /* queries read so far: the next record id */
    int n_parts = 0;         /* index parts being merged; 0 in a mapping run */
    FILE **part_files = nullptr;
    const int32_t *rid_shift = nullptr;
    FILE *fp_split = nullptr;        /* temporary output of this part, or null */
    ls_string str = {0, 0, nullptr}; /* output line, reused */
    ls_string pending = {0, 0, nullptr}; /* lines waiting for the run's writer callback */
    /* A query file failed: the read step has read its last batch. Only the
     * read step touches it while the pipeline runs. */
    bool input_failed = false;
    /* A write failed, or a temporary file of the merge could not be read: the
     * read step stops, batches in flight are freed without mapping or
     * writing. Set by the later steps while the read step runs. */
    std::atomic<bool> output_failed{false}, merge_failed{false};
    int split_errno = 0; /* why the first write to fp_split failed */
};

/* One batch on its way through the steps. */
struct ls_map_batch {
    ls_pipeline_state *p;
    int n_seq, n_frag;
    ls_bseq_rec *seq;
    int *n_reg, *seg_off, *n_seg, *repeat_len, *fragment_gap; /* one block of 5 x n_seq */
    ls_reg **reg;
    ls_tbuf **buf;
};

namespace {

/* Result text goes to the run's stream line by line (a batch of long reads
 * in SAM may be a gigabyte), or to its writer callback in pieces of about
 * this size. */
constexpr uint64_t kWriterChunk = 1 << 20;

FILE *out_stream(const ls_run *run) { return run->out != nullptr ? run->out : stdout; }

/* Writes the line in str and a newline. Returns false when the output
 * refused it (errno tells why). */
bool put_line(ls_pipeline_state *p, const ls_string *str) {
    ls_run *run = p->run;
    const char *text = str->s ? str->s : "";
    if (run->writer == nullptr) {
        FILE *fp = out_stream(run);
        return fputs(text, fp) != EOF && putc('\n', fp) != EOF;
    }
    ls_str_append(&p->pending, text, str->s ? str->l : 0);
    ls_str_putc(&p->pending, '\n');
    if (p->pending.l < kWriterChunk) return true;
    const bool ok = run->writer(run->writer_data, p->pending.s, p->pending.l) == 0;
    p->pending.l = 0;
    return ok;
}

/* Hands on what is buffered, so that a failure shows at the batch where it
 * happened: puts only fills the stream's buffer, and a full disk or a closed
 * pipe shows when the buffer goes out. */
bool flush_lines(ls_pipeline_state *p) {
    ls_run *run = p->run;
    if (run->writer == nullptr) return fflush(out_stream(run)) == 0;
    if (p->pending.l == 0) return true;
    const bool ok = run->writer(run->writer_data, p->pending.s, p->pending.l) == 0;
    p->pending.l = 0;
    return ok;
}

bool stopped(const ls_pipeline_state *p) {
    return p->output_failed.load() || p->merge_failed.load();
}

/* Reverse-complements a record in place (the quality is only reversed). */
void revcomp_rec(ls_bseq_rec *t) {
    for (int i = 0, j = t->len - 1; i <= j; ++i, --j) {
        const unsigned char a = (unsigned char)t->seq[i], b = (unsigned char)t->seq[j];
        t->seq[i] = (char)ls_comp_table[b];
        t->seq[j] = (char)ls_comp_table[a];
    }
    if (t->qual)
        for (int i = 0, j = t->len - 1; i < j; ++i, --j) {
            const char c = t->qual[i];
            t->qual[i] = t->qual[j];
            t->qual[j] = c;
        }
}

/* Turns regions of a reverse-complemented mate back to the mate as read. */
void flip_regions(int qlen, int n, ls_reg *r) {
    for (int i = 0; i < n; ++i) {
        const int qs = r[i].qs;
        r[i].qs = qlen - r[i].qe;
        r[i].qe = qlen - qs;
        r[i].reverse ^= 1;
        if (r[i].p && (r[i].p->transcript_strand == 1 || r[i].p->transcript_strand == 2))
            r[i].p->transcript_strand ^= 3;
    }
}

/* Whether mate j (0 or 1) of a pair is mapped reverse-complemented: bit 1 of
 * pair_orientation for the first mate, bit 0 for the second. */
bool mate_flipped(const ls_mapopt *opt, int j) {
    return opt->pair_orientation >= 0 && ((opt->pair_orientation >> (1 - j)) & 1);
}

} // namespace

void ls_map_records(const ls_idx *mi, int n_segs, ls_bseq_rec *recs, int *n_regs, ls_reg **regs,
                    int *repeat_len, int *fragment_gap, ls_tbuf *b, const ls_mapopt *opt) {
    if (n_segs > LS_MAX_SEG) { // more mates than a fragment can have: nothing to map
        for (int j = 0; j < n_segs; ++j) n_regs[j] = 0, regs[j] = nullptr, repeat_len[j] = 0, fragment_gap[j] = 0;
        return;
    }
    LS_ASSERT(n_segs >= 1);
    int qlens[LS_MAX_SEG] = {0};
    const char *seqs[LS_MAX_SEG] = {nullptr};
    for (int j = 0; j < n_segs; ++j) {
        if (n_segs == 2 && mate_flipped(opt, j)) revcomp_rec(&recs[j]);
        qlens[j] = recs[j].len;
        seqs[j] = recs[j].seq;
    }
    if (opt->flag & LS_F_INDEPENDENT_SEGS) {
        for (int j = 0; j < n_segs; ++j) {
            ls_map_frag_core(mi, 1, &qlens[j], &seqs[j], &n_regs[j], &regs[j], b, opt, recs[j].name);
            repeat_len[j] = b->repeat_len;
            fragment_gap[j] = b->fragment_gap;
        }
    } else {
        ls_map_frag(mi, n_segs, qlens, seqs, n_regs, regs, b, opt, recs[0].name);
        for (int j = 0; j < n_segs; ++j) {
            repeat_len[j] = b->repeat_len;
            fragment_gap[j] = b->fragment_gap;
        }
    }
    for (int j = 0; j < n_segs; ++j) {
        if (n_segs == 2 && mate_flipped(opt, j)) {
            revcomp_rec(&recs[j]);
            flip_regions(qlens[j], n_regs[j], regs[j]);
        }
    }
}

namespace {

void worker_for(void *data, long i, int tid) {
    ls_map_batch *s = static_cast<ls_map_batch *>(data);
    const int off = s->seg_off[i];
    double t0 = 0.0;
    if (ls_debug_flags & LS_DBG_QUERY_STATS) {
        ls_log_raw("QR\t%s\t%d\t%d\n", s->seq[off].name, tid, s->seq[off].len);
        t0 = ls_realtime();
    }
    ls_map_records(s->p->mi, s->n_seg[i], &s->seq[off], &s->n_reg[off], &s->reg[off], &s->repeat_len[off],
                   &s->fragment_gap[off], s->buf[tid], s->p->opt);
    if (ls_debug_flags & LS_DBG_QUERY_STATS)
        ls_log_raw("QT\t%s\t%d\t%.6f\n", s->seq[off].name, tid, ls_realtime() - t0);
}

/* Merge run: joins each query's regions from the part files. */
void merge_batch(ls_map_batch *s) {
    ls_pipeline_state *p = s->p;
    const ls_mapopt *opt = p->opt;
    km_arena *km = km_create();
    for (int f = 0; f < s->n_frag; ++f) {
        const int off = s->seg_off[f], pe = s->n_seg[f];
        for (int j = off; j < off + pe; ++j) {
            if (ls_split_merge_query(p->n_parts, p->part_files, p->rid_shift, p->mi, opt, s->seq[j].len, km,
                                     &s->reg[j], &s->n_reg[j], &s->repeat_len[j], &s->fragment_gap[j],
                                     p->run) == 0)
                continue;
            // Only the fragments before the fault are written; the regions of
            // an earlier mate are freed with the batch.
            p->merge_failed = true;
            s->n_frag = f;
            km_release(km);
            return;
        }
        if (pe == 2 && opt->pair_orientation >= 0 && (opt->flag & LS_F_BASE_ALIGN)) {
            // The mates were paired in the orientation they were mapped in;
            // pair them the same way here and turn them back afterwards.
            const int lens[2] = {s->seq[off].len, s->seq[off + 1].len};
            int n[2] = {s->n_reg[off], s->n_reg[off + 1]};
            ls_reg *regs[2] = {s->reg[off], s->reg[off + 1]};
            for (int j = 0; j < 2; ++j)
                if (mate_flipped(opt, j)) flip_regions(lens[j], n[j], regs[j]);
            ls_pair_mates(km, s->fragment_gap[off + 1], opt->pair_bonus,
                          opt->match_score * 2 + opt->mismatch_penalty, opt->match_score, lens, n, regs);
            for (int j = 0; j < 2; ++j)
                if (mate_flipped(opt, j)) flip_regions(lens[j], n[j], regs[j]);
        }
    }
    km_release(km);
}

ls_map_batch *read_batch(ls_pipeline_state *p) {
    // Nothing after a fault is read: its queries could not be written in
    // order, or not at all.
    if (p->input_failed || stopped(p)) return nullptr;
    const int64_t flag = p->opt->flag;
    const int with_qual = (flag & LS_F_SAM_OUT) && !(flag & LS_F_DROP_QUAL);
    const int with_comment = !!(flag & LS_F_COPY_COMMENT);
    const bool frag_mode = p->n_files > 1 || (flag & LS_F_FRAGMENT);
    int n = 0;
    ls_bseq_rec *seq;
    if (p->n_files == 1)
        seq = ls_bseq_read3(p->fp[0], p->batch_bases, with_qual, with_comment, !!(flag & LS_F_FRAGMENT), &n);
    else
        seq = ls_bseq_read_frag2(p->n_files, p->fp, p->batch_bases, with_qual, with_comment, &n);
    // The reader has reported the fault; the records before it still go on.
    for (int i = 0; i < p->n_files; ++i)
        if (ls_bseq_error(p->fp[i])) p->input_failed = true;
    if (seq == nullptr || n == 0) {
        free(seq);
        return nullptr;
    }
    ls_map_batch *s = static_cast<ls_map_batch *>(ls_xcalloc(1, sizeof(ls_map_batch), __func__));
    s->p = p;
    s->n_seq = n;
    s->seq = seq;
    for (int i = 0; i < n; ++i) seq[i].rec_id = (int32_t)p->n_processed++;
    s->buf = static_cast<ls_tbuf **>(ls_xcalloc(p->n_threads, sizeof(ls_tbuf *), __func__));
    for (int t = 0; t < p->n_threads; ++t) {
        s->buf[t] = ls_tbuf_init();
        if (s->buf[t] == nullptr) ls_out_of_memory(__func__, sizeof(ls_tbuf));
    }
    s->n_reg = static_cast<int *>(ls_xcalloc(5 * (size_t)n, sizeof(int), __func__));
    s->reg = static_cast<ls_reg **>(ls_xcalloc(n, sizeof(ls_reg *), __func__));
    s->seg_off = s->n_reg + n;
    s->n_seg = s->seg_off + n;
    s->repeat_len = s->n_seg + n;
    s->fragment_gap = s->repeat_len + n;
    // A fragment holds at most LS_MAX_SEG records: a longer run of one name
    // (reads that all share a name) goes on as further fragments.
    for (int i = 1, j = 0; i <= n; ++i) {
        if (i == n || !frag_mode || i - j == LS_MAX_SEG || !ls_same_fragment(seq[i - 1].name, seq[i].name)) {
            s->n_seg[s->n_frag] = i - j;
            s->seg_off[s->n_frag++] = j;
            j = i;
        }
    }
    return s;
}

/* Prints the lines of the batch's queries. Returns false at the first line
 * the stream refused (errno tells why). */
bool print_batch(ls_map_batch *s, km_arena *km) {
    ls_pipeline_state *p = s->p;
    const ls_idx *mi = p->mi;
    const int64_t flag = p->opt->flag;
    ls_string *str = &p->str;
    const ls_sam_ctx sam = ls_run_sam_ctx(p->run);
    auto print = [p, str]() { return put_line(p, str); };
    for (int f = 0; f < s->n_frag; ++f) {
        const int off = s->seg_off[f], pe = s->n_seg[f];
        for (int i = off; i < off + pe; ++i) {
            const ls_bseq_rec *t = &s->seq[i];
            const int seg = i - off;
            const ls_bseq_rec *mate = pe == 2 ? &s->seq[off + 1 - seg] : nullptr; // for MC and MQ
            if (flag & LS_F_JUNC_OUT) {
                for (int j = 0; j < s->n_reg[i]; ++j) {
                    const ls_reg *r = &s->reg[i][j];
                    if (r->id != r->parent || r->mapq < 10) continue;
                    ls_write_junc(str, mi, t, r);
                    if (str->l > 0 && !print()) return false;
                }
            } else if (s->n_reg[i] > 0) {
                for (int j = 0; j < s->n_reg[i]; ++j) {
                    const ls_reg *r = &s->reg[i][j];
                    LS_ASSERT(!r->sam_pri || r->id == r->parent);
                    if ((flag & LS_F_NO_SECONDARY) && r->id != r->parent) continue;
                    if (flag & LS_F_SAM_OUT)
                        ls_sam_format_ctx(&sam, str, mi, t, mate, seg, j, pe, &s->n_reg[off],
                                      (const ls_reg *const *)&s->reg[off], km, flag, s->repeat_len[i]);
                    else
                        ls_paf_format(str, mi, t, r, km, flag, s->repeat_len[i], pe, seg);
                    if (!print()) return false;
                }
            } else if ((flag & LS_F_PAF_UNMAPPED) ||
                       ((flag & LS_F_SAM_OUT) && !(flag & LS_F_SAM_HITS_ONLY))) {
                if (flag & LS_F_SAM_OUT)
                    ls_sam_format_ctx(&sam, str, mi, t, mate, seg, -1, pe, &s->n_reg[off],
                                  (const ls_reg *const *)&s->reg[off], km, flag, s->repeat_len[i]);
                else
                    ls_paf_format(str, mi, t, nullptr, nullptr, flag, s->repeat_len[i], pe, seg);
                if (!print()) return false;
            }
        }
    }
    // Each batch is flushed and checked here rather than failing silently at
    // exit.
    return flush_lines(p);
}

/* Appends every query's raw regions to the part's temporary file. Returns
 * false at the first failed write. */
bool write_split_batch(ls_map_batch *s) {
    const ls_pipeline_state *p = s->p;
    for (int f = 0; f < s->n_frag; ++f)
        for (int i = s->seg_off[f]; i < s->seg_off[f] + s->n_seg[f]; ++i)
            if (ls_split_write_query(p->fp_split, p->opt->flag, s->n_reg[i], s->reg[i], s->repeat_len[i],
                                     s->fragment_gap[i]) != 0)
                return false;
    return true;
}

void count_batch(const ls_map_batch *s) {
    uint64_t n = 0, bases = 0, mapped = 0;
    for (int f = 0; f < s->n_frag; ++f)
        for (int i = s->seg_off[f]; i < s->seg_off[f] + s->n_seg[f]; ++i, ++n) {
            bases += (uint64_t)s->seq[i].len;
            if (s->n_reg[i] > 0) ++mapped;
        }
    ls_run *run = s->p->run;
    run->n_queries.fetch_add(n, std::memory_order_relaxed);
    run->n_bases.fetch_add(bases, std::memory_order_relaxed);
    run->n_mapped.fetch_add(mapped, std::memory_order_relaxed);
}

void write_batch(ls_map_batch *s) {
    ls_pipeline_state *p = s->p;
    const int64_t flag = p->opt->flag;
    for (int t = 0; t < p->n_threads; ++t) ls_tbuf_destroy(s->buf[t]);
    free(s->buf);
    s->buf = nullptr;
    km_arena *km = (flag & LS_F_CS_TAG) && !(ls_debug_flags & LS_DBG_NO_ARENA) ? km_create() : nullptr;
    // After a failure nothing more is written: a later batch would leave a
    // gap in the output.
    if (!p->output_failed.load()) {
        if (p->fp_split) {
            if (write_split_batch(s)) {
                count_batch(s);
            } else {
                p->split_errno = errno; // reported when the file is closed
                p->output_failed = true;
            }
        } else if (print_batch(s, km)) {
            count_batch(s);
        } else {
            const int e = errno;
            p->output_failed = true;
            ls_logger_log(&p->run->log, LS_LOG_ERROR, "failed to write the results: %s", strerror(e));
        }
    }
    for (int i = 0; i < s->n_seq; ++i) {
        for (int j = 0; j < s->n_reg[i]; ++j) free(s->reg[i][j].p);
        free(s->reg[i]);
        free(s->seq[i].name);
        free(s->seq[i].seq);
        free(s->seq[i].qual);
        free(s->seq[i].comment);
    }
    free(s->reg);
    free(s->n_reg);
    free(s->seq);
    km_release(km);
    ls_logger_progress(&p->run->log, "worker_pipeline", "mapped %d sequences\n", s->n_seq);
    free(s);
}

void *worker_pipeline(void *shared, int step, void *in) {
    ls_pipeline_state *p = static_cast<ls_pipeline_state *>(shared);
    if (step == 0) return read_batch(p);
    ls_map_batch *s = static_cast<ls_map_batch *>(in);
    if (step == 1) {
        if (stopped(p))
            s->n_frag = 0; // read before the fault, but never written
        else if (p->n_parts > 0)
            merge_batch(s);
        else
            ls_parallel_for(p->n_threads, worker_for, s, s->n_frag);
        return s;
    }
    write_batch(s);
    return nullptr;
}

} // namespace

ls_bseq_file **ls_open_query_files(int n, const char **paths, ls_run *run) {
    run = ls_run_or_default(run);
    if (n <= 0) return nullptr;
    ls_bseq_file **fp = static_cast<ls_bseq_file **>(ls_xcalloc(n, sizeof(ls_bseq_file *), __func__));
    ls_query_input in;
    in.reference = run->query_reference.empty() ? nullptr : run->query_reference.c_str();
    in.keep_tags = run->keep_tags.empty() ? nullptr : run->keep_tags.c_str();
    in.drop_rg = run->rg_id[0] != 0;
    for (int i = 0; i < n; ++i) {
        errno = 0;
        fp[i] = ls_bseq_open_query(paths[i], &in);
        if (fp[i] == nullptr) {
            ls_logger_log(&run->log, LS_LOG_ERROR, "failed to open file '%s': %s", paths[i] ? paths[i] : "-",
                          strerror(errno));
            for (int j = 0; j < i; ++j) ls_bseq_close(fp[j]);
            free(fp);
            return nullptr;
        }
        fp[i]->log = &run->log;
    }
    return fp;
}

int ls_map_file_run(ls_run *run, const ls_idx *mi, int n_files, ls_bseq_file **fps, const ls_mapopt *opt,
                    int n_threads, int n_parts, FILE **part_files, const int32_t *rid_shift) {
    ls_pipeline_state pl;
    pl.run = ls_run_or_default(run);
    pl.n_files = n_files;
    pl.fp = fps;
    pl.mi = mi;
    pl.opt = opt;
    pl.n_threads = n_threads > 1 ? n_threads : 1;
    pl.batch_bases = opt->batch_bases;
    pl.n_parts = n_parts;
    pl.part_files = part_files;
    pl.rid_shift = rid_shift;
    if (opt->split_prefix && n_parts == 0) {
        pl.fp_split = ls_split_open_out(opt->split_prefix, mi, pl.run);
        if (pl.fp_split == nullptr) return LS_MAP_ERR_OUTPUT;
    }
    const int pl_threads = n_threads == 1 ? 1 : (opt->flag & LS_F_TWO_IO_THREADS) ? 3 : 2;
    ls_pipeline(pl_threads, worker_pipeline, &pl, 3);
    free(pl.str.s);
    free(pl.pending.s);
    if (pl.fp_split) {
        // Buffered bytes reach the disk only now; a failure here would
        // otherwise leave a short file that the merge cannot read.
        int e = pl.split_errno;
        bool failed = pl.output_failed || ferror(pl.fp_split);
        if (fclose(pl.fp_split) != 0) {
            failed = true;
            if (e == 0) e = errno;
        }
        if (failed) {
            ls_logger_log(&pl.run->log, LS_LOG_ERROR, "failed to write to temporary file of part %d: %s",
                          mi->part_index, strerror(e ? e : EIO));
            return LS_MAP_ERR_OUTPUT;
        }
    }
    if (pl.output_failed) return LS_MAP_ERR_OUTPUT;
    return pl.input_failed || pl.merge_failed ? LS_MAP_ERR_INPUT : 0;
}

int ls_run_map_files(ls_run *run, const ls_idx *mi, int n_files, const char **paths, const ls_mapopt *opt,
                     int n_threads) {
    if (n_files <= 0) return LS_MAP_ERR_OPEN;
    ls_bseq_file **fps = ls_open_query_files(n_files, paths, run);
    if (fps == nullptr) return LS_MAP_ERR_OPEN;
    const int ret = ls_map_file_run(run, mi, n_files, fps, opt, n_threads, 0, nullptr, nullptr);
    for (int i = 0; i < n_files; ++i) ls_bseq_close(fps[i]);
    free(fps);
    return ret;
}

int ls_map_file_frag(const ls_idx *mi, int n_files, const char **paths, const ls_mapopt *opt, int n_threads) {
    return ls_run_map_files(ls_run_default(), mi, n_files, paths, opt, n_threads);
}

int ls_map_file(const ls_idx *mi, const char *path, const ls_mapopt *opt, int n_threads) {
    return ls_map_file_frag(mi, 1, &path, opt, n_threads);
}

namespace {

/* The merged @SQ lines of a SAM merge, flushed so that a failure shows here. */
int write_sq_lines(ls_run *run, const ls_idx *mi, int64_t flag) {
    if (!(flag & LS_F_SAM_OUT)) return 0;
    ls_pipeline_state p;
    p.run = run;
    int ok = 1;
    for (uint32_t i = 0; i < mi->n_seq && ok; ++i) {
        p.str.l = 0;
        ls_string_printf(&p.str, "@SQ\tSN:%s\tLN:%u", mi->seq[i].name, (unsigned)mi->seq[i].len);
        ok = put_line(&p, &p.str);
    }
    if (ok) ok = flush_lines(&p);
    const int e = errno;
    free(p.str.s);
    free(p.pending.s);
    if (ok) return 0;
    ls_logger_log(&run->log, LS_LOG_ERROR, "failed to write the results: %s", strerror(e));
    return LS_MAP_ERR_OUTPUT;
}

} // namespace

int ls_run_split_merge(ls_run *run, int n_files, const char **paths, const ls_mapopt *opt, int n_parts) {
    if (n_files <= 0 || n_parts <= 0 || opt->split_prefix == nullptr) return LS_MAP_ERR_OPEN;
    ls_bseq_file **fps = ls_open_query_files(n_files, paths, run);
    if (fps == nullptr) return LS_MAP_ERR_OPEN;
    std::vector<FILE *> files(n_parts, nullptr);
    std::vector<uint32_t> n_seq(n_parts);
    int ret = 0;
    ls_idx *mi = ls_split_read_headers(opt->split_prefix, n_parts, files.data(), n_seq.data(), &ret, run);
    if (mi != nullptr) {
        std::vector<int32_t> rid_shift(n_parts);
        for (int j = 1; j < n_parts; ++j) rid_shift[j] = rid_shift[j - 1] + (int32_t)n_seq[j - 1];
        ret = write_sq_lines(run, mi, opt->flag);
        if (ret == 0)
            ret = ls_map_file_run(run, mi, n_files, fps, opt, 2, n_parts, files.data(), rid_shift.data());
        if (ret == 0) ret = ls_split_check_end(n_parts, files.data(), opt->split_prefix, run);
        ls_idx_destroy(mi);
        for (FILE *f : files) fclose(f);
    }
    for (int i = 0; i < n_files; ++i) ls_bseq_close(fps[i]);
    free(fps);
    // A failed merge keeps the files, so that it can be run again.
    if (ret == 0) ls_split_remove(opt->split_prefix, n_parts, run);
    return ret;
}

int ls_split_merge(int n_files, const char **paths, const ls_mapopt *opt, int n_parts) {
    return ls_run_split_merge(ls_run_default(), n_files, paths, opt, n_parts);
}
