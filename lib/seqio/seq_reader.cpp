/* FASTA/FASTQ stream reader, record parser and batch reader. */
#include "seqio/seq_reader.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "base/alloc.h"
#include "base/arena.h"
#include "base/diagnostics.h"
#include "seqio/hts_reads.h"

namespace {

enum LineMode : int32_t { kLineUnknown = 0, kLineFeed = 1, kLineCarriageReturn = 2 };

// A fragment look-ahead stops at records this long: such a record is not a
// short-read mate, and holding a second one back would double the memory of
// a batch for nothing.
constexpr int32_t kMaxFragmentLookaheadLen = 1000000;

constexpr int kInitialBatchCap = 256;

// The parsers cannot continue without the memory, and returning half-built
// records would lose data silently: the checked allocations stop the program
// with a message instead.
char *copy_text(const char *s, size_t len) {
    char *t = (char *)ls_xmalloc(len + 1, __func__);
    if (len) memcpy(t, s, len);
    t[len] = 0;
    return t;
}

// Smallest power of two above x, by filling every bit below the highest set
// one. The 32-bit shift keeps the result a power of two for 64-bit lengths.
uint64_t round_up_pow2(uint64_t x) {
    x |= x >> 1;
    x |= x >> 2;
    x |= x >> 4;
    x |= x >> 8;
    x |= x >> 16;
    x |= x >> 32;
    return x + 1;
}

void str_set_cap(ls_string *str, uint64_t m) {
    str->m = m;
    str->s = (char *)ls_xrealloc(str->s, m, __func__);
}

// Room for n more bytes plus the terminating zero byte.
void str_reserve(ls_string *str, uint64_t n) {
    if (str->m - str->l < n + 1) str_set_cap(str, round_up_pow2(str->l + n));
}

void str_clear(ls_string *str) {
    str->l = 0;
    if (str->s) str->s[0] = 0;
}

bool stream_eof_flag(const ls_stream *ks) {
    return (ks->eof_bufsize & 3u) != 0;
}
int32_t stream_bufsize(const ls_stream *ks) {
    return (int32_t)(ks->eof_bufsize >> 2);
}
void stream_set_eof(ls_stream *ks, bool eof) {
    ks->eof_bufsize = (ks->eof_bufsize & ~3u) | (eof ? 1u : 0u);
}

// Files whose lines end with a lone carriage return (old Mac text) are
// recognised from the first buffer: it holds no line feed at all but a
// carriage return that is followed by another byte. Any file with a line feed
// near its start keeps the line-feed rules unchanged.
void probe_line_mode(ls_stream *ks) {
    ks->line_mode = kLineFeed;
    if (ks->end < 2 || memchr(ks->buf, '\n', ks->end)) return;
    if (memchr(ks->buf, '\r', ks->end - 1)) ks->line_mode = kLineCarriageReturn;
}

bool is_eol(const ls_stream *ks, int c) {
    return c == '\n' || (c == '\r' && ks->line_mode == kLineCarriageReturn);
}

void refill(ls_stream *ks) {
    int32_t size = stream_bufsize(ks);
    ks->begin = 0;
    int n = gzread(ks->f, ks->buf, (unsigned)size);
    if (n < 0) {
        // A damaged block or failed read: the bytes of this call are lost,
        // and the input ends here, flagged so it is not taken for a clean end.
        ks->end = 0;
        stream_set_eof(ks, true);
        ks->error = 1;
    } else {
        ks->end = n;
        if (n < size) {
            stream_set_eof(ks, true);
            // A gzip member cut short ends with a count of 0 like a clean
            // end; only the handle's error state tells them apart.
            int errnum = Z_OK;
            gzerror(ks->f, &errnum);
            if (errnum != Z_OK) ks->error = 1;
        }
    }
    if (ks->line_mode == kLineUnknown) probe_line_mode(ks);
}

bool is_space_byte(unsigned char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Position of the first delimiter byte in buf[begin, end), or end.
int32_t scan_delimiter(const ls_stream *ks, int delimiter) {
    const unsigned char *buf = ks->buf;
    int32_t i = ks->begin, end = ks->end;
    if (delimiter == LS_SEP_LINE && ks->line_mode == kLineCarriageReturn) {
        while (i < end && buf[i] != '\n' && buf[i] != '\r') ++i;
    } else if (delimiter == LS_SEP_LINE || delimiter > LS_SEP_LINE) {
        int byte = delimiter == LS_SEP_LINE ? '\n' : delimiter;
        const void *p = memchr(buf + i, byte, (size_t)(end - i));
        i = p ? (int32_t)((const unsigned char *)p - buf) : end;
    } else if (delimiter == LS_SEP_SPACE) {
        while (i < end && !is_space_byte(buf[i])) ++i;
    } else {
        while (i < end && (buf[i] == ' ' || !is_space_byte(buf[i]))) ++i;
    }
    return i;
}

bool hit_read_error(const ls_stream *ks) {
    return ks->error && ks->begin >= ks->end;
}

// The input ran out. If it ran into a read error, that is the result, so a
// damaged file never looks like a clean end or a short record.
int input_ended(const ls_stream *ks, int result) {
    return hit_read_error(ks) ? LS_SEQ_READ_ERROR : result;
}

void free_rec(ls_bseq_rec *r) {
    free(r->name);
    free(r->seq);
    free(r->qual);
    free(r->comment);
    memset(r, 0, sizeof(*r));
}

// From this length on, a record takes over the reader's sequence buffer
// instead of a copy: a chromosome is then held once, not twice, and the
// reader starts its next record with a fresh buffer.
constexpr uint64_t kHandOverLen = 1 << 20;

void copy_record(ls_bseq_rec *s, ls_seq_reader *ks, int with_qual, int with_comment, const ls_logger *log) {
    if (ks->name.l == 0)
        ls_logger_log(log, LS_LOG_WARNING, "empty sequence name in the input.");
    s->name = copy_text(ks->name.s, ks->name.l);
    s->len = (int32_t)ks->seq.l;
    if (ks->seq.l >= kHandOverLen) {
        s->seq = (char *)ls_xrealloc(ks->seq.s, ks->seq.l + 1, __func__); // trims the doubling slack
        s->seq[ks->seq.l] = 0;
        ks->seq.s = nullptr;
        ks->seq.l = ks->seq.m = 0;
    } else {
        s->seq = copy_text(ks->seq.s, ks->seq.l);
    }
    // RNA input: the index and the aligner know four bases, so U becomes T.
    for (int64_t i = 0; i < s->len; ++i)
        if (s->seq[i] == 'U' || s->seq[i] == 'u') --s->seq[i];
    s->qual = with_qual && ks->qual.l > 0 ? copy_text(ks->qual.s, ks->qual.l) : nullptr;
    s->comment = with_comment && ks->comment.l > 0 ? copy_text(ks->comment.s, ks->comment.l) : nullptr;
    s->rec_id = 0;
}

// Batch array: 256 records at first, doubling when full.
struct RecArray {
    ls_bseq_rec *a = nullptr;
    int n = 0, m = 0;

    ls_bseq_rec *push() {
        if (n == m) {
            m = m ? m << 1 : kInitialBatchCap;
            a = (ls_bseq_rec *)ls_xrealloc(a, (size_t)m * sizeof(ls_bseq_rec), __func__);
        }
        ls_bseq_rec *r = &a[n++];
        memset(r, 0, sizeof(*r));
        return r;
    }
};

enum FileError { kParseError = 1, kReadError = 2, kTooLong = 4 };

void report_read_error(ls_bseq_file *fp) {
    // Later calls hit the same error again; say it once.
    if (!(fp->error & kReadError))
        ls_logger_log(fp->log, LS_LOG_ERROR, "failed to read '%s': %s", fp->path, ls_stream_error_text(fp->ks->f));
    fp->error |= kReadError;
}

// A record the parser refused, or input that is not FASTA/FASTQ at all:
// consumers stop there, so the message is an error naming the file and what
// the parser found. The parser has consumed the record; a later batch starts
// after it.
void report_bad_record(ls_bseq_file *fp, int ret) {
    fp->error |= ret == LS_SEQ_TOO_LONG ? kTooLong : kParseError;
    ls_logger_log(fp->log, LS_LOG_ERROR, "failed to read '%s': %s", fp->path, fp->ks->fault);
}

// At the end of a SAM, BAM or CRAM file, the hard-clipped primaries it held
// are counted in one warning.
void report_end(ls_bseq_file *fp) {
    const int64_t n = fp->ks->hts ? ls_hts_reads_clipped(fp->ks->hts) : 0;
    if (n == 0 || fp->clip_warned) return;
    fp->clip_warned = 1;
    ls_logger_log(fp->log, LS_LOG_WARNING,
                  "'%s': skipped %lld hard-clipped primary record(s), which do not hold the whole read",
                  fp->path, (long long)n);
}

// Sorts out the result that ended a batch: a clean end says nothing more.
void report_stop(ls_bseq_file *fp, int ret) {
    if (ret == LS_SEQ_EOF)
        report_end(fp);
    else if (ret == LS_SEQ_READ_ERROR)
        report_read_error(fp);
    else if (ret < LS_SEQ_EOF)
        report_bad_record(fp, ret);
}

} // namespace

// Mates are named alike except for a final "/1", "/2", ...; a name of two
// characters or fewer is compared whole so that "/1" is not an empty stem.
int ls_same_fragment(const char *a, const char *b) {
    auto stem_len = [](const char *name) {
        size_t l = strlen(name);
        if (l >= 3 && name[l - 2] == '/' && name[l - 1] >= '0' && name[l - 1] <= '9') l -= 2;
        return l;
    };
    const size_t la = stem_len(a), lb = stem_len(b);
    return la == lb && memcmp(a, b, la) == 0;
}

/* ---- stream ---- */

ls_stream *ls_stream_init(gzFile f) {
    ls_stream *ks = (ls_stream *)calloc(1, sizeof(ls_stream));
    if (!ks) return nullptr;
    ks->eof_bufsize = (uint32_t)LS_STREAM_BUFSIZE << 2;
    ks->f = f;
    ks->buf = (unsigned char *)malloc(LS_STREAM_BUFSIZE);
    if (!ks->buf) {
        free(ks);
        return nullptr;
    }
    return ks;
}

void ls_stream_destroy(ls_stream *ks) {
    if (!ks) return;
    free(ks->buf);
    free(ks);
}

int ls_stream_getc(ls_stream *ks) {
    if (stream_eof_flag(ks) && ks->begin >= ks->end) return -1;
    if (ks->begin >= ks->end) {
        refill(ks);
        if (ks->end == 0) return -1;
    }
    return ks->buf[ks->begin++];
}

int64_t ls_stream_getuntil(ls_stream *ks, int delimiter, ls_string *str, int *dret, int append) {
    if (dret) *dret = 0;
    if (!append) str->l = 0;
    if (ks->begin >= ks->end && stream_eof_flag(ks)) {
        if (str->s) {
            str_reserve(str, 0);
            str->s[str->l] = 0;
        }
        return -1;
    }
    for (;;) {
        if (ks->begin >= ks->end) {
            if (stream_eof_flag(ks)) break;
            refill(ks);
            if (ks->end == 0) break;
        }
        int32_t i = scan_delimiter(ks, delimiter);
        uint64_t n = (uint64_t)(i - ks->begin);
        str_reserve(str, n);
        memcpy(str->s + str->l, ks->buf + ks->begin, n);
        str->l += n;
        ks->begin = i + 1;
        if (i < ks->end) {
            if (dret) *dret = ks->buf[i];
            break;
        }
    }
    if (!str->s) str_set_cap(str, 1);
    // A line of only a carriage return is an empty CRLF line, so the test is
    // "at least one byte"; the byte can only come from this line, because
    // earlier lines appended to str had theirs dropped already.
    if (delimiter == LS_SEP_LINE && str->l > 0 && str->s[str->l - 1] == '\r') --str->l;
    // A line that ends exactly where the input ends can leave no room for the
    // zero byte after a one-byte append; make sure there is.
    str_reserve(str, 0);
    str->s[str->l] = 0;
    return (int64_t)str->l;
}

int ls_stream_eof(const ls_stream *ks) {
    return stream_eof_flag(ks) && ks->begin >= ks->end;
}

int ls_stream_error(const ls_stream *ks) {
    return ks->error != 0;
}

const char *ls_stream_error_text(const ls_stream *ks) {
    if (!ks->error) return "";
    int errnum = Z_OK;
    const char *msg = gzerror(ks->f, &errnum);
    if (errnum == Z_OK || !msg || !*msg) return "read error";
    // zlib prefixes its message with the path and ": "; zlib's own texts
    // contain no ": ", so the text after the last one is the message proper.
    const char *p = msg, *last = nullptr;
    while ((p = strstr(p, ": ")) != nullptr) last = p, p += 2;
    return last ? last + 2 : msg;
}

/* ---- record parser ---- */

ls_seq_reader *ls_seq_reader_init(gzFile f) {
    ls_seq_reader *ks = (ls_seq_reader *)calloc(1, sizeof(ls_seq_reader));
    if (!ks) return nullptr;
    ks->f = ls_stream_init(f);
    if (!ks->f) {
        free(ks);
        return nullptr;
    }
    return ks;
}

void ls_seq_reader_destroy(ls_seq_reader *ks) {
    if (!ks) return;
    free(ks->name.s);
    free(ks->comment.s);
    free(ks->seq.s);
    free(ks->qual.s);
    ls_stream_destroy(ks->f);
    ls_hts_reads_close(ks->hts);
    free(ks);
}

void ls_seq_reader_rewind(ls_seq_reader *ks) {
    ks->last_char = 0;
    ks->n_records = 0;
    ks->sniffed = 0;
    ks->sticky = 0;
    ks->fault[0] = 0;
    if (ks->hts) {
        ls_hts_reads_rewind(ks->hts);
        return;
    }
    ks->f->begin = ks->f->end = 0;
    stream_set_eof(ks->f, false);
    // gzrewind clears the handle's error too; the file is probed afresh.
    ks->f->error = 0;
    ks->f->line_mode = kLineUnknown;
}

namespace {

// Bytes a sequence may hold: letters only. Bases, IUPAC codes and any other
// letter (an ambiguous base to the mapper) pass; a digit, a space, a NUL or
// punctuation means the file is not what it claims to be, and mapping it
// would give a different read. Each test gives 1 for a bad byte, in byte
// arithmetic so that a block of them vectorises.
struct SequenceByte {
    uint8_t operator()(uint8_t c) const { return (uint8_t)((uint8_t)((c | 0x20) - 'a') >= 26); }
};

struct QualityByte {
    uint8_t operator()(uint8_t c) const { return (uint8_t)((uint8_t)(c - '!') > '~' - '!'); }
};

// Position of the first bad byte, or n. Every byte of every record
// passes here, so whole blocks are tested without a branch per byte (the
// compiler turns the inner loop into vector compares) and only a block
// holding a bad byte is searched byte by byte.
template <typename Bad> uint64_t first_bad_byte(const char *s, uint64_t n, Bad bad) {
    constexpr uint64_t kBlock = 64;
    const uint8_t *b = (const uint8_t *)s;
    uint64_t i = 0;
    for (; i + kBlock <= n; i += kBlock) {
        uint8_t any = 0;
        for (uint64_t j = 0; j < kBlock; ++j) any |= bad(b[i + j]);
        if (any) break;
    }
    for (; i < n; ++i)
        if (bad(b[i])) return i;
    return n;
}

int fail(ls_seq_reader *seq, int result, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
int fail(ls_seq_reader *seq, int result, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(seq->fault, sizeof(seq->fault), fmt, ap);
    va_end(ap);
    return result;
}

// A name shortened for a message: a damaged file can hold anything there.
std::string shown(const ls_string &name) {
    std::string s;
    for (uint64_t i = 0; i < name.l && s.size() < 60; ++i) {
        const unsigned char c = (unsigned char)name.s[i];
        s += c >= ' ' && c < 127 ? (char)c : '?';
    }
    return name.l > 60 ? s + "..." : s;
}

std::string shown_byte(unsigned char c) {
    char buf[24];
    if (c >= ' ' && c < 127)
        snprintf(buf, sizeof(buf), "'%c'", c);
    else
        snprintf(buf, sizeof(buf), "byte 0x%02x", c);
    return buf;
}

int bad_record(ls_seq_reader *seq, const char *what) {
    return fail(seq, LS_SEQ_BAD_FASTQ, "record %lld ('%s'): %s", (long long)seq->n_records,
                shown(seq->name).c_str(), what);
}

// The SAM, BAM or CRAM file the first bytes show (an index in kAlignmentName),
// or -1.
const char *const kAlignmentName[] = {"BAM", "CRAM", "SAM"};
int alignment_format(const unsigned char *b, int32_t n) {
    auto starts = [&](const char *magic) { return n >= 4 && memcmp(b, magic, 4) == 0; };
    if (starts("BAM\1")) return 0;
    if (starts("CRAM")) return 1;
    for (const char *rec : {"@HD\t", "@SQ\t", "@RG\t", "@PG\t", "@CO\t"})
        if (starts(rec)) return 2;
    return -1;
}

// The first bytes of the input tell a file that is not FASTA or FASTQ text
// at all; naming it beats parsing it into junk records. Returns null for
// text that may be FASTA or FASTQ.
const char *not_sequence_text(const unsigned char *b, int32_t n, bool compressed) {
    if (n >= 4 && memcmp(b, "LSI", 3) == 0 && b[3] < 16)
        return compressed ? "it is a compressed index file: decompress it first"
                          : "it is an index file, which must be given as a regular file, not a stream";
    for (int32_t i = 0; i < n; ++i)
        if (b[i] == 0 || b[i] == 127 || (b[i] < ' ' && !(b[i] >= '\t' && b[i] <= '\r')))
            return "it holds binary data, not FASTA or FASTQ text";
    return nullptr;
}

int sniff(ls_seq_reader *seq) {
    ls_stream *ks = seq->f;
    seq->sniffed = 1;
    if (ks->begin >= ks->end && !stream_eof_flag(ks)) refill(ks);
    const unsigned char *b = ks->buf + ks->begin;
    const int32_t n = ks->end - ks->begin;
    const int format = alignment_format(b, n);
    const char *what = format >= 0 ? kAlignmentName[format] : not_sequence_text(b, n, gzdirect(ks->f) == 0);
    if (what == nullptr) return 0;
    seq->sticky = LS_SEQ_NOT_SEQUENCE;
    if (format < 0) return fail(seq, LS_SEQ_NOT_SEQUENCE, "%s", what);
    // With htslib, query files in these formats are read when given by name
    // (a stream cannot be looked at first and then handed over); a target,
    // or a file opened as FASTA/FASTQ only, is still refused.
    if (seq->on_stream)
        return fail(
            seq, LS_SEQ_NOT_SEQUENCE,
            "it is a %s file on a stream (BAM, CRAM and SAM queries are read from a regular file given "
            "by name)",
            what);
    if (ls_hts_enabled())
        return fail(
            seq, LS_SEQ_NOT_SEQUENCE,
            "it is a %s file, not FASTA or FASTQ (only query files may be %s; 'samtools fasta' converts it)",
            what, what);
    return fail(
        seq, LS_SEQ_NOT_SEQUENCE,
        "it is a %s file, not FASTA or FASTQ (%s input is not supported; 'samtools fastq' converts it)", what,
        what);
}

// Reads up to the next header byte. Blank lines are skipped; other text is
// skipped only before the first record of a FASTA file (a preamble). After a
// FASTQ record, or before a first '@', text there means a lost header line.
int find_header(ls_seq_reader *seq) {
    ls_stream *ks = seq->f;
    int c, first = -1;
    while ((c = ls_stream_getc(ks)) >= 0 && c != '>' && c != '@')
        if (first < 0 && !is_space_byte((unsigned char)c)) first = c;
    if (first >= 0 && (seq->n_records > 0 || c != '>')) {
        if (c < 0 && hit_read_error(ks)) return LS_SEQ_READ_ERROR;
        if (seq->n_records == 0 && c < 0)
            return fail(seq, LS_SEQ_BAD_FASTQ, "no FASTA or FASTQ header ('>' or '@') in the file");
        return fail(seq, LS_SEQ_BAD_FASTQ, "record %lld: the line there does not start with '@' or '>' (%s)",
                    (long long)seq->n_records + 1, shown_byte((unsigned char)first).c_str());
    }
    if (c < 0) return input_ended(ks, LS_SEQ_EOF);
    seq->last_char = c;
    return 0;
}

template <typename Bad>
int check_bytes(ls_seq_reader *seq, const ls_string &s, Bad bad, const char *what, const char *kind) {
    const uint64_t i = first_bad_byte(s.s, s.l, bad);
    if (i == s.l) return 0;
    return fail(seq, LS_SEQ_BAD_BYTE, "record %lld ('%s'): %s at %s position %llu is not %s",
                (long long)seq->n_records, shown(seq->name).c_str(), shown_byte((unsigned char)s.s[i]).c_str(),
                what, (unsigned long long)i + 1, kind);
}

// The quality after the '+' line. One line as a rule; a sequence written over
// several lines may have its quality over several lines too, joined until it
// reaches the sequence's length. After a one-line sequence, a further line
// opening with '@' is the next record's header, not quality: the quality
// was short.
int read_quality(ls_seq_reader *seq, int n_seq_lines) {
    ls_stream *ks = seq->f;
    int c;
    while ((c = ls_stream_getc(ks)) >= 0 && !is_eol(ks, c)) {} // rest of the '+' line
    if (c < 0 || ls_stream_getuntil(ks, LS_SEP_LINE, &seq->qual, nullptr, 1) < 0) {
        if (hit_read_error(ks)) return LS_SEQ_READ_ERROR;
        return bad_record(seq, "the file ends inside the record");
    }
    while (seq->qual.l < seq->seq.l) {
        if ((c = ls_stream_getc(ks)) < 0) break;
        if (c == '@' && n_seq_lines <= 1) {
            seq->last_char = c; // the next record can still be read
            break;
        }
        if (is_eol(ks, c)) continue;
        str_reserve(&seq->qual, 1);
        seq->qual.s[seq->qual.l++] = (char)c;
        ls_stream_getuntil(ks, LS_SEP_LINE, &seq->qual, nullptr, 1);
    }
    if (seq->qual.l != seq->seq.l) {
        if (c < 0 && hit_read_error(ks)) return LS_SEQ_READ_ERROR;
        char what[96];
        if (c < 0 && seq->qual.l < seq->seq.l)
            snprintf(what, sizeof(what), "the file ends inside the record");
        else
            snprintf(what, sizeof(what), "the quality has %llu characters, the sequence %llu bases",
                     (unsigned long long)seq->qual.l, (unsigned long long)seq->seq.l);
        return bad_record(seq, what);
    }
    return check_bytes(seq, seq->qual, QualityByte(), "quality", "a quality character");
}

} // namespace

int ls_seq_reader_read(ls_seq_reader *seq) {
    ls_stream *ks = seq->f;
    seq->fault[0] = 0;
    if (seq->sticky) return seq->sticky;
    if (seq->hts) return ls_hts_reads_next(seq->hts, seq);
    if (!seq->sniffed) {
        int r = sniff(seq);
        if (r < 0) return r;
    }
    if (seq->last_char == 0) {
        int r = find_header(seq);
        if (r < 0) return r;
    }
    const int header = seq->last_char;
    seq->last_char = 0;
    str_clear(&seq->comment);
    str_clear(&seq->seq);
    str_clear(&seq->qual);
    int c = 0;
    if (ls_stream_getuntil(ks, LS_SEP_SPACE, &seq->name, &c, 0) < 0) {
        if (hit_read_error(ks)) return LS_SEQ_READ_ERROR;
        // A lone '>' at the very end is an empty FASTA file's tail; a lone
        // '@' is a FASTQ record cut short.
        if (header == '>') return LS_SEQ_EOF;
        ++seq->n_records;
        return bad_record(seq, "the file ends inside the record");
    }
    ++seq->n_records;
    if (!is_eol(ks, c)) ls_stream_getuntil(ks, LS_SEP_LINE, &seq->comment, nullptr, 0);
    if (memchr(seq->name.s, 0, seq->name.l) || (seq->comment.l && memchr(seq->comment.s, 0, seq->comment.l)))
        return fail(seq, LS_SEQ_BAD_BYTE, "record %lld: a NUL byte in the header line", (long long)seq->n_records);
    if (seq->seq.s == nullptr) str_set_cap(&seq->seq, 256);
    // Only the first byte of a line can open a record or the '+' line, so a
    // '>' or '@' inside a line is sequence.
    int n_lines = 0;
    while ((c = ls_stream_getc(ks)) >= 0 && c != '>' && c != '+' && c != '@') {
        if (is_eol(ks, c)) continue; // empty line
        // Every getuntil leaves room for its zero byte, so this byte fits.
        LS_ASSERT(seq->seq.l < seq->seq.m);
        seq->seq.s[seq->seq.l++] = (char)c;
        ls_stream_getuntil(ks, LS_SEP_LINE, &seq->seq, nullptr, 1);
        ++n_lines;
    }
    if (c == '>' || c == '@') seq->last_char = c;
    if (seq->seq.l + 1 >= seq->seq.m) str_set_cap(&seq->seq, round_up_pow2(seq->seq.l + 1));
    seq->seq.s[seq->seq.l] = 0;
    // A record that ran into a read error may have lost its tail.
    if (c < 0 && hit_read_error(ks)) return LS_SEQ_READ_ERROR;
    if (c != '+' && header == '@') {
        // A record opened by '@' is FASTQ: without its '+' line, the
        // quality would otherwise be read as more sequence.
        return bad_record(seq, c < 0 ? "the file ends inside the record" : "no '+' line after the sequence");
    }
    int r = check_bytes(seq, seq->seq, SequenceByte(), "sequence", "a base letter");
    if (r < 0) return r;
    if (c == '+') {
        if (seq->qual.m < seq->seq.m) str_set_cap(&seq->qual, seq->seq.m);
        seq->qual.s[seq->qual.l] = 0;
        if ((r = read_quality(seq, n_lines)) < 0) return r;
    }
    if (seq->seq.l > INT32_MAX)
        return fail(seq, LS_SEQ_TOO_LONG, "record %lld ('%s'): the sequence is 2^31 bases or longer",
                    (long long)seq->n_records, shown(seq->name).c_str());
    return (int)seq->seq.l;
}

/* ---- batch reader ---- */

namespace {

// A batch reader over a zlib handle, or over htslib records (f null).
ls_bseq_file *open_reader(const char *path, bool query, const ls_query_input *in) {
    const bool is_stdin = path == nullptr || strcmp(path, "-") == 0;
    ls_hts_reads *hts = nullptr;
    if (query && !is_stdin && ls_hts_reads_open(path, in, &hts) < 0) return nullptr;
    gzFile f = nullptr;
    if (hts == nullptr && !(f = is_stdin ? gzdopen(0, "r") : gzopen(path, "r"))) return nullptr;
    ls_bseq_file *fp = (ls_bseq_file *)calloc(1, sizeof(ls_bseq_file));
    if (fp) {
        fp->fp = f;
        fp->ks = f ? ls_seq_reader_init(f) : (ls_seq_reader *)calloc(1, sizeof(ls_seq_reader));
        fp->path = strdup(is_stdin ? "-" : path);
    }
    if (!fp || !fp->ks || !fp->path) {
        if (fp) {
            ls_seq_reader_destroy(fp->ks);
            free(fp->path);
            free(fp);
        }
        ls_hts_reads_close(hts);
        if (f) gzclose(f);
        errno = ENOMEM;
        return nullptr;
    }
    fp->ks->hts = hts;
    struct stat st;
    fp->ks->on_stream =
        query && ls_hts_enabled() && (is_stdin || stat(path, &st) != 0 || !S_ISREG(st.st_mode));
    return fp;
}

} // namespace

ls_bseq_file *ls_bseq_open(const char *path) {
    return open_reader(path, false, nullptr);
}

ls_bseq_file *ls_bseq_open_query(const char *path, const ls_query_input *in) {
    return open_reader(path, true, in);
}

void ls_bseq_close(ls_bseq_file *fp) {
    if (!fp) return;
    ls_seq_reader_destroy(fp->ks);
    if (fp->fp) gzclose(fp->fp);
    free_rec(&fp->s); // a record read ahead that no batch took
    free(fp->path);
    free(fp);
}

ls_bseq_rec *ls_bseq_read3(ls_bseq_file *fp, int64_t chunk_size, int with_qual, int with_comment,
                           int frag_mode, int *n) {
    ls_seq_reader *ks = fp->ks;
    RecArray batch;
    int64_t size = 0;
    int ret;
    if (fp->s.seq) { // the record a fragment look-ahead held back opens this batch
        *batch.push() = fp->s;
        size = fp->s.len;
        memset(&fp->s, 0, sizeof(fp->s));
    }
    while ((ret = ls_seq_reader_read(ks)) >= 0) {
        ls_bseq_rec *s = batch.push();
        copy_record(s, ks, with_qual, with_comment, fp->log);
        size += s->len;
        if (size < chunk_size) continue;
        if (frag_mode && s->len < kMaxFragmentLookaheadLen) {
            // Keep the mates of the last record in this batch: read ahead
            // until a record of another fragment, which waits for the next.
            while ((ret = ls_seq_reader_read(ks)) >= 0) {
                copy_record(&fp->s, ks, with_qual, with_comment, fp->log);
                if (!ls_same_fragment(batch.a[batch.n - 1].name, fp->s.name)) break;
                *batch.push() = fp->s;
                memset(&fp->s, 0, sizeof(fp->s));
            }
        }
        break;
    }
    report_stop(fp, ret);
    *n = batch.n;
    return batch.a;
}

ls_bseq_rec *ls_bseq_read2(ls_bseq_file *fp, int64_t chunk_size, int with_qual, int frag_mode, int *n) {
    return ls_bseq_read3(fp, chunk_size, with_qual, 0, frag_mode, n);
}

ls_bseq_rec *ls_bseq_read(ls_bseq_file *fp, int64_t chunk_size, int with_qual, int *n) {
    return ls_bseq_read3(fp, chunk_size, with_qual, 0, 0, n);
}

ls_bseq_rec *ls_bseq_read_frag2(int n_fp, ls_bseq_file **fp, int64_t chunk_size, int with_qual,
                                int with_comment, int *n) {
    *n = 0;
    if (n_fp < 1) return nullptr;
    RecArray batch;
    int64_t size = 0;
    for (;;) {
        int n_read = 0, ended = -1;
        bool failed = false;
        for (int i = 0; i < n_fp; ++i) {
            int ret = ls_seq_reader_read(fp[i]->ks);
            if (ret >= 0) {
                ++n_read;
            } else if (ret == LS_SEQ_EOF) {
                report_end(fp[i]);
                ended = i;
            } else {
                report_stop(fp[i], ret);
                failed = true;
            }
        }
        if (n_read < n_fp) {
            // Mates are paired by their place in the files: a file that ends
            // early leaves the rest of the other unpaired, which is a broken
            // input, not a clean end. After a failed file the counts say
            // nothing more.
            if (n_read > 0 && !failed) {
                const ls_bseq_file *more = fp[ended == 0 ? 1 : 0];
                ls_logger_log(fp[ended]->log, LS_LOG_ERROR,
                              "failed to read '%s': it ends after %lld records, but '%s' has more",
                       fp[ended]->path, (long long)fp[ended]->ks->n_records, more->path);
                fp[ended]->error |= kParseError;
            }
            break;
        }
        for (int i = 1; i < n_fp; ++i) {
            if (ls_same_fragment(fp[0]->ks->name.s, fp[i]->ks->name.s)) continue;
            ls_logger_log(fp[i]->log, LS_LOG_ERROR,
                   "failed to read '%s': the mates of a pair do not match: record %lld is '%s' in '%s' but '%s' "
                   "here",
                   fp[i]->path, (long long)fp[i]->ks->n_records, shown(fp[0]->ks->name).c_str(),
                        fp[0]->path, shown(fp[i]->ks->name).c_str());
            fp[i]->error |= kParseError;
            failed = true;
        }
        if (failed) break;
        for (int i = 0; i < n_fp; ++i) {
            ls_bseq_rec *s = batch.push();
            copy_record(s, fp[i]->ks, with_qual, with_comment, fp[i]->log);
            size += s->len;
        }
        if (size >= chunk_size) break;
    }
    *n = batch.n;
    return batch.a;
}

ls_bseq_rec *ls_bseq_read_frag(int n_fp, ls_bseq_file **fp, int64_t chunk_size, int with_qual, int *n) {
    return ls_bseq_read_frag2(n_fp, fp, chunk_size, with_qual, 0, n);
}

int ls_bseq_eof(ls_bseq_file *fp) {
    // Input that is not FASTA/FASTQ yields nothing more, so it is exhausted.
    const bool ended = fp->ks->hts ? ls_hts_reads_eof(fp->ks->hts) : ls_stream_eof(fp->ks->f);
    return (ended || fp->ks->sticky) && fp->s.seq == nullptr;
}

int ls_bseq_error(const ls_bseq_file *fp) {
    return fp->error;
}
