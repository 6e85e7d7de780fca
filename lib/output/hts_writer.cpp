/* BAM and CRAM output: SAM text in, records encoded by htslib out. The text
 * is what the SAM writer produces, so each record is parsed back exactly as
 * `samtools view -b` would parse it, and the file holds the same records as
 * the SAM would. Compression runs on htslib's own thread pool. */
#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "base/diagnostics.h"
#include "lodestar.h"

#ifdef LODESTAR_HTS
#include <htslib/hfile.h>
#include <htslib/hts.h>
#include <htslib/sam.h>
#endif

int ls_hts_enabled(void) {
#ifdef LODESTAR_HTS
    return 1;
#else
    return 0;
#endif
}

int ls_format_of_path(const char *path) {
    const size_t n = path ? strlen(path) : 0;
    auto ends = [&](const char *ext) {
        const size_t m = strlen(ext);
        return n > m && strcasecmp(path + n - m, ext) == 0;
    };
    if (ends(".bam")) return LS_FMT_BAM;
    if (ends(".cram")) return LS_FMT_CRAM;
    return LS_FMT_SAM;
}

#ifdef LODESTAR_HTS

struct ls_hts_writer {
    htsFile *fp = nullptr;
    sam_hdr_t *hdr = nullptr;
    bam1_t *rec = nullptr;
    std::string name;
    int format = LS_FMT_BAM;
    std::string header; /* header lines until the first record */
    std::string partial; /* a line not yet ended */
    kstring_t line = {0, 0, nullptr};
    bool failed = false;
    bool closing = false; /* in ls_hts_writer_close */
};

namespace {

/* Marks the writer failed. Faults met while the run writes are reported by
 * the run, from errno ("failed to write the results"); those met when the
 * file is finished are said here, once. */
int fail(ls_hts_writer *w, int err, const char *what) {
    if (!w->failed && w->closing)
        ls_log(LS_LOG_ERROR, "failed to write the %s file '%s': %s", w->format == LS_FMT_CRAM ? "CRAM" : "BAM",
               w->name.c_str(), what);
    w->failed = true;
    errno = err;
    return -1;
}

/* Parses the header text and writes it, once, before the first record. */
int write_header(ls_hts_writer *w) {
    if (w->hdr != nullptr) return 0;
    w->hdr = sam_hdr_parse(w->header.size(), w->header.c_str());
    if (w->hdr == nullptr) return fail(w, EINVAL, "the SAM header could not be encoded");
    if (sam_hdr_write(w->fp, w->hdr) < 0) return fail(w, errno ? errno : EIO, strerror(errno ? errno : EIO));
    return 0;
}

int put_line(ls_hts_writer *w, const char *s, size_t n) {
    if (w->hdr == nullptr && n > 0 && s[0] == '@') {
        w->header.append(s, n);
        w->header += '\n';
        return 0;
    }
    if (write_header(w) != 0) return -1;
    w->line.l = 0;
    if (kputsn(s, n, &w->line) < 0) return fail(w, ENOMEM, "out of memory");
    if (sam_parse1(&w->line, w->hdr, w->rec) < 0) {
        // Only a fault of ours would give a record htslib cannot read back.
        ls_log(LS_LOG_ERROR, "'%s': htslib refused the record of '%.*s'", w->name.c_str(),
               (int)strcspn(w->line.s, "\t"), w->line.s);
        return fail(w, EINVAL, "a record could not be encoded");
    }
    errno = 0;
    if (sam_write1(w->fp, w->hdr, w->rec) < 0) return fail(w, errno ? errno : EIO, strerror(errno ? errno : EIO));
    return 0;
}

} // namespace

ls_hts_writer *ls_hts_writer_open(int fd, const char *name, int format, const char *ref_fasta, int n_threads) {
    if (format != LS_FMT_BAM && format != LS_FMT_CRAM) return nullptr;
    const int fd2 = dup(fd);
    hFILE *hf = fd2 >= 0 ? hdopen(fd2, "w") : nullptr;
    if (hf == nullptr) {
        if (fd2 >= 0) close(fd2);
        ls_log(LS_LOG_ERROR, "failed to write the output file '%s': %s", name, strerror(errno));
        return nullptr;
    }
    ls_hts_writer *w = new ls_hts_writer;
    w->name = name;
    w->format = format;
    w->fp = hts_hopen(hf, name, format == LS_FMT_CRAM ? "wc" : "wb");
    if (w->fp == nullptr) {
        ls_log(LS_LOG_ERROR, "failed to write the output file '%s': %s", name, strerror(errno ? errno : EIO));
        if (hclose(hf) != 0) {
            // already failing
        }
        delete w;
        return nullptr;
    }
    w->rec = bam_init1();
    if (n_threads > 1 && hts_set_threads(w->fp, n_threads) != 0)
        ls_log(LS_LOG_WARNING, "compressing '%s' on one thread", name);
    // CRAM would otherwise drop NM and MD and have readers compute them
    // again, at the end of the record: stored, every tag keeps its place.
    if (format == LS_FMT_CRAM &&
        (hts_set_opt(w->fp, CRAM_OPT_STORE_NM, 1) != 0 || hts_set_opt(w->fp, CRAM_OPT_STORE_MD, 1) != 0))
        ls_log(LS_LOG_WARNING, "'%s': CRAM readers will compute NM and MD again", name);
    if (format == LS_FMT_CRAM && (ref_fasta == nullptr || hts_set_fai_filename(w->fp, ref_fasta) != 0)) {
        ls_log(LS_LOG_ERROR,
               "CRAM output needs its reference as a FASTA file, plain or bgzip-compressed, with its .fai index "
               "or in a folder where one can be made: '%s'",
               ref_fasta ? ref_fasta : "");
        ls_hts_writer_close(w);
        return nullptr;
    }
    return w;
}

int ls_hts_writer_write(void *data, const char *buf, size_t len) {
    ls_hts_writer *w = static_cast<ls_hts_writer *>(data);
    if (w->failed) {
        errno = EIO;
        return -1;
    }
    size_t start = 0;
    for (size_t i = 0; i < len; ++i) {
        if (buf[i] != '\n') continue;
        int rc;
        if (!w->partial.empty()) {
            w->partial.append(buf + start, i - start);
            rc = put_line(w, w->partial.data(), w->partial.size());
            w->partial.clear();
        } else {
            rc = put_line(w, buf + start, i - start);
        }
        if (rc != 0) return -1;
        start = i + 1;
    }
    w->partial.append(buf + start, len - start);
    return 0;
}

int ls_hts_writer_close(ls_hts_writer *w) {
    if (w == nullptr) return 0;
    w->closing = true;
    int ret = w->failed ? -1 : 0;
    if (ret == 0 && !w->partial.empty()) ret = put_line(w, w->partial.data(), w->partial.size());
    // A run without records still gets its header, so that the file is
    // complete; a run that wrote nothing at all leaves it empty.
    if (ret == 0 && !w->header.empty()) ret = write_header(w);
    errno = 0;
    if (hts_close(w->fp) != 0 && ret == 0) ret = fail(w, errno ? errno : EIO, strerror(errno ? errno : EIO));
    w->fp = nullptr;
    bam_destroy1(w->rec);
    sam_hdr_destroy(w->hdr);
    free(w->line.s);
    delete w;
    return ret;
}

#else

struct ls_hts_writer {};

ls_hts_writer *ls_hts_writer_open(int, const char *name, int, const char *, int) {
    ls_log(LS_LOG_ERROR, "cannot write '%s': this lodestar was built without htslib, so BAM and CRAM are not available",
           name);
    return nullptr;
}

int ls_hts_writer_write(void *, const char *, size_t) {
    errno = ENOSYS;
    return -1;
}

int ls_hts_writer_close(ls_hts_writer *) { return 0; }

#endif
