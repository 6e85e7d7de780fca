/* The public sequence-file reader: a zlib handle and the record parser
 * (or, for a SAM, BAM or CRAM query file, htslib's records) behind one
 * opaque type, so that programs need only lodestar.h to read sequences. */
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <zlib.h>

#include "base/diagnostics.h"
#include "lodestar.h"
#include "seqio/hts_reads.h"
#include "seqio/seq_reader.h"

struct ls_seqfile {
    gzFile fp; /* null for a SAM, BAM or CRAM file */
    ls_seq_reader *ks;
    bool clip_warned;
    char *path;
};

namespace {

// A string the parser has not used yet has no bytes at all; callers get an
// empty text instead, so that they never test for null.
const char *text_of(const ls_string &s) {
    return s.s ? s.s : "";
}

} // namespace

namespace {

ls_seqfile *open_file(const char *path, bool query, const ls_query_input *in) {
    if (!path) {
        errno = EINVAL;
        return nullptr;
    }
    const bool is_stdin = strcmp(path, "-") == 0;
    ls_hts_reads *hts = nullptr;
    if (query && !is_stdin && ls_hts_reads_open(path, in, &hts) < 0) return nullptr;
    // gzopen and gzdopen leave errno as the failed call set it.
    gzFile fp = nullptr;
    if (hts == nullptr && !(fp = is_stdin ? gzdopen(0, "r") : gzopen(path, "r"))) return nullptr;
    ls_seqfile *f = (ls_seqfile *)calloc(1, sizeof(ls_seqfile));
    if (f) {
        f->ks = fp ? ls_seq_reader_init(fp) : (ls_seq_reader *)calloc(1, sizeof(ls_seq_reader));
        f->path = strdup(path);
    }
    if (!f || !f->ks || !f->path) {
        if (f) {
            ls_seq_reader_destroy(f->ks);
            free(f->path);
        }
        free(f);
        ls_hts_reads_close(hts);
        if (fp) gzclose(fp);
        errno = ENOMEM;
        return nullptr;
    }
    f->fp = fp;
    f->ks->hts = hts;
    struct stat st;
    f->ks->on_stream =
        query && ls_hts_enabled() && (is_stdin || stat(path, &st) != 0 || !S_ISREG(st.st_mode));
    return f;
}

} // namespace

ls_seqfile *ls_seqfile_open(const char *path) {
    return open_file(path, false, nullptr);
}

ls_seqfile *ls_seqfile_open_query(const char *path, const ls_query_input *in) {
    return open_file(path, true, in);
}

int ls_seqfile_read(ls_seqfile *f, ls_seqfile_rec *out) {
    int ret = ls_seq_reader_read(f->ks);
    if (ret == LS_SEQ_EOF || ret == LS_SEQ_READ_ERROR || ret == LS_SEQ_NOT_SEQUENCE) {
        // The strings may still hold the last record, or part of one.
        out->name = out->comment = out->seq = out->qual = "";
        out->name_len = out->comment_len = out->seq_len = out->qual_len = 0;
        const int64_t n_clipped = f->ks->hts ? ls_hts_reads_clipped(f->ks->hts) : 0;
        if (ret == LS_SEQ_EOF && n_clipped > 0 && !f->clip_warned) {
            f->clip_warned = true;
            ls_log(LS_LOG_WARNING,
                   "'%s': skipped %lld hard-clipped primary record(s), which do not hold the whole read",
                   f->path, (long long)n_clipped);
        }
        return ret;
    }
    const ls_seq_reader *ks = f->ks;
    out->name = text_of(ks->name), out->name_len = ks->name.l;
    out->comment = text_of(ks->comment), out->comment_len = ks->comment.l;
    out->seq = text_of(ks->seq), out->seq_len = ks->seq.l;
    out->qual = text_of(ks->qual), out->qual_len = ks->qual.l;
    return ret;
}

int ls_seqfile_rewind(ls_seqfile *f) {
    if (f->ks->hts) {
        // The file is opened again; one that cannot be says so at the next read.
        ls_seq_reader_rewind(f->ks);
        return 0;
    }
    int ret = gzrewind(f->fp) == 0 ? 0 : -1;
    // The parser starts afresh either way: after a failed rewind it reads on
    // from where the input stands rather than from stale buffered bytes.
    ls_seq_reader_rewind(f->ks);
    return ret;
}

const char *ls_seqfile_error_text(const ls_seqfile *f) {
    return f->ks->fault[0] || f->ks->f == nullptr ? f->ks->fault : ls_stream_error_text(f->ks->f);
}

void ls_seqfile_close(ls_seqfile *f) {
    if (!f) return;
    ls_seq_reader_destroy(f->ks);
    if (f->fp) gzclose(f->fp);
    free(f->path);
    free(f);
}
