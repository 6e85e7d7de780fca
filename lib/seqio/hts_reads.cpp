/* Reads from SAM, BAM and CRAM files: primary records, turned back to the
 * read as sequenced, their tags as SAM text. */
#include "seqio/hts_reads.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "base/alloc.h"

#ifdef LODESTAR_HTS
#include <htslib/bgzf.h>
#include <htslib/cram.h>
#include <htslib/hfile.h>
#include <htslib/hts.h>
#include <htslib/sam.h>
#endif

namespace {

bool is_tag_name(const char *s) {
    auto alpha = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
    return alpha(s[0]) && (alpha(s[1]) || (s[1] >= '0' && s[1] <= '9'));
}

} // namespace

int ls_tag_list_check(const char *list, char *why, size_t n) {
    for (const char *b = list;; ++b) {
        const char *e = strchr(b, ',');
        if (e == nullptr) e = b + strlen(b);
        if (e - b != 2 || !is_tag_name(b)) {
            if (why && n) snprintf(why, n, "'%.*s' is not a two-letter tag name", (int)(e - b), b);
            return -1;
        }
        if (*e == 0) return 0;
        b = e;
    }
}

#ifndef LODESTAR_HTS

int ls_hts_reads_open(const char *, const ls_query_input *, ls_hts_reads **out) {
    *out = nullptr;
    return 0;
}
int ls_hts_reads_next(ls_hts_reads *, ls_seq_reader *) {
    return LS_SEQ_EOF;
}
int ls_hts_reads_eof(const ls_hts_reads *) {
    return 1;
}
int ls_hts_reads_rewind(ls_hts_reads *) {
    return -1;
}
int64_t ls_hts_reads_clipped(const ls_hts_reads *) {
    return 0;
}
void ls_hts_reads_close(ls_hts_reads *) {}

#else

namespace {

// Tags the mapper writes itself, or that describe an alignment the input
// once had: copied, they would contradict the new record or repeat a tag.
const char kNeverCopied[][3] = {"NM", "MD", "AS", "XS", "SA", "MC", "MQ", "ms", "nn", "tp", "cm",
                                "s1", "s2", "de", "dv", "rl", "cg", "cs", "ds", "ts", "zd"};

// htslib says what it finds on standard error; here every fault becomes one
// message of the reader's own, naming the file and the record. The level is
// process-wide, but the BAM writer says its faults itself, so a message it
// might lose meanwhile is no fault unreported.
// Readers on several threads count themselves in, so that the last one out
// puts back the level the first one found.
std::mutex g_quiet_mutex;
int g_quiet_users = 0;
enum htsLogLevel g_quiet_saved = HTS_LOG_WARNING;

struct QuietHts {
    QuietHts() {
        std::lock_guard<std::mutex> lock(g_quiet_mutex);
        if (g_quiet_users++ == 0) {
            g_quiet_saved = hts_get_log_level();
            hts_set_log_level(HTS_LOG_OFF);
        }
    }
    ~QuietHts() {
        std::lock_guard<std::mutex> lock(g_quiet_mutex);
        if (--g_quiet_users == 0) hts_set_log_level(g_quiet_saved);
    }
};

// Room for n bytes and the terminating zero byte.
void reserve(ls_string *s, uint64_t n) {
    if (s->s != nullptr && s->m > n) return;
    s->m = n + 1 > 256 ? n + 1 : 256;
    s->s = (char *)ls_xrealloc(s->s, s->m, __func__);
}

void set_text(ls_string *s, const char *t, uint64_t n) {
    reserve(s, n);
    memcpy(s->s, t, n);
    s->s[n] = 0;
    s->l = n;
}

} // namespace

struct ls_hts_reads {
    std::string path, reference;
    htsExactFormat format = sam;   /* as the content says */
    std::vector<std::string> keep; /* empty: every tag but kNeverCopied */
    bool drop_rg = false;
    htsFile *fp = nullptr;
    sam_hdr_t *hdr = nullptr;
    bool eof_marker_missing = false;
    bool reference_unusable = false;
    bam1_t *rec[2] = {nullptr, nullptr}; /* reads ready to give, in output order */
    int64_t no[2] = {0, 0};              /* their record numbers in the file */
    int n_ready = 0;
    int64_t n_read = 0;    /* records read from the file, of every kind */
    int64_t n_clipped = 0; /* hard-clipped primaries skipped */
    int stop = 0;          /* 0, or what follows the ready reads: LS_SEQ_EOF or LS_SEQ_BAD_FASTQ */
    std::string fault;     /* with LS_SEQ_BAD_FASTQ */
    kstring_t tag = {0, 0, nullptr};

    ~ls_hts_reads() {
        close_file();
        for (bam1_t *b : rec) bam_destroy1(b);
        free(tag.s);
    }
    void close_file() {
        if (hdr) sam_hdr_destroy(hdr);
        if (fp) hts_close(fp);
        hdr = nullptr, fp = nullptr;
    }
    const char *format_name() const { return format == bam ? "BAM" : format == cram ? "CRAM" : "SAM"; }
    void fail(std::string why) {
        stop = LS_SEQ_BAD_FASTQ;
        fault = std::move(why);
    }
    bool kept(const uint8_t *key) const {
        for (const char *t : kNeverCopied)
            if (key[0] == t[0] && key[1] == t[1]) return false;
        if (drop_rg && key[0] == 'R' && key[1] == 'G') return false;
        if (keep.empty()) return true;
        for (const std::string &t : keep)
            if (key[0] == t[0] && key[1] == t[1]) return true;
        return false;
    }
};

namespace {

// Whether the sizes a BAM header states could come from a file of this many
// compressed bytes (deflate shrinks by at most about 1:1032). htslib
// allocates what the header says before reading it, so a damaged or forged
// length would otherwise ask for gigabytes. A header cut short passes here
// and fails in htslib's own reading.
bool bam_header_plausible(const std::string &path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return true;
    const uint64_t bound = (uint64_t)st.st_size * 1100 + (1u << 20);
    BGZF *z = bgzf_open(path.c_str(), "r");
    if (z == nullptr) return true;
    auto read_u32 = [z](uint32_t *v) {
        uint8_t b[4];
        if (bgzf_read(z, b, 4) != 4) return false;
        *v = (uint32_t)b[0] | (uint32_t)b[1] << 8 | (uint32_t)b[2] << 16 | (uint32_t)b[3] << 24;
        return true;
    };
    auto skip = [z](uint64_t n) {
        char buf[4096];
        while (n > 0) {
            const ssize_t m = bgzf_read(z, buf, n < sizeof(buf) ? n : sizeof(buf));
            if (m <= 0) return false;
            n -= (uint64_t)m;
        }
        return true;
    };
    bool ok = true;
    uint32_t magic, l_text, n_ref, l_name;
    if (read_u32(&magic) && read_u32(&l_text)) {
        ok = l_text <= bound;
        if (ok && skip(l_text) && read_u32(&n_ref)) {
            ok = (uint64_t)n_ref * 9 <= bound;
            for (uint32_t i = 0; ok && i < n_ref && read_u32(&l_name); ++i) {
                ok = l_name <= bound;
                if (ok && !skip((uint64_t)l_name + 4)) break;
            }
        }
    }
    if (bgzf_close(z) != 0) {
        // read only: nothing was lost
    }
    return ok;
}

// Opens the file and reads its header; a failure there is the first read's
// fault, so that it reaches the reader's consumer like any other.
void open_file(ls_hts_reads *h) {
    QuietHts quiet;
    h->n_read = 0, h->n_ready = 0, h->stop = 0, h->n_clipped = 0;
    h->fp = hts_open(h->path.c_str(), "r");
    if (h->fp == nullptr)
        return h->fail(std::string("it cannot be opened as a ") + h->format_name() +
                       " file: it is damaged or cut short");
    const htsExactFormat f = h->format;
    if (f == bam && !bam_header_plausible(h->path))
        return h->fail("the BAM header states sizes the file cannot hold: it is damaged");
    // A reference htslib cannot index (a gzip FASTA) is no fault until a
    // record needs it: unaligned CRAM does not.
    if (f == cram && !h->reference.empty() && hts_set_fai_filename(h->fp, h->reference.c_str()) != 0)
        h->reference_unusable = true;
    h->hdr = sam_hdr_read(h->fp);
    if (h->hdr == nullptr) return h->fail(std::string("the ") + h->format_name() + " header is damaged");
    // A BAM or CRAM file cut at a block boundary reads like a shorter whole
    // file; only its missing end-of-file block tells.
    if (f == bam) h->eof_marker_missing = bgzf_check_EOF(h->fp->fp.bgzf) == 0;
    if (f == cram) h->eof_marker_missing = cram_check_EOF(h->fp->fp.cram) == 0;
}

bool hard_clipped(const bam1_t *b) {
    const uint32_t *cigar = bam_get_cigar(b);
    for (uint32_t k = 0; k < b->core.n_cigar; ++k)
        if (bam_cigar_op(cigar[k]) == BAM_CHARD_CLIP) return true;
    return false;
}

// Reads the next primary record that holds its whole read into b. Returns 1,
// or 0 after setting the reader's stop result.
int read_primary(ls_hts_reads *h, bam1_t *b, int64_t *no) {
    QuietHts quiet;
    for (;;) {
        const int r = sam_read1(h->fp, h->hdr, b);
        if (r < -1) {
            std::string why = "record " + std::to_string(h->n_read + 1) + ": the " + h->format_name() +
                              " data there is damaged or cut short";
            if (h->format == cram)
                why += h->reference.empty() ? ", or needs a reference (give it with --reference or REF_PATH)"
                       : h->reference_unusable
                           ? ", or needs a reference, and '" + h->reference + "' cannot be read as one"
                           : ", or was compressed against another reference than '" + h->reference + "'";
            h->fail(why);
            return 0;
        }
        if (r == -1) {
            if (h->eof_marker_missing)
                h->fail("the file ends after record " + std::to_string(h->n_read) + " without its " +
                        h->format_name() + " end-of-file block: it was cut short");
            else
                h->stop = LS_SEQ_EOF;
            return 0;
        }
        ++h->n_read;
        if (b->core.flag & (BAM_FSECONDARY | BAM_FSUPPLEMENTARY)) continue;
        if (hard_clipped(b)) {
            ++h->n_clipped;
            continue;
        }
        *no = h->n_read;
        return 1;
    }
}

bool is_mate(const bam1_t *b, uint16_t which) {
    return (b->core.flag & (BAM_FPAIRED | BAM_FREAD1 | BAM_FREAD2)) == (BAM_FPAIRED | which);
}

// Makes a read ready. A second mate that comes before its first mate waits
// for it: mates are given first mate first, as two FASTQ files would give
// them.
void fill(ls_hts_reads *h) {
    if (h->n_ready == 0 && h->stop == 0 && read_primary(h, h->rec[0], &h->no[0])) h->n_ready = 1;
    if (h->n_ready != 1 || h->stop != 0 || !is_mate(h->rec[0], BAM_FREAD2)) return;
    if (!read_primary(h, h->rec[1], &h->no[1])) return;
    h->n_ready = 2;
    if (is_mate(h->rec[1], BAM_FREAD1) && strcmp(bam_get_qname(h->rec[0]), bam_get_qname(h->rec[1])) == 0) {
        std::swap(h->rec[0], h->rec[1]);
        std::swap(h->no[0], h->no[1]);
    }
}

// The read as sequenced: a record aligned to the reverse strand holds the
// reverse complement of its read, and its qualities reversed.
void put_bases(const bam1_t *b, ls_seq_reader *ks) {
    // IUPAC complements in the 4-bit code's order "=ACMGRSVTWYHKDBN"; '='
    // ("same as the reference") means nothing without one, so it reads N.
    static const char kBase[] = "NACMGRSVTWYHKDBN", kComplement[] = "NTGKCYSBAWRDMHVN";
    const int32_t n = b->core.l_qseq;
    const bool reverse = (b->core.flag & BAM_FREVERSE) != 0;
    const uint8_t *s = bam_get_seq(b);
    reserve(&ks->seq, (uint64_t)n);
    for (int32_t i = 0; i < n; ++i)
        ks->seq.s[i] = reverse ? kComplement[bam_seqi(s, n - 1 - i)] : kBase[bam_seqi(s, i)];
    ks->seq.s[n] = 0;
    ks->seq.l = (uint64_t)n;
    const uint8_t *q = bam_get_qual(b);
    ks->qual.l = 0;
    if (ks->qual.s) ks->qual.s[0] = 0;
    if (n == 0 || q[0] == 0xff) return; // no qualities: a FASTA-like read
    reserve(&ks->qual, (uint64_t)n);
    for (int32_t i = 0; i < n; ++i) {
        // '~' (93) is the highest quality FASTQ text can hold.
        const uint8_t v = q[reverse ? n - 1 - i : i];
        ks->qual.s[i] = (char)(33 + (v > 93 ? 93 : v));
    }
    ks->qual.s[n] = 0;
    ks->qual.l = (uint64_t)n;
}

// The tags to carry, in SAM text separated by tabs. sam_format_aux1 writes
// every type exactly as SAM text has it (B arrays included) and checks
// each tag against the end of the record.
bool put_tags(ls_hts_reads *h, const bam1_t *b, ls_seq_reader *ks) {
    kstring_t *t = &h->tag;
    t->l = 0;
    const uint8_t *p = bam_get_aux(b), *end = b->data + b->l_data;
    while (p < end) {
        if (end - p < 3) return false;
        const size_t mark = t->l;
        if (t->l && kputc('\t', t) < 0) return false;
        const uint8_t *next = sam_format_aux1(p, p[2], p + 3, end, t);
        if (next == nullptr) return false;
        if (!h->kept(p)) t->l = mark;
        p = next;
    }
    set_text(&ks->comment, t->l ? t->s : "", t->l);
    return true;
}

} // namespace

int ls_hts_reads_open(const char *path, const ls_query_input *in, ls_hts_reads **out) {
    *out = nullptr;
    struct stat st;
    if (stat(path, &st) != 0) return -1;
    if (!S_ISREG(st.st_mode)) return 0;
    htsFormat fmt;
    {
        QuietHts quiet;
        hFILE *hf = hopen(path, "r");
        if (hf == nullptr) return -1;
        // The content decides, never the name: hts_detect_format looks at
        // the first bytes only.
        const int r = hts_detect_format(hf, &fmt);
        hclose_abruptly(hf);
        if (r < 0 || (fmt.format != sam && fmt.format != bam && fmt.format != cram)) return 0;
    }
    ls_hts_reads *h = new ls_hts_reads;
    h->path = path;
    h->format = fmt.format;
    if (in != nullptr) {
        if (in->reference) h->reference = in->reference;
        for (const char *b = in->keep_tags; b && *b;) {
            const char *e = strchr(b, ',');
            if (e == nullptr) e = b + strlen(b);
            h->keep.emplace_back(b, e - b);
            b = *e ? e + 1 : e;
        }
        h->drop_rg = in->drop_rg != 0;
    }
    h->rec[0] = bam_init1(), h->rec[1] = bam_init1();
    if (h->rec[0] == nullptr || h->rec[1] == nullptr) {
        delete h;
        errno = ENOMEM;
        return -1;
    }
    open_file(h);
    *out = h;
    return 1;
}

int ls_hts_reads_next(ls_hts_reads *h, ls_seq_reader *ks) {
    fill(h);
    if (h->n_ready == 0) {
        if (h->stop != LS_SEQ_BAD_FASTQ) return LS_SEQ_EOF;
        // The file cannot be read past this point: later reads end there.
        snprintf(ks->fault, sizeof(ks->fault), "%s", h->fault.c_str());
        h->stop = LS_SEQ_EOF;
        return LS_SEQ_BAD_FASTQ;
    }
    const bam1_t *b = h->rec[0];
    ks->n_records = h->no[0];
    const char *name = bam_get_qname(b);
    set_text(&ks->name, name, strlen(name));
    put_bases(b, ks);
    const bool tags_ok = put_tags(h, b, ks);
    std::swap(h->rec[0], h->rec[1]);
    std::swap(h->no[0], h->no[1]);
    --h->n_ready;
    if (!tags_ok) {
        snprintf(ks->fault, sizeof(ks->fault), "record %lld ('%.60s'): its tags are damaged",
                 (long long)ks->n_records, ks->name.s);
        return LS_SEQ_BAD_FASTQ;
    }
    return (int)ks->seq.l;
}

int ls_hts_reads_eof(const ls_hts_reads *h) {
    return h->n_ready == 0 && h->stop == LS_SEQ_EOF;
}

int ls_hts_reads_rewind(ls_hts_reads *h) {
    h->close_file();
    open_file(h);
    return h->fp != nullptr && h->hdr != nullptr ? 0 : -1;
}

int64_t ls_hts_reads_clipped(const ls_hts_reads *h) {
    return h->n_clipped;
}

void ls_hts_reads_close(ls_hts_reads *h) {
    delete h;
}

#endif
