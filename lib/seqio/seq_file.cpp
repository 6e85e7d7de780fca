/* The public sequence-file reader: a zlib handle and the record parser
 * behind one opaque type, so that programs need only lodestar.h to read
 * FASTA/FASTQ. */
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <zlib.h>

#include "lodestar.h"
#include "seqio/seq_reader.h"

struct ls_seqfile {
    gzFile fp;
    ls_seq_reader *ks;
};

namespace {

// A string the parser has not used yet has no bytes at all; callers get an
// empty text instead, so that they never test for null.
const char *text_of(const ls_string &s) {
    return s.s ? s.s : "";
}

} // namespace

ls_seqfile *ls_seqfile_open(const char *path) {
    if (!path) {
        errno = EINVAL;
        return nullptr;
    }
    // gzopen and gzdopen leave errno as the failed call set it.
    gzFile fp = strcmp(path, "-") == 0 ? gzdopen(0, "r") : gzopen(path, "r");
    if (!fp) return nullptr;
    ls_seqfile *f = (ls_seqfile *)calloc(1, sizeof(ls_seqfile));
    if (f) f->ks = ls_seq_reader_init(fp);
    if (!f || !f->ks) {
        free(f);
        gzclose(fp);
        errno = ENOMEM;
        return nullptr;
    }
    f->fp = fp;
    return f;
}

int ls_seqfile_read(ls_seqfile *f, ls_seqfile_rec *out) {
    int ret = ls_seq_reader_read(f->ks);
    if (ret == LS_SEQ_EOF || ret == LS_SEQ_READ_ERROR || ret == LS_SEQ_NOT_SEQUENCE) {
        // The strings may still hold the last record, or part of one.
        out->name = out->comment = out->seq = out->qual = "";
        out->name_len = out->comment_len = out->seq_len = out->qual_len = 0;
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
    int ret = gzrewind(f->fp) == 0 ? 0 : -1;
    // The parser starts afresh either way: after a failed rewind it reads on
    // from where the input stands rather than from stale buffered bytes.
    ls_seq_reader_rewind(f->ks);
    return ret;
}

const char *ls_seqfile_error_text(const ls_seqfile *f) {
    return f->ks->fault[0] ? f->ks->fault : ls_stream_error_text(f->ks->f);
}

void ls_seqfile_close(ls_seqfile *f) {
    if (!f) return;
    ls_seq_reader_destroy(f->ks);
    gzclose(f->fp);
    free(f);
}
