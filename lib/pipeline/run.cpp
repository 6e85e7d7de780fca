/* The run context and the calls without a run, which use the default one. */
#include "pipeline/run.h"

#include <errno.h>
#include <new>

#include "base/alloc.h"
#include "pipeline/split_files.h"

char ls_rg_id[LS_RG_ID_SIZE];

extern "C" {

ls_run *ls_run_init(void) {
    ls_run *run = new (std::nothrow) ls_run;
    if (run == nullptr) return nullptr;
    run->log.verbosity = ls_verbosity;
    run->log.start_time = ls_realtime();
    return run;
}

void ls_run_destroy(ls_run *run) {
    if (run == nullptr || run == ls_run_default()) return;
    ls_split_discard_all(run);
    delete run;
}

ls_run *ls_run_default(void) {
    // Messages follow ls_verbosity and ls_start_time as they are when a line
    // is written (the logger's negative fields), and the read group is the
    // public ls_rg_id, so that callers of the calls without a run see no
    // difference.
    static ls_run *def = [] {
        ls_run *run = new ls_run;
        run->rg_id = ls_rg_id;
        return run;
    }();
    return def;
}

void ls_run_set_output(ls_run *run, FILE *fp) {
    run->out = fp;
    run->writer = nullptr;
    run->writer_data = nullptr;
}

void ls_run_set_writer(ls_run *run, ls_write_fn fn, void *data) {
    run->writer = fn;
    run->writer_data = data;
}

void ls_run_set_log(ls_run *run, ls_log_fn fn, void *data, int verbosity) {
    run->log.fn = fn;
    run->log.data = data;
    run->log.verbosity = verbosity < 0 ? 0 : verbosity;
}

void ls_run_set_start_time(ls_run *run, double t) { run->log.start_time = t < 0.0 ? 0.0 : t; }

int ls_run_set_read_group(ls_run *run, const char *rg) {
    run->rg_line.clear();
    run->rg_id[0] = 0;
    if (rg == nullptr) return 0;
    ls_string line = {0, 0, nullptr};
    const int ret = ls_sam_parse_rg(rg, &run->log, &line, run->rg_id);
    if (ret == 0) run->rg_line.assign(line.s, line.l);
    free(line.s);
    return ret;
}

const char *ls_run_read_group_id(const ls_run *run) { return run->rg_id; }

int ls_run_set_query_input(ls_run *run, const char *reference, const char *keep_tags) {
    if (keep_tags != nullptr) {
        char why[128];
        if (ls_tag_list_check(keep_tags, why, sizeof(why)) != 0) {
            ls_logger_log(&run->log, LS_LOG_ERROR, "the tags to keep: %s", why);
            return -1;
        }
    }
    run->query_reference = reference ? reference : "";
    run->keep_tags = keep_tags ? keep_tags : "";
    return 0;
}

void ls_run_stats(const ls_run *run, ls_map_stats *st) {
    st->n_queries = run->n_queries.load(std::memory_order_relaxed);
    st->n_bases = run->n_bases.load(std::memory_order_relaxed);
    st->n_mapped = run->n_mapped.load(std::memory_order_relaxed);
}

void ls_run_stats_reset(ls_run *run) {
    run->n_queries.store(0, std::memory_order_relaxed);
    run->n_bases.store(0, std::memory_order_relaxed);
    run->n_mapped.store(0, std::memory_order_relaxed);
}

void ls_map_stats_get(ls_map_stats *st) { ls_run_stats(ls_run_default(), st); }
void ls_map_stats_reset(void) { ls_run_stats_reset(ls_run_default()); }

} // extern "C"

namespace {

/* Writes the header text and its newline to the run's output. */
int write_header(ls_run *run, const ls_idx *mi, const char *rg_line, const char *version, int argc,
                 char *const *argv) {
    ls_string str = {0, 0, nullptr};
    ls_sam_header_text(&str, mi, rg_line, version, argc, argv);
    ls_str_putc(&str, '\n');
    int ret = 0;
    if (run->writer != nullptr) {
        if (run->writer(run->writer_data, str.s, str.l) != 0) ret = -2;
    } else {
        FILE *fp = run->out != nullptr ? run->out : stdout;
        if (fputs(str.s, fp) == EOF) ret = -2;
    }
    const int err = errno;
    free(str.s);
    errno = err;
    return ret;
}

} // namespace

extern "C" {

int ls_run_sam_header(ls_run *run, const ls_idx *mi, const char *version, int argc, char *const *argv) {
    return write_header(run, mi, run->rg_line.c_str(), version, argc, argv);
}

int ls_sam_header(const ls_idx *mi, const char *rg, const char *version, int argc, char *const *argv) {
    ls_run *run = ls_run_default();
    // Only a line given to this call goes into this header; a call without
    // one leaves the ID of an earlier call in place.
    const int ret = rg != nullptr ? ls_run_set_read_group(run, rg) : 0;
    // A header that did not reach the output outweighs a rejected read group:
    // the caller reports it, with errno kept from the failed write.
    const int w = write_header(run, mi, rg != nullptr ? run->rg_line.c_str() : nullptr, version, argc, argv);
    return w != 0 ? w : ret;
}

void ls_run_sam_format(ls_run *run, ls_string *str, const ls_idx *mi, const ls_bseq_rec *t, int seg_idx,
                       int reg_idx, int n_seg, const int *n_regss, const ls_reg *const *regss, km_arena *km,
                       int64_t flag, int rep_len) {
    const ls_sam_ctx ctx = ls_run_sam_ctx(run);
    const ls_bseq_rec *mate = n_seg == 2 ? t + (1 - 2 * seg_idx) : nullptr;
    ls_sam_format_ctx(&ctx, str, mi, t, mate, seg_idx, reg_idx, n_seg, n_regss, regss, km, flag, rep_len);
}

void ls_sam_format(ls_string *str, const ls_idx *mi, const ls_bseq_rec *t, int seg_idx, int reg_idx, int n_seg,
                   const int *n_regss, const ls_reg *const *regss, km_arena *km, int64_t flag, int rep_len) {
    // Reads t alone: the mate tags, which need the mate's record, come with
    // ls_run_sam_format.
    const ls_sam_ctx ctx = ls_run_sam_ctx(ls_run_default());
    ls_sam_format_ctx(&ctx, str, mi, t, nullptr, seg_idx, reg_idx, n_seg, n_regss, regss, km, flag, rep_len);
}

void ls_sam_format_basic(ls_string *str, const ls_idx *mi, const ls_bseq_rec *t, int seg_idx, int reg_idx,
                         int n_seg, const int *n_regss, const ls_reg *const *regss, km_arena *km,
                         int64_t flag) {
    ls_sam_format(str, mi, t, seg_idx, reg_idx, n_seg, n_regss, regss, km, flag, -1);
}

void ls_sam_format_one(ls_string *str, const ls_idx *mi, const ls_bseq_rec *t, const ls_reg *r, int n_regs,
                       const ls_reg *regs) {
    int i = 0;
    if (regs != nullptr)
        for (i = 0; i < n_regs; ++i)
            if (&regs[i] == r) break;
    ls_sam_format(str, mi, t, 0, i, 1, &n_regs, &regs, nullptr, 0, -1);
}

} // extern "C"
