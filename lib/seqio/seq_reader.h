/* FASTA/FASTQ input.
 *
 * Three layers, each usable alone:
 *  - ls_stream: a 16384-byte buffered reader over a zlib handle, so plain and
 *    gzip-compressed text (also multi-member gzip) read alike; it hands out
 *    bytes and delimited runs of bytes;
 *  - ls_seq_reader: a record parser on a stream that yields one FASTA or
 *    FASTQ record at a time into strings it reuses from record to record;
 *  - ls_bseq_file: a batch reader that copies records into ls_bseq_rec arrays
 *    of a given number of bases, optionally keeping the mates of a pair
 *    together or reading several files in lockstep.
 * The public reader of lodestar.h, ls_seqfile (seq_file.cpp), is a zlib
 * handle and a parser behind an opaque type.
 * A stream owns its buffer, a parser owns its stream and strings, a batch
 * reader owns its zlib handle and parser. None of them may be used by two
 * threads at once. */
#ifndef LODESTAR_BSEQ_H
#define LODESTAR_BSEQ_H

#include <stdint.h>
#include <zlib.h>

#include "lodestar.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ls_string, the growable byte string, is in lodestar.h. */

/* Size of the read buffer of every stream. */
#define LS_STREAM_BUFSIZE 16384

/* Delimiter classes of ls_stream_getuntil; any value above 2 means "exactly
 * that byte". */
#define LS_SEP_SPACE 0 /* space, tab, line feed, vertical tab, form feed, carriage return */
#define LS_SEP_TAB   1 /* the same without the space */
#define LS_SEP_LINE  2 /* end of line (a trailing carriage return is dropped) */

/* Buffered reader over a zlib handle. */
typedef struct {
    int32_t begin;        /* next unread position in buf */
    int32_t end;          /* number of valid bytes in buf */
    uint32_t eof_bufsize; /* bits 1..0: end-of-file flag; bits 31..2: buffer size */
    gzFile f;             /* the source; not owned */
    unsigned char *buf;
    /* Set when the decompressor or the file system reported an error; input
     * ends there. */
    int32_t error;
    /* 0 until the first buffer was read; then 1 for line-feed (or CRLF) line
     * ends, 2 for a file whose lines end with a lone carriage return. */
    int32_t line_mode;
} ls_stream;

/* A new stream over f with an empty 16384-byte buffer, or null when memory
 * runs out. The caller keeps ownership of f. Free with ls_stream_destroy. */
ls_stream *ls_stream_init(gzFile f);
/* Frees the buffer and the stream (not the zlib handle). Null does nothing. */
void ls_stream_destroy(ls_stream *ks);

/* Next byte (0 to 255), or -1 at end of input (also after a read error). */
int ls_stream_getc(ls_stream *ks);

/* Reads bytes into str up to, not including, the first byte of the delimiter
 * class (LS_SEP_* or a byte value above 2), and consumes the delimiter. With
 * append nonzero the bytes are appended, otherwise str is overwritten. If
 * dret is not null it receives the delimiter byte, or 0 when input ended
 * first. With LS_SEP_LINE a carriage return at the end of str is dropped, so
 * CRLF lines (and lines holding only a carriage return) come out clean.
 * Returns the length of str, or -1 if the input was already exhausted. */
int64_t ls_stream_getuntil(ls_stream *ks, int delimiter, ls_string *str, int *dret, int append);

/* Nonzero when the stream has reached end of input and holds no unread byte. */
int ls_stream_eof(const ls_stream *ks);

/* Nonzero after gzread reported an error (a damaged or truncated gzip file,
 * or a failed read); the input then ends at the error. */
int ls_stream_error(const ls_stream *ks);

/* Text of the zlib error behind ls_stream_error, without zlib's file-name
 * prefix; valid until the next operation on the zlib handle. Returns "" when
 * there is no error. */
const char *ls_stream_error_text(const ls_stream *ks);

/* The results of ls_seq_reader_read besides a sequence length, LS_SEQ_*,
 * are in lodestar.h: the public reader over this parser returns them. */

/* FASTA/FASTQ record parser. */
typedef struct {
    ls_string name;    /* header text up to the first white space */
    ls_string comment; /* rest of the header line after that delimiter */
    ls_string seq;     /* sequence bytes as read (no conversion) */
    ls_string qual;    /* quality string (FASTQ only) */
    int32_t last_char; /* 0, or the '>' or '@' that opens the next record and was already read */
    ls_stream *f;      /* owned */
    int64_t n_records; /* headers read so far: the number of the current record, from 1 */
    int32_t sniffed;   /* the first bytes were checked to be FASTA/FASTQ text */
    int32_t sticky;    /* 0, or the result every further read repeats (not FASTA/FASTQ) */
    char fault[256];   /* why the last read failed, naming the record; "" when it did not */
    /* Records of a SAM, BAM or CRAM file (hts_reads.h), which fill the same
     * strings; f is then null. Owned. */
    struct ls_hts_reads *hts;
    /* Nonzero for queries read from a stream: a BAM, CRAM or SAM file there
     * is refused with a hint to give it by name. */
    int32_t on_stream;
} ls_seq_reader;

/* A new parser over f (the caller opens and closes f), or null when memory
 * runs out. Free with ls_seq_reader_destroy. */
ls_seq_reader *ls_seq_reader_init(gzFile f);
/* Frees the strings, the stream and the parser. Null does nothing. */
void ls_seq_reader_destroy(ls_seq_reader *ks);
/* Resets the parser to the start of input after the caller has rewound the
 * zlib handle with gzrewind; the strings keep their allocations. */
void ls_seq_reader_rewind(ls_seq_reader *ks);
/* Reads the next record into name, comment, seq and qual. Returns the
 * sequence length (0 or more), or one of the negative LS_SEQ_* results, with
 * the reason in fault. After LS_SEQ_EOF, LS_SEQ_READ_ERROR or
 * LS_SEQ_NOT_SEQUENCE every further call returns the same until the parser
 * is rewound. */
int ls_seq_reader_read(ls_seq_reader *ks);

/* Batch reader of one sequence file. */
typedef struct {
    gzFile fp;
    ls_seq_reader *ks;
    ls_bseq_rec s; /* record read ahead for the next batch; empty when s.seq is null */
    char *path;    /* the path opened, "-" for standard input */
    int error;     /* nonzero after a read error or a malformed record */
    const struct ls_logger *log; /* where its messages go; null: the default */
    int clip_warned;             /* the hard-clipped records of a SAM, BAM or CRAM file were counted */
} ls_bseq_file;

/* Opens a FASTA/FASTQ file, plain or gzip; a null path or "-" reads standard
 * input. Returns null if the file cannot be opened. Close with
 * ls_bseq_close. */
ls_bseq_file *ls_bseq_open(const char *path);
/* ls_bseq_open for query files: a regular file whose content is SAM, BAM or
 * CRAM is read through htslib as in says (null: the zeroed ls_query_input). */
ls_bseq_file *ls_bseq_open_query(const char *path, const ls_query_input *in);
/* Closes the zlib handle and frees the reader with any record read ahead. */
void ls_bseq_close(ls_bseq_file *fp);

/* Reads records until their bases reach chunk_size, and returns them with
 * their count in *n (null and 0 when input is exhausted). qual and comment
 * are kept only when with_qual / with_comment are set. In fragment mode the
 * records following the last one that share its name (ignoring a final "/"
 * and digit) are added as well. The caller frees every record's texts and
 * the array. A malformed record, a sequence of 2^31 bases or more, or a read
 * error ends the batch before it, with one message on standard error naming
 * the file (and the record), and sets the reader's error state; a later call
 * continues after a malformed or overlong record. */
ls_bseq_rec *ls_bseq_read3(ls_bseq_file *fp, int64_t chunk_size, int with_qual, int with_comment,
                           int frag_mode, int *n);
/* ls_bseq_read3 without comments. */
ls_bseq_rec *ls_bseq_read2(ls_bseq_file *fp, int64_t chunk_size, int with_qual, int frag_mode, int *n);
/* ls_bseq_read3 without comments and without fragment mode. */
ls_bseq_rec *ls_bseq_read(ls_bseq_file *fp, int64_t chunk_size, int with_qual, int *n);

/* Reads the n_fp files in lockstep, one record of each per pass in file
 * order, until the bases reach chunk_size; *n is a multiple of n_fp. Reading
 * stops when any file ends (with a warning if others still had records) or
 * fails (reported and flagged as by ls_bseq_read3; the pass is dropped).
 * Ownership as for ls_bseq_read3. */
ls_bseq_rec *ls_bseq_read_frag2(int n_fp, ls_bseq_file **fp, int64_t chunk_size, int with_qual,
                                int with_comment, int *n);
/* ls_bseq_read_frag2 without comments. */
ls_bseq_rec *ls_bseq_read_frag(int n_fp, ls_bseq_file **fp, int64_t chunk_size, int with_qual, int *n);

/* Nonzero when the file is exhausted: end of input reached, no buffered byte
 * left and no record read ahead. */
int ls_bseq_eof(ls_bseq_file *fp);

/* Nonzero after a read error, a malformed record or a sequence of 2^31 bases
 * or more in this file, so that a consumer (index building, the mapping
 * pipeline) can refuse a broken file. */
int ls_bseq_error(const ls_bseq_file *fp);

#ifdef __cplusplus
}
#endif

#endif
