/* lodestar-lite: maps every query of a FASTA/FASTQ file against a target file
 * (sequences or a prebuilt index) and prints one line per region.
 *
 * The run holds at most one index part in memory: each part is built (or
 * loaded), the whole query file is mapped against it, and the part is
 * released before the next one is read. */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "lodestar.h"

// What must hold whatever the input: a failure is a bug, so the check stays
// on in release builds and stops the run with the library's assertion text.
#define CHECK(cond) ((cond) ? (void)0 : check_failed(#cond, __func__, __FILE__, __LINE__))

namespace {

const char *const kUsage = "Usage: lodestar-lite <target.fa> <query.fa>";

[[noreturn]] void check_failed(const char *cond, const char *func, const char *file, int line) {
    ls_log_line("", "Assertion failed: (%s), function %s, file %s, line %d.", cond, func, file, line);
    fflush(stderr);
    abort();
}

/* What went wrong with the query file; reported once, however many index
 * parts re-read the file. */
struct QueryStatus {
    bool reported = false;
    bool failed = false;
};

/* Prints the reason the record loop stopped early, once per run. A clean end
 * of input is not a failure; anything else is, and the run then exits with
 * status 1 (after printing everything before the bad record), so that a
 * pipeline never takes a half-read query file for a complete result. */
void report_query_stop(int ret, const char *path, const std::string &last_name, const ls_seqfile *qf,
                       QueryStatus *st) {
    if (ret == LS_SEQ_EOF) return;
    st->failed = true;
    if (st->reported) return;
    st->reported = true;
    if (ret == LS_SEQ_READ_ERROR) {
        ls_log_line("[ERROR] ", "failed to read '%s': %s", path, ls_seqfile_error_text(qf));
    } else if (last_name.empty()) {
        ls_log_message(LS_LOG_WARNING, "malformed record at the start of '%s'; nothing after it is mapped", path);
    } else {
        ls_log_message(LS_LOG_WARNING, "malformed record after '%s' in '%s'; nothing after it is mapped",
                       last_name.c_str(), path);
    }
}

/* Prints one region: twelve tab-separated columns, then the CIGAR after
 * "cg:Z:". */
void print_region(const char *qname, size_t qlen, const ls_idx *mi, const ls_reg *r) {
    const ls_idx_seq *t = &mi->seq[r->target_id];
    printf("%s\t%zu\t%d\t%d\t%c\t", qname, qlen, r->qs, r->qe, "+-"[r->reverse]);
    printf("%s\t%d\t%d\t%d\t%d\t%d\t%d\tcg:Z:", t->name ? t->name : "*", (int)t->len, r->rs, r->re,
           r->match_len, r->block_len, (int)r->mapq);
    for (uint32_t i = 0; i < r->p->n_cigar; ++i)
        printf("%d%c", (int)(r->p->cigar[i] >> 4), LS_CIGAR_STR[r->p->cigar[i] & 0xf]);
    putchar('\n');
}

/* Maps every query record, from the start of the file, against one index
 * part and prints the regions of each record as soon as they come back. */
void map_queries(ls_seqfile *qf, const char *qpath, const ls_idx *mi, const ls_mapopt *opt, QueryStatus *st) {
    ls_tbuf *tbuf = ls_tbuf_init();
    CHECK(tbuf);
    // A pipe cannot go back: a later pass maps what is left of it.
    ls_seqfile_rewind(qf);
    std::string last_name;
    ls_seqfile_rec rec;
    int ret;
    while ((ret = ls_seqfile_read(qf, &rec)) >= 0) {
        int n_regs = 0;
        ls_reg *regs = ls_map(mi, (int)rec.seq_len, rec.seq, &n_regs, tbuf, opt, nullptr);
        for (int j = 0; j < n_regs; ++j) {
            ls_reg *r = &regs[j];
            // Base-level alignment attaches detail to every region it returns.
            CHECK(r->p);
            print_region(rec.name, rec.seq_len, mi, r);
            free(r->p);
        }
        free(regs);
        last_name.assign(rec.name, rec.name_len);
    }
    report_query_stop(ret, qpath, last_name, qf, st);
    ls_tbuf_destroy(tbuf);
}

} // namespace

int main(int argc, char *argv[]) {
    ls_verbosity = 2;
    ls_idxopt iopt;
    ls_mapopt mopt;
    ls_opt_preset(nullptr, &iopt, &mopt);
    mopt.flag |= LS_F_BASE_ALIGN;

    if (argc < 3) {
        ls_log_line("", "%s", kUsage);
        return 1;
    }
    const char *tpath = argv[1], *qpath = argv[2];

    // The query file is read once per index part, so it must be a file:
    // "-" is one of that name here, not standard input.
    ls_seqfile *qf = ls_seqfile_open(strcmp(qpath, "-") == 0 ? "./-" : qpath);
    if (!qf) {
        ls_log_line("[ERROR] ", "failed to open the query file '%s': %s", qpath,
                    errno ? strerror(errno) : "out of memory");
        return 1;
    }

    errno = 0;
    ls_idx_reader *ir = ls_idx_reader_open(tpath, &iopt, nullptr);
    if (!ir) {
        // Bad index options are reported by the reader itself; a path that
        // cannot be opened leaves its reason in errno.
        if (errno)
            ls_log_line("[ERROR] ", "failed to open the target file '%s': %s", tpath, strerror(errno));
        ls_seqfile_close(qf);
        return 1;
    }

    QueryStatus qstatus;
    ls_idx *mi;
    while ((mi = ls_idx_reader_read(ir, 3)) != nullptr) {
        ls_mapopt_update(&mopt, mi);
        map_queries(qf, qpath, mi, &mopt, &qstatus);
        ls_idx_destroy(mi);
    }
    int status = qstatus.failed ? 1 : 0;
    if (ls_idx_reader_error(ir)) status = 1;
    ls_idx_reader_close(ir);

    ls_seqfile_close(qf);
    // Lines are written with buffered printf; a full disk or a closed pipe
    // shows only here, and must not pass for a complete result.
    if (fflush(stdout) != 0 || ferror(stdout)) {
        ls_log_line("[ERROR] ", "failed to write the results: %s", strerror(errno));
        status = 1;
    }
    return status;
}
